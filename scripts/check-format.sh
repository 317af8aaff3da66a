#!/usr/bin/env bash
# Checks that every C and C++ file of the repository is as clang-format
# (Debian's) writes it: the C++ layers by .clang-format, the C-style modules
# (platform/ and the LNDP engine's discovery/lndp_* files) by
# platform/.clang-format. Lists the files that drift and fails; with --fix
# rewrites them instead.
#   scripts/check-format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || scripts/install-deps.sh
fix=${1:-}
drift=()
while IFS= read -r file; do
    style=file
    case "$file" in
        discovery/lndp_*) style=file:platform/.clang-format ;;
    esac
    if [ "$fix" = --fix ]; then
        clang-format -i --style="$style" "$file"
    elif ! clang-format --style="$style" "$file" | cmp -s - "$file"; then
        drift+=("$file")
    fi
done < <(git ls-files '*.c' '*.cpp' '*.h')
if [ ${#drift[@]} -gt 0 ]; then
    printf 'check-format: not as clang-format writes it: %s\n' "${drift[@]}" >&2
    echo "check-format: run scripts/check-format.sh --fix" >&2
    exit 1
fi
echo "check-format: every C and C++ file as clang-format writes it"
