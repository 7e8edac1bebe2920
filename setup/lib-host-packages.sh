# shellcheck shell=bash
# setup/lib.sh's host packages, from the system's own (bookworm) archive.

# How long each apt-get of the set-up waits for a lock another apt holds, in seconds: on a fresh
# cloud machine unattended-upgrades holds them for minutes after boot, just when the README's first
# command runs.
APT_LOCK_WAIT_SECONDS=300
# Between two tries of apt-get update, whose lists lock apt itself does not wait for.
APT_UPDATE_RETRY_SECONDS=5

# apt_lock_files: the lists lock apt-get update takes, then the two dpkg locks apt-get install
# takes (lock-frontend, then dpkg's own), where apt's configuration puts them.
apt_lock_files() {
  local STATUS LISTS
  eval "$(apt-config shell STATUS Dir::State::status/f LISTS Dir::State::lists/d)"
  printf '%s\n' "${LISTS%/}/lock" "${STATUS%/*}/lock-frontend" "${STATUS%/*}/lock"
}

# apt_lock_holder LOCK...: "LOCK, held by pid PID (COMMAND)" for the first LOCK a process holds
# (/proc/locks, which names a file by device and inode), else nothing.
apt_lock_holder() {
  local lock dev ino id pid comm
  for lock in "$@"; do
    [ -e "$lock" ] || continue
    read -r dev ino < <(stat -L -c '%d %i' "$lock")
    # MAJOR:MINOR:INODE, the device numbers in hex; lines with "->" are waiters, not holders.
    id=$(printf '%02x:%02x:%s' $(((dev >> 8) & 0xfff)) $(((dev & 0xff) | ((dev >> 12) & 0xfff00))) "$ino")
    pid=$(awk -v id="$id" '$2 != "->" && $6 == id { print $5; exit }' /proc/locks)
    [ -n "$pid" ] || continue
    comm=$(cat "/proc/$pid/comm" 2>/dev/null) || comm="gone since"
    echo "$lock, held by pid $pid ($comm)"
    return 0
  done
}

# apt_get_waiting LOG LOCK... -- ARGS...: apt-get ARGS, its output appended to LOG, waiting up to
# APT_LOCK_WAIT_SECONDS for the LOCKs another process holds, and saying once that it waits and for
# whom. apt-get waits for the dpkg locks itself (DPkg::Lock::Timeout); apt-get update does not wait
# for its lists lock, so it is tried again until that time has passed. Past the wait, one line names
# the lock and its holder.
apt_get_waiting() {
  local log=$1 locks=() holder refusal said='' deadline status out
  shift
  while [ "$1" != -- ]; do
    locks+=("$1")
    shift
  done
  shift
  deadline=$((SECONDS + APT_LOCK_WAIT_SECONDS))
  while :; do
    holder=$(apt_lock_holder "${locks[@]}")
    if [ -n "$holder" ] && [ -z "$said" ]; then
      say "apt-get $1 waits up to $APT_LOCK_WAIT_SECONDS s for $holder"
      said=1
    fi
    status=0
    out=$(DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout="$APT_LOCK_WAIT_SECONDS" "$@" 2>&1) ||
      status=$?
    printf '%s\n' "$out" >>"$log"
    [ $status != 0 ] || return 0
    # apt's words for a held lock: "Could not get lock FILE. It is held by process PID (NAME)" at
    # once, "Unable to acquire the dpkg frontend lock (FILE), ..." after its own wait.
    refusal=$(grep -m1 -E '^E: (Could not get lock|Unable to (acquire|lock))' <<<"$out") || return $status
    holder=$(apt_lock_holder "${locks[@]}")
    [ -n "$holder" ] || holder="apt names: ${refusal#E: }"
    if [ "$1" != update ] || [ $SECONDS -ge "$deadline" ]; then
      fail "apt-get $1 waited $APT_LOCK_WAIT_SECONDS s (APT_LOCK_WAIT_SECONDS) for the lock $holder" \
        "let that process finish (or stop it), then rerun"
    fi
    if [ -z "$said" ]; then
      say "apt-get $1 waits up to $APT_LOCK_WAIT_SECONDS s for the lock $holder"
      said=1
    fi
    sleep "$APT_UPDATE_RETRY_SECONDS"
  done
}

# ensure_host_packages LOG-NAME PKG...: installs the packages that are missing, only those.
ensure_host_packages() {
  local log=$CACHE/$1 p status missing=() locks=()
  shift
  for p in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) || true
    grep -q 'install ok installed' <<<"$status" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" = 0 ] || fail "missing host packages: ${missing[*]}" "install them with apt-get (as root), then rerun"
  say "installing host packages from the system's archive: ${missing[*]}"
  mapfile -t locks < <(apt_lock_files)
  [ ${#locks[@]} = 3 ] || fail "apt-config does not say where apt's locks are" "check the system's apt install"
  : >"$log"
  apt_get_waiting "$log" "${locks[0]}" -- update -qq ||
    fail "apt-get update failed (see $log)" "check the system's apt sources and network"
  apt_get_waiting "$log" "${locks[@]:1}" -- install -y -qq --no-install-recommends "${missing[@]}" ||
    fail "apt-get install ${missing[*]} failed (see $log)" "check the system's apt sources and network"
}
