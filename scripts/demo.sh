#!/usr/bin/env bash
# Sets up the machine, builds a release busfold and converts the bundled examples:
# plain finalized and unfinalized logger files, compressed, encrypted and nested ones
# (their password is in examples/passwords.json), and a file with LIN and remote frames.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUSFOLD_TESTS=OFF -DBUSFOLD_BENCH=OFF >/dev/null
cmake --build "$build" --target busfold mdf_summary

out=$(mktemp -d /tmp/busfold-demo.XXXXXX)
"$build/busfold" --version
echo
echo "== busfold -p examples/passwords.json -O $out examples/logs"
"$build/busfold" -p examples/passwords.json -O "$out" examples/logs

echo
echo "== busfold -O $out examples/other_frames   (LIN and remote frames are not carried over:"
echo "   the output is written, the file reports code 8 and its input would be kept)"
status=0
"$build/busfold" -O "$out" examples/other_frames || status=$?
echo "exit status $status"
if [ "$status" -ne 8 ]; then
  echo "unexpected exit status" >&2
  exit 1
fi

echo
echo "== busfold --all-frames -O $out examples/other_frames   (now they are carried over)"
"$build/busfold" --all-frames -O "$out" examples/other_frames

echo
echo "== written below $out"
find "$out" -type f -name '*_fin.MF4' | sort | xargs "$build/mdf_summary"
