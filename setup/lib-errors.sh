# shellcheck shell=bash
# setup/lib.sh's progress and error lines, and its report of a command failing unhandled.

say() { printf '[setup %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# fail WHAT [HOW]: the one error line (what failed, then how to fix it or where the log is), named
# after the script that runs (setup/deps.sh, tools/test, ...), and exit 1. error_line prints the same
# line for a failure that lets the run go on to its summary. Inside a subshell fail exits with
# FAIL_SAID, so that the failure it has reported is not reported again by the shell around it.
FAIL_SAID=97
error_line() {
  local who=$0
  case "$who" in */*) who=${who%/*} && who=${who##*/}/${0##*/} ;; esac
  printf '%s: ERROR: %s%s%s\n' "$who" "$1" "${FAIL_WHILE:+, while $FAIL_WHILE}" "${2:+ — $2}" >&2
}
fail() {
  error_line "$@"
  exit_failed
}
exit_failed() {
  [ "$BASH_SUBSHELL" = 0 ] && exit 1
  exit "$FAIL_SAID"
}

# fail_loudly: set -e in functions and command substitutions too, and one line for the first command
# that fails without a handler of its own, however deep in subshells it ran.
fail_loudly() {
  set -eEuo pipefail
  shopt -s inherit_errexit
  trap 'unhandled_failure $? "$LINENO" "${BASH_SOURCE[0]:-$0}" "$BASH_COMMAND"' ERR
}
unhandled_failure() {
  [[ $- == *e* ]] || return 0 # a region that checks statuses itself (set +e)
  [ "$1" != "$FAIL_SAID" ] || exit_failed
  fail "\`$4\` failed with exit $1 (${3##*/} line $2)" "rerun as bash -x $0 to trace it"
}
