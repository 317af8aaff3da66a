#!/usr/bin/env bash
# Checks the Debian package as an operator's machine would see it: installs
# it with apt into a minimal Debian 12 root (debootstrap --variant=minbase),
# runs corvane --version, corvanectl --help and a start of the window on the
# offscreen platform up to its main view and a clean quit, then runs lintian
# and checks the programs' hardening (hardening-check).
# Usage: scripts/package-check.sh [corvane_<version>_amd64.deb]
#   Without a package it builds one (scripts/package.sh).
# The bootstrapped root and apt's downloaded packages are kept in
# $CORVANE_PACKAGE_CHECK_CACHE (/var/cache/corvane-package-check unless set),
# so that later runs download nothing new; the root is made anew after 30
# days. The programs run in a network namespace of their own with loopback
# only, and every mount lives in a private mount namespace, so nothing
# reaches the machine's networks or outlives the check.
set -euo pipefail
# A package named relative to where the script was started.
deb=${1:+$(realpath "$1")}
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "package-check: needs root (debootstrap, chroot, namespaces)" >&2; exit 1; }

now() { date +%s.%N; }
total_start=$(now)
step_start=$total_start
step_done() {
    local end
    end=$(now)
    awk -v name="$1" -v a="$step_start" -v b="$end" 'BEGIN { printf "package-check: %-28s %7.1f s\n", name, b - a }'
    step_start=$end
}

scripts/install-deps.sh package
step_done "tools"

# The package's generated files (the gzipped manual pages and changelog) with
# CMake's default generator too, which, unlike Ninja, makes no output folder
# by itself.
rm -rf build-make
cmake -S . -B build-make -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-make --target corvane_package_files >/dev/null
[ -s build-make/man/corvanectl.1.gz ] || { echo "package-check: no manual page with Unix Makefiles" >&2; exit 1; }
step_done "Unix Makefiles build"

# The Debian mirror this machine's apt uses (deb822 or one-line sources).
mirror=${CORVANE_DEBIAN_MIRROR:-}
security=
for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    uris=$(awk '/^URIs:/ { print $2 }' "$file")
    for uri in $uris; do
        case "$uri" in
        *debian-security*) security=${security:-$uri} ;;
        */debian | */debian/) mirror=${mirror:-${uri%/}} ;;
        esac
    done
done
if [ -z "$mirror" ]; then
    mirror=$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true)
fi
mirror=${mirror:-http://deb.debian.org/debian}

cache=${CORVANE_PACKAGE_CHECK_CACHE:-/var/cache/corvane-package-check}
tarball=$cache/bookworm-minbase-amd64.tar
mkdir -p "$cache/archives/partial" "$cache/debootstrap"
# One check at a time per cache: apt locks its archives, the root is rewritten.
exec 9>"$cache/lock"
flock 9

work=$(mktemp -d "${TMPDIR:-/var/tmp}/corvane-package-check.XXXXXX")
root=$work/root
# Mounts are made only inside private mount namespaces, so the root holds
# none when it is removed; --one-file-system guards that all the same.
trap 'rm -rf --one-file-system "$work"' EXIT
# A signal ends the script through its EXIT trap (after the running step).
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir "$root"

if [ -z "$deb" ]; then
    # The build's output stays visible; its last line is the package's path.
    scripts/package.sh | tee "$work/package.out" >&2
    deb=$(tail -n 1 "$work/package.out")
    step_done "package"
fi
[ -f "$deb" ] || { echo "package-check: no package $deb" >&2; exit 1; }
deb=$(realpath "$deb")
version=$(dpkg-deb -f "$deb" Version)

# Runs a command in the root, in a mount and a PID namespace of its own (the
# kernel ends every process in it when the command ends or is killed, so no
# dpkg writes on into a root being removed); "offline" adds a network
# namespace whose only link is loopback.
in_root() {
    local flags=(--mount --propagation private --pid --fork --kill-child)
    if [ "$1" = offline ]; then flags+=(--net); fi
    shift
    # shellcheck disable=SC2016 # expanded by the inner shell, in the namespace
    unshare "${flags[@]}" -- bash -euc '
        root=$1; shift
        ip link set lo up 2>/dev/null || true
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount --bind "$CACHE_ARCHIVES" "$root/var/cache/apt/archives"
        exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
            DEBIAN_FRONTEND=noninteractive "$@"' bash "$root" "$@"
}
export CACHE_ARCHIVES=$cache/archives

if [ -f "$tarball" ] && [ -n "$(find "$tarball" -mtime -30)" ]; then
    tar -C "$root" -xf "$tarball"
    step_done "root from cache"
else
    # debootstrap mounts /proc and /sys in the root itself: in a namespace of
    # its own they cannot outlive a failure.
    unshare --mount --propagation private -- \
        debootstrap --variant=minbase --cache-dir="$cache/debootstrap" bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -n 30 "$work/debootstrap.log" >&2; exit 1; }
    {
        echo "deb $mirror bookworm main"
        echo "deb $mirror bookworm-updates main"
        if [ -n "$security" ]; then echo "deb $security bookworm-security main"; fi
    } >"$root/etc/apt/sources.list"
    # A throwaway root: no fsync per file, no services started by packages.
    echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/unsafe-io"
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod 755 "$root/usr/sbin/policy-rc.d"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    rm -f "$root"/var/cache/apt/archives/*.deb
    in_root online apt-get update -qq
    tar -C "$root" -cf "$tarball.new" .
    mv "$tarball.new" "$tarball"
    step_done "root bootstrapped"
fi

cp -L /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"
in_root online apt-get update -qq
in_root online apt-get install -y -qq "/tmp/$(basename "$deb")" >"$work/install.log" 2>&1 ||
    { tail -n 40 "$work/install.log" >&2; exit 1; }
in_root online apt-get autoclean -qq
step_done "install with apt"

cat >"$root/tmp/check-programs.sh" <<'EOF'
#!/bin/bash
# Inside the root, offline: both programs as an operator would start them.
set -euo pipefail
version=$1
out=$(corvane --version)
[ "$out" = "corvane $version" ] || { echo "corvane --version printed: $out" >&2; exit 1; }
echo "corvane --version: $out"
corvanectl --help | grep -q '^Usage: corvanectl' || { echo "corvanectl --help printed no usage" >&2; exit 1; }
echo "corvanectl --help: usage printed"
# The completion the package installs, with stand-ins for the two helpers
# bash-completion would bring.
completion=/usr/share/bash-completion/completions/corvanectl
words=$(bash -c '_init_completion() { words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD; cur=${COMP_WORDS[COMP_CWORD]};
                 prev=${COMP_WORDS[COMP_CWORD-1]}; }
                 _filedir() { :; }
                 source '"$completion"'
                 COMP_WORDS=(corvanectl update --retr); COMP_CWORD=2; _corvanectl; echo "${COMPREPLY[*]}"')
[ "$words" = "--retries --retry-delay --retry-max-time" ] || { echo "completion of --retr gave: $words" >&2; exit 1; }
echo "bash completion: $words"

mkdir -m 700 /tmp/runtime
log=/tmp/corvane.log
XDG_RUNTIME_DIR=/tmp/runtime QT_QPA_PLATFORM=offscreen corvane 2>"$log" &
pid=$!
for _ in $(seq 600); do
    grep -q 'main view created' "$log" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if ! grep -q 'main view created' "$log"; then
    kill -KILL "$pid" 2>/dev/null || true
    echo "corvane did not create its main view:" >&2
    cat "$log" >&2
    exit 1
fi
echo "corvane: main view created"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || { echo "corvane ended with $status on SIGTERM:" >&2; cat "$log" >&2; exit 1; }
if grep -q 'qrc:/' "$log"; then
    echo "corvane logged QML warnings:" >&2
    cat "$log" >&2
    exit 1
fi
echo "corvane: ended with 0 on SIGTERM"
EOF
in_root offline bash /tmp/check-programs.sh "$version"
step_done "programs in the root"

# The packaged programs as built: PIE, stack protector, fortified calls,
# read-only relocations bound at start, and no run path that could load
# libraries from elsewhere. Control-flow protection is built but cannot show:
# Debian 12's C start files carry no IBT note, so no program of it has one
# (its own ssh and curl neither).
mkdir "$work/unpacked"
dpkg-deb -x "$deb" "$work/unpacked"
for program in "$work"/unpacked/usr/bin/*; do
    hardening-check --nocfprotection "$program" || { echo "package-check: $(basename "$program") lacks hardening" >&2; exit 1; }
    if readelf -d "$program" | grep -q -E 'R(UN)?PATH'; then
        echo "package-check: $(basename "$program") carries a run path" >&2
        exit 1
    fi
done
step_done "hardening"

# lintian refuses nothing as root but says it is not meant to run so: it
# reads a copy as nobody.
cp "$deb" "$work/"
chmod 755 "$work"
chmod 644 "$work/$(basename "$deb")"
lintian_status=0
setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work" \
    lintian --fail-on error --display-info "$work/$(basename "$deb")" || lintian_status=$?
step_done "lintian"
[ "$lintian_status" -eq 0 ] || { echo "package-check: lintian found errors" >&2; exit 1; }

rm -rf --one-file-system "$work"
step_done "remove the root"

end=$(now)
awk -v a="$total_start" -v b="$end" 'BEGIN { printf "package-check: %-28s %7.1f s\n", "total", b - a }'
echo "package-check: $(basename "$deb") passed"
