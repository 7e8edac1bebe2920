"""A tour of _core_fips: an upload hashed chunk by chunk, the download verified against its token,
the file sealed for the holder of an RSA key, and the recipient opening it without _core_fips."""
import ctypes
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


def main():
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
