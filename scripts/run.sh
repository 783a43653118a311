#!/usr/bin/env bash
# Installs what is missing, builds Kestrune, and starts it: on the real
# boards when a USB device with FTDI's vendor id (0403) is attached,
# otherwise the demo on simulated boards.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_TESTS=OFF -DKESTRUNE_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target kestrune kestrune-demo

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
    exec build/src/kestrune
else
    echo "Starting kestrune-demo: no USB device with FTDI's vendor id (0403) is attached,"
    echo "so the window runs on two simulated boards (see the \"Board view\" window)."
    exec build/src/kestrune-demo
fi
