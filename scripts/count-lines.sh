#!/usr/bin/env bash
# Counts non-blank, non-comment lines of C and C++ sources in src/ and in
# tests/ (without the emulated device model) and prints the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
    git ls-files -co --exclude-standard -- "$@" | grep -E '\.(cpp|h|hpp|cc|c)$' | grep -v 'emulated_ftdi\.' |
        xargs -r cat | grep -c -v -E '^\s*(//.*)?$' || true
}
src=$(count src)
tests=$(count tests)
awk -v s="$src" -v t="$tests" 'BEGIN { printf "src %d lines, tests %d lines, ratio %.2f\n", s, t, (s ? t / s : 0) }'
