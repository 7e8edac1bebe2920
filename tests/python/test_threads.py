"""Many threads at once: meaningful on the free-threaded build, where nothing serialises them."""
import gc
import hashlib
import re
import sys
import sysconfig
import threading
import time

import pytest

from conftest import ROOT, release_only, run_python, run_threads, stall_through
from test_encrypt_mlkem import SYNTHETIC

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
key, mlkem = {keys[2048][1]!r}, {SYNTHETIC[768]!r}
n = 16
barrier = threading.Barrier(n)
results = []
def first(i):
    barrier.wait()
    step = i % 5
    if step == 0:
        r = m.fips_check()
    elif step == 1:
        h = m.Hasher("s"); h.update(b"x"); t = h.finalize()
        r = t.sha == m.create_hash(b"x", "s").sha and type(m.Token.from_bytes(b"")) is type(t) is m.Token
    elif step == 2:
        v = m.VerifyingHasher(m.create_hash(b"x", "s").sha, "s"); v.update(b"x"); r = v.finalize() is None
    elif step == 3:
        r = len(m.encrypt(key, b"x")) == 287
    else:
        r = len(m.encrypt_mlkem(mlkem, b"x")) == 1119
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


def exit_three_times_with_daemon_threads_in(setup):
    # setup defines `calls`; each runs forever on a daemon thread while the interpreter exits,
    # which must still end with exit 0, three runs of three.
    code = setup + """
started = [threading.Event() for _ in calls]
def loop(call, started):
    while True:
        call()
        started.set()
for call, event in zip(calls, started):
    threading.Thread(target=loop, args=(call, event), daemon=True).start()
for event in started:
    event.wait()
junk = [[i] for i in range(300000)]  # a longer finalisation: more threads come back during it
"""
    for _ in range(3):
        out = run_python(code)
        assert out.returncode == 0, (out.returncode, out.stderr)


def test_exit_with_daemon_threads_inside_every_releasing_call(keys):
    # The interpreter ends a daemon thread that wants the lock back during finalisation (3.11 to
    # 3.13 by a forced unwind, pthread_exit); the process must still exit 0, as with hashlib.
    code = f"""
import threading, _core_fips as m
key, mlkem, big = {keys[2048][1]!r}, {SYNTHETIC[768]!r}, bytes(1 << 20)
t = m.create_hash(big, "s")
h, v = m.Hasher("s"), m.VerifyingHasher(t.sha, "s")
calls = [lambda: m.create_hash(big, "s"), lambda: m.compare_hash(t.sha, "s", big),
         lambda: m.Token.from_bytes(big, "s"), lambda: m.Token.compare_token(t.sha, "s", big),
         lambda: m.encrypt(key, big), lambda: m.encrypt_mlkem(mlkem, big), lambda: h.update(big),
         lambda: v.update(big)]
"""
    exit_three_times_with_daemon_threads_in(code)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="__release_buffer__ is called from 3.12 on")
def test_exit_with_daemon_threads_in_an_exporters_release_hook():
    # The hook sleeps, so the interpreter may end the thread inside the buffer's release, which
    # the module makes after the call's work: that unwind must meet no noexcept frame (exit 134).
    code = """
import threading, time, _core_fips as m
class Exporter:
    def __init__(self): self.data = bytearray(1 << 16)
    def __buffer__(self, flags): return memoryview(self.data)
    def __release_buffer__(self, view): time.sleep(0.001)
h = m.Hasher("s")
calls = [lambda: h.update(Exporter()), lambda: m.create_hash(Exporter(), "s")]
"""
    exit_three_times_with_daemon_threads_in(code)


# The calls whose work runs with the lock released, as the guide promises, each with a long call.
RELEASING = {
    "create_hash()": lambda m, big, sha, key: m.create_hash(big, "s"),
    "compare_hash()": lambda m, big, sha, key: m.compare_hash(sha, "s", big),
    "encrypt()": lambda m, big, sha, key: m.encrypt(key, big),
    "encrypt_mlkem()": lambda m, big, sha, key: m.encrypt_mlkem(SYNTHETIC[1024], big),
    "Token.from_bytes()": lambda m, big, sha, key: m.Token.from_bytes(big, "s"),
    "Token.compare_token()": lambda m, big, sha, key: m.Token.compare_token(sha, "s", big),
    "Hasher.update()": lambda m, big, sha, key: m.Hasher("s").update(big),
    "VerifyingHasher.update()": lambda m, big, sha, key: m.VerifyingHasher(sha, "s").update(big),
}


def declared_locks():
    """Display name -> Lock of every ParameterSpec declared under src/python."""
    out = {}
    # The envelope functions' shared declaration (envelope_entry.hpp), named in each one's file.
    helper = (ROOT / "src" / "python" / "envelope_entry.hpp").read_text()
    envelope_lock = re.search(r"envelope_function\(const char\* name\) \{.*?Lock::(\w+)", helper,
                              re.S).group(1)
    for source in sorted((ROOT / "src" / "python").glob("*.cpp")):
        text = source.read_text()
        for body in re.findall(r"ParameterSpec\s+\w+\s*\{(.*?)\};", text, re.S):
            kind = re.search(r"CallableKind::(\w+)", body).group(1)
            owner, name = re.findall(r'nullptr|"([^"]*)"', body)[:2]
            name = "__new__" if kind == "Constructor" else name
            out[f"{owner}.{name}()" if owner else f"{name}()"] = re.search(r"Lock::(\w+)", body).group(1)
        for name in re.findall(r'ParameterSpec\s+\w+\s*=\s*envelope_function\("(\w+)"\)', text):
            out[f"{name}()"] = envelope_lock
    return out


# Not under the debug interpreter: it fills every new object with a pattern, so the allocation of
# encrypt's 128 MiB result (made with the lock held) stalls the other threads for most of the call.
@release_only
def test_every_releasing_declaration_lets_other_threads_run(core, keys):
    declared = declared_locks()
    assert len(declared) == 13, declared
    released = sorted(n for n, lock in declared.items() if lock == "Released")
    big = bytes(128 << 20)
    sha = hashlib.sha384(big + b"s").hexdigest()
    # Free-threaded: no GIL to hold, but a collection stops the world, and waits for a thread that
    # stays attached to the interpreter through its work (frozen objects keep each one short). A
    # work kept attached stalls it through nearly the whole call; a released one at most through
    # the steps that must be attached, such as the allocation of encrypt's 128 MiB result.
    tick = gc.collect if FREE_THREADED else None
    share = 0.9 if FREE_THREADED else 0.5
    stalled = []
    gc.freeze()
    try:
        for name in sorted(set(released) | set(RELEASING)):
            call = RELEASING[name]  # a new releasing declaration needs its long call here
            _, stall = stall_through(lambda: call(core, big, sha, keys[2048][1]), share, tick)
            if stall:
                stalled.append((name, *stall))
    finally:
        gc.unfreeze()
    assert not stalled, "other threads stood still through these calls"
    assert released == sorted(RELEASING), "the declarations differ from the calls that must release"
