#!/usr/bin/env bash
# Installs every Debian package that building, running and testing corvane
# needs. Idempotent; run as root on Debian 12.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  cyclonedds-dev cyclonedds-tools
  libyaml-cpp-dev
  libmbedtls-dev
  libgtest-dev libgmock-dev
  libfastrtps-dev libfastcdr-dev
  clang libclang-rt-14-dev
  valgrind gnuplot-nox procps
  dpkg-dev file groff-base man-db xz-utils
)

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: run as root (it installs Debian packages)" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
