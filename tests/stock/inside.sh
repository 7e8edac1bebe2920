#!/bin/sh
# Run by tests/stock/run inside the clean sid root: installs WHEEL into a venv of the stock
# python3.14 the way a user would, then either only imports it (import) or also runs the suite
# from the read-only checkout at /src (suite).
#   inside.sh import|suite WHEEL
set -eu
mode=$1 wheel=$2
# Nothing outside the wheel may be needed: the root must really lack what the wheel leaves out.
found=$(find / -xdev -name 'libstdc++.so*' -print -quit)
[ -z "$found" ] || { echo "stock: the root holds $found, so it cannot show the wheel needs no libstdc++" >&2; exit 3; }
python3.14 -m venv --without-pip --system-site-packages /tmp/venv
/tmp/venv/bin/python -m pip install -q --no-index --no-deps "$wheel"
cd /tmp
/tmp/venv/bin/python -c '
import sys, _core_fips
assert _core_fips.__file__.startswith("/tmp/venv/"), _core_fips.__file__
assert _core_fips.fips_check() is True
print(f"stock: {sys.executable} {sys.version.split()[0]}: {_core_fips.__file__}, fips_check() True")'
[ "$mode" = suite ] || exit 0
# Left out: the fault-point tests need the test-only build the wheel never carries, the wheel
# tests build a wheel from the checkout (this root holds only the installed one), and the exports
# test runs binutils, which would bring libstdc++ into the root.
PYTHONDONTWRITEBYTECODE=1 /tmp/venv/bin/python -m pytest -q -p no:cacheprovider \
  /src/tests/python --ignore=/src/tests/python/test_faults.py \
  --ignore=/src/tests/python/test_wheel.py \
  -k "not test_extension_exports_only_its_init_and_finds_the_library_beside_it"
