#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for
# the given number of seconds (default 60), starting from the seed corpus
# in the repository. New inputs go to a scratch copy, never into the repo.
#   bash scripts/fuzz.sh [seconds]
# Targets: snapshot_decode (the snapshot decoder) and argument_conversion
# (the argument converters and methods, through an embedded Python 3.11).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/pythons.sh
seconds="${1:-60}"

# The real interpreter, not a launcher script: the fuzzer embeds it.
python="$("$(find_python 3.11)" -c 'import sys; print(sys.executable)')"
CXX=clang++ cmake -S . -B build/fuzz -DTAVRIK_BUILD_FUZZ=ON -DTAVRIK_WERROR=ON -DTAVRIK_BUILD_MODULE=OFF \
  -DTAVRIK_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build build/fuzz -j"$(nproc)" --target snapshot_decode_fuzz argument_conversion_fuzz

for target in snapshot_decode argument_conversion; do
  # The interpreter keeps allocations for its whole life: no leak checks
  # where it is embedded.
  extra=()
  if [[ $target == argument_conversion ]]; then extra=(-detect_leaks=0); fi
  scratch="build/fuzz/corpus-$target"
  rm -rf "$scratch" && mkdir -p "$scratch"
  cp tests/fuzz/corpus/"$target"/* "$scratch"/
  echo "== fuzzing $target for ${seconds}s"
  status=0
  "build/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    -rss_limit_mb=2048 "${extra[@]}" "$scratch" >"build/fuzz/$target.log" 2>&1 || status=$?
  grep -E '^(stat::(number_of_executed_units|new_units_added)|Done|==[0-9]+==|SUMMARY)' \
    "build/fuzz/$target.log" || true
  if [[ $status -ne 0 ]]; then
    tail -40 "build/fuzz/$target.log"
    exit "$status"
  fi
done
