# shellcheck shell=bash
# Private apt configuration for Debian unstable (sid): download only, never installs into the
# system and never touches /etc/apt. Sourced by the other setup scripts; needs CACHE set.
SID_APT=$CACHE/apt-sid
sid_apt_init() {
  local mirror
  # The format's $(...) are apt's fields, not the shell's. Failing here is fine: the check below
  # says what to do.
  # shellcheck disable=SC2016
  mirror=${DEBIAN_MIRROR:-$(apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
    awk '$2=="bookworm"{print $1; exit}' || true)}
  if [ -z "$mirror" ]; then # deb822 sources
    mirror=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  fi
  [ -n "$mirror" ] || fail "cannot tell the Debian mirror from the system's apt sources" "set DEBIAN_MIRROR=<archive URI>"
  mkdir -p "$SID_APT/lists/partial" "$SID_APT/cache/archives/partial"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror sid main" >"$SID_APT/sources.list"
  [ -f "$SID_APT/status" ] || : >"$SID_APT/status"
  SID_APT_OPTS=(-o "Dir::Etc::sourcelist=$SID_APT/sources.list" -o Dir::Etc::sourceparts=-
    -o "Dir::State::Lists=$SID_APT/lists" -o "Dir::Cache=$SID_APT/cache"
    -o "Dir::State::status=$SID_APT/status" -o APT::Sandbox::User=root
    -o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false
    -o Acquire::Languages=none -o Acquire::IndexTargets::deb::Contents-deb::DefaultEnabled=false)
}
sid_apt_update() {
  [ -n "${SID_APT_UPDATED:-}" ] && return 0
  sid_apt_init
  apt-get "${SID_APT_OPTS[@]}" -qq update >"$SID_APT/update.log" 2>&1 ||
    fail "apt-get update of the private sid list failed (see $SID_APT/update.log)" "check network access to the Debian archive, then rerun"
  SID_APT_UPDATED=1
}
