#!/usr/bin/env bash
# Builds and runs the benchmarks; each prints one summary line. The soak
# benchmark runs for 30 minutes unless given another duration in seconds:
#   scripts/bench.sh            # all but the soak
#   scripts/bench.sh soak 1800  # the soak only
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target runner_timing program_files startup_time cli_latency soak >/dev/null
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
if [[ ${1:-} == soak ]]; then
    build/bench/soak "${2:-1800}" 2>/dev/null | grep '^soak:'
    exit 0
fi
for b in runner_timing program_files startup_time cli_latency; do
    build/bench/$b 2>/dev/null | grep "^$b:"
done
