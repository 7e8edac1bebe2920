#!/bin/sh
# The pytest suite of the tree SRC against the module installed in the venv VENV, run from the
# venv so that the tree's source is never imported. Left out: the tests that need the
# fault-injection build, which an install never carries (all of test_faults.py, and the rest that
# ask for it: no_fault_build.py deselects them), and the wheel tests, which build a wheel from a
# checkout. Prints pytest's output, then "LABEL: RESULT (N s wall)"; exits with pytest's status.
#   suite.sh VENV SRC LABEL
set -u
venv=$1 src=$2 label=$3
cd "$venv" || exit 1
t0=$(date +%s)
status=0
PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$src/tests/stock" "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider \
  -p no_fault_build "$src/tests/python" \
  --ignore="$src/tests/python/test_faults.py" --ignore="$src/tests/python/test_wheel.py" >"$venv/pytest.log" 2>&1 || status=$?
cat "$venv/pytest.log"
echo "$label: $(tail -1 "$venv/pytest.log" | tr -d '=' | sed 's/^ *//') ($(($(date +%s) - t0)) s wall)"
exit $status
