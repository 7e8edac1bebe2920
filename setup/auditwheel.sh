#!/usr/bin/env bash
# Prints a folder from which auditwheel imports: Debian unstable's python3-auditwheel and
# python3-pyelftools (group "auditwheel" of setup/sid.lock, version and SHA-256 pinned), unpacked
# into the cache, never installed. Run it with the project's CPython 3.14 (packaging comes from
# its pydeps): PYTHONPATH=$(setup/auditwheel.sh) "$CORE_FIPS_PYTHON" -m auditwheel ...
# Environment: CORE_FIPS_CACHE (default ~/.cache/core-fips), DEBIAN_MIRROR.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=setup/lib.sh
. "$HERE/lib.sh"
fail_loudly
cache_init
# unpack TMP DEST: the group's debs, unpacked.
unpack() {
  local d
  fetch_debs auditwheel
  for d in "${FETCHED[@]}"; do dpkg-deb -x "$d" "$1"; done
}
DEST=$CACHE/auditwheel-$(grep -E '^auditwheel ' "$HERE/sid.lock" | key_of -)
cache_product "$DEST" usr/lib/python3/dist-packages/auditwheel/__main__.py unpack
echo "$DEST/usr/lib/python3/dist-packages"
