# shellcheck shell=bash
# Shared by the setup scripts and the tools: progress and error lines, a last-resort report for a
# command that fails where no handler expected it, and host packages from the system's own
# (bookworm) archive. Sourced; needs CACHE set before ensure_host_packages is called.
say() { printf '[setup %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# fail WHAT [HOW]: the one error line (what failed, then how to fix it or where the log is), named
# after the script that runs (setup/deps.sh, tools/test, ...), and exit 1. error_line prints the same
# line for a failure that lets the run go on to its summary.
error_line() {
  local who=$0
  case "$who" in */*) who=${who%/*} && who=${who##*/}/${0##*/} ;; esac
  printf '%s: ERROR: %s%s\n' "$who" "$1" "${2:+ — $2}" >&2
}
fail() {
  error_line "$@"
  exit 1
}

# fail_loudly: set -e in functions and command substitutions too, and a line for any command that
# ends the script without a handler of its own saying why. Inside a subshell (a command
# substitution) it stays quiet: the command around the subshell fails in turn and says it once.
fail_loudly() {
  set -eEuo pipefail
  shopt -s inherit_errexit
  trap 'unhandled_failure $? "$LINENO" "${BASH_SOURCE[0]:-$0}" "$BASH_COMMAND"' ERR
}
unhandled_failure() {
  [ "$BASH_SUBSHELL" = 0 ] || return 0
  fail "\`$4\` failed with exit $1 (${3##*/} line $2), unhandled" "rerun as bash -x $0 to trace it"
}

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
