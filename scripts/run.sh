#!/usr/bin/env bash
# Installs what is missing, builds Kestrune, and starts it: on the real
# boards when a USB device with FTDI's vendor id (0403) is attached,
# otherwise the demo on simulated boards.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh run
# A build of its own, without tests and benchmarks: scripts/test.sh keeps
# build/ with every test in it.
cmake -S . -B build-run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_TESTS=OFF -DKESTRUNE_BUILD_BENCH=OFF >/dev/null
cmake --build build-run -j"$(nproc)" --target kestrune kestrune-demo

ftdi=""
for vendor in /sys/bus/usb/devices/*/idVendor; do
    [[ -r $vendor ]] || continue
    if [[ $(cat "$vendor") == 0403 ]]; then
        ftdi=$(dirname "$vendor")
        break
    fi
done

if [[ -n $ftdi ]]; then
    echo "Starting kestrune: a USB device with FTDI's vendor id is attached ($(basename "$ftdi"))."
    exec build-run/src/kestrune
else
    echo "Starting kestrune-demo: no USB device with FTDI's vendor id (0403) is attached,"
    echo "so the window runs on two simulated boards (see the \"Board view\" window)."
    exec build-run/src/kestrune-demo
fi
