#!/usr/bin/env bash
# Cached Debian roots made by mmdebstrap from exactly the packages pinned for them in
# setup/roots.lock (fetched from the system's mirror, the one setup/apt-sid.sh uses), and a way to
# run commands in them. A root is only ever read: every
# run sees it through an overlay whose writable layer is a tmpfs, so one cached root serves any
# number of concurrent runs and never drifts.
#
#   setup/roots.sh ensure NAME [SUITE PKG...]      prints the cached root's path (first: ~1 min),
#       made from its locked packages (setup/roots.lock, setup/roots-lock.sh)
#   setup/roots.sh run ROOT [-b SRC[:DST][:ro]]... [-e VAR=VAL]... -- CMD...
#       CMD in ROOT, in its own mount and pid namespaces, with env -i apart from PATH, HOME,
#       LANG and the -e variables; /proc, /dev and a tmpfs /tmp are mounted; -b binds host paths
#       (at the same path unless DST is given).
#   . setup/roots.sh                               the functions, for tools that mount a view once
# Environment: CORE_FIPS_CACHE (default ~/.cache/core-fips), DEBIAN_MIRROR.
set -euo pipefail
ROOTS_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${CACHE:=${CORE_FIPS_CACHE:-$HOME/.cache/core-fips}}"
. "$ROOTS_HERE/lib.sh"
. "$ROOTS_HERE/apt-sid.sh"
. "$ROOTS_HERE/roots-lock.sh"

# roots_ensure NAME [SUITE PKG...]: the root's path, made from exactly its lines of setup/roots.lock
# (setup/roots-lock.sh; a caller that names the suite and packages must name the lock's) and
# keyed by them; built once per lock, under a lock so concurrent callers wait for one build.
roots_ensure() {
  local name=$1 key dest tmp hdr
  shift
  hdr=$(roots_lock_header "$name") || exit 1
  [ $# -eq 0 ] || [ "$1 $(IFS=,; echo "${*:2}")" = "$(cut -d' ' -f4,7 <<<"$hdr")" ] ||
    fail "the root $name is asked for as $1 $(IFS=,; echo "${*:2}") but locked as $(cut -d' ' -f4,7 <<<"$hdr")" "change ROOTS_SPECS in setup/roots-lock.sh to match, then run setup/make-lock.sh roots"
  key=$(roots_lock_lines "$name" | sha256sum | cut -c1-12) || exit 1
  dest=$CACHE/roots/$name-$key
  if [ ! -f "$dest/.core-fips-manifest" ]; then
    mkdir -p "$CACHE/roots" || fail "cannot create $CACHE/roots" "check the cache's permissions"
    exec 8>"$CACHE/roots/.lock"
    flock 8
    if [ ! -f "$dest/.core-fips-manifest" ]; then
      ensure_host_packages host-apt-roots.log mmdebstrap
      say "making the root $name from its locked packages with mmdebstrap (about a minute)"
      rm -rf --one-file-system "$dest".tmp.*
      tmp=$(mktemp -d "$dest.tmp.XXXXXX") || fail "cannot create a folder beside $dest" "check the cache's free space"
      roots_lock_mmdebstrap "$name" "$tmp" "$CACHE/roots/$name.log"
      { mv "$tmp/.core-fips-locked" "$tmp/.core-fips-manifest" && mv "$tmp" "$dest"; } ||
        fail "cannot move the root $name into the cache at $dest" "check the cache's free space, then rerun"
    fi
    exec 8>&-
  fi
  echo "$dest"
}

# roots_mount ROOT VIEW [SRC[:DST][:ro]]...: mounts ROOT at VIEW through an overlay over a tmpfs
# (at VIEW.layers), with /proc, /dev, /tmp and the binds. Call inside a private mount namespace:
# the mounts vanish with it, and the two empty mount points can be shared by every run.
roots_mount() {
  local root=$1 view=$2 spec src dst opt scratch=$2.layers
  shift 2
  mkdir -p "$scratch" "$view"
  mount -t tmpfs -o mode=0755 tmpfs "$scratch"
  mkdir -p "$scratch/upper" "$scratch/work"
  mount -t overlay overlay -o "lowerdir=$root,upperdir=$scratch/upper,workdir=$scratch/work" "$view" ||
    fail "cannot mount an overlay over $root" "the kernel needs overlayfs; run as root"
  mount -t proc proc "$view/proc"
  mount --rbind /dev "$view/dev"
  mount -t tmpfs -o mode=1777 tmpfs "$view/tmp"
  for spec in "$@"; do
    IFS=: read -r src dst opt <<<"$spec"
    [ "$dst" = ro ] && { dst=; opt=ro; }
    dst=${dst:-$src}
    [ -e "$src" ] || fail "cannot bind $src into the root: it does not exist" "build it first"
    if [ -d "$src" ]; then mkdir -p "$view$dst"; else mkdir -p "$(dirname "$view$dst")" && : >"$view$dst"; fi
    mount --bind "$src" "$view$dst"
    [ "$opt" != ro ] || mount -o remount,bind,ro "$view$dst"
  done
}

roots_run_inside() { # VIEW ROOT BINDS... -- ENV... -- CMD...
  local view=$1 root=$2 binds=() envs=()
  shift 2
  while [ "$1" != -- ]; do binds+=("$1"); shift; done
  shift
  while [ "$1" != -- ]; do envs+=("$1"); shift; done
  shift
  roots_mount "$root" "$view" "${binds[@]}"
  exec chroot "$view" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    "${envs[@]}" "$@"
}

roots_run() {
  local root=$1 binds=() envs=() dir rc=0
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    case "$1" in
      -b) binds+=("$2"); shift 2 ;;
      -e) envs+=("$2"); shift 2 ;;
      *) fail "roots.sh run: unknown option $1" "see the usage at the top of setup/roots.sh" ;;
    esac
  done
  [ $# -gt 1 ] || fail "roots.sh run: no command given" "put the command after --"
  shift
  [ -f "$root/.core-fips-manifest" ] || fail "$root is not a root made by setup/roots.sh" "run setup/roots.sh ensure first"
  # The view's mount points, empty again once the namespace is gone.
  dir=$(mktemp -d "${TMPDIR:-/tmp}/core-fips-root.XXXXXX") || fail "cannot create a folder in ${TMPDIR:-/tmp}" "check its free space"
  unshare --mount --pid --fork --kill-child --propagation private \
    "$ROOTS_HERE/roots.sh" _inside "$dir/root" "$root" "${binds[@]}" -- "${envs[@]}" -- "$@" || rc=$?
  rm -rf --one-file-system "$dir"
  return "$rc"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  cmd=${1:-}
  shift || true
  case "$cmd" in
    ensure) roots_ensure "$@" ;;
    run) roots_run "$@" ;;
    _inside) roots_run_inside "$@" ;;
    *) fail "usage: setup/roots.sh ensure NAME [SUITE PKG...] | run ROOT [-b SPEC]... [-e VAR=VAL]... -- CMD..." "see the top of setup/roots.sh" ;;
  esac
fi
