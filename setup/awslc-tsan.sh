#!/usr/bin/env bash
# AWS-LC built by setup/build-awslc.sh exactly as deps.sh builds it (same pinned package, FIPS=1,
# prefix, -Bsymbolic, integrity value), but compiled and linked with -fsanitize=thread, for
# tools/tsan. build-awslc.sh takes no compiler flags (it clears CFLAGS on purpose), so gcc and g++
# are reached through two wrappers that add the flag. Cached in $CACHE/tsan/awslc-...-<key of the
# inputs>, built in a temporary folder and renamed when complete; build logs in $CACHE/tsan/awslc-logs.
# Loading the result runs the library's power-on self-tests and integrity check; a library that
# fails them aborts, so it is loaded once here before it is kept.
#
#   setup/awslc-tsan.sh     prints the install prefix (first build: about two minutes)
# Environment: CORE_FIPS_CACHE (default ~/.cache/core-fips), CORE_FIPS_PYTHON (computes the
# integrity value; default: the one in $CACHE/env.sh), TSAN_PYTHON (the ThreadSanitizer
# interpreter that loads the result for its self-test; default: setup/python-ft.sh --tsan).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"
CACHE=${CORE_FIPS_CACHE:-$HOME/.cache/core-fips}
mkdir -p "$CACHE/tsan"
CACHE=$(cd "$CACHE" && pwd)
VERSION=5.1.0
PREFIX=core_fips_awslc_5_1_0  # as in deps.sh: the extension's headers name these symbols

PYTHON=${CORE_FIPS_PYTHON:-}
if [ -z "$PYTHON" ] && [ -f "$CACHE/env.sh" ]; then
  # shellcheck source=/dev/null
  PYTHON=$(. "$CACHE/env.sh" && echo "${CORE_FIPS_PYTHON:-}")
fi
{ [ -n "$PYTHON" ] && [ -x "$PYTHON" ]; } || fail "no CPython 3.14 to compute the integrity value with" "run setup/deps.sh first, or set CORE_FIPS_PYTHON"
pin=$(grep -E '^awslc ' "$HERE/sid.lock") || fail "no awslc pin in setup/sid.lock" "run setup/make-lock.sh"
read -r _ _ _ sum path <<<"$pin"
key=$(cat <(echo "$pin") "$HERE/build-awslc.sh" "$HERE/inject_hash.py" "$HERE/go-shim" "$0" | sha256sum | cut -c1-12)
DEST=$CACHE/tsan/awslc-$VERSION-fips-tsan-$key
if [ ! -f "$DEST/lib/libcrypto-awslc.so.0" ]; then
  exec {fd}>"$CACHE/tsan/.lock-awslc"
  flock "$fd"
  if [ ! -f "$DEST/lib/libcrypto-awslc.so.0" ]; then
    DEB=$CACHE/debs/$(basename "$path")
    { [ -f "$DEB" ] && [ "$(sha256sum "$DEB" | cut -d' ' -f1)" = "$sum" ]; } ||
      fail "the pinned AWS-LC package is not in $CACHE/debs" "run setup/deps.sh first"
    TSAN_PYTHON=${TSAN_PYTHON:-$(CORE_FIPS_PYTHON=$PYTHON "$HERE/python-ft.sh" --tsan)}
    tmp=$DEST.tmp.$$
    rm -rf "$tmp" "$DEST".tmp.*
    mkdir -p "$tmp/bin"
    for cc in gcc g++; do
      printf '#!/bin/sh\nexec %s -fsanitize=thread "$@"\n' "$(command -v "$cc")" >"$tmp/bin/$cc"
      chmod +x "$tmp/bin/$cc"
    done
    say "building AWS-LC $VERSION (FIPS) with ThreadSanitizer into $DEST: about two minutes"
    PATH=$tmp/bin:$PATH INJECT_PYTHON=$PYTHON bash "$HERE/build-awslc.sh" "$DEB" "$tmp" "$DEST" "$PREFIX" "$VERSION" ||
      { rm -rf "$tmp"; fail "the AWS-LC ThreadSanitizer build failed (logs in $CACHE/tsan/awslc-logs)" "fix the cause shown above, then rerun"; }
    lib=$tmp/prefix/lib/libcrypto-awslc.so.0
    [[ "$(nm -D --undefined-only "$lib")" == *__tsan_func_entry* ]] ||
      { rm -rf "$tmp"; fail "the AWS-LC build carries no ThreadSanitizer instrumentation" "check the compiler wrappers in this script"; }
    TSAN_OPTIONS=exitcode=0 "$TSAN_PYTHON" -c 'import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])  # runs the power-on self-tests and the integrity check
sys.exit(0 if getattr(lib, sys.argv[2] + "_FIPS_mode")() == 1 else "FIPS_mode() is not 1")' "$lib" "$PREFIX" ||
      { rm -rf "$tmp"; fail "the instrumented AWS-LC failed its FIPS self-test" "run tools/tsan with CORE_FIPS_TSAN_PLAIN_AWSLC=1 to use the normal library"; }
    mv "$tmp/prefix" "$DEST"
    rm -rf "$tmp"
  fi
  exec {fd}>&-
fi
echo "$DEST"
