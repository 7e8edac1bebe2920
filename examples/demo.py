"""A tour of _core_fips: an upload hashed chunk by chunk, the download verified against its token,
the file sealed for the holder of an RSA key and, by approved services only, for the holder of an
ML-KEM-1024 key, each recipient opening it without _core_fips; then which envelope is made of
approved services, under the library this module carries (read from the SBOM's inventory).

    demo.py [--peers DIR] [--awslc-prefix DIR]

--peers: a folder with bin/openssl (OpenSSL 3.5 or later) and bin/python3 (pyca/cryptography), the
ML-KEM recipient (setup/lib-peers.sh); otherwise the system's openssl and /usr/bin/python3.
--awslc-prefix: where AWS-LC was built, for a module run from a build tree (an installed wheel's
SBOM says the same).
"""
import argparse
import ctypes
import importlib.metadata
import json
import mmap
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import _core_fips

HERE = Path(__file__).resolve().parent
CHUNK = 1 << 20
SIZE = 64 << 20


def step(title):
    print(f"\n== {title}")
    return time.perf_counter()


def took(t0):
    return f"{(time.perf_counter() - t0) * 1000:.1f} ms"


def library_version():
    """The loaded library's own version text, "AWS-LC FIPS X.Y.Z": Debian's AWS-LC built with
    FIPS=1 (no certificate), or AWS-LC-FIPS (docs/guide.md says when that is the validated module).
    Its symbols carry the build's prefix, read from the library's own names."""
    libs = Path(_core_fips.__file__).parent / "core_fips.libs"
    path = next(libs.glob("libcrypto*"))
    prefix = re.search(rb"\0(core_fips_awslc_\w+?)_awslc_version_string\0", path.read_bytes()).group(1)
    version = getattr(ctypes.CDLL(str(path)), prefix.decode() + "_awslc_version_string")
    version.restype = ctypes.c_char_p
    return version().decode()


def inventory(awslc_prefix, library=None):
    """{asset name: (certification level, the Security Policy's words)} for the loaded library: an
    installed wheel's SBOM, or, for a build tree, what setup/sbom.py writes for its library."""
    try:
        sbom = next(f for f in importlib.metadata.distribution("core-fips").files or ()
                    if f.name == "core_fips.cdx.json")
        bom = json.loads(sbom.read_text())
    except (importlib.metadata.PackageNotFoundError, StopIteration):
        if awslc_prefix is None:
            return None
        sys.path.insert(0, str(HERE.parent / "setup"))
        import awslc_record
        import cbom
        import pins
        import sbom as writer
        if library is None:
            library = next((Path(_core_fips.__file__).parent / "core_fips.libs").glob("libcrypto*"))
        p = pins.load()
        # A checkout's AWS-LC was built by the setup, not verified and compiled by this build: at
        # most "built elsewhere", never the certificate.
        claim = awslc_record.DEBIAN_PACKAGE if Path(library).name == p["DEBIAN_AWSLC_LIBRARY"] else awslc_record.ELSEWHERE
        awslc = writer.awslc_component(p, library, awslc_prefix, claim,
                                       awslc_record.checked_library(awslc_prefix, library))
        bom = {"components": [awslc, *cbom.assets(any(r["type"] == "certification-report"
                                                      for r in awslc.get("externalReferences", [])))]}
    out = {}
    for c in bom["components"]:
        if c["type"] == "cryptographic-asset":
            said = {p["name"]: p["value"] for p in c.get("properties", [])}
            out[c["name"]] = (c["cryptoProperties"]["algorithmProperties"]["certificationLevel"][0],
                              said.get("core-fips:security-policy", ""))
        elif c.get("bom-ref") == "aws-lc":
            out["library"] = c.get("description", "")
    return out


def approved_paths(assets):
    """Which envelope is made of approved services, under this library."""
    step(f"which envelope is made of approved services, under {library_version()}")
    if assets is None:
        print("no SBOM for this module and no --awslc-prefix: its certification is unknown here")
        return
    print(f"the library: {assets['library']}")
    for what, names in (("encrypt (RSA envelope)", ("RSA-OAEP-SHA-256-MGF1-SHA-256", "AES-256-GCM", "CTR_DRBG-AES-256")),
                        ("encrypt_mlkem (ML-KEM-1024 envelope)", ("ML-KEM-1024", "AES-256-GCM"))):
        levels = {n: assets[n][0] for n in names}
        verdict = ("not an approved service as a whole: its RSA-OAEP key wrap is not an approved service under any validated AWS-LC module"
                   if "RSA-OAEP-SHA-256-MGF1-SHA-256" in names
                   else "every step an approved service of the validated module" if set(levels.values()) == {"fips140-3-l1"}
                   else "every step approved by the validated module's Security Policy, but no certificate covers "
                        "this library: not approved here")
        print(f"{what}: {verdict}")
        for n in names:
            print(f"    {n}: {levels[n]}; Security Policy: {assets[n][1]}")


def mlkem_tools(peers):
    """(openssl, python) that open an ML-KEM envelope, or None: DIR's, else the system's."""
    for openssl, python in (((f"{peers}/bin/openssl", f"{peers}/bin/python3"),) if peers else ()) + (("openssl", "/usr/bin/python3"),):
        try:
            kems = subprocess.run([openssl, "list", "-kem-algorithms"], capture_output=True, text=True).stdout
        except OSError:
            continue
        if "ML-KEM-1024" in kems:
            return openssl, python
    return None


# The openssl command decapsulates; AES-GCM, which it does not offer, is pyca's.
OPEN_REST = """
import sys
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
key, rest = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
sys.stdout.buffer.write(AESGCM(key).decrypt(rest[:12], rest[12:], None))
"""


def mlkem_envelope(tmp, data, tools):
    """DATA sealed with encrypt_mlkem for a key openssl makes, opened by openssl and pyca's AESGCM."""
    if tools is None:
        step("ML-KEM-1024: skipped, no openssl here knows ML-KEM (OpenSSL 3.5 or later; tools/demo passes the setup's)")
        return True
    openssl, python = tools
    t0 = step("seal the same file with encrypt_mlkem for a fresh ML-KEM-1024 key (openssl genpkey)")
    private = tmp / "mlkem.pem"
    subprocess.run([openssl, "genpkey", "-algorithm", "ML-KEM-1024", "-out", private], check=True, capture_output=True)
    public = subprocess.run([openssl, "pkey", "-in", private, "-pubout"], check=True, capture_output=True).stdout
    print(f"key made ({took(t0)})")
    t0 = time.perf_counter()
    envelope = _core_fips.encrypt_mlkem(public, data)
    c = int.from_bytes(envelope[:2], "big")
    print(f"envelope: {len(envelope)} bytes = 30 + {c} + {len(data)} ({took(t0)})")
    t0 = step("the recipient opens it: openssl pkeyutl -decap, then pyca/cryptography's AESGCM")
    (tmp / "kem-ciphertext.bin").write_bytes(envelope[2:2 + c])
    (tmp / "sealed.bin").write_bytes(envelope[2 + c:])
    decap = subprocess.run([openssl, "pkeyutl", "-decap", "-inkey", private, "-in", tmp / "kem-ciphertext.bin",
                            "-secret", tmp / "secret.bin"], capture_output=True)
    opened = decap.returncode == 0 and subprocess.run([python, "-c", OPEN_REST, tmp / "secret.bin", tmp / "sealed.bin"],
                                                      capture_output=True)
    if not opened or opened.returncode != 0:
        print((opened or decap).stderr.decode(), file=sys.stderr)
        return False
    print(f"recipient got {len(opened.stdout)} bytes, identical: {opened.stdout == data} ({took(t0)})")
    return opened.stdout == data


def main(argv=None):
    ap = argparse.ArgumentParser(prog="demo.py")
    ap.add_argument("--peers", help="a folder with bin/openssl and bin/python3 that know ML-KEM")
    ap.add_argument("--awslc-prefix", type=Path, help="where AWS-LC was built (a build tree's module)")
    args = ap.parse_args(argv)
    print(f"Python {sys.version.split()[0]}, {library_version()}, fips_check() = {_core_fips.fips_check()}")
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        upload = tmp / "upload.bin"
        upload.write_bytes(os.urandom(SIZE))

        t0 = step(f"upload: hash {SIZE >> 20} MiB in {CHUNK >> 20} MiB chunks through mmap")
        hasher = _core_fips.Hasher()
        with open(upload, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
            view = memoryview(mm)
            for at in range(0, len(view), CHUNK):
                hasher.update(view[at:at + CHUNK])
            view.release()
        token = hasher.finalize()
        print(f"token.sha  = {token.sha}\ntoken.salt = {token.salt}   ({took(t0)})")

        t0 = step("download: verify chunk by chunk against the stored token")
        verifier = _core_fips.VerifyingHasher(token.sha, token.salt)
        with open(upload, "rb") as f:
            while chunk := f.read(CHUNK):
                verifier.update(chunk)
        verifier.finalize()
        print(f"content matches its token ({took(t0)})")

        step("a download with one flipped bit is caught")
        data = upload.read_bytes()
        corrupted = bytearray(data)
        corrupted[12345] ^= 1
        t0 = time.perf_counter()
        print(f"compare_hash -> {_core_fips.compare_hash(token.sha, token.salt, corrupted)} "
              f"({took(t0)})")

        t0 = step("seal the file for the holder of a fresh RSA-3072 key (openssl genrsa)")
        private = tmp / "recipient.pem"
        subprocess.run(["openssl", "genrsa", "-out", str(private), "3072"], check=True,
                       capture_output=True)
        public = subprocess.run(["openssl", "rsa", "-in", str(private), "-RSAPublicKey_out"],
                                check=True, capture_output=True).stdout
        print(f"key made ({took(t0)})")
        t0 = time.perf_counter()
        envelope = _core_fips.encrypt(public, data)
        print(f"envelope: {len(envelope)} bytes = 30 + 384 + {len(data)} ({took(t0)})")

        t0 = step("the recipient opens it with pyca/cryptography (examples/recipient.py)")
        opened = subprocess.run(["/usr/bin/python3", str(HERE / "recipient.py"), str(private)],
                                input=envelope, capture_output=True)
        if opened.returncode != 0:
            print(opened.stderr.decode(), file=sys.stderr)
            return 1
        print(f"recipient got {len(opened.stdout)} bytes, identical: {opened.stdout == data} "
              f"({took(t0)})")
        if not mlkem_envelope(tmp, data, mlkem_tools(args.peers)):
            return 1
    approved_paths(inventory(args.awslc_prefix))
    return 0


if __name__ == "__main__":
    sys.exit(main())
