#!/usr/bin/env bash
# Runs a command with a configuration folder of its own, emptied first: a
# test's settings and known devices start from nothing at every run and never
# touch the user's. Virtual devices started under it keep their keys in it.
# Every device is met for the first time at every run, so corvanectl takes
# new keys (CORVANE_TRUST=accept-new) unless the caller chose otherwise; the
# tests of that choice itself set it per case.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: with-own-config.sh FOLDER COMMAND [ARGS...]" >&2; exit 2; }
folder=$1
shift
rm -rf "$folder"
mkdir -p "$folder"
export XDG_CONFIG_HOME=$folder
export CORVANE_VIRTUAL_DEVICE_KEYS=$folder/virtual-device-keys
export CORVANE_TRUST=${CORVANE_TRUST:-accept-new}
exec "$@"
