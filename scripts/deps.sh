#!/usr/bin/env bash
# Makes sure the packages that building and testing need are present.
# As root, missing packages are installed with apt-get; otherwise the exact
# command to run is printed and the script fails.
# Usage: scripts/deps.sh [extra Debian packages...]
set -euo pipefail

need=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
[ -f /usr/include/gtest/gtest.h ] || need+=(googletest libgtest-dev)
# The TLS adapter builds on OpenSSL; the tests make their certificates with
# the openssl program.
[ -f /usr/include/openssl/ssl.h ] || need+=(libssl-dev)
command -v openssl >/dev/null 2>&1 || need+=(openssl)
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  echo "Installing missing packages: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
else
  echo "Missing packages: ${need[*]}" >&2
  echo "Install them with: sudo apt-get install -y ${need[*]}" >&2
  exit 1
fi
