#!/usr/bin/env bash
# What the aarch64 lane (tools/arm64) needs, cached like setup/deps.sh (folders keyed by their
# inputs, built in a temporary folder and renamed when complete):
#   - a root of Debian unstable's arm64 python3.14 (the versions of the x86-64 build, pinned in the
#     arm64 group of setup/sid.lock) with libstdc++6 and the pure-Python test and build packages,
#     its bytecode compiled ahead by the host's CPython 3.14 (same version, same bytecode: imports
#     under emulation would otherwise take minutes);
#   - the root's interpreter behind a wrapper that runs it under qemu-user (binfmt_misc is not
#     available here), so sys.executable is the wrapper and child interpreters work;
#   - AWS-LC 5.1.0 FIPS=1 cross-built by setup/build-awslc.sh with cmake/aarch64-toolchain.cmake,
#     and GoogleTest cross-built from the host's /usr/src/googletest.
# Prints the path of an env file for tools/arm64. Needs CORE_FIPS_PYTHON (the host's 3.14, from
# setup/deps.sh, which also downloads the AWS-LC sources).
#   setup/arm64.sh           the whole setup
#   setup/arm64.sh root      only the python3.14 root and its runners (tools/wheel)
#   setup/arm64.sh stock     a stock sid arm64 root for tests/stock/run (see stock_root below)
#   setup/arm64.sh lock      prints the arm64 group of setup/sid.lock (for setup/make-lock.sh)
# Environment: CORE_FIPS_CACHE, DEBIAN_MIRROR.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
CACHE=${CORE_FIPS_CACHE:-$HOME/.cache/core-fips}
mkdir -p "$CACHE" && CACHE=$(cd "$CACHE" && pwd)
LOCK=$HERE/sid.lock
TOOLCHAIN=$(cd "$HERE/.." && pwd)/cmake/aarch64-toolchain.cmake
AWSLC_VERSION=5.1.0
AWSLC_SYMBOL_PREFIX=core_fips_awslc_5_1_0
. "$HERE/lib.sh"
. "$HERE/apt-sid.sh"
. "$HERE/roots-lock.sh"
# A private apt state of its own: arm64 indexes, never mixed with the x86-64 one.
SID_APT=$CACHE/apt-sid-arm64
arm64_apt_update() {
  [ -n "${SID_APT_UPDATED:-}" ] && return 0
  sid_apt_init
  sed -i 's/^deb \[/deb [arch=arm64 /' "$SID_APT/sources.list"
  SID_APT_OPTS+=(-o APT::Architecture=arm64 -o APT::Architectures=arm64)
  apt-get "${SID_APT_OPTS[@]}" -qq update >"$SID_APT/update.log" 2>&1 ||
    fail "apt-get update of the private sid arm64 list failed (see $SID_APT/update.log)" "check network access to the Debian archive, then rerun"
  SID_APT_UPDATED=1
}

if [ "${1:-}" = lock ]; then
  arm64_apt_update
  EXCLUDE='^(debconf|libc6-dev|libc-dev-bin|linux-libc-dev|libcrypt-dev|rpcsvc-proto|libexpat1-dev|zlib1g-dev)$'
  lines=$(for p in $(apt-get "${SID_APT_OPTS[@]}" -s install --no-install-recommends python3.14 python3.14-dev \
    libpython3.14-dev libstdc++6 2>/dev/null | awk '/^Inst /{print $2}' | grep -vE "$EXCLUDE"); do
    apt-cache "${SID_APT_OPTS[@]}" show "$p" 2>/dev/null |
      awk -v p="$p" '/^Version:/{v=$2} /^Filename:/{f=$2} /^SHA256:/{print "arm64", p, v, $2, f; exit}'
  done)
  { grep -q '^arm64 python3.14 ' <<<"$lines" && grep -q '^arm64 libstdc++6 ' <<<"$lines"; } ||
    fail "apt cannot resolve sid's arm64 python3.14 and libstdc++6" "see $SID_APT/update.log; the archive may be mid-transition, retry later"
  echo "$lines"
  exit 0
fi

# A stock sid arm64 root: python3.14, python3.13, pip, pytest and hypothesis as Debian ships them
# (exactly the packages of stock-sid-arm64 in setup/roots.lock, setup/roots-lock.sh), extracted
# by mmdebstrap (its extract variant runs no maintainer script, so it needs no arm64 execution;
# nothing else, so no libstdc++). Two changes make it usable without binfmt: the /lib link that
# base-files would make (the loader's path), and python3.14 moved aside for a qemu-user wrapper.
# Its bytecode is compiled ahead as a package's postinst would, by the host's 3.14.
stock_root() {
  local key dest tmp
  key=$({ roots_lock_lines stock-sid-arm64; declare -f stock_root; } | sha256sum | cut -c1-12) || exit 1
  dest=$CACHE/arm64/stock-sid-$key
  if [ ! -f "$dest/.core-fips-manifest" ]; then
    ensure_host_packages host-apt-roots.log mmdebstrap qemu-user-static
    say "making the stock sid arm64 root with mmdebstrap (about 30 s)"
    rm -rf --one-file-system "$dest".tmp.* && tmp=$(mktemp -d "$dest.tmp.XXXXXX")
    roots_lock_mmdebstrap stock-sid-arm64 "$tmp" "$CACHE/arm64/stock-sid.log"
    [ -e "$tmp/lib" ] || ln -s usr/lib "$tmp/lib"
    mv "$tmp/usr/bin/python3.14" "$tmp/usr/bin/python3.14-real"
    cat >"$tmp/usr/bin/python3.14" <<SH
#!/bin/sh
# The root's python3.14 under qemu-user (-L: the root's files first); argv[0] is this wrapper or
# a venv's link to it, so venvs and sys.executable work.
exec qemu-aarch64-static -cpu "\${CORE_FIPS_QEMU_CPU:-max,pauth=off}" -L $dest -0 "\$0" $dest/usr/bin/python3.14-real "\$@"
SH
    chmod +x "$tmp/usr/bin/python3.14"
    "$CORE_FIPS_PYTHON" -m compileall -q -j 2 -s "$tmp" -p "$dest" "$tmp/usr/lib/python3.14" "$tmp/usr/lib/python3/dist-packages" \
      >"$CACHE/arm64/stock-sid-compileall.log" 2>&1 ||
      { rm -rf "$tmp"; fail "compiling the stock root's bytecode failed (see $CACHE/arm64/stock-sid-compileall.log)" "delete $CACHE/arm64 and rerun"; }
    (cd "$tmp" && find . -xdev -printf '%P\n' | sort) >"$tmp/.core-fips-manifest"
    mv "$tmp" "$dest"
  fi
  echo "$dest"
}

[ -n "${CORE_FIPS_PYTHON:-}" ] || fail "CORE_FIPS_PYTHON is not set" "run setup/arm64.sh through tools/arm64, which runs setup/deps.sh first"
if [ "${1:-}" = stock ]; then
  mkdir -p "$CACHE/arm64"
  exec 9>"$CACHE/.lock-arm64"
  flock 9
  stock_root
  exit 0
fi
PKGS=(qemu-user-static)
[ "${1:-}" = root ] || PKGS+=(gcc-aarch64-linux-gnu g++-aarch64-linux-gnu googletest)
ensure_host_packages host-apt-arm64.log "${PKGS[@]}"
exec 9>"$CACHE/.lock-arm64"
flock 9
key_of() { cat "$@" | sha256sum | cut -c1-12; }

DEBS=$CACHE/debs
mkdir -p "$DEBS"
# fetch GROUP...: the locked debs of the groups in $DEBS, checked against their pinned sums.
fetch() {
  local g p v sum path f want=" $* "
  while read -r g p v sum path; do
    case "$g" in \#*) continue ;; esac
    [[ "$want" == *" $g "* ]] || continue
    f=$DEBS/$(basename "$path")
    if [ ! -f "$f" ] || [ "$(sha256sum "$f" | cut -d' ' -f1)" != "$sum" ]; then
      arm64_apt_update
      rm -f "$f" && rm -rf "$DEBS/partial-arm64" && mkdir -p "$DEBS/partial-arm64"
      (cd "$DEBS/partial-arm64" && apt-get "${SID_APT_OPTS[@]}" -qq download "$p=$v" >>"$DEBS/download.log" 2>&1) ||
        fail "download of $p $v (arm64) from Debian unstable failed (see $DEBS/download.log)" "check network access; if the version left the archive, regenerate the lock with setup/make-lock.sh"
      mv "$DEBS"/partial-arm64/*.deb "$f" 2>/dev/null || fail "download of $p $v produced no file" "regenerate the lock with setup/make-lock.sh"
      [ "$(sha256sum "$f" | cut -d' ' -f1)" = "$sum" ] ||
        { rm -f "$f"; fail "checksum mismatch for $(basename "$f")" "the archive served other bytes than pinned in setup/sid.lock; rerun, or refresh the lock deliberately"; }
    fi
    echo "$f"
  done <"$LOCK"
}
grep -qE '^arm64 ' "$LOCK" || fail "setup/sid.lock has no arm64 group" "append the output of setup/arm64.sh lock to it"

# ------------------------------------------------------------------ the arm64 python3.14 root
ARM=$CACHE/arm64
mkdir -p "$ARM"
PYROOT=$ARM/python3.14-$({ grep -E '^(arm64|pydeps) ' "$LOCK"; sed -n '/^# -- root/,/^# -- end root/p' "$0"; } | key_of -)
# -- root
if [ ! -x "$PYROOT/usr/bin/python3.14-real" ]; then
  say "unpacking sid's arm64 python3.14 into $PYROOT"
  tmp=$PYROOT.tmp.$$
  rm -rf "$PYROOT".tmp.* && mkdir -p "$tmp/pydeps"
  debs=$(fetch arm64) || exit 1
  pydebs=$(fetch pydeps) || exit 1
  for d in $debs; do dpkg-deb -x "$d" "$tmp"; done
  for d in $pydebs; do dpkg-deb -x "$d" "$tmp/pydeps"; done
  { [ -e "$tmp/usr/lib/ld-linux-aarch64.so.1" ] && [ -e "$tmp/usr/lib/aarch64-linux-gnu/libstdc++.so.6" ]; } ||
    fail "the arm64 loader or libstdc++ is missing from the unpacked packages" "regenerate the arm64 group with setup/arm64.sh lock"
  [ -e "$tmp/lib" ] || ln -s usr/lib "$tmp/lib"
  # Debian's pyconfig.h includes a multiarch path the cross compiler does not search.
  cp -f "$tmp/usr/include/aarch64-linux-gnu/python3.14/pyconfig.h" "$tmp/usr/include/python3.14/pyconfig.h"
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
  echo "import site; site.addsitedir('$PYROOT/pydeps/usr/lib/python3/dist-packages')" \
    >"$tmp/usr/local/lib/python3.14/dist-packages/zz-core-fips-pydeps.pth"
  mv "$tmp/usr/bin/python3.14" "$tmp/usr/bin/python3.14-real"
  # The CPU is the caller's choice (tools/arm64 runs the suite on two); pointer authentication is
  # off because qemu emulates it in software, several times slower, and sid builds with it.
  cat >"$tmp/usr/bin/python3.14" <<SH
#!/bin/sh
# sid's arm64 python3.14 under qemu-user, which takes the root's libraries first (-L); argv[0]
# is this wrapper, so sys.executable runs children the same way.
exec qemu-aarch64-static -cpu "\${CORE_FIPS_QEMU_CPU:-max,pauth=off}" -L $PYROOT -0 "\$0" $PYROOT/usr/bin/python3.14-real "\$@"
SH
  chmod +x "$tmp/usr/bin/python3.14"
  # Bytecode compiled natively, at the final paths the emulated interpreter will see.
  mv "$tmp" "$PYROOT.unchecked.$$"
  { "$CORE_FIPS_PYTHON" -m compileall -q -j 2 -d "$PYROOT/usr/lib/python3.14" "$PYROOT.unchecked.$$/usr/lib/python3.14" >"$ARM/compileall.log" 2>&1 &&
    "$CORE_FIPS_PYTHON" -m compileall -q -j 2 -d "$PYROOT/pydeps" "$PYROOT.unchecked.$$/pydeps" >>"$ARM/compileall.log" 2>&1; } ||
    { rm -rf "$PYROOT.unchecked.$$"; fail "compiling the arm64 root's bytecode failed (see $ARM/compileall.log)" "delete $ARM and rerun"; }
  mv "$PYROOT.unchecked.$$" "$PYROOT"
  "$PYROOT/usr/bin/python3.14" -c '
import platform, sys, ctypes, ssl, pytest, hypothesis
assert platform.machine() == "aarch64" and sys.version_info[:2] == (3, 14), platform.machine()' ||
    { rm -rf "$PYROOT"; fail "the arm64 python3.14 does not run under qemu-aarch64-static" "see the error above; delete $ARM and rerun"; }
fi
# -- end root
PYTHON=$PYROOT/usr/bin/python3.14

# The runner of every other aarch64 program (C++ units, probes): CMake's cross-compiling emulator.
RUN=$ARM/run-$(echo "$PYROOT" | key_of -)
if [ ! -x "$RUN" ]; then
  cat >"$RUN.tmp.$$" <<SH
#!/bin/sh
# An aarch64 program under qemu-user, with the arm64 root's loader and libraries; the CPU as for
# the root's python3.14 (CORE_FIPS_QEMU_CPU). Extra qemu options in CORE_FIPS_QEMU_OPTS.
exec qemu-aarch64-static -cpu "\${CORE_FIPS_QEMU_CPU:-max,pauth=off}" -L $PYROOT \${CORE_FIPS_QEMU_OPTS:-} "\$@"
SH
  chmod +x "$RUN.tmp.$$" && mv "$RUN.tmp.$$" "$RUN"
fi

if [ "${1:-}" = root ]; then
  printf 'CORE_FIPS_ARM64_ROOT=%s\nCORE_FIPS_ARM64_PYTHON=%s\nCORE_FIPS_ARM64_RUN=%s\n' "$PYROOT" "$PYTHON" "$RUN" >"$ARM/env-root.sh.tmp"
  mv "$ARM/env-root.sh.tmp" "$ARM/env-root.sh"
  echo "$ARM/env-root.sh"
  exit 0
fi

# ------------------------------------------------------------------ AWS-LC for aarch64
CROSS_VERSION=$(aarch64-linux-gnu-gcc -dumpfullversion)
AWSLC=$ARM/awslc-$AWSLC_VERSION-fips-$({ grep -E '^awslc ' "$LOCK"; echo "$CROSS_VERSION"; } |
  key_of - "$HERE/build-awslc.sh" "$HERE/inject_hash.py" "$HERE/go-shim" "$TOOLCHAIN")
if [ ! -f "$AWSLC/lib/libcrypto-awslc.so.0" ]; then
  say "cross-building AWS-LC $AWSLC_VERSION (FIPS) for aarch64 into $AWSLC: about 2 minutes"
  tmp=$AWSLC.tmp.$$
  rm -rf "$AWSLC".tmp.* && mkdir -p "$tmp"
  deb=$(fetch awslc) || exit 1
  AWSLC_CC=aarch64-linux-gnu-gcc AWSLC_CXX=aarch64-linux-gnu-g++ AWSLC_NM=aarch64-linux-gnu-nm AWSLC_READELF=aarch64-linux-gnu-readelf \
    AWSLC_TOOLCHAIN=$TOOLCHAIN INJECT_PYTHON=$CORE_FIPS_PYTHON \
    nice -n 10 bash "$HERE/build-awslc.sh" "$deb" "$tmp" "$AWSLC" "$AWSLC_SYMBOL_PREFIX" "$AWSLC_VERSION" ||
    { rm -rf "$tmp"; fail "the aarch64 AWS-LC build failed (logs kept in $ARM/awslc-logs)" "fix the cause shown above, then rerun"; }
  readelf -h "$tmp/prefix/lib/libcrypto-awslc.so.0" | grep -q 'AArch64' ||
    { rm -rf "$tmp"; fail "the cross-built AWS-LC is not an AArch64 library" "check cmake/aarch64-toolchain.cmake"; }
  mv "$tmp/prefix" "$AWSLC" && rm -rf "$tmp"
fi

# ------------------------------------------------------------------ GoogleTest for aarch64
GTEST=$ARM/gtest-$({ dpkg-query -W -f '${Version}' googletest; echo "$CROSS_VERSION"; } | key_of - "$TOOLCHAIN")
if [ ! -f "$GTEST/lib/cmake/GTest/GTestConfig.cmake" ]; then
  say "cross-building GoogleTest for aarch64 into $GTEST"
  tmp=$GTEST.tmp.$$
  rm -rf "$GTEST".tmp.* && mkdir -p "$tmp"
  { cmake -S /usr/src/googletest -B "$tmp/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$tmp/prefix" &&
    nice -n 10 cmake --build "$tmp/build" && cmake --install "$tmp/build"; } >"$ARM/gtest.log" 2>&1 ||
    { rm -rf "$tmp"; fail "the aarch64 GoogleTest build failed (see $ARM/gtest.log)" "fix the cause shown there, then rerun"; }
  mv "$tmp/prefix" "$GTEST" && rm -rf "$tmp"
fi

cat >"$ARM/env.sh.tmp" <<ENV
CORE_FIPS_ARM64_ROOT=$PYROOT
CORE_FIPS_ARM64_PYTHON=$PYTHON
CORE_FIPS_ARM64_RUN=$RUN
CORE_FIPS_ARM64_AWSLC=$AWSLC
CORE_FIPS_ARM64_GTEST=$GTEST
CORE_FIPS_ARM64_TOOLCHAIN=$TOOLCHAIN
ENV
mv "$ARM/env.sh.tmp" "$ARM/env.sh"
echo "$ARM/env.sh"
