#!/usr/bin/env bash
# Builds the extension with the portable scanning loops that machines
# without SSE2 take (-Dscalar_scan=true) into its own venv (.venv-scalar,
# build dir build-scalar), and runs against it the tests that check the
# splitting of files into lines, the field tokenizer and the record
# readers against Python's own rules on random input.
#
#   tools/scalar_scan.sh                 # those tests
#   tools/scalar_scan.sh tests/          # any pytest arguments
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${SCALAR_VENV:-.venv-scalar}
PYTHON=${PYTHON:-python3}

if [[ ! -x "$VENV/bin/python" ]]; then
    "$PYTHON" -m venv --system-site-packages "$VENV"
fi
PY="$VENV/bin/python"
"$PY" -m pip install -q "meson-python>=0.18" "meson>=1.2" ninja "numpy>=2.0" "pytest>=7" "pytest-timeout>=2" \
    "hypothesis>=6" >/dev/null
"$PY" -m pip install -q --no-build-isolation --no-deps \
    -Csetup-args=-Dscalar_scan=true -Cbuild-dir=build-scalar . >/dev/null
"$PY" -P -c 'import sys; from tremix.core import _fieldcheck; sys.exit(0 if not _fieldcheck.SSE2 else "built with SSE2")'

tests=(tests/test_fields.py tests/test_numbers.py tests/test_splitting.py tests/test_text_blocks.py
       tests/test_model_nodes.py tests/test_model_elements.py tests/test_results_output_vectors.py
       tests/test_plain_reference.py)
# Tests that need minutes or gigabytes are left out unless arguments are given.
args=(-m "not slow" "${tests[@]}")
[[ $# -gt 0 ]] && args=("$@")
exec "$PY" -P -m pytest -q -p no:cacheprovider "${args[@]}"
