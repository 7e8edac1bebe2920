#!/bin/sh
# One lane of tests/stock/run: a venv of PYTHON, the wheels installed into it with the guide's
# install block (INSTALL, the first sh block under "## Install" in docs/guide.md, run verbatim by
# sh from PICK, the folder whose dist/ holds every wheel, with the venv's python3 first on PATH),
# which must pick WANT; then either nothing more (import: the block's own import is the check) or
# the pytest suite of the checkout SRC (suite). Runs in a stock root (chrooted: LIBROOT /) or on
# the host (emulated: LIBROOT the root the interpreter lives in; our 3.13t: LIBROOT empty).
#   inside.sh PYTHON import|suite WANT PICK INSTALL SRC LIBROOT
set -eu
python=$1 mode=$2 want=$3 pick=$4 install=$5 src=$6 libroot=$7
# pip picks from dist/ alone: no folder or index the host's environment adds (host lanes).
unset PIP_FIND_LINKS PIP_INDEX_URL PIP_EXTRA_INDEX_URL
lane="$($python -c 'import platform, sys; print(f"{sys.implementation.cache_tag}{sys.abiflags} {platform.machine()}")')"
# Nothing outside the wheel may be needed: the root must really lack what the wheel leaves out.
if [ -n "$libroot" ]; then
  found=$(find "$libroot" -xdev -name 'libstdc++.so*' -print -quit)
  [ -z "$found" ] || { echo "stock: the root holds $found, so it cannot show the wheel needs no libstdc++" >&2; exit 3; }
fi
venv=$(mktemp -d "${TMPDIR:-/tmp}/venv.XXXXXX")
/bin/sh "$(dirname "$0")/venv.sh" "$python" "$venv"
cd "$pick"
# The import in the block is the first check: a planted wheel must fail there.
out=$(PATH="$venv/bin:$PATH" sh -e "$install" 2>&1) || { echo "$out"; exit 1; }
got=$(echo "$out" | grep -o 'core_fips-[^ /]*\.whl' | head -1)
[ "$got" = "$want" ] || { echo "$out"; echo "stock: $lane: pip installed ${got:-no wheel}, not $want" >&2; exit 1; }
[ "$(echo "$out" | tail -1)" = True ] || { echo "$out"; echo "stock: $lane: the guide's import line did not print True" >&2; exit 1; }
cd "$venv"
env -u PYTHON_GIL "$venv/bin/python" -c '
import sys, _core_fips
assert _core_fips.__file__.startswith(sys.prefix), _core_fips.__file__
if "t" in sys.abiflags:
    assert sys._is_gil_enabled() is False, "importing the wheel turned the GIL on"
print(f"stock: {sys.executable} {sys.version.split()[0]}: {_core_fips.__file__}, fips_check() True"
      + (", GIL off after import" if "t" in sys.abiflags else ""))'
echo "stock: $lane: the guide's install line picked $got"
[ "$mode" = suite ] || exit 0
exec /bin/sh "$(dirname "$0")/suite.sh" "$venv" "$src" "stock: $lane, $got"
