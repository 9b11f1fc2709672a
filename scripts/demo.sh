#!/usr/bin/env bash
# Sets up the machine, builds a release busfold and shows what it does.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUSFOLD_TESTS=OFF >/dev/null
cmake --build "$build" --target busfold

"$build/busfold" --help
"$build/busfold" --version
