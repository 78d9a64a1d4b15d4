#!/usr/bin/env bash
# Installs the Debian packages that the build needs, skipping those present.
set -euo pipefail
packages=(cmake g++ make pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
          libeigen3-dev libmuparser-dev libsqlite3-dev nlohmann-json3-dev libnlopt-cxx-dev
          python3-dev pybind11-dev python3-numpy python3-matplotlib python3-pytest
          libopenmpi-dev openmpi-bin)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
