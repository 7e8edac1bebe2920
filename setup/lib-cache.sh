# shellcheck shell=bash
# setup/lib.sh's cache: its folder, keys, and products built aside and renamed when checked.

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
      # shellcheck disable=SC2034  # read by error_line (setup/lib-errors.sh)
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
