# shellcheck shell=bash
# Shared by the setup scripts and the tools: progress and error lines, a last-resort report for a
# command that fails where no handler expected it, host packages from the system's own (bookworm)
# archive, and the cache: its folder, keys, products built aside and renamed when checked, pinned
# downloads, the python roots, qemu and chroot wrappers, and the keyed AWS-LC build. Sourced.
SETUP_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=setup/apt-sid.sh
. "$SETUP_DIR/apt-sid.sh"
# The library every build links; its symbols carry the prefix, so that it lives beside OpenSSL.
# Debian's AWS-LC 5.1.0 by default; AWS-LC-FIPS 3.1.0 when CORE_FIPS_AWSLC_SOURCE names its zip or
# tree (awslc_source_ready verifies it first).
if [ -n "${CORE_FIPS_AWSLC_SOURCE:-}" ]; then
  AWSLC_VERSION=3.1.0 AWSLC_NAME=awslc-fips-3.1.0 AWSLC_LIBRARY=libcrypto.so
  AWSLC_SYMBOL_PREFIX=core_fips_awslc_fips_3_1_0
else
  AWSLC_VERSION=5.1.0 AWSLC_NAME=awslc-5.1.0-fips AWSLC_LIBRARY=libcrypto-awslc.so.0
  AWSLC_SYMBOL_PREFIX=core_fips_awslc_5_1_0
fi

say() { printf '[setup %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# fail WHAT [HOW]: the one error line (what failed, then how to fix it or where the log is), named
# after the script that runs (setup/deps.sh, tools/test, ...), and exit 1. error_line prints the same
# line for a failure that lets the run go on to its summary. Inside a subshell fail exits with
# FAIL_SAID, so that the failure it has reported is not reported again by the shell around it.
FAIL_SAID=97
error_line() {
  local who=$0
  case "$who" in */*) who=${who%/*} && who=${who##*/}/${0##*/} ;; esac
  printf '%s: ERROR: %s%s%s\n' "$who" "$1" "${FAIL_WHILE:+, while $FAIL_WHILE}" "${2:+ — $2}" >&2
}
fail() {
  error_line "$@"
  exit_failed
}
exit_failed() {
  [ "$BASH_SUBSHELL" = 0 ] && exit 1
  exit "$FAIL_SAID"
}

# fail_loudly: set -e in functions and command substitutions too, and one line for the first command
# that fails without a handler of its own, however deep in subshells it ran.
fail_loudly() {
  set -eEuo pipefail
  shopt -s inherit_errexit
  trap 'unhandled_failure $? "$LINENO" "${BASH_SOURCE[0]:-$0}" "$BASH_COMMAND"' ERR
}
unhandled_failure() {
  [[ $- == *e* ]] || return 0 # a region that checks statuses itself (set +e)
  [ "$1" != "$FAIL_SAID" ] || exit_failed
  fail "\`$4\` failed with exit $1 (${3##*/} line $2)" "rerun as bash -x $0 to trace it"
}

# ensure_host_packages LOG-NAME PKG...: installs the packages that are missing, only those.
ensure_host_packages() {
  local log=$CACHE/$1 p missing=()
  shift
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" = 0 ] || fail "missing host packages: ${missing[*]}" "install them with apt-get (as root), then rerun"
  say "installing host packages from the system's archive: ${missing[*]}"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
    >"$log" 2>&1 || fail "apt-get install ${missing[*]} failed (see $log)" "check the system's apt sources and network"
}

# ------------------------------------------------------------------ the cache
# cache_init: CACHE, the absolute path of the cache folder (CORE_FIPS_CACHE, default
# ~/.cache/core-fips), created when missing.
cache_init() {
  CACHE=${CORE_FIPS_CACHE:-$HOME/.cache/core-fips}
  mkdir -p "$CACHE" || fail "cannot create the cache folder $CACHE" "set CORE_FIPS_CACHE to a writable folder"
  CACHE=$(cd "$CACHE" && pwd)
}

# core_python WHY: prints the project's CPython 3.14: CORE_FIPS_PYTHON, or the one setup/deps.sh
# named in the cache's env.sh.
core_python() {
  local py=${CORE_FIPS_PYTHON:-}
  if [ -z "$py" ] && [ -f "$CACHE/env.sh" ]; then
    # shellcheck source=/dev/null  # written by setup/deps.sh at run time
    py=$(. "$CACHE/env.sh" && echo "${CORE_FIPS_PYTHON:-}")
  fi
  { [ -n "$py" ] && [ -x "$py" ]; } || fail "no CPython 3.14 $1" "run setup/deps.sh first, or set CORE_FIPS_PYTHON"
  echo "$py"
}

# key_of FILE...: the key of a product's inputs (- for stdin): a bump of any of them rebuilds.
key_of() { cat "$@" | sha256sum | cut -c1-12; }

# cache_product DEST MARK BUILDER [ARG...]: makes DEST unless DEST/MARK exists: under a lock of its
# own, BUILDER TMP DEST ARG... fills the empty folder TMP and checks what it made there; only then
# is TMP renamed to DEST. BUILDER runs as a job with set -e on, and its first failing step ends it
# with one line naming the step; nothing of it is kept. Its output goes to stderr. bash ignores
# set -e under `||`, `&&`, `!` and `if`, in the job too: called there, cache_product refuses to run.
cache_product() {
  local dest=$1 mark=$2 builder=$3 lock tmp job status=0 probe
  shift 3
  [ ! -e "$dest/$mark" ] || return 0
  # Whether set -e holds here: the probe's `false` ends its subshell only then.
  probe=$(trap - ERR; set +e; (trap - ERR; set -e; false; echo ignored); :)
  [ -z "$probe" ] || fail "$builder was called where bash ignores set -e (under ||, &&, ! or if)" "call the function that makes ${dest##*/} as a plain statement"
  mkdir -p "${dest%/*}"
  exec {lock}>"${dest%/*}/.lock-${dest##*/}"
  flock "$lock"
  if [ ! -e "$dest/$mark" ]; then # another run may have made it meanwhile
    tmp=$dest.tmp.$$
    rm -rf --one-file-system "$dest".tmp.* # what a killed run left
    mkdir "$tmp"
    (
      fail_loudly
      FAIL_WHILE="making ${dest##*/} (nothing of it is kept)"
      "$builder" "$tmp" "$dest" "$@"
      [ -e "$tmp/$mark" ] || fail "$builder left no $mark"
    ) >&2 &
    job=$!
    # Stopped from outside (setup/deps.sh stops its AWS-LC job when another step fails): no leftovers.
    trap 'kill -TERM "$job" 2>/dev/null || true; wait "$job" || true; rm -rf --one-file-system "$tmp" "$tmp".*; exit 143' TERM INT
    wait "$job" || status=$?
    trap - TERM INT
    if [ $status != 0 ]; then
      rm -rf --one-file-system "$tmp" "$tmp".*
      [ "$status" = "$FAIL_SAID" ] || error_line "making ${dest##*/} stopped (exit $status); nothing of it is kept"
      exit_failed
    fi
    mv -T "$tmp" "$dest"
  fi
  exec {lock}>&-
}

# fetch_debs GROUP...: FETCHED lists the locked debs of the groups of setup/sid.lock (FETCHED_GROUP
# the group of each), in $CACHE/debs, each checked against its pinned SHA-256 on every call. Those absent or different are
# downloaded from Debian unstable, by one apt-get per architecture (arm64 ones through the private
# arm64 apt state): each apt-get reads unstable's whole index before it starts.
fetch_debs() {
  local g p v sum path f arch part want=" $* " missing=() line
  FETCHED=() FETCHED_GROUP=()
  for g in "$@"; do
    grep -q "^$g " "$SETUP_DIR/sid.lock" || fail "setup/sid.lock has no package in group $g" "run setup/make-lock.sh"
  done
  mkdir -p "$CACHE/debs"
  while read -r g p v sum path; do
    [[ "$want" == *" $g "* ]] || continue
    f=$CACHE/debs/${path##*/}
    if [ ! -f "$f" ] || [ "$(sha256sum <"$f")" != "$sum  -" ]; then missing+=("$p $v $sum $path"); fi
    FETCHED+=("$f") FETCHED_GROUP+=("$g")
  done <"$SETUP_DIR/sid.lock"
  [ ${#missing[@]} != 0 ] || return 0
  for arch in host arm64; do
    part=$(mktemp -d "$CACHE/debs/partial.XXXXXX")
    for line in "${missing[@]}"; do
      read -r p v sum path <<<"$line"
      if [ "$arch" = "$([[ "$path" == *_arm64.deb ]] && echo arm64 || echo host)" ]; then echo "$p=$v"; fi
    done >"$part/want"
    if [ -s "$part/want" ]; then
      sid_apt_update "$arch"
      say "downloading $(wc -l <"$part/want") packages ($arch) from Debian unstable"
      # shellcheck disable=SC2046  # one word a package
      (cd "$part" && apt-get "${SID_APT_OPTS[@]}" -qq download $(cat want)) >>"$CACHE/debs/download.log" 2>&1 ||
        fail "download of $(wc -l <"$part/want") packages ($arch) from Debian unstable failed (see $CACHE/debs/download.log)" "check network access to the Debian archive; if a version left the archive, run setup/make-lock.sh"
      for line in "${missing[@]}"; do
        read -r p v sum path <<<"$line"
        grep -qxF "$p=$v" "$part/want" || continue
        f=$CACHE/debs/${path##*/}
        # apt names the file with the epoch escaped; keep the pool's name.
        mv "$part/${p}_"*.deb "$f.tmp.$$" 2>/dev/null || fail "the download of $p $v produced no file" "run setup/make-lock.sh to refresh the pins"
        [ "$(sha256sum <"$f.tmp.$$")" = "$sum  -" ] ||
          { rm -f "$f.tmp.$$"; fail "checksum mismatch for ${f##*/}" "the archive served other bytes than pinned in setup/sid.lock; rerun, or refresh the lock deliberately"; }
        mv "$f.tmp.$$" "$f"
      done
    fi
    rm -rf "$part"
  done
}

# ------------------------------------------------------------------ python roots
# python_root_unpack TMP DEST GROUP TRIPLET: the locked debs of GROUP unpacked into TMP (to be
# renamed DEST), and the pure-Python packages (group pydeps) into TMP/pydeps, put on the
# interpreter's path by a .pth that names their final place. Debian's pyconfig.h is a shim that
# includes a multiarch path (TRIPLET) which compilers outside Debian's layout do not search: the
# real one replaces it. Debian's setuptools reads two attributes that Debian's own stdlib hook adds:
# setup/distutils_system_mod.py stands in for it.
python_root_unpack() {
  local tmp=$1 dest=$2 group=$3 triplet=$4 i inc site
  fetch_debs "$group" pydeps
  mkdir -p "$tmp/pydeps"
  for i in "${!FETCHED[@]}"; do
    dpkg-deb -x "${FETCHED[i]}" "$tmp/$([ "${FETCHED_GROUP[i]}" != pydeps ] || echo pydeps)"
  done
  for inc in "$tmp/usr/include/$triplet"/python3.14*; do
    cp -f "$inc/pyconfig.h" "$tmp/usr/include/${inc##*/}/pyconfig.h"
  done
  cp "$SETUP_DIR/distutils_system_mod.py" "$tmp/pydeps/usr/lib/python3/dist-packages/_distutils_system_mod.py"
  site=$tmp/usr/local/lib/python3.14/dist-packages
  mkdir -p "$site"
  echo "import site; site.addsitedir('$dest/pydeps/usr/lib/python3/dist-packages')" >"$site/zz-core-fips-pydeps.pth"
}

# python_root_check TMP RUNNER...: the unpacked interpreter, run where it lies by RUNNER (its own
# loader, or qemu), imports what the project needs from the stdlib and from TMP/pydeps.
python_root_check() {
  local tmp=$1
  shift
  env -u PYTHONHOME PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$tmp/pydeps/usr/lib/python3/dist-packages" "$@" -c '
import ctypes, platform, ssl, sys, pytest, hypothesis
assert sys.version_info[:2] == (3, 14), sys.version
print(f"{platform.machine()} python {sys.version.split()[0]}, ssl, ctypes, pytest and hypothesis import")' >&2 ||
    fail "the unpacked interpreter does not run or lacks a module" "the error is above; run setup/make-lock.sh if a package is missing"
}

# python_root_key GROUP BUILDER...: the key of a python root: its locked packages, the stand-in
# module, and the text of the functions that make it.
python_root_key() {
  local group=$1
  shift
  { grep -E "^($group|pydeps) " "$SETUP_DIR/sid.lock"; declare -f python_root_unpack "$@"; } |
    key_of - "$SETUP_DIR/distutils_system_mod.py"
}

# ------------------------------------------------------------------ wrappers
# qemu_wrapper FILE ROOT [PROGRAM]: FILE runs aarch64 programs under qemu-user with ROOT's loader
# and libraries first (-L); or, given PROGRAM, is that program, with argv[0] FILE (or a venv's link
# to it) so that sys.executable starts children the same way. The CPU is the caller's choice
# (CORE_FIPS_QEMU_CPU; by default "max" with pointer authentication off, which qemu emulates in
# software, several times slower); further qemu options in CORE_FIPS_QEMU_OPTS.
qemu_wrapper() {
  local run=
  [ -z "${3:-}" ] || run="-0 \"\$0\" $3"
  cat >"$1" <<SH
#!/bin/sh
# ${3:-Any aarch64 program} under qemu-user, the libraries of $2 first (setup/lib.sh, qemu_wrapper).
exec qemu-aarch64-static -cpu "\${CORE_FIPS_QEMU_CPU:-max,pauth=off}" -L $2 \${CORE_FIPS_QEMU_OPTS:-} $run "\$@"
SH
  chmod +x "$1"
}

# chroot_wrappers DIR VIEW PREFIX TOOL...: DIR/PREFIX-TOOL runs the root's /usr/bin/PREFIX-TOOL
# chrooted into the root mounted at VIEW, in the caller's folder (the same path inside the root).
chroot_wrappers() {
  local dir=$1 view=$2 prefix=$3 tool
  shift 3
  mkdir -p "$dir"
  for tool in "$@"; do
    cat >"$dir/$prefix$tool" <<SH
#!/bin/sh
# $prefix$tool of the root mounted at $view, run there in the caller's folder.
exec /usr/sbin/chroot $view /usr/bin/env -i PATH=/usr/bin:/bin LANG=C.UTF-8 /bin/sh -c 'cd "\$0" && exec "\$@"' "\$PWD" /usr/bin/$prefix$tool "\$@"
SH
    chmod +x "$dir/$prefix$tool"
  done
}

# pyelftools_ready: exports CORE_FIPS_PYELFTOOLS, the folder from which both ELF readers
# (setup/inject_hash.py, tools/check-wheel) import pyelftools: sid's, pinned beside auditwheel.
pyelftools_ready() {
  [ -z "${CORE_FIPS_PYELFTOOLS:-}" ] || return 0
  CORE_FIPS_PYELFTOOLS=$("$SETUP_DIR/auditwheel.sh") || exit_failed
  export CORE_FIPS_PYELFTOOLS
}

# ------------------------------------------------------------------ AWS-LC
# awslc_source_ready: with CORE_FIPS_AWSLC_SOURCE set, verifies it (setup/awslc_source.py, with
# CORE_FIPS_AWSLC_ALLOW_MISSING as its --allow-missing list) on every call, keeps the verified copy
# in the cache, and sets AWSLC_SOURCE to it and AWSLC_GO to a go command that runs in any root;
# otherwise AWSLC_SOURCE is Debian's pinned source package. One line names a refused file.
awslc_source_ready() {
  local tmp key allow=()
  if [ -z "${CORE_FIPS_AWSLC_SOURCE:-}" ]; then
    fetch_debs awslc # checked against its pin again: the cache hands it out
    AWSLC_SOURCE=${FETCHED[0]}
    return 0
  fi
  [ -e "$CORE_FIPS_AWSLC_SOURCE" ] || fail "CORE_FIPS_AWSLC_SOURCE names nothing: $CORE_FIPS_AWSLC_SOURCE" "give the AWS-LC-FIPS-3.1.0 zip or its unpacked tree"
  [ -z "${CORE_FIPS_AWSLC_ALLOW_MISSING:-}" ] || allow=(--allow-missing "$CORE_FIPS_AWSLC_ALLOW_MISSING")
  tmp=$(mktemp -d "$CACHE/awslc-source.tmp.XXXXXX")
  /usr/bin/python3 "$SETUP_DIR/awslc_source.py" verify "$CORE_FIPS_AWSLC_SOURCE" "$tmp" "${allow[@]}" >"$tmp.log" 2>&1 ||
    { rm -rf "$tmp"; fail "$(tail -1 "$tmp.log")" "use the zip the Security Policy names, or an unaltered tree of the tag"; }
  rm -f "$tmp.log"
  key=$(key_of "$tmp/source.txt" "$SETUP_DIR/awslc-fips-3.1.0-listing.txt")
  AWSLC_SOURCE=$CACHE/awslc-fips-3.1.0-source-$key
  if [ -e "$AWSLC_SOURCE/source.txt" ]; then rm -rf "$tmp"; else rm -rf "$AWSLC_SOURCE" && mv -T "$tmp" "$AWSLC_SOURCE"; fi
  say "$(cat "$AWSLC_SOURCE/source.txt")"
  AWSLC_GO=$(go_static)
  export AWSLC_GO # read by setup/build-awslc.sh
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
# PARENT/AWSLC_NAME-KEY, KEY covering the source (the pinned package, or the verified tree's
# record), the build scripts and the caller's further inputs: LINEs of text (a cross compiler's
# version, the root it builds in) and FILEs (a toolchain file). Call awslc_source_ready first.
awslc_dir() {
  local parent=$1 lines=() files=() key
  shift
  [ -z "${CORE_FIPS_AWSLC_SOURCE:-}" ] || [ -n "${AWSLC_SOURCE:-}" ] ||
    fail "awslc_dir was called before awslc_source_ready" "call awslc_source_ready first"
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    lines+=("$1")
    shift
  done
  [ $# = 0 ] || files=("${@:2}")
  key=$({ grep -E '^awslc ' "$SETUP_DIR/sid.lock"; [ ${#lines[@]} = 0 ] || printf '%s\n' "${lines[@]}";
          [ ! -d "${AWSLC_SOURCE:-}" ] || cat "$AWSLC_SOURCE/source.txt"; } |
    key_of - "$SETUP_DIR/build-awslc.sh" "$SETUP_DIR/inject_hash.py" "$SETUP_DIR/go-shim" "${files[@]}")
  echo "$parent/$AWSLC_NAME-$key"
}

# awslc_ensure DEST CHECK [RUNNER...]: AWS-LC built FIPS=1 by setup/build-awslc.sh into DEST,
# unless it is there; RUNNER is what runs the build (env settings, nice, setup/roots.sh run ...),
# and CHECK PREFIX (a function) proves the new library before it is kept.
awslc_ensure() {
  local dest=$1
  shift
  [ -f "$dest/lib/$AWSLC_LIBRARY" ] && return 0
  say "building AWS-LC $AWSLC_VERSION (FIPS) into $dest: a minute or two"
  cache_product "$dest" "lib/$AWSLC_LIBRARY" awslc_build "$@"
}
awslc_build() { # TMP DEST CHECK RUNNER...
  local tmp=$1 dest=$2 check=$3 runner=("${@:4}")
  [ -n "${AWSLC_SOURCE:-}" ] || awslc_source_ready
  pyelftools_ready # for the runners that keep the environment; the build roots have their own
  mkdir "$tmp.work"
  "${runner[@]}" bash "$SETUP_DIR/build-awslc.sh" "$AWSLC_SOURCE" "$tmp.work" "$dest" "$AWSLC_SYMBOL_PREFIX" "$AWSLC_VERSION"
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

# stable_abi_toml DIR: prints DIR/stable_abi.toml, CPython's list of the stable ABI and the version
# each item joined it (Misc/stable_abi.toml of the pinned source setup/python-ft.sh builds 3.13t
# from), extracted once.
stable_abi_toml() {
  local toml=$1/stable_abi.toml pin ver sum pool tarball
  if [ ! -s "$toml" ]; then
    pin=$(grep -E '^ft-source ' "$SETUP_DIR/python-ft.lock") ||
      fail "no ft-source pin in setup/python-ft.lock" "run setup/python-ft.sh --lock"
    read -r _ _ ver sum pool <<<"$pin"
    # shellcheck source=/dev/null  # python-ft.sh sources this file; only its fetch is used, in a subshell
    tarball=$(. "$SETUP_DIR/python-ft.sh" && ft_fetch_source "$ver" "$sum" "$pool")
    mkdir -p "$1"
    tar -xJOf "$tarball" --wildcards '*/Misc/stable_abi.toml' >"$toml.tmp" ||
      fail "no Misc/stable_abi.toml in $tarball" "check the pinned CPython source"
    mv "$toml.tmp" "$toml"
  fi
  echo "$toml"
}
