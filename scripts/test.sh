#!/usr/bin/env bash
# Builds and runs every test: the whole tree under AddressSanitizer and
# UndefinedBehaviorSanitizer (preset ci), then the concurrency tests under
# ThreadSanitizer (preset tsan), then each fuzz target briefly when clang is
# present (preset fuzz). Fails when any test fails, or when a generated file
# committed to the tree is not what its generator writes today.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
python3 scripts/check_generated.py

cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs"

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset tsan -j "$jobs"

if command -v clang++ >/dev/null; then
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  bash scripts/fuzz.sh 10
fi
