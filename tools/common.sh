# Shared by the tools: sets up the dependencies (fast when cached), configures and builds.
# Sourced with ROOT set to the checkout.
set -euo pipefail
CORE_FIPS_ENV=$("$ROOT/setup/deps.sh")
set -a  # tests and wheel builds started from the tools read these too
. "$CORE_FIPS_ENV"
set +a
BUILD=${CORE_FIPS_BUILD:-$ROOT/build}

# build_tree DIR [cmake args...]: configure DIR when needed, then build it quietly (everything, or
# only $BUILD_TARGET when that is set).
build_tree() {
  local dir=$1
  shift
  local want="$CORE_FIPS_PYTHON|$CORE_FIPS_AWSLC|$*"
  if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$dir/.configured-with" 2>/dev/null)" != "$want" ]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    cmake -S "$ROOT" -B "$dir" -G Ninja -DPython_EXECUTABLE="$CORE_FIPS_PYTHON" \
      -DCORE_FIPS_AWSLC="$CORE_FIPS_AWSLC" "$@" >"$dir/configure.log" 2>&1 ||
      { cat "$dir/configure.log" >&2; echo "build: configure failed" >&2; exit 1; }
    echo "$want" >"$dir/.configured-with"
  fi
  cmake --build "$dir" ${BUILD_TARGET:+--target "$BUILD_TARGET"} >"$dir/build.log" 2>&1 ||
    { grep -v '^\[' "$dir/build.log" | head -60 >&2; echo "build: compile failed (full log: $dir/build.log)" >&2; exit 1; }
}
