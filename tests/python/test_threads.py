"""Many threads at once: meaningful on the free-threaded build, where nothing serialises them."""
import hashlib
import sys
import sysconfig
import threading
import time

import pytest

from conftest import run_python, run_threads

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.skipif(not FREE_THREADED, reason="the GIL exists only as an option on this build")
def test_import_keeps_the_gil_disabled():
    out = run_python("import sys, _core_fips; print(sys._is_gil_enabled())")
    assert out.returncode == 0 and out.stdout.strip() == "False", out.stderr


def test_hammering_one_hasher(core):
    chunk = bytes(range(256)) * 64  # 16 KiB
    h = core.Hasher("s")
    accepted = [0] * 8
    unexpected = []
    barrier = threading.Barrier(8)

    def hammer(i):
        barrier.wait()
        for _ in range(400):
            try:
                h.update(chunk)
                accepted[i] += 1
            except RuntimeError as e:
                if str(e) != "Already borrowed":
                    unexpected.append(e)
            except BaseException as e:  # anything else is a fault
                unexpected.append(e)

    run_threads(hammer, 8)
    assert not unexpected
    n = sum(accepted)
    assert 0 < n <= 3200
    assert h.finalize().sha == hashlib.sha384(chunk * n + b"s").hexdigest()


def test_every_callable_in_parallel(core, keys):
    public_key = keys[2048][1]
    deadline = time.monotonic() + 3
    failures = []
    counts = [0] * 8

    def work(i):
        salt = f"salt-{i}"
        data = bytes([i]) * (1000 + i)
        want = hashlib.sha384(data + salt.encode()).hexdigest()
        try:
            # At least one round each, however late a thread starts on a loaded machine.
            while not counts[i] or time.monotonic() < deadline:
                h = core.Hasher(salt)
                h.update(data[:500])
                h.update(data[500:])
                t = h.finalize()
                v = core.VerifyingHasher(want, salt)
                v.update(data)
                ok = (t.sha == want and t.salt == salt and v.finalize() is None
                      and core.create_hash(data, salt).sha == want
                      and core.compare_hash(want, salt, data) is True
                      and core.compare_hash(want, salt, data + b"x") is False
                      and core.Token.from_bytes(data, salt).sha == want
                      and len(core.encrypt(public_key, data)) == len(data) + 286
                      and core.fips_check() is True)
                if not ok:
                    failures.append(i)
                counts[i] += 1
        except BaseException as e:
            failures.append(e)

    run_threads(work, 8)
    assert not failures
    assert all(c > 0 for c in counts)


def test_shared_token_read_from_many_threads(core):
    t = core.create_hash(b"shared", "é")
    seen = set()

    def read(_):
        for _ in range(20000):
            seen.add((t.sha, t.salt))

    run_threads(read, 8)
    assert seen == {(hashlib.sha384("sharedé".encode()).hexdigest(), "é")}


def test_racing_first_use_of_everything(keys):
    # A fresh process per round, so that every type cell, the panic class and the library
    # initialisation are raced for afresh.
    code = f"""
import sys, threading, _core_fips as m
key = {keys[2048][1]!r}
n = 16
barrier = threading.Barrier(n)
results = []
def first(i):
    barrier.wait()
    step = i % 4
    if step == 0:
        r = m.fips_check()
    elif step == 1:
        h = m.Hasher("s"); h.update(b"x"); t = h.finalize()
        r = t.sha == m.create_hash(b"x", "s").sha and type(m.Token.from_bytes(b"")) is type(t) is m.Token
    elif step == 2:
        v = m.VerifyingHasher(m.create_hash(b"x", "s").sha, "s"); v.update(b"x"); r = v.finalize() is None
    else:
        r = len(m.encrypt(key, b"x")) == 287
    results.append(r)
threads = [threading.Thread(target=first, args=(i,)) for i in range(n)]
for t in threads: t.start()
for t in threads: t.join()
print(len(results), all(results), getattr(sys, "_is_gil_enabled", lambda: True)())
"""
    for _ in range(5):
        out = run_python(code)
        assert out.returncode == 0, out.stderr
        count, ok, gil = out.stdout.split()
        assert (count, ok) == ("16", "True")
        if FREE_THREADED:
            assert gil == "False"
