#!/usr/bin/env bash
# scripts/fuzz.sh settings [seconds]: see there.
exec "$(dirname "$0")/fuzz.sh" settings "$@"
