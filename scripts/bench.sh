#!/usr/bin/env bash
# Builds the optimised tree and runs every benchmark program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
find build/release -type f -executable -name 'bench_*' | sort | while read -r b; do
  echo "== $(basename "$b")"; "$b" "$@"
done
