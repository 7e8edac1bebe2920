#!/usr/bin/env bash
# Free-threaded CPython 3.13 (--disable-gil), to exercise the module with no GIL. Debian ships no
# free-threaded interpreter and its 3.14 source is not downloadable, so this builds upstream CPython
# from the orig tarball of Debian unstable's python3.13 source package (Debian's patches are not
# applied), pinned with its SHA-256 in setup/python-ft.lock. Same cache rules as deps.sh: the
# product lives in $CACHE/python3.13t-<key of its inputs>, is built in a temporary folder and
# renamed into place only once it works.
#
# pytest, hypothesis etc. are the pure-Python packages CPython 3.14 already uses: a .pth points at
# the folder where that interpreter finds pytest. It is checked on every run, because that folder
# moves whenever deps.sh rekeys the 3.14 root.
#
#   setup/python-ft.sh          prints the path of python3.13t (first build: 3 to 5 minutes)
#   . setup/python-ft.sh        the same, but sets CORE_FIPS_PYTHON_FT and prints nothing
#   setup/python-ft.sh --tsan   prints the path of a python3.13t built with ThreadSanitizer
#                               (--with-thread-sanitizer, gcc 12 and its libtsan.so.2, so that an
#                               extension compiled by the same gcc shares the one runtime); its
#                               prefix also holds CPython's suppression file for the build,
#                               share/tsan/suppressions_free_threading.txt (first build: ~10 min)
#   setup/python-ft.sh --lock   pins the newest python3.13 source the archive serves
# Environment: CORE_FIPS_CACHE (default ~/.cache/core-fips; CACHE when sourced), CORE_FIPS_PYTHON
# (the 3.14 interpreter; default: the one named in $CACHE/env.sh), DEBIAN_MIRROR.

FT_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
FT_LOCK=$FT_HERE/python-ft.lock
FT_SOURCE_PACKAGE=python3.13
# For the stdlib's C modules, from the system's own (bookworm) archive. No libzstd-dev: 3.13 has
# no zstd module.
FT_HOST_PKGS=(build-essential pkg-config xz-utils libssl-dev libffi-dev libsqlite3-dev liblzma-dev
  libbz2-dev zlib1g-dev libreadline-dev libncurses-dev uuid-dev)
# configure skips a C module silently when its -dev package is missing; these must all import.
FT_REQUIRED_MODULES=(ssl _hashlib ctypes sqlite3 lzma bz2 zlib readline uuid _uuid decimal curses
  mmap array _socket select _testcapi)
# The ThreadSanitizer variant: configure option, folder tag, and the runtime gcc links it against.
FT_TSAN_CONFIGURE=--with-thread-sanitizer
FT_TSAN_PKGS=(libtsan2)

. "$FT_HERE/lib.sh"

# A private deb-src list beside apt-sid.sh's binary one: same mirror and options, own folders.
ft_src_apt() {
  [ -n "${FT_APT_READY:-}" ] && return 0
  sid_apt_init
  FT_APT=$CACHE/apt-sid-src
  mkdir -p "$FT_APT/lists/partial" "$FT_APT/cache/archives/partial"
  sed 's/^deb /deb-src /' "$SID_APT/sources.list" >"$FT_APT/sources.list"
  [ -f "$FT_APT/status" ] || : >"$FT_APT/status"
  FT_APT_OPTS=("${SID_APT_OPTS[@]//"$SID_APT"/"$FT_APT"}")
  apt-get "${FT_APT_OPTS[@]}" -qq update >"$FT_APT/update.log" 2>&1 ||
    fail "apt-get update of the private sid source list failed (see $FT_APT/update.log)" "check network access to the Debian archive, then rerun"
  FT_APT_READY=1
}

# ft_fetch_source VERSION SHA256 POOL-PATH: prints the path of the orig tarball, downloaded into
# $CACHE/src when absent, and always checked against its pin.
ft_fetch_source() {
  local ver=$1 sum=$2 f part=$CACHE/src/partial
  f=$CACHE/src/$(basename "$3")
  if [ -f "$f" ] && [ "$(sha256sum "$f" | cut -d' ' -f1)" = "$sum" ]; then
    echo "$f"
    return 0
  fi
  ft_src_apt
  rm -rf "$part" "$f"
  mkdir -p "$part"
  (cd "$part" && apt-get "${FT_APT_OPTS[@]}" -qq source --download-only --tar-only "$FT_SOURCE_PACKAGE=$ver") \
    >"$CACHE/src/download.log" 2>&1 ||
    fail "download of the $FT_SOURCE_PACKAGE $ver source from Debian unstable failed (see $CACHE/src/download.log)" \
      "check network access to the Debian archive; if that version left the archive, run setup/python-ft.sh --lock"
  mv "$part/$(basename "$f")" "$f" 2>/dev/null ||
    fail "the $FT_SOURCE_PACKAGE $ver download has no $(basename "$f")" "run setup/python-ft.sh --lock to refresh the pin"
  rm -rf "$part"
  [ "$(sha256sum "$f" | cut -d' ' -f1)" = "$sum" ] || {
    rm -f "$f"
    fail "checksum mismatch for $(basename "$f")" "the archive served other bytes than pinned in setup/python-ft.lock; rerun, or refresh the pin deliberately with setup/python-ft.sh --lock"
  }
  echo "$f"
}

# ft_build TARBALL DEST MAJOR.MINOR LOGS [CONFIGURE-ARG...]: configures with DEST as prefix (it is
# baked into sysconfig and the scripts), installs into a staging DESTDIR, checks the staged
# interpreter, then moves it to DEST. The text of this function is part of the cache key: changing
# how it builds rebuilds.
ft_build() {
  local src=$1 dest=$2 mm=$3 logs=$4 tmp=$2.tmp.$$ t0 t1 t2 t3
  local extra=("${@:5}")
  # A ThreadSanitizer build runs itself during make and the check below; races it reports there
  # are the interpreter's own and must not fail the build (exit code 66).
  local -x TSAN_OPTIONS=report_bugs=0:exitcode=0
  rm -rf "$dest".tmp.*
  mkdir -p "$tmp/src" "$logs"
  tar -xf "$src" -C "$tmp/src" --strip-components=1 || fail "cannot unpack $src" "delete it and rerun"
  (
    # Flags from the caller's environment would change the build without changing the key.
    unset CFLAGS CPPFLAGS CXXFLAGS LDFLAGS CC CXX PYTHONPATH PYTHONHOME
    cd "$tmp/src"
    t0=$(date +%s)
    # Test modules stay enabled so that _testcapi (set_nomemory, used by the fault tests) is
    # built; TEST_MODULES=no at install time still leaves out Lib/test. pip comes from the shared
    # pure-Python packages, so no ensurepip.
    ./configure --prefix="$dest" --disable-gil --with-ensurepip=no "${extra[@]}" >"$logs/configure.log" 2>&1 ||
      fail "configure of CPython failed (see $logs/configure.log)" "fix the cause shown there, then rerun"
    t1=$(date +%s)
    make -j"$(nproc)" >"$logs/make.log" 2>&1 ||
      fail "make of CPython failed (see $logs/make.log)" "fix the cause shown there, then rerun"
    t2=$(date +%s)
    make install DESTDIR="$tmp/stage" TEST_MODULES=no >"$logs/install.log" 2>&1 ||
      fail "make install of CPython failed (see $logs/install.log)" "fix the cause shown there, then rerun"
    t3=$(date +%s)
    say "CPython built: configure $((t1 - t0)) s, make $((t2 - t1)) s, install $((t3 - t2)) s"
    # CPython's own suppressions for races known in the interpreter, kept with it.
    mkdir -p "$tmp/stage$dest/share/tsan"
    cp Tools/tsan/suppressions*.txt "$tmp/stage$dest/share/tsan/"
  ) || { rm -rf "$tmp"; exit 1; }
  # A non-shared build finds its stdlib relative to the executable, so the staged copy runs as is.
  "$tmp/stage$dest/bin/python${mm}t" -I -c '
import importlib, sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
assert sys._is_gil_enabled() is False, "the GIL is on"
tsan = sys.argv[1] == "tsan"
assert tsan == ("-fsanitize=thread" in sysconfig.get_config_var("PY_CFLAGS")), "ThreadSanitizer is not as asked"
missing = []
for name in sys.argv[2:]:
    try:
        importlib.import_module(name)
    except ImportError as e:
        missing.append(f"{name} ({e})")
if missing:
    sys.exit("stdlib modules missing: " + "; ".join(missing))
' "$([[ " ${extra[*]} " == *" $FT_TSAN_CONFIGURE "* ]] && echo tsan || echo plain)" \
    "${FT_REQUIRED_MODULES[@]}" 2>"$logs/check.log" || {
    rm -rf "$tmp"
    fail "the new python${mm}t failed its check: $(tail -1 "$logs/check.log")" \
      "see $logs/make.log for modules that were not built (a missing -dev package?), then rerun"
  }
  mv "$tmp/stage$dest" "$dest"
  rm -rf "$tmp"
}

# ft_link_pydeps DEST MAJOR.MINOR LOGS: makes the 3.14 interpreter's pure-Python packages importable.
ft_link_pydeps() {
  local dest=$1 mm=$2 logs=$3 py314 dir pth want
  py314=$(core_python "to share pytest and hypothesis with")
  dir=$("$py314" -I -c 'import os, pytest; print(os.path.dirname(os.path.dirname(pytest.__file__)))') ||
    fail "$py314 cannot import pytest" "run setup/deps.sh"
  pth=$dest/lib/python${mm}t/site-packages/zz-core-fips-pydeps.pth
  want="import site; site.addsitedir('$dir')"
  [ "$(cat "$pth" 2>/dev/null)" = "$want" ] && return 0
  mkdir -p "$logs"
  echo "$want" >"$pth.tmp.$$"
  mv "$pth.tmp.$$" "$pth"
  "$dest/bin/python${mm}t" -c 'import pytest, hypothesis' 2>"$logs/pydeps.log" ||
    fail "python${mm}t cannot import pytest and hypothesis from $dir (see $logs/pydeps.log)" "run setup/deps.sh, then rerun"
}

# ft_setup [tsan]: sets CORE_FIPS_PYTHON_FT (or CORE_FIPS_PYTHON_FT_TSAN) to the interpreter,
# building it first when the cache has none for the current inputs.
ft_setup() {
  local variant=${1:-} pin pkg ver sum pool upstream mm key dest py tarball fd logs
  local extra=() pkgs=("${FT_HOST_PKGS[@]}") tag=
  case "$variant" in
    "") ;;
    tsan) extra=("$FT_TSAN_CONFIGURE") pkgs+=("${FT_TSAN_PKGS[@]}") tag=-tsan ;;
    *) fail "unknown interpreter variant: $variant" "use tsan, or nothing for the plain build" ;;
  esac
  [ -n "${CACHE:-}" ] || cache_init
  pin=$(grep -E '^ft-source ' "$FT_LOCK" 2>/dev/null) ||
    fail "no ft-source pin in $FT_LOCK" "run setup/python-ft.sh --lock"
  read -r _ pkg ver sum pool <<<"$pin"
  [ "$pkg" = "$FT_SOURCE_PACKAGE" ] || fail "$FT_LOCK pins $pkg, expected $FT_SOURCE_PACKAGE" "run setup/python-ft.sh --lock"
  upstream=${ver%-*}
  mm=${upstream%.*}
  key=$(printf '%s\n%s\n%s\n' "$pin" "$(declare -f ft_build)" "${extra[*]}" | key_of -)
  dest=$CACHE/python${mm}t$tag-$key
  logs=$CACHE/python-ft$tag-logs
  py=$dest/bin/python${mm}t
  if [ ! -x "$py" ]; then
    # Own lock, not deps.sh's: deps.sh may run this while holding its own. One lock for both
    # variants: they share the source download.
    exec {fd}>"$CACHE/.lock-python-ft"
    flock "$fd"
    if [ ! -x "$py" ]; then # another run may have finished it while this one waited
      ensure_host_packages host-apt-ft.log "${pkgs[@]}"
      tarball=$(ft_fetch_source "$ver" "$sum" "$pool")
      say "building free-threaded CPython $upstream${tag:+ ($variant)} into $dest: $([ -z "$tag" ] && echo 3 to 5 || echo about 10) minutes"
      ft_build "$tarball" "$dest" "$mm" "$logs" "${extra[@]}"
    fi
    exec {fd}>&-
  fi
  ft_link_pydeps "$dest" "$mm" "$logs"
  if [ -z "$tag" ]; then CORE_FIPS_PYTHON_FT=$py; else CORE_FIPS_PYTHON_FT_TSAN=$py; fi
}

# Pins the newest version whose orig tarball the archive actually serves (some pool files are gone).
ft_lock() {
  local v dir file f tmp
  cache_init
  mkdir -p "$CACHE/src"
  ft_src_apt
  tmp=$(mktemp -d)
  for v in $(apt-cache "${FT_APT_OPTS[@]}" showsrc "$FT_SOURCE_PACKAGE" | awk '/^Version:/{print $2}' | sort -rV | uniq); do
    if (cd "$tmp" && apt-get "${FT_APT_OPTS[@]}" -qq source --download-only --tar-only "$FT_SOURCE_PACKAGE=$v") >/dev/null 2>&1; then
      file=
      for f in "$tmp"/*.orig.tar.*; do [[ "$f" == *.asc ]] || file=$(basename "$f"); done
      dir=$(apt-cache "${FT_APT_OPTS[@]}" showsrc "$FT_SOURCE_PACKAGE" | awk -v v="$v" 'BEGIN { RS = ""; FS = "\n" }
        { ver = ""; d = ""
          for (i = 1; i <= NF; i++) { if ($i ~ /^Version: /) ver = substr($i, 10); if ($i ~ /^Directory: /) d = substr($i, 12) }
          if (ver == v) { print d; exit } }')
      {
        echo "# group source-package version sha256 pool-path   (written by setup/python-ft.sh --lock)"
        echo "ft-source $FT_SOURCE_PACKAGE $v $(sha256sum "$tmp/$file" | cut -d' ' -f1) $dir/$file"
      } >"$FT_LOCK"
      mv "$tmp/$file" "$CACHE/src/$file"
      rm -rf "$tmp"
      cat "$FT_LOCK"
      return 0
    fi
    say "$FT_SOURCE_PACKAGE $v: source not downloadable from the archive"
  done
  rm -rf "$tmp"
  fail "no $FT_SOURCE_PACKAGE source version is downloadable" "check network access to the Debian archive"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  fail_loudly
  cache_init
  case "${1:-}" in
    --lock) ft_lock ;;
    "")
      ft_setup
      echo "$CORE_FIPS_PYTHON_FT"
      ;;
    --tsan)
      ft_setup tsan
      echo "$CORE_FIPS_PYTHON_FT_TSAN"
      ;;
    *) fail "unknown argument: $1" "usage: setup/python-ft.sh [--tsan | --lock]" ;;
  esac
else
  ft_setup
fi
