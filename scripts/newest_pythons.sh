#!/usr/bin/env bash
# Makes (once) a Debian-unstable root holding CPython 3.14 and 3.15 with
# their headers, a compiler and CMake, and installs the Python test
# packages into it, so that tavrik can be built and tested on the newest
# interpreters while the machine itself stays on Debian 12. Prints the
# root's path.
#
# The root lives outside the checkout (TAVRIK_SID_ROOT, default
# /var/lib/tavrik/sid) so that every clone reuses it; a bootstrap that was
# interrupted is started over. Commands run in it through sid_run (below,
# for scripts that source this file): the proc file system is mounted
# first, and pip trusts the same certificates as the machine's own pip.
set -euo pipefail
sid_root="${TAVRIK_SID_ROOT:-/var/lib/tavrik/sid}"
sid_pythons=(3.14 3.15)
sid_packages=(python3.15-dev python3.15-venv python3.14-dev python3.14-venv python3-pip
              g++ cmake make binutils)

sid_make() {
  local marker="$sid_root/.tavrik-bootstrapped" mirror
  if [[ ! -e "$marker" ]]; then
    if ! command -v debootstrap >/dev/null; then
      echo "== installing debootstrap (apt)" >&2
      DEBIAN_FRONTEND=noninteractive apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    # The Debian mirror that this machine's own apt sources name.
    mirror="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null |
      grep -oE 'https?://[^ ]+/debian/?( |$)' | head -n1 | tr -d ' ' || true)"
    mirror="${mirror:-http://deb.debian.org/debian}"
    echo "== making the Debian unstable root in $sid_root from $mirror (debootstrap, about 1 GB)" >&2
    rm -rf "$sid_root"
    mkdir -p "$sid_root"
    debootstrap --variant=minbase --include="$(IFS=,; echo "${sid_packages[*]}")" \
      sid "$sid_root" "$mirror" >"$sid_root.log" 2>&1 ||
      { tail -n 30 "$sid_root.log" >&2; return 1; }
    touch "$marker"
  fi
  # The network as the machine sees it: its resolver and its certificates.
  cp /etc/resolv.conf "$sid_root/etc/resolv.conf"
  cp /etc/ssl/certs/ca-certificates.crt "$sid_root/etc/ssl/certs/host-ca-certificates.crt"
  # A root made by an older version of this script may lack a package.
  local package missing=()
  for package in "${sid_packages[@]}"; do
    sid_run dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  if ((${#missing[@]})); then
    echo "== installing ${missing[*]} in the root (apt)" >&2
    sid_run apt-get -o Acquire::Check-Valid-Until=false update -qq >&2
    sid_run env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  local version
  for version in "${sid_pythons[@]}"; do
    if ! sid_run "python$version" -c 'import pytest, hypothesis, numpy' >/dev/null 2>&1; then
      echo "== installing test packages for python$version in the root (pip)" >&2
      sid_run "python$version" -m pip install -q --disable-pip-version-check \
        --break-system-packages --root-user-action=ignore \
        'pytest>=7' 'hypothesis>=6' 'numpy>=1.24' >&2
    fi
  done
}

# Runs a command inside the root, from the folder $1 (a path inside it).
sid_run_in() {
  local folder="$1"; shift
  mountpoint -q "$sid_root/proc" || mount -t proc proc "$sid_root/proc"
  chroot "$sid_root" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin \
    LANG=C.UTF-8 PIP_CERT=/etc/ssl/certs/host-ca-certificates.crt \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 PIP_BREAK_SYSTEM_PACKAGES=1 \
    ${CI:+CI="$CI"} /bin/sh -c 'cd "$0" && exec "$@"' "$folder" "$@"
}
sid_run() { sid_run_in / "$@"; }

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  sid_make
  echo "$sid_root"
fi
