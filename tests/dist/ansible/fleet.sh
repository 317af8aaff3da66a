#!/usr/bin/env bash
# The corvane.fleet collection as an Ansible user drives it: two sites, each
# a private network of its own with three virtual devices (scripts/lab-network.sh),
# reached through an interpreter wrapper that enters the site's namespace
# (no SSH server). The collection is built and installed from its tarball.
#
#   tests/dist/ansible/fleet.sh [build folder]
#
# Checks: before enrolment no device's key is trusted and nothing is sent;
# enrolment pins every key; the first run changes, and every device takes the
# bundle once; a second run changes nothing; check mode sends nothing; a
# refused password fails that site only, and its message names the devices;
# the gathered report holds every device of both sites, with the version
# each runs after the run; a device whose password is refused is left out of
# the facts, named, and the others are read; a site over max_devices fails
# with corvanectl's reason; no password appears in any output, at -vvv, on a
# command line, nor in any file under the temporary folder while a module
# runs or after the play is killed, and the play leaves no folder there; the
# example's by-model play sends the bundle only to the devices its pattern of
# model and version groups chooses. Skipped (77) without ansible-playbook or
# where no namespace can be made.
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build=${1:-$root/build}
command -v ansible-playbook >/dev/null || { echo "fleet: ansible-core is not installed; skipped" >&2; exit 77; }

work=$(mktemp -d)
holders=()
cleanup() {
    # A site's network ends with the process that holds it open.
    for site in "$work"/*.site; do
        [ -s "$site" ] && kill "$(cut -d' ' -f1 "$site")" 2>/dev/null || true
    done
    for pid in "${holders[@]}"; do wait "$pid" 2>/dev/null || true; done
    [ -n "${CORVANE_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "fleet: $*" >&2; exit 1; }

# A site: its devices' network, held open by a process whose namespace the
# site's interpreter enters; the site file holds that process and the
# devices' control socket.
start_site() {
    local name=$1 password=$2
    "$root/scripts/lab-network.sh" --devices 3 --password "$password" --update-step-ms 20 \
        --program "$build/bin/corvane-virtual-device" -- \
        bash -c 'echo "$$ $CORVANE_LAB_CONTROL" >"$0.tmp" && mv "$0.tmp" "$0" && exec sleep infinity' \
        "$work/$name.site" >"$work/$name.lab.log" 2>&1 &
    holders+=($!)
    for _ in $(seq 1 300); do
        [ -s "$work/$name.site" ] && break
        kill -0 "${holders[-1]}" 2>/dev/null || { cat "$work/$name.lab.log" >&2; exit 77; }
        sleep 0.1
    done
    [ -s "$work/$name.site" ] || fail "site $name did not come up"
    read -r pid control <"$work/$name.site"
    mkdir -p "$work/$name-config"
    cat >"$work/$name-python" <<WRAPPER
#!/bin/sh
# The site host: its network, its own known devices, not the control host's
# environment.
XDG_CONFIG_HOME='$work/$name-config' exec env -u CORVANE_PASSWORD nsenter --net=/proc/$pid/ns/net /usr/bin/python3 "\$@"
WRAPPER
    chmod +x "$work/$name-python"
    echo "$control" >"$work/$name.control"
}
uploads() { grep -c "upload firmware ok" "$(dirname "$(cat "$work/$1.control")")/devices.log" || true; }

start_site north N0rth-Pa55
start_site south S0uth-Pa55

# The collection from its tarball, as a user installs it.
ansible-galaxy collection build "$root/dist/ansible/ansible_collections/corvane/fleet" --output-path "$work" >/dev/null
ansible-galaxy collection install "$work"/corvane-fleet-*.tar.gz -p "$work/collections" >/dev/null
export ANSIBLE_COLLECTIONS_PATH=$work/collections ANSIBLE_NOCOLOR=1 ANSIBLE_HOST_KEY_CHECKING=0
export ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_RETRY_FILES_ENABLED=0
# As the example's ansible.cfg: modules go to Python on its standard input.
export ANSIBLE_PIPELINING=1
# The modules' own temporary files, searched for the passwords below.
export TMPDIR=$work/tmpdir
mkdir -p "$TMPDIR"
for module in corvane_devices corvane_firmware corvane_config corvane_image corvane_trust; do
    ansible-doc "corvane.fleet.$module" | grep -q "^= interface" || fail "ansible-doc does not show $module"
done

head -c 300000 /dev/urandom >"$work/tq-9.9.9.bundle"
head -c 300000 /dev/urandom >"$work/tq-9.9.10.bundle"
cp -r "$root/dist/ansible/example" "$work/play"
# The example's own inventory, its sites placed in the lab by a second one:
# north's password from the environment as the README reads it, south's of
# its own as a vaulted host variable would give it.
export CORVANE_PASSWORD=N0rth-Pa55
inventories=(-i "$work/play/inventory.yml" -i "$work/inventory.yml")
inventory() {
    cat >"$work/inventory.yml" <<INVENTORY
sites:
  vars:
    ansible_connection: local
    corvanectl: $build/bin/corvanectl
    corvane_bundle: $work/$1
  hosts:
    north:
      ansible_python_interpreter: $work/north-python
      corvane_interface: corvane-lab
    south:
      ansible_python_interpreter: $work/south-python
      corvane_interface: corvane-lab
      corvane_password: ${2:-S0uth-Pa55}
INVENTORY
}
play() {
    local name=$1 playbook=update.yml
    shift
    [ "${1:-}" = enroll ] && { playbook=enroll.yml; shift; }
    [ "${1:-}" = by-model ] && { playbook=by-model.yml; shift; }
    set +e
    # As the README runs it: in the example's folder, with its ansible.cfg.
    (cd "$work/play" && ansible-playbook "${inventories[@]}" "$playbook" "$@") >"$work/$name.out" 2>&1
    echo $? >"$work/$name.status"
    set -e
    for secret in N0rth-Pa55 S0uth-Pa55 Wr0ng-Pa55; do
        ! grep -q -- "$secret" "$work/$name.out" || fail "$name: a password in Ansible's output"
    done
}
recap() { sed -n "s/^$1 *: .*$2=\([0-9]*\).*/\1/p" "$work/$3.out"; }

# No file under the temporary folders holds a password.
no_password_in_files() {
    ! grep -r -l -a -e N0rth-Pa55 -e S0uth-Pa55 -e Wr0ng-Pa55 "$TMPDIR" "$work/tmp" 2>/dev/null ||
        fail "$1: a password in a file: $(grep -r -l -a -e N0rth-Pa55 -e S0uth-Pa55 "$TMPDIR" "$work/tmp")"
}

start=$(date +%s)
inventory tq-9.9.9.bundle
# Before enrolment no key is trusted: nothing is sent, and the message says
# how to enrol.
play untrusted
[ "$(cat "$work/untrusted.status")" = 2 ] || { tail -40 "$work/untrusted.out" >&2; fail "a run before enrolment did not fail"; }
grep -q "corvane.fleet.corvane_trust" "$work/untrusted.out" || fail "no word of enrolment: $(tail -20 "$work/untrusted.out")"
for site in north south; do
    [ "$(uploads $site)" = 0 ] || fail "before enrolment: $site's devices took a file"
done
play enrolled enroll
[ "$(cat "$work/enrolled.status")" = 0 ] || { tail -40 "$work/enrolled.out" >&2; fail "enrolment failed"; }
for site in north south; do
    [ "$(recap $site changed enrolled)" = 1 ] || fail "enrolment: $site not changed"
done

# While a module runs (the devices take the file slowly), and after the play
# is killed in the middle, no file holds a password.
for site in north south; do
    "$build/bin/corvane-virtual-device" --send "$(cat "$work/$site.control")" fault all throttle 100k >/dev/null
done
ansible-playbook "${inventories[@]}" "$work/play/update.yml" >"$work/killed.out" 2>&1 &
playing=$!
for _ in $(seq 1 100); do
    pgrep -f corvanectl >/dev/null && break
    sleep 0.1
done
pgrep -f corvanectl >/dev/null || fail "no module ran"
no_password_in_files "while a module runs"
! pgrep -a -f corvanectl | grep -q -e N0rth-Pa55 -e S0uth-Pa55 || fail "a password on corvanectl's command line"
kill -TERM "$playing"
wait "$playing" 2>/dev/null || true
no_password_in_files "after the play was killed"
for site in north south; do
    "$build/bin/corvane-virtual-device" --send "$(cat "$work/$site.control")" fault all throttle off >/dev/null
done
# A corvanectl the killed play left behind ends its uploads; each device
# still takes the bundle once in all (the next run skips those at its
# version).
for _ in $(seq 1 300); do
    pgrep -f "$build/bin/corvanectl" >/dev/null || break
    sleep 0.1
done
no_password_in_files "after the killed play's last corvanectl"
[ -z "$(ls -A "$TMPDIR")" ] || fail "the killed play left $(ls -A "$TMPDIR") in the temporary folder"

play first -vvv
[ "$(cat "$work/first.status")" = 0 ] || { tail -40 "$work/first.out" >&2; fail "first run failed"; }
for site in north south; do
    [ "$(uploads $site)" = 3 ] || fail "first run: $site's devices took the bundle $(uploads $site) times, not 3"
done
no_password_in_files "after the first run"

play second
[ "$(cat "$work/second.status")" = 0 ] || fail "second run failed"
for site in north south; do
    [ "$(recap $site changed second)" = 0 ] || fail "second run: $site changed"
    [ "$(uploads $site)" = 3 ] || fail "second run: $site's devices were sent the bundle again"
done
python3 - "$work/play/reports/report.json" <<'PY' || fail "second run: the versions after"
import json, sys
rows = json.load(open(sys.argv[1]))["devices"]
assert len(rows) == 6 and all(r["result"] == "unchanged" and r["versionAfter"] == "9.9.9" for r in rows), rows
PY

# The sites' devices as facts: two of three by name, with what they say of
# themselves after the update; at north one of them refuses its own
# password. A site over max_devices.
cat >"$work/play/devices.yml" <<PLAY
- hosts: sites
  gather_facts: false
  tasks:
    - corvane.fleet.corvane_devices:
        interface: corvane-lab
        corvanectl: "{{ corvanectl }}"
        name: ["Lobby*", "Meeting*"]
        info: true
        password: "{{ corvane_password }}"
        passwords: "{{ {'Meeting Room 2': 'Wr0ng-Pa55'} if inventory_hostname == 'north' else {} }}"
      register: read
    - ansible.builtin.copy:
        content: "{{ {'facts': corvane_devices, 'unreadable': read.unreadable} | to_json }}"
        dest: "$work/{{ inventory_hostname }}.devices.json"
        mode: "0600"
      delegate_to: localhost
    - corvane.fleet.corvane_firmware:
        src: "{{ corvane_bundle }}"
        interface: corvane-lab
        corvanectl: "{{ corvanectl }}"
        all: true
        max_devices: 2
        password: "{{ corvane_password }}"
      register: full
      ignore_errors: true
    - ansible.builtin.copy:
        content: "{{ full.msg | default('') }}"
        dest: "$work/{{ inventory_hostname }}.full.txt"
        mode: "0600"
      delegate_to: localhost
PLAY
ansible-playbook "${inventories[@]}" "$work/play/devices.yml" -vvv >"$work/devices.out" 2>&1 ||
    { tail -30 "$work/devices.out" >&2; fail "corvane_devices failed"; }
! grep -q -e N0rth-Pa55 -e S0uth-Pa55 -e Wr0ng-Pa55 "$work/devices.out" || fail "corvane_devices: a password in Ansible's output"
# Ansible wraps a warning's lines.
tr '\n' ' ' <"$work/devices.out" |
    grep -q "1 of 2 devices could not be read: Meeting Room 2 (10.213.0.11, 02:00:0A:D5:00:0B) failed: Wrong password" ||
    fail "corvane_devices: no warning names the device refused"
for site in north south; do
    python3 - "$work/$site.devices.json" $site <<'PY' || fail "corvane_devices: $site"
import json, sys
read = json.load(open(sys.argv[1]))
devices, unreadable = read["facts"], read["unreadable"]
names = ["Lobby Display"] if sys.argv[2] == "north" else ["Lobby Display", "Meeting Room 2"]
assert sorted(d["hostName"] for d in devices) == names, devices
assert all(d["version"] == "9.9.9" and d["runningStatus"] for d in devices), devices
assert [(d["hostName"], d["result"]) for d in unreadable] == ([("Meeting Room 2", "failed")] if sys.argv[2] == "north"
                                                                 else []), unreadable
PY
    grep -q "corvanectl update: .*--max-devices" "$work/$site.full.txt" || fail "over max_devices: $(cat "$work/$site.full.txt")"
done

inventory tq-9.9.10.bundle
play check --check
[ "$(cat "$work/check.status")" = 0 ] || { tail -40 "$work/check.out" >&2; fail "check mode failed"; }
for site in north south; do
    [ "$(uploads $site)" = 3 ] || fail "check mode: $site's devices were sent a file"
done

inventory tq-9.9.10.bundle Wr0ng-Pa55
play refused
[ "$(cat "$work/refused.status")" = 2 ] || fail "refused at south: ansible-playbook did not end failed"
[ "$(recap north changed refused)" = 1 ] || fail "refused at south: north did not complete"
[ "$(recap south failed refused)" = 1 ] || fail "refused at south: south not failed"
[ "$(uploads north)" = 6 ] || fail "refused at south: north's devices took $(uploads north) files, not 6"
[ "$(uploads south)" = 3 ] || fail "refused at south: south's devices took a file"
grep -q "did not succeed: Lobby Display (10.213.0.10, 02:00:0A:D5:00:0A) skipped: Wrong password" "$work/refused.out" ||
    fail "refused at south: the message does not name the devices: $(grep FAILED "$work/refused.out")"

python3 - "$work/play/reports/report.json" <<'PY' || fail "the gathered report"
import json, sys
rows = json.load(open(sys.argv[1]))["devices"]
sites = sorted({row["site"] for row in rows})
assert sites == ["north", "south"], sites
assert len(rows) == 6, len(rows)
assert sum(row["result"] == "succeeded" for row in rows if row["site"] == "north") == 3, rows
assert all(row["result"] != "succeeded" for row in rows if row["site"] == "south"), rows
assert all(row["versionAfter"] == "9.9.10" for row in rows if row["site"] == "north"), rows
PY
[ "$(wc -l <"$work/play/reports/report.csv")" = 7 ] || fail "the gathered CSV has not 6 rows and a header"
# The gathered CSV's fields as corvanectl writes its own: what a device names
# itself cannot reach a terminal or a spreadsheet as anything but text.
PYTHONPATH="$work/collections" python3 - <<'PY' || fail "the gathered CSV's fields"
from ansible_collections.corvane.fleet.plugins.filter.csv_field import csv_field
for value, field in [("Lobby", '"Lobby"'), ('a,"b"', '"a,""b"""'), ("=1+1", "\"'=1+1\""),
                     ("a\x1b[2Jb\x07\x00", r'"a\x1b[2Jb\x07\x00"'), ("a\nb\r", r'"a\nb\r"'),
                     ("\u202eab", r'"\u{202e}ab"'), (None, '""'), (3, '"3"')]:
    assert csv_field(value) == field, (value, csv_field(value), field)
PY
# A failure names five devices, then how many more.
PYTHONPATH="$work/collections" /usr/bin/python3 - <<'PY' || fail "the devices named in a failure"
from ansible_collections.corvane.fleet.plugins.module_utils.corvanectl import named
rows = [dict(hostName="D%d" % i, ipAddress="10.0.0.%d" % i, macAddress="M%d" % i, result="failed") for i in range(7)]
assert named(rows).endswith("D4 (10.0.0.4, M4) failed; and 2 more") and "D5" not in named(rows), named(rows)
PY

# Chosen by model and version: north's TQ-730 devices are at 9.9.10 now,
# south's at 9.9.9; only south's two are sent the bundle.
inventory tq-9.9.11.bundle
head -c 300000 /dev/urandom >"$work/tq-9.9.11.bundle"
play chosen by-model -e 'corvane_target=model_tq_730:!version_9_9_10'
[ "$(cat "$work/chosen.status")" = 0 ] || { tail -40 "$work/chosen.out" >&2; fail "by model and version failed"; }
[ "$(uploads north)" = 6 ] || fail "by model and version: north's devices took $(uploads north) files, not 6"
[ "$(uploads south)" = 5 ] || fail "by model and version: south's devices took $(uploads south) files, not 5"

echo "fleet: two sites, 6 plays in $(($(date +%s) - start)) s"
