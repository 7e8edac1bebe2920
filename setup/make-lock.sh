#!/usr/bin/env bash
# Regenerates setup/sid.lock and setup/roots.lock (see setup/roots-lock.sh): the exact Debian
# packages the setup downloads, with their versions and SHA-256 sums, so that every machine builds
# from the same bytes. Run by hand when a dependency is bumped; the setup itself only reads the lock.
#
#   setup/make-lock.sh              every group of setup/sid.lock and every root of setup/roots.lock
#   setup/make-lock.sh GROUP        only that group of setup/sid.lock (python, python-dbg, pydeps,
#                                   awslc, auditwheel, peers, arm64); every other line stays byte for byte
#   setup/make-lock.sh roots        every root of setup/roots.lock
#   setup/make-lock.sh roots NAME   only that root (a name of ROOTS_SPECS); the others stay as they are
#
# The new lock is written beside the old one and checked (every group has packages, every line is
# "group package version sha256 pool-path", no group of the old lock is lost) before it replaces
# it: a run that fails anywhere leaves the old lock as it was.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=$HERE/sid.lock
# shellcheck source=setup/lib.sh
. "$HERE/lib.sh"
# shellcheck source=setup/roots-lock.sh
. "$HERE/roots-lock.sh"
fail_loudly
cache_init

# The private apt lists are the cache's: not while a setup reads them.
exec 9>"$CACHE/.lock"
flock 9
SID_GROUPS=(python python-dbg pydeps awslc auditwheel peers arm64)
ONLY=
case "${1:-}" in
  "") roots_lock_make "$HERE/roots.lock" ;;
  roots) roots_lock_make "$HERE/roots.lock" "${2:-}"; exit 0 ;;
  *) [[ " ${SID_GROUPS[*]} " == *" $1 "* ]] ||
       fail "unknown group $1" "usage: setup/make-lock.sh [GROUP | roots [NAME]], GROUP one of ${SID_GROUPS[*]}"
     ONLY=$1 ;;
esac

NEW=$(mktemp "$OUT.new.XXXXXX")
trap 'rm -f "$NEW"' EXIT
# Parts of unstable's libc6 development closure that the host's compiler brings itself.
EXCLUDE='^(debconf|libc6-dev|libc-dev-bin|linux-libc-dev|libcrypt-dev|rpcsvc-proto|libexpat1-dev|zlib1g-dev)$'
GROUPS_MADE=()

# entry GROUP PKG: the lock line of the candidate version of PKG.
entry() {
  local show line
  show=$(apt-cache "${SID_APT_OPTS[@]}" show "$2" 2>&1) ||
    fail "apt-cache show $2 failed for group $1: $(tail -1 <<<"$show")" "check the package name in setup/make-lock.sh"
  line=$(awk -v g="$1" -v p="$2" '/^Version:/{v=$2} /^Filename:/{f=$2} /^SHA256:/{print g, p, v, $2, f; exit}' <<<"$show")
  [ -n "$line" ] || fail "no version, pool path and SHA-256 for $2 in unstable's index" "see apt-cache show $2 with the options of setup/apt-sid.sh"
  echo "$line" >>"$NEW"
}

# closure_group GROUP PKG...: the packages with everything they depend on in unstable (recommends
# and the EXCLUDE list left out).
closure_group() {
  local group=$1 log=$SID_APT/closure-$1.log pkgs p
  shift
  apt-get "${SID_APT_OPTS[@]}" -s install --no-install-recommends "$@" >"$log" 2>&1 ||
    fail "apt-get cannot resolve the dependencies of $* in Debian unstable (see $log)" "unstable is broken there for now (retry later) or a name in setup/make-lock.sh is wrong"
  pkgs=$(awk '/^Inst /{print $2}' "$log" | { grep -vE "$EXCLUDE" || true; })
  [ -n "$pkgs" ] || fail "the dependency closure of $* is empty (see $log)" "check the names in setup/make-lock.sh"
  for p in $pkgs; do entry "$group" "$p"; done
  GROUPS_MADE+=("$group")
}

# exact_group GROUP PKG...: just these packages.
exact_group() {
  local group=$1 p
  shift
  for p in "$@"; do entry "$group" "$p"; done
  GROUPS_MADE+=("$group")
}

# make_group GROUP: the lock lines of GROUP.
make_group() {
  case "$1" in
    python) sid_apt_update && closure_group python python3.14 python3.14-dev libpython3.14-dev ;;
    python-dbg) sid_apt_update && closure_group python-dbg python3.14-dbg python3.14-dev libpython3.14-dev ;;
    pydeps) sid_apt_update && exact_group pydeps python3-pytest python3-pluggy python3-iniconfig python3-packaging \
      python3-pygments python3-hypothesis python3-sortedcontainers python3-dateutil python3-attr \
      python3-setuptools python3-wheel python3-pip python3-scikit-build-core python3-pathspec \
      python3-pyproject-metadata python3-build python3-pyproject-hooks python3-setuptools-whl \
      python3-jsonschema python3-jsonschema-specifications python3-referencing python3-rpds-py \
      mypy python3-mypy python3-mypy-extensions python3-typing-extensions python3-librt \
      python3-ast-serialize python3-psutil ;;
    awslc) sid_apt_update && exact_group awslc librust-aws-lc-sys-dev ;;
    auditwheel) sid_apt_update && exact_group auditwheel python3-auditwheel python3-pyelftools ;;
    # The ML-KEM recipients of the tests, run on the python group's interpreter and libraries
    # (setup/lib-peers.sh): OpenSSL's command and pyca/cryptography with what it imports.
    peers) sid_apt_update && exact_group peers openssl python3-cryptography python3-cffi-backend python3-bcrypt ;;
    # The arm64 interpreter of setup/arm64.sh, from the arm64 indexes (kept apart from the host's).
    arm64) sid_apt_update arm64 && closure_group arm64 python3.14 python3.14-dev libpython3.14-dev libstdc++6 ;;
  esac
}

echo "# group package version sha256 pool-path   (generated by setup/make-lock.sh)" >"$NEW"
if [ -n "$ONLY" ]; then
  make_group "$ONLY"
  # The old lock with only this group's lines replaced, where they were (appended if new).
  merged=$(mktemp "$OUT.merge.XXXXXX")
  awk -v g="$ONLY" 'NR == FNR { if ($1 == g) fresh = fresh $0 "\n"; next }
    $1 == g { if (!done) printf "%s", fresh; done = 1; next } { print }
    END { if (!done) printf "%s", fresh }' "$NEW" "$OUT" >"$merged"
  mv "$merged" "$NEW"
else
  for g in "${SID_GROUPS[@]}"; do make_group "$g"; done
fi

# Check before replacing: a lock that the setup would misread must never land.
bad=$(grep -vnE '^(#.*|[a-z0-9-]+ [a-z0-9][a-z0-9+.-]+ [0-9A-Za-z.+~:-]+ [0-9a-f]{64} pool/[^ ]+\.deb)$' "$NEW" || true)
[ -z "$bad" ] || fail "malformed lock line(s): $(head -1 <<<"$bad")" "nothing was replaced; fix the generation in setup/make-lock.sh"
for g in "${GROUPS_MADE[@]}"; do
  grep -q "^$g " "$NEW" || fail "group $g came out empty" "nothing was replaced; check its packages in setup/make-lock.sh"
done
if [ -f "$OUT" ]; then
  lost=$(awk 'NR == FNR { if (!/^#/) made[$1] = 1; next } !/^#/ && !($1 in made) && !seen[$1]++ { printf "%s ", $1 }' "$NEW" "$OUT")
  [ -z "$lost" ] || fail "setup/sid.lock has groups that this script does not generate: $lost" "nothing was replaced; add them to setup/make-lock.sh"
fi
chmod 644 "$NEW"
mv "$NEW" "$OUT"
trap - EXIT
wc -l "$OUT"
# AWS-LC's package is also named in setup/pins (the SBOM, the sdist's bundle): say when they part.
read -r _ _ v sum _ < <(grep '^awslc ' "$OUT")
# shellcheck source=setup/pins
. "$HERE/pins"
[ "$v $sum" = "$DEBIAN_AWSLC_DEB_VERSION $DEBIAN_AWSLC_DEB_SHA256" ] ||
  echo "make-lock.sh: the awslc pin is now $v ($sum): set DEBIAN_AWSLC_DEB_VERSION and DEBIAN_AWSLC_DEB_SHA256 in setup/pins to it (docs/development.md, Changing things)" >&2
