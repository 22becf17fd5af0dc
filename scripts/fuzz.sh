#!/usr/bin/env bash
# Runs every fuzz target built by the fuzz preset for the given number of
# seconds each (default 10). Crashes and leaks fail the run. Seed inputs kept
# in the tree (<library>/fuzz/seeds/<target>/, also one folder deeper, as in
# cmc/lib) are read as a second corpus.
# Corpus paths are absolute: a target may change its working directory.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-10}
found=0
while IFS= read -r t; do
  found=1
  corpus="$PWD/build/fuzz/corpus/$(basename "$t")"
  mkdir -p "$corpus"
  seeds=()
  for d in */fuzz/seeds/"$(basename "$t")" */*/fuzz/seeds/"$(basename "$t")"; do [ -d "$d" ] && seeds+=("$PWD/$d"); done
  echo "fuzz: $(basename "$t") for ${secs}s"
  "$t" -max_total_time="$secs" -print_final_stats=0 "$corpus" "${seeds[@]}" >"build/fuzz/$(basename "$t").log" 2>&1 \
    || { tail -50 "build/fuzz/$(basename "$t").log"; exit 1; }
done < <(find build/fuzz -type f -executable -name 'fuzz_*' | sort)
[ "$found" = 1 ] || echo "fuzz: no target built"
