"""The envelope `_core_fips.encrypt` builds, built instead with pyca/cryptography: the anchor the
encrypt figures are compared with. bench/bench.py runs it under /usr/bin/python3 (Debian's Python
with its pyca/cryptography) as a separate process of the same bench run.

    pyca_envelope.py serve PUBLIC_PEM PRIVATE_PEM PLAINTEXT_FILE
        Prints one JSON line when ready, then answers each command read from stdin with one line:
          seal N CALLS     encrypt(pem, first N bytes of the file) CALLS times back to back,
                           parsing the PEM every call as encrypt(public_key_pem, plaintext) does
          sealkey N CALLS  the same with the key parsed once up front (for context)
          write N PATH     one envelope of the first N bytes, written to PATH
          open PATH        opens the envelope in PATH with the private key: sha256 of the content
        Timed answers carry the elapsed wall-clock and thread CPU nanoseconds.
    pyca_envelope.py peak PUBLIC_PEM N
        Peak resident-memory growth of one envelope of an N-byte plaintext, as one JSON line.

Layout, k the modulus length in bytes: k (2 bytes, big-endian) | RSA-OAEP(SHA-256, MGF1-SHA-256,
no label) of the AES-256 key (k bytes) | nonce (12) | AES-256-GCM ciphertext | tag (16). Given
ML-KEM keys (a pyca/cryptography that has ML-KEM), the envelope `_core_fips.encrypt_mlkem` builds:
the same layout with the ML-KEM ciphertext in the wrapped key's place and its shared secret as the
AES-256 key.
"""

import hashlib
import json
import os
import struct
import sys
import time

import cryptography
from cryptography.hazmat.backends import default_backend
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from rss import PeakMeter  # noqa: E402  (beside this file; shared with the module's children)

OAEP = padding.OAEP(mgf=padding.MGF1(algorithm=hashes.SHA256()), algorithm=hashes.SHA256(),
                    label=None)
NONCE_LENGTH = 12
TAG_LENGTH = 16


def seal_with_key(public_key, plaintext: bytes) -> bytes:
    # Key before nonce, as the module draws them; the layout is assembled the way a pyca user
    # would write it (one join of the parts).
    if hasattr(public_key, "encapsulate"):  # ML-KEM
        content_key, wrapped = public_key.encapsulate()
        nonce = os.urandom(NONCE_LENGTH)
    else:
        content_key = os.urandom(32)
        nonce = os.urandom(NONCE_LENGTH)
        wrapped = public_key.encrypt(content_key, OAEP)
    sealed = AESGCM(content_key).encrypt(nonce, plaintext, None)
    return b"".join((struct.pack(">H", len(wrapped)), wrapped, nonce, sealed))


def seal(public_key_pem: bytes, plaintext: bytes) -> bytes:
    return seal_with_key(serialization.load_pem_public_key(public_key_pem), plaintext)


def open_envelope(private_key, envelope: bytes) -> bytes:
    (k,) = struct.unpack(">H", envelope[:2])
    if len(envelope) < 2 + k + NONCE_LENGTH + TAG_LENGTH:
        raise ValueError("envelope too short")
    if hasattr(private_key, "decapsulate"):  # ML-KEM
        key = private_key.decapsulate(envelope[2:2 + k])
    else:
        key = private_key.decrypt(envelope[2:2 + k], OAEP)
    nonce = envelope[2 + k:2 + k + NONCE_LENGTH]
    return AESGCM(key).decrypt(nonce, envelope[2 + k + NONCE_LENGTH:], None)


def timed(fn, calls: int) -> dict:
    wall, cpu = time.perf_counter_ns(), time.thread_time_ns()
    for _ in range(calls):
        fn()
    return {"calls": calls, "cpu_ns": time.thread_time_ns() - cpu,
            "wall_ns": time.perf_counter_ns() - wall}


def answer(obj: dict) -> None:
    sys.stdout.write(json.dumps(obj) + "\n")
    sys.stdout.flush()


def serve(public_path: str, private_path: str, content_path: str) -> int:
    with open(public_path, "rb") as f:
        pem = f.read()
    with open(private_path, "rb") as f:
        private_key = serialization.load_pem_private_key(f.read(), password=None)
    with open(content_path, "rb") as f:
        content = f.read()
    public_key = serialization.load_pem_public_key(pem)
    answer({"ready": True, "python": sys.version.split()[0], "executable": sys.executable,
            "cryptography": cryptography.__version__,
            "openssl": default_backend().openssl_version_text(), "bytes": len(content)})
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        command, args = words[0], words[1:]
        if command in ("seal", "sealkey") and len(args) == 2:
            data = content[:int(args[0])]
            if command == "seal":
                answer(timed(lambda: seal(pem, data), int(args[1])))
            else:
                answer(timed(lambda: seal_with_key(public_key, data), int(args[1])))
        elif command == "write" and len(args) == 2:
            envelope = seal(pem, content[:int(args[0])])
            with open(args[1], "wb") as f:
                f.write(envelope)
            answer({"length": len(envelope)})
        elif command == "open" and len(args) == 1:
            with open(args[0], "rb") as f:
                envelope = f.read()
            try:
                answer({"sha256": hashlib.sha256(open_envelope(private_key, envelope)).hexdigest()})
            except Exception as e:  # the bench reports whatever refused the envelope
                answer({"error": f"{type(e).__name__}: {e}"})
        else:
            sys.exit(f"pyca_envelope: bad command: {line.strip()}")
    return 0


def peak(public_path: str, size: int) -> int:
    with open(public_path, "rb") as f:
        pem = f.read()
    seal(pem, b"warm-up")  # first-use allocations of the library are not the envelope's
    plaintext = b"\xa5" * size  # written, so every page is resident before the baseline
    meter = PeakMeter()
    envelope = seal(pem, plaintext)
    answer(meter.report() | {"result_bytes": len(envelope)})
    return 0


def main(argv: list[str]) -> int:
    if len(argv) == 5 and argv[1] == "serve":
        return serve(argv[2], argv[3], argv[4])
    if len(argv) == 4 and argv[1] == "peak":
        return peak(argv[2], int(argv[3]))
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
