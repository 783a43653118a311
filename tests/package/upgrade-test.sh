#!/bin/bash
# The upgrade of a machine that runs kestrune-mqtt 1.4.0 to kestruned, in
# throw-away Debian 12 chroots: the old packages are built from their commit,
# installed with apt (their libraries come from Debian), given a settings
# file, a drop-in, a saved state and an enable state; then this tree's
# packages are installed over them, with systemctl and deb-systemd-invoke
# replaced by stubs that log their calls. Checked afterwards: the old service
# stopped before the new one started, the enable state carried over (enabled,
# disabled, masked) with deb-systemd-helper's record of it, the settings file
# moved (mode 0600, the old defaults written out, credential paths renamed),
# the drop-in and the saved state moved, the program runs; a second run of
# the postinst changes nothing; a purge leaves the settings file.
#
#   sudo KESTRUNE_UPGRADE_TEST=1 tests/package/upgrade-test.sh [BUILD_DIR]
#   KESTRUNE_UPGRADE_TEST=1 ctest --test-dir build -R package_upgrade   # as root
#
# It needs root, mmdebstrap or debootstrap, and the network (deb.debian.org)
# the first time; without the variable, or any of those, it exits 77
# (skipped). The old packages and the chroot are kept in a cache, keyed by the
# old commit, under $KESTRUNE_UPGRADE_CACHE (default
# ~/.cache/kestrune-upgrade-test): reruns build and download nothing.
# Ends with "upgrade-test: PASS ..." or "upgrade-test: FAIL ..."; details go
# to BUILD_DIR/upgrade-test.log.
set -u

OLD_COMMIT=603dfc6
OLD_VERSION=1.4.0
SUITE=bookworm
MIRROR=http://deb.debian.org/debian
SOURCE_DIR=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=$(cd "${1:-$SOURCE_DIR/build}" && pwd) || exit 1
CACHE=${KESTRUNE_UPGRADE_CACHE:-$HOME/.cache/kestrune-upgrade-test}
LOG=$BUILD_DIR/upgrade-test.log
JOBS=${KESTRUNE_UPGRADE_JOBS:-2}

skip() {
    echo "upgrade-test: SKIP $*"
    exit 77
}
fail() {
    echo "upgrade-test: FAIL $*"
    exit 1
}

[ "${KESTRUNE_UPGRADE_TEST:-}" = 1 ] || skip "set KESTRUNE_UPGRADE_TEST=1 to run it (it needs the network the first time)"
[ "$(id -u)" = 0 ] || skip "needs root (chroot)"
command -v mmdebstrap >/dev/null || command -v debootstrap >/dev/null || skip "no mmdebstrap or debootstrap"
[ -f "$BUILD_DIR/CPackConfig.cmake" ] || fail "$BUILD_DIR is not a configured Kestrune build"
git -C "$SOURCE_DIR" cat-file -e "$OLD_COMMIT^{commit}" 2>/dev/null || skip "commit $OLD_COMMIT is not in this clone"

: >"$LOG"
echo "Details go to $LOG" >&2
logged() {
    echo "+ $*" >>"$LOG"
    "$@" >>"$LOG" 2>&1
}
started=$SECONDS
mkdir -p "$CACHE"
WORK=$(mktemp -d /tmp/kestrune-upgrade.XXXXXX)
# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() {
    rm -rf "$WORK"
}
trap cleanup EXIT

# 1. The old packages, built once from their commit's files.
OLD_DEBS=$CACHE/debs-$OLD_COMMIT
if ! compgen -G "$OLD_DEBS/kestrune-mqtt_${OLD_VERSION}_*.deb" >/dev/null; then
    echo "Building the $OLD_VERSION packages from $OLD_COMMIT (once) ..." >&2
    mkdir -p "$WORK/old-src"
    git -C "$SOURCE_DIR" archive "$OLD_COMMIT" | tar -x -C "$WORK/old-src" || fail "git archive $OLD_COMMIT failed"
    logged cmake -S "$WORK/old-src" -B "$WORK/old-build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTRUNE_BUILD_TESTS=OFF -DKESTRUNE_BUILD_BENCH=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON || fail "cmake of $OLD_COMMIT failed (see $LOG)"
    logged cmake --build "$WORK/old-build" -j"$JOBS" --target kestrune-mqtt kestrune-packaging-files \
        || fail "build of $OLD_COMMIT failed (see $LOG)"
    (cd "$WORK/old-build" && logged cpack -G DEB -D CPACK_COMPONENTS_ALL="udev;mqtt") || fail "cpack of $OLD_COMMIT failed (see $LOG)"
    mkdir -p "$OLD_DEBS.tmp"
    cp "$WORK/old-build"/kestrune-udev_*.deb "$WORK/old-build"/kestrune-mqtt_*.deb "$OLD_DEBS.tmp/" || fail "no old packages"
    rm -rf "$OLD_DEBS" && mv "$OLD_DEBS.tmp" "$OLD_DEBS"
fi

# 2. The chroot: minimal Debian with the old packages' libraries in apt's
#    cache, kept as a tarball.
BASE=$CACHE/$SUITE-$OLD_COMMIT.tar
if [ ! -f "$BASE" ]; then
    echo "Making the $SUITE chroot (once) ..." >&2
    include=init-system-helpers,ca-certificates
    if command -v mmdebstrap >/dev/null; then
        logged mmdebstrap --variant=minbase --format=tar --include="$include" --skip=cleanup/apt \
            --customize-hook="mkdir -p \"\$1/tmp/old\" && cp $OLD_DEBS/*.deb \"\$1/tmp/old/\"" \
            --customize-hook='chroot "$1" sh -c "apt-get install -y --no-install-recommends --download-only /tmp/old/*.deb"' \
            --customize-hook='rm -rf "$1/tmp/old"' \
            "$SUITE" "$BASE.tmp" "$MIRROR" || fail "mmdebstrap failed (see $LOG)"
    else
        logged debootstrap --variant=minbase --include="$include" "$SUITE" "$WORK/base" "$MIRROR" \
            || fail "debootstrap failed (see $LOG)"
        mkdir -p "$WORK/base/tmp/old" && cp "$OLD_DEBS"/*.deb "$WORK/base/tmp/old/"
        cp /etc/resolv.conf "$WORK/base/etc/resolv.conf"
        logged chroot "$WORK/base" sh -c 'apt-get install -y --download-only /tmp/old/*.deb' || fail "apt-get in the chroot failed"
        rm -rf "$WORK/base/tmp/old"
        logged tar -C "$WORK/base" -cf "$BASE.tmp" . || fail "tar failed"
        rm -rf "$WORK/base"
    fi
    mv "$BASE.tmp" "$BASE"
fi
prepared=$((SECONDS - started))
[ "${2:-}" = --prepare ] && { echo "upgrade-test: prepared in ${prepared}s"; exit 0; }

# 3. This tree's packages, made into a folder of their own so that a
#    parallel package check in the build folder is not disturbed.
echo "Building the new packages ..." >&2
(cd "$BUILD_DIR" && logged cpack -G DEB -B "$WORK/new-cpack" -D CPACK_COMPONENTS_ALL="udev;daemon;transitional") \
    || fail "cpack failed (see $LOG)"
mkdir -p "$WORK/new"
cp "$WORK/new-cpack"/kestrune-udev_*.deb "$WORK/new-cpack"/kestruned_*.deb "$WORK/new-cpack"/kestrune-mqtt_*.deb "$WORK/new/" \
    || fail "cpack made no kestrune-udev, kestruned or kestrune-mqtt package"


# --- One scenario: a fresh chroot, prepared by $2 (shell, run inside), then
#     the new packages; $1 names it in messages.
problems=()
note() {
    echo "  - $*" >&2
    problems+=("$*")
}

ROOT=
# Runs a shell command line inside the chroot, with /proc.
in_root() {
    echo "+ [chroot] $*" >>"$LOG"
    unshare --mount --pid --fork --mount-proc="$ROOT/proc" chroot "$ROOT" /bin/sh -c "$*" >>"$LOG" 2>&1
}
# The same, its standard output returned.
from_root() {
    unshare --mount --pid --fork --mount-proc="$ROOT/proc" chroot "$ROOT" /bin/sh -c "$*" 2>>"$LOG"
}

new_root() {
    ROOT=$WORK/root-$1
    mkdir -p "$ROOT"
    tar -C "$ROOT" -xf "$BASE" || fail "cannot unpack $BASE"
    cp /etc/resolv.conf "$ROOT/etc/resolv.conf" 2>/dev/null
    # localhost from this file, as on any installed system, not from DNS.
    printf '127.0.0.1 localhost\n::1 localhost ip6-localhost\n' >"$ROOT/etc/hosts"
    mkdir -p "$ROOT/tmp/old" "$ROOT/tmp/new"
    cp "$OLD_DEBS"/*.deb "$ROOT/tmp/old/"
    cp "$WORK/new"/*.deb "$ROOT/tmp/new/"
    cp "$SOURCE_DIR/tests/package/stub.sh" "$ROOT/tmp/stub.sh"
}

install_old() {
    in_root 'DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends /tmp/old/*.deb' \
        || note "$1: the $OLD_VERSION packages do not install (see $LOG)"
}

# systemctl and deb-systemd-invoke become stubs that log; /run/systemd/system
# tells the maintainer scripts that systemd runs.
install_stubs() {
    in_root 'set -e
        mkdir -p /run/systemd/system
        for p in /usr/bin/systemctl /usr/bin/deb-systemd-invoke; do
            dpkg-divert --quiet --local --rename --add "$p"
            install -m 755 /tmp/stub.sh "$p"
        done' || fail "$1: cannot install the stubs"
}

install_new() {
    in_root 'DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends /tmp/new/*.deb' \
        || note "$1: the new packages do not install (see $LOG)"
}

# Asserts that shell test $2 holds in the chroot; $1 says what it means.
expect() {
    in_root "$2" || note "$SCENARIO: $1"
}

# The settings files the old package ran with, and what the upgrade makes
# of each: tests/package/conf/NAME.old and NAME.new.
CONF=$SOURCE_DIR/tests/package/conf

# Sets the old machine up: settings $1 (a file in $CONF), enable state $2.
setup_old() {
    local conf=$1 state=$2
    mkdir -p "$ROOT/etc/kestrune"
    install -m 600 "$CONF/$conf.old" "$ROOT/etc/kestrune/mqtt.conf"
    in_root 'set -e
        mkdir -p /etc/systemd/system/kestrune-mqtt.service.d
        printf "[Service]\nLoadCredential=client.key:/etc/kestrune/client.key\nEnvironment=KEYFILE=/run/credentials/kestrune-mqtt.service/client.key\n" \
            >/etc/systemd/system/kestrune-mqtt.service.d/key.conf
        mkdir -p -m 700 /var/lib/private
        mkdir -m 700 /var/lib/private/kestrune-mqtt
        printf "0x05 relays 1 and 3\n" >/var/lib/private/kestrune-mqtt/bench
        ln -s private/kestrune-mqtt /var/lib/kestrune-mqtt' || fail "$SCENARIO: cannot set the old machine up"
    expect "the $OLD_VERSION package did not enable its unit" \
        '[ -L /etc/systemd/system/multi-user.target.wants/kestrune-mqtt.service ]'
    case $state in
        enabled) ;;
        disabled) in_root 'rm /etc/systemd/system/multi-user.target.wants/kestrune-mqtt.service' ;;
        masked) in_root 'ln -s /dev/null /etc/systemd/system/kestrune-mqtt.service' ;;
    esac
}

WANTS=/etc/systemd/system/multi-user.target.wants
DSH=/var/lib/systemd/deb-systemd-helper-enabled

# What every upgrade must leave, whatever the enable state ($1) was.
check_upgraded() {
    local conf=$1 state=$2
    local log
    log=$(from_root 'cat /var/log/stub-calls.log 2>/dev/null')
    echo "stub calls:" >>"$LOG"
    echo "$log" >>"$LOG"
    local stop start
    stop=$(grep -n '^deb-systemd-invoke stop kestrune-mqtt.service$' <<<"$log" | head -n 1 | cut -d: -f1)
    start=$(grep -nE '^deb-systemd-invoke (start|restart) kestruned.service$' <<<"$log" | head -n 1 | cut -d: -f1)
    [ -n "$stop" ] || note "$SCENARIO: kestrune-mqtt.service was not stopped"
    [ -n "$start" ] || note "$SCENARIO: kestruned.service was not started"
    [ -n "$stop" ] && [ -n "$start" ] && [ "$stop" -gt "$start" ] \
        && note "$SCENARIO: kestruned.service started (call $start) before kestrune-mqtt.service stopped (call $stop)"

    # The enable state, and deb-systemd-helper's memory of it.
    expect "no record of kestruned.service in deb-systemd-helper's state" "[ -f $DSH/kestruned.service.dsh-also ]"
    expect "the old unit's state is left" \
        "[ ! -e $DSH/kestrune-mqtt.service.dsh-also ] && [ ! -e $DSH/multi-user.target.wants/kestrune-mqtt.service ] \
         && [ ! -L $WANTS/kestrune-mqtt.service ] && [ ! -L /etc/systemd/system/kestrune-mqtt.service ]"
    local was_enabled='DPKG_MAINTSCRIPT_PACKAGE=kestruned deb-systemd-helper --quiet was-enabled kestruned.service'
    case $state in
        enabled)
            expect "kestruned.service is not enabled" "[ -L $WANTS/kestruned.service ] && $was_enabled"
            expect "kestruned.service is masked" "[ ! -L /etc/systemd/system/kestruned.service ]"
            ;;
        disabled)
            expect "kestruned.service is enabled" "[ ! -e $WANTS/kestruned.service ] && ! $was_enabled"
            expect "deb-systemd-helper would enable kestruned.service on its next upgrade" \
                "[ -e $DSH/multi-user.target.wants/kestruned.service ]"
            ;;
        masked)
            expect "kestruned.service is not masked" \
                "[ \"\$(readlink /etc/systemd/system/kestruned.service)\" = /dev/null ]"
            ;;
    esac

    # The settings file, the drop-in and the saved state.
    expect "mqtt.conf is still there" '[ ! -e /etc/kestrune/mqtt.conf ]'
    expect "kestruned.conf is not root's, mode 600" \
        '[ "$(stat -c %U:%G:%a /etc/kestrune/kestruned.conf)" = root:root:600 ]'
    if ! diff -u "$CONF/$conf.new" "$ROOT/etc/kestrune/kestruned.conf" >>"$LOG" 2>&1; then
        note "$SCENARIO: kestruned.conf is not $conf.new (diff in $LOG)"
    fi
    expect "the drop-in did not move, or names the old unit's credentials" \
        "[ ! -e /etc/systemd/system/kestrune-mqtt.service.d ] \
         && grep -qx 'Environment=KEYFILE=/run/credentials/kestruned.service/client.key' /etc/systemd/system/kestruned.service.d/key.conf"
    expect "the saved state did not move" \
        '[ ! -e /var/lib/private/kestrune-mqtt ] && [ ! -L /var/lib/kestrune-mqtt ] \
         && [ "$(cat /var/lib/private/kestruned/bench)" = "0x05 relays 1 and 3" ] \
         && [ "$(readlink /var/lib/kestruned)" = private/kestruned ]'
    expect "the old program or unit is left" \
        '[ ! -e /usr/bin/kestrune-mqtt ] && [ ! -e /usr/lib/systemd/system/kestrune-mqtt.service ] && [ ! -e /lib/systemd/system/kestrune-mqtt.service ]'
    expect "kestruned --config /etc/kestrune/kestruned.conf --help fails" \
        'kestruned --config /etc/kestrune/kestruned.conf --help | grep -q -- --config'
    expect "kestruned --version does not say 1.5.0" 'kestruned --version | grep -q 1.5.0'
    # The service takes the moved settings as the old daemon took the old
    # ones: MQTT on, every board. The broker stays the file's (localhost)
    # on a closed port; files named for TLS do not exist here, so settings
    # naming them are not run.
    if ! grep -Eq '^(cafile|certfile|keyfile) *=' "$CONF/$conf.new"; then
        local said
        said=$(from_root 'timeout 3 kestruned --config /etc/kestrune/kestruned.conf --port 9 2>&1; echo "exit $?"')
        echo "$said" >>"$LOG"
        grep -q 'MQTT on' <<<"$said" && grep -q 'taking every FTDI board' <<<"$said" && grep -q '^exit 124$' <<<"$said" \
            || note "$SCENARIO: kestruned does not run with the moved settings, MQTT on, every board: $(tr '\n' ' ' <<<"$said")"
    fi

    # A second run of the postinst finds nothing left to do.
    local before after
    local tree='find /etc/kestrune /etc/systemd /var/lib/systemd /var/lib/private /var/lib/kestruned* -printf "%p %y %m %U %l\n" | sort; cat /etc/kestrune/* /etc/systemd/system/*.d/* | md5sum'
    before=$(from_root "$tree")
    in_root 'DPKG_MAINTSCRIPT_PACKAGE=kestruned DPKG_MAINTSCRIPT_NAME=postinst /var/lib/dpkg/info/kestruned.postinst configure 1.5.0' \
        || note "$SCENARIO: a second postinst run fails"
    after=$(from_root "$tree")
    [ "$before" = "$after" ] || {
        note "$SCENARIO: a second postinst run changes files"
        diff <(echo "$before") <(echo "$after") >>"$LOG"
    }
}

# After the purge of both: the administrator's settings stay, the rest goes.
check_purged() {
    in_root 'DEBIAN_FRONTEND=noninteractive apt-get purge -y kestrune-mqtt kestruned' \
        || note "$SCENARIO: apt-get purge fails"
    expect "the purge removed /etc/kestrune/kestruned.conf" '[ -f /etc/kestrune/kestruned.conf ]'
    expect "the purge left the unit's links or state" \
        "[ ! -e $WANTS/kestruned.service ] && [ ! -e $DSH/kestruned.service.dsh-also ] \
         && [ ! -e $DSH/multi-user.target.wants/kestruned.service ]"
    expect "the purge left the saved states" '[ ! -e /var/lib/private/kestruned ] && [ ! -L /var/lib/kestruned ]'
}

# conf (tests/package/conf/NAME.{old,new}), enable state, then purged or not
scenarios=(
    "bare enabled purged"
    "full disabled kept"
    "example masked kept"
    "nodes enabled kept"
)
for row in "${scenarios[@]}"; do
    read -r conf state purge <<<"$row"
    SCENARIO="$conf/$state"
    echo "Upgrading: settings $conf, unit $state ..." >&2
    new_root "$conf-$state"
    install_old "$SCENARIO"
    setup_old "$conf" "$state"
    install_stubs "$SCENARIO"
    install_new "$SCENARIO"
    check_upgraded "$conf" "$state"
    [ "$purge" = purged ] && check_purged
    rm -rf "$ROOT"
done

# A fresh install beside an administrator's kestruned.conf and a leftover
# mqtt.conf: neither is touched, nothing of the old unit is called.
SCENARIO=fresh
echo "Installing on a machine without kestrune-mqtt ..." >&2
new_root fresh
mkdir -p "$ROOT/etc/kestrune"
printf '[boards]\nserials = A1\n' >"$ROOT/etc/kestrune/kestruned.conf"
printf '[boards]\nserials = B2\n' >"$ROOT/etc/kestrune/mqtt.conf"
chmod 640 "$ROOT/etc/kestrune/kestruned.conf"
install_stubs fresh
install_new fresh
expect "an existing kestruned.conf was changed" \
    '[ "$(cat /etc/kestrune/kestruned.conf)" = "$(printf "[boards]\nserials = A1")" ] && [ "$(stat -c %a /etc/kestrune/kestruned.conf)" = 640 ]'
expect "a leftover mqtt.conf was moved" '[ -f /etc/kestrune/mqtt.conf ]'
expect "kestruned.service is not recorded by deb-systemd-helper" "[ -f $DSH/kestruned.service.dsh-also ]"
expect "the absent old unit was called" '! grep -q kestrune-mqtt /var/log/stub-calls.log'
rm -rf "$ROOT"

total=$((SECONDS - started))
if [ ${#problems[@]} -eq 0 ]; then
    echo "upgrade-test: PASS $(( ${#scenarios[@]} + 1 )) scenarios in ${total}s (${prepared}s to prepare)"
    exit 0
fi
echo "upgrade-test: FAIL ${#problems[@]} problem(s) in ${total}s: ${problems[*]}"
exit 1
