"""The guide's tables and stated limits, checked against what produces them: the module's
exceptions (type and text), what the recipient example raises under pyca/cryptography for each
altered field, the key sizes encrypt takes, the version one-liner, and the approval verdicts."""
import base64
import copy
import json
import math
import mmap
import pickle
import re
import subprocess
import tempfile

import pytest

from conftest import MODULE_DIR, PEER, ROOT, run_python

GUIDE = (ROOT / "docs" / "guide.md").read_text(encoding="utf-8")


def section(heading):
    """The guide's text from `heading` (a line of its own) to the next heading of any level."""
    start = GUIDE.index(f"\n{heading}\n")
    end = re.compile(r"^#{2,4} ", re.M).search(GUIDE, start + len(heading) + 2)
    return GUIDE[start:end.start() if end else len(GUIDE)]


def table(text, header):
    """The rows (lists of cells) of the first table in `text` whose header row starts so."""
    lines = text[text.index(f"| {header}"):].splitlines()
    rows = []
    for line in lines[2:]:
        if not line.startswith("|"):
            break
        rows.append([cell.strip() for cell in line.strip().strip("|").split("|")])
    assert rows, f"no rows under the table '{header}'"
    return rows


def code(cell):
    """The first `code` span of a cell, or "" (the guide writes an empty text as an empty cell)."""
    m = re.search(r"`([^`]*)`", cell)
    return m.group(1) if m else ""


def raising(call):
    try:
        call()
    except BaseException as e:
        return e
    raise AssertionError("nothing raised")


def rsa_public_pem(bits, e=65537):
    """A PKCS #1 RSA PUBLIC KEY PEM with an odd modulus of exactly `bits` bits. Intake checks size,
    oddness and exponent; the public operation needs no primes, so no key is generated."""
    n = (1 << (bits - 1)) | int.from_bytes(bytes(range(256)) * 2, "big") % (1 << (bits - 1)) | 1

    def der_int(v):
        body = v.to_bytes(v.bit_length() // 8 + 1, "big")
        return b"\x02" + der_len(len(body)) + body

    def der_len(size):
        return bytes([size]) if size < 128 else b"\x82" + size.to_bytes(2, "big")

    body = der_int(n) + der_int(e)
    b64 = base64.b64encode(b"\x30" + der_len(len(body)) + body).decode()
    lines = [b64[i:i + 64] for i in range(0, len(b64), 64)]
    return ("-----BEGIN RSA PUBLIC KEY-----\n" + "\n".join(lines)
            + "\n-----END RSA PUBLIC KEY-----\n").encode()


def test_exception_tables_match_the_module(core, keys):
    """Every row of the tables below names the exception type and text a probe really raises."""
    pem = keys[2048][1]
    released = memoryview(b"abc")
    released.release()
    with tempfile.TemporaryFile() as f:
        f.write(b"x")
        f.flush()
        closed = mmap.mmap(f.fileno(), 0)
    closed.close()
    token, hasher = core.create_hash(b"x", "s"), core.Hasher("s")
    verifier = core.VerifyingHasher("0" * 96, "s")

    def subclass_each():
        for base in (core.Hasher, core.VerifyingHasher):
            with pytest.raises(TypeError, match="is not an acceptable base type"):
                type("Mine", (base,), {})
        type("Mine", (core.Token,), {})

    def out_of_memory():
        # Every allocation of the interpreter fails during the call.
        import _testcapi
        enc, pt = core.encrypt, b"x" * 1000
        _testcapi.set_nomemory(0, 0)
        try:
            enc(pem, pt)
        finally:
            _testcapi.remove_mem_hooks()

    probes = {
        "operation forbidden on released memoryview object":
            lambda: core.create_hash(released, "s"),
        "mmap closed or invalid": lambda: core.create_hash(closed, "s"),
        "cannot pickle 'builtins.Token' object": lambda: copy_all(token),
        "cannot pickle 'builtins.Hasher' object": lambda: copy_all(hasher),
        "cannot pickle 'builtins.VerifyingHasher' object": lambda: copy_all(verifier),
        "type 'builtins.Token' is not an acceptable base type": subclass_each,
        "Invalid public key": lambda: core.encrypt(pem.replace(b"RSA ", b""), b"x"),
        "UTF8 error: invalid utf-8 sequence of 1 bytes from index 0":
            lambda: core.encrypt(b"\xff" + pem, b"x"),
        "": out_of_memory,  # the encrypt row with no text: MemoryError
    }
    rules = section("### Rules shared by every call")
    claims = [(exc, text) for cause, exc, text, _ in table(rules, "cause")
              if "released" in cause or "closed" in cause]
    claims += [(exc, text) for _, exc, text in table(rules, "attempt")]
    # The encrypt table, but Encryption failed: that needs the fault build (the next test).
    claims += [(exc, text) for exc, text, _ in table(
        section("### `encrypt(public_key_pem, plaintext) -> bytes`"), "exception")
        if text != "see the table above" and code(text) != "Encryption failed"]
    assert len(claims) >= 9, "the tables lost rows, or this test stopped finding them"
    for exc, text in claims:
        claimed_type, text = code(exc), code(text)
        assert text in probes, f"the guide claims {claimed_type} {text!r}; no probe produces it"
        e = raising(probes[text])
        assert (type(e).__name__, str(e)) == (claimed_type, text), (exc, text)


def copy_all(obj):
    """copy.copy and copy.deepcopy refuse as pickling does; then pickling raises."""
    for attempt in (copy.copy, copy.deepcopy):
        with pytest.raises(TypeError) as refused:
            attempt(obj)
        assert str(refused.value) == f"cannot pickle 'builtins.{type(obj).__name__}' object"
    pickle.dumps(obj)


def test_encryption_failed_row_matches_a_library_failure(faults_dir, keys):
    (row,) = [r for r in table(section("### `encrypt(public_key_pem, plaintext) -> bytes`"),
                               "exception") if code(r[1]) == "Encryption failed"]
    out = run_python(f"""
        import _core_fips
        try:
            _core_fips.encrypt({keys[2048][1]!r}, b"x")
        except BaseException as e:
            print(type(e).__name__, str(e))
    """, path=faults_dir, env={"CORE_FIPS_INJECT_FAULT": "envelope.wrap"})
    assert out.stdout.strip() == f"{code(row[0])} {code(row[1])}", out.stderr


def test_encrypt_mlkem_table_matches_the_module(core, faults_dir):
    from test_encrypt_mlkem import SYNTHETIC
    heading = "### `encrypt_mlkem(public_key_pem, plaintext) -> bytes`"
    rows = [r for r in table(section(heading), "exception") if code(r[1]) and "above" not in r[1]]
    relabelled, not_utf8 = SYNTHETIC[768].replace(b"PUBLIC", b"RSA PUBLIC"), b"\xff" + SYNTHETIC[768]
    probes = {"Invalid public key": f"m.encrypt_mlkem({relabelled!r}, b'x')",
              "UTF8 error: invalid utf-8 sequence of 1 bytes from index 0":
                  f"m.encrypt_mlkem({not_utf8!r}, b'x')",
              "Encryption failed": f"m.encrypt_mlkem({SYNTHETIC[768]!r}, b'x')"}
    assert sorted(code(r[1]) for r in rows) == sorted(probes)
    for exc, text, _ in rows:
        out = run_python(f"""
            import _core_fips as m
            try:
                {probes[code(text)]}
            except BaseException as e:
                print(type(e).__name__, str(e))
        """, path=faults_dir, env={"CORE_FIPS_INJECT_FAULT": "envelope.encapsulate"})
        assert out.stdout.strip() == f"{code(exc)} {code(text)}", out.stderr


def test_encrypt_takes_the_key_sizes_the_guide_states(core):
    text = section("### `encrypt(public_key_pem, plaintext) -> bytes`")
    sizes = re.search(r"of any size\s+from (\d+) to (\d+) bits", text)
    ks = re.search(r"⌈bits / 8⌉: from (\d+) to (\d+) \(a (\d+)-bit key gives (\d+)\)", text)
    assert sizes and ks, "the guide no longer states the key sizes as a range of bits and of k"
    low, high = map(int, sizes.groups())
    k_low, k_high, example_bits, example_k = map(int, ks.groups())
    assert (math.ceil(low / 8), math.ceil(high / 8), math.ceil(example_bits / 8)) == (
        k_low, k_high, example_k), "the guide's k does not follow from its bits"
    for bits in (low, example_bits, high):
        envelope = core.encrypt(rsa_public_pem(bits), b"12345")
        assert len(envelope) == 30 + math.ceil(bits / 8) + 5, bits
        assert int.from_bytes(envelope[:2], "big") == math.ceil(bits / 8), bits
    for bits in (low - 1, high + 1):
        assert raising(lambda: core.encrypt(rsa_public_pem(bits), b"x")).args == (
            "Invalid public key",), bits


# One changed byte per field of a 2048-bit envelope (k = 256), as the recipient table names them.
ALTERATIONS = {
    "the length field": "flip(1)",
    "the wrapped key": "flip(2 + 100)",
    "the nonce": "flip(2 + 256 + 3)",
    "the ciphertext": "flip(2 + 256 + 12 + 1)",
    "the tag": "flip(len(envelope) - 1)",
    "cut to 10 bytes": "envelope[:10]",
}


def test_recipient_table_matches_pyca_cryptography(core, keys):
    rows = table(section("## Envelopes"), "changed")
    assert {row[0] for row in rows} <= set(ALTERATIONS), "a row of the table has no probe here"
    private, public = keys[2048]
    cases = {row[0]: ALTERATIONS[row[0]] for row in rows}
    script = f"""
import json, sys
sys.path.insert(0, {str(ROOT / "examples")!r})
import recipient
envelope = sys.stdin.buffer.read()
private = open({str(private)!r}, "rb").read()
def flip(i):
    changed = bytearray(envelope)
    changed[i] ^= 1
    return bytes(changed)
seen = {{}}
for name, expression in {cases!r}.items():
    try:
        recipient.open_envelope(private, eval(expression))
        seen[name] = ["opened", ""]
    except Exception as e:
        seen[name] = [type(e).__name__, str(e)]
print(json.dumps(seen))
"""
    out = subprocess.run([PEER, "-c", script], input=core.encrypt(public, b"secret content"),
                         capture_output=True, timeout=60)
    assert out.returncode == 0, out.stderr
    seen = json.loads(out.stdout)
    for name, claimed_type, texts in rows:
        allowed = re.findall(r"`([^`]*)`", texts) or [""]
        assert seen[name][0] == code(claimed_type) and seen[name][1] in allowed, (name, seen[name])


def test_the_version_one_liner_names_the_loaded_library():
    (line,) = [line for line in re.findall(r"^python3 -c \"(.*)\"$", GUIDE, re.M)
               if "awslc_version_string" in line]
    out = run_python(line)
    assert out.returncode == 0, out.stderr
    library = next((MODULE_DIR / "core_fips.libs").glob("libcrypto*")).read_bytes()
    assert re.fullmatch(r"AWS-LC FIPS (5\.1\.0|3\.1\.0)\n", out.stdout), out.stdout
    assert out.stdout.strip().encode() in library


# The Security Policy's verdict for each algorithm the module uses (AWS-LC-FIPS, #5298).
SECURITY_POLICY = {
    "SHA2-384": "approved",
    "AES-GCM": "approved",
    "Counter DRBG": "approved",
    "RSA encryption primitive with PKCS#1 v1.5 and OAEP padding": "not approved",
    "ML-KEM EncapDecap": "approved",
}


def test_approval_verdicts_are_the_security_policys():
    rows = table(section("## Which AWS-LC, and what is approved"), "the module's operation")
    verdicts = {}
    for row in rows:
        (algorithm,) = [a for a in SECURITY_POLICY if f'"{a}"' in row[3]]
        verdicts[algorithm] = row[4].replace("*", "").split(",")[0]
    assert verdicts == SECURITY_POLICY
    # No prose may claim an approval for every operation, or for encrypt as a whole.
    texts = [GUIDE] + [p.read_text() for p in sorted((ROOT / "examples").glob("*.py"))]
    for text in texts:
        flat = " ".join(text.split())
        assert not re.search(r"every (cryptographic )?operation[^.|]*\bapproved", flat, re.I)
        assert not re.search(r"`encrypt`[^.|]*\bis (an )?approved", flat)


def test_the_threads_section_names_every_function_that_keeps_no_shared_state(core):
    # Every callable of the module but the two streaming classes is a function that keeps nothing
    # between calls; the guide's list must not leave one out (encrypt_mlkem once was).
    bullet = section("## Threads and free-threading").split("- **Module functions**", 1)[1].split("\n- ", 1)[0]
    functions = {n for n in dir(core) if type(getattr(core, n)).__name__ == "builtin_function_or_method"}
    functions |= {f"Token.{n}" for n in ("from_bytes", "compare_token")}
    assert set(re.findall(r"`([\w.]+)`", bullet)) == functions
