#!/usr/bin/env bash
# Installs everything needed to build, test and package the program on Debian 12.
set -euo pipefail
# Installing packages takes root; a user runs this through sudo.
if [ "$(id -u)" -ne 0 ]; then
  exec sudo "$0" "$@"
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
  build-essential g++ cmake ninja-build pkg-config file dpkg-dev \
  qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev qt6-qpa-plugins \
  googletest libgtest-dev libgmock-dev libbenchmark-dev \
  xvfb xauth xdotool x11-utils imagemagick man-db clang-format desktop-file-utils \
  clang libclang-rt-14-dev python3 python3-junitparser
