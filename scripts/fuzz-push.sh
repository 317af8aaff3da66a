#!/usr/bin/env bash
# scripts/fuzz.sh push [seconds]: see there.
exec "$(dirname "$0")/fuzz.sh" push "$@"
