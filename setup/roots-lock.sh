# shellcheck shell=bash
# The Debian roots we build on and test in, pinned like setup/sid.lock: setup/roots.lock holds, for
# each root, a header line with its suite, architecture, mmdebstrap variant and listed packages,
# then one line per package it holds ("root package version sha256 pool-path"). A root is made
# only from those bytes: the locked .debs are fetched (SHA-256 checked, cached under the cache's
# debs/), served to mmdebstrap as a local repository that holds nothing else, and the packages the
# root ends up with must equal the lock, or the build fails naming the difference.
# Sourced by setup/roots.sh (needs CACHE and lib.sh); `roots_lock_make FILE` is run by setup/make-lock.sh.

ROOTS_LOCK_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOTS_LOCK=${CORE_FIPS_ROOTS_LOCK:-$ROOTS_LOCK_HERE/roots.lock}

# What each root is: NAME SUITE ARCH VARIANT PKG,... (essential: the Essential:yes set plus the
# listed packages and their dependencies, no apt, so nothing pulls libstdc++ unasked; extract:
# only the listed packages and their dependencies, unpacked, no maintainer script run).
ROOTS_SPECS=(
  "build-bullseye bullseye amd64 essential g++,cmake,ninja-build,python3,python3-pyelftools"
  "build-bullseye-aarch64 bullseye amd64 essential g++-aarch64-linux-gnu,cmake,ninja-build,python3,python3-pyelftools"
  "stock-sid sid amd64 essential python3.14,python3-pip,ca-certificates,python3-pytest,python3-hypothesis,python3-cryptography,openssl,python3.13,python3.13-venv,python3.15,python3.15-venv"
  "stock-sid-arm64 sid arm64 extract python3.14,python3-pip,python3-pytest,python3-hypothesis,python3.13"
  "stock-bookworm bookworm amd64 essential python3.11,python3.11-venv,python3-pip,ca-certificates,python3-pytest,python3-hypothesis,python3-cryptography,openssl"
  # Builds from the sdist: only the tools a build from source needs (Go and Ninja for AWS-LC-FIPS;
  # the lane of the bundled source removes them from its view first) and the suite's.
  "sdist-bookworm bookworm amd64 essential python3.11-dev,python3.11-venv,python3-pip,cmake,g++,make,ninja-build,golang-go,python3-pyelftools,python3-pytest,python3-hypothesis,python3-cryptography,openssl"
  "sdist-sid sid amd64 essential python3.13-dev,python3.13-venv,python3.15-dev,python3.15-venv,python3-pip,cmake,g++,make,ninja-build,golang-go,python3-scikit-build-core,python3-pyelftools,python3-pytest,python3-hypothesis,python3-cryptography,openssl"
)

# roots_lock_header NAME: the root's header line in the lock ("# root NAME SUITE ARCH VARIANT PKGS").
roots_lock_header() {
  local line
  line=$(grep -E "^# root $1 " "$ROOTS_LOCK" 2>/dev/null) ||
    fail "$ROOTS_LOCK has no root $1" "add it to ROOTS_SPECS in setup/roots-lock.sh and run setup/make-lock.sh roots"
  echo "$line"
}
# roots_lock_lines NAME: the root's header and package lines; its cache key is made of them.
roots_lock_lines() {
  local lines
  roots_lock_header "$1"
  lines=$(grep -E "^$1 " "$ROOTS_LOCK") || fail "$ROOTS_LOCK has no packages for root $1" "run setup/make-lock.sh roots"
  echo "$lines"
}

# roots_lock_mirror SUITE ARCH: sets RL_MIRROR and RL_APT_OPTS, a private apt state for that suite
# and architecture (the system's mirror, the date options of setup/apt-sid.sh); with "update",
# refreshes its lists once per run.
roots_lock_mirror() {
  local SID_APT SID_APT_OPTS
  sid_apt_init host "$CACHE/apt-roots/$1-$2" # never the shared sid state: its sources are rewritten below
  RL_MIRROR=$(awk '{print $3; exit}' "$SID_APT/sources.list")
  RL_MIRROR=${RL_MIRROR%/}
  echo "deb [arch=$2 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $RL_MIRROR $1 main" >"$SID_APT/sources.list"
  RL_APT_OPTS=("${SID_APT_OPTS[@]}" -o "APT::Architecture=$2" -o "APT::Architectures=$2")
  [ "${3:-}" = update ] || return 0
  apt-get "${RL_APT_OPTS[@]}" -qq update >"$SID_APT/update.log" 2>&1 ||
    fail "apt-get update of the private $1 $2 list failed (see $SID_APT/update.log)" "check network access to the Debian archive, then rerun"
}

# roots_lock_resolve NAME SUITE ARCH VARIANT PKGS: the root's lock lines, the package set resolved
# as mmdebstrap's variant resolves it in an empty root (its Essential:yes pattern, and apt not
# counted as essential, as mmdebstrap configures it).
roots_lock_resolve() {
  local name=$1 suite=$2 arch=$3 variant=$4 log show lines want=() pins
  roots_lock_mirror "$suite" "$arch" update
  IFS=, read -r -a want <<<"$5"
  [ "$variant" = extract ] || want+=("?narrow(?or(?archive(^$suite\$),?codename(^$suite\$)),?architecture($arch),?essential)")
  log=$CACHE/apt-roots/$suite-$arch/resolve-$name.log
  apt-get "${RL_APT_OPTS[@]}" -o APT::Install-Recommends=false -o 'pkgCacheGen::ForceEssential=,' \
    -s install "${want[@]}" >"$log" 2>&1 ||
    fail "apt-get cannot resolve the root $name ($5) in $suite $arch (see $log)" "a name in ROOTS_SPECS is wrong, or the archive is mid-transition: retry later"
  # "Inst pkg[:arch] (version suite [arch])" -> pkg=version
  pins=$(awk '/^Inst /{sub(/:.*/, "", $2); sub(/^\(/, "", $3); print $2 "=" $3}' "$log" | sort -u)
  [ -n "$pins" ] || fail "the root $name resolved to no package (see $log)" "check ROOTS_SPECS in setup/roots-lock.sh"
  # shellcheck disable=SC2086  # one word per package
  show=$(apt-cache "${RL_APT_OPTS[@]}" show $pins 2>&1) || fail "apt-cache show failed for root $name: $(tail -1 <<<"$show")" "see $log"
  lines=$(awk -v g="$name" '/^Package:/{p=$2} /^Version:/{v=$2} /^Filename:/{f=$2} /^SHA256:/{s=$2}
    /^$/{if (p != "") print g, p, v, s, f; p = ""} END{if (p != "") print g, p, v, s, f}' <<<"$show" | sort -u)
  [ "$(wc -l <<<"$lines")" = "$(wc -l <<<"$pins")" ] ||
    fail "root $name: apt-cache show gave $(wc -l <<<"$lines") entries for $(wc -l <<<"$pins") packages" "see $log"
  echo "# root $name $suite $arch $variant $5"
  echo "$lines"
}

# roots_lock_make FILE [NAME]: writes every root's lines (or only NAME's, the other roots' lines
# kept byte for byte where they are) to FILE.new, checks them, then replaces FILE.
roots_lock_make() {
  local out=$1 only=${2:-} new spec name bad
  new=$(mktemp "$out.new.XXXXXX") || fail "cannot create a file beside $out" "check the checkout's permissions"
  # shellcheck disable=SC2064  # the name now: a failure anywhere below leaves the old lock alone
  trap "rm -f '$new' '$new.root'" EXIT
  if [ -n "$only" ]; then
    spec=$(printf '%s\n' "${ROOTS_SPECS[@]}" | grep -E "^$only " || true)
    [ -n "$spec" ] || fail "no root $only in ROOTS_SPECS (setup/roots-lock.sh)" "add its line there first, or name one of: $(printf '%s\n' "${ROOTS_SPECS[@]}" | cut -d' ' -f1 | paste -sd' ')"
    # shellcheck disable=SC2086  # the spec's fields
    roots_lock_resolve $spec >"$new.root"
    # Its header and lines replace the old ones where they were (a new root goes at the end).
    awk -v r="$only" 'NR == FNR { fresh = fresh $0 "\n"; next }
      ($1 == "#" && $2 == "root" && $3 == r) || $1 == r { if (!done) printf "%s", fresh; done = 1; next }
      { print } END { if (!done) printf "%s", fresh }' "$new.root" "$out" >"$new"
  else
    echo "# root package version sha256 pool-path   (generated by setup/make-lock.sh from ROOTS_SPECS in setup/roots-lock.sh)" >"$new"
    for spec in "${ROOTS_SPECS[@]}"; do
      # shellcheck disable=SC2086  # the spec's fields
      roots_lock_resolve $spec >>"$new"
    done
  fi
  bad=$(grep -vnE '^(# .*|[a-z0-9-]+ [a-z0-9][a-z0-9+.-]+ [0-9A-Za-z.+~:-]+ [0-9a-f]{64} pool/[^ ]+\.deb)$' "$new" || true)
  [ -z "$bad" ] || { fail "malformed roots lock line(s): $(head -1 <<<"$bad")" "nothing was replaced; fix roots_lock_resolve"; }
  for spec in "${ROOTS_SPECS[@]}"; do
    name=${spec%% *}
    { grep -q "^# root $name " "$new" && grep -q "^$name " "$new"; } ||
      fail "root $name came out empty" "nothing was replaced; check ROOTS_SPECS"
  done
  chmod 644 "$new"
  mv "$new" "$out" || fail "cannot replace $out" "check the checkout's permissions"
  rm -f "$new.root"
  trap - EXIT
  grep -v '^#' "$out" | cut -d' ' -f1 | uniq -c >&2
}

# roots_lock_fetch NAME: the root's locked .debs in the cache's debs/ (fetched when missing), each
# checked against its pinned SHA-256 and its control fields against its line; prints their paths.
roots_lock_fetch() {
  local name=$1 debs=$CACHE/debs g p v sum path f got hdr
  hdr=$(roots_lock_header "$name")
  mkdir -p "$debs" || fail "cannot create $debs" "check the cache's permissions"
  roots_lock_mirror "$(cut -d' ' -f4 <<<"$hdr")" "$(cut -d' ' -f5 <<<"$hdr")"
  while read -r g p v sum path; do
    [ "$g" = "$name" ] || continue
    f=$debs/$(basename "$path")
    if [ ! -f "$f" ] || [ "$(sha256sum <"$f" | cut -d' ' -f1)" != "$sum" ]; then
      rm -f "$f.part.$$"
      /usr/lib/apt/apt-helper -o APT::Sandbox::User=root download-file "$RL_MIRROR/$path" "$f.part.$$" "SHA256:$sum" >>"$debs/download.log" 2>&1 ||
        { rm -f "$f.part.$$"; fail "root $name: download of $p $v ($path) failed or its SHA-256 is not the locked $sum (see $debs/download.log)" "check network access; if the archive dropped it, re-pin this root alone: setup/make-lock.sh roots $name  (docs/development.md, Changing things)"; }
      mv "$f.part.$$" "$f" || fail "cannot move $f.part to $f" "check the cache's free space"
    fi
    [ "$(sha256sum <"$f" | cut -d' ' -f1)" = "$sum" ] ||
      fail "root $name: $p $v: $(basename "$f") does not have the locked SHA-256 $sum" "the lock or the cached file is wrong; regenerate the lock with setup/make-lock.sh roots"
    got=$(dpkg-deb -f "$f" Package Version | awk '{print $2}' | paste -sd' ')
    [ "$got" = "$p $v" ] || fail "root $name: the lock says $p $v but $(basename "$f") is $got" "regenerate the lock with setup/make-lock.sh roots"
    echo "$f"
  done <"$ROOTS_LOCK"
}

# roots_lock_mmdebstrap NAME TARGET LOG: makes the root NAME at TARGET (which must not exist) from
# exactly its locked .debs, in a private mount namespace, and checks the result against the lock.
# A builder for cache_product, which removes TARGET when this fails.
roots_lock_mmdebstrap() {
  local name=$1 target=$2 log=$3 hdr suite arch variant repo debs record hook=() rc=0
  hdr=$(roots_lock_header "$name")
  read -r _ _ _ suite arch variant _ <<<"$hdr"
  debs=$(roots_lock_fetch "$name")
  repo=$(mktemp -d "${TMPDIR:-/tmp}/core-fips-repo.XXXXXX") || fail "cannot create a folder in ${TMPDIR:-/tmp}" "check its free space"
  # shellcheck disable=SC2086  # one path per line, none with spaces (pool file names)
  { ln -s $debs "$repo/" && (cd "$repo" && dpkg-scanpackages -m . /dev/null >Packages 2>scan.log); } ||
    { rm -rf --one-file-system "$repo"; fail "dpkg-scanpackages over the locked .debs of $name failed" "see dpkg-dev on the host"; }
  printf 'Suite: %s\nCodename: %s\nArchitectures: %s all\nComponents: main\nDate: %s\nSHA256:\n %s %s Packages\n' \
    "$suite" "$suite" "$arch" "$(LC_ALL=C date -u -R)" "$(sha256sum <"$repo/Packages" | cut -d' ' -f1)" "$(stat -c %s "$repo/Packages")" >"$repo/Release" ||
    fail "cannot write $repo/Release" "check the free space of ${TMPDIR:-/tmp}"
  # The hook records the SHA-256 of every .deb the root was made of, before mmdebstrap empties
  # apt's cache (kept until then: essential/unlink skipped).
  # shellcheck disable=SC2016  # expanded by the hook's shell, where $1 is the root
  record='sha256sum "$1"/var/cache/apt/archives/*.deb >"$1/.core-fips-debs"'
  if [ "$variant" = extract ]; then hook=(--extract-hook="$record"); else hook=(--skip=essential/unlink --customize-hook="$record"); fi
  unshare --mount --propagation private mmdebstrap --variant="$variant" --mode=root --architectures="$arch" \
    --include="$(cut -d' ' -f7 <<<"$hdr")" --aptopt='Acquire::Languages "none"' --aptopt='APT::Install-Recommends "false"' \
    "${hook[@]}" "$suite" "$target" "deb [trusted=yes] copy://$repo ./" >"$log" 2>&1 || rc=$?
  rm -rf --one-file-system "$repo"
  if [ "$rc" != 0 ]; then
    # apt's first complaint names the package the lock lacks, if that is the cause
    fail "mmdebstrap of the root $name from its locked .debs failed: $(grep -m1 -E 'Depends:|^E:' "$log" | sed 's/^ *//') (see $log)" "if a package is missing from the lock, regenerate it with setup/make-lock.sh roots"
  fi
  roots_lock_check "$name" "$target" || exit 1
}

# roots_lock_check NAME TARGET (returns 1 after its error line): the .debs the root was made of
# must be the lock's, SHA-256 by SHA-256, and (but for an extract root, which has no dpkg database)
# the packages installed must be the lock's, version by version.
roots_lock_check() {
  local name=$1 target=$2 have want diff
  [ -s "$target/.core-fips-debs" ] || { error_line "mmdebstrap left no record of the .debs of the root $name" "see its log"; return 1; }
  want=$(awk -v g="$name" '$1 == g {print $4, $2, $3}' "$ROOTS_LOCK" | sort)
  # each .deb as "sha256 package version" (its lock line's), or "sha256 file" when nothing is locked with that sum
  have=$(awk 'NR == FNR {pv[$1] = $2 " " $3; next} {n = split($2, a, "/"); print $1, ($1 in pv ? pv[$1] : "(file " a[n] ")")}' \
    <(echo "$want") "$target/.core-fips-debs" | sort)
  diff=$(diff <(echo "$want") <(echo "$have") | sed -n 's/^< [0-9a-f]* /locked but not in the root: /p; s/^> \([0-9a-f]*\) /in the root but not locked: \1 /p' | paste -sd';' || true)
  if [ -z "$diff" ] && ! grep -qE "^# root $name [^ ]+ [^ ]+ extract " "$ROOTS_LOCK"; then
    want=$(awk -v g="$name" '$1 == g {print $2, $3}' "$ROOTS_LOCK" | sort)
    # shellcheck disable=SC2016  # dpkg-query's own field syntax
    have=$(dpkg-query --admindir="$target/var/lib/dpkg" -W -f '${db:Status-Abbrev} ${Package} ${Version}\n' | awk '$1 == "ii" {print $2, $3}' | sort)
    diff=$(diff <(echo "$want") <(echo "$have") | sed -n 's/^< /locked but not installed: /p; s/^> /installed but not locked: /p' | paste -sd';' || true)
  fi
  [ -z "$diff" ] || { error_line "the root $name does not match $ROOTS_LOCK: $diff" "regenerate the lock with setup/make-lock.sh roots, or find what changed the root"; return 1; }
  awk -v g="$name" '$1 == g {print $2, $3, $4}' "$ROOTS_LOCK" >"$target/.core-fips-locked" ||
    { error_line "cannot write into $target" "check the cache's free space"; return 1; }
}
