#!/usr/bin/env bash
# scripts/fuzz.sh lndp [seconds]: see there.
exec "$(dirname "$0")/fuzz.sh" lndp "$@"
