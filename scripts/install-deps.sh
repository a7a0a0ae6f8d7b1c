#!/usr/bin/env bash
# Installs what building and testing velmod-proxy needs, only where it is missing;
# further package names given as arguments are installed the same way (the
# comparison benchmark adds the proxies it measures against).
# Safe to run again: packages already present are left alone and apt is not asked.
set -euo pipefail

packages=(
  g++ cmake make pkg-config python3
  libboost-dev libboost-system-dev libboost-thread-dev libboost-filesystem-dev
  libboost-program-options-dev libboost-iostreams-dev libboost-date-time-dev
  zlib1g-dev libxml2-dev
  libgtest-dev googletest libbenchmark-dev
  "$@"
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
# Server packages would start their system services on fixed ports; a
# policy-rc.d that forbids it is put in place for the install only.
policy=/usr/sbin/policy-rc.d
if [ ! -e $policy ]; then
  printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee $policy >/dev/null
  "${sudo_cmd[@]}" chmod 755 $policy
  trap '"${sudo_cmd[@]}" rm -f $policy' EXIT
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
