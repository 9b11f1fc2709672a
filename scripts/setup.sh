#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test busfold.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  cmake ninja-build g++ git pkg-config
  libssl-dev zlib1g-dev libargtable2-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  man-db     # the install test renders the man page with man -l
  clang libclang-rt-14-dev   # the libFuzzer smoke run of scripts/fuzz.sh
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
