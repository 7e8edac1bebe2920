"""The binding's own machinery, seen from Python: how instances come to life and how buffer views
are given back."""
import hashlib

from conftest import run_python


def test_instances_are_allocated_by_their_type_not_constructed_by_object_new():
    # object.__new__ refuses an abstract class; the module's own objects never pass through it, so
    # marking the classes abstract changes nothing for them.
    out = run_python("""
        import _core_fips as m
        for cls in (m.Token, m.Hasher, m.VerifyingHasher):
            cls.__abstractmethods__ = frozenset({"probe"})
        t = m.create_hash(b"x", "s")
        h, v = m.Hasher("s"), m.VerifyingHasher(t.sha, "s")
        h.update(b"x")
        v.update(b"x")
        print(t.sha, h.finalize().sha == t.sha, v.finalize())
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == [hashlib.sha384(b"xs").hexdigest(), "True", "None"]


def test_a_view_moved_over_another_releases_the_buffer_it_held(faults_dir):
    # A bytearray cannot resize while any export of it is held.
    out = run_python("""
        import _core_fips_probe as p
        a, b = bytearray(b"a"), bytearray(b"b")
        p.reassign_view(a, b)
        a.append(0x31)
        b.append(0x32)
        print(a.decode(), b.decode())
    """, path=faults_dir)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["a1", "b2"]


def test_a_waiter_at_a_once_guard_lets_the_runner_have_the_interpreter(faults_dir):
    # Each class's creation hands the interpreter over for a while (the fault point); a second
    # module object of the extension, made meanwhile on another thread, waits at the same
    # once-guards. A waiter that blocked holding the GIL would never let the runner finish.
    out = run_python("""
        import importlib.util, sys, threading, time
        def second():
            time.sleep(0.1)
            spec = importlib.util.spec_from_file_location("second._core_fips", origin)
            m = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(m)
            made.append(m)
        origin, made = importlib.util.find_spec("_core_fips").origin, []
        t = threading.Thread(target=second)
        t.start()
        import _core_fips as m
        t.join()
        print(all(getattr(m, n) is getattr(made[0], n) for n in ("Token", "Hasher", "VerifyingHasher")))
    """, path=faults_dir, env={"CORE_FIPS_INJECT_FAULT": "type.create.yield"}, timeout=30)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True"]


def test_references_dropped_in_a_call_are_released_before_it_returns(faults_dir):
    # A drop may run __del__, so destructors leave it to the call's boundary: the first in place,
    # then in a heap list as it is made (2), filled (9) and grown (10 on), and again after it was
    # drained and freed.
    out = run_python("""
        import sys, _core_fips_probe as p
        o = object()
        for n in (0, 1, 2, 9, 10, 33, 1000, 40):
            before = sys.getrefcount(o)
            p.defer_references(o, n)
            print(sys.getrefcount(o) - before, end=" ")
    """, path=faults_dir)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["0"] * 8


def test_a_view_without_an_owner_is_read_and_released_by_every_callable_that_takes_one(faults_dir):
    # PyBuffer_FillInfo(view, NULL, ...) leaves view.obj NULL, and so does a Cython exporter that
    # never sets info.obj: such a view holds no reference and has nothing to release. Each callable
    # that reads a buffer must read it as it reads the same bytes given as bytes; the envelope
    # functions take bytes alone and refuse it as they refuse any other exporter.
    out = run_python(f"""
        import sys
        sys.path.append({str(faults_dir)!r})
        import _core_fips as m, _core_fips_probe as p
        data = bytes(range(256)) * 3
        owner = p.NullOwner(data)
        assert memoryview(owner).obj is None
        t = m.create_hash(data, "s")
        results = {{
            "create_hash": m.create_hash(owner, "s").sha == t.sha,
            "compare_hash": m.compare_hash(t.sha, "s", owner) is True,
            "compare_hash mismatch": m.compare_hash(t.sha, "s", p.NullOwner(data[1:])) is False,
            "Token.from_bytes": m.Token.from_bytes(owner, "s").sha == t.sha,
            "Token.compare_token": m.Token.compare_token(t.sha, "s", owner) is None,
        }}
        h, v = m.Hasher("s"), m.VerifyingHasher(t.sha, "s")
        for chunk in (data[:100], data[100:]):
            h.update(p.NullOwner(chunk))
            v.update(p.NullOwner(chunk))
        results["Hasher.update"] = h.finalize().sha == t.sha
        results["VerifyingHasher.update"] = v.finalize() is None
        def refused(f, *args):
            try:
                f(*args)
            except TypeError as e:
                return "'NullOwner' object is not an instance of 'bytes'" in str(e)
            return False
        for name, f in (("encrypt", m.encrypt), ("encrypt_mlkem", m.encrypt_mlkem)):
            results[f"{{name}} refuses"] = refused(f, b"key", owner) and refused(f, owner, b"data")
        print(" ".join(name.replace(" ", "_") for name, ok in results.items() if ok))
        print(" ".join(name.replace(" ", "_") for name, ok in results.items() if not ok) or "-")
    """)
    assert out.returncode == 0, out.stderr
    passed, failed = out.stdout.splitlines()
    assert failed == "-"
    assert set(passed.split()) == {
        "create_hash", "compare_hash", "compare_hash_mismatch", "Token.from_bytes",
        "Token.compare_token", "Hasher.update", "VerifyingHasher.update", "encrypt_refuses",
        "encrypt_mlkem_refuses"}
