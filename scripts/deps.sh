#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages the build needs, and only those
# that are missing (a fresh Debian machine gets all of them).
#   deps.sh        everything the tests and benchmarks need (their oracles
#                  included: clang, libosip2, sofia-sip, GStreamer, tmux ...)
#   deps.sh --run  only what the trace server and the simulated board need to
#                  build and run, and tshark, which shows the files they wrote
set -euo pipefail
run_pkgs=(cmake ninja-build g++ ccache pkg-config python3 libxml2-dev libmd-dev re2c lemon tshark)
test_pkgs=(libgtest-dev libgmock-dev googletest libbenchmark-dev libxml2-utils clang libclang-rt-dev libpcap-dev
           libosip2-dev libsofia-sip-ua-dev libgstreamer-plugins-base1.0-dev tmux)
pkgs=("${run_pkgs[@]}")
[ "${1:-}" = "--run" ] || pkgs+=("${test_pkgs[@]}")
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
