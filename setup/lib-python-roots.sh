# shellcheck shell=bash
# setup/lib.sh's interpreter roots, the qemu and chroot wrappers, CPython's stable-ABI list.

# python_root_unpack TMP DEST GROUP TRIPLET: the locked debs of GROUP unpacked into TMP (to be
# renamed DEST), and the pure-Python packages (group pydeps) into TMP/pydeps, put on the
# interpreter's path by a .pth that names their final place. Debian's pyconfig.h is a shim that
# includes a multiarch path (TRIPLET) which compilers outside Debian's layout do not search: the
# real one replaces it. Debian's setuptools reads two attributes that Debian's own stdlib hook adds:
# setup/distutils_system_mod.py stands in for it.
python_root_unpack() {
  local tmp=$1 dest=$2 group=$3 triplet=$4 i inc site
  fetch_debs "$group" pydeps
  mkdir -p "$tmp/pydeps"
  for i in "${!FETCHED[@]}"; do
    dpkg-deb -x "${FETCHED[i]}" "$tmp/$([ "${FETCHED_GROUP[i]}" != pydeps ] || echo pydeps)"
  done
  for inc in "$tmp/usr/include/$triplet"/python3.14*; do
    cp -f "$inc/pyconfig.h" "$tmp/usr/include/${inc##*/}/pyconfig.h"
  done
  cp "$SETUP_DIR/distutils_system_mod.py" "$tmp/pydeps/usr/lib/python3/dist-packages/_distutils_system_mod.py"
  site=$tmp/usr/local/lib/python3.14/dist-packages
  mkdir -p "$site"
  echo "import site; site.addsitedir('$dest/pydeps/usr/lib/python3/dist-packages')" >"$site/zz-core-fips-pydeps.pth"
}

# python_root_check TMP RUNNER...: the unpacked interpreter, run where it lies by RUNNER (its own
# loader, or qemu), imports what the project needs from the stdlib and from TMP/pydeps.
python_root_check() {
  local tmp=$1
  shift
  env -u PYTHONHOME PYTHONDONTWRITEBYTECODE=1 PYTHONPATH="$tmp/pydeps/usr/lib/python3/dist-packages" "$@" -c '
import ctypes, platform, ssl, sys, pytest, hypothesis
assert sys.version_info[:2] == (3, 14), sys.version
print(f"{platform.machine()} python {sys.version.split()[0]}, ssl, ctypes, pytest and hypothesis import")' >&2 ||
    fail "the unpacked interpreter does not run or lacks a module" "the error is above; run setup/make-lock.sh if a package is missing"
}

# python_root_key GROUP BUILDER...: the key of a python root: its locked packages, the stand-in
# module, and the text of the functions that make it.
python_root_key() {
  local group=$1
  shift
  { grep -E "^($group|pydeps) " "$SETUP_DIR/sid.lock"; declare -f python_root_unpack "$@"; } |
    key_of - "$SETUP_DIR/distutils_system_mod.py"
}

# qemu_wrapper FILE ROOT [PROGRAM]: FILE runs aarch64 programs under qemu-user with ROOT's loader
# and libraries first (-L); or, given PROGRAM, is that program, with argv[0] FILE (or a venv's link
# to it) so that sys.executable starts children the same way. The CPU is the caller's choice
# (CORE_FIPS_QEMU_CPU; by default "max" with pointer authentication off, which qemu emulates in
# software, several times slower); further qemu options in CORE_FIPS_QEMU_OPTS.
qemu_wrapper() {
  local run=
  [ -z "${3:-}" ] || run="-0 \"\$0\" $3"
  cat >"$1" <<SH
#!/bin/sh
# ${3:-Any aarch64 program} under qemu-user, the libraries of $2 first (setup/lib.sh, qemu_wrapper).
exec qemu-aarch64-static -cpu "\${CORE_FIPS_QEMU_CPU:-max,pauth=off}" -L $2 \${CORE_FIPS_QEMU_OPTS:-} $run "\$@"
SH
  chmod +x "$1"
}

# chroot_wrappers DIR VIEW PREFIX TOOL...: DIR/PREFIX-TOOL runs the root's /usr/bin/PREFIX-TOOL
# chrooted into the root mounted at VIEW, in the caller's folder (the same path inside the root).
chroot_wrappers() {
  local dir=$1 view=$2 prefix=$3 tool
  shift 3
  mkdir -p "$dir"
  for tool in "$@"; do
    cat >"$dir/$prefix$tool" <<SH
#!/bin/sh
# $prefix$tool of the root mounted at $view, run there in the caller's folder.
exec /usr/sbin/chroot $view /usr/bin/env -i PATH=/usr/bin:/bin LANG=C.UTF-8 /bin/sh -c 'cd "\$0" && exec "\$@"' "\$PWD" /usr/bin/$prefix$tool "\$@"
SH
    chmod +x "$dir/$prefix$tool"
  done
}

# stable_abi_toml DIR: prints DIR/stable_abi.toml, CPython's list of the stable ABI and the version
# each item joined it (Misc/stable_abi.toml of the pinned source setup/python-ft.sh builds 3.13t
# from), extracted once.
stable_abi_toml() {
  local toml=$1/stable_abi.toml pin ver sum pool tarball
  if [ ! -s "$toml" ]; then
    pin=$(grep -E '^ft-source ' "$SETUP_DIR/python-ft.lock") ||
      fail "no ft-source pin in setup/python-ft.lock" "run setup/python-ft.sh --lock"
    read -r _ _ ver sum pool <<<"$pin"
    # shellcheck source=/dev/null  # python-ft.sh sources this file; only its fetch is used, in a subshell
    tarball=$(. "$SETUP_DIR/python-ft.sh" && ft_fetch_source "$ver" "$sum" "$pool")
    mkdir -p "$1"
    tar -xJOf "$tarball" --wildcards '*/Misc/stable_abi.toml' >"$toml.tmp" ||
      fail "no Misc/stable_abi.toml in $tarball" "check the pinned CPython source"
    mv "$toml.tmp" "$toml"
  fi
  echo "$toml"
}
