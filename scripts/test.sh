#!/usr/bin/env bash
# Builds tavrik and runs every test: the C++ core tests (CTest), the Python
# tests against a module built for each supported interpreter (3.11 to 3.13
# from pyenv, 3.14 and 3.15 in a Debian-unstable root), the demo and
# the examples, the whole suite again under the sanitizers, and a short
# fuzzing run of the snapshot decoder and of the argument conversions.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/pythons.sh
bash scripts/setup.sh
jobs="$(nproc)"
# Every runner's summary goes to this log too, for the closing tally.
log="$root/build/test-summary.log"
mkdir -p build && : >"$log"

echo "== C++ core tests"
cmake -S . -B build/cpp -DTAVRIK_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/cpp -j"$jobs"
ctest --test-dir build/cpp --output-on-failure -j"$jobs" | tee -a "$log"

for python in $(supported_pythons); do
  version="$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
  echo "== Python $version tests"
  cmake -S . -B "build/py$version" -DPython_EXECUTABLE="$python" -DTAVRIK_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "build/py$version" -j"$jobs"
  PYTHONPATH="$root/build/py$version" "$python" -m pytest -q -p no:cacheprovider tests/python | tee -a "$log"
done

bash scripts/test_newest_pythons.sh | tee -a "$log"

echo "== Demo and examples"
python311="$(find_python 3.11)"
(cd examples && PYTHONPATH="$root/build/py3.11" "$python311" demo.py)
bash scripts/examples.sh build/py3.11 "$python311"

bash scripts/test_sanitized.sh | tee -a "$log"

echo "== Fuzzing (short run)"
bash scripts/fuzz.sh 60

# Reached only when every stage passed (set -e, pipefail).
ctest_count="$(grep -hoE '100% tests passed out of [0-9]+' "$log" | awk '{s += $NF} END {print s + 0}')"
pytest_count="$(grep -hoE '^[0-9]+ passed' "$log" | awk '{s += $1} END {print s + 0}')"
echo "all stages: $((ctest_count + pytest_count)) passed, 0 failed"
