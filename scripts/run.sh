#!/usr/bin/env bash
# Installs what is missing, builds Kestrune, and starts it: on the real
# boards when a USB device with FTDI's vendor id (0403) is attached,
# otherwise the demo on simulated boards.
#
#   scripts/run.sh                            install, build in build-run/, start
#   scripts/run.sh --print-program BUILD_DIR  print the program it would start
#                                             from BUILD_DIR, and nothing else
#
# The second form installs and builds nothing; the test command uses it to
# start the same program from its own build.
set -euo pipefail
cd "$(dirname "$0")/.."

# The first USB device with FTDI's vendor id, as its sysfs name; empty: none.
ftdi_device() {
    local vendor
    for vendor in /sys/bus/usb/devices/*/idVendor; do
        [[ -r $vendor ]] || continue
        if [[ $(cat "$vendor") == 0403 ]]; then
            basename "$(dirname "$vendor")"
            return
        fi
    done
}

# The program to start from build directory $1: every program of a build
# lands in its bin/.
program_in() {
    if [[ -n $(ftdi_device) ]]; then
        echo "$1/bin/kestrune"
    else
        echo "$1/bin/kestrune-demo"
    fi
}

if [[ ${1:-} == --print-program ]]; then
    [[ $# -eq 2 ]] || { echo "usage: $0 --print-program BUILD_DIR" >&2; exit 2; }
    program_in "$2"
    exit 0
fi

scripts/deps.sh run
# A build of its own, without tests and benchmarks: scripts/test.sh keeps
# build/ with every test in it.
cmake -S . -B build-run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_TESTS=OFF -DKESTRUNE_BUILD_BENCH=OFF >/dev/null
cmake --build build-run -j"$(nproc)" --target kestrune kestrune-demo

program=$(program_in build-run)
if [[ $program == */kestrune ]]; then
    echo "Starting kestrune: a USB device with FTDI's vendor id is attached ($(ftdi_device))."
else
    echo "Starting kestrune-demo: no USB device with FTDI's vendor id (0403) is attached,"
    echo "so the window runs on two simulated boards (see the \"Board view\" window)."
fi
exec "$program"
