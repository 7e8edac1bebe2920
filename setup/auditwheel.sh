#!/usr/bin/env bash
# Prints a folder from which auditwheel imports: Debian unstable's python3-auditwheel and
# python3-pyelftools (group "auditwheel" of setup/sid.lock, version and SHA-256 pinned), unpacked
# into the cache, never installed. Run it with the project's CPython 3.14 (packaging comes from
# its pydeps): PYTHONPATH=$(setup/auditwheel.sh) "$CORE_FIPS_PYTHON" -m auditwheel ...
# Environment: CORE_FIPS_CACHE (default ~/.cache/core-fips), DEBIAN_MIRROR.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
CACHE=${CORE_FIPS_CACHE:-$HOME/.cache/core-fips}
mkdir -p "$CACHE/debs"
CACHE=$(cd "$CACHE" && pwd)
. "$HERE/lib.sh"
. "$HERE/apt-sid.sh"
LINES=$(grep -E '^auditwheel ' "$HERE/sid.lock") ||
  fail "setup/sid.lock has no auditwheel group" "restore the two auditwheel lines of setup/sid.lock"
DEST=$CACHE/auditwheel-$(echo "$LINES" | sha256sum | cut -c1-12)
SITE=$DEST/usr/lib/python3/dist-packages
if [ ! -f "$SITE/auditwheel/__main__.py" ]; then
  exec 9>"$CACHE/.lock-auditwheel"
  flock 9
  if [ ! -f "$SITE/auditwheel/__main__.py" ]; then
    tmp=$DEST.tmp.$$
    rm -rf "$DEST".tmp.*
    mkdir -p "$tmp"
    while read -r _ p v sum path; do
      f=$CACHE/debs/$(basename "$path")
      if [ ! -f "$f" ] || [ "$(sha256sum "$f" | cut -d' ' -f1)" != "$sum" ]; then
        sid_apt_update
        rm -rf "$CACHE/debs/partial-aw" && mkdir -p "$CACHE/debs/partial-aw"
        (cd "$CACHE/debs/partial-aw" && apt-get "${SID_APT_OPTS[@]}" -qq download "$p=$v") >>"$CACHE/debs/download.log" 2>&1 ||
          fail "download of $p $v from Debian unstable failed (see $CACHE/debs/download.log)" "check network access; if the version left the archive, re-pin the auditwheel group of setup/sid.lock"
        mv "$CACHE"/debs/partial-aw/*.deb "$f"
        rm -rf "$CACHE/debs/partial-aw"
        [ "$(sha256sum "$f" | cut -d' ' -f1)" = "$sum" ] ||
          { rm -f "$f"; fail "checksum mismatch for $(basename "$f")" "the archive served other bytes than pinned in setup/sid.lock; rerun, or re-pin deliberately"; }
      fi
      dpkg-deb -x "$f" "$tmp"
    done <<<"$LINES"
    mv "$tmp" "$DEST"
  fi
fi
echo "$SITE"
