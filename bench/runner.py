"""Performance figures for _core_fips, printed as one table.

The runner: it measures (rounds of samples in a rotated order, on the chosen clock), holds the
figures, targets and verdicts, runs the children and prints the table. The cases are in
bench/sections.py; bench/bench.py runs both.

Measurements that need another interpreter or a fresh process run as children:
bench/pyca_envelope.py under /usr/bin/python3 (Debian's pyca/cryptography), bench/child.py under
3.14 or 3.13t with the module, bench/raw_sha384 (the library floor). They report their own timings
as JSON lines.
"""
from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import platform
import random
import shutil
import ssl
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import timeit
from dataclasses import dataclass, field
from typing import Callable

import _core_fips

HERE = os.path.dirname(os.path.abspath(__file__))
MIB = 1 << 20
BIG = 64 * MIB
SALT = "5f0c8e3a9b1d4e7fa2c6b8d0e4f1a3c5"  # the shape of a default salt: 32 hex digits
PYCA_PYTHON = "/usr/bin/python3"  # Debian's Python with its pyca/cryptography
# pyca/cryptography 49 (ML-KEM) from Debian unstable under CPython 3.14 (setup/lib-peers.sh).
MLKEM_PYTHON = os.path.join(os.environ.get("CORE_FIPS_PEERS", "/nonexistent"), "bin", "python3")
CLOCKS = {
    # Single-threaded work is timed on the thread's own CPU clock: the time other work on a shared
    # machine takes the processor away is then not counted. Wall time is the honest clock for
    # anything that waits or runs several threads.
    "cpu": (time.thread_time_ns, time.thread_time, "CPU time of the measuring thread"),
    "wall": (time.perf_counter_ns, time.perf_counter, "wall-clock time"),
}
METHOD = (
    "the clock column says what a figure was timed on: cpu = CPU time of the measuring thread "
    "(default for single-threaded work: time the shared machine takes away is not counted), wall = "
    "elapsed time (threads, process start-up), proc = user+system CPU time of a child process "
    "(rusage), rss = peak resident-memory growth of a child process "
    "(VmHWM reset to the current RSS at the baseline). Every contender of a section takes one "
    "sample per round, in an order rotated each round (drift hits all alike); one warm-up round is "
    "dropped; gc is off while timing. A figure is the best sample of its rounds (disturbances only "
    "ever add time), the median beside it; spread = median / best - 1. For time, ratio = speed / "
    "anchor's speed (>1 is faster); for rss, ratio = growth / anchor's bytes (<1 is smaller); from "
    "best samples, median-based in parentheses. MB = 10^6 bytes of content. A figure saying "
    "'minus' is the difference of two measured figures (best minus best, median minus median)."
)
NOISY = 0.10  # a spread above this marks a verdict as unreliable


# ------------------------------------------------------------------ figures and targets


@dataclass
class Compare:
    anchor: str  # key of the anchor figure
    minimum: float | None = None  # the target: ratio at least this
    strict: bool = False  # the ratio must exceed the minimum ("faster than")
    maximum: float | None = None  # the target: ratio at most this
    remark: str = ""  # added to a MISSED verdict: what the section saw that explains it


@dataclass
class Figure:
    key: str
    label: str
    samples: list[float]  # nanoseconds per operation, or bytes for clock "rss"
    nbytes: int | None = None  # content bytes per operation: shown as MB/s, else as time per call
    compare: list[Compare] = field(default_factory=list)
    clock: str = ""  # "cpu", "wall", or "rss" (the samples are byte counts); "" = the run's clock

    @property
    def best(self) -> float:
        return min(self.samples)

    @property
    def median(self) -> float:
        return statistics.median(self.samples)

    def show(self, v: float) -> str:
        if self.clock == "rss":
            return f"{v / MIB:8.1f} MiB "
        if self.nbytes:
            return f"{self.nbytes * 1e3 / v:8.1f} MB/s"
        for unit, scale in (("ms", 1e6), ("µs", 1e3)):
            if abs(v) >= 10 * scale:
                return f"{v / scale:8.1f} {unit}  "
        return f"{v:8.1f} ns  "

    @property
    def spread(self) -> float | None:
        if self.best <= 0:
            return None
        return self.median / self.best - 1


class Difference(Figure):
    """The cost one figure adds over another (an import over a bare interpreter start): its best
    is the difference of their bests, its median the difference of their medians."""

    def __init__(self, key: str, label: str, minuend: Figure, subtrahend: Figure,
                 compare: list[Compare] | None = None):
        samples = [a - b for a, b in zip(sorted(minuend.samples), sorted(subtrahend.samples))]
        super().__init__(key, label, samples, None, compare or [], minuend.clock)
        self.minuend, self.subtrahend = minuend, subtrahend

    @property
    def spread(self) -> None:
        return None  # a spread of a difference says nothing about either side's noise

    @property
    def best(self) -> float:
        return self.minuend.best - self.subtrahend.best

    @property
    def median(self) -> float:
        return self.minuend.median - self.subtrahend.median


def ratio_of(figure: Figure, anchor: Figure, pick: Callable[[Figure], float]) -> float | None:
    if figure.clock == "rss" or anchor.clock == "rss":
        if figure.clock != anchor.clock:
            raise ValueError(f"{figure.key} and {anchor.key} measure different things")
        return pick(figure) / pick(anchor) if pick(anchor) > 0 else None
    if (figure.nbytes is None) != (anchor.nbytes is None):
        raise ValueError(f"{figure.key} and {anchor.key} measure different things")
    if pick(figure) <= 0 or pick(anchor) <= 0:
        return None
    ours = (figure.nbytes or 1) / pick(figure)
    theirs = (anchor.nbytes or 1) / pick(anchor)
    return ours / theirs


def meets(ratio: float, c: Compare) -> bool:
    if c.minimum is not None and not (ratio > c.minimum if c.strict else ratio >= c.minimum):
        return False
    return c.maximum is None or ratio <= c.maximum


class Skip(Exception):
    """A section that cannot run on this machine or in this build; the table shows why."""


SECTIONS: list[tuple[str, Callable[[Bench], list[Figure]]]] = []


def section(name: str):
    def register(fn):
        SECTIONS.append((name, fn))
        return fn

    return register


# ------------------------------------------------------------------ measuring


def measure(contenders: dict[str, Callable[[], float]], rounds: int) -> dict[str, list[float]]:
    """Runs rounds of samples; each contender's callable takes one sample, returning ns per op."""
    names = list(contenders)
    samples: dict[str, list[float]] = {name: [] for name in names}
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds + 1):
            k = r % len(names)
            for name in names[k:] + names[:k]:
                ns = contenders[name]()
                if r:
                    samples[name].append(ns)
    finally:
        if gc_was_enabled:
            gc.enable()
    return samples


def agree(what: str, results: dict[str, str]) -> None:
    """A speed comparison between different computations would mean nothing."""
    if len(set(results.values())) != 1:
        lines = "\n".join(f"  {name}: {value}" for name, value in results.items())
        sys.exit(f"bench: {what}: the contenders disagree\n{lines}")


def loadavg() -> str:
    one, five, fifteen = os.getloadavg()
    return f"{one:.2f} {five:.2f} {fifteen:.2f}"


class JsonChild:
    """A child process answering one JSON line per command line; the first line says it is ready."""

    def __init__(self, argv: list[str], name: str):
        self.name = name
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.info = self._answer()

    def _answer(self) -> dict:
        line = self.proc.stdout.readline()
        if not line:
            sys.exit(f"bench: {self.name} ended (status {self.proc.wait()})")
        return json.loads(line)

    def ask(self, command: str) -> dict:
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self._answer()

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait()


class RawLoop(JsonChild):
    """bench/raw_sha384 as a subprocess."""

    def __init__(self, exe: str, content_path: str, salt: str):
        super().__init__([exe, content_path, salt], "the raw loop")

    def sampler(self, command: str, sha: str, clock: str) -> Callable[[], float]:
        def sample() -> float:
            answer = self.ask(command)
            if answer["sha"] != sha:
                sys.exit(f"bench: raw loop digest {answer['sha']} differs from {sha}")
            return answer[f"{clock}_ns"] / answer["calls"]

        return sample


def run_json(argv: list[str], what: str, timeout: float = 600) -> dict:
    """Runs a child that prints one JSON line; a failure becomes a Skip showing its last words."""
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise Skip(f"{what}: {e}")
    if done.returncode != 0 or not done.stdout.strip():
        tail = " | ".join((done.stderr or "").strip().splitlines()[-3:])
        raise Skip(f"{what} failed (status {done.returncode}): {tail}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def pyca_available(b: Bench) -> bool:
    try:
        probe = subprocess.run([b.pyca_python, "-c", "import cryptography"], capture_output=True)
    except OSError:
        return False
    return probe.returncode == 0


class Bench:
    """What the sections share: the content, the salt, the child processes, the RSA key, the
    rounds and the clock."""

    def __init__(self, rounds: int, clock: str, raw_exe: str, workdir: str, pyca_python: str):
        self.rounds = rounds
        self.clock = clock
        self.now_ns, self.now_seconds, _ = CLOCKS[clock]
        self.content = random.Random(20240601).randbytes(BIG)
        self.salt = SALT
        self.salt_bytes = SALT.encode()
        self.workdir = workdir
        self.pyca_python = pyca_python
        self.notes: dict[str, list[str]] = {}
        self.current = ""
        self._raw_exe = raw_exe
        self._raw: RawLoop | None = None
        self._pyca: JsonChild | None = None
        self._key: tuple[str, str, bytes] | None = None
        self._rsa_pems: dict[int, bytes] = {}
        self._mlkem_key: tuple[str, str, bytes] | None = None
        self._pyca_mlkem: JsonChild | None = None

    def note(self, text: str) -> None:
        """A line printed under the current section's heading in the table."""
        self.notes.setdefault(self.current, []).append(text)

    @property
    def raw(self) -> RawLoop:
        if self._raw is None:
            path = os.path.join(self.workdir, "content.bin")
            with open(path, "wb") as f:
                f.write(self.content)
            self._raw = RawLoop(self._raw_exe, path, self.salt)
        return self._raw

    @property
    def rsa_key(self) -> tuple[str, str, bytes]:
        """A fresh 2048-bit key made by openssl in the run's temporary folder (removed at the end):
        private key path, public key path, public key PEM (PKCS#1, "RSA PUBLIC KEY")."""
        if self._key is None:
            private = os.path.join(self.workdir, "rsa2048.pem")
            public = os.path.join(self.workdir, "rsa2048.pub.pem")
            for argv in (["openssl", "genrsa", "-out", private, "2048"],
                         ["openssl", "rsa", "-in", private, "-RSAPublicKey_out", "-out", public]):
                try:
                    subprocess.run(argv, check=True, capture_output=True)
                except (OSError, subprocess.CalledProcessError) as e:
                    raise Skip(f"making the RSA key with openssl failed: {e}")
            with open(public, "rb") as f:
                self._key = (private, public, f.read())
        return self._key

    def rsa_pem(self, bits: int) -> bytes:
        """The public PEM (PKCS#1) of a fresh RSA key of `bits` made by openssl."""
        if bits == 2048:
            return self.rsa_key[2]
        if bits not in self._rsa_pems:
            private = os.path.join(self.workdir, f"rsa{bits}.pem")
            try:
                subprocess.run(["openssl", "genrsa", "-out", private, str(bits)], check=True,
                               capture_output=True)
                self._rsa_pems[bits] = subprocess.run(
                    ["openssl", "rsa", "-in", private, "-RSAPublicKey_out"], check=True,
                    capture_output=True).stdout
            except (OSError, subprocess.CalledProcessError) as e:
                raise Skip(f"making the RSA key with openssl failed: {e}")
        return self._rsa_pems[bits]

    @property
    def mlkem_key(self) -> tuple[str, str, bytes]:
        """An ML-KEM-1024 key made by pyca/cryptography 49: private key path (seed-only PKCS #8),
        public key path, public key PEM (SubjectPublicKeyInfo)."""
        if self._mlkem_key is None:
            private = os.path.join(self.workdir, "mlkem1024.pem")
            public = os.path.join(self.workdir, "mlkem1024.pub.pem")
            make = ("from cryptography.hazmat.primitives import serialization as s\n"
                    "from cryptography.hazmat.primitives.asymmetric import mlkem\n"
                    "k = mlkem.MLKEM1024PrivateKey.generate()\n"
                    f"open({private!r}, 'wb').write(k.private_bytes(s.Encoding.PEM, "
                    "s.PrivateFormat.PKCS8, s.NoEncryption()))\n"
                    f"open({public!r}, 'wb').write(k.public_key().public_bytes(s.Encoding.PEM, "
                    "s.PublicFormat.SubjectPublicKeyInfo))\n")
            try:
                subprocess.run([MLKEM_PYTHON, "-c", make], check=True, capture_output=True)
            except (OSError, subprocess.CalledProcessError) as e:
                raise Skip(f"no pyca/cryptography with ML-KEM at {MLKEM_PYTHON} "
                           f"(CORE_FIPS_PEERS; tools/bench sets it): {e}")
            with open(public, "rb") as f:
                self._mlkem_key = (private, public, f.read())
        return self._mlkem_key

    @property
    def pyca_mlkem(self) -> JsonChild:
        """bench/pyca_envelope.py serving under pyca/cryptography 49, over all the content."""
        if self._pyca_mlkem is None:
            private, public, _ = self.mlkem_key
            path = os.path.join(self.workdir, "mlkem-content.bin")
            with open(path, "wb") as f:
                f.write(self.content)
            self._pyca_mlkem = JsonChild([MLKEM_PYTHON, os.path.join(HERE, "pyca_envelope.py"),
                                          "serve", public, private, path],
                                         "the pyca/cryptography 49 child")
        return self._pyca_mlkem

    @property
    def pyca(self) -> JsonChild:
        """bench/pyca_envelope.py serving under Debian's Python, over the first MiB of content."""
        if self._pyca is None:
            if not pyca_available(self):
                raise Skip(f"{self.pyca_python} cannot import cryptography (the anchor)")
            private, public, _ = self.rsa_key
            path = os.path.join(self.workdir, "envelope-content.bin")
            with open(path, "wb") as f:
                f.write(self.content[:MIB])
            self._pyca = JsonChild([self.pyca_python, os.path.join(HERE, "pyca_envelope.py"),
                                    "serve", public, private, path], "the pyca/cryptography child")
        return self._pyca

    def close(self) -> None:
        for child in (self._raw, self._pyca, self._pyca_mlkem):
            if child is not None:
                child.close()

    def once(self, fn: Callable[[], object], clock: str | None = None) -> Callable[[], float]:
        """A sample is one call of fn (a section timing threads or waits passes clock="wall")."""
        now = CLOCKS[clock][0] if clock else self.now_ns

        def sample() -> float:
            start = now()
            fn()
            return now() - start

        return sample

    def per_call(self, stmt: str, namespace: dict, seconds: float = 0.05,
                 trial: int = 1000) -> Callable[[], float]:
        """A sample is a timeit batch of stmt sized to take about `seconds`; ns per call. The
        timeit loop itself (a few ns per call) is inside every contender's figure alike."""
        timer = timeit.Timer(stmt, timer=self.now_seconds, globals=namespace)
        number = max(trial, int(trial * seconds / max(timer.timeit(trial), 1e-9)))
        return lambda: timer.timeit(number) * 1e9 / number

    def child_per_call(self, child: JsonChild, command: str, seconds: float = 0.05,
                       trial: int = 20) -> Callable[[], float]:
        """per_call for a child answering "COMMAND CALLS" with its own timings on this clock."""
        answer = child.ask(f"{command} {trial}")
        per = answer[f"{self.clock}_ns"] / answer["calls"]
        number = max(trial, int(seconds * 1e9 / max(per, 1)))
        key = f"{self.clock}_ns"

        def sample() -> float:
            a = child.ask(f"{command} {number}")
            return a[key] / a["calls"]

        return sample

    def raw_sampler(self, command: str, sha: str) -> Callable[[], float]:
        """A sample is one command to the raw library loop, timed there on the same clock."""
        return self.raw.sampler(command, sha, self.clock)


# ------------------------------------------------------------------ the table


def describe_target(c: Compare) -> str:
    parts = []
    if c.minimum is not None:
        parts.append(f"{'>' if c.strict else '>='} {c.minimum:.2f}x")
    if c.maximum is not None:
        parts.append(f"<= {c.maximum:.2f}x")
    return ", ".join(parts)


Done = tuple[str, "list[Figure] | str"]


def table_rows(done: list[Done]) -> list[dict]:
    """One row per figure and anchor (a figure without anchors gets one row), with its verdict."""
    figures = {f.key: f for _, figs in done if not isinstance(figs, str) for f in figs}
    rows = []
    for name, figs in done:
        if isinstance(figs, str):
            continue
        for f in figs:
            base = {"section": name, "key": f.key, "label": f.label, "clock": f.clock,
                    "best": f.best, "median": f.median, "spread": f.spread,
                    "shown_best": f.show(f.best), "shown_median": f.show(f.median)}
            if not f.compare:
                rows.append(base | {"anchor": None})
            for c in f.compare:
                anchor = figures[c.anchor]
                best = ratio_of(f, anchor, lambda x: x.best)
                median = ratio_of(f, anchor, lambda x: x.median)
                row = base | {"anchor": c.anchor, "anchor_label": anchor.label, "ratio": best,
                              "ratio_median": median, "target": describe_target(c),
                              "minimum": c.minimum, "maximum": c.maximum, "met": None,
                              "verdict": ""}
                if (c.minimum is not None or c.maximum is not None):
                    ok = best is not None and meets(best, c)
                    verdict = "met" if ok else "MISSED"
                    spreads = [x for x in (f.spread, anchor.spread) if x is not None]
                    if median is not None and meets(median, c) != ok:
                        verdict += " (borderline: the median says otherwise)"
                    elif spreads and max(spreads) > NOISY:
                        verdict += " (noisy)"
                    if not ok and c.remark:
                        verdict += f"; {c.remark}"
                    row |= {"met": ok, "verdict": verdict}
                rows.append(row)
    return rows


def print_table(done: list[Done], rows: list[dict], notes: dict[str, list[str]]) -> tuple[int, int]:
    w_label = max([len(r["label"]) for r in rows] + [30])
    w_anchor = max([len(r["anchor_label"]) for r in rows if r["anchor"]] + [13])
    w_target = max([len(r["target"]) for r in rows if r["anchor"]] + [6])
    header = (f"{'case':<{w_label}}  {'best':>13}  {'median':>13}  {'spread':>6}  clock"
              f"  {'compared with':<{w_anchor}}"
              f"  {'ratio':>6} {'(median)':>9}  {'target':<{w_target}}  verdict")
    print(header)
    print("-" * len(header))
    by_section: dict[str, list[dict]] = {}
    for r in rows:
        by_section.setdefault(r["section"], []).append(r)

    def ratio(x: float | None) -> str:
        return "-" if x is None else f"{x:.3f}x"

    for name, figs in done:
        print(f"[{name}]")
        for line in notes.get(name, []):
            print(f"  # {line}")
        if isinstance(figs, str):
            print(f"  skipped: {figs}")
            continue
        previous = None
        for r in by_section.get(name, []):
            spread = "-" if r["spread"] is None else f"{r['spread']:.1%}"
            lead = (f"{r['label']:<{w_label}}  {r['shown_best']:>13}  {r['shown_median']:>13}"
                    f"  {spread:>6}  {r['clock']:<5}")
            if r["key"] == previous:
                lead = " " * len(lead)
            previous = r["key"]
            if not r["anchor"]:
                print(lead.rstrip())
                continue
            print(f"{lead}  {r['anchor_label']:<{w_anchor}}  {ratio(r['ratio']):>6}"
                  f" {'(' + ratio(r['ratio_median']) + ')':>9}  {r['target']:<{w_target}}"
                  f"  {r['verdict']}".rstrip())
    met = sum(1 for r in rows if r.get("met") is True)
    missed = sum(1 for r in rows if r.get("met") is False)
    return met, missed


def as_json(name: str, figs: list[Figure] | str, notes: list[str]) -> dict:
    if isinstance(figs, str):
        return {"section": name, "skipped": figs, "notes": notes}
    return {"section": name, "notes": notes,
            "figures": [{"key": f.key, "label": f.label, "clock": f.clock, "nbytes": f.nbytes,
                         "samples": f.samples, "best": f.best, "median": f.median,
                         "compare": [vars(c) for c in f.compare]} for f in figs]}


def plot(rows: list[dict], path: str, workdir: str) -> str:
    """Writes the ratios as a PNG through whichever interpreter here imports matplotlib."""
    candidates = [sys.executable, PYCA_PYTHON, shutil.which("python3"), shutil.which("python3.11")]
    seen = []
    for python in candidates:
        if not python or python in seen or not os.access(python, os.X_OK):
            continue
        seen.append(python)
        if subprocess.run([python, "-c", "import matplotlib"], capture_output=True).returncode:
            continue
        data = os.path.join(workdir, "rows.json")
        with open(data, "w") as out:
            json.dump([r for r in rows if r["anchor"] and r["ratio"] is not None], out)
        done = subprocess.run([python, os.path.join(HERE, "plot.py"), data, path],
                              capture_output=True, text=True)
        if done.returncode:
            return f"plot: {python} failed to draw: {done.stderr.strip().splitlines()[-1:]}"
        return f"plot: {path} (drawn by {python})"
    return f"plot: skipped, no interpreter here imports matplotlib (tried {', '.join(seen)})"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--raw", required=True, help="path of the built raw_sha384")
    parser.add_argument("--rounds", type=int, default=7, help="samples per contender (default 7)")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="single-threaded sections: cpu (the measuring thread's CPU time, "
                             "default) or wall; threads and start-up are always on the wall clock")
    parser.add_argument("--only", help="comma-separated section names or prefixes")
    parser.add_argument("--json", help="also write every figure and row to this file")
    parser.add_argument("--plot", help="also draw the ratios as a PNG here, when matplotlib is "
                                       "importable by some interpreter on the machine")
    parser.add_argument("--pyca-python", default=PYCA_PYTHON,
                        help=f"interpreter with pyca/cryptography (default {PYCA_PYTHON})")
    parser.add_argument("--list", action="store_true", help="list the sections and exit")
    parser.add_argument("--strict", action="store_true", help="exit 1 when a target is missed")
    args = parser.parse_args()
    if args.list:
        print("\n".join(name for name, _ in SECTIONS))
        return 0
    wanted = [w.strip() for w in args.only.split(",")] if args.only else None

    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())
    load_before = loadavg()
    started = time.monotonic()
    done: list[Done] = []
    with tempfile.TemporaryDirectory(prefix="core-fips-bench-") as workdir:
        b = Bench(args.rounds, args.clock, args.raw, workdir, args.pyca_python)
        try:
            for name, fn in SECTIONS:
                if wanted and not any(name.startswith(w) for w in wanted):
                    continue
                print(f"measuring {name} ...", file=sys.stderr, flush=True)
                b.current = name
                try:
                    figures = fn(b)
                    for f in figures:
                        f.clock = f.clock or args.clock
                    done.append((name, figures))
                except Skip as why:
                    done.append((name, str(why)))
            raw_info = b._raw.info if b._raw else None
        finally:
            b.close()
        rows = table_rows(done)
        plotted = plot(rows, args.plot, workdir) if args.plot else None  # "" draws nothing

    print(f"_core_fips bench: Python {platform.python_version()} ({sys.executable})")
    print(f"  module {_core_fips.__file__}")
    print(f"  hashlib.sha384 is {hashlib.sha384.__name__} ({ssl.OPENSSL_VERSION})", end="")
    if raw_info:
        print(f"; raw loop over {raw_info['library']}, FIPS mode {raw_info['fips_mode']}", end="")
    print(f"\n  CPU {cpu}, {os.cpu_count()} logical cores; load average {load_before} at the "
          f"start, {loadavg()} at the end ({time.monotonic() - started:.0f} s)")
    print(textwrap.fill(f"default rounds {args.rounds}; {METHOD}", width=100,
                        initial_indent="  ", subsequent_indent="  ") + "\n")
    met, missed = print_table(done, rows, b.notes)
    print(f"\ntargets: {met} met, {missed} missed")
    if plotted:
        print(plotted)

    if args.json:
        with open(args.json, "w") as out:
            json.dump({"sections": [as_json(name, figs, b.notes.get(name, []))
                                    for name, figs in done], "rows": rows}, out, indent=1)
    return 1 if args.strict and missed else 0


if __name__ == "__main__":
    sys.exit(main())
