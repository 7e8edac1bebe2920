#!/usr/bin/env python3
"""A bounded load run against examples/service.py: prints figures, asserts nothing about speed.

    python3 service_load.py [--clients 4] [--requests 300] [--seed 1]

Starts the service in a child process of this same interpreter (so running this under 3.13t
measures the free-threaded service) on 127.0.0.1 with an empty data folder, then lets CLIENTS
threads send REQUESTS requests in all, a fixed mix for a given seed: uploads of 1 KiB to 4 MiB,
downloads of earlier uploads (re-checked by the service before it sends them) and envelopes
sealed for a 2048-bit key. Each reply is checked: an upload's token against hashlib, a download's
bytes against what was uploaded, an envelope's length. Prints requests/s, MB/s, latency
percentiles per kind and the count of errors (wrong status or wrong content); exits 1 on any error.
"""
import argparse
import hashlib
import http.client
import json
import os
import random
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SIZES = (1 << 10, 64 << 10, 1 << 20, 4 << 20)
SIZE_WEIGHTS = (4, 3, 2, 1)
KINDS = ("upload", "download", "seal")
KIND_WEIGHTS = (4, 4, 2)


def start_service(data_dir):
    """The service on an ephemeral port; returns (process, port)."""
    child = subprocess.Popen([sys.executable, str(HERE / "service.py"), data_dir, "--port", "0"],
                             stdout=subprocess.PIPE, text=True)
    line = child.stdout.readline()
    if not line.startswith("serving "):
        child.kill()
        sys.exit(f"service_load: the service did not start (said {line!r}); "
                 "run examples/service.py by hand to see why")
    return child, int(line.rsplit(":", 1)[1])


def make_key(folder):
    private = os.path.join(folder, "client.pem")
    subprocess.run(["openssl", "genrsa", "-out", private, "2048"], check=True, capture_output=True)
    return subprocess.run(["openssl", "rsa", "-in", private, "-RSAPublicKey_out"], check=True,
                          capture_output=True).stdout


def percentile(sorted_values, p):
    return sorted_values[min(len(sorted_values) - 1, round(p / 100 * (len(sorted_values) - 1)))]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--clients", type=int, default=4)
    parser.add_argument("--requests", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)

    rng = random.Random(args.seed)
    plan = [(rng.choices(KINDS, KIND_WEIGHTS)[0], rng.choices(SIZES, SIZE_WEIGHTS)[0])
            for _ in range(args.requests)]
    blobs = {size: os.urandom(size) for size in SIZES}  # made distinct per upload by a prefix

    uploaded = []  # (id, size, sha384 of the content), appended by uploads, read by the others
    lock = threading.Lock()
    latencies = {kind: [] for kind in KINDS}
    errors = []
    moved = [0]
    next_request = iter(range(len(plan)))

    with tempfile.TemporaryDirectory(prefix="service-load-") as folder:
        public_pem = make_key(folder)
        child, port = start_service(os.path.join(folder, "data"))
        try:
            def client(number):
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
                pick = random.Random(args.seed * 1000 + number)
                while True:
                    with lock:
                        i = next(next_request, None)
                        known = list(uploaded)
                    if i is None:
                        break
                    kind, size = plan[i]
                    if kind != "upload" and not known:
                        kind = "upload"  # nothing to fetch yet
                    try:
                        if kind == "upload":
                            content = f"{number}:{i}:".encode() + blobs[size]
                            body, path = content, "/files"
                        else:
                            target = known[pick.randrange(len(known))]
                            body = public_pem if kind == "seal" else None
                            path = f"/files/{target[0]}" + ("/seal" if kind == "seal" else "")
                        started = time.perf_counter()
                        conn.request("POST" if body is not None else "GET", path, body=body)
                        response = conn.getresponse()
                        reply = response.read()
                        elapsed = time.perf_counter() - started
                        if kind == "upload":
                            row = json.loads(reply) if response.status == 201 else {}
                            ok = row.get("sha") == hashlib.sha384(
                                content + row.get("salt", "").encode()).hexdigest()
                            result = (row.get("id"), len(content), hashlib.sha384(content).digest())
                        elif kind == "download":
                            ok = (response.status == 200
                                  and hashlib.sha384(reply).digest() == target[2])
                        else:
                            ok = response.status == 200 and len(reply) == 30 + 256 + target[1]
                        with lock:
                            latencies[kind].append(elapsed)
                            moved[0] += len(body or b"") + len(reply)
                            if not ok:
                                errors.append(f"{kind} {path}: status {response.status}, "
                                              "or a wrong reply")
                            elif kind == "upload":
                                uploaded.append(result)
                    except (OSError, http.client.HTTPException, ValueError) as e:
                        with lock:
                            errors.append(f"{kind}: {type(e).__name__}: {e}")
                        conn.close()
                        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
                conn.close()

            started = time.perf_counter()
            threads = [threading.Thread(target=client, args=(n,)) for n in range(args.clients)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            wall = time.perf_counter() - started
        finally:
            child.terminate()
            child.wait(timeout=30)

    done = sum(len(v) for v in latencies.values())
    gil = "free-threaded, GIL off" if sysconfig.get_config_var("Py_GIL_DISABLED") and \
        not sys._is_gil_enabled() else "with the GIL"
    print(f"service_load: CPython {sys.version.split()[0]} ({gil}), {args.clients} clients, "
          f"{done} requests in {wall:.1f} s, {os.cpu_count()} CPUs, load average "
          f"{os.getloadavg()[0]:.1f}")
    print(f"  {done / wall:.1f} requests/s, {moved[0] / wall / 1e6:.1f} MB/s through the socket, "
          f"{len(errors)} errors")
    print("  latency ms      n    p50    p90    p99    max")
    for kind in KINDS + ("all",):
        values = sorted(sum(latencies.values(), []) if kind == "all" else latencies[kind])
        if values:
            figures = [percentile(values, p) * 1e3 for p in (50, 90, 99)] + [values[-1] * 1e3]
            print(f"  {kind:10} {len(values):6} " + " ".join(f"{x:6.1f}" for x in figures))
    for line in errors[:10]:
        print("  error:", line)
    return 1 if errors or done != args.requests else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
