# shellcheck shell=bash
# Shared by the tools. Sourced with ROOT set to the checkout; then CACHE names the cache folder,
# `setup_deps [COMPONENT...]` sets up the dependencies (fast when cached) with the optional
# components the tool needs (ft, dbg, fuzz, valgrind, lint: see setup/deps.sh) and exports the
# paths they have, and build_tree configures and builds.
# shellcheck source=setup/lib.sh
. "$ROOT/setup/lib.sh"
fail_loudly
cache_init
# shellcheck disable=SC2034  # for the tools that source this file
BUILD=${CORE_FIPS_BUILD:-$ROOT/build}

setup_deps() {
  local env_sh
  env_sh=$("$ROOT/setup/deps.sh" "$@") || exit 1  # deps.sh says what failed
  set -a  # tests and wheel builds started from the tools read these too
  # shellcheck source=/dev/null
  . "$env_sh"
  set +a
}

# build_tree DIR [cmake args...]: configure DIR when needed, then build it quietly (everything, or
# only $BUILD_TARGET when that is set), against CORE_FIPS_AWSLC: a lane's named source (which that
# library was built from) is kept from CMake, which refuses a source beside a built AWS-LC.
build_tree() {
  local dir=$1
  shift
  local want="$CORE_FIPS_PYTHON|$CORE_FIPS_AWSLC|$*"
  if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$dir/.configured-with" 2>/dev/null || true)" != "$want" ]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    env -u CORE_FIPS_AWSLC_SOURCE -u CORE_FIPS_AWSLC_ALLOW_MISSING cmake -S "$ROOT" -B "$dir" -G Ninja -DPython_EXECUTABLE="$CORE_FIPS_PYTHON" \
      -DCORE_FIPS_AWSLC="$CORE_FIPS_AWSLC" "$@" >"$dir/configure.log" 2>&1 ||
      { tail -40 "$dir/configure.log" >&2; fail "configure of $dir failed (full log: $dir/configure.log)" "fix the cause shown above, then rerun"; }
    echo "$want" >"$dir/.configured-with"
  fi
  env -u CORE_FIPS_AWSLC_SOURCE -u CORE_FIPS_AWSLC_ALLOW_MISSING cmake --build "$dir" ${BUILD_TARGET:+--target "$BUILD_TARGET"} >"$dir/build.log" 2>&1 ||
    { grep -v '^\[' "$dir/build.log" | head -60 >&2; fail "compile in $dir failed (full log: $dir/build.log)" "fix the errors shown above, then rerun"; }
}

# guide_block HEADING FILE: the first sh block under the line HEADING of docs/guide.md into FILE,
# as a reader copies it; it must hold a pip install.
guide_block() {
  awk -v h="$1" '$0 == h { s = 1 } s == 1 && /^```sh$/ { s = 2; next } s == 2 && /^```$/ { exit } s == 2' \
    "$ROOT/docs/guide.md" >"$2"
  grep -q 'pip install' "$2" || fail "no sh block with a pip install under \"$1\" in docs/guide.md" "restore the block there"
}

# fips_source_at_hand: whether AWS-LC-FIPS's source is named (CORE_FIPS_AWSLC_SOURCE) or the
# test input lies beside the checkout (../shared/awslc-fips: the tag's tree less 10 test files);
# when neither, one line says the lane is skipped (and is added to $CORE_FIPS_SKIPPED, when set, for
# tools/test's summary).
FIPS_INPUT=$ROOT/../shared/awslc-fips
FIPS_TOP=aws-lc-$FIPS_TAG # the one folder of the tag's zip and of the test input
fips_source_at_hand() {
  [ -n "${CORE_FIPS_AWSLC_SOURCE:-}" ] || [ -f "$FIPS_INPUT/$FIPS_TOP.tar.xz" ] || {
    echo "   AWS-LC-FIPS $FIPS_VERSION lane skipped: no CORE_FIPS_AWSLC_SOURCE and no $FIPS_INPUT/$FIPS_TOP.tar.xz"
    [ -z "${CORE_FIPS_SKIPPED:-}" ] || echo "AWS-LC-FIPS $FIPS_VERSION lane of ${0##*/} (no CORE_FIPS_AWSLC_SOURCE, no $FIPS_INPUT/$FIPS_TOP.tar.xz)" >>"$CORE_FIPS_SKIPPED"
    return 1
  }
}
# fips_source (a plain statement, after fips_source_at_hand): without CORE_FIPS_AWSLC_SOURCE, the
# test input unpacked once into the cache (keyed by the archive's bytes) and exported as
# CORE_FIPS_AWSLC_SOURCE, with its missing.txt as CORE_FIPS_AWSLC_ALLOW_MISSING, the explicit opt-in.
fips_source() {
  local tarball=$FIPS_INPUT/$FIPS_TOP.tar.xz tree
  [ -z "${CORE_FIPS_AWSLC_SOURCE:-}" ] || return 0
  tree=$CACHE/awslc-fips-$FIPS_VERSION-input-$(key_of "$tarball")
  cache_product "$tree" "$FIPS_TOP/CMakeLists.txt" fips_input_tree "$tarball"
  export CORE_FIPS_AWSLC_SOURCE=$tree CORE_FIPS_AWSLC_ALLOW_MISSING=$FIPS_INPUT/missing.txt
}
fips_input_tree() { # TMP DEST TARBALL
  tar -C "$1" -xJf "$3"
  [ -d "$1/$FIPS_TOP" ] || fail "no $FIPS_TOP/ in $3"
}
