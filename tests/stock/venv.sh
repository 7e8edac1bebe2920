#!/bin/sh
# A venv of PYTHON at VENV, seeing the interpreter's own site-packages; with PYDEPS set (an
# interpreter without pytest, as pyenv's), our CPython 3.14's pure-Python packages after them.
#   venv.sh PYTHON VENV
set -eu
"$1" -m venv --without-pip --system-site-packages "$2"
[ -z "${PYDEPS:-}" ] || "$2/bin/python" -c 'import sys, sysconfig
open(sysconfig.get_paths()["purelib"] + "/zz-core-fips-pydeps.pth", "w").write(f"import site; site.addsitedir({sys.argv[1]!r})\n")' "$PYDEPS"
