#!/usr/bin/env bash
# build-awslc.sh [OPTION...] SOURCE WORK FINAL SYMBOL_PREFIX VERSION
# Builds AWS-LC's libcrypto, FIPS=1, as a shared library with every symbol renamed SYMBOL_PREFIX_x
# and linked -Bsymbolic (so another libcrypto in the process can never take over the module's
# symbols), from one of two sources:
#   - Debian's librust-aws-lc-sys-dev package (a .deb: Debian's AWS-LC, the default), or its
#     aws-lc-sys-X.Y.Z/ folder as the sdist bundles it, with the project's stand-in for Go and its
#     hardening flags (Ninja when there is one, make otherwise);
#   - a folder that setup/awslc_source.py verified (AWS-LC-FIPS): its tree
#     SOURCE/aws-lc-AWS-LC-FIPS-VERSION built as its Security Policy says (section 11.1:
#     -DFIPS=1 -DBUILD_SHARED_LIBS=1, Release, AWS-LC's own Go programs run by --go) plus only the
#     prefix and -Bsymbolic. --prefix-symbols names the symbols to prefix; without it, a first
#     unprefixed build of the same tree lists them (its exported names less the module's four
#     boundary markers).
# Installs into WORK/prefix (later renamed to FINAL by the caller), with the library's SHA-256 in
# share/core-fips/library.sha256 and every file's in share/core-fips/manifest.sha256 (a reuse
# checks them: setup/awslc_source.py check-prefix); logs go to WORK/logs, copied when the build ends
# (passed or failed) to --logs DIR (default: FINAL's folder's awslc-logs).
# Options (a cross build: setup/arm64.sh, tools/wheel): --cc, --cxx, --nm, --readelf (default gcc,
# g++, nm, readelf), --toolchain FILE (a CMake toolchain file), --go GO, --prefix-symbols FILE,
# --python PY (the interpreter of inject_hash.py, run isolated; default python3), --pyelftools DIR
# (where it finds pyelftools, if not on its own path), --logs DIR and --stamp TEXT (what the caller
# built it from: kept in share/core-fips/stamp, under the manifest).
#
# Nothing else steers the build: it always runs in an environment made here. It starts itself
# again under `env -i` with only PATH, LANG and LC_* of the caller's (no test of the caller's
# environment decides that), and HOME and TMPDIR are folders of its own in WORK; so CFLAGS,
# COMPILER_PATH, CMAKE_TOOLCHAIN_FILE, CMAKE_*_COMPILER_LAUNCHER, CPATH, GCC_EXEC_PREFIX, PERL5OPT,
# GOFLAGS, PYTHONPATH, LD_PRELOAD, a user site or ~/.cmake and the like never reach it; Python runs
# with -I; Go runs with GOENV=off (no go env file), fixed GOFLAGS, GOPROXY=off, GOTOOLCHAIN=local
# and CGO_ENABLED=0. Files are made under umask 022, in folders that only their owner (this user or
# root) can write to, and so can every folder above them (a sticky one like /tmp aside).
set -euo pipefail
# The callers run this with bash -p, so that neither BASH_ENV nor a function exported by the caller
# runs before this line. The run that env -i started is told so by its own process id (exec keeps
# it), which no caller passes by chance; that run still refuses any variable it did not expect.
KEPT_ENV='PATH|LANG|LC_[A-Za-z_]+'
if [ "${1:-}" != --environment-made-by ] || [ "${2:-}" != "$$" ]; then
  keep=()
  for name in $(compgen -e); do
    [[ ! "$name" =~ ^($KEPT_ENV)$ ]] || keep+=("$name=${!name}")
  done
  exec /usr/bin/env -i "${keep[@]}" "$BASH" -p "$0" --environment-made-by "$$" "$@"
fi
shift 2
for name in $(compgen -e); do
  [[ "$name" =~ ^($KEPT_ENV|PWD|OLDPWD|SHLVL|_)$ ]] ||
    { echo "build-awslc.sh: refused: $name is set in the environment made for the build" >&2; exit 2; }
done
unset KEPT_ENV keep name
umask 022
CC=gcc CXX=g++ NM=nm READELF=readelf TOOLCHAIN='' GO='' SYMS='' INJECT_PYTHON='' PYELFTOOLS='' LOGS_TO='' STAMP=''
while [ $# -gt 5 ]; do
  case "$1" in
    --cc) CC=$2 ;;
    --cxx) CXX=$2 ;;
    --nm) NM=$2 ;;
    --readelf) READELF=$2 ;;
    --toolchain) TOOLCHAIN=$2 ;;
    --go) GO=$2 ;;
    --prefix-symbols) SYMS=$2 ;;
    --python) INJECT_PYTHON=$2 ;;
    --pyelftools) PYELFTOOLS=$2 ;;
    --logs) LOGS_TO=$2 ;;
    --stamp) STAMP=$2 ;;
    *) echo "build-awslc.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done
[ $# = 5 ] || { echo "build-awslc.sh: usage: build-awslc.sh [OPTION VALUE]... SOURCE WORK FINAL SYMBOL_PREFIX VERSION" >&2; exit 2; }
SOURCE=$1 WORK=$2 FINAL=$3 SYMBOL_PREFIX=$4 VERSION=$5
HERE=$(cd "$(dirname "$0")" && pwd)
LOG=$WORK/logs
LOGS_TO=${LOGS_TO:-$(dirname "$FINAL")/awslc-logs}
step() { printf '[awslc %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
# shellcheck source=setup/lib-errors.sh
. "$HERE/lib-errors.sh" # fail, and nothing of this machine's setup: the sdist builds with it too

# private_folder DIR: DIR is a real folder of this user or root that no group or other user can
# write to, and so is every folder above it (or it is sticky, like /tmp): nobody else can change
# or replace what the build reads and writes there.
private_folder() {
  local path mode owner sticky_ok=0
  path=$(cd "$1" && pwd -P) || fail "cannot enter $1"
  while :; do
    read -r mode owner <<<"$(stat -c '%a %u' -- "$path")"
    [ "$owner" = "$EUID" ] || [ "$owner" = 0 ] ||
      fail "$path: owned by uid $owner, not by you (uid $EUID) or root" "build in a folder of your own"
    if [ $sticky_ok = 0 ] || (( (8#$mode & 8#1000) == 0 )); then
      (( (8#$mode & 8#002) == 0 )) || fail "$path: writable by others (mode $mode)" "chmod o-w $path, or build elsewhere"
      (( (8#$mode & 8#020) == 0 )) || fail "$path: writable by its group (mode $mode)" "chmod g-w $path, or build elsewhere"
    fi
    [ "$path" != / ] || break
    path=$(dirname "$path") sticky_ok=1
  done
}
mkdir -p "$LOG" "$WORK/src" "$(dirname "$FINAL")"
private_folder "$WORK"
private_folder "$(dirname "$FINAL")"
# Its own HOME and TMPDIR (gcc's .s files between cc1 and as): nothing of the caller's is read there.
rm -rf "${WORK:?}/home" "${WORK:?}/tmp"
mkdir -m 700 "$WORK/home" "$WORK/tmp"
export HOME=$WORK/home TMPDIR=$WORK/tmp
# The logs of this build alone, whether it passes or fails: a folder of its own, replaced whole.
case "$LOGS_TO" in
  /*/*) [[ "$WORK/" != "$LOGS_TO"/* && "$FINAL/" != "$LOGS_TO"/* ]] || fail "--logs $LOGS_TO holds the build itself" "name a folder of its own" ;;
  *) fail "--logs $LOGS_TO is not an absolute path below /" "name an absolute folder, e.g. DEST.logs" ;;
esac
copy_logs() {
  rm -rf "$LOGS_TO"
  { mkdir -p "$LOGS_TO" && cp -r "$LOG/." "$LOGS_TO/"; } || echo "build-awslc.sh: the logs stay in $LOG (cannot copy them to $LOGS_TO)" >&2
}
trap copy_logs EXIT

B=$WORK/build P=$WORK/prefix
CROSS=()
[ -z "$TOOLCHAIN" ] || CROSS=(-DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN")
# Read by setup/go-shim and setup/inject_hash.py: set here, from the options.
INJECT_PYTHON=${INJECT_PYTHON:-$(command -v python3 || true)}
[ -n "$INJECT_PYTHON" ] || fail "no python3 to check the integrity value"
export INJECT_PYTHON CORE_FIPS_PYELFTOOLS=$PYELFTOOLS
# inject_hash.py reads the library with pyelftools: the pinned copy --pyelftools names, or the
# interpreter's own (a build root's), found as inject_hash.py finds it. Isolated (-I): neither
# PYTHONPATH nor a user site's .pth takes part.
"$INJECT_PYTHON" -I -c 'import os, sys
sys.path.append(os.environ["CORE_FIPS_PYELFTOOLS"])
import elftools' 2>/dev/null ||
  fail "$INJECT_PYTHON cannot import pyelftools, which inject_hash.py needs" "pass --pyelftools DIR (setup/lib.sh, pyelftools_ready) or install python3-pyelftools"

# install_manifest: the list of every file of the prefix (setup/awslc_source.py check-prefix).
install_manifest() {
  local stamp=()
  [ -z "$STAMP" ] || stamp=(--stamp "$STAMP")
  "$INJECT_PYTHON" -I "$HERE/awslc_source.py" manifest "$P" "${stamp[@]}" >>"$LOG/manifest.log" 2>&1 ||
    fail "cannot list the installed files: $(tail -1 "$LOG/manifest.log")"
}

# exported_names LIB: the library's defined dynamic symbols, one a line.
exported_names() { "$NM" -D --defined-only "$1" | awk '{print $3}' | sort -u; }
# checked_library: the one libcrypto the build installed into $P/lib, integrity value verified.
checked_library() {
  local lib
  lib=$(find "$P/lib" -maxdepth 1 -type f -name 'libcrypto*.so*' | sort | head -1)
  [ -n "$lib" ] || fail "the install holds no libcrypto" "see $LOGS_TO"
  "$INJECT_PYTHON" -I "$HERE/inject_hash.py" -verify "$lib" >"$LOG/verify.log" || fail "the stored integrity value does not match"
  exported_names "$lib" >"$LOG/symbols.txt"
  grep -qx "${SYMBOL_PREFIX}_FIPS_mode" "$LOG/symbols.txt" || fail "symbols are not prefixed with $SYMBOL_PREFIX"
  echo "$lib"
}

if [ -d "$SOURCE" ] && [ ! -d "$SOURCE/generated-include" ]; then
  # ---------------------------------------------------------------- the verified AWS-LC-FIPS tree
  TREE=$SOURCE/aws-lc-AWS-LC-FIPS-$VERSION
  [ -f "$TREE/CMakeLists.txt" ] || fail "no AWS-LC tree at $TREE"
  grep -q "AWSLC_VERSION_NUMBER_STRING \"$VERSION\"" "$TREE/include/openssl/base.h" || fail "the tree is not AWS-LC $VERSION"
  [ -x "$GO" ] || fail "--go names no go command" "install Go (Debian: apt install golang-go; RHEL-like: dnf install golang)"
  # AWS-LC's Go programs use the standard library and the tree's own packages: nothing is fetched,
  # and no go env file (GOENV=off), GOFLAGS or toolchain switch of the caller's takes part.
  export GOENV=off GOCACHE=$WORK/gocache GOPATH=$WORK/gopath GOPROXY=off GOFLAGS=-mod=readonly \
    GOTOOLCHAIN=local GOWORK=off CGO_ENABLED=0
  # A user's go knows its GOROOT; ours (go_static: trimmed) runs with Debian's.
  GOROOT=$("$GO" env GOROOT 2>/dev/null || true)
  [ -d "$GOROOT/src/runtime" ] || GOROOT=/usr/lib/go-1.19
  [ -d "$GOROOT/src/runtime" ] || fail "$GO finds no Go standard library" "install Go whole (Debian: apt install golang-go)"
  export GOROOT
  # Where this compiler, as AWS-LC compiles, cannot build the tree as it is, and only there, the
  # one flag that lets it (no byte of the tree changes; the record names each one):
  #  - AWS-LC-FIPS compiles with -Werror. With glibc 2.43 and _GNU_SOURCE (which bcm.c's sources
  #    define), memchr given a const pointer returns a const one, which crypto/internal.h:921
  #    returns as void *: gcc 16 warns (discarded-qualifiers). That warning stays a warning.
  #  - The FIPS module's linker script discards .data.rel.ro*. gcc 16 at -O3 -fPIC stores the
  #    function pointers of the EVP_*_init method tables from a relocated constant pool there (SLP
  #    vectorisation), and the module does not link. The module is compiled without it.
  TOLERATE=() NOTES=() CFLAGS_ARG=()
  # A toolchain file reaches AWS-LC's configure whole, flags included: only the project's own
  # (compilers and a sysroot, nothing else) keeps the Security Policy's build; any other is named
  # in the record as a code-generation change, which no certificate covers.
  if [ -n "$TOOLCHAIN" ]; then
    ours=$(sha256sum <"$HERE/../cmake/aarch64-toolchain.cmake" 2>/dev/null | cut -d' ' -f1) || ours=''
    theirs=$(sha256sum <"$TOOLCHAIN" | cut -d' ' -f1) || fail "cannot read the toolchain file $TOOLCHAIN"
    [ "$theirs" = "$ours" ] ||
      NOTES+=("Compiled with \`a toolchain file of the caller's (SHA-256 $theirs)\`: its settings reach AWS-LC's configure, which the Security Policy's build does not have.")
  fi
  printf '#define _GNU_SOURCE\n#include <string.h>\nvoid *f(const void *s) { return memchr(s, 0, 1); }\n' >"$WORK/probe.c"
  if ! "$CC" -std=gnu11 -Werror -c "$WORK/probe.c" -o "$WORK/probe.o" >"$LOG/probe.log" 2>&1; then
    { grep -q 'Werror=discarded-qualifiers' "$LOG/probe.log" &&
      "$CC" -std=gnu11 -Werror -Wno-error=discarded-qualifiers -c "$WORK/probe.c" -o "$WORK/probe.o" >>"$LOG/probe.log" 2>&1; } ||
      fail "$CC cannot compile a call of memchr (see $LOGS_TO/probe.log)"
    TOLERATE+=(-Wno-error=discarded-qualifiers)
    NOTES+=("Compiled with \`-Wno-error=discarded-qualifiers\`: gcc $("$CC" -dumpfullversion) warns where AWS-LC $VERSION's -Werror makes that an error (glibc 2.43's memchr returns a const pointer).")
  fi
  printf '%s\n' 'struct m { int t; void (*a)(void *); void (*b)(void *); void (*c)(void *); int n; };' \
    'static void x(void *p) { (void)p; }' 'static void y(void *p) { (void)p; }' 'static void z(void *p) { (void)p; }' \
    'static struct m g;' 'void init(void) { g.t = 4; g.a = x; g.b = y; g.c = z; g.n = 16; }' \
    'struct m *get(void) { return &g; }' >"$WORK/probe.c"  # AWS-LC's DEFINE_METHOD_FUNCTION, in small
  "$CC" -std=gnu11 -O3 -fPIC -c "$WORK/probe.c" -o "$WORK/probe.o" >>"$LOG/probe.log" 2>&1 || fail "$CC cannot compile a method table (see $LOGS_TO/probe.log)"
  # The section list read whole first: a grep -q that stops early would SIGPIPE readelf, and
  # pipefail would turn the answer around.
  sections=$("$READELF" -S "$WORK/probe.o") || fail "$READELF cannot read the probe (see $LOGS_TO/probe.log)"
  if grep -q '\.data\.rel\.ro' <<<"$sections"; then
    { "$CC" -std=gnu11 -O3 -fPIC -fno-tree-slp-vectorize -c "$WORK/probe.c" -o "$WORK/probe.o" >>"$LOG/probe.log" 2>&1 &&
      sections=$("$READELF" -S "$WORK/probe.o") && ! grep -q '\.data\.rel\.ro' <<<"$sections"; } ||
      fail "$CC puts a method table's pointers where the FIPS module cannot hold them (see $LOGS_TO/probe.log)"
    TOLERATE+=(-fno-tree-slp-vectorize)
    NOTES+=("Compiled with \`-fno-tree-slp-vectorize\`: gcc $("$CC" -dumpfullversion) vectorises the method tables' pointer stores through .data.rel.ro, which the FIPS module's linker script discards.")
  fi
  [ ${#TOLERATE[@]} = 0 ] || { CFLAGS_ARG=("-DCMAKE_C_FLAGS=${TOLERATE[*]}") && step "for this compiler: ${TOLERATE[*]}"; }
  # policy_build DIR CMAKE-ARG...: section 11.1's configuration, then the library alone.
  policy_build() {
    local dir=$1
    shift
    cmake -S "$TREE" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFIPS=1 -DBUILD_SHARED_LIBS=1 \
      -DBUILD_TESTING=OFF -DGO_EXECUTABLE="$GO" -DCMAKE_C_COMPILER="$CC" \
      -DCMAKE_CXX_COMPILER="$CXX" "${CFLAGS_ARG[@]}" "${CROSS[@]}" "$@" >"$LOG/cmake${dir##*/build}.log" 2>&1 ||
      { tail -30 "$LOG/cmake${dir##*/build}.log" >&2; fail "configure failed"; }
    ninja -C "$dir" crypto >"$LOG/ninja${dir##*/build}.log" 2>&1 ||
      { tail -30 "$LOG/ninja${dir##*/build}.log" >&2; fail "compile failed"; }
  }
  if [ -z "$SYMS" ]; then
    step "unprefixed build, for the list of names to prefix"
    policy_build "$B-names"
    SYMS=$WORK/prefix-symbols.txt
    exported_names "$B-names/crypto/libcrypto.so" | grep -v '^BORINGSSL_bcm_' >"$SYMS"
  fi
  step "configure and compile, prefixed (about a minute on 2 cores)"
  policy_build "$B" -DBORINGSSL_PREFIX="$SYMBOL_PREFIX" -DBORINGSSL_PREFIX_SYMBOLS="$SYMS" \
    -DCMAKE_SHARED_LINKER_FLAGS=-Wl,-Bsymbolic -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
  # Installed by hand, the library copied as built (its integrity value covers its bytes): the
  # public headers, and the prefix headers the build generated over the tree's empty ones.
  mkdir -p "$P/lib" "$P/include"
  cp -p "$B/crypto/libcrypto.so" "$P/lib/"
  cp -r "$TREE/include/openssl" "$P/include/"
  cp "$B"/symbol_prefix_include/openssl/boringssl_prefix_symbols* "$P/include/openssl/"
  LIB=$(checked_library)
  [ "$("$READELF" -d "$LIB" | sed -n 's/.*soname: \[\(.*\)\]/\1/p')" = libcrypto.so ] || fail "unexpected SONAME"
  cmp -s "$B/crypto/libcrypto.so" "$LIB" || fail "the installed library differs from the built one"
  mkdir -p "$P/share/core-fips"
  cp "$SYMS" "$P/share/core-fips/prefix-symbols.txt"
  { cat "$SOURCE/source.txt"
    [ ${#NOTES[@]} = 0 ] || printf '%s\n' "${NOTES[@]}"
  } >"$P/share/core-fips/awslc-source.txt"
  cp "$TREE/LICENSE" "$P/share/core-fips/LICENSE"
  cp "$B/compile_commands.json" "$P/share/core-fips/compile_commands.json"
  sha256sum "$LIB" | cut -d' ' -f1 >"$P/share/core-fips/library.sha256"
  install_manifest
  step "done: $(basename "$LIB"), $(stat -c %s "$LIB") bytes"
  exit 0
fi

# ------------------------------------------------------------------ Debian's package
# Either way the crate lands at the folder the package gives it, so that both build the same bytes.
if [ -d "$SOURCE" ]; then
  mkdir -p "$WORK/src/usr/share/cargo/registry"
  cp -r "$SOURCE" "$WORK/src/usr/share/cargo/registry/"
else
  dpkg-deb -x "$SOURCE" "$WORK/src"
fi
CRATE=$(find "$WORK/src/usr/share/cargo/registry" -maxdepth 1 -type d -name 'aws-lc-sys-*' 2>/dev/null | sort | head -1 || true)
AWSLC=$CRATE/aws-lc
GENINC=$CRATE/generated-include
[ -f "$AWSLC/CMakeLists.txt" ] || fail "no aws-lc/ in $SOURCE"
found=$(sed -n 's/^set(SOFTWARE_VERSION "\(.*\)")/\1/p' "$AWSLC/CMakeLists.txt")
[ "$found" = "$VERSION" ] || fail "the package holds AWS-LC $found, expected $VERSION"

# The crate ships prefix headers for its own default prefix: substitute ours.
default=$(sed -n 's/^#define BORINGSSL_PREFIX \([A-Za-z0-9_]*\)$/\1/p' "$GENINC/openssl/boringssl_prefix_symbols.h" | head -1)
[ -n "$default" ] || fail "cannot read the default prefix from the generated header"
PH=$WORK/prefix-include
mkdir -p "$PH/openssl"
for f in boringssl_prefix_symbols.h boringssl_prefix_symbols_asm.h boringssl_prefix_symbols_nasm.inc; do
  sed "s/\b$default\b/$SYMBOL_PREFIX/g" "$GENINC/openssl/$f" >"$PH/openssl/$f"
done
# The crate's list comes from a non-FIPS build: add the FIPS-only public function.
grep -q ' BORINGSSL_integrity_test ' "$PH/openssl/boringssl_prefix_symbols.h" ||
  sed -i 's/^#define FIPS_mode BORINGSSL_ADD_PREFIX.*/&\n#define BORINGSSL_integrity_test BORINGSSL_ADD_PREFIX(BORINGSSL_PREFIX, BORINGSSL_integrity_test)/' \
    "$PH/openssl/boringssl_prefix_symbols.h"

mkdir -p "$WORK/tools"
cp "$HERE/go-shim" "$HERE/inject_hash.py" "$WORK/tools/"
# Hardened like the extension. Every folder of this build is under WORK, whose name changes from
# build to build: map it away so that two builds give the same bytes and no path ships.
HARDEN="-fstack-protector-strong -D_FORTIFY_SOURCE=2 -ffile-prefix-map=$WORK=."
LINK="-Wl,-Bsymbolic -Wl,-z,relro,-z,now -Wl,-z,noexecstack"
GEN=(-G Ninja)
command -v ninja >/dev/null || GEN=(-G "Unix Makefiles")
step "configure"
cmake -S "$AWSLC" -B "$B" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release -DFIPS=1 -DBUILD_SHARED_LIBS=ON \
  -DENABLE_PRE_SONAME_BUILD=OFF -DBUILD_TESTING=OFF -DBUILD_LIBSSL=OFF -DBUILD_TOOL=OFF \
  -DENABLE_SOURCE_MODIFICATION=OFF -DGO_EXECUTABLE="$WORK/tools/go-shim" \
  -DCMAKE_C_FLAGS="$HARDEN" -DCMAKE_CXX_FLAGS="$HARDEN" -DCMAKE_ASM_FLAGS="-ffile-prefix-map=$WORK=." \
  -DCMAKE_SHARED_LINKER_FLAGS="$LINK" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" "${CROSS[@]}" \
  -DBORINGSSL_PREFIX="$SYMBOL_PREFIX" -DBORINGSSL_PREFIX_HEADERS="$PH" \
  -DCMAKE_INSTALL_PREFIX="$WORK/prefix" -DCMAKE_INSTALL_LIBDIR=lib >"$LOG/cmake.log" 2>&1 ||
  { tail -30 "$LOG/cmake.log" >&2; fail "configure failed"; }
step "compile (about a minute on 2 cores)"
cmake --build "$B" --target crypto -j "$(nproc)" >"$LOG/compile.log" 2>&1 || { tail -30 "$LOG/compile.log" >&2; fail "compile failed"; }
cmake --install "$B" >"$LOG/install.log" 2>&1 || { tail -30 "$LOG/install.log" >&2; fail "install failed"; }
rm -rf "$P/lib/pkgconfig" "$P/lib/libssl.so" "$P/lib/libssl.a" "$P/lib/libcrypto.so"
LIB=$(find "$P/lib" -maxdepth 1 -type f -name 'libcrypto-awslc.so.*.*.*' | sort | head -1)
[ -n "$LIB" ] || fail "the install holds no libcrypto-awslc.so.X.Y.Z" "see $LOGS_TO/install.log"
[ "$("$READELF" -d "$LIB" | sed -n 's/.*soname: \[\(.*\)\]/\1/p')" = libcrypto-awslc.so.0 ] || fail "unexpected SONAME"
[ "$(checked_library)" = "$LIB" ] || fail "more than one libcrypto installed"
# The prefix headers must be installed with the public ones for consumers to see the renames.
cp "$PH"/openssl/boringssl_prefix_symbols*.h "$P/include/openssl/"
cp "$HERE/inject_hash.py" "$P/lib/"
# What every file was compiled with, for the hardening check.
mkdir -p "$P/share/core-fips"
cp "$B/compile_commands.json" "$P/share/core-fips/compile_commands.json"
sha256sum "$LIB" | cut -d' ' -f1 >"$P/share/core-fips/library.sha256"
install_manifest
step "done: $(basename "$LIB"), $(stat -c %s "$LIB") bytes"
