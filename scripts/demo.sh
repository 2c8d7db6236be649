#!/usr/bin/env bash
# Installs tavrik into the default python3 the way users do (pip install .)
# and runs the demo.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore .
cd examples
python3 demo.py
