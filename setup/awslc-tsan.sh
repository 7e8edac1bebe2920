#!/usr/bin/env bash
# AWS-LC built by setup/build-awslc.sh exactly as deps.sh builds it (same pinned package, FIPS=1,
# prefix, -Bsymbolic, integrity value), but compiled and linked with -fsanitize=thread, for
# tools/tsan. build-awslc.sh takes no compiler flags (it clears CFLAGS on purpose), so gcc and g++
# are reached through two wrappers that add the flag. Cached in $CACHE/tsan/awslc-...-<key of the
# inputs> (setup/lib.sh, awslc_ensure); build logs in DEST.logs beside it. Loading the result
# runs the library's power-on self-tests and integrity check; a library that fails them aborts, so
# it is loaded once, under the ThreadSanitizer interpreter, before it is kept.
#
#   setup/awslc-tsan.sh     prints the install prefix (first build: about two minutes)
# Environment: CORE_FIPS_CACHE (default ~/.cache/core-fips), CORE_FIPS_PYTHON (computes the
# integrity value; default: the one in $CACHE/env.sh), TSAN_PYTHON (the ThreadSanitizer
# interpreter that loads the result for its self-test; default: setup/python-ft.sh --tsan).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=setup/lib.sh
. "$HERE/lib.sh"
fail_loudly
cache_init
FLAG=-fsanitize=thread

PYTHON=$(core_python "to compute the integrity value with")

# instrumented PREFIX: the library carries the instrumentation and passes its self-test when the
# ThreadSanitizer interpreter loads it.
instrumented() {
  [[ "$(nm -D --undefined-only "$1/lib/libcrypto-awslc.so.0")" == *__tsan_func_entry* ]] ||
    fail "the AWS-LC build carries no ThreadSanitizer instrumentation" "check the compiler wrappers in setup/awslc-tsan.sh"
  awslc_loads "$1" env TSAN_OPTIONS=exitcode=0 "$TSAN_PYTHON"
}

DEST=$(awslc_dir "$CACHE/tsan" "$FLAG")
if [ ! -f "$DEST/lib/libcrypto-awslc.so.0" ]; then
  TSAN_PYTHON=${TSAN_PYTHON:-$(CORE_FIPS_PYTHON=$PYTHON "$HERE/python-ft.sh" --tsan)}
  WRAPPERS=$(mktemp -d)
  trap 'rm -rf "$WRAPPERS"' EXIT
  for cc in gcc g++; do
    printf '#!/bin/sh\nexec %s %s "$@"\n' "$(command -v "$cc")" "$FLAG" >"$WRAPPERS/$cc"
    chmod +x "$WRAPPERS/$cc"
  done
  awslc_ensure "$DEST" instrumented env PATH="$WRAPPERS:$PATH" -- --python "$PYTHON"
fi
echo "$DEST"
