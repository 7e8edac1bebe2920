# shellcheck shell=bash
# setup/lib.sh's keyed AWS-LC build, and what it needs: the source, go, pyelftools.

# The library every build links; its symbols carry the prefix, so that it lives beside OpenSSL.
# Debian's AWS-LC by default; AWS-LC-FIPS when CORE_FIPS_AWSLC_SOURCE names its zip or
# tree (awslc_source_ready verifies it first).
if [ -n "${CORE_FIPS_AWSLC_SOURCE:-}" ]; then
  AWSLC_VERSION=$FIPS_VERSION AWSLC_NAME=awslc-fips-$FIPS_VERSION AWSLC_LIBRARY=$FIPS_LIBRARY
  AWSLC_SYMBOL_PREFIX=$FIPS_PREFIX
else
  AWSLC_VERSION=$DEBIAN_AWSLC_VERSION AWSLC_NAME=awslc-$DEBIAN_AWSLC_VERSION-fips AWSLC_LIBRARY=$DEBIAN_AWSLC_LIBRARY
  AWSLC_SYMBOL_PREFIX=$DEBIAN_AWSLC_PREFIX
fi

# Where a build root sees AWSLC_SOURCE, when it binds it elsewhere (tools/wheel); set by the tool.
AWSLC_SOURCE_IN_ROOT=

# pyelftools_ready: exports CORE_FIPS_PYELFTOOLS, the folder from which both ELF readers
# (setup/inject_hash.py, tools/check-wheel) import pyelftools: sid's, pinned beside auditwheel.
pyelftools_ready() {
  [ -z "${CORE_FIPS_PYELFTOOLS:-}" ] || return 0
  CORE_FIPS_PYELFTOOLS=$("$SETUP_DIR/auditwheel.sh") || exit_failed
  export CORE_FIPS_PYELFTOOLS
}

# The verifier (setup/awslc_source.py), isolated: no PYTHONPATH, no user site takes part.
AWSLC_VERIFIER=(/usr/bin/python3 -I "$SETUP_DIR/awslc_source.py")

# awslc_source_ready: with CORE_FIPS_AWSLC_SOURCE set, verifies it (setup/awslc_source.py, with
# CORE_FIPS_AWSLC_ALLOW_MISSING as its --allow-missing list) on every call into a folder made for
# it, and sets AWSLC_SOURCE to the copy kept in the cache under the key of the bytes just verified
# (a kept copy is checked against that key first, and replaced if it differs), AWSLC_SOURCE_KEY to
# that key as computed again from the kept copy's bytes (what keys its builds) and AWSLC_GO to a
# go command that runs in any root; otherwise AWSLC_SOURCE is Debian's pinned source package. One
# line names a refused file.
awslc_source_ready() {
  local tmp key allow=()
  if [ -z "${CORE_FIPS_AWSLC_SOURCE:-}" ]; then
    fetch_debs awslc # checked against its pin again: the cache hands it out
    AWSLC_SOURCE=${FETCHED[0]} AWSLC_SOURCE_KEY=
    return 0
  fi
  [ -e "$CORE_FIPS_AWSLC_SOURCE" ] || fail "CORE_FIPS_AWSLC_SOURCE names nothing: $CORE_FIPS_AWSLC_SOURCE" "give the $FIPS_TAG zip or its unpacked tree"
  [ -z "${CORE_FIPS_AWSLC_ALLOW_MISSING:-}" ] || allow=(--allow-missing "$CORE_FIPS_AWSLC_ALLOW_MISSING")
  tmp=$(mktemp -d "$CACHE/awslc-source.tmp.XXXXXX")
  "${AWSLC_VERIFIER[@]}" verify "$CORE_FIPS_AWSLC_SOURCE" "$tmp/v" "${allow[@]}" >"$tmp.log" 2>&1 ||
    { rm -rf "$tmp"; fail "$(tail -1 "$tmp.log")" "use the zip the Security Policy names, or an unaltered tree of the tag"; }
  rm -f "$tmp.log"
  # The key of the bytes just verified, in a folder of this run's own.
  key=$(cat "$tmp/v/source.key")
  AWSLC_SOURCE=$CACHE/awslc-fips-$FIPS_VERSION-source-${key:0:16}
  if [ -e "$AWSLC_SOURCE" ] || [ -L "$AWSLC_SOURCE" ]; then
    if ! "${AWSLC_VERIFIER[@]}" check "$AWSLC_SOURCE" "$key" >/dev/null 2>"$tmp.log"; then
      say "replacing the kept copy $AWSLC_SOURCE: $(tail -1 "$tmp.log")"
      mv -T "$AWSLC_SOURCE" "$tmp/stale"
    fi
  fi
  rm -f "$tmp.log"
  # A concurrent run may have put its copy, of the same key, there first.
  [ -e "$AWSLC_SOURCE" ] || mv -T "$tmp/v" "$AWSLC_SOURCE" 2>/dev/null || [ -f "$AWSLC_SOURCE/source.key" ] ||
    fail "cannot keep the verified copy at $AWSLC_SOURCE" "check the cache's permissions"
  rm -rf "$tmp"
  # What is built is the kept copy: its key comes from its bytes, whoever put it there.
  AWSLC_SOURCE_KEY=$("${AWSLC_VERIFIER[@]}" check "$AWSLC_SOURCE" "$key" 2>&1) ||
    fail "the kept copy $AWSLC_SOURCE changed while it was kept: ${AWSLC_SOURCE_KEY##*$'\n'}" "delete it and rerun"
  say "$(cat "$AWSLC_SOURCE/source.txt")"
  AWSLC_GO=$(go_static)
}

# go_static: prints the path of a go command built from Debian's golang-go without cgo, so that
# it runs in the bullseye roots too (Debian's own links glibc 2.34); GOROOT stays Debian's.
go_static() {
  local dest
  ensure_host_packages host-apt-go.log golang-go
  dest=$CACHE/go-static-$(dpkg-query -W -f='${Version}' golang-1.19-go | key_of -)
  cache_product "$dest" bin/go go_static_build
  echo "$dest/bin/go"
}
go_static_build() { # TMP DEST
  say "building a static go command from Debian's golang-go (a minute)"
  GOCACHE=$1/cache GOTOOLCHAIN=local CGO_ENABLED=0 /usr/lib/go-1.19/bin/go build -trimpath -o "$1/bin/go" cmd/go
  rm -rf "$1/cache"
  GOROOT=/usr/lib/go-1.19 "$1/bin/go" version >/dev/null
}

# awslc_dir PARENT [LINE...] [-- FILE...]: the cache folder of an AWS-LC build,
# PARENT/AWSLC_NAME-KEY, KEY covering the source (the pinned package, or the verified copy's key
# as awslc_source_ready computed it from its bytes and record), the symbol prefix, the go command
# that runs AWS-LC-FIPS's Go programs (its path and SHA-256: it writes headers and the integrity
# value), the build scripts and the caller's further inputs: LINEs of text (a cross compiler's
# version, the root it builds in) and FILEs (a toolchain file). Call awslc_source_ready first.
awslc_dir() {
  local parent=$1 lines=() files=() key go=()
  shift
  [ -z "${CORE_FIPS_AWSLC_SOURCE:-}" ] || { [ -n "${AWSLC_SOURCE_KEY:-}" ] && [ -x "${AWSLC_GO:-}" ]; } ||
    fail "awslc_dir was called before awslc_source_ready" "call awslc_source_ready first"
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    lines+=("$1")
    shift
  done
  [ $# = 0 ] || files=("${@:2}")
  [ -z "${CORE_FIPS_AWSLC_SOURCE:-}" ] || go=("go $(realpath -e "$AWSLC_GO") $(sha256sum <"$AWSLC_GO" | cut -d' ' -f1)")
  key=$({ grep -E '^awslc ' "$SETUP_DIR/sid.lock"; [ ${#lines[@]} = 0 ] || printf '%s\n' "${lines[@]}";
          printf 'source %s\nprefix %s\n' "${AWSLC_SOURCE_KEY:-}" "$AWSLC_SYMBOL_PREFIX"
          [ ${#go[@]} = 0 ] || printf '%s\n' "${go[@]}"; } |
    key_of - "$SETUP_DIR/build-awslc.sh" "$SETUP_DIR/inject_hash.py" "$SETUP_DIR/go-shim" "$SETUP_DIR/awslc_source.py" "${files[@]}")
  echo "$parent/$AWSLC_NAME-$key"
}

# awslc_ensure DEST CHECK [RUNNER...] [-- OPTION...]: AWS-LC built FIPS=1 by setup/build-awslc.sh
# into DEST, unless it is there (and still what was built there: its library, record, headers and
# every other file are those its manifest lists); RUNNER is what runs the build (nice,
# setup/roots.sh run ...), OPTIONs are build-awslc.sh's (--cc, --python, ...; --go, --pyelftools
# and --logs, DEST.logs, are added here), and CHECK PREFIX (a function) proves the new library
# before it is kept.
awslc_ensure() {
  local dest=$1 out
  shift
  if [ -f "$dest/lib/$AWSLC_LIBRARY" ]; then
    out=$("${AWSLC_VERIFIER[@]}" check-prefix "$dest" 2>&1) ||
      fail "the kept AWS-LC $dest is not what was built there: ${out#awslc_source.py: refused: }" "delete $dest and rerun"
    return 0
  fi
  say "building AWS-LC $AWSLC_VERSION (FIPS) into $dest: a minute or two"
  cache_product "$dest" "lib/$AWSLC_LIBRARY" awslc_build "$@"
}
awslc_build() { # TMP DEST CHECK RUNNER... [-- OPTION...]
  local tmp=$1 dest=$2 check=$3 runner=() opts=()
  shift 3
  while [ $# -gt 0 ] && [ "$1" != -- ]; do runner+=("$1") && shift; done
  [ $# = 0 ] || opts=("${@:2}")
  [ -n "${AWSLC_SOURCE:-}" ] || awslc_source_ready
  pyelftools_ready # the host's; a build root finds its own first
  [ -z "${CORE_FIPS_AWSLC_SOURCE:-}" ] || opts+=(--go "$AWSLC_GO")
  mkdir "$tmp.work"
  "${runner[@]}" bash -p "$SETUP_DIR/build-awslc.sh" --pyelftools "$CORE_FIPS_PYELFTOOLS" --logs "$dest.logs" "${opts[@]}" \
    "${AWSLC_SOURCE_IN_ROOT:-$AWSLC_SOURCE}" "$tmp.work" "$dest" "$AWSLC_SYMBOL_PREFIX" "$AWSLC_VERSION"
  rmdir "$tmp"
  mv "$tmp.work/prefix" "$tmp"
  rm -rf "$tmp.work"
  "$check" "$tmp"
}

# awslc_loads PREFIX [PYTHON...]: the library's power-on self-tests and integrity check pass when
# PYTHON (default: the host's python3) loads it, and it reports FIPS mode.
awslc_loads() {
  local lib=$1/lib/$AWSLC_LIBRARY py=("${@:2}")
  [ ${#py[@]} != 0 ] || py=(/usr/bin/python3)
  "${py[@]}" -c 'import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])  # runs the power-on self-tests and the integrity check
version = getattr(lib, sys.argv[2] + "_awslc_version_string")
version.restype = ctypes.c_char_p
want = "AWS-LC FIPS " + sys.argv[3]
sys.exit(f"FIPS_mode() is not 1" if getattr(lib, sys.argv[2] + "_FIPS_mode")() != 1 else
         None if version().decode() == want else f"the version text is {version()!r}, not {want!r}")' \
    "$lib" "$AWSLC_SYMBOL_PREFIX" "$AWSLC_VERSION" ||
    fail "the new AWS-LC library fails its FIPS self-test when loaded, or is not AWS-LC FIPS $AWSLC_VERSION" "see the error above"
}
# awslc_is_aarch64 PREFIX: the cross build made an AArch64 library.
awslc_is_aarch64() {
  [[ "$(readelf -h "$1/lib/$AWSLC_LIBRARY")" == *AArch64* ]] ||
    fail "the cross-built AWS-LC is not an AArch64 library" "check cmake/aarch64-toolchain.cmake"
}
