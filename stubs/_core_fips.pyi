"""Salted SHA-384 content tokens, RSA-OAEP + AES-256-GCM envelopes and the FIPS status, from
AWS-LC's FIPS module (which build, and what is approved: the wheel's description; the RSA-OAEP
key wrap inside encrypt is not an approved service).

Bad arguments raise TypeError, BufferError or UnicodeEncodeError (a ValueError) with a note
"while processing '<parameter>'"; a failed operation raises ValueError. A content mismatch is
exactly ValueError("Generic error: Token mismatch \\n"). A condition the module treats as
impossible raises PanicException, which derives from BaseException and is not an attribute of
this module.
"""
import sys
from typing import final

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

__all__: list[str]

@final
class Token:
    """A salted SHA-384 digest: `sha` (96 lowercase hex digits) and the `salt` it was made with.

    Made only by create_hash, Token.from_bytes and Hasher.finalize; calling Token() raises
    TypeError. Both attributes are read-only. Tokens do not compare equal by value: compare
    their `sha` and `salt`."""

    @property
    def sha(self) -> str:
        """SHA-384 of the content followed directly by the salt's UTF-8 bytes, as 96 lowercase
        hex digits."""
    @property
    def salt(self) -> str:
        """The salt as given, or the random default: 32 lowercase hex digits (a UUID4)."""
    @staticmethod
    def from_bytes(data: Buffer, salt: str | None = None) -> Token:
        """Returns the Token of `data` (any C-contiguous buffer of bytes). `salt=None` makes a
        random salt.

        Raises TypeError (not a buffer; salt neither str nor None), BufferError (items not
        unsigned bytes, e.g. array('I')), UnicodeEncodeError (salt with a lone surrogate),
        ValueError("buffer must be C-contiguous")."""
    @staticmethod
    def compare_token(sha: str, salt: str, data: Buffer) -> None:
        """Returns None when `data` reproduces `sha` with `salt`; otherwise raises
        ValueError("Generic error: Token mismatch \\n"). `sha` is compared as text: upper case
        or any other form only mismatches.

        Raises TypeError (sha or salt not str, data not a buffer), BufferError,
        UnicodeEncodeError and ValueError("buffer must be C-contiguous") as from_bytes."""

@final
class Hasher:
    """Makes a Token chunk by chunk (an upload): the same Token as create_hash over the
    concatenated chunks with the same salt. One call at a time per object."""

    def __new__(cls, salt: str | None = None) -> Hasher:
        """`salt=None` makes a random salt now. Raises TypeError (salt neither str nor None)
        and UnicodeEncodeError (lone surrogate)."""
    def update(self, chunk: Buffer) -> None:
        """Feeds `chunk` (any C-contiguous buffer of bytes, read in place with the interpreter
        lock released: keep it unchanged during the call). Returns None.

        Raises TypeError or BufferError for a chunk that is not a buffer of bytes,
        ValueError("buffer must be C-contiguous") (nothing fed), ValueError("Hasher already
        finalized"), RuntimeError("Already borrowed") while another thread is in a call on
        this object."""
    def finalize(self) -> Token:
        """Appends the salt and returns the Token; the hasher is finished afterwards.

        Raises ValueError("Hasher already finalized") on a second call and
        RuntimeError("Already borrowed") while another thread is in a call on this object."""

@final
class VerifyingHasher:
    """Checks content chunk by chunk (a download) against a stored token; agrees with
    compare_hash over the same bytes. One call at a time per object."""

    def __new__(cls, expected_sha: str, salt: str) -> VerifyingHasher:
        """Both are required `str`; `expected_sha` is not examined here (a malformed one only
        mismatches at finalize). Raises TypeError (missing, None or not str) and
        UnicodeEncodeError (lone surrogate)."""
    def update(self, chunk: Buffer) -> None:
        """Feeds `chunk` (any C-contiguous buffer of bytes, read in place with the interpreter
        lock released: keep it unchanged during the call). Returns None.

        Raises TypeError or BufferError for a chunk that is not a buffer of bytes,
        ValueError("buffer must be C-contiguous") (nothing fed), ValueError("VerifyingHasher
        already finalized"), RuntimeError("Already borrowed") while another thread is in a
        call on this object."""
    def finalize(self) -> None:
        """Returns None when the content matches; otherwise raises
        ValueError("Generic error: Token mismatch \\n"). Finished either way.

        Raises ValueError("VerifyingHasher already finalized") on a second call and
        RuntimeError("Already borrowed") while another thread is in a call on this object."""

def create_hash(bytes: Buffer, salt: str | None) -> Token:
    """Returns the Token of `bytes` (any C-contiguous buffer of bytes). `salt` is required;
    pass None for a random one.

    Raises TypeError (missing salt, not a buffer, salt neither str nor None), BufferError
    (items not unsigned bytes, e.g. array('I')), UnicodeEncodeError (salt with a lone
    surrogate), ValueError("buffer must be C-contiguous")."""

def compare_hash(sha: str, salt: str, bytes: Buffer) -> bool:
    """Returns True when `bytes` reproduces `sha` with `salt`, False otherwise (any value of
    `sha` included); never raises for a mismatch.

    Raises TypeError (sha or salt not str, bytes not a buffer), BufferError,
    UnicodeEncodeError and ValueError("buffer must be C-contiguous") as create_hash."""

def encrypt(public_key_pem: bytes, plaintext: bytes) -> bytes:
    """Seals `plaintext` for the holder of the RSA key: returns u16be k | RSA-OAEP(SHA-256)
    wrapped AES-256 key (k bytes) | 12-byte nonce | AES-256-GCM ciphertext | 16-byte tag.

    Both arguments must be `bytes` (TypeError otherwise). `public_key_pem` is one PKCS #1
    "RSA PUBLIC KEY" PEM block, 2048 to 4096 bits. Raises ValueError("Invalid public key")
    for any other key, ValueError("UTF8 error: ...") for key bytes that are not UTF-8,
    ValueError("Encryption failed") if the library fails."""

def encrypt_mlkem(public_key_pem: bytes, plaintext: bytes) -> bytes:
    """An addition, not in __all__. Seals `plaintext` for the holder of the ML-KEM private key:
    returns u16be c | ML-KEM ciphertext (c = 1088 for ML-KEM-768, 1568 for ML-KEM-1024) |
    12-byte nonce | AES-256-GCM ciphertext | 16-byte tag, the AES-256 key being the shared secret.

    Both arguments must be `bytes` (TypeError otherwise). `public_key_pem` is one "PUBLIC KEY"
    PEM block holding an ML-KEM-768 or ML-KEM-1024 SubjectPublicKeyInfo (RFC 9935). Raises
    ValueError("Invalid public key") for any other key (one with a coefficient not below q
    included), ValueError("UTF8 error: ...") for key bytes that are not UTF-8,
    ValueError("Encryption failed") if the library fails."""

def fips_check() -> bool:
    """Returns True when AWS-LC reports that it runs in FIPS mode (asked on every call);
    never raises. This is AWS-LC's FIPS code path, not a validated module."""
