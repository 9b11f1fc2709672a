#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while from the generated
# seeds: a smoke run that finds what a change broke in the hostile-input handling.
#   scripts/fuzz.sh [seconds per target, default 30]
# A finding leaves crash-*/timeout-*/oom-* in build/fuzz/findings and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-30}
scripts/setup.sh

build=${BUSFOLD_FUZZ_BUILD_DIR:-build/fuzz}
mkdir -p "$build"
build=$(cd "$build" && pwd)  # the targets run from the findings folder
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUSFOLD_FUZZ=ON -DBUSFOLD_TESTS=OFF -DBUSFOLD_BENCH=OFF >/dev/null
cmake --build "$build" --target mdf_records_fuzz container_fuzz password_fuzz convert_fuzz \
  make_fuzz_corpus

seeds="$build/seeds"
rm -rf "$seeds"
"$build/make_fuzz_corpus" "$seeds" tests/golden/small_logger.mf4 >/dev/null
findings="$build/findings"
mkdir -p "$findings"

# target, seed folder, further flags
runs=(
  "mdf_records_fuzz mdf -max_len=65536"
  "container_fuzz container -max_len=8192"
  "password_fuzz password -max_len=4096"
  "convert_fuzz convert -max_len=65536"
)
failed=0
for run in "${runs[@]}"; do
  read -r target seed extra <<<"$run"
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  echo "== $target for ${seconds}s"
  # shellcheck disable=SC2086 # the further flags are words of their own
  if ! (cd "$findings" && "$build/$target" -close_fd_mask=2 -max_total_time="$seconds" \
      -timeout=10 -rss_limit_mb=2048 $extra -dict="$root/fuzz/busfold.dict" \
      "$corpus" "$seeds/$seed" 2>"$target.log"); then
    echo "$target found a fault; see $findings/$target.log" >&2
    tail -n 30 "$findings/$target.log" >&2
    failed=1
  else
    grep -E '^(#[0-9]+\s+DONE|Done)' "$findings/$target.log" | tail -n 1 || true
  fi
done
exit "$failed"
