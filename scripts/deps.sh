#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Kestrune
# need, and only those that are missing. Uses sudo when not run as root.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qt6-base-dev libgl-dev libftdi1-dev
    umockdev libumockdev-dev
    clang
    xvfb xauth
    lintian
    libmosquitto-dev mosquitto mosquitto-clients openssl
)

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
    sudo_cmd=(sudo)
fi
updated=no

# Installs those of the given packages that are not installed yet.
install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
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

# The fuzzers link clang's own runtime (libFuzzer and the sanitizers), which
# comes with the version of the clang++ that builds them (scripts/test.sh):
# the distribution's default clang, whatever its version.
clang_major=$(clang++ -dumpversion | cut -d. -f1)
runtime=libclang-rt-${clang_major}-dev
if ! dpkg-query -W -f='${Status}' "$runtime" 2>/dev/null | grep -q 'install ok installed'; then
    if [[ $updated == no ]] && ! apt-cache show "$runtime" >/dev/null 2>&1; then
        "${sudo_cmd[@]}" apt-get update -qq
        updated=yes
    fi
    if apt-cache show "$runtime" >/dev/null 2>&1; then
        install_missing "$runtime"
    else
        # Where there is no such package, clang's own packages carry the runtime.
        echo "No package $runtime: the fuzzers use the runtime that comes with clang $clang_major."
    fi
fi
