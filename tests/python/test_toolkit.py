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
