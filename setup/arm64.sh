#!/usr/bin/env bash
# What the aarch64 lane (tools/arm64) needs, cached like setup/deps.sh (folders keyed by their
# inputs, built in a temporary folder, checked there and renamed when complete):
#   - a root of Debian unstable's arm64 python3.14 (the versions of the x86-64 build, pinned in the
#     arm64 group of setup/sid.lock) with libstdc++6 and the pure-Python test and build packages,
#     its bytecode compiled ahead by the host's CPython 3.14 (same version, same bytecode: imports
#     under emulation would otherwise take minutes);
#   - the root's interpreter behind a wrapper that runs it under qemu-user (binfmt_misc is not
#     available here), so sys.executable is the wrapper and child interpreters work;
#   - Debian's AWS-LC FIPS=1 cross-built by setup/build-awslc.sh with cmake/aarch64-toolchain.cmake,
#     and GoogleTest cross-built from the host's /usr/src/googletest.
# Needs CORE_FIPS_PYTHON (the host's 3.14, from setup/deps.sh).
#   setup/arm64.sh           the whole setup; prints the path of an env file for tools/arm64
#   setup/arm64.sh root      only the python3.14 root and its runner (tools/wheel); prints an env file
#   setup/arm64.sh stock     prints the path of a stock sid arm64 root for tests/stock/run
#                            (also needs CORE_FIPS_PYTHON_FT, our 3.13t)
# (setup/make-lock.sh writes the arm64 group of setup/sid.lock.)
# Environment: CORE_FIPS_CACHE, DEBIAN_MIRROR.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=setup/roots.sh
. "$HERE/roots.sh"
fail_loudly
TOOLCHAIN=$(cd "$HERE/.." && pwd)/cmake/aarch64-toolchain.cmake
ARM=$CACHE/arm64

# arm64_python_root TMP DEST: sid's arm64 python3.14 with the project's pure-Python packages; the
# interpreter moved aside for a qemu-user wrapper; checked where it lies, under qemu.
arm64_python_root() {
  local tmp=$1 dest=$2 log=$ARM/compileall.log
  python_root_unpack "$tmp" "$dest" arm64 aarch64-linux-gnu
  { [ -e "$tmp/usr/lib/ld-linux-aarch64.so.1" ] && [ -e "$tmp/usr/lib/aarch64-linux-gnu/libstdc++.so.6" ]; } ||
    fail "the arm64 loader or libstdc++ is missing from the unpacked packages" "regenerate the arm64 group with setup/make-lock.sh"
  [ -e "$tmp/lib" ] || ln -s usr/lib "$tmp/lib" # the loader's path, which base-files would make
  mv "$tmp/usr/bin/python3.14" "$tmp/usr/bin/python3.14-real"
  qemu_wrapper "$tmp/usr/bin/python3.14" "$dest" "$dest/usr/bin/python3.14-real"
  # Bytecode compiled natively, for the paths the emulated interpreter will see.
  { "$CORE_FIPS_PYTHON" -m compileall -q -j 2 -d "$dest/usr/lib/python3.14" "$tmp/usr/lib/python3.14" &&
    "$CORE_FIPS_PYTHON" -m compileall -q -j 2 -d "$dest/pydeps" "$tmp/pydeps"; } >"$log" 2>&1 ||
    fail "compiling the arm64 root's bytecode failed (see $log)" "fix the cause shown there, then rerun"
  python_root_check "$tmp" qemu-aarch64-static -cpu max,pauth=off -L "$tmp" "$tmp/usr/bin/python3.14-real"
}

# arm64_stock_root TMP DEST: python3.14, python3.13, pip, pytest and hypothesis as Debian ships
# them (exactly the packages of stock-sid-arm64 in setup/roots.lock), extracted by mmdebstrap (its extract variant runs no maintainer script, so it needs no arm64
# execution; nothing else, so no libstdc++). Two changes make it usable without binfmt: the /lib
# link that base-files would make (the loader's path), and python3.14 and python3.13 moved aside
# for qemu-user wrappers. Its bytecode is compiled ahead as a package's postinst would, natively:
# 3.14's by the host's 3.14, 3.13's by our 3.13t (the same bytecode: one magic number per minor
# version, checked below).
arm64_stock_root() {
  local tmp=$1 dest=$2 log v py
  roots_lock_mmdebstrap stock-sid-arm64 "$tmp" "$ARM/stock-sid.log"
  [ -e "$tmp/lib" ] || ln -s usr/lib "$tmp/lib"
  for v in $(arm64_stock_versions); do
    log=$ARM/stock-sid-compileall-$v.log
    case "$v" in
      3.14) py=$CORE_FIPS_PYTHON ;;
      3.13) py=$CORE_FIPS_PYTHON_FT ;;
      *) fail "no host interpreter of CPython $v to compile the arm64 root's bytecode with" "give arm64_stock_root one in setup/arm64.sh" ;;
    esac
    mv "$tmp/usr/bin/python$v" "$tmp/usr/bin/python$v-real"
    qemu_wrapper "$tmp/usr/bin/python$v" "$dest" "$dest/usr/bin/python$v-real"
    "$py" -m compileall -q -j 2 -s "$tmp" -p "$dest" "$tmp/usr/lib/python$v" "$tmp/usr/lib/python3/dist-packages" \
      >"$log" 2>&1 || fail "compiling the stock root's $v bytecode failed (see $log)" "fix the cause shown there, then rerun"
    [ "$(PYTHONDONTWRITEBYTECODE=1 qemu-aarch64-static -cpu max,pauth=off -L "$tmp" "$tmp/usr/bin/python$v-real" -c \
      'import importlib.util, pip, pytest, hypothesis; print(importlib.util.MAGIC_NUMBER.hex())')" = \
      "$("$py" -c 'import importlib.util; print(importlib.util.MAGIC_NUMBER.hex())')" ] ||
      fail "the stock root's python$v does not run under qemu-user, or its bytecode is not $py's" "see the error above"
  done
  (cd "$tmp" && find . -xdev -printf '%P\n' | sort) >"$tmp/.core-fips-manifest"
}

# arm64_stock_versions: the X.Y of each interpreter of the stock arm64 root (STOCK_LANES, setup/pins).
arm64_stock_versions() {
  tr , '\n' <<<"$STOCK_LANES" | awk -F/ '$1 == "stock-sid-arm64" { sub(/^python/, "", $2); print $2 }'
}

# ------------------------------------------------------------------ modes
# root: the python root and the runner of every other aarch64 program (C++ units, probes), CMake's
# cross-compiling emulator. Sets PYROOT and RUN.
arm64_root() {
  # Keyed also on the host interpreter that compiles the bytecode.
  PYROOT=$ARM/python3.14-$({ python_root_key arm64 arm64_python_root qemu_wrapper; "$CORE_FIPS_PYTHON" -VV; } | key_of -)
  [ -x "$PYROOT/usr/bin/python3.14-real" ] || say "unpacking sid's arm64 python3.14 into $PYROOT"
  cache_product "$PYROOT" usr/bin/python3.14-real arm64_python_root
  RUN=$ARM/run-$(echo "$PYROOT" | key_of -)
  if [ ! -x "$RUN" ]; then
    qemu_wrapper "$RUN.tmp.$$" "$PYROOT"
    mv "$RUN.tmp.$$" "$RUN"
  fi
}

arm64_all() {
  local cross awslc gtest
  arm64_root
  cross=$(aarch64-linux-gnu-gcc -dumpfullversion)
  awslc=$(awslc_dir "$ARM" "$cross" -- "$TOOLCHAIN")
  awslc_ensure "$awslc" awslc_is_aarch64 nice -n 10 -- --cc aarch64-linux-gnu-gcc --cxx aarch64-linux-gnu-g++ \
    --nm aarch64-linux-gnu-nm --readelf aarch64-linux-gnu-readelf --toolchain "$TOOLCHAIN" --python "$CORE_FIPS_PYTHON"
  # shellcheck disable=SC2016  # dpkg-query's own field syntax
  gtest=$ARM/gtest-$({ dpkg-query -W -f '${Version}' googletest; echo "$cross"; } | key_of - "$TOOLCHAIN")
  [ -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ] || say "cross-building GoogleTest for aarch64 into $gtest"
  cache_product "$gtest" lib/cmake/GTest/GTestConfig.cmake arm64_gtest
  write_env "$ARM/env.sh" "CORE_FIPS_ARM64_AWSLC=$awslc" "CORE_FIPS_ARM64_GTEST=$gtest" "CORE_FIPS_ARM64_TOOLCHAIN=$TOOLCHAIN"
}
arm64_gtest() { # TMP DEST
  { cmake -S /usr/src/googletest -B "$1.build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$1" &&
    nice -n 10 cmake --build "$1.build" && cmake --install "$1.build"; } >"$ARM/gtest.log" 2>&1 ||
    fail "the aarch64 GoogleTest build failed (see $ARM/gtest.log)" "fix the cause shown there, then rerun"
  rm -rf "$1.build"
}

arm64_stock() {
  local dest
  [ -n "${CORE_FIPS_PYTHON_FT:-}" ] || fail "CORE_FIPS_PYTHON_FT is not set" "run setup/arm64.sh stock through tests/stock/run, which sets up 3.13t first"
  dest=$ARM/stock-sid-$({ roots_lock_lines stock-sid-arm64; arm64_stock_versions; declare -f arm64_stock_root qemu_wrapper; "$CORE_FIPS_PYTHON_FT" -VV; } | key_of -)
  [ -f "$dest/.core-fips-manifest" ] || say "making the stock sid arm64 root with mmdebstrap (about 30 s)"
  cache_product "$dest" .core-fips-manifest arm64_stock_root
  echo "$dest"
}

# write_env FILE LINE...: the env file of the root and runner, plus LINEs, replaced whole.
write_env() {
  local file=$1
  shift
  printf '%s\n' "CORE_FIPS_ARM64_ROOT=$PYROOT" "CORE_FIPS_ARM64_PYTHON=$PYROOT/usr/bin/python3.14" \
    "CORE_FIPS_ARM64_RUN=$RUN" "$@" >"$file.tmp.$$"
  mv "$file.tmp.$$" "$file"
  echo "$file"
}

[ -n "${CORE_FIPS_PYTHON:-}" ] || fail "CORE_FIPS_PYTHON is not set" "run setup/arm64.sh through tools/arm64, which runs setup/deps.sh first"
mkdir -p "$ARM"
mode=${1:-all}
case "$mode" in
  all) ensure_host_packages host-apt-arm64.log qemu-user-static gcc-aarch64-linux-gnu g++-aarch64-linux-gnu googletest ;;
  root) ensure_host_packages host-apt-arm64.log qemu-user-static ;;
  stock) ensure_host_packages host-apt-roots.log mmdebstrap dpkg-dev qemu-user-static ;;
  *) fail "unknown mode: $mode" "usage: setup/arm64.sh [root|stock]" ;;
esac
exec 9>"$CACHE/.lock-arm64"
flock 9
case "$mode" in
  all) arm64_all ;;
  root)
    arm64_root
    write_env "$ARM/env-root.sh"
    ;;
  stock) arm64_stock ;;
esac
