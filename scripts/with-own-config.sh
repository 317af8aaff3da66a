#!/usr/bin/env bash
# Runs a command with a configuration folder of its own, emptied first: a
# test's settings and known devices start from nothing at every run and never
# touch the user's. Virtual devices started under it keep their keys in it.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: with-own-config.sh FOLDER COMMAND [ARGS...]" >&2; exit 2; }
folder=$1
shift
rm -rf "$folder"
mkdir -p "$folder"
export XDG_CONFIG_HOME=$folder
export CORVANE_VIRTUAL_DEVICE_KEYS=$folder/virtual-device-keys
exec "$@"
