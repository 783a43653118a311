#!/usr/bin/env bash
# Builds and runs the benchmarks; each prints one summary line. The soak
# benchmark runs for 30 minutes unless given another duration in seconds:
#   scripts/bench.sh            # all but the soak
#   scripts/bench.sh soak 1800  # the soak only
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)" --target runner_timing program_files startup_time cli_latency pulse_length mqtt_latency board_independence control_latency soak >/dev/null
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
if [[ ${1:-} == soak ]]; then
    build/bin/soak "${2:-1800}" 2>/dev/null | grep '^soak:'
    exit 0
fi
# runner_timing shows the window on an X server for one figure: on a
# private Xvfb when there is one, else on $DISPLAY, else it prints n/a.
for b in runner_timing program_files startup_time cli_latency pulse_length mqtt_latency board_independence control_latency; do
    run=(build/bin/$b)
    # The emulated boards' lock files in a /run/lock of their own.
    [[ $b == cli_latency || $b == pulse_length || $b == mqtt_latency || $b == board_independence || $b == control_latency ]] &&
        run=(tests/emulated/private-locks.sh "${run[@]}")
    if [[ $b == runner_timing ]] && command -v xvfb-run >/dev/null; then
        run=(xvfb-run -a "${run[@]}")
    fi
    "${run[@]}" 2>/dev/null | grep "^$b:"
done
