#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages the build and the tests need,
# and only those that are missing (a fresh Debian machine gets all of them).
set -euo pipefail
pkgs=(cmake ninja-build g++ ccache pkg-config python3 libgtest-dev libgmock-dev googletest
      libbenchmark-dev libxml2-dev libxml2-utils libmd-dev clang libclang-rt-dev tshark libpcap-dev
      libosip2-dev libsofia-sip-ua-dev libgstreamer-plugins-base1.0-dev re2c lemon tmux)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
