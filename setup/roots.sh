#!/usr/bin/env bash
# Cached Debian roots made by mmdebstrap from exactly the packages pinned for them in
# setup/roots.lock (fetched from the system's mirror, the one setup/apt-sid.sh uses), and a way to
# run commands in them. A root is only ever read: every run sees it through an overlay whose
# writable layer is a tmpfs, so one cached root serves any number of concurrent runs and never
# drifts.
#
#   setup/roots.sh ensure NAME [SUITE PKG...]      prints the cached root's path (first: ~1 min),
#       made from its locked packages (setup/roots.lock, setup/roots-lock.sh)
#   setup/roots.sh run ROOT [-b SRC[:DST][:ro]]... [-e VAR=VAL]... -- CMD...
#       CMD in ROOT, in its own mount and pid namespaces, with env -i apart from PATH, HOME,
#       LANG and the -e variables; /proc, /dev and a tmpfs /tmp are mounted; -b binds host paths
#       (at the same path unless DST is given).
#   . setup/roots.sh                               the functions, for tools that mount a view once
# Environment: CORE_FIPS_CACHE (default ~/.cache/core-fips), DEBIAN_MIRROR.
# mmdebstrap runs in a mount namespace of its own, removals never cross into another filesystem,
# and every run mounts its view at a fresh folder of its own.
set -euo pipefail
# shellcheck source=setup/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/lib.sh"
[ -n "${CACHE:-}" ] || cache_init
# shellcheck source=setup/roots-lock.sh
. "$SETUP_DIR/roots-lock.sh"

# roots_build TMP DEST NAME: the root NAME, made from its locked .debs and checked against the lock.
roots_build() {
  roots_lock_mmdebstrap "$3" "$1" "$CACHE/roots/$3.log"
  mv "$1/.core-fips-locked" "$1/.core-fips-manifest"
}

# roots_ensure NAME [SUITE PKG...]: the root's path, made from exactly its lines of
# setup/roots.lock (a caller that names the suite and packages must name the lock's) and keyed by
# them; built once per lock, under a lock so that concurrent callers wait for one build.
roots_ensure() {
  local name=$1 hdr dest
  shift
  hdr=$(roots_lock_header "$name")
  [ $# -eq 0 ] || [ "$1 $(IFS=,; echo "${*:2}")" = "$(cut -d' ' -f4,7 <<<"$hdr")" ] ||
    fail "the root $name is asked for as $1 $(IFS=,; echo "${*:2}") but locked as $(cut -d' ' -f4,7 <<<"$hdr")" "change ROOTS_SPECS in setup/roots-lock.sh to match, then run setup/make-lock.sh roots"
  ensure_host_packages host-apt-roots.log mmdebstrap dpkg-dev
  dest=$CACHE/roots/$name-$(roots_lock_lines "$name" | key_of -)
  [ -f "$dest/.core-fips-manifest" ] || say "making the root $name from its locked packages with mmdebstrap (about a minute)"
  cache_product "$dest" .core-fips-manifest roots_build "$name"
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

roots_run_inside() { # ROOT VIEW BINDS... -- ENV... -- CMD...
  local root=$1 view=$2 binds=() envs=()
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
  local root=$1 binds=() envs=() top status=0
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
  # The view's two mount points, private to this run; empty again once the namespace is gone.
  top=$(mktemp -d /tmp/core-fips-root.XXXXXX)
  unshare --mount --pid --fork --kill-child --propagation private \
    "$SETUP_DIR/roots.sh" _inside "$root" "$top/view" "${binds[@]}" -- "${envs[@]}" -- "$@" || status=$?
  rm -rf --one-file-system "$top"
  return $status
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  cmd=${1:-}
  shift || true
  case "$cmd" in
    ensure) roots_ensure "$@" ;;
    run) roots_run "$@" ;;
    _inside) roots_run_inside "$@" ;;
    *) fail "usage: setup/roots.sh ensure NAME SUITE PKG... | run ROOT [-b SPEC]... [-e VAR=VAL]... -- CMD..." "see the top of setup/roots.sh" ;;
  esac
fi
