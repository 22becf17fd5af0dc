#!/usr/bin/env bash
# Builds the optimised tree (preset release) and runs the trace server with
# the arguments given. Until the trace application exists, this builds every
# library and says so.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
if [ -x build/release/sigtrace/sigtrace ]; then
  exec build/release/sigtrace/sigtrace "$@"
fi
echo "The trace server program is not built yet: every library was built in build/release."
