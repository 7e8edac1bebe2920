"""Contention for tools/tsan, run by the ThreadSanitizer build of CPython 3.13t.

    contention.py --seconds S [--threads N]    shared objects and every callable, for S seconds
    contention.py --cold N [--faults-dir DIR]  N fresh interpreters whose threads hit a cold module

Warm: N threads share one Hasher, one VerifyingHasher and one Token: they feed the streaming
objects good and bad chunks while one thread swaps in new ones and finalizes the old under their
feet, and between feeds each thread runs the soak mix of every callable with its error paths
(tests/soak/cases.py). A call on a shared object refused with "Already borrowed" is contention,
counted, not a fault; every other outcome must be exactly the expected one. Every finalized
generation of the shared Hasher must equal the digest of the chunks accepted into it, which is
where a broken borrow would show.

The buffer exporters stay per thread (each thread builds its own cases): CPython 3.13's array and
memoryview count their exports with plain increments, so one shared between threads races inside
the interpreter, reported through our frames because we are the caller of PyObject_GetBuffer.

Cold: each fresh interpreter starts N threads that import the module and make their first call at
once (types, the library's initialisation, the interned note name); with --faults-dir half of them
use the fault-injection build with a failing digest step, so the first PanicException is raced too.

Exit status 1 on any wrong outcome, or when the run did not exercise what it claims.
"""
import argparse
import array
import hashlib
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "soak"))
import cases as soak_cases  # noqa: E402

CHUNK = b"shared chunk " * 8


def contended(e):
    """True when `e` is the refusal of a call because another thread held the object."""
    return type(e) is RuntimeError and str(e) == "Already borrowed"


class Shared:
    """The Hasher and VerifyingHasher all threads feed; `rotate` replaces and finalizes them."""

    def __init__(self, core):
        self.core = core
        self.token = core.create_hash(soak_cases.DATA, soak_cases.SALT)
        self.hasher = core.Hasher(soak_cases.SALT)
        self.verifier = core.VerifyingHasher(soak_cases.SHA, soak_cases.SALT)
        self.finished = []  # (hasher, token) per finalized generation; one thread rotates

    def feed(self, stats, bad_chunks):
        """One good chunk, then each of `bad_chunks` (chunk, exception class), into both objects."""
        h, v = self.hasher, self.verifier
        soak_cases.check((self.token.sha, self.token.salt) == (soak_cases.SHA, soak_cases.SALT),
                         "shared Token getters")
        for obj, kind in ((h, "Hasher"), (v, "VerifyingHasher")):
            for chunk, refusal in [(CHUNK, None)] + bad_chunks:
                try:
                    obj.update(chunk)
                    soak_cases.check(refusal is None, f"{kind}.update accepted a bad chunk")
                    outcome = "accepted"
                    if obj is h:
                        stats.accepted[id(h)] = stats.accepted.get(id(h), 0) + 1
                except Exception as e:
                    if contended(e):
                        outcome = "conflict"
                    elif type(e) is ValueError and str(e) == f"{kind} already finalized":
                        outcome = "finalized"  # rotated out between the read and the call
                    elif type(e) is refusal:
                        outcome = "refused"
                    else:
                        raise
                stats.count(f"{kind}.update {outcome}")

    def rotate(self, stats):
        old_h, old_v = self.hasher, self.verifier
        self.hasher = self.core.Hasher(soak_cases.SALT)
        self.verifier = self.core.VerifyingHasher(soak_cases.SHA, soak_cases.SALT)
        self.finished.append((old_h, retry(old_h.finalize, stats)))
        try:
            retry(old_v.finalize, stats)
            raise soak_cases.Mismatch("the shared VerifyingHasher matched after many chunks")
        except ValueError as e:
            soak_cases.check(str(e) == "Generic error: Token mismatch \n", f"verifier: {e!r}")
        stats.count("finalize shared")


def retry(call, stats):
    """Calls until the object is free: the finalizing thread waits its turn like a user would."""
    while True:
        try:
            return call()
        except RuntimeError as e:
            if not contended(e):
                raise
            stats.count("finalize conflict")
            time.sleep(0)


class Stats:
    def __init__(self):
        self.calls, self.accepted = {}, {}

    def count(self, what, n=1):
        self.calls[what] = self.calls.get(what, 0) + n


def warm(seconds, n_threads):
    import _core_fips as core
    with soak_cases.KeyDir() as d:
        keys = soak_cases.rsa_public_keys(d)
    per_thread = [soak_cases.build_cases(core, keys) for _ in range(n_threads)]
    cases = per_thread[0]
    shared = Shared(core)
    stats = [Stats() for _ in range(n_threads)]
    failures = []
    barrier = threading.Barrier(n_threads)
    deadline = None

    def work(i):
        nonlocal deadline
        s, own = stats[i], per_thread[i]
        bad = [(memoryview(soak_cases.DATA)[::2], ValueError), (array.array("i", [1]), BufferError)]
        k = i * len(cases) // n_threads  # threads start at different cases
        if barrier.wait() == 0:
            deadline = time.monotonic() + seconds
        while deadline is None:
            time.sleep(0)
        try:
            rounds = 0
            while time.monotonic() < deadline:
                c = own[k % len(own)]
                k += 1
                c.run()
                s.count(c.callable, c.calls)
                shared.feed(s, bad)
                rounds += 1
                if i == 0 and rounds % 50 == 0:
                    shared.rotate(s)
        except BaseException as e:  # PanicException derives from BaseException
            failures.append(f"thread {i}: {type(e).__name__}: {e}")

    threads = [threading.Thread(target=work, args=(i,)) for i in range(n_threads)]
    t0 = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - t0

    calls, accepted = {}, {}
    for s in stats:
        for k, v in s.calls.items():
            calls[k] = calls.get(k, 0) + v
        for k, v in s.accepted.items():
            accepted[k] = accepted.get(k, 0) + v
    for h, token in shared.finished:
        want = hashlib.sha384(CHUNK * accepted.get(id(h), 0) + soak_cases.SALT.encode()).hexdigest()
        if token.sha != want:
            failures.append(f"a shared Hasher lost or doubled chunks: {accepted.get(id(h), 0)} "
                            "accepted, the digest says otherwise")
    conflicts = sum(v for k, v in calls.items() if k.endswith("conflict"))
    missing = [n for n in soak_cases.callables(cases) if not calls.get(n)]
    if missing:
        failures.append("never completed under contention: " + ", ".join(missing))
    if not conflicts or len(shared.finished) < 2 or not calls.get("Hasher.update finalized") \
            or not calls.get("VerifyingHasher.update refused"):
        failures.append(f"too little contention: {conflicts} conflicts, {len(shared.finished)} "
                        f"rotations, {calls.get('Hasher.update finalized', 0)} late updates")
    print(f"warm: {n_threads} threads for {elapsed:.1f} s: {sum(calls.values())} calls, "
          f"{conflicts} 'Already borrowed' conflicts, {len(shared.finished)} shared generations "
          "finalized under use")
    print("calls: " + ", ".join(f"{k} {v}" for k, v in sorted(calls.items())))
    return failures


COLD_CHILD = """
import hashlib, sys, threading
n = int(sys.argv[1]); key = sys.argv[2].encode(); panic = sys.argv[3] == "panic"
barrier = threading.Barrier(n)
results = [None] * n

def first(i):
    barrier.wait()
    import _core_fips as m
    step = i % 8
    try:
        if panic:
            m.create_hash(b"x", "s")
        elif step == 0:
            r = m.fips_check() is True
        elif step == 1:
            h = m.Hasher("s"); h.update(b"x"); r = h.finalize().salt == "s"
        elif step == 2:
            v = m.VerifyingHasher("0" * 96, "s"); v.update(b"x"); v.finalize()
        elif step == 3:
            r = len(m.encrypt(key, b"x")) == 287
        elif step == 4:
            m.encrypt(b"not a key", b"x")
        elif step == 5:
            m.create_hash(123, "s")
        elif step == 6:
            t = m.Token.from_bytes(b"x", "s"); r = (t.sha, t.salt) == (m.create_hash(b"x", "s").sha, "s")
        else:
            m.compare_hash(hashlib.sha384(b"xzs").hexdigest(), "s", memoryview(b"xyz")[::2])
        results[i] = "ok" if r else "wrong"
    except BaseException as e:
        results[i] = type(e).__name__

threads = [threading.Thread(target=first, args=(i,)) for i in range(n)]
for t in threads: t.start()
for t in threads: t.join()
print(" ".join(results))
"""


def cold(rounds, n_threads, module_dir, faults_dir, key):
    want_plain = ["ok", "ok", "ValueError", "ok", "ValueError", "TypeError", "ok", "ValueError"]
    failures = []
    for r in range(rounds):
        panic = faults_dir is not None and r % 2 == 1
        env = dict(os.environ, PYTHONPATH=faults_dir if panic else module_dir)
        if panic:
            env["CORE_FIPS_INJECT_FAULT"] = "digest.update"
        out = subprocess.run([sys.executable, "-c", COLD_CHILD, str(n_threads), key.decode(),
                              "panic" if panic else "plain"],
                             env=env, capture_output=True, text=True, timeout=600)
        got = out.stdout.split()
        want = ["PanicException"] * n_threads if panic else \
            [want_plain[i % 8] for i in range(n_threads)]
        if out.returncode != 0 or got != want:
            failures.append(f"cold round {r} ({'panic' if panic else 'plain'}): exit "
                            f"{out.returncode}, got {got}, want {want}; stderr: {out.stderr[-400:]}")
    print(f"cold: {rounds} fresh interpreters, {n_threads} threads racing the first use"
          f"{', every other one into the first PanicException' if faults_dir else ''}")
    return failures


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--seconds", type=float, default=0)
    p.add_argument("--threads", type=int, default=8)
    p.add_argument("--cold", type=int, default=0)
    p.add_argument("--faults-dir")
    args = p.parse_args()
    if not args.seconds and not args.cold:
        p.error("nothing to run: give --seconds and/or --cold")
    failures = []
    if args.seconds:
        failures += warm(args.seconds, args.threads)
    if args.cold:
        import _core_fips
        with soak_cases.KeyDir() as d:
            key = soak_cases.rsa_public_keys(d)[2048]
        failures += cold(args.cold, args.threads, os.path.dirname(_core_fips.__file__),
                         args.faults_dir, key)
    for f in failures:
        print("FAILED:", f)
    print("contention:", "FAILED" if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
