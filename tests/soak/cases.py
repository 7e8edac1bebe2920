"""Calls of every _core_fips callable, success and error paths alike, for the soak runs.

Each case is a zero-argument function that makes a fixed number of calls into the module and checks
what came back (value or exact exception class), so that a soak that stops doing real work fails
instead of looking clean. Cases are grouped by the callable they exercise; the RSS soak interleaves
all of them, the refcount check loops over each group separately.
"""
import array
import hashlib
import os
import subprocess
import tempfile
from dataclasses import dataclass

DATA = b"soak content " * 40
SALT = "soak-salt"
# An ML-KEM-768 public key openssl made (one of the fuzzer's seeds).
MLKEM_KEY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "fuzz", "corpus",
                         "mlkem768-openssl.pem")
SHA = hashlib.sha384(DATA + SALT.encode()).hexdigest()
WRONG_SHA = "0" * 96


@dataclass(frozen=True)
class Case:
    callable: str  # group: the callable this case is about
    name: str
    calls: int     # calls into the module per run, getters included
    run: object


class Mismatch(AssertionError):
    pass


def refused(exc_type, call, *args, **kwargs):
    """Calls `call` and checks that it raises exactly `exc_type`."""
    try:
        call(*args, **kwargs)
    except BaseException as e:  # PanicException derives from BaseException
        if type(e) is not exc_type:
            raise Mismatch(f"{exc_type.__name__} expected, got {type(e).__name__}: {e}") from e
        return e
    raise Mismatch(f"{exc_type.__name__} expected, the call returned")


def check(condition, what):
    if not condition:
        raise Mismatch(what)


class Exporter:
    """A buffer exporter written in Python, so that intake runs Python code of the caller's."""

    def __init__(self, data, on_export=None):
        self.data, self.on_export = data, on_export

    def __buffer__(self, flags):
        if self.on_export:
            self.on_export()
        return memoryview(self.data)


def raise_lookup():
    raise LookupError("exporter refuses")


def rsa_public_keys(workdir):
    """PKCS #1 public keys made by the openssl CLI: 2048 bits (accepted), 1024 bits (refused),
    and the 2048-bit key in SubjectPublicKeyInfo form (refused). Private keys stay in `workdir`."""
    def run(*args):
        return subprocess.run(["openssl", *args], check=True, capture_output=True).stdout

    keys = {}
    for bits in (2048, 1024):
        private = os.path.join(workdir, f"rsa{bits}.pem")
        run("genpkey", "-algorithm", "RSA", "-pkeyopt", f"rsa_keygen_bits:{bits}", "-out", private)
        keys[bits] = run("rsa", "-in", private, "-RSAPublicKey_out")
    keys["spki"] = run("rsa", "-in", os.path.join(workdir, "rsa2048.pem"), "-pubout")
    return keys


def build_cases(core, keys=None):
    """Every case for `core`. `keys` (from rsa_public_keys) is needed once encrypt exists."""
    cases = []

    def case(group, name, calls):
        def register(fn):
            cases.append(Case(group, name, calls, fn))
            return fn
        return register

    noncontiguous = memoryview(DATA)[::2]
    ints = array.array("i", [1, 2, 3])

    # ------------------------------------------------------------------ create_hash
    @case("create_hash", "salted", 2)
    def _():
        check(core.create_hash(DATA, SALT).sha == SHA, "create_hash digest")

    @case("create_hash", "random salt, bytearray", 3)
    def _():
        t = core.create_hash(bytearray(DATA), None)
        check(len(t.salt) == 32 and len(t.sha) == 96, "create_hash random salt")

    @case("create_hash", "keywords, memoryview slice", 2)
    def _():
        t = core.create_hash(salt=SALT, bytes=memoryview(DATA)[0:len(DATA)])
        check(t.sha == SHA, "create_hash keywords")

    @case("create_hash", "bad arguments", 6)
    def _():
        refused(TypeError, core.create_hash, 123, SALT)
        refused(TypeError, core.create_hash, DATA)
        refused(TypeError, core.create_hash, DATA, SALT, pepper=1)
        refused(TypeError, core.create_hash, DATA, SALT, 3)
        refused(TypeError, core.create_hash, DATA, b"salt")
        refused(TypeError, core.create_hash, DATA, bytes=DATA)

    @case("create_hash", "bad buffers and text", 5)
    def _():
        refused(ValueError, core.create_hash, noncontiguous, SALT)
        refused(BufferError, core.create_hash, ints, SALT)
        refused(UnicodeEncodeError, core.create_hash, DATA, "\udc80")
        e = refused(LookupError, core.create_hash, Exporter(DATA, raise_lookup), SALT)
        check(e.__notes__ == ["while processing 'bytes'"], "note on a failed conversion")
        check(core.create_hash(Exporter(DATA), SALT).sha == SHA, "exporter in Python")

    # ------------------------------------------------------------------ compare_hash
    @case("compare_hash", "match and mismatch", 3)
    def _():
        check(core.compare_hash(SHA, SALT, DATA) is True, "compare_hash match")
        check(core.compare_hash(WRONG_SHA, SALT, DATA) is False, "compare_hash wrong sha")
        check(core.compare_hash(SHA, "other", bytearray(DATA)) is False, "compare_hash wrong salt")

    @case("compare_hash", "bad arguments", 6)
    def _():
        refused(TypeError, core.compare_hash, 1, SALT, DATA)
        refused(TypeError, core.compare_hash, SHA, SALT)
        refused(TypeError, core.compare_hash, SHA, SALT, "text")
        refused(UnicodeEncodeError, core.compare_hash, "\ud800", SALT, DATA)
        refused(ValueError, core.compare_hash, SHA, SALT, noncontiguous)
        refused(BufferError, core.compare_hash, SHA, SALT, ints)

    # ------------------------------------------------------------------ Token
    @case("Token.from_bytes", "with and without salt", 5)
    def _():
        check(core.Token.from_bytes(DATA, salt=SALT).sha == SHA, "from_bytes digest")
        t = core.Token.from_bytes(data=DATA)
        check(len(t.salt) == 32 and len(t.sha) == 96, "from_bytes random salt")

    @case("Token.from_bytes", "bad arguments", 4)
    def _():
        refused(TypeError, core.Token.from_bytes)
        refused(TypeError, core.Token.from_bytes, DATA, 5)
        refused(BufferError, core.Token.from_bytes, ints)
        refused(ValueError, core.Token.from_bytes, noncontiguous, SALT)

    @case("Token.compare_token", "match and mismatch", 2)
    def _():
        check(core.Token.compare_token(SHA, SALT, DATA) is None, "compare_token match")
        refused(ValueError, core.Token.compare_token, WRONG_SHA, SALT, DATA)

    @case("Token.compare_token", "bad arguments", 4)
    def _():
        refused(TypeError, core.Token.compare_token, SHA, SALT)
        refused(TypeError, core.Token.compare_token, SHA, None, DATA)
        refused(UnicodeEncodeError, core.Token.compare_token, SHA, "\udfff", DATA)
        refused(BufferError, core.Token.compare_token, SHA, SALT, ints)

    token = core.create_hash(DATA, SALT)

    @case("Token.sha", "getter", 1)
    def _():
        check(token.sha == SHA, "Token.sha")

    @case("Token.salt", "getter", 1)
    def _():
        check(token.salt == SALT, "Token.salt")

    # ------------------------------------------------------------------ Hasher
    @case("Hasher", "construct", 2)
    def _():
        core.Hasher()
        core.Hasher(salt=SALT)

    @case("Hasher", "bad arguments", 4)
    def _():
        refused(TypeError, core.Hasher, 1)
        refused(TypeError, core.Hasher, "a", "b")
        refused(TypeError, core.Hasher, chunk=DATA)
        refused(UnicodeEncodeError, core.Hasher, "\udc80")

    open_hasher = core.Hasher(SALT)
    finalized_hasher = core.Hasher(SALT)
    finalized_hasher.finalize()

    @case("Hasher.update", "chunks", 3)
    def _():
        open_hasher.update(DATA)
        open_hasher.update(chunk=bytearray(b"x"))
        open_hasher.update(memoryview(DATA)[3:9])

    @case("Hasher.update", "bad chunks", 6)
    def _():
        refused(TypeError, open_hasher.update, "text")
        refused(TypeError, open_hasher.update)
        refused(ValueError, open_hasher.update, noncontiguous)
        refused(BufferError, open_hasher.update, ints)
        refused(LookupError, open_hasher.update, Exporter(DATA, raise_lookup))
        refused(ValueError, finalized_hasher.update, DATA)

    @case("Hasher.update", "busy object", 2)
    def _():
        # The exporter runs while update holds the object: a nested update must be refused.
        nested = Exporter(DATA, lambda: refused(RuntimeError, open_hasher.update, DATA))
        open_hasher.update(nested)

    @case("Hasher.finalize", "stream then finalize twice", 5)
    def _():
        h = core.Hasher(SALT)
        h.update(DATA[:100])
        h.update(DATA[100:])
        check(h.finalize().sha == SHA, "Hasher digest")
        refused(ValueError, h.finalize)

    # ------------------------------------------------------------------ VerifyingHasher
    @case("VerifyingHasher", "construct", 1)
    def _():
        core.VerifyingHasher(SHA, SALT)

    @case("VerifyingHasher", "bad arguments", 4)
    def _():
        refused(TypeError, core.VerifyingHasher, SHA)
        refused(TypeError, core.VerifyingHasher, SHA, None)
        refused(TypeError, core.VerifyingHasher, 1, SALT)
        refused(UnicodeEncodeError, core.VerifyingHasher, SHA, "\udc80")

    open_verifier = core.VerifyingHasher(SHA, SALT)
    finalized_verifier = core.VerifyingHasher(SHA, SALT)
    refused(ValueError, finalized_verifier.finalize)

    @case("VerifyingHasher.update", "chunks", 2)
    def _():
        open_verifier.update(DATA)
        open_verifier.update(chunk=memoryview(DATA)[:7])

    @case("VerifyingHasher.update", "bad chunks", 5)
    def _():
        refused(TypeError, open_verifier.update, 1)
        refused(ValueError, open_verifier.update, noncontiguous)
        refused(BufferError, open_verifier.update, ints)
        refused(ValueError, finalized_verifier.update, DATA)
        refused(TypeError, open_verifier.update, DATA, DATA)

    @case("VerifyingHasher.update", "busy object", 2)
    def _():
        nested = Exporter(DATA, lambda: refused(RuntimeError, open_verifier.update, DATA))
        open_verifier.update(nested)

    @case("VerifyingHasher.finalize", "match, mismatch, finalized", 7)
    def _():
        v = core.VerifyingHasher(SHA, SALT)
        v.update(DATA)
        check(v.finalize() is None, "verifier match")
        refused(ValueError, v.finalize)
        w = core.VerifyingHasher(SHA, SALT)
        w.update(DATA[:-1])
        refused(ValueError, w.finalize)

    # ------------------------------------------------------------------ fips_check
    @case("fips_check", "status and bad argument", 2)
    def _():
        check(core.fips_check() is True, "fips_check")
        refused(TypeError, core.fips_check, 1)

    # ------------------------------------------------------------------ encrypt, encrypt_mlkem
    # (name, the call, a good key, the envelope's overhead, its length field, keys it refuses)
    envelopes = []
    if hasattr(core, "encrypt"):
        if keys is None:
            raise ValueError("encrypt exists: build_cases needs RSA keys")
        good = keys[2048]
        envelopes.append(("encrypt", core.encrypt, good, 286, b"\x01\x00",
                          [keys[1024], keys["spki"], good[:-40]]))
    if hasattr(core, "encrypt_mlkem"):
        with open(MLKEM_KEY, "rb") as f:
            mlkem = f.read()
        envelopes.append(("encrypt_mlkem", core.encrypt_mlkem, mlkem, 1118, b"\x04\x40",
                          ([keys[2048]] if keys else []) + [mlkem[:-40]]))
    for name, seal, good, overhead, head, bad_keys in envelopes:
        @case(name, "seal", 2)
        def _(seal=seal, good=good, overhead=overhead, head=head, name=name):
            out = seal(good, DATA)
            check(len(out) == overhead + len(DATA) and out[:2] == head, f"{name} envelope layout")
            out = seal(public_key_pem=good, plaintext=b"")
            check(len(out) == overhead, f"{name} empty plaintext envelope")

        @case(name, "refused keys", len(bad_keys) + 1)
        def _(seal=seal, good=good, bad_keys=bad_keys, name=name):
            for key in bad_keys:
                refused(ValueError, seal, key, DATA)
            e = refused(ValueError, seal, b"\xff" + good, DATA)
            check(str(e).startswith("UTF8 error"), f"{name}: non-UTF-8 key")

        @case(name, "bad arguments", 4)
        def _(seal=seal, good=good):
            refused(TypeError, seal, good.decode(), DATA)
            refused(TypeError, seal, good, bytearray(DATA))
            refused(TypeError, seal, good)
            refused(TypeError, seal, good, DATA, plaintext=DATA)

    return cases


def load(purpose):
    """The module and its cases, with encrypt's keys when the module has encrypt."""
    import _core_fips as core
    with KeyDir() as keydir:
        keys = rsa_public_keys(keydir) if hasattr(core, "encrypt") else None
    if keys is None:
        print(f"note: _core_fips has no encrypt yet: {purpose} without it")
    return core, build_cases(core, keys)


def callables(cases):
    return list(dict.fromkeys(c.callable for c in cases))


class KeyDir:
    """Temporary folder for the generated keys; removed with everything in it."""

    def __enter__(self):
        self._dir = tempfile.TemporaryDirectory(prefix="core-fips-soak-")
        return self._dir.name

    def __exit__(self, *exc):
        self._dir.cleanup()
