#!/usr/bin/env bash
# Builds tavrik for CPython 3.14 and 3.15 inside the Debian-unstable root
# (scripts/newest_pythons.sh makes it once) and runs the Python tests and
# the examples against each build there; on the newest one it also installs
# the project as users do (pip install . and pip wheel . in a virtual
# environment) and runs the tests against what was installed. The checkout
# is copied into the root (without build/ and .git/), so nothing in it is
# written from inside.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/newest_pythons.sh"
sid_make

work=/work/tavrik
rm -rf "$sid_root$work"
mkdir -p "$sid_root$work"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$sid_root$work" -xf -

for version in "${sid_pythons[@]}"; do
  echo "== Python $version tests (Debian unstable root)"
  sid_run_in "$work" cmake -S . -B "build/py$version" -DPython_EXECUTABLE="/usr/bin/python$version" \
    -DTAVRIK_BUILD_TESTS=OFF -DTAVRIK_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
  sid_run_in "$work" cmake --build "build/py$version" -j"$(nproc)"
  sid_run_in "$work" env PYTHONPATH="$work/build/py$version" \
    "python$version" -m pytest -q -p no:cacheprovider tests/python
  echo "== Demo and examples on Python $version"
  sid_run_in "$work/examples" env PYTHONPATH="$work/build/py$version" "python$version" demo.py
  sid_run_in "$work" bash scripts/examples.sh "build/py$version" "/usr/bin/python$version"
done

newest="${sid_pythons[-1]}"
echo "== pip install . and pip wheel . in a Python $newest virtual environment"
sid_run_in "$work" rm -rf build/venv build/wheels
# The test packages come from the root's own interpreter.
sid_run_in "$work" "python$newest" -m venv --system-site-packages build/venv
sid_run_in "$work" build/venv/bin/pip install -q .
sid_run_in "$work" build/venv/bin/pip wheel -q --no-deps -w build/wheels .
sid_run_in "$work" sh -c 'ls build/wheels/tavrik-*-cp315-*.whl'
sid_run_in / "$work/build/venv/bin/python" -m pytest -q -p no:cacheprovider "$work/tests/python"
