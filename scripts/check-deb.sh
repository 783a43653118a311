#!/bin/bash
# Builds the Debian packages from a configured and built tree, runs lintian
# on them, verifies the systemd unit offline in the unpacked package, then
# installs each package (with kestrune-udev, which all depend on), checks that
# its files landed where they belong and work, removes and purges it again and
# checks that nothing was left behind. Run by hand, as root, on a machine
# where no Kestrune package is installed:
#
#   cmake -S . -B build && cmake --build build -j2
#   sudo scripts/check-deb.sh build
#
# With --no-install it stops before installing anything and needs no root;
# the test command runs it so on its plain build (test "packages"):
#
#   scripts/check-deb.sh --no-install build
#
# Ends with one line: "check-deb: PASS ..." (exit 0) or "check-deb: FAIL ..."
# (exit 1). Details go to BUILD_DIR/check-deb.log.
set -u

INSTALL=yes
if [ "${1:-}" = --no-install ]; then
    INSTALL=no
    shift
fi
BUILD_DIR=${1:-build}
SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
ALL_PACKAGES=(kestrune-udev kestrune kestrune-cli kestruned kestrune-mqtt)
UNIT=kestruned.service
UNIT_LINK=/etc/systemd/system/multi-user.target.wants/$UNIT
export DEBIAN_FRONTEND=noninteractive

problems=()
installed_by_us=()
LOG=/dev/null

fail() {
    echo "check-deb: FAIL $*"
    exit 1
}

note() {
    echo "  - $*" >&2
    problems+=("$*")
}

is_installed() {
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

# Drops package $1 from the ones the EXIT trap purges.
forget() {
    local kept=() q
    for q in "${installed_by_us[@]}"; do
        [ "$q" = "$1" ] || kept+=("$q")
    done
    installed_by_us=("${kept[@]}")
}

# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() {
    local p
    for p in "${installed_by_us[@]}"; do
        dpkg --purge "$p" >/dev/null 2>&1 || true
    done
}
trap cleanup EXIT

# Runs a command with its output appended to the log.
logged() {
    echo "+ $*" >>"$LOG"
    "$@" >>"$LOG" 2>&1
}

[ $INSTALL = no ] || [ "$(id -u)" = 0 ] || fail "must run as root (it installs and removes the packages; --no-install does not)"
[ -d "$BUILD_DIR" ] || fail "no build directory $BUILD_DIR"
[ -f "$BUILD_DIR/CPackConfig.cmake" ] || fail "$BUILD_DIR is not a configured Kestrune build"
for need in cpack:cmake dpkg-shlibdeps:dpkg-dev lintian:lintian apt-get:apt systemd-analyze:systemd; do
    command -v "${need%%:*}" >/dev/null || fail "${need%%:*} not found (apt-get install ${need#*:})"
done
for p in "${ALL_PACKAGES[@]}"; do
    [ $INSTALL = yes ] || break
    is_installed "$p" && fail "$p is already installed; remove it first (apt-get purge -y $p)"
done

BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
LOG=$BUILD_DIR/check-deb.log
: >"$LOG"
echo "Details go to $LOG" >&2

# The packages this build makes: kestrune-cli and kestruned (with the
# transitional kestrune-mqtt) only when their programs are part of it.
components=$(sed -n 's/^set(CPACK_COMPONENTS_ALL "\(.*\)")$/\1/p' "$BUILD_DIR/CPackConfig.cmake")
packages=(kestrune-udev kestrune)
[[ ";$components;" == *";cli;"* ]] && packages+=(kestrune-cli)
[[ ";$components;" == *";daemon;"* ]] && packages+=(kestruned)
[[ ";$components;" == *";transitional;"* ]] && packages+=(kestrune-mqtt)

# 1. Build them. Older copies are removed first so that the files found below
#    are the ones just made.
echo "Building ${packages[*]} in $BUILD_DIR ..." >&2
for p in "${ALL_PACKAGES[@]}"; do
    rm -f "$BUILD_DIR/${p}"_*.deb
done
(cd "$BUILD_DIR" && logged cpack -G DEB) || fail "cpack -G DEB failed (see $LOG)"
declare -A deb
for p in "${packages[@]}"; do
    # shellcheck disable=SC2012  # the names are ours: NAME_VERSION_ARCH.deb
    deb[$p]=$(ls -t "$BUILD_DIR/${p}"_*.deb 2>/dev/null | head -n 1)
    [ -n "${deb[$p]}" ] || fail "cpack made no ${p}_*.deb in $BUILD_DIR"
done

# 2. What each package says about itself. Its version is the changelog's
#    newest entry; the command-line tool and the daemon need no display
#    libraries, not even further down their dependencies.
for p in "${packages[@]}"; do
    echo "$(basename "${deb[$p]}"):" >&2
    dpkg-deb -f "${deb[$p]}" Version Architecture Section Depends | sed 's/^/    /' >&2
    version=$(dpkg-deb -f "${deb[$p]}" Version)
    newest=$(dpkg-deb --fsys-tarfile "${deb[$p]}" | tar -xO "./usr/share/doc/$p/changelog.gz" | gunzip | head -n 1)
    [[ $newest == "kestrune ($version) "* ]] || note "$p $version: its changelog starts with '$newest'"
done
# kestrune-mqtt is the service's old name: an empty package in oldlibs that
# only brings kestruned in, at this version, and is no stand-in for it.
# kestruned takes its place on upgrade.
if [ -n "${deb[kestrune-mqtt]:-}" ]; then
    fields=$(dpkg-deb -f "${deb[kestrune-mqtt]}" Section Architecture Depends Provides)
    expected="Section: oldlibs
Architecture: all
Depends: kestruned (= $(dpkg-deb -f "${deb[kestrune-mqtt]}" Version))"
    [ "$fields" = "$expected" ] || note "kestrune-mqtt: control fields are $(tr '\n' ' ' <<<"$fields")"
    others=$(dpkg-deb -c "${deb[kestrune-mqtt]}" | awk '$1 !~ /^d/ { print $6 }' | grep -v '^\./usr/share/doc/kestrune-mqtt/')
    if [ -n "$others" ]; then
        note "kestrune-mqtt: holds files outside /usr/share/doc/kestrune-mqtt: $(xargs <<<"$others")"
    fi
fi
if [ -n "${deb[kestruned]:-}" ]; then
    for field in Breaks Replaces; do
        [ "$(dpkg-deb -f "${deb[kestruned]}" $field)" = "kestrune-mqtt (<< 1.5.0~)" ] \
            || note "kestruned: $field is not kestrune-mqtt (<< 1.5.0~)"
    done
fi
display='libqt6(widgets|gui|opengl)|libgl[0-9x]|libegl|libopengl|libx11|libxcb|libwayland'
for p in kestrune-cli kestruned; do
    [ -n "${deb[$p]:-}" ] || continue
    depends=$(dpkg-deb -f "${deb[$p]}" Depends)
    grep -Eq "$display" <<<"$depends" && note "$p depends on display libraries: $depends"
    # Further down needs the package lists, as installing does.
    [ $INSTALL = yes ] || continue
    # The names only, without versions, alternatives and our own package.
    mapfile -t direct < <(tr ',|' '\n' <<<"$depends" | sed 's/(.*//; s/ //g' | grep -v '^kestrune' | grep .)
    if below=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
        --no-breaks --no-replaces --no-enhances "${direct[@]}" 2>>"$LOG"); then
        pulled=$(grep -E '^ *(Pre)?Depends: ' <<<"$below" | grep -Eo "($display)[^ ]*" | sort -u | xargs)
        [ -z "$pulled" ] || note "$p pulls display libraries in through its dependencies: $pulled"
    else
        note "apt-cache cannot resolve the dependencies of $p (see $LOG)"
    fi
done

# 3. lintian: no error and no warning in any package.
echo "Running lintian ..." >&2
logged lintian --tag-display-limit 0 --display-info "${deb[@]}"
tags=$(sed -n '/^+ lintian/,$p' "$LOG" | grep -E '^[EWI]: ' || true)
for level in E W I; do
    printf '    lintian %s: %s\n' "$level" "$(grep -c "^$level: " <<<"$tags")" >&2
done
while IFS= read -r line; do
    [ -n "$line" ] && note "lintian $line"
done < <(grep -E '^[EW]: ' <<<"$tags")

# 4. The unit, verified offline in the unpacked package, beside this
#    system's own units (the targets it is ordered against): its program
#    must be in the package, every setting known to systemd. A warning
#    (an unknown key, say) fails it as an error does.
if [ -n "${deb[kestruned]:-}" ]; then
    echo "Verifying $UNIT in the unpacked package ..." >&2
    tree=$(mktemp -d)
    dpkg-deb -x "${deb[kestruned]}" "$tree"
    cp -rn /usr/lib/systemd/system/. "$tree/usr/lib/systemd/system/"
    echo "+ systemd-analyze --man=no --root=$tree verify $UNIT" >>"$LOG"
    if ! said=$(systemd-analyze --man=no --root="$tree" verify "$tree/usr/lib/systemd/system/$UNIT" 2>&1) || [ -n "$said" ]; then
        echo "$said" >>"$LOG"
        note "kestruned: systemd-analyze verify: $(tr '\n' ' ' <<<"$said")"
    fi
    rm -rf "$tree"
fi

# The last line: PASS with what was checked ($1), or FAIL with every problem.
verdict() {
    local names
    names=$(for p in "${packages[@]}"; do basename "${deb[$p]}"; done | xargs)
    if [ ${#problems[@]} -eq 0 ]; then
        echo "check-deb: PASS ${#packages[@]} packages ($names), lintian clean, $1"
        exit 0
    fi
    echo "check-deb: FAIL ${#problems[@]} problem(s): ${problems[*]}"
    exit 1
}

if [ $INSTALL = no ]; then
    verdict "$UNIT verified (not installed)"
fi

# 5. Install, check, remove and purge each package in turn.

# Every file that package $1's .deb holds.
files_of() {
    dpkg-deb -c "${deb[$1]}" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }'
}

install_debs() {
    logged apt-get install -y "$@" || return 1
}

# Package-specific checks, run while the package is installed.
check_installed() {
    local p=$1 f exe
    while IFS= read -r f; do
        [ -f "$f" ] || note "$p: missing after install: $f"
    done < <(files_of "$p")
    while IFS= read -r exe; do
        [ -x "$exe" ] || { note "$p: not executable: $exe"; continue; }
        if ldd "$exe" 2>/dev/null | grep -q 'not found'; then
            note "$p: unresolved libraries in $exe: $(ldd "$exe" | grep 'not found' | tr -s ' \t' ' ')"
        fi
    done < <(files_of "$p" | grep '^/usr/bin/')
    while IFS= read -r f; do
        f=$(basename "$f" .gz)
        logged man -w "${f##*.}" "${f%.*}" || note "$p: man finds no page ${f%.*}(${f##*.})"
    done < <(files_of "$p" | grep '^/usr/share/man/')
    case $p in
        kestrune-udev)
            grep -q 'TAG+="uaccess"' /usr/lib/udev/rules.d/60-kestrune.rules \
                || note "$p: the udev rule carries no uaccess tag"
            grep -q 'GROUP="plugdev", MODE="0660"' /usr/lib/udev/rules.d/60-kestrune.rules \
                || note "$p: the udev rule gives group plugdev no access"
            ;;
        kestrune)
            if command -v desktop-file-validate >/dev/null; then
                for f in /usr/share/applications/kestrune.desktop /usr/share/applications/kestrune-demo.desktop; do
                    logged desktop-file-validate "$f" || note "$p: desktop-file-validate rejects $f"
                done
            fi
            ;;
        kestrune-cli)
            logged kestrune-cli --version || note "$p: kestrune-cli --version fails"
            logged "$SOURCE_DIR/scripts/check-completion.sh" /usr/share/bash-completion/completions/kestrune-cli \
                || note "$p: the bash completion fails its check (see $LOG)"
            ;;
        kestruned)
            logged systemd-analyze verify "/usr/lib/systemd/system/$UNIT" \
                || note "$p: systemd-analyze verify rejects $UNIT (see $LOG)"
            [ -L "$UNIT_LINK" ] || note "$p: $UNIT not enabled (no $UNIT_LINK)"
            f=/usr/share/doc/kestruned/examples/kestruned.conf
            [ "$(stat -c %a "$f" 2>/dev/null)" = 644 ] || note "$p: $f is not mode 644"
            grep -Eq '^[[:space:]]*password[[:space:]]*=[[:space:]]*[^[:space:]]' "$f" \
                && note "$p: $f holds a password"
            [ -e /etc/kestrune/kestruned.conf ] && note "$p: the package made /etc/kestrune/kestruned.conf"
            ;;
        kestrune-mqtt)
            command -v kestrune-mqtt >/dev/null && note "$p: a program kestrune-mqtt is installed"
            ;;
    esac
}

# Removes and purges package $1 and checks that none of its files is left.
remove_package() {
    local p=$1 f
    logged apt-get remove -y "$p" || note "apt-get remove $p failed (see $LOG)"
    is_installed "$p" && note "$p still installed after removal"
    logged dpkg --purge "$p" || note "dpkg --purge $p failed (see $LOG)"
    forget "$p"
    while IFS= read -r f; do
        [ -e "$f" ] && note "$p: left behind after purge: $f"
    done < <(files_of "$p")
    if [ "$p" = kestruned ]; then
        if [ -e "$UNIT_LINK" ] || [ -L "$UNIT_LINK" ]; then
            note "$p: $UNIT_LINK left behind after purge"
        fi
        compgen -G "/var/lib/systemd/deb-systemd-helper-enabled/*$UNIT*" >/dev/null \
            && note "$p: deb-systemd-helper still records $UNIT after purge"
    fi
}

count=0
udev=${deb[kestrune-udev]}
for p in "${packages[@]}"; do
    [ "$p" = kestrune-udev ] && continue
    echo "Installing, checking and removing $p ..." >&2
    # The transitional package with what it brings in.
    with=()
    with_debs=()
    if [ "$p" = kestrune-mqtt ]; then
        with=(kestruned)
        with_debs=("${deb[kestruned]}")
    fi
    if ! install_debs "${deb[$p]}" "${with_debs[@]}" "$udev"; then
        note "apt-get install $p failed (see $LOG)"
        continue
    fi
    installed_by_us+=("$p" "${with[@]}" kestrune-udev)
    is_installed "$p" || note "$p not in state 'installed' after installing it"
    check_installed "$p"
    check_installed kestrune-udev
    count=$((count + $(files_of "$p" | wc -l)))
    remove_package "$p"
    for q in "${with[@]}"; do
        remove_package "$q"
    done
done
echo "Removing kestrune-udev ..." >&2
count=$((count + $(files_of kestrune-udev | wc -l)))
remove_package kestrune-udev

verdict "$count files installed and removed cleanly"
