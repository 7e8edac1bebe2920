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
# only $BUILD_TARGET when that is set).
build_tree() {
  local dir=$1
  shift
  local want="$CORE_FIPS_PYTHON|$CORE_FIPS_AWSLC|$*"
  if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$dir/.configured-with" 2>/dev/null || true)" != "$want" ]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    cmake -S "$ROOT" -B "$dir" -G Ninja -DPython_EXECUTABLE="$CORE_FIPS_PYTHON" \
      -DCORE_FIPS_AWSLC="$CORE_FIPS_AWSLC" "$@" >"$dir/configure.log" 2>&1 ||
      { tail -40 "$dir/configure.log" >&2; fail "configure of $dir failed (full log: $dir/configure.log)" "fix the cause shown above, then rerun"; }
    echo "$want" >"$dir/.configured-with"
  fi
  cmake --build "$dir" ${BUILD_TARGET:+--target "$BUILD_TARGET"} >"$dir/build.log" 2>&1 ||
    { grep -v '^\[' "$dir/build.log" | head -60 >&2; fail "compile in $dir failed (full log: $dir/build.log)" "fix the errors shown above, then rerun"; }
}
