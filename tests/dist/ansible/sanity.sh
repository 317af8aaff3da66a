#!/usr/bin/env bash
# The corvane.fleet collection's sanity tests that run offline:
# ansible-test's own that need no package index, and in place of those that
# do (pep8, yamllint, ansible-doc) Debian's pycodestyle and yamllint with
# ansible-test's settings, and ansible-doc itself on every module; and the
# modules' options against the built corvanectl's --help
# (tests/dist/ansible/options.py); ansible-lint, the metadata and the
# changelog. Skipped (77) without ansible-core or ansible-lint.
#
#   tests/dist/ansible/sanity.sh [build folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build=${1:-$root/build}
command -v ansible-test >/dev/null || { echo "sanity: ansible-core is not installed; skipped" >&2; exit 77; }
command -v ansible-lint >/dev/null || { echo "sanity: ansible-lint is not installed; skipped" >&2; exit 77; }
collection=$root/dist/ansible/ansible_collections/corvane/fleet
cd "$collection"

python=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
offline=(action-plugin-docs changelog compile empty-init future-import-boilerplate line-endings
    metaclass-boilerplate no-assert no-basestring no-dict-iteritems no-dict-iterkeys no-dict-itervalues
    no-get-exception no-illegal-filenames no-main-display no-smart-quotes no-unicode-literals
    replace-urlopen shebang symlinks use-argspec-type-path use-compat-six)
# ansible-test's changelog test runs antsibull-changelog, which Debian does not
# package; without it the changelog is checked below.
if ! /usr/bin/python3 -c 'import antsibull_changelog' 2>/dev/null; then
    for i in "${!offline[@]}"; do [ "${offline[$i]}" != changelog ] || unset 'offline[i]'; done
fi
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
# meta/runtime.yml by ansible-test's own schema (its runtime-metadata test
# would install that schema's packages first), the action group naming every
# module and nothing else, galaxy.yml by ansible-lint's schema (less the
# repository address the project does not publish yet) and the changelog's
# layout.
smell=$(/usr/bin/python3 -c 'import ansible_test, os; print(os.path.dirname(ansible_test.__file__))')/_util/controller/sanity/code-smell
found=$(/usr/bin/python3 "$smell/runtime-metadata.py" meta/runtime.yml)
[ -z "$found" ] || { echo "$found" >&2; exit 1; }
/usr/bin/python3 - <<'PY'
import os, re, yaml
modules = sorted(name[:-3] for name in os.listdir("plugins/modules") if name.endswith(".py"))
group = yaml.safe_load(open("meta/runtime.yml"))["action_groups"]["corvane"]
assert sorted(group) == modules, ("the action group corvane", group, modules)
sections = [name for name, _ in yaml.safe_load(open("changelogs/config.yaml"))["sections"]] + ["release_summary", "trivial"]
def version(text):
    assert re.fullmatch(r"\d+\.\d+\.\d+", text), text
    return tuple(int(part) for part in text.split("."))
def changes(where, found):
    for section, notes in found.items():
        assert section in sections, (where, section)
        notes = [notes] if section == "release_summary" else notes
        assert notes and all(isinstance(note, str) and note.strip() for note in notes), (where, section)
releases = yaml.safe_load(open("changelogs/changelog.yaml"))["releases"]
for name, release in releases.items():
    changes(name, release.get("changes", {}))
    assert re.fullmatch(r"\d{4}-\d\d-\d\d", release["release_date"]), name
    for module in release.get("modules", []):
        assert module["name"] in modules and module["description"], (name, module)
import ansiblelint, json, jsonschema
schema = json.load(open(os.path.join(os.path.dirname(ansiblelint.__file__), "schemas", "galaxy.json")))
schema["required"].remove("repository")
jsonschema.validate(yaml.safe_load(open("galaxy.yml")), schema)
galaxy = version(yaml.safe_load(open("galaxy.yml"))["version"])
assert all(version(name) < galaxy for name in releases), ("galaxy.yml's version is released already", galaxy)
for name in sorted(os.listdir("changelogs/fragments")):
    if name != ".keep":
        assert name.endswith(".yml"), name
        changes(name, yaml.safe_load(open(os.path.join("changelogs/fragments", name))))
PY

# ansible-lint as Ansible users run it, offline, on the collection and on the
# example playbooks (the collection found where they look for it).
mkdir -p "$work/lint/ansible_collections/corvane"
ln -s "$collection" "$work/lint/ansible_collections/corvane/fleet"
for folder in "$collection" "$root/dist/ansible/example"; do
    # The path ends in ansible_collections: ansible-lint's own loader takes
    # its parent folder.
    (cd "$folder" && XDG_CACHE_HOME=$work/cache ANSIBLE_COLLECTIONS_PATH=$work/lint/ansible_collections \
        ansible-lint --offline --nocolor --strict -c "$root/dist/ansible/ansible-lint.yml" -q)
done
echo "sanity: corvane.fleet passed ${#offline[@]} offline ansible-test tests, pep8, yamllint, ansible-lint, its metadata, changelog, documentation and options"
