#!/usr/bin/env bash
# Builds Corvane and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh --target corvane
exec build/bin/corvane "$@"
