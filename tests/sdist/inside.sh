#!/bin/sh
# One lane of tests/sdist/run, in a clean root: a venv of PYTHON, the sdist installed into it
# with the guide's from-source block (INSTALL, run verbatim by sh from PICK, the folder whose
# dist/ holds the sdist), timed; then the pytest suite of the unpacked sdist against what pip
# installed. REMOVE names tools taken out of the root's view first (a build that must not need
# them); with "expect-missing LINE", the install must fail with LINE as its one line of our own.
#   inside.sh PYTHON PICK INSTALL 'REMOVE...' [expect-missing LINE]
set -eu
python=$1 pick=$2 install=$3 remove=$4
for tool in $remove; do
  f=$(command -v "$tool") && rm -f "$(readlink -f "$f")" "$f"
  ! command -v "$tool" >/dev/null || { echo "sdist: $tool is still in the root" >&2; exit 3; }
done
lane="$($python -c 'import sys; print(f"{sys.implementation.cache_tag}{sys.abiflags}")')"
venv=$(mktemp -d "${TMPDIR:-/tmp}/venv.XXXXXX")
"$python" -m venv --system-site-packages "$venv" >/dev/null
cd "$pick"
t0=$(date +%s)
status=0
out=$(PATH="$venv/bin:$PATH" sh -e "$install" 2>&1) || status=$?
if [ "${5:-}" = expect-missing ]; then
  [ $status != 0 ] || { echo "$out"; echo "sdist: $lane: the install passed without $remove" >&2; exit 1; }
  ours=$(echo "$out" | grep '^ *core-fips: ' | sed 's/^ *//') || true
  if [ "$ours" != "$6" ] || echo "$out" | grep -q 'CMake Error'; then
    echo "$out"; echo "sdist: $lane: without $remove, not the one line \"$6\"" >&2; exit 1
  fi
  echo "sdist: $lane without $remove: $ours"
  exit 0
fi
[ $status = 0 ] || { echo "$out"; echo "sdist: $lane: the guide's from-source install failed" >&2; exit 1; }
[ "$(echo "$out" | tail -1)" = True ] || { echo "$out"; echo "sdist: $lane: the guide's import line did not print True" >&2; exit 1; }
build=$(($(date +%s) - t0))
# What pip showed of ours (without -v), and the library paragraph of the installed description.
echo "$out" | grep '^core-fips: WARNING: ' | cut -c1-160 | sed "s/^/sdist: $lane: pip showed: /" || true
"$venv/bin/python" -c 'import importlib.metadata as m, re
text = m.metadata("core-fips").get_payload()
print(re.search(r"<!-- library:[^\n]*-->\n(.*?)\n<!-- /library -->", text, re.S).group(1).replace("\n", " "))' |
  cut -c1-160 | sed "s/^/sdist: $lane: description: /"
# The suite of the sdist itself, unpacked, against the installed module (not the unpacked source).
src=$(mktemp -d "${TMPDIR:-/tmp}/src.XXXXXX")
tar -xzf dist/core_fips-*.tar.gz -C "$src"
src=$(echo "$src"/core_fips-*)
# The wheel pip built is not kept: its SBOM is checked as installed, against the installed files.
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
"$venv/bin/python" "$src/tools/check-wheel" --installed "$site" >&2 ||
  { echo "sdist: $lane: the installed wheel's RECORD or SBOM was refused (above)" >&2; exit 1; }
# The root has no python3-jsonschema: the SBOM goes out to SBOM_OUT for the schema check there.
cp "$site"/core_fips-*.dist-info/sboms/core_fips.cdx.json /sbom/ ||
  { echo "sdist: $lane: the installed SBOM could not be handed out for its schema check" >&2; exit 1; }
exec /bin/sh "$(dirname "$0")/../stock/suite.sh" "$venv" "$src" "sdist: $lane, built and installed in $build s"
