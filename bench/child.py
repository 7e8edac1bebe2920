"""Measurements that need a process of their own, run by bench/bench.py under the project's CPython
3.14 or the free-threaded 3.13t with _core_fips importable. Each prints one JSON line.

    child.py peak encrypt PUBLIC_PEM N   peak RSS growth of one encrypt of an N-byte plaintext
                                         (encrypt_mlkem, with an ML-KEM key: the same)
    child.py peak create_hash N          the same for one create_hash
    child.py threads SIZE ROUNDS         wall time of 1 thread hashing one SIZE-byte buffer and of
                                         2 threads hashing one distinct buffer each, interleaved,
                                         with create_hash and, as the control, hashlib.sha384
"""

import hashlib
import json
import os
import random
import sys
import sysconfig
import threading
import time

import _core_fips

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from rss import PeakMeter  # noqa: E402

SALT = "5f0c8e3a9b1d4e7fa2c6b8d0e4f1a3c5"


def peak(what: str, args: list[str]) -> dict:
    if what in ("encrypt", "encrypt_mlkem"):
        with open(args[0], "rb") as f:
            pem = f.read()
        size = int(args[1])
        seal = getattr(_core_fips, what)
        seal(pem, b"warm-up")  # first-use allocations are not the call's
        run = lambda data: seal(pem, data)  # noqa: E731
    elif what == "create_hash":
        size = int(args[0])
        _core_fips.create_hash(b"warm-up", SALT).sha
        run = lambda data: _core_fips.create_hash(data, SALT)  # noqa: E731
    else:
        raise SystemExit(f"child: nothing to measure called {what}")
    plaintext = b"\xa5" * size  # written, so every page is resident before the baseline
    meter = PeakMeter()
    result = run(plaintext)
    report = meter.report()
    report["result_bytes"] = len(result) if isinstance(result, bytes) else 0
    return report


def with_create_hash(data: bytes) -> str:
    return _core_fips.create_hash(data, SALT).sha


def with_hashlib(data: bytes) -> str:
    # hashlib also drops the GIL for large updates: on the same machine at the same moment it shows
    # how much parallel hardware the run actually got.
    h = hashlib.sha384(data)
    h.update(SALT.encode())
    return h.hexdigest()


HASHERS = {"create_hash": with_create_hash, "hashlib": with_hashlib}


def schedstat() -> tuple[int, int]:
    """This thread's time on a CPU and time runnable but waiting for one (run queue), in ns."""
    try:
        with open("/proc/thread-self/schedstat") as f:
            run, wait, _ = f.read().split()
        return int(run), int(wait)
    except (OSError, ValueError):
        return 0, 0


def hash_in_threads(digest, buffers: list[bytes]) -> tuple[int, list[int], list[str]]:
    """Wall nanoseconds from the moment every thread is ready until the last has finished, one
    thread per buffer (thread start-up is outside the time), and where the threads' time went:
    [wall, running, waiting for a core] summed over the threads. Whatever wall time is neither
    running nor queued for a core was spent blocked (a lock, the GIL) or asleep."""
    shas: list[str] = [""] * len(buffers)
    ready = threading.Barrier(len(buffers) + 1)
    spent = [[0, 0, 0] for _ in buffers]

    def work(i: int) -> None:
        ready.wait()
        wall, (run, wait) = time.perf_counter_ns(), schedstat()
        shas[i] = digest(buffers[i])
        run_after, wait_after = schedstat()
        spent[i] = [time.perf_counter_ns() - wall, run_after - run, wait_after - wait]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(buffers))]
    for t in threads:
        t.start()
    ready.wait()
    wall = time.perf_counter_ns()
    for t in threads:
        t.join()
    return time.perf_counter_ns() - wall, [sum(column) for column in zip(*spent)], shas


def threads(size: int, rounds: int) -> dict:
    buffers = [random.Random(seed).randbytes(size) for seed in (1, 2)]
    expected = [with_create_hash(b) for b in buffers]
    cases = {f"{hasher} {n}": (HASHERS[hasher], buffers[:n])
             for hasher in HASHERS for n in (1, 2)}
    for name, (digest, parts) in cases.items():
        # both compute sha384(content + salt): every case must give create_hash's digest
        if [digest(b) for b in parts] != expected[:len(parts)]:
            raise SystemExit(f"child: {name} disagrees with create_hash")
    samples: dict[str, list[int]] = {name: [] for name in cases}
    spent: dict[str, list[list[int]]] = {name: [] for name in cases}
    names = list(cases)
    for r in range(rounds + 1):  # round 0 warms up and is dropped
        k = r % len(names)
        for name in names[k:] + names[:k]:
            digest, parts = cases[name]
            wall_ns, where, shas = hash_in_threads(digest, parts)
            if shas != expected[:len(shas)]:
                raise SystemExit(f"child: {name} gave {shas}, sequential hashing {expected}")
            if r:
                samples[name].append(wall_ns)
                spent[name].append(where)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    return {"python": sys.version.split()[0], "executable": sys.executable,
            "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")), "gil_enabled": gil,
            "bytes": size, "samples": samples, "thread_time": spent,
            "schedstat": os.path.exists("/proc/thread-self/schedstat"), "loadavg": os.getloadavg()}


def main(argv: list[str]) -> int:
    if len(argv) >= 3 and argv[1] == "peak":
        result = peak(argv[2], argv[3:])
    elif len(argv) == 4 and argv[1] == "threads":
        result = threads(int(argv[2]), int(argv[3]))
    else:
        sys.stderr.write(__doc__)
        return 2
    print(json.dumps(result), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
