"""Hasher and VerifyingHasher: chunked results equal the one-shot ones, states, concurrency."""
import hashlib
import mmap
import threading

import pytest
from hypothesis import given, settings, strategies as st

MISMATCH = "Generic error: Token mismatch \n"


def split(content, cuts):
    points = sorted({min(c, len(content)) for c in cuts})
    pieces, last = [], 0
    for p in points:
        pieces.append(content[last:p])
        last = p
    pieces.append(content[last:])
    return pieces


@settings(max_examples=150, deadline=None)
@given(content=st.binary(max_size=2048), cuts=st.lists(st.integers(0, 2048), max_size=8),
       salt=st.text(max_size=20), empties=st.booleans())
def test_any_split_gives_the_one_shot_token(core, content, cuts, salt, empties):
    chunks = split(content, cuts) if cuts or content else []
    if empties:
        chunks = [b""] + [c for chunk in chunks for c in (chunk, b"")]
    h = core.Hasher(salt)
    for chunk in chunks:
        assert h.update(chunk) is None
    t = h.finalize()
    one_shot = core.create_hash(content, salt)
    assert (t.sha, t.salt) == (one_shot.sha, salt)

    v = core.VerifyingHasher(t.sha, salt)
    for chunk in chunks:
        v.update(chunk)
    assert v.finalize() is None


@settings(max_examples=150, deadline=None)
@given(content=st.binary(min_size=1, max_size=512), cut=st.integers(0, 512),
       change=st.sampled_from(["flip", "drop", "extra"]), at=st.integers(0, 511))
def test_chunked_verifier_and_compare_hash_agree(core, content, cut, change, at):
    t = core.create_hash(content, "s")
    i = at % len(content)
    if change == "flip":
        other = content[:i] + bytes([content[i] ^ 1]) + content[i + 1:]
    elif change == "drop":
        other = content[:i] + content[i + 1:]
    else:
        other = content[:i] + b"\0" + content[i:]
    for data, matches in ((content, True), (other, False)):
        v = core.VerifyingHasher(t.sha, t.salt)
        for chunk in split(data, [cut]):
            v.update(chunk)
        if matches:
            assert v.finalize() is None
        else:
            with pytest.raises(ValueError) as info:
                v.finalize()
            assert str(info.value) == MISMATCH
        assert core.compare_hash(t.sha, t.salt, data) is matches


def test_default_salt_is_chosen_at_construction(core):
    a, b = core.Hasher(), core.Hasher(None)
    ta, tb = a.finalize(), b.finalize()
    assert len(ta.salt) == 32 and ta.salt != tb.salt
    assert ta.sha == hashlib.sha384(ta.salt.encode()).hexdigest()
    assert core.Hasher(salt="").finalize().sha == hashlib.sha384(b"").hexdigest()


@pytest.mark.parametrize("make, name", [
    (lambda core: core.Hasher("s"), "Hasher"),
    (lambda core: core.VerifyingHasher(hashlib.sha384(b"s").hexdigest(), "s"), "VerifyingHasher"),
])
def test_finalized_state(core, make, name):
    obj = make(core)
    obj.finalize()
    for call in (obj.finalize, lambda: obj.update(b"x")):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == f"{name} already finalized"
    with pytest.raises(TypeError) as info:  # the argument is taken before the state is tested
        obj.update(42)
    assert info.value.__notes__ == ["while processing 'chunk'"]


def test_verifier_is_finalized_after_a_mismatch(core):
    v = core.VerifyingHasher("0" * 96, "s")
    with pytest.raises(ValueError, match="Token mismatch"):
        v.finalize()
    with pytest.raises(ValueError, match="^VerifyingHasher already finalized$"):
        v.finalize()


def test_verifier_arguments(core):
    t = core.create_hash(b"abc", "s")
    for bad in ((t.sha, None), (t.sha,), (None, "s")):
        with pytest.raises(TypeError):
            core.VerifyingHasher(*bad)
    for expected in (t.sha.upper(), t.sha + "\n", ""):
        v = core.VerifyingHasher(expected, "s")
        v.update(b"abc")
        with pytest.raises(ValueError, match="Token mismatch"):
            v.finalize()
    assert core.VerifyingHasher(expected_sha=t.sha, salt="s").update(chunk=b"abc") is None


def test_refused_chunk_feeds_nothing(core):
    h = core.Hasher("s")
    h.update(b"ab")
    with pytest.raises(ValueError, match="^buffer must be C-contiguous$"):
        h.update(memoryview(b"xyxyxy")[::2])
    h.update(bytearray(b"c"))
    assert h.finalize().sha == core.create_hash(b"abc", "s").sha


def test_mmap_chunks(core, tmp_path):
    f = tmp_path / "content"
    f.write_bytes(bytes(range(256)) * 1000)
    h = core.Hasher("s")
    with open(f, "rb") as fh, mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        h.update(mm)
        v = core.VerifyingHasher(core.create_hash(f.read_bytes(), "s").sha, "s")
        v.update(memoryview(mm)[:100000])
        v.update(memoryview(mm)[100000:])
        assert v.finalize() is None
    assert h.finalize().sha == core.create_hash(f.read_bytes(), "s").sha


@pytest.mark.parametrize("kind", ["Hasher", "VerifyingHasher"])
def test_concurrent_use_of_one_object_is_refused(core, kind):
    big = bytearray(256 << 20)
    obj = core.Hasher("s") if kind == "Hasher" else core.VerifyingHasher(
        hashlib.sha384(bytes(big) + b"s").hexdigest(), "s")
    def feed():
        while True:
            try:
                return obj.update(big)
            except RuntimeError:  # a probe below held the object for a moment: try again
                pass

    worker = threading.Thread(target=feed)
    worker.start()
    outcomes = []
    while worker.is_alive():
        try:
            obj.update(b"")  # feeds nothing: a probe for the worker being inside update
            continue
        except RuntimeError as e:
            assert str(e) == "Already borrowed"
        # The worker holds the object and the bytearray's export (256 MiB take ~0.4 s).
        for call in (lambda: obj.update(b"x"), obj.finalize, lambda: big.append(0)):
            try:
                call()
                outcomes.append("went through")
            except (RuntimeError, BufferError) as e:
                outcomes.append(f"{type(e).__name__}: {e}")
        break
    worker.join()
    assert outcomes == ["RuntimeError: Already borrowed", "RuntimeError: Already borrowed",
                        "BufferError: Existing exports of data: object cannot be re-sized"]
    result = obj.finalize()  # free again once the first call returned
    if kind == "Hasher":
        assert result.sha == hashlib.sha384(bytes(big) + b"s").hexdigest()
    else:
        assert result is None


def test_distinct_objects_run_in_parallel(core):
    data = [bytes([i]) * (32 << 20) for i in range(4)]
    hashers = [core.Hasher("s") for _ in data]
    threads = [threading.Thread(target=h.update, args=(d,)) for h, d in zip(hashers, data)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for h, d in zip(hashers, data):
        assert h.finalize().sha == hashlib.sha384(d + b"s").hexdigest()
