#!/usr/bin/env bash
# Installs the Debian packages that Kestrune needs, and only those that are
# missing. Uses sudo when not run as root.
#
#   scripts/deps.sh run          what building and running the programs needs
#   scripts/deps.sh [test]       that, and everything the tests need as well
#   scripts/deps.sh --list SET   prints the packages of SET (run or test), one
#                                a line, and installs nothing
set -euo pipefail

# Building and running: the compiler and build tools, Qt, libftdi1 and the
# MQTT client library (kestrune-mqtt is built with the rest).
run_packages=(
    build-essential cmake pkg-config
    qt6-base-dev libgl-dev libftdi1-dev
    libmosquitto-dev
)
# Only the tests need these: emulated boards (umockdev), the fuzzers (clang
# and its runtime, added below), a virtual display (Xvfb) and xwininfo to see
# a window on it, the package checks (lintian, and systemd for
# systemd-analyze, absent from a bare container), a broker with its
# clients and openssl for the daemon's tests, and the test lab's tools that
# the recipes in packaging/examples are run with (pdudaemon, labgrid).
test_only_packages=(
    umockdev libumockdev-dev
    clang
    xvfb xauth x11-utils
    lintian systemd
    mosquitto mosquitto-clients openssl
    pdudaemon python3-labgrid
)

list=no
if [[ ${1:-} == --list ]]; then
    list=yes
    shift
fi
set_name=${1:-test}
case $set_name in
    run) packages=("${run_packages[@]}") ;;
    test) packages=("${run_packages[@]}" "${test_only_packages[@]}") ;;
    *)
        echo "usage: $0 [--list] [run|test]" >&2
        exit 2
        ;;
esac

# The fuzzers link clang's own runtime (libFuzzer and the sanitizers), which
# comes with the version of the clang++ that builds them (scripts/test.sh):
# the distribution's default clang, whatever its version. Its package name
# is known only once clang is installed.
clang_runtime() {
    command -v clang++ >/dev/null || return 0
    echo "libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"
}

if [[ $list == yes ]]; then
    printf '%s\n' "${packages[@]}"
    if [[ $set_name == test ]]; then
        runtime=$(clang_runtime)
        # Before clang is installed its version is not known yet: CLANG_MAJOR
        # stands for the major version of the clang that will be installed.
        echo "${runtime:-libclang-rt-CLANG_MAJOR-dev}"
    fi
    exit 0
fi

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
    sudo_cmd=(sudo)
fi
updated=no

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Installs those of the given packages that are not installed yet.
install_missing() {
    local missing=() p
    for p in "$@"; do
        installed "$p" || missing+=("$p")
    done
    ((${#missing[@]} > 0)) || return 0
    echo "Installing: ${missing[*]}"
    if [[ $updated == no ]]; then
        "${sudo_cmd[@]}" apt-get update -qq
        updated=yes
    fi
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_missing "${packages[@]}"
[[ $set_name == test ]] || exit 0

runtime=$(clang_runtime)
if ! installed "$runtime"; then
    if [[ $updated == no ]] && ! apt-cache show "$runtime" >/dev/null 2>&1; then
        "${sudo_cmd[@]}" apt-get update -qq
        updated=yes
    fi
    if apt-cache show "$runtime" >/dev/null 2>&1; then
        install_missing "$runtime"
    else
        # Where there is no such package, clang's own packages carry the runtime.
        echo "No package $runtime: the fuzzers use the runtime that comes with clang ${runtime//[!0-9]/}."
    fi
fi
