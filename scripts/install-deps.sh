#!/usr/bin/env bash
# Installs what building and testing velmod-proxy needs, only where it is missing.
# Safe to run again: packages already present are left alone and apt is not asked.
set -euo pipefail

packages=(
  g++ cmake make pkg-config python3
  libboost-dev libboost-system-dev libboost-thread-dev libboost-filesystem-dev
  libboost-program-options-dev libboost-iostreams-dev libboost-date-time-dev
  zlib1g-dev libxml2-dev
  libgtest-dev googletest libbenchmark-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
