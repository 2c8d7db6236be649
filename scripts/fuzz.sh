#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for
# the given number of seconds (default 60), starting from the seed corpus
# in the repository. New inputs go to a scratch copy, never into the repo.
#   bash scripts/fuzz.sh [seconds]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
seconds="${1:-60}"

CXX=clang++ cmake -S . -B build/fuzz -DTAVRIK_BUILD_FUZZ=ON -DTAVRIK_BUILD_MODULE=OFF \
  -DTAVRIK_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j"$(nproc)" --target snapshot_decode_fuzz

for target in snapshot_decode; do
  scratch="build/fuzz/corpus-$target"
  rm -rf "$scratch" && mkdir -p "$scratch"
  cp tests/fuzz/corpus/"$target"/* "$scratch"/
  echo "== fuzzing $target for ${seconds}s"
  status=0
  "build/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    -rss_limit_mb=2048 "$scratch" >"build/fuzz/$target.log" 2>&1 || status=$?
  grep -E '^(stat::(number_of_executed_units|new_units_added)|Done|==[0-9]+==|SUMMARY)' \
    "build/fuzz/$target.log" || true
  if [[ $status -ne 0 ]]; then
    tail -40 "build/fuzz/$target.log"
    exit "$status"
  fi
done
