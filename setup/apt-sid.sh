# shellcheck shell=bash
# Private apt configurations for Debian unstable (sid), one per architecture: download only, never
# installs into the system and never touches /etc/apt. Sourced by setup/lib.sh; needs CACHE set.

# sid_apt_init [ARCH [DIR]]: SID_APT (the state's folder), SID_APT_OPTS (apt's options) and
# SID_MIRROR for ARCH: host (the default) or arm64, whose indexes are kept apart from the host's;
# DIR, a state folder of the caller's own instead (the roots' lock keeps one per suite).
sid_apt_init() {
  local arch=${1:-host} dir=${2:-} only=
  # The format's $(...) are apt's fields, not the shell's. Failing here is fine: the check below
  # says what to do.
  # shellcheck disable=SC2016
  SID_MIRROR=${DEBIAN_MIRROR:-$(apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
    awk '$2=="bookworm"{print $1; exit}' || true)}
  if [ -z "$SID_MIRROR" ]; then # deb822 sources
    SID_MIRROR=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  fi
  [ -n "$SID_MIRROR" ] || fail "cannot tell the Debian mirror from the system's apt sources" "set DEBIAN_MIRROR=<archive URI>"
  SID_APT=$CACHE/apt-sid
  [ "$arch" = host ] || { SID_APT=$CACHE/apt-sid-$arch && only="arch=$arch "; }
  [ -z "$dir" ] || SID_APT=$dir
  mkdir -p "$SID_APT/lists/partial" "$SID_APT/cache/archives/partial"
  echo "deb [${only}signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $SID_MIRROR sid main" >"$SID_APT/sources.list"
  [ -f "$SID_APT/status" ] || : >"$SID_APT/status"
  SID_APT_OPTS=(-o "Dir::Etc::sourcelist=$SID_APT/sources.list" -o Dir::Etc::sourceparts=-
    -o "Dir::State::Lists=$SID_APT/lists" -o "Dir::Cache=$SID_APT/cache"
    -o "Dir::State::status=$SID_APT/status" -o APT::Sandbox::User=root
    -o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false
    -o Acquire::Languages=none -o Acquire::IndexTargets::deb::Contents-deb::DefaultEnabled=false)
  [ "$arch" = host ] || SID_APT_OPTS+=(-o "APT::Architecture=$arch" -o "APT::Architectures=$arch")
}

# sid_apt_update [ARCH]: sid_apt_init, and the indexes of ARCH fetched once per run.
sid_apt_update() {
  local arch=${1:-host}
  sid_apt_init "$arch"
  [[ " ${SID_APT_UPDATED:-} " != *" $arch "* ]] || return 0
  apt-get "${SID_APT_OPTS[@]}" -qq update >"$SID_APT/update.log" 2>&1 ||
    fail "apt-get update of the private sid list ($arch) failed (see $SID_APT/update.log)" "check network access to the Debian archive, then rerun"
  SID_APT_UPDATED="${SID_APT_UPDATED:-} $arch"
}
