"""encrypt_mlkem: encrypt's discipline and layout with an ML-KEM key, envelopes opened by recipients
we did not write (pyca/cryptography 49, OpenSSL 3.6's command), the key refusals, and a
differential run of our key intake against pyca/cryptography's over a grid of mutated keys."""
import base64
import json
import os
import random
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import MODULE_DIR, RECIPIENT, ROOT, release_only, run_python, stall_through

# Parameter set: (OID's last arc, encapsulation key octets, ciphertext octets).
SETS = {768: (2, 1184, 1088), 1024: (3, 1568, 1568)}
Q = 3329


def der(tag, content):
    n = len(content)
    length = bytes([n]) if n < 128 else bytes([0x80 | (n.bit_length() + 7) // 8]) + n.to_bytes(
        (n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + content


def spki(raw, arc, parameters=b"", unused=0, after=b""):
    """An RFC 9935 SubjectPublicKeyInfo for id-alg-ml-kem-* (arc), in DER; bent as asked."""
    oid = der(0x06, bytes.fromhex("6086480165030404") + bytes([arc]))  # 2.16.840.1.101.3.4.4.arc
    return der(0x30, der(0x30, oid + parameters) + der(0x03, bytes([unused]) + raw) + after)


def pem(document, label=b"PUBLIC KEY"):
    b64 = base64.b64encode(document)
    lines = b"\n".join(b64[i:i + 64] for i in range(0, len(b64), 64))
    return b"-----BEGIN " + label + b"-----\n" + lines + b"\n-----END " + label + b"-----\n"


def synthetic_raw_key(bits, seed=0):
    """A valid encapsulation key without a private half: k polynomials of random coefficients
    below q, ByteEncode12'd, then 32 random octets. Encapsulation needs nothing more, so the tests
    of the function itself run where no recipient is at hand."""
    rng = random.Random(seed)
    k = 3 if bits == 768 else 4
    out = bytearray()
    for _ in range(128 * k):
        a, b = rng.randrange(Q), rng.randrange(Q)
        out += bytes([a & 0xFF, a >> 8 | (b & 0x0F) << 4, b >> 4])
    return bytes(out) + rng.randbytes(32)


SYNTHETIC = {bits: pem(spki(synthetic_raw_key(bits), SETS[bits][0])) for bits in SETS}


def with_coefficient(raw, index, value):
    """The key with its coefficient number `index` (of 256 k, ByteEncode12) set to `value`."""
    bent = bytearray(raw)
    at = 3 * (index // 2)
    if index % 2 == 0:
        bent[at], bent[at + 1] = value & 0xFF, (bent[at + 1] & 0xF0) | value >> 8
    else:
        bent[at + 1], bent[at + 2] = (bent[at + 1] & 0x0F) | (value & 0x0F) << 4, value >> 4
    return bytes(bent)


def raw_key(public_pem):
    body = b"".join(public_pem.splitlines()[1:-1])
    document = base64.b64decode(body)
    return document[-(1184 if len(document) < 1300 else 1568):]


@pytest.fixture(scope="module")
def mlkem_keys(mlkem_recipients, tmp_path_factory):
    """Keys the recipients made: (maker, bits) -> (private key path, public key PEM)."""
    python, openssl = mlkem_recipients
    d = tmp_path_factory.mktemp("mlkem")
    out = {}
    for bits in SETS:
        private = d / f"openssl-{bits}.pem"
        subprocess.run([openssl, "genpkey", "-algorithm", f"ML-KEM-{bits}", "-out", private],
                       check=True, capture_output=True)
        public = subprocess.run([openssl, "pkey", "-in", private, "-pubout"], check=True,
                                capture_output=True).stdout
        out["openssl", bits] = (private, public)
        private = d / f"pyca-{bits}.pem"
        public = subprocess.run([python, "-c", f"""
import sys
from cryptography.hazmat.primitives import serialization as s
from cryptography.hazmat.primitives.asymmetric import mlkem
key = mlkem.MLKEM{bits}PrivateKey.generate()
open({str(private)!r}, "wb").write(key.private_bytes(s.Encoding.PEM, s.PrivateFormat.PKCS8,
                                                     s.NoEncryption()))
sys.stdout.buffer.write(key.public_key().public_bytes(s.Encoding.PEM,
                                                      s.PublicFormat.SubjectPublicKeyInfo))
"""], check=True, capture_output=True).stdout
        out["pyca", bits] = (private, public)
    return out


def open_with_pyca(python, private, envelope):
    return subprocess.run([python, str(RECIPIENT), str(private)], input=envelope,
                          capture_output=True, timeout=120)


# The openssl command decapsulates; AES-GCM (which the command does not offer) is pyca's.
OPEN_REST = """
import sys
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
rest = open(sys.argv[2], "rb").read()
sys.stdout.buffer.write(AESGCM(open(sys.argv[1], "rb").read()).decrypt(rest[:12], rest[12:], None))
"""


def open_with_openssl(recipients, private, envelope, tmp_path):
    python, openssl = recipients
    c = int.from_bytes(envelope[:2], "big")
    (tmp_path / "ct.bin").write_bytes(envelope[2:2 + c])
    (tmp_path / "rest.bin").write_bytes(envelope[2 + c:])
    decap = subprocess.run([openssl, "pkeyutl", "-decap", "-inkey", private, "-in",
                            tmp_path / "ct.bin", "-secret", tmp_path / "ss.bin"],
                           capture_output=True, timeout=60)
    assert decap.returncode == 0, decap.stderr
    return subprocess.run([python, "-c", OPEN_REST, tmp_path / "ss.bin", tmp_path / "rest.bin"],
                          capture_output=True, timeout=120)


@pytest.mark.parametrize("bits", SETS)
def test_recipients_open_envelopes(core, mlkem_recipients, mlkem_keys, bits, tmp_path):
    _, _, c = SETS[bits]
    for plaintext in (b"", b"hello", bytes(range(256)) * 4096 + b"!"):
        for maker in ("pyca", "openssl"):
            private, public = mlkem_keys[maker, bits]
            envelope = core.encrypt_mlkem(public, plaintext)
            assert type(envelope) is bytes and len(envelope) == 30 + c + len(plaintext)
            assert envelope[:2] == c.to_bytes(2, "big")
            # Each recipient opens with the key it made (pyca reads only seed-only PKCS #8).
            opened = (open_with_pyca(mlkem_recipients[0], private, envelope) if maker == "pyca"
                      else open_with_openssl(mlkem_recipients, private, envelope, tmp_path))
            assert opened.returncode == 0, opened.stderr
            assert opened.stdout == plaintext


def test_the_guides_openssl_recipient_opens_an_envelope(core, mlkem_recipients, mlkem_keys,
                                                         tmp_path):
    python, openssl = mlkem_recipients
    guide = (ROOT / "docs" / "guide.md").read_text(encoding="utf-8")
    after = guide[guide.index("\n#### With the openssl command\n"):]
    block = re.search(r"^```sh\n(.*?)^```$", after, re.S | re.M).group(1)
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "openssl").symlink_to(openssl if "/" in openssl else shutil.which(openssl))
    (tmp_path / "bin" / "python3").symlink_to(python if "/" in python else shutil.which(python))
    private, public = mlkem_keys["openssl", 1024]
    shutil.copy(private, tmp_path / "private.pem")
    plaintext = bytes(range(256)) * 40
    (tmp_path / "envelope.bin").write_bytes(core.encrypt_mlkem(public, plaintext))
    out = subprocess.run(["bash", "-e", "-c", block], cwd=tmp_path, capture_output=True,
                         env={**os.environ, "PATH": f"{tmp_path / 'bin'}:{os.environ['PATH']}"},
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert (tmp_path / "plaintext").read_bytes() == plaintext
    assert not (tmp_path / "secret.bin").exists()


def test_bent_fields_are_refused_by_the_recipient(core, mlkem_recipients, mlkem_keys):
    private, public = mlkem_keys["pyca", 1024]
    envelope = core.encrypt_mlkem(public, b"attack at dawn")
    fields = {"length": 1, "kem ciphertext": 2 + 700, "nonce": 2 + 1568 + 5,
              "ciphertext": 2 + 1568 + 12 + 3, "tag": len(envelope) - 1}
    script = f"""
import json, sys
sys.path.insert(0, {str(RECIPIENT.parent)!r})
from recipient import open_envelope
pem, env = open({str(private)!r}, "rb").read(), sys.stdin.buffer.read()
seen = {{"intact": open_envelope(pem, env).decode()}}
for name, at in {fields!r}.items():
    bent = bytearray(env)
    bent[at] ^= 0x01
    try:
        open_envelope(pem, bytes(bent))
        seen[name] = "opened"
    except Exception as e:
        seen[name] = type(e).__name__
print(json.dumps(seen))
"""
    out = subprocess.run([mlkem_recipients[0], "-c", script], input=envelope, capture_output=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == {"intact": "attack at dawn", "length": "ValueError",
                                      "kem ciphertext": "InvalidTag", "nonce": "InvalidTag",
                                      "ciphertext": "InvalidTag", "tag": "InvalidTag"}


def test_recipient_names_the_key_form_it_cannot_read(mlkem_recipients, mlkem_keys, core,
                                                      tmp_path):
    """openssl genpkey writes the seed and the expanded key, which pyca refuses: the recipient
    says so, with the conversion, rather than blaming the envelope; the conversion then opens."""
    python, openssl = mlkem_recipients
    private, public = mlkem_keys["openssl", 768]
    envelope = core.encrypt_mlkem(public, b"seed only")
    out = open_with_pyca(python, private, envelope)
    assert out.returncode == 1 and b"envelope refused" not in out.stderr, out.stderr
    assert b"private key" in out.stderr and b"ml-kem.output_formats=seed-only" in out.stderr
    seed = tmp_path / "seed.pem"
    subprocess.run([openssl, "pkey", "-in", private, "-out", seed, "-provparam",
                    "ml-kem.output_formats=seed-only"], check=True, capture_output=True)
    assert open_with_pyca(python, seed, envelope).stdout == b"seed only"


def test_recipients_are_required_under_the_setup():
    """Under the setup's environment an env file without CORE_FIPS_PEERS fails the recipient
    tests; it never lets them skip on a host whose own recipients lack ML-KEM."""
    env = {k: v for k, v in os.environ.items() if k != "CORE_FIPS_PEERS"}
    env.update(CORE_FIPS_PYTHON=env.get("CORE_FIPS_PYTHON", sys.executable),
               PYTHONPATH=os.pathsep.join(filter(None, (str(MODULE_DIR), env.get("PYTHONPATH")))))
    out = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          str(Path(__file__)), "-k", "bent_fields"],
                         cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode != 0 and "CORE_FIPS_PEERS" in out.stdout, out.stdout[-2000:]
    assert "skipped" not in out.stdout.splitlines()[-1], out.stdout[-2000:]


def test_binding_is_encrypts(core):
    public = SYNTHETIC[768]

    class B(bytes):
        pass

    a = core.encrypt_mlkem(plaintext=B(b"same"), public_key_pem=B(public))
    b = core.encrypt_mlkem(public, b"same")
    assert a[2:1090] != b[2:1090] and a[1090:1102] != b[1090:1102]  # encapsulated afresh
    for args, parameter in (((bytearray(public), b"x"), "public_key_pem"),
                            ((public, memoryview(b"x")), "plaintext"),
                            ((public, None), "plaintext")):
        with pytest.raises(TypeError) as info:
            core.encrypt_mlkem(*args)
        assert str(info.value).endswith("is not an instance of 'bytes'")
        assert info.value.__notes__ == [f"while processing '{parameter}'"]
    with pytest.raises(TypeError, match=r"^encrypt_mlkem\(\) missing 1 required positional"):
        core.encrypt_mlkem(public)
    assert core.encrypt_mlkem.__text_signature__ == "(public_key_pem, plaintext)"
    assert core.encrypt_mlkem.__doc__ is None and core.encrypt_mlkem.__module__ is None
    # An addition: registered after fips_check, outside __all__.
    names = list(vars(core))
    assert "encrypt_mlkem" not in core.__all__ and len(core.__all__) == 7
    assert names.index("encrypt_mlkem") == names.index("fips_check") + 1


def refusals(raw768, raw1024):
    """Every key the intake must refuse, with the one reason each is wrong."""
    spki768, spki1024 = spki(raw768, 2), spki(raw1024, 3)
    return {
        "another label": pem(spki768, b"ML-KEM PUBLIC KEY"),
        "ML-KEM-512": pem(spki(raw768[:800], 1)),
        "768's OID on 1024's key": pem(spki(raw1024, 2)),
        "1024's OID on 768's key": pem(spki(raw768, 3)),
        "parameters present (NULL)": pem(spki(raw768, 2, parameters=b"\x05\x00")),
        "unused bits": pem(spki(raw768, 2, unused=1)),
        "key one octet short": pem(spki(raw1024[:-1], 3)),
        "key one octet long": pem(spki(raw1024 + b"\x00", 3)),
        "a coefficient not below q": pem(spki(with_coefficient(raw1024, 1023, Q), 3)),
        "data after the key info": pem(spki1024 + b"\x05\x00"),
        "data inside, after the BIT STRING": pem(spki(raw1024, 3, after=b"\x05\x00")),
        "Base64 on one line": pem(spki1024).replace(b"\n", b"").replace(
            b"-----BEGIN PUBLIC KEY-----", b"-----BEGIN PUBLIC KEY-----\n").replace(
            b"-----END", b"\n-----END"),
        "two blocks": pem(spki768) + pem(spki768),
        "empty": b"",
    }


def test_refused_keys(core, keys):
    raw768, raw1024 = synthetic_raw_key(768), synthetic_raw_key(1024)
    # Controls: the same builder with nothing bent, and the coefficients just below q.
    assert core.encrypt_mlkem(pem(spki(raw768, 2)), b"x")
    assert core.encrypt_mlkem(pem(spki(with_coefficient(raw1024, 1023, Q - 1), 3)), b"x")
    rsa_spki = subprocess.run(["openssl", "rsa", "-in", keys[2048][0], "-pubout"], check=True,
                              capture_output=True).stdout
    cases = refusals(raw768, raw1024) | {
        "RSA, PUBLIC KEY form": rsa_spki, "RSA, RSA PUBLIC KEY form": keys[2048][1],
        "an RSA private key": keys[2048][0].read_bytes()}
    refused = {}
    for reason, key in cases.items():
        try:
            core.encrypt_mlkem(key, b"x")
        except ValueError as e:
            refused[reason] = e.args
    assert refused == {reason: ("Invalid public key",) for reason in cases}
    with pytest.raises(ValueError) as info:
        core.encrypt_mlkem(b"\xff" + SYNTHETIC[768], b"x")
    assert str(info.value) == "UTF8 error: invalid utf-8 sequence of 1 bytes from index 0"


def mutated_keys(raw, arc, seed):
    """The grid, as (PEM, whether the BIT STRING says it has unused bits): each field of the key
    info bent in each way that matters, and random bit flips over the whole document."""
    good = spki(raw, arc)
    grid = [good]
    for other_arc in range(0, 6):
        grid.append(spki(raw, other_arc))
    for cut in (-33, -1, 1, 32):
        grid.append(spki(raw[:cut] if cut < 0 else raw + bytes(cut), arc))
    for unused in range(1, 8):
        grid.append(spki(raw, arc, unused=unused))
    grid += [spki(raw, arc, parameters=b"\x05\x00"), spki(raw, arc, after=b"\x00"),
             good + b"\x00", good[:-1]]
    # Coefficients at q - 1, q and 4095, even and odd ones, first to last.
    last = (len(raw) - 32) // 3 * 2 - 1
    for index in (0, 1, 2, 255, 256, 511, last - 1, last):
        for value in (Q - 1, Q, 4095):
            grid.append(spki(with_coefficient(raw, index, value), arc))
    rng = random.Random(seed)
    for _ in range(150):
        bent = bytearray(good)
        for _ in range(rng.choice((1, 1, 2))):
            at = rng.randrange(40) if rng.random() < 0.5 else rng.randrange(len(bent))
            bent[at] ^= 1 << rng.randrange(8)
        grid.append(bytes(bent))
    unused_at = len(good) - len(raw) - 1
    return [(pem(d), len(d) == len(good) and d[unused_at] != 0) for d in grid]


def test_intake_agrees_with_pyca_over_a_grid_of_mutated_keys(core, mlkem_recipients, mlkem_keys):
    """pyca/cryptography reads a BIT STRING with unused bits when those bits are zero; RFC 9935
    allows none, and we refuse it. Every other verdict must be the same."""
    grid = []
    for bits, (arc, _, _) in SETS.items():
        grid += mutated_keys(raw_key(mlkem_keys["pyca", bits][1]), arc, seed=bits)
    ours = []
    for key, _ in grid:
        try:
            core.encrypt_mlkem(key, b"")
            ours.append(True)
        except ValueError as e:  # a key refused at intake, never a failed encryption
            ours.append(False if e.args == ("Invalid public key",) else e.args)
    script = """
import json, sys
from cryptography.hazmat.primitives.asymmetric import mlkem
from cryptography.hazmat.primitives.serialization import load_pem_public_key
verdicts = []
for key in json.load(sys.stdin):
    try:
        loaded = load_pem_public_key(key.encode())
        verdicts.append(isinstance(loaded, (mlkem.MLKEM768PublicKey, mlkem.MLKEM1024PublicKey)))
    except Exception:
        verdicts.append(False)
print(json.dumps(verdicts))
"""
    out = subprocess.run([mlkem_recipients[0], "-c", script],
                         input=json.dumps([k.decode() for k, _ in grid]), capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    theirs = json.loads(out.stdout)
    differ = [i for i in range(len(grid)) if ours[i] is not theirs[i]]
    unused_bits = [i for i in differ if ours[i] is False and grid[i][1]]
    both = [ours[i] for i in range(len(grid)) if i not in differ]
    print(f"differential against pyca/cryptography: {len(grid)} keys, {both.count(True)} accepted "
          f"by both, {both.count(False)} refused by both, {len(unused_bits)} refused by us only "
          f"for unused bits, {len(differ) - len(unused_bits)} other")
    assert differ == unused_bits, [(i, ours[i], theirs[i]) for i in differ]
    assert both.count(True) >= 50 and both.count(False) >= 100  # both verdicts are exercised


def test_a_failing_step_is_encryption_failed(faults_dir):
    for point in ("envelope.encapsulate", "envelope.seal"):
        out = run_python(f"""
            import _core_fips
            try:
                _core_fips.encrypt_mlkem({SYNTHETIC[768]!r}, b"x")
            except ValueError as e:
                print(e.args)
        """, path=faults_dir, env={"CORE_FIPS_INJECT_FAULT": point})
        assert out.stdout.strip() == "('Encryption failed',)", (point, out.stderr)


@release_only
def test_lock_is_released_while_encrypting(core):
    big = bytes(256 << 20)
    envelope, stalled = stall_through(lambda: core.encrypt_mlkem(SYNTHETIC[1024], big))
    assert len(envelope) == len(big) + 30 + 1568
    assert stalled is None, stalled
