# shellcheck shell=bash
# setup/lib.sh's pinned .debs from Debian unstable (setup/sid.lock), fetched into the cache.

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
        fail "download of $(wc -l <"$part/want") packages ($arch) from Debian unstable failed (see $CACHE/debs/download.log)" "check network access to the Debian archive; if a version left the archive, re-pin only its group, setup/make-lock.sh GROUP (of: $*; docs/development.md, Changing things)"
      for line in "${missing[@]}"; do
        read -r p v sum path <<<"$line"
        grep -qxF "$p=$v" "$part/want" || continue
        f=$CACHE/debs/${path##*/}
        # apt names the file with the epoch escaped; keep the pool's name.
        mv "$part/${p}_"*.deb "$f.tmp.$$" 2>/dev/null || fail "the download of $p $v produced no file" "re-pin only its group, setup/make-lock.sh GROUP (of: $*; docs/development.md, Changing things)"
        [ "$(sha256sum <"$f.tmp.$$")" = "$sum  -" ] ||
          { rm -f "$f.tmp.$$"; fail "checksum mismatch for ${f##*/}" "the archive served other bytes than pinned in setup/sid.lock; rerun, or refresh the lock deliberately"; }
        mv "$f.tmp.$$" "$f"
      done
    fi
    rm -rf "$part"
  done
}
