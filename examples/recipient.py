#!/usr/bin/env python3
"""Opens an envelope made by `_core_fips.encrypt` or `_core_fips.encrypt_mlkem`, as its recipient
would: with pyca/cryptography and the RSA or ML-KEM private key, without _core_fips. (ML-KEM needs
a pyca/cryptography that has it, such as 49, and the key in the seed-only PKCS #8 form.)

    python3 recipient.py PRIVATE_KEY.pem < envelope.bin > plaintext

It exits with status 1 and one line on stderr when it refuses the envelope or cannot read the
private key (KeyRefused, a ValueError, which names the cure when the key is ML-KEM). An altered envelope is
refused with one of two exception classes, so a caller of open_envelope catches both:
ValueError (a malformed envelope, or an altered length field or wrapped key: the RSA-OAEP step
fails first) and cryptography.exceptions.InvalidTag (an altered nonce, ciphertext or tag; with
ML-KEM, an altered KEM ciphertext too: decapsulation then gives another secret).

The envelope is, with k the RSA modulus length in bytes, or the ML-KEM ciphertext's (1088 for
ML-KEM-768, 1568 for ML-KEM-1024):

    offset 0        2 bytes   k, big-endian
    offset 2        k bytes   the AES-256 key, wrapped with RSA-OAEP (SHA-256, MGF1-SHA-256, no label);
                              or the ML-KEM ciphertext, whose shared secret is the AES-256 key
    offset 2+k      12 bytes  the AES-GCM nonce
    offset 14+k     n bytes   the AES-256-GCM ciphertext
    last            16 bytes  the GCM tag (no associated data)
"""
import base64
import binascii
import struct
import sys

from cryptography.exceptions import InvalidTag, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

NONCE_LENGTH = 12
TAG_LENGTH = 16
# 2.16.840.1.101.3.4.4 (NIST's KEM arc) as a DER OID's start: the key info names ML-KEM.
MLKEM_OID_START = bytes.fromhex("06096086480165030404")


class KeyRefused(ValueError):
    """The private key could not be read: the key's fault, not the envelope's."""


def _names_mlkem(private_key_pem: bytes) -> bool:
    body = b"".join(line for line in private_key_pem.splitlines() if not line.startswith(b"-----"))
    try:
        return MLKEM_OID_START in base64.b64decode(body)
    except (binascii.Error, ValueError):
        return False


def load_private_key(private_key_pem: bytes):
    """The key, or KeyRefused saying why. OpenSSL writes an ML-KEM key with its seed and its
    expanded form together by default; pyca/cryptography reads only the seed-only PKCS #8 form."""
    try:
        return serialization.load_pem_private_key(private_key_pem, password=None)
    except (ValueError, TypeError, UnsupportedAlgorithm) as e:
        why = f"{type(e).__name__} {str(e)!r}"
        if _names_mlkem(private_key_pem):
            try:
                from cryptography.hazmat.primitives.asymmetric import mlkem  # noqa: F401
            except ImportError:
                raise KeyRefused(f"an ML-KEM key, and this pyca/cryptography has no ML-KEM "
                                 f"(49 has it): {why}") from e
            raise KeyRefused(f"an ML-KEM key, not in the seed-only PKCS #8 form pyca/cryptography "
                             f"reads ({why}); convert it: openssl pkey -in KEY.pem -out SEED.pem "
                             f"-provparam ml-kem.output_formats=seed-only") from e
        raise KeyRefused(why) from e


def open_envelope(private_key_pem: bytes, envelope: bytes) -> bytes:
    """Returns the plaintext; raises ValueError for a malformed envelope, an altered length field
    or RSA-wrapped key, KeyRefused (a ValueError) for a private key it cannot use, and
    cryptography.exceptions.InvalidTag for an altered nonce, ciphertext or tag (or ML-KEM
    ciphertext)."""
    if len(envelope) < 2:
        raise ValueError("envelope too short")
    (k,) = struct.unpack(">H", envelope[:2])
    if len(envelope) < 2 + k + NONCE_LENGTH + TAG_LENGTH:
        raise ValueError("envelope too short")
    wrapped = envelope[2:2 + k]
    nonce = envelope[2 + k:2 + k + NONCE_LENGTH]
    sealed = envelope[2 + k + NONCE_LENGTH:]  # ciphertext followed by the tag
    private_key = load_private_key(private_key_pem)
    if isinstance(private_key, rsa.RSAPrivateKey):
        key = private_key.decrypt(wrapped, padding.OAEP(mgf=padding.MGF1(algorithm=hashes.SHA256()),
                                                        algorithm=hashes.SHA256(), label=None))
    elif hasattr(private_key, "decapsulate"):  # ML-KEM
        key = private_key.decapsulate(wrapped)
    else:
        raise ValueError("neither an RSA nor an ML-KEM private key")
    return AESGCM(key).decrypt(nonce, sealed, None)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "rb") as f:
        private_key_pem = f.read()
    try:
        plaintext = open_envelope(private_key_pem, sys.stdin.buffer.read())
    except KeyRefused as e:
        sys.stderr.write(f"recipient: private key refused: {e}\n")
        return 1
    except (ValueError, InvalidTag) as e:
        sys.stderr.write(f"recipient: envelope refused: {type(e).__name__} {str(e)!r}\n")
        return 1
    sys.stdout.buffer.write(plaintext)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
