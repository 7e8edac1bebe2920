#!/usr/bin/env bash
# Sets up what the build needs, idempotently, in a cache outside the checkout:
#   - host build tools from the system's own (bookworm) archive;
#   - CPython 3.14 from Debian unstable's binary packages in a private root, with pytest,
#     hypothesis and scikit-build-core from unstable's pure-Python packages on its path, and
#     beside it the tests' ML-KEM recipients (OpenSSL 3.6, pyca/cryptography 49; lib-peers.sh);
#   - Debian's AWS-LC (from unstable's librust-aws-lc-sys-dev) built FIPS=1 as a shared library, or
#     AWS-LC-FIPS from the zip or tree CORE_FIPS_AWSLC_SOURCE names, verified first (setup/pins);
# and, only when named on the command line, the optional components:
#   ft        the free-threaded CPython 3.13t (setup/python-ft.sh; minutes to build, once)
#   dbg       Debian unstable's debug interpreter python3.14d (also WITH_DBG=1)
#   fuzz      clang-14 and its runtimes (libFuzzer, sanitizers)
#   valgrind  valgrind
#   lint      clang-format-14 and shellcheck
# Every package comes from setup/sid.lock (version and SHA-256 pinned). Each product is built in a
# temporary folder, checked there and only then renamed into place (setup/lib.sh, cache_product),
# so an interrupted or failed run is never taken as good. AWS-LC compiles while CPython is fetched. Prints nothing but progress, then the path of the env file to source: $CACHE/env.sh, or
# $CACHE/env-<components>.sh, one per set of components (so runs asking for different sets never
# read each other's), naming CORE_FIPS_PYTHON, CORE_FIPS_AWSLC, CORE_FIPS_AWSLC_PREFIX,
# CORE_FIPS_PEERS (the tests' ML-KEM recipients, setup/lib-peers.sh) and, when
# asked for, CORE_FIPS_PYTHON_FT and CORE_FIPS_DBG_PYTHON (empty otherwise; env.sh always names
# only the core).
#
#   setup/deps.sh [ft] [dbg] [fuzz] [valgrind] [lint]
# Environment: CORE_FIPS_CACHE (default ~/.cache/core-fips), DEBIAN_MIRROR, WITH_DBG=1,
# CORE_FIPS_AWSLC_SOURCE and CORE_FIPS_AWSLC_ALLOW_MISSING (setup/lib.sh, awslc_source_ready).
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=setup/lib.sh
. "$HERE/lib.sh"
fail_loudly
cache_init

# ------------------------------------------------------------------ what the caller asks for
HOST_PKGS=(build-essential cmake ninja-build perl patchelf xz-utils pkg-config binutils
  libgtest-dev libbenchmark-dev openssl
  python3-cryptography)  # the independent recipient of envelopes in the tests
WANT_FT=0 WANT_DBG=0
[ "${WITH_DBG:-0}" = 1 ] && WANT_DBG=1
for c in "$@"; do
  case "$c" in
    ft) WANT_FT=1 ;;
    dbg) WANT_DBG=1 ;;
    fuzz) HOST_PKGS+=(clang-14 libclang-rt-14-dev) ;;
    valgrind) HOST_PKGS+=(valgrind) ;;
    lint) HOST_PKGS+=(clang-format-14 shellcheck) ;;
    *) fail "unknown component: $c" "usage: setup/deps.sh [ft] [dbg] [fuzz] [valgrind] [lint]" ;;
  esac
done
[ $WANT_DBG = 1 ] && set -- dbg "$@"
suffix=
[ $# = 0 ] || suffix=$(printf -- '-%s\n' "$@" | sort -u | tr -d '\n')
# A named AWS-LC source (CORE_FIPS_AWSLC_SOURCE) gets env files of its own.
[ -z "${CORE_FIPS_AWSLC_SOURCE:-}" ] || suffix=-$AWSLC_NAME$suffix
ENV_SH=$CACHE/env$suffix.sh

# One setup at a time per cache (CI and a developer may share it).
exec 9>"$CACHE/.lock"
flock 9

# ------------------------------------------------------------------ host tools (bookworm)
ensure_host_packages host-apt.log "${HOST_PKGS[@]}"
for t in cmake ninja g++ perl patchelf dpkg-deb sha256sum readelf flock /usr/bin/python3; do
  command -v "$t" >/dev/null || fail "missing tool: $t" "install it with apt-get, then rerun"
done

# ------------------------------------------------------------------ AWS-LC, FIPS build
# Compiled in the background while CPython is fetched and unpacked; the host's python3 computes
# its integrity value (the same bytes as any other python would). Its own process group, so that a
# failure here stops it too.
awslc_source_ready # the package fetched, or the named source verified: before the job starts
pyelftools_ready
AWSLC=$(awslc_dir "$CACHE")
AWSLC_JOB=
if [ ! -f "$AWSLC/lib/$AWSLC_LIBRARY" ]; then
  set -m
  awslc_ensure "$AWSLC" awslc_loads -- --python /usr/bin/python3 &
  AWSLC_JOB=$!
  set +m
  trap '[ -z "$AWSLC_JOB" ] || kill -TERM -- -"$AWSLC_JOB" 2>/dev/null || true' EXIT
fi

# ------------------------------------------------------------------ CPython 3.14 (+ pydeps)
# python_root TMP DEST GROUP BIN: sid's interpreter BIN runs on unstable's own glibc through
# DT_RPATH (not LD_LIBRARY_PATH), so that compilers started from it keep the host's libc. Checked
# where it lies, through its own loader.
python_root() {
  local tmp=$1 dest=$2 group=$3 bin=$4 lib=usr/lib/x86_64-linux-gnu
  python_root_unpack "$tmp" "$dest" "$group" x86_64-linux-gnu
  [ -e "$tmp/$lib/ld-linux-x86-64.so.2" ] || fail "unstable's glibc loader is missing from the unpacked packages" "run setup/make-lock.sh"
  patchelf --set-interpreter "$dest/$lib/ld-linux-x86-64.so.2" --force-rpath --set-rpath "$dest/$lib" "$tmp/usr/bin/$bin"
  python_root_check "$tmp" "$tmp/$lib/ld-linux-x86-64.so.2" --library-path "$tmp/$lib" "$tmp/usr/bin/$bin"
}
# python_root_in NAME GROUP BIN: the interpreter's path, its root unpacked first when missing.
python_root_in() {
  local dest
  dest=$CACHE/$1-$(python_root_key "$2" python_root)
  [ -x "$dest/usr/bin/$3" ] || say "unpacking $1 from Debian unstable into $dest"
  cache_product "$dest" "usr/bin/$3" python_root "$2" "$3"
  PYTHON_IN=$dest/usr/bin/$3
}
python_root_in python3.14 python python3.14
PYTHON=$PYTHON_IN
peers_ready "$PYTHON" # the tests' ML-KEM recipients, on that interpreter
PYTHON_FT=
if [ $WANT_FT = 1 ]; then
  PYTHON_FT=$(CORE_FIPS_PYTHON=$PYTHON CORE_FIPS_CACHE=$CACHE "$HERE/python-ft.sh") ||
    fail "setup/python-ft.sh could not provide the free-threaded interpreter" "the line above says why; build logs are in $CACHE/python-ft-logs"
fi
DBG_PYTHON=
if [ $WANT_DBG = 1 ]; then
  python_root_in python3.14-dbg python-dbg python3.14d
  DBG_PYTHON=$PYTHON_IN
fi
if [ -n "$AWSLC_JOB" ]; then
  wait "$AWSLC_JOB" || exit 1 # the job said what failed
  AWSLC_JOB=
fi

# write_env FILE FT DBG: the env file, replaced whole so that a reader never sees half of it.
write_env() {
  cat >"$1.tmp.$$" <<ENV
CORE_FIPS_PYTHON=$PYTHON
CORE_FIPS_PYTHON_FT=$2
CORE_FIPS_DBG_PYTHON=$3
CORE_FIPS_AWSLC=$AWSLC
CORE_FIPS_AWSLC_PREFIX=$AWSLC_SYMBOL_PREFIX
CORE_FIPS_PYELFTOOLS=$CORE_FIPS_PYELFTOOLS
CORE_FIPS_PEERS=$CORE_FIPS_PEERS
ENV
  mv "$1.tmp.$$" "$1" # a concurrent run (tools/test starts one) writes its own
}
# env.sh always names the core paths of the default build (setup/python-ft.sh run alone reads it).
[ -n "${CORE_FIPS_AWSLC_SOURCE:-}" ] || write_env "$CACHE/env.sh" "" ""
[ "$ENV_SH" = "$CACHE/env.sh" ] || write_env "$ENV_SH" "$PYTHON_FT" "$DBG_PYTHON"
echo "$ENV_SH"
