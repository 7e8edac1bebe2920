"""Argument intake: binding messages, conversions and their notes, buffer views."""
import array
import ctypes
import mmap

import pytest


def raises(exc_type, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    return info.value


def notes(exc):
    return getattr(exc, "__notes__", None)


class TestBinding:
    def test_too_many_positional(self, core):
        cases = [
            (lambda: core.create_hash(b"", "s", 1),
             "create_hash() takes 2 positional arguments but 3 were given"),
            (lambda: core.Hasher("a", "b"),
             "Hasher.__new__() takes from 0 to 1 positional arguments but 2 were given"),
            (lambda: core.Hasher().update(b"a", b"b"),
             "Hasher.update() takes 1 positional arguments but 2 were given"),
            (lambda: core.Token.from_bytes(b"", None, 3),
             "Token.from_bytes() takes from 1 to 2 positional arguments but 3 were given"),
            (lambda: core.VerifyingHasher("a", "b", "c"),
             "VerifyingHasher.__new__() takes 2 positional arguments but 3 were given"),
        ]
        for call, message in cases:
            e = raises(TypeError, call)
            assert str(e) == message and notes(e) is None

    def test_too_many_positional_wins_over_keywords(self, core):
        e = raises(TypeError, core.create_hash, b"", "s", 1, nonsense=1)
        assert str(e) == "create_hash() takes 2 positional arguments but 3 were given"

    def test_unexpected_and_duplicate_keywords(self, core):
        e = raises(TypeError, core.create_hash, bytes=b"", salt="s", pepper=1)
        assert str(e) == "create_hash() got an unexpected keyword argument 'pepper'"
        e = raises(TypeError, core.create_hash, b"", bytes=b"")
        assert str(e) == "create_hash() got multiple values for argument 'bytes'"
        e = raises(TypeError, core.Hasher, salt="a", chunk=b"")
        assert str(e) == "Hasher.__new__() got an unexpected keyword argument 'chunk'"
        e = raises(TypeError, core.VerifyingHasher, "x", expected_sha="y")
        assert str(e) == "VerifyingHasher.__new__() got multiple values for argument 'expected_sha'"
        e = raises(TypeError, core.create_hash, b"", **{"s\udc80": 1})
        assert str(e).startswith("create_hash() got an unexpected keyword argument 's")

        class Unprintable(str):
            def __str__(self):
                raise ZeroDivisionError

        e = raises(TypeError, core.Hasher, **{Unprintable("pepper"): 1})
        assert str(e) == "Hasher.__new__() got an unexpected keyword argument 'pepper'"
        assert notes(e) is None
        e = raises(TypeError, lambda: core.Hasher(**{1: 2}))
        assert str(e) == "keywords must be strings" and notes(e) is None

    def test_a_keyword_must_be_a_whole_name(self, core):
        # Prefixes of a parameter's name and the empty name bind nothing.
        for kwargs, name in (({"s": "q"}, "s"), ({"sal": "q"}, "sal"), ({"": b""}, ""),
                             ({"bytesx": b""}, "bytesx")):
            e = raises(TypeError, core.create_hash, b"abc", **kwargs)
            assert str(e) == f"create_hash() got an unexpected keyword argument '{name}'"
        e = raises(TypeError, core.Hasher, **{"": "q"})
        assert str(e) == "Hasher.__new__() got an unexpected keyword argument ''"

    def test_missing_arguments_are_named_and_joined(self, core):
        cases = [
            (lambda: core.create_hash(b""),
             "create_hash() missing 1 required positional argument: 'salt'"),
            (lambda: core.compare_hash(),
             "compare_hash() missing 3 required positional arguments: 'sha', 'salt', and 'bytes'"),
            (lambda: core.compare_hash("x"),
             "compare_hash() missing 2 required positional arguments: 'salt' and 'bytes'"),
            (lambda: core.compare_hash(salt="s"),
             "compare_hash() missing 2 required positional arguments: 'sha' and 'bytes'"),
            (lambda: core.VerifyingHasher("x"),
             "VerifyingHasher.__new__() missing 1 required positional argument: 'salt'"),
            (lambda: core.Token.compare_token(data=b""),
             "Token.compare_token() missing 2 required positional arguments: 'sha' and 'salt'"),
            (lambda: core.Hasher().update(),
             "Hasher.update() missing 1 required positional argument: 'chunk'"),
        ]
        for call, message in cases:
            e = raises(TypeError, call)
            assert str(e) == message and notes(e) is None

    def test_keywords_bind_like_positions(self, core):
        a = core.create_hash(bytes=b"abc", salt="s").sha
        assert a == core.create_hash(b"abc", "s").sha == core.create_hash(salt="s", bytes=b"abc").sha
        assert core.compare_hash(bytes=b"abc", salt="s", sha=a) is True
        assert core.Token.from_bytes(data=b"abc", salt="s").sha == a
        h = core.Hasher(salt="s")
        h.update(chunk=b"abc")
        assert h.finalize().sha == a
        # Names are matched by identity with interned ones first; any other equal text binds too.
        class Name(str):
            pass
        for name in ("".join(["sa", "lt"]), Name("salt")):
            assert core.create_hash(b"abc", **{name: "s"}).sha == a
            assert core.Hasher(**{name: "s"}).finalize().salt == "s"


class TestConversions:
    def test_text_arguments(self, core):
        e = raises(TypeError, core.compare_hash, None, "s", b"")
        assert str(e) == "'None' is not an instance of 'str'" and notes(e) == ["while processing 'sha'"]
        e = raises(TypeError, core.compare_hash, "x", None, b"")
        assert str(e) == "'None' is not an instance of 'str'" and notes(e) == ["while processing 'salt'"]
        e = raises(TypeError, core.compare_hash, "x", b"s", b"")
        assert str(e) == "'bytes' object is not an instance of 'str'"
        e = raises(TypeError, core.VerifyingHasher, "x", 5)
        assert str(e) == "'int' object is not an instance of 'str'"
        assert notes(e) == ["while processing 'salt'"]

    def test_str_subclass_is_text(self, core):
        class S(str):
            pass
        assert core.create_hash(b"a", S("b")).sha == core.create_hash(b"a", "b").sha

    def test_lone_surrogate(self, core):
        for call in (lambda: core.create_hash(b"", "\ud800"),
                     lambda: core.Hasher("\ud800"),
                     lambda: core.compare_hash("x", "\ud800", b"")):
            e = raises(UnicodeEncodeError, call)
            assert notes(e) == ["while processing 'salt'"]

    def test_optional_salt(self, core):
        assert len(core.create_hash(b"", None).salt) == 32
        assert len(core.Token.from_bytes(b"").salt) == 32
        assert len(core.Hasher(None).finalize().salt) == 32

    def test_first_failing_argument_decides(self, core):
        e = raises(TypeError, core.create_hash, "not a buffer", 5)
        assert notes(e) == ["while processing 'bytes'"]
        e = raises(TypeError, core.compare_hash, 1, 2, "x")
        assert notes(e) == ["while processing 'sha'"]

    def test_a_note_is_added_once_to_a_fresh_exception(self, core):
        for _ in range(2):
            e = raises(TypeError, core.create_hash, "s", "x")
            assert notes(e) == ["while processing 'bytes'"]


class TestBuffers:
    def test_accepted_exporters(self, core, tmp_path):
        want = core.create_hash(b"abc", "").sha
        f = tmp_path / "f"
        f.write_bytes(b"abc")
        with open(f, "r+b") as fh, mmap.mmap(fh.fileno(), 0) as mapped:
            inputs = [b"abc", bytearray(b"abc"), memoryview(b"abc"), array.array("B", b"abc"),
                      memoryview(b"xabcx")[1:4], mapped]
            for data in inputs:
                assert core.create_hash(data, "").sha == want, type(data)

    def test_formats(self, core):
        ndarray = pytest.importorskip("_testbuffer").ndarray
        want = core.create_hash(b"abc", "").sha
        for fmt in ("B", "c", "@B", "=B", ">B", "@c", "=c", ">c"):
            items = [b"a", b"b", b"c"] if fmt.endswith("c") else list(b"abc")
            assert core.create_hash(ndarray(items, shape=[3], format=fmt), "").sha == want, fmt
        for fmt in ("<B", "!B", "b", "@b", "<c", "?"):
            items = [True] * 3 if fmt == "?" else [b"a"] * 3 if fmt.endswith("c") else [1, 2, 3]
            e = raises(BufferError, core.create_hash, ndarray(items, shape=[3], format=fmt), "")
            assert str(e) == "buffer contents are not compatible with u8", fmt
            assert notes(e) == ["while processing 'bytes'"]

    def test_views_without_strides_are_refused(self, core):
        # ctypes arrays export no strides even when asked for them.
        e = raises(BufferError, core.create_hash, (ctypes.c_uint8 * 3)(), "")
        assert str(e) == "strides is null" and notes(e) == ["while processing 'bytes'"]

    def test_wide_items_are_refused(self, core):
        e = raises(BufferError, core.create_hash, array.array("H", [1, 2]), "")
        assert str(e) == "buffer contents are not compatible with u8"
        assert notes(e) == ["while processing 'bytes'"]

    def test_non_buffers(self, core):
        e = raises(TypeError, core.create_hash, "text", "")
        assert notes(e) == ["while processing 'bytes'"]
        e = raises(TypeError, core.Hasher().update, 42)
        assert notes(e) == ["while processing 'chunk'"]

    def test_non_contiguous_views(self, core):
        stepped = memoryview(b"abcdef")[::2]
        for call in (lambda: core.create_hash(stepped, ""),
                     lambda: core.compare_hash("x", "", stepped),
                     lambda: core.Token.from_bytes(stepped),
                     lambda: core.Token.compare_token("x", "", stepped),
                     lambda: core.Hasher().update(stepped),
                     lambda: core.VerifyingHasher("x", "").update(stepped)):
            e = raises(ValueError, call)
            assert str(e) == "buffer must be C-contiguous" and notes(e) is None

    def test_views_are_released_after_every_outcome(self, core):
        data = bytearray(b"abc")
        core.create_hash(data, "")
        with pytest.raises(TypeError):
            core.compare_hash("x", 5, data)  # fails before the view is taken
        with pytest.raises(TypeError):
            core.Token.from_bytes(data, 5)  # fails after the view is taken
        with pytest.raises(ValueError):
            core.Token.compare_token("x", "", data)
        data.extend(b"d")  # would raise BufferError if any export were still open
        assert bytes(data) == b"abcd"
