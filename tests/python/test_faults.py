"""Internal faults reach Python as PanicException, through fault points of the test build."""
import hashlib

import pytest

from conftest import run_python

PROBE = """
import sys, _core_fips as m
def attempt(label, fn):
    try:
        fn()
    except Exception as e:
        print(label, "caught-as-Exception", type(e).__name__)
    except BaseException as e:
        t = type(e)
        print(label, f"{t.__module__}.{t.__qualname__}", t.__mro__[1].__name__, repr(str(e)))
"""


def run_with_fault(faults_dir, point, code):
    out = run_python(PROBE + code, path=faults_dir, env={"CORE_FIPS_INJECT_FAULT": point})
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines(), out.stderr


@pytest.mark.parametrize("point, call, text", [
    ("digest.update", "m.create_hash(b'x', 's')", "digest update failed: Unspecified"),
    ("digest.update", "m.compare_hash('x', 's', b'x')", "digest update failed: Unspecified"),
    ("digest.final", "m.Token.from_bytes(b'x', 's')", "EVP_DigestFinal failed: Unspecified"),
    ("digest.init", "m.Token.compare_token('x', 's', b'x')",
     "called `Result::unwrap()` on an `Err` value: Unspecified"),
    ("salt.random", "m.create_hash(b'x', None)",
     "could not retrieve random bytes for uuid: unexpected situation"),
    ("salt.random", "m.Hasher()", "could not retrieve random bytes for uuid: unexpected situation"),
])
def test_faults_become_panic_exception(faults_dir, point, call, text):
    lines, _ = run_with_fault(faults_dir, point, f"attempt('call', lambda: {call})")
    assert lines == [f"call _core_fips_runtime.PanicException BaseException {text!r}"]


@pytest.mark.parametrize("point", ["envelope.seal", "envelope.wrap"])
def test_a_failing_envelope_step_is_encryption_failed(faults_dir, keys, point):
    lines, _ = run_with_fault(faults_dir, point, f"""
try:
    m.encrypt({keys[2048][1]!r}, b'data')
except ValueError as e:
    print('refused', repr(e.args))
""")
    assert lines == ["refused ('Encryption failed',)"]


def test_the_product_has_no_fault_points(core):
    out = run_python("import _core_fips as m; print(m.create_hash(b'x', 's').sha)",
                     env={"CORE_FIPS_INJECT_FAULT": "digest.update,digest.final,digest.init"})
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == hashlib.sha384(b"xs").hexdigest()


def test_streaming_state_after_a_fault(faults_dir):
    lines, _ = run_with_fault(faults_dir, "digest.update", """
import os
h = m.Hasher('s')
attempt('update', lambda: h.update(b'abc'))
os.environ['CORE_FIPS_INJECT_FAULT'] = ''
h.update(b'abc')              # still open, access released
print('open', h.finalize().sha == m.create_hash(b'abc', 's').sha)
os.environ['CORE_FIPS_INJECT_FAULT'] = 'digest.final'
v = m.VerifyingHasher('x', 's')
attempt('finalize', v.finalize)
attempt('again', v.finalize)
""")
    assert lines[0].startswith("update _core_fips_runtime.PanicException")
    assert lines[1] == "open True"
    assert lines[2] == ("finalize _core_fips_runtime.PanicException BaseException "
                        "'EVP_DigestFinal failed: Unspecified'")
    assert lines[3] == "again caught-as-Exception ValueError"


def test_panic_exception_is_one_class_with_a_docstring(faults_dir):
    lines, _ = run_with_fault(faults_dir, "digest.update", """
seen = []
for _ in range(2):
    try:
        m.create_hash(b'x', 's')
    except BaseException as e:
        seen.append(type(e))
print(seen[0] is seen[1], issubclass(seen[0], Exception), 'unrecoverable' in seen[0].__doc__)
""")
    assert lines == ["True False True"]


def test_fault_in_release_is_reported_as_unraisable(faults_dir):
    lines, _ = run_with_fault(faults_dir, "instance.release", """
import sys
reports = []
sys.unraisablehook = lambda u: reports.append((type(u.exc_value).__name__, str(u.exc_value), u.object))
t = m.create_hash(b'x', 's')
del t
h = m.Hasher('s')
del h
print(len(reports), reports[0][0], repr(reports[0][1]), reports[0][2].__name__, reports[1][2].__name__)
""")
    assert lines == ["2 PanicException 'instance release: injected fault' Token Hasher"]


def test_a_type_creation_that_throws_leaves_the_once_guard_open(faults_dir):
    # A C++ allocation failure while the first class is made: the import fails with MemoryError,
    # and the next import makes the classes. A guard left locked would hang it (the timeout).
    out = run_python("""
        import os
        try:
            import _core_fips
        except MemoryError:
            print("MemoryError")
        os.environ["CORE_FIPS_INJECT_FAULT"] = ""
        import _core_fips as m
        print(m.create_hash(b"x", "s").sha)
    """, path=faults_dir, env={"CORE_FIPS_INJECT_FAULT": "type.create"}, timeout=30)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["MemoryError", hashlib.sha384(b"xs").hexdigest()]


def test_a_cpp_allocation_failure_is_memory_error(faults_dir):
    # The salt's own allocation fails (set_nomemory below starves only the interpreter's
    # allocators): with the lock released inside create_hash, and held inside Hasher().
    lines, _ = run_with_fault(faults_dir, "salt.alloc", """
attempt('one-shot', lambda: m.create_hash(b'x', 's'))
attempt('streaming', lambda: m.Hasher('s'))
""")
    assert lines == ["one-shot caught-as-Exception MemoryError",
                     "streaming caught-as-Exception MemoryError"]


def test_memory_exhaustion_is_memory_error_not_panic():
    # Every allocation of the interpreter fails from the n-th on: each call either completes or
    # raises MemoryError; it never turns into PanicException or crashes.
    out = run_python("""
        import _testcapi, _core_fips as m
        t = m.create_hash(b"abc", "s")
        calls = {
            "create_hash": lambda: m.create_hash(b"abc", "s"),
            "from_bytes": lambda: m.Token.from_bytes(b"abc"),
            "compare_hash": lambda: m.compare_hash(t.sha, "s", b"abc"),
            "compare_token": lambda: m.Token.compare_token(t.sha, "s", b"abd"),
            "getter": lambda: t.sha,
            "Hasher": lambda: m.Hasher("s").finalize(),
            "VerifyingHasher": lambda: m.VerifyingHasher(t.sha, "s").finalize(),
            "bad-argument": lambda: m.create_hash("x", "s"),
        }
        if hasattr(m, "encrypt"):
            calls["encrypt"] = lambda: m.encrypt(b"not a key", b"x")
        for name, fn in calls.items():
            outcomes = set()
            for start in range(30):
                _testcapi.set_nomemory(start, 0)
                try:
                    fn()
                    outcome = "completed"
                except MemoryError:
                    outcome = "MemoryError"
                except (ValueError, TypeError):
                    outcome = "completed"  # the call's own answer
                except BaseException as e:
                    outcome = e
                finally:
                    _testcapi.remove_mem_hooks()
                outcomes.add(outcome if isinstance(outcome, str) else type(outcome).__name__)
            print(name, *sorted(outcomes))
    """)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) >= 8
    for line in lines:
        assert line.split()[1:] == ["MemoryError", "completed"], line
