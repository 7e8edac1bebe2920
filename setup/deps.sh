#!/usr/bin/env bash
# Sets up what the build needs, idempotently, in a cache outside the checkout:
#   - host build tools from the system's own (bookworm) archive;
#   - CPython 3.14 from Debian unstable's binary packages in a private root, with pytest,
#     hypothesis and scikit-build-core from unstable's pure-Python packages on its path;
#   - AWS-LC 5.1.0 (from unstable's librust-aws-lc-sys-dev) built FIPS=1 as a shared library;
# and, only when named on the command line, the optional components:
#   ft        the free-threaded CPython 3.13t (setup/python-ft.sh; minutes to build, once)
#   dbg       Debian unstable's debug interpreter python3.14d (also WITH_DBG=1)
#   fuzz      clang-14 and its runtimes (libFuzzer, sanitizers)
#   valgrind  valgrind
#   lint      clang-format-14 and shellcheck
# Every package comes from setup/sid.lock (version and SHA-256 pinned). Each product is built in a
# temporary folder and renamed into place when complete, so an interrupted run is never taken as
# good. Prints nothing but progress, then the path of the env file to source: $CACHE/env.sh, or
# $CACHE/env-<components>.sh, one per set of components (so runs asking for different sets never
# read each other's), naming CORE_FIPS_PYTHON, CORE_FIPS_AWSLC, CORE_FIPS_AWSLC_PREFIX and, when
# asked for, CORE_FIPS_PYTHON_FT and CORE_FIPS_DBG_PYTHON (empty otherwise; env.sh always names
# only the core).
#
#   setup/deps.sh [ft] [dbg] [fuzz] [valgrind] [lint]
# Environment: CORE_FIPS_CACHE (default ~/.cache/core-fips), DEBIAN_MIRROR, WITH_DBG=1.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
CACHE=${CORE_FIPS_CACHE:-$HOME/.cache/core-fips}
mkdir -p "$CACHE"
CACHE=$(cd "$CACHE" && pwd)
LOCK=$HERE/sid.lock
AWSLC_VERSION=5.1.0
AWSLC_SYMBOL_PREFIX=core_fips_awslc_5_1_0

# shellcheck source=setup/lib.sh
. "$HERE/lib.sh"
# shellcheck source=setup/apt-sid.sh
. "$HERE/apt-sid.sh"
fail_loudly

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
ENV_SH=$CACHE/env$suffix.sh

# One setup at a time per cache (CI and a developer may share it).
exec 9>"$CACHE/.lock"
flock 9

# A key that changes whenever the inputs of a product change, so a bump rebuilds.
key_of() { cat "$@" | sha256sum | cut -c1-12; }

# ------------------------------------------------------------------ host tools (bookworm)
ensure_host_packages host-apt.log "${HOST_PKGS[@]}"
for t in cmake ninja g++ perl patchelf dpkg-deb sha256sum readelf flock; do
  command -v "$t" >/dev/null || fail "missing tool: $t" "install it with apt-get, then rerun"
done

# ------------------------------------------------------------------ pinned downloads
DEBS=$CACHE/debs
mkdir -p "$DEBS"
# fetch GROUP: makes sure every locked deb of the group is in $DEBS with its pinned sum; prints
# their paths.
fetch() {
  local g p v sum path f
  grep -q "^$1 " "$LOCK" || fail "setup/sid.lock has no package in group $1" "run setup/make-lock.sh"
  while read -r g p v sum path; do
    [ "$g" = "$1" ] || continue
    f=$DEBS/$(basename "$path")
    if [ ! -f "$f" ] || [ "$(sha256sum "$f" | cut -d' ' -f1)" != "$sum" ]; then
      sid_apt_update
      rm -f "$f"
      rm -rf "$DEBS/partial" && mkdir -p "$DEBS/partial"
      (cd "$DEBS/partial" && apt-get "${SID_APT_OPTS[@]}" -qq download "$p=$v" >>"$DEBS/download.log" 2>&1) ||
        fail "download of $p $v from Debian unstable failed (see $DEBS/download.log)" "check network access to the Debian archive; if the version left the archive, run setup/make-lock.sh"
      # apt names the file with the epoch escaped; keep the pool's name.
      mv "$DEBS"/partial/*.deb "$f" 2>/dev/null || fail "download of $p $v produced no file" "run setup/make-lock.sh to refresh the pins"
      [ "$(sha256sum "$f" | cut -d' ' -f1)" = "$sum" ] ||
        { rm -f "$f"; fail "checksum mismatch for $(basename "$f")" "the archive served other bytes than pinned in setup/sid.lock; rerun, or refresh the lock deliberately"; }
    fi
    echo "$f"
  done <"$LOCK"
}

# ------------------------------------------------------------------ CPython 3.14 (+ pydeps)
install_python() { # install_python NAME GROUP BIN
  local name=$1 group=$2 bin=$3 dest tmp L
  dest=$CACHE/$name-$({ grep -E "^($group|pydeps) " "$LOCK"; declare -f install_python; } | key_of -)
  if [ ! -x "$dest/usr/bin/$bin" ]; then
    say "unpacking $name from Debian unstable into $dest"
    tmp=$dest.tmp.$$
    rm -rf "$tmp" "$dest".tmp.*
    mkdir -p "$tmp"
    local debs pydebs
    debs=$(fetch "$group") || exit 1
    pydebs=$(fetch pydeps) || exit 1
    for d in $debs; do dpkg-deb -x "$d" "$tmp"; done
    mkdir -p "$tmp/pydeps"
    for d in $pydebs; do dpkg-deb -x "$d" "$tmp/pydeps"; done
    L=$tmp/usr/lib/x86_64-linux-gnu
    [ -e "$L/ld-linux-x86-64.so.2" ] || fail "unstable's glibc loader is missing from the unpacked packages" "run setup/make-lock.sh"
    # Run on unstable's own glibc through DT_RPATH (not LD_LIBRARY_PATH), so that compilers
    # started from this interpreter keep the host's libc.
    patchelf --set-interpreter "$dest/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2" \
      --force-rpath --set-rpath "$dest/usr/lib/x86_64-linux-gnu" "$tmp/usr/bin/$bin"
    # Debian's pyconfig.h is a shim including a multiarch path the host compiler cannot see.
    for inc in "$tmp"/usr/include/x86_64-linux-gnu/python3.14*; do
      cp -f "$inc/pyconfig.h" "$tmp/usr/include/$(basename "$inc")/pyconfig.h"
    done
    # Debian's setuptools reads two attributes that Debian's own stdlib hook adds.
    cat >"$tmp/pydeps/usr/lib/python3/dist-packages/_distutils_system_mod.py" <<'PY'
"""Stand-in for Debian's stdlib hook: adds the two attributes Debian's setuptools reads."""
import distutils.command.install as _install


class install(_install.install):
    user_options = list(_install.install.user_options) + [("install-layout=", None, "ignored")]

    def initialize_options(self):
        super().initialize_options()
        self.install_layout = None
        self.prefix_option = None


_install.install = install
PY
    mkdir -p "$tmp/usr/local/lib/python3.14/dist-packages"
    echo "import site; site.addsitedir('$dest/pydeps/usr/lib/python3/dist-packages')" \
      >"$tmp/usr/local/lib/python3.14/dist-packages/zz-core-fips-pydeps.pth"
    mv "$tmp" "$dest"
    "$dest/usr/bin/$bin" -c 'import sys, ssl, pytest, hypothesis; assert sys.version_info[:2] == (3, 14)' ||
      { rm -rf "$dest"; fail "the unpacked $bin does not run" "delete $CACHE and rerun"; }
  fi
  echo "$dest"
}
# install_python says what failed itself (fail in the subshell), hence the bare exits.
PYROOT=$(install_python python3.14 python python3.14) || exit 1
PYTHON=$PYROOT/usr/bin/python3.14
PYTHON_FT=
if [ $WANT_FT = 1 ]; then
  PYTHON_FT=$(CORE_FIPS_PYTHON=$PYTHON CORE_FIPS_CACHE=$CACHE "$HERE/python-ft.sh") ||
    fail "setup/python-ft.sh could not provide the free-threaded interpreter" "the line above says why; build logs are in $CACHE/python-ft-logs"
fi
DBG_PYTHON=
if [ $WANT_DBG = 1 ]; then
  DBG_PYTHON=$(install_python python3.14-dbg python-dbg python3.14d) || exit 1
  DBG_PYTHON=$DBG_PYTHON/usr/bin/python3.14d
fi

# ------------------------------------------------------------------ AWS-LC, FIPS build
AWSLC=$CACHE/awslc-$AWSLC_VERSION-fips-$(grep -E '^awslc ' "$LOCK" | key_of - "$HERE/build-awslc.sh" "$HERE/inject_hash.py" "$HERE/go-shim")
if [ ! -f "$AWSLC/lib/libcrypto-awslc.so.0" ]; then
  say "building AWS-LC $AWSLC_VERSION (FIPS) into $AWSLC: about a minute"
  tmp=$AWSLC.tmp.$$
  rm -rf "$tmp" "$AWSLC".tmp.*
  mkdir -p "$tmp"
  deb=$(fetch awslc) || exit 1
  INJECT_PYTHON=$PYTHON bash "$HERE/build-awslc.sh" "$deb" "$tmp" "$AWSLC" "$AWSLC_SYMBOL_PREFIX" "$AWSLC_VERSION" ||
    { rm -rf "$tmp"; fail "the AWS-LC build failed (logs kept in $CACHE/awslc-logs)" "fix the cause shown above, then rerun"; }
  mv "$tmp/prefix" "$AWSLC"
  rm -rf "$tmp"
fi

# write_env FILE FT DBG: the env file, replaced whole so that a reader never sees half of it.
write_env() {
  cat >"$1.tmp" <<ENV
CORE_FIPS_PYTHON=$PYTHON
CORE_FIPS_PYTHON_FT=$2
CORE_FIPS_DBG_PYTHON=$3
CORE_FIPS_AWSLC=$AWSLC
CORE_FIPS_AWSLC_PREFIX=$AWSLC_SYMBOL_PREFIX
ENV
  mv "$1.tmp" "$1"
}
# env.sh always names the core paths (setup/python-ft.sh run alone reads it).
write_env "$CACHE/env.sh" "" ""
[ "$ENV_SH" = "$CACHE/env.sh" ] || write_env "$ENV_SH" "$PYTHON_FT" "$DBG_PYTHON"
echo "$ENV_SH"
