"""Salted SHA-384 tokens, against hashlib as the independent reference."""
import hashlib
import platform
import re
import tracemalloc

import pytest
from hypothesis import given, settings, strategies as st

from conftest import run_python, stall_through

ABC_384 = ("cb00753f45a35e8bb5a03d699ac65007272c32ab0eded163"
           "1a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7")
UUID4_HEX = re.compile(r"^[0-9a-f]{12}4[0-9a-f]{3}[89ab][0-9a-f]{15}$")


def test_salt_follows_content_directly(core):
    assert core.create_hash(b"ab", "c").sha == ABC_384
    assert core.create_hash(b"abc", "").sha == ABC_384
    assert core.Token.from_bytes(b"", "abc").sha == ABC_384
    assert core.create_hash(b"abc", "").salt == ""
    t = core.create_hash(b"data", "é")  # a salt contributes its UTF-8 bytes
    assert (t.sha, t.salt) == (hashlib.sha384(b"data\xc3\xa9").hexdigest(), "é")


@settings(max_examples=200, deadline=None)
@given(content=st.binary(max_size=4096), salt=st.text(max_size=40))
def test_matches_hashlib(core, content, salt):
    want = hashlib.sha384(content + salt.encode()).hexdigest()
    t = core.create_hash(content, salt)
    assert t.sha == want and t.salt == salt
    assert core.Token.from_bytes(content, salt).sha == want
    assert core.compare_hash(want, salt, content) is True
    assert core.Token.compare_token(want, salt, content) is None


def test_empty_content_of_every_kind(core):
    for empty in (b"", bytearray(), memoryview(b"")):
        assert core.create_hash(empty, "").sha == hashlib.sha384(b"").hexdigest()


def test_default_salt(core):
    tokens = [core.Token.from_bytes(b"same"), core.create_hash(b"same", None)]
    for t in tokens:
        assert UUID4_HEX.match(t.salt), t.salt
        assert t.sha == hashlib.sha384(b"same" + t.salt.encode()).hexdigest()
    assert tokens[0].salt != tokens[1].salt and tokens[0].sha != tokens[1].sha
    salts = {core.Token.from_bytes(b"").salt for _ in range(2000)}
    assert len(salts) == 2000
    # Over many salts every random hex position takes several values; the fixed ones never do.
    for i in range(32):
        seen = {s[i] for s in salts}
        if i == 12:
            assert seen == {"4"}
        elif i == 16:
            assert seen == set("89ab")
        else:
            assert len(seen) == 16


# Makes getrandom fail with errno REFUSAL for this process and its children, by a seccomp filter
# installed once the module (and the library, with its start-up entropy) is loaded.
REFUSE_GETRANDOM = """
import ctypes, errno, os, struct
import _core_fips
libc = ctypes.CDLL(None, use_errno=True)
insn = lambda code, k, jt=0, jf=0: struct.pack("HBBI", code, jt, jf, k)
prog = ctypes.create_string_buffer(b"".join([
    insn(0x20, 0), insn(0x15, 318, 0, 1),       # syscall number == getrandom?
    insn(0x06, 0x00050000 | errno.REFUSAL), insn(0x06, 0x7FFF0000)]))
fprog = struct.pack("HxxxxxxQ", 4, ctypes.addressof(prog))
assert libc.prctl(38, 1, 0, 0, 0) == 0          # PR_SET_NO_NEW_PRIVS
assert libc.prctl(22, 2, fprog, 0, 0) == 0      # PR_SET_SECCOMP, SECCOMP_MODE_FILTER
try:
    os.getrandom(1)
except OSError as e:
    assert e.errno == errno.REFUSAL
else:
    raise AssertionError("the filter let getrandom through")
"""
x86_64_only = pytest.mark.skipif(platform.machine() != "x86_64",
                                 reason="the filter names x86-64's getrandom")


@x86_64_only
@pytest.mark.parametrize("refusal", ["ENOSYS", "EPERM"])
def test_default_salt_where_getrandom_is_refused(refusal):
    # ENOSYS as on kernels before 3.17, EPERM as older container profiles do; salts must then come
    # from /dev/urandom, each read closing its descriptor: under a limit of 32 open files, 200
    # salts would run out of them otherwise.
    out = run_python(REFUSE_GETRANDOM.replace("REFUSAL", refusal) + """
import resource, _core_fips
hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
resource.setrlimit(resource.RLIMIT_NOFILE, (32, hard))
print(" ".join(_core_fips.create_hash(b"", None).salt for _ in range(200)))
""")
    assert out.returncode == 0, out.stderr
    salts = out.stdout.split()
    assert len(set(salts)) == 200 and all(UUID4_HEX.match(s) for s in salts), salts[:3]


@x86_64_only
def test_the_urandom_descriptor_is_closed_on_exec():
    # A service's other thread may start a program while a salt is read: the program must not
    # inherit the device (close_fds=False, as os.system or a plain fork and exec would leave it).
    out = run_python(REFUSE_GETRANDOM.replace("REFUSAL", "ENOSYS") + """
import subprocess, threading, _core_fips
stop = threading.Event()
def salts():
    while not stop.is_set():
        _core_fips.create_hash(b"", None)
threading.Thread(target=salts).start()
try:
    for i in range(400):
        fds = subprocess.run(["ls", "-l", "/proc/self/fd"], close_fds=False, capture_output=True,
                             text=True, check=True).stdout
        if "/dev/urandom" in fds:
            print("inherited by child", i)
            break
    else:
        print("never inherited")
finally:
    stop.set()
""", timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "never inherited"


def test_mismatches(core):
    content = b"payload"
    t = core.create_hash(content, "salt")
    wrong = [
        (t.sha, t.salt, b"Payload"),
        (t.sha.upper(), t.salt, content),
        (t.sha + "\n", t.salt, content),
        (" " + t.sha, t.salt, content),
        (t.sha, "other", content),
        (t.sha[:-1], t.salt, content),
    ]
    for sha, salt, data in wrong:
        assert core.compare_hash(sha, salt, data) is False
        with pytest.raises(ValueError) as info:
            core.Token.compare_token(sha, salt, data)
        assert info.value.args == ("Generic error: Token mismatch \n",)
    assert core.compare_hash(t.sha, t.salt, content) is True



def test_a_refused_token_leaves_nothing_behind(core):
    # Each refusal makes its ValueError's text; a text kept alive past it would add up, in a
    # service that checks many downloads, to megabytes.
    t = core.create_hash(b"payload", "salt")

    def refuse(n):
        for _ in range(n):
            with pytest.raises(ValueError):
                core.Token.compare_token(t.sha, "salt", b"other")
            v = core.VerifyingHasher(t.sha, "salt")
            with pytest.raises(ValueError):
                v.finalize()

    tracemalloc.start()
    try:
        refuse(1000)  # caches and free lists settle
        before = tracemalloc.get_traced_memory()[0]
        refuse(10_000)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 100_000, f"{grown} bytes kept by 20 000 refusals"

# About half the characters drawn are lone surrogates, which strict UTF-8 encoding refuses.
@settings(max_examples=200, deadline=None)
@given(sha=st.text(st.integers(0xD800, 0xDFFF).map(chr) | st.characters(), max_size=120))
def test_any_sha_text_is_false_or_refused_as_unencodable(core, sha):
    if any("\ud800" <= c <= "\udfff" for c in sha):
        with pytest.raises(UnicodeEncodeError) as info:
            core.compare_hash(sha, "s", b"x")
        assert info.value.__notes__ == ["while processing 'sha'"]
    else:
        assert core.compare_hash(sha, "s", b"x") is False


class TestToken:
    def test_surface(self, core):
        T = core.Token
        assert T.__module__ == "builtins" and T.__qualname__ == "Token" and T.__doc__ is None
        assert T.from_bytes.__text_signature__ == "(data, salt=None)"
        assert T.compare_token.__text_signature__ == "(sha, salt, data)"
        assert T.from_bytes.__doc__ is None
        assert core.create_hash.__text_signature__ == "(bytes, salt)"
        assert core.create_hash.__doc__ is None
        assert core.compare_hash.__text_signature__ == "(sha, salt, bytes)"
        assert core.create_hash.__module__ is None and core.create_hash.__self__ is None

    def test_static_methods_through_class_and_instance(self, core):
        t = core.create_hash(b"x", "s")
        assert t.from_bytes is core.Token.from_bytes and t.compare_token is core.Token.compare_token
        assert t.from_bytes(b"x", "s").sha == core.Token.from_bytes(b"x", "s").sha == t.sha
        assert t.compare_token(t.sha, "s", b"x") is None

    def test_no_constructor_no_subclass_read_only(self, core):
        with pytest.raises(TypeError):
            core.Token()
        with pytest.raises(TypeError):
            core.Token("a", "b")
        for cls in (core.Token, core.Hasher, core.VerifyingHasher):
            with pytest.raises(TypeError):
                type("Sub", (cls,), {})
        t = core.create_hash(b"x", "s")
        with pytest.raises(AttributeError):
            t.sha = "x"
        with pytest.raises(AttributeError):
            del t.salt
        with pytest.raises(AttributeError):
            t.other = 1  # no __dict__

    def test_object_defaults(self, core):
        a, b = core.create_hash(b"x", "s"), core.create_hash(b"x", "s")
        assert a != b and a.sha == b.sha
        assert repr(a).startswith("<builtins.Token object at ")

    def test_types_are_not_frozen(self, core):
        core.Hasher.extra_attribute = 1
        try:
            assert core.Hasher().extra_attribute == 1
        finally:
            del core.Hasher.extra_attribute

    def test_attributes_are_fresh_copies(self, core):
        t = core.create_hash(b"x", "sälz")
        assert t.salt == "sälz" and t.salt is not t.salt and len(t.sha) == 96


def test_lock_is_released_while_hashing(core):
    big = bytes(512 << 20)
    token, stalled = stall_through(lambda: core.create_hash(big, "s"))
    assert token.sha == hashlib.sha384(big + b"s").hexdigest()
    assert stalled is None, stalled
