#!/usr/bin/env bash
# Sets up the machine, builds with AddressSanitizer + UBSan and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

build=${BUSFOLD_TEST_BUILD_DIR:-build/sanitize}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBUSFOLD_SANITIZE=ON -DBUSFOLD_BENCH=OFF
cmake --build "$build"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
