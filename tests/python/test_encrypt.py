"""encrypt: the envelope's layout, its refusals, and an independent recipient that opens it."""
import subprocess

import pytest

from conftest import PEER, RECIPIENT, open_with_peer, release_only, stall_through


@pytest.mark.parametrize("bits, head", [(2048, b"\x01\x00"), (3072, b"\x01\x80"),
                                        (4096, b"\x02\x00")])
def test_layout_and_recipient(core, keys, bits, head):
    private, public = keys[bits]
    k = bits // 8
    for plaintext in (b"", b"hello", bytes(range(256)) * 300):
        envelope = core.encrypt(public, plaintext)
        assert type(envelope) is bytes
        assert len(envelope) == 30 + k + len(plaintext)
        assert envelope[:2] == head
        opened = open_with_peer(private, envelope)
        assert opened.returncode == 0, opened.stderr
        assert opened.stdout == plaintext


def test_five_octets_at_their_offsets(core, keys):
    private, public = keys[2048]
    envelope = core.encrypt(public, b"12345")
    assert len(envelope) == 291
    script = f"""
import sys
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
env = sys.stdin.buffer.read()
key = serialization.load_pem_private_key(open({str(private)!r}, 'rb').read(), None).decrypt(
    env[2:258], padding.OAEP(padding.MGF1(hashes.SHA256()), hashes.SHA256(), None))
nonce, ct, tag = env[258:270], env[270:275], env[275:291]
print(AESGCM(key).decrypt(nonce, ct + tag, None).decode(), len(key))
"""
    out = subprocess.run([PEER, "-c", script], input=envelope, capture_output=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.decode().split() == ["12345", "32"]


def test_every_altered_octet_of_nonce_ciphertext_and_tag_is_detected(core, keys):
    private, public = keys[2048]
    envelope = core.encrypt(public, b"attack at dawn")
    script = f"""
import sys
sys.path.insert(0, {str(RECIPIENT.parent)!r})
from recipient import open_envelope
from cryptography.exceptions import InvalidTag
pem = open({str(private)!r}, 'rb').read()
env = sys.stdin.buffer.read()
assert open_envelope(pem, env) == b"attack at dawn"
detected = 0
for i in range(258, len(env)):
    altered = bytearray(env)
    altered[i] ^= 0x01
    try:
        open_envelope(pem, bytes(altered))
    except InvalidTag:
        detected += 1
print(detected, len(env) - 258)
"""
    out = subprocess.run([PEER, "-c", script], input=envelope, capture_output=True, timeout=120)
    assert out.returncode == 0, out.stderr
    detected, total = out.stdout.decode().split()
    assert detected == total == str(12 + 14 + 16)


def test_every_call_is_fresh(core, keys):
    _, public = keys[2048]
    a, b = core.encrypt(public, b"same"), core.encrypt(public, b"same")
    assert len(a) == len(b) and a != b
    assert a[2:258] != b[2:258] and a[258:270] != b[258:270]


def test_keywords_and_bytes_subclasses(core, keys):
    private, public = keys[2048]

    class B(bytes):
        pass

    envelope = core.encrypt(plaintext=B(b"kw"), public_key_pem=B(public))
    assert open_with_peer(private, envelope).stdout == b"kw"


def test_argument_refusals(core, keys):
    _, public = keys[2048]
    cases = [
        ((bytearray(public), b"x"), "'bytearray' object is not an instance of 'bytes'", "public_key_pem"),
        ((public.decode(), b"x"), "'str' object is not an instance of 'bytes'", "public_key_pem"),
        ((public, memoryview(b"x")), "'memoryview' object is not an instance of 'bytes'", "plaintext"),
        ((public, bytearray(b"x")), "'bytearray' object is not an instance of 'bytes'", "plaintext"),
        ((public, None), "'None' is not an instance of 'bytes'", "plaintext"),
    ]
    for args, message, parameter in cases:
        with pytest.raises(TypeError) as info:
            core.encrypt(*args)
        assert str(info.value) == message
        assert info.value.__notes__ == [f"while processing '{parameter}'"]
    with pytest.raises(TypeError, match=r"^encrypt\(\) missing 1 required positional argument: 'plaintext'$"):
        core.encrypt(public)
    assert core.encrypt.__text_signature__ == "(public_key_pem, plaintext)"
    assert core.encrypt.__doc__ is None and core.encrypt.__module__ is None


def test_refused_keys(core, keys, tmp_path):
    private, public = keys[2048]
    spki = subprocess.run(["openssl", "rsa", "-in", str(private), "-pubout"], check=True,
                          capture_output=True).stdout
    for key in (keys[1024][1], spki, b"", b"hello", public.replace(b"RSA PUBLIC", b"RSA PRIVATE"),
                public + public, public[:-30] + public[-29:]):
        with pytest.raises(ValueError) as info:
            core.encrypt(key, b"x")
        assert info.value.args == ("Invalid public key",)
    with pytest.raises(ValueError) as info:
        core.encrypt(b"\xff" + public, b"x")
    assert str(info.value) == "UTF8 error: invalid utf-8 sequence of 1 bytes from index 0"
    with pytest.raises(ValueError) as info:
        core.encrypt(public + b"\xe2\x82", b"x")
    assert str(info.value) == f"UTF8 error: incomplete utf-8 byte sequence from index {len(public)}"


@release_only
def test_lock_is_released_while_encrypting(core, keys):
    _, public = keys[2048]
    big = bytes(256 << 20)
    envelope, stalled = stall_through(lambda: core.encrypt(public, big))
    assert len(envelope) == len(big) + 30 + 256
    assert stalled is None, stalled
