#!/usr/bin/env bash
# Installs what is missing and builds Kestrune three times: plain, with the
# address and undefined-behaviour sanitizers, and the fuzzers with clang.
# Runs every test of each build, including the emulated-chip tests; the
# plain build's tests also start the window that scripts/run.sh starts (on
# Xvfb) and build and check the Debian packages (lintian, the unit). Warnings
# are errors here. A build that holds no tests fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh test
scripts/check-includes.sh
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_BUILD_TESTS=ON -DKESTRUNE_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure --no-tests=error -j"$jobs"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=ON -DKESTRUNE_WERROR=ON -DKESTRUNE_BUILD_TESTS=ON -DKESTRUNE_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure --no-tests=error -j"$jobs"

# clang++ is the default clang, whose runtime scripts/deps.sh installs.
cmake -S tests/fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-fuzz -j"$jobs"
ctest --test-dir build-fuzz --output-on-failure --no-tests=error -j"$jobs"
