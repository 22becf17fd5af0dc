#!/usr/bin/env bash
# Builds the optimised tree and runs every benchmark program (arguments go to
# each), then the end-to-end benchmark of the trace server against a bare
# host-library filter (scripts/bench_e2e.py).
# --e2e [ARGS]: builds what it needs and runs the end-to-end benchmark alone
# (ARGS go to bench_e2e.py, e.g. --runs 1 --units 100000).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset release >/dev/null
if [ "${1:-}" = "--e2e" ]; then
  shift
  cmake --build --preset release -j "$(nproc)" --target sigtrace_server boardsim_fast e2e_bare_filter
  exec python3 scripts/bench_e2e.py --build build/release "$@"
fi
cmake --build --preset release -j "$(nproc)"
find build/release -type f -executable -name 'bench_*' | sort | while read -r b; do
  echo "== $(basename "$b")"; "$b" "$@"
done
python3 scripts/bench_e2e.py --build build/release --search
