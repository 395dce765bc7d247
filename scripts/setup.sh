#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, test and demonstrate hostmon.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  iproute2 iputils-ping iputils-arping util-linux procps passwd
  g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The daemon's service identity, as a gateway image has it: the user it switches
# to and the group of the DHCP server's folder. Without them it keeps running
# as root, and the tests of its least privilege could not run.
if ! getent group ntwklan >/dev/null; then
  echo "setup: adding the system group ntwklan"
  $SUDO groupadd --system ntwklan
fi
if ! getent passwd hostmon >/dev/null; then
  echo "setup: adding the system user hostmon"
  $SUDO useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin hostmon
fi
