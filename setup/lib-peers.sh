# shellcheck shell=bash
# setup/lib.sh's ML-KEM recipients for the tests, from Debian unstable (group peers of
# setup/sid.lock): OpenSSL 3.6's command and pyca/cryptography 49, both run on the libraries and
# the interpreter of the project's CPython 3.14 root (unstable's glibc and libssl3t64), never
# installed. A folder of the cache holding two commands:
#   bin/openssl   OpenSSL 3.6.5 (genpkey -algorithm ML-KEM-1024, pkeyutl -decap, ...)
#   bin/python3   CPython 3.14 with pyca/cryptography 49 and nothing else on its path (the
#                 caller's PYTHONPATH is replaced, so _core_fips is never importable there)

# peers_root TMP DEST PYTHON: the locked debs unpacked into TMP (to be renamed DEST), the two
# commands written for DEST and checked where they lie.
peers_root() {
  local tmp=$1 dest=$2 python=$3 pyroot lib f
  pyroot=${python%/usr/bin/*} lib=${python%/usr/bin/*}/usr/lib/x86_64-linux-gnu
  fetch_debs peers
  for f in "${FETCHED[@]}"; do dpkg-deb -x "$f" "$tmp"; done
  mkdir -p "$tmp/bin"
  cat >"$tmp/bin/openssl" <<SH
#!/bin/sh
# OpenSSL 3.6 from Debian unstable on the libraries of $pyroot (setup/lib-peers.sh).
exec env OPENSSL_CONF=$dest/etc/ssl/openssl.cnf OPENSSL_MODULES=$lib/ossl-modules $lib/ld-linux-x86-64.so.2 --library-path $lib $dest/usr/bin/openssl "\$@"
SH
  cat >"$tmp/bin/python3" <<SH
#!/bin/sh
# CPython 3.14 with pyca/cryptography 49 from Debian unstable, alone on its path, whatever interpreter settings its caller runs under (PYTHON_GIL=0 would stop this GIL build) (setup/lib-peers.sh).
exec env -u PYTHONHOME -u PYTHON_GIL PYTHONPATH=$dest/usr/lib/python3/dist-packages PYTHONSAFEPATH=1 PYTHONDONTWRITEBYTECODE=1 $python "\$@"
SH
  chmod +x "$tmp/bin/openssl" "$tmp/bin/python3"
  OPENSSL_CONF=$tmp/etc/ssl/openssl.cnf "$lib/ld-linux-x86-64.so.2" --library-path "$lib" "$tmp/usr/bin/openssl" list -kem-algorithms |
    grep -q ML-KEM-1024 || fail "unstable's openssl does not list ML-KEM-1024 among its KEMs" "check the peers group of setup/sid.lock"
  env -u PYTHONHOME PYTHONPATH="$tmp/usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 "$python" -c '
import cryptography
from cryptography.hazmat.primitives.asymmetric import mlkem
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
key = mlkem.MLKEM768PrivateKey.generate()
secret, ciphertext = key.public_key().encapsulate()
assert key.decapsulate(ciphertext) == secret and cryptography.__version__.startswith("49."), cryptography.__version__
print(f"pyca/cryptography {cryptography.__version__} with ML-KEM imports")' >&2 ||
    fail "unstable's pyca/cryptography does not run ML-KEM under $python" "the error is above; check the peers group of setup/sid.lock"
}

# peers_ready PYTHON: CORE_FIPS_PEERS, the folder, made first when missing.
peers_ready() {
  local dest
  dest=$CACHE/peers-$({ grep -E '^peers ' "$SETUP_DIR/sid.lock"; echo "$1"; declare -f peers_root; } | key_of -)
  [ -x "$dest/bin/python3" ] || say "unpacking the ML-KEM recipients (OpenSSL 3.6, pyca/cryptography 49) into $dest"
  cache_product "$dest" bin/python3 peers_root "$1"
  # shellcheck disable=SC2034  # read by setup/deps.sh
  CORE_FIPS_PEERS=$dest
}
