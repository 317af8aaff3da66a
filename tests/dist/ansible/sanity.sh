#!/usr/bin/env bash
# The corvane.fleet collection's sanity tests that run offline:
# ansible-test's own that need no package index, and in place of those that
# do (pep8, yamllint, ansible-doc) Debian's pycodestyle and yamllint with
# ansible-test's settings, and ansible-doc itself on every module; and the
# modules' options against the built corvanectl's --help
# (tests/dist/ansible/options.py). Skipped (77) without ansible-core.
#
#   tests/dist/ansible/sanity.sh [build folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build=${1:-$root/build}
command -v ansible-test >/dev/null || { echo "sanity: ansible-core is not installed; skipped" >&2; exit 77; }
collection=$root/dist/ansible/ansible_collections/corvane/fleet
cd "$collection"

python=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
offline=(action-plugin-docs changelog compile empty-init future-import-boilerplate line-endings
    metaclass-boilerplate no-assert no-basestring no-dict-iteritems no-dict-iterkeys no-dict-itervalues
    no-get-exception no-illegal-filenames no-main-display no-smart-quotes no-unicode-literals
    replace-urlopen shebang symlinks use-argspec-type-path use-compat-six)
ansible-test sanity --color no --python "$python" "${offline[@]/#/--test=}"

/usr/bin/python3 -m pycodestyle --max-line-length 160 --ignore E402,W503,W504,E741 plugins
yamllint -s -d '{extends: default, rules: {line-length: {max: 160}, document-start: disable, truthy: disable}}' \
    galaxy.yml meta "$root/dist/ansible/example"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/ansible_collections/corvane"
ln -s "$collection" "$work/ansible_collections/corvane/fleet"
for module in plugins/modules/*.py; do
    name=corvane.fleet.$(basename "$module" .py)
    doc=$work/docs/$(basename "$module" .py).json
    mkdir -p "$work/docs"
    ANSIBLE_COLLECTIONS_PATH=$work ansible-doc --json "$name" >"$doc"
    python3 - "$doc" "$name" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1]))[sys.argv[2]]
assert doc["doc"]["short_description"], "no short description"
assert doc["examples"], "no examples"
assert doc["return"], "no return values"
for name, option in doc["doc"]["options"].items():
    assert option.get("description"), "option %s has no description" % name
    assert option.get("type"), "option %s has no type" % name
PY
done
PYTHONPATH=$work /usr/bin/python3 "$root/tests/dist/ansible/options.py" "$build/bin/corvanectl" "$work/docs"
echo "sanity: corvane.fleet passed ${#offline[@]} offline ansible-test tests, pep8, yamllint, its documentation and options"
