#!/usr/bin/env bash
# Builds tavrik and runs its tests, stage by stage:
#
#   cpp       the C++ core tests (CTest), and the scoring tests again on
#             emulated CPUs without AVX-512 and without AVX
#   python    the Python tests against a module built for each interpreter of
#             this machine (3.11 to 3.13)
#   newest    the Python tests, the demo and the examples on 3.14 and 3.15 in a
#             Debian-unstable root, and against a pip install . on 3.15
#   wheel     sdist, wheel, auditwheel repair, and the Python tests against the
#             wheel installed in a fresh virtual environment (Python 3.11)
#   examples  the demo and the examples
#   sanitize  the C++ and Python tests again under the sanitizers
#   fuzz      a short fuzzing run of the snapshot decoder and the argument conversions
#
#   scripts/test.sh [STAGE...]     (no stage: all of them, in the order above)
#
# The set-up (scripts/setup.sh) installs only what is missing, so with
# everything present it goes no further than looking. Every build here
# treats compiler warnings as errors.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/pythons.sh
all_stages=(cpp python newest wheel examples sanitize fuzz)
jobs="$(nproc)"
# Every runner's summary goes to this log too, for the closing tally.
log="$root/build/test-summary.log"

stage_cpp() {
  echo "== C++ core tests"
  cmake -S . -B build/cpp -DTAVRIK_BUILD_MODULE=OFF -DTAVRIK_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/cpp -j"$jobs"
  ctest --test-dir build/cpp --output-on-failure -j"$jobs" | tee -a "$log"
  kernel_tests_on_other_cpus
}

# The scoring kernels choose AVX-512, AVX2 or plain code at run time, so a
# machine with AVX-512 would only ever test the first. The tests of every
# scoring path run again on emulated processors: one with AVX2 but no
# AVX-512, one with neither.
kernel_tests_on_other_cpus() {
  local tests=(lane_kernels_test distance_test cosine_squared_norms_test prepared_query_test
    decoded_norms_test exact_knn_test search_layer_test search_graph_test
    search_graph_reference_test insert_test snapshot_codec_test)
  local cpus=(max,-avx512f max,-avx512f,-avx2,-avx) cpu pids=() failed=0 i
  echo "== C++ scoring tests on emulated CPUs: ${cpus[*]}"
  for cpu in "${cpus[@]}"; do
    (
      for test in "${tests[@]}"; do
        qemu-x86_64 -cpu "$cpu" "build/cpp/$test" --gtest_brief=1 >"build/cpp/$test.$cpu.log" 2>&1 ||
          { cat "build/cpp/$test.$cpu.log"; echo "$test failed on $cpu" >&2; exit 1; }
      done
    ) &
    pids+=($!)
  done
  for i in "${!cpus[@]}"; do
    if wait "${pids[$i]}"; then
      echo "== all ${#tests[@]} scoring test programs passed on ${cpus[$i]}"
    else
      failed=1
    fi
  done
  return "$failed"
}

# The module built into build/pyX.Y for one interpreter, and its tests.
python_tests() {
  local python="$1" version
  version="$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
  echo "== Python $version tests"
  cmake -S . -B "build/py$version" -DPython_EXECUTABLE="$python" -DTAVRIK_BUILD_TESTS=OFF \
    -DTAVRIK_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "build/py$version" -j"$jobs"
  PYTHONPATH="$root/build/py$version" "$python" -m pytest -q -p no:cacheprovider tests/python | tee -a "$log"
}

stage_python() {
  local python
  for python in $(supported_pythons); do
    python_tests "$python"
  done
}

stage_newest() {
  bash scripts/test_newest_pythons.sh | tee -a "$log"
}

stage_wheel() {
  bash scripts/wheel.sh "$(find_python 3.11)" | tee -a "$log"
}

stage_examples() {
  local python311
  python311="$(find_python 3.11)"
  # The examples run against the 3.11 module of the python stage; built here
  # when that stage did not run.
  if ! compgen -G "build/py3.11/tavrik*.so" >/dev/null; then
    cmake -S . -B build/py3.11 -DPython_EXECUTABLE="$python311" -DTAVRIK_BUILD_TESTS=OFF \
      -DTAVRIK_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build/py3.11 -j"$jobs"
  fi
  echo "== Demo and examples"
  (cd examples && PYTHONPATH="$root/build/py3.11" "$python311" demo.py)
  echo "== demo passed" | tee -a "$log"
  bash scripts/examples.sh build/py3.11 "$python311" | tee -a "$log"
}

stage_sanitize() {
  bash scripts/test_sanitized.sh | tee -a "$log"
}

stage_fuzz() {
  echo "== Fuzzing (short run)"
  bash scripts/fuzz.sh 60
}

stages=("$@")
if ((${#stages[@]} == 0)); then stages=("${all_stages[@]}"); fi
for stage in "${stages[@]}"; do
  if [[ " ${all_stages[*]} " != *" $stage "* ]]; then
    echo "unknown stage '$stage'; the stages are: ${all_stages[*]}" >&2
    exit 2
  fi
done

# clang is needed by the fuzzing stage only.
with_clang=0
if [[ " ${stages[*]} " == *" fuzz "* ]]; then with_clang=1; fi
TAVRIK_WITH_CLANG="$with_clang" bash scripts/setup.sh
mkdir -p build && : >"$log"

for stage in "${stages[@]}"; do
  "stage_$stage"
done

# Reached only when every stage passed (set -e, pipefail).
# (A stage choice may leave one kind of runner out: no match counts 0.)
ctest_count="$({ grep -hoE '100% tests passed out of [0-9]+' "$log" || true; } | awk '{s += $NF} END {print s + 0}')"
pytest_count="$({ grep -hoE '^[0-9]+ passed' "$log" || true; } | awk '{s += $1} END {print s + 0}')"
example_count="$({ grep -hoE '^== (demo|all [0-9]+ examples) passed' "$log" || true; } |
  awk '{s += ($2 == "demo") ? 1 : $3} END {print s + 0}')"
echo "stages run: ${stages[*]}"
echo "total: $((ctest_count + pytest_count + example_count)) passed, 0 failed"
