# shellcheck shell=bash
# setup/lib.sh's host packages, from the system's own (bookworm) archive.

# ensure_host_packages LOG-NAME PKG...: installs the packages that are missing, only those.
ensure_host_packages() {
  local log=$CACHE/$1 p missing=()
  shift
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" = 0 ] || fail "missing host packages: ${missing[*]}" "install them with apt-get (as root), then rerun"
  say "installing host packages from the system's archive: ${missing[*]}"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
    >"$log" 2>&1 || fail "apt-get install ${missing[*]} failed (see $log)" "check the system's apt sources and network"
}
