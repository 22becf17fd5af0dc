#!/usr/bin/env bash
# Builds and runs every test: the whole tree under AddressSanitizer and
# UndefinedBehaviorSanitizer (preset ci), then the concurrency tests under
# ThreadSanitizer (preset tsan), then each fuzz target briefly when clang is
# present (preset fuzz). Fails when any test fails, or when a generated file
# committed to the tree is not what its generator writes today.
# The three stages always all run, so that a failure in one does not hide the
# state of the others; each stage's result is printed at the end.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh || exit 1
jobs=$(nproc)
python3 scripts/check_generated.py || exit 1

stage_ci() {
  cmake --preset ci >/dev/null &&
    cmake --build --preset ci -j "$jobs" &&
    ctest --preset ci -j "$jobs"
}
stage_tsan() {
  cmake --preset tsan >/dev/null &&
    cmake --build --preset tsan -j "$jobs" &&
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset tsan -j "$jobs"
}
stage_fuzz() {
  if ! command -v clang++ >/dev/null; then
    echo "fuzz: clang++ not found, stage skipped"
    return 0
  fi
  cmake --preset fuzz >/dev/null &&
    cmake --build --preset fuzz -j "$jobs" &&
    bash scripts/fuzz.sh 10
}

failed=0
results=()
for stage in ci tsan fuzz; do
  echo "=== stage $stage"
  if "stage_$stage"; then
    results+=("$stage: passed")
  else
    results+=("$stage: FAILED")
    failed=1
  fi
done
echo "=== results"
printf '%s\n' "${results[@]}"
exit "$failed"
