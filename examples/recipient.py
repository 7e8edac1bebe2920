#!/usr/bin/env python3
"""Opens an envelope made by `_core_fips.encrypt`, as its recipient would: with pyca/cryptography
and the RSA private key, without _core_fips.

    python3 recipient.py PRIVATE_KEY.pem < envelope.bin > plaintext

It exits with status 1 and one line on stderr when it refuses the envelope. An altered envelope is
refused with one of two exception classes, so a caller of open_envelope catches both:
ValueError (a malformed envelope, or an altered length field or wrapped key: the RSA-OAEP step
fails first) and cryptography.exceptions.InvalidTag (an altered nonce, ciphertext or tag).

The envelope is, with k the RSA modulus length in bytes:

    offset 0        2 bytes   k, big-endian
    offset 2        k bytes   the AES-256 key, wrapped with RSA-OAEP (SHA-256, MGF1-SHA-256, no label)
    offset 2+k      12 bytes  the AES-GCM nonce
    offset 14+k     n bytes   the AES-256-GCM ciphertext
    last            16 bytes  the GCM tag (no associated data)
"""
import struct
import sys

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

NONCE_LENGTH = 12
TAG_LENGTH = 16


def open_envelope(private_key_pem: bytes, envelope: bytes) -> bytes:
    """Returns the plaintext; raises ValueError for a malformed envelope or an altered length
    field or wrapped key, and cryptography.exceptions.InvalidTag for an altered nonce, ciphertext
    or tag."""
    if len(envelope) < 2:
        raise ValueError("envelope too short")
    (k,) = struct.unpack(">H", envelope[:2])
    if len(envelope) < 2 + k + NONCE_LENGTH + TAG_LENGTH:
        raise ValueError("envelope too short")
    wrapped = envelope[2:2 + k]
    nonce = envelope[2 + k:2 + k + NONCE_LENGTH]
    sealed = envelope[2 + k + NONCE_LENGTH:]  # ciphertext followed by the tag
    private_key = serialization.load_pem_private_key(private_key_pem, password=None)
    key = private_key.decrypt(wrapped, padding.OAEP(mgf=padding.MGF1(algorithm=hashes.SHA256()),
                                                    algorithm=hashes.SHA256(), label=None))
    return AESGCM(key).decrypt(nonce, sealed, None)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "rb") as f:
        private_key_pem = f.read()
    try:
        plaintext = open_envelope(private_key_pem, sys.stdin.buffer.read())
    except (ValueError, InvalidTag) as e:
        sys.stderr.write(f"recipient: envelope refused: {type(e).__name__} {str(e)!r}\n")
        return 1
    sys.stdout.buffer.write(plaintext)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
