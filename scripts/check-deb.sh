#!/bin/bash
# Builds the Debian package from a configured and built tree, installs it,
# checks that every file landed where it belongs, removes it again and checks
# that nothing was left behind. Run by hand, as root, on a machine where the
# kestrune package is not installed:
#
#   cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build -j2
#   sudo scripts/check-deb.sh build
#
# Ends with one line: "check-deb: PASS ..." (exit 0) or "check-deb: FAIL ..."
# (exit 1).
set -u

BUILD_DIR=${1:-build}
PKG=kestrune
export DEBIAN_FRONTEND=noninteractive

FILES=(
    /usr/bin/kestrune
    /usr/bin/kestrune-demo
    /usr/lib/udev/rules.d/60-kestrune.rules
    /usr/share/applications/kestrune.desktop
    /usr/share/applications/kestrune-demo.desktop
    /usr/share/icons/hicolor/128x128/apps/kestrune.png
)

installed_by_us=0
problems=()
LOG=

fail() {
    echo "check-deb: FAIL $*"
    exit 1
}

note() {
    echo "  - $*" >&2
    problems+=("$*")
}

# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() {
    if [ "$installed_by_us" = 1 ]; then
        apt-get remove -y "$PKG" >/dev/null 2>&1 || dpkg -r "$PKG" >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT

is_installed() {
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$PKG" 2>/dev/null)" = installed ]
}

[ "$(id -u)" = 0 ] || fail "must run as root (it installs and removes the package)"
[ -d "$BUILD_DIR" ] || fail "no build directory $BUILD_DIR"
[ -f "$BUILD_DIR/CPackConfig.cmake" ] || fail "$BUILD_DIR is not a configured Kestrune build"
command -v cpack >/dev/null || fail "cpack not found"
command -v dpkg-shlibdeps >/dev/null || fail "dpkg-shlibdeps not found (apt-get install dpkg-dev)"
if is_installed; then
    fail "$PKG is already installed; remove it first (apt-get remove -y $PKG)"
fi

BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
LOG=$BUILD_DIR/check-deb.log
: >"$LOG"
echo "Details go to $LOG" >&2

# Runs a command with its output appended to the log.
logged() {
    echo "+ $*" >>"$LOG"
    "$@" >>"$LOG" 2>&1
}

# 1. Build the package. Older copies are removed first so that the file found
#    below is the one just made.
echo "Building the package in $BUILD_DIR ..." >&2
rm -f "$BUILD_DIR"/${PKG}_*.deb
(cd "$BUILD_DIR" && logged cpack -G DEB) || fail "cpack -G DEB failed (see $LOG)"
# shellcheck disable=SC2012  # the name is ours: kestrune_VERSION_ARCH.deb
deb=$(ls -t "$BUILD_DIR"/${PKG}_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "cpack made no ${PKG}_*.deb in $BUILD_DIR"
name=$(basename "$deb")
echo "Built $name" >&2
dpkg-deb -f "$deb" Package Version Section Depends >&2

# 2. Install it the way a user would.
echo "Installing $name ..." >&2
if command -v apt-get >/dev/null; then
    logged apt-get install -y "$deb" \
        || fail "apt-get install $name failed (see $LOG)"
else
    logged dpkg -i "$deb" || fail "dpkg -i $name failed (see $LOG)"
fi
installed_by_us=1
is_installed || fail "$PKG not in state 'installed' after installing $name"

# 3. Every file in place, executables executable and linkable, menu entries valid.
for f in "${FILES[@]}"; do
    [ -f "$f" ] || note "missing after install: $f"
done
for exe in /usr/bin/kestrune /usr/bin/kestrune-demo; do
    [ -x "$exe" ] || { note "not executable: $exe"; continue; }
    if ldd "$exe" 2>/dev/null | grep -q 'not found'; then
        note "unresolved libraries in $exe: $(ldd "$exe" | grep 'not found' | tr -s ' \t' ' ')"
    fi
done
if command -v desktop-file-validate >/dev/null; then
    for d in /usr/share/applications/kestrune.desktop /usr/share/applications/kestrune-demo.desktop; do
        [ -f "$d" ] && ! logged desktop-file-validate "$d" && note "desktop-file-validate rejects $d"
    done
fi
grep -q 'TAG+="uaccess"' /usr/lib/udev/rules.d/60-kestrune.rules 2>/dev/null \
    || note "udev rule carries no uaccess tag"
grep -q 'GROUP="plugdev", MODE="0660"' /usr/lib/udev/rules.d/60-kestrune.rules 2>/dev/null \
    || note "udev rule gives group plugdev no access"
count=${#FILES[@]}

# 4. Remove it and check that nothing is left behind.
echo "Removing $PKG ..." >&2
if command -v apt-get >/dev/null; then
    logged apt-get remove -y "$PKG" \
        || note "apt-get remove $PKG failed (see $LOG)"
else
    logged dpkg -r "$PKG" || note "dpkg -r $PKG failed (see $LOG)"
fi
installed_by_us=0
is_installed && note "$PKG still installed after removal"
for f in "${FILES[@]}"; do
    [ -e "$f" ] && note "left behind after removal: $f"
done
# The maintainer scripts keep dpkg's record of the package ("rc") until it is
# purged; drop that too so that the machine is as it was.
logged dpkg --purge "$PKG" || note "dpkg --purge $PKG failed (see $LOG)"

if [ ${#problems[@]} -eq 0 ]; then
    echo "check-deb: PASS $name installed $count files and removed cleanly"
    exit 0
fi
echo "check-deb: FAIL $name: ${#problems[@]} problem(s): ${problems[*]}"
exit 1
