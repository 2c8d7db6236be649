#!/usr/bin/env bash
# Runs the tests under sanitizers:
#   1. the C++ core tests built with AddressSanitizer and UBSan (Debug);
#   2. the Python tests against a module built the same way, for Python 3.11,
#      with the ASan runtime preloaded into the uninstrumented interpreter
#      and leaks reported only for allocations that did not come from the
#      interpreter itself (tests/sanitizers/lsan_python.supp);
#   3. the segment concurrency test alone under ThreadSanitizer.
# Build directories: build/asan-cpp, build/asan-py, build/tsan.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/pythons.sh
jobs="$(nproc)"

echo "== C++ core tests (ASan + UBSan)"
cmake -S . -B build/asan-cpp -DTAVRIK_BUILD_MODULE=OFF -DTAVRIK_SANITIZE=ON -DTAVRIK_WERROR=ON \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/asan-cpp -j"$jobs"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ctest --test-dir build/asan-cpp --output-on-failure -j"$jobs" --timeout 300

# The real interpreter, not a launcher script: the preloaded runtime must
# go into the interpreter process itself.
python="$("$(find_python 3.11)" -c 'import sys; print(sys.executable)')"
echo "== Python tests (ASan + UBSan module, $python)"
cmake -S . -B build/asan-py -DPython_EXECUTABLE="$python" -DTAVRIK_BUILD_TESTS=OFF \
  -DTAVRIK_SANITIZE=ON -DTAVRIK_WERROR=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/asan-py -j"$jobs"
# The interpreter is not instrumented, so the runtime must be loaded first.
# The stub test runs a type checker in child processes, which inherit the
# runtime: its leaks are the checker's, so that file runs without leak checks.
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
run_python_tests() {
  local leaks="$1"; shift
  LD_PRELOAD="$preload" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=$leaks:abort_on_error=1" \
  LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan_python.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  PYTHONPATH="$root/build/asan-py" \
    "$python" -m pytest -q -p no:cacheprovider "$@"
}
run_python_tests 1 tests/python --ignore=tests/python/test_stub.py
if [[ -f tests/python/test_stub.py ]]; then
  run_python_tests 0 tests/python/test_stub.py
fi

echo "== Segment concurrency test (TSan)"
cmake -S . -B build/tsan -DTAVRIK_BUILD_MODULE=OFF -DTAVRIK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build build/tsan -j"$jobs" --target segment_concurrency_test
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" build/tsan/segment_concurrency_test
