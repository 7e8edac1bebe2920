"""Performance figures for _core_fips, printed as one table.

Run it through tools/bench, which builds the module and the raw library loop first:

    tools/bench [--rounds N] [--only NAME,...] [--json PATH] [--strict]

Each section is a function registered with @section. It checks that its contenders compute the
same result, measures them, and returns Figures; a Figure may be compared with other figures (its
anchors), optionally against a target ratio. The table gathers the figures of every section that
ran, so further sections (encrypt, threads, memory, import cost) only add a function.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import platform
import random
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from dataclasses import dataclass, field
from typing import Callable

import _core_fips

MIB = 1 << 20
KIB = 1 << 10
BIG = 64 * MIB
SALT = "5f0c8e3a9b1d4e7fa2c6b8d0e4f1a3c5"  # the shape of a default salt: 32 hex digits
CLOCKS = {
    # Single-threaded work is timed on the thread's own CPU clock: the time other work on a shared
    # machine takes the processor away is then not counted. Wall time is the honest clock for
    # anything that waits or runs several threads.
    "cpu": (time.thread_time_ns, time.thread_time, "CPU time of the measuring thread"),
    "wall": (time.perf_counter_ns, time.perf_counter, "wall-clock time"),
}
METHOD = (
    "time is {clock}. Every contender of a section takes one sample per round, in an order "
    "rotated each round (drift hits all alike); one warm-up round is dropped; gc is off while "
    "timing. A figure is the best sample of {rounds} rounds (disturbances only ever add time), the "
    "median beside it; spread = median / best - 1. ratio = speed / anchor's speed (>1 is faster), "
    "from best samples, median-based in parentheses. MB = 10^6 bytes of content."
)
NOISY = 0.10  # a spread above this marks a verdict as unreliable


# ------------------------------------------------------------------ figures and targets


@dataclass
class Compare:
    anchor: str  # key of the anchor figure
    minimum: float | None = None  # the target: speed ratio at least this
    strict: bool = False  # the ratio must exceed the minimum ("faster than")


@dataclass
class Figure:
    key: str
    label: str
    samples: list[float]  # nanoseconds per operation
    nbytes: int | None = None  # content bytes per operation: shown as MB/s, else as ns per call
    compare: list[Compare] = field(default_factory=list)

    @property
    def best(self) -> float:
        return min(self.samples)

    @property
    def median(self) -> float:
        return statistics.median(self.samples)

    def show(self, ns: float) -> str:
        if self.nbytes:
            return f"{self.nbytes * 1e3 / ns:8.1f} MB/s"
        return f"{ns:8.1f} ns  "

    @property
    def spread(self) -> float:
        return self.median / self.best - 1


def speed_ratio(figure: Figure, anchor: Figure, pick: Callable[[Figure], float]) -> float:
    if (figure.nbytes is None) != (anchor.nbytes is None):
        raise ValueError(f"{figure.key} and {anchor.key} measure different things")
    ours = (figure.nbytes or 1) / pick(figure)
    theirs = (anchor.nbytes or 1) / pick(anchor)
    return ours / theirs


def meets(ratio: float, c: Compare) -> bool:
    return ratio > c.minimum if c.strict else ratio >= c.minimum


class Skip(Exception):
    """A section that cannot run in this build; the table shows why."""


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


class RawLoop:
    """bench/raw_sha384 as a subprocess, answering one JSON line per command."""

    def __init__(self, exe: str, content_path: str, salt: str):
        self.proc = subprocess.Popen(
            [exe, content_path, salt], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )
        self.info = self._answer()

    def _answer(self) -> dict:
        line = self.proc.stdout.readline()
        if not line:
            sys.exit(f"bench: the raw loop ended (status {self.proc.wait()})")
        return json.loads(line)

    def ask(self, command: str) -> dict:
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self._answer()

    def sampler(self, command: str, sha: str, clock: str) -> Callable[[], float]:
        def sample() -> float:
            answer = self.ask(command)
            if answer["sha"] != sha:
                sys.exit(f"bench: raw loop digest {answer['sha']} differs from {sha}")
            return answer[f"{clock}_ns"] / answer["calls"]

        return sample

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait()


class Bench:
    """What the sections share: the content, the salt, the raw loop, the rounds and the clock."""

    def __init__(self, rounds: int, clock: str, raw_exe: str, workdir: str):
        self.rounds = rounds
        self.clock = clock
        self.now_ns, self.now_seconds, _ = CLOCKS[clock]
        self.content = random.Random(20240601).randbytes(BIG)
        self.salt = SALT
        self.salt_bytes = SALT.encode()
        self._raw_exe = raw_exe
        self._workdir = workdir
        self._raw: RawLoop | None = None

    @property
    def raw(self) -> RawLoop:
        if self._raw is None:
            path = os.path.join(self._workdir, "content.bin")
            with open(path, "wb") as f:
                f.write(self.content)
            self._raw = RawLoop(self._raw_exe, path, self.salt)
        return self._raw

    def close(self) -> None:
        if self._raw is not None:
            self._raw.close()

    def once(self, fn: Callable[[], object], clock: str | None = None) -> Callable[[], float]:
        """A sample is one call of fn (a section timing threads or waits passes clock="wall")."""
        now = CLOCKS[clock][0] if clock else self.now_ns

        def sample() -> float:
            start = now()
            fn()
            return now() - start

        return sample

    def per_call(self, stmt: str, namespace: dict, seconds: float = 0.05) -> Callable[[], float]:
        """A sample is a timeit batch of stmt sized to take about `seconds`; ns per call. The
        timeit loop itself (a few ns per call) is inside every contender's figure alike."""
        timer = timeit.Timer(stmt, timer=self.now_seconds, globals=namespace)
        trial = 1000
        number = max(trial, int(trial * seconds / max(timer.timeit(trial), 1e-9)))
        return lambda: timer.timeit(number) * 1e9 / number

    def raw_sampler(self, command: str, sha: str) -> Callable[[], float]:
        """A sample is one command to the raw library loop, timed there on the same clock."""
        return self.raw.sampler(command, sha, self.clock)


# ------------------------------------------------------------------ sections


@section("digest 64 MiB")
def digest_throughput(b: Bench) -> list[Figure]:
    content, salt, salt_bytes = b.content, b.salt, b.salt_bytes

    def with_hashlib() -> str:
        h = hashlib.sha384()
        h.update(content)
        h.update(salt_bytes)
        return h.hexdigest()

    expected = with_hashlib()
    raw = b.raw.ask("whole")["sha"]
    agree("64 MiB digest", {"create_hash": _core_fips.create_hash(content, salt).sha,
                            "hashlib": expected, "raw loop": raw})
    s = measure(
        {
            "create_hash": b.once(lambda: _core_fips.create_hash(content, salt)),
            "hashlib": b.once(with_hashlib),
            "raw": b.raw_sampler("whole", expected),
        },
        b.rounds,
    )
    return [
        Figure("d64m.create_hash", "create_hash(64 MiB, salt)", s["create_hash"], BIG,
               [Compare("d64m.raw", 0.97), Compare("d64m.hashlib")]),
        Figure("d64m.raw", "raw AWS-LC EVP loop (C++)", s["raw"], BIG),
        Figure("d64m.hashlib", "hashlib.sha384 update+salt+hexdigest", s["hashlib"], BIG),
    ]


@section("digest 64 B")
def digest_per_call(b: Bench) -> list[Figure]:
    data, salt, salt_bytes = b.content[:64], b.salt, b.salt_bytes
    names = {"create_hash": _core_fips.create_hash, "sha384": hashlib.sha384, "data": data,
             "salt": salt, "salt_bytes": salt_bytes}
    expected = hashlib.sha384(data + salt_bytes).hexdigest()
    agree("64 B digest", {"create_hash": _core_fips.create_hash(data, salt).sha,
                          "hashlib": expected, "raw loop": b.raw.ask("prefix 64 1")["sha"]})
    s = measure(
        {
            "create_hash": b.per_call("create_hash(data, salt)", names),
            "create_hash.sha": b.per_call("create_hash(data, salt).sha", names),
            "hashlib": b.per_call("sha384(data + salt_bytes).hexdigest()", names),
            "raw": b.raw_sampler("prefix 64 200000", expected),
        },
        b.rounds,
    )
    return [
        Figure("d64b.create_hash", "create_hash(data, salt)", s["create_hash"], None,
               [Compare("d64b.hashlib", 1.0)]),
        Figure("d64b.create_hash.sha", "create_hash(data, salt).sha", s["create_hash.sha"], None,
               [Compare("d64b.hashlib")]),
        Figure("d64b.hashlib", "hashlib.sha384(data + salt).hexdigest()", s["hashlib"]),
        Figure("d64b.raw", "raw AWS-LC EVP init/update/update/final", s["raw"]),
    ]


@section("streaming 64 MiB")
def streaming(b: Bench) -> list[Figure]:
    Hasher = getattr(_core_fips, "Hasher", None)
    if Hasher is None:
        raise Skip("_core_fips.Hasher is not in this build yet")
    content, salt, salt_bytes = b.content, b.salt, b.salt_bytes
    view = memoryview(content)
    # Slices made up front, so the timed loops pay for the updates and not for the slicing.
    chunks = {size: [view[i:i + size] for i in range(0, BIG, size)]
              for size in (4 * KIB, 64 * KIB, MIB)}

    def with_hasher(parts) -> Callable[[], str]:
        def run() -> str:
            h = Hasher(salt)
            for part in parts:
                h.update(part)
            return h.finalize().sha

        return run

    def with_hashlib(parts) -> Callable[[], str]:
        def run() -> str:
            h = hashlib.sha384()
            for part in parts:
                h.update(part)
            h.update(salt_bytes)
            return h.hexdigest()

        return run

    one_shot = _core_fips.create_hash(content, salt).sha
    results = {"create_hash": one_shot}
    contenders = {"create_hash": b.once(lambda: _core_fips.create_hash(content, salt))}
    for size, parts in chunks.items():
        results[f"Hasher {size}"] = with_hasher(parts)()
        results[f"hashlib {size}"] = with_hashlib(parts)()
        contenders[f"Hasher {size}"] = b.once(with_hasher(parts))
        contenders[f"hashlib {size}"] = b.once(with_hashlib(parts))
    agree("chunked digest", results)
    s = measure(contenders, b.rounds)

    def name(size: int) -> str:
        return f"{size // MIB} MiB" if size >= MIB else f"{size // KIB} KiB"

    targets = {4 * KIB: (0.85, [Compare(f"s.hashlib {4 * KIB}", 1.0, strict=True)]),
               64 * KIB: (0.95, [Compare(f"s.hashlib {64 * KIB}")]),
               MIB: (None, [Compare(f"s.hashlib {MIB}")])}
    figures = [Figure("s.create_hash", "create_hash one-shot", s["create_hash"], BIG)]
    for size, (minimum, more) in targets.items():
        figures.append(Figure(f"s.Hasher {size}", f"Hasher, {name(size)} chunks",
                              s[f"Hasher {size}"], BIG, [Compare("s.create_hash", minimum)] + more))
    for size in targets:
        figures.append(Figure(f"s.hashlib {size}", f"hashlib update loop, {name(size)} chunks",
                              s[f"hashlib {size}"], BIG))
    return figures


# ------------------------------------------------------------------ the table


def describe_target(c: Compare) -> str:
    if c.minimum is None:
        return ""
    return f"{'>' if c.strict else '>='} {c.minimum:.2f}x"


def print_table(done: list[tuple[str, list[Figure] | str]]) -> tuple[int, int]:
    figures = {f.key: f for _, figs in done if not isinstance(figs, str) for f in figs}
    labels = {f.key: f.label for f in figures.values()}
    w_label = max([len(f.label) for f in figures.values()] + [30])
    w_anchor = max([len(labels[c.anchor]) for f in figures.values() for c in f.compare] + [10])
    header = (f"{'case':<{w_label}}  {'best':>13}  {'median':>13}  {'spread':>6}"
              f"  {'compared with':<{w_anchor}}"
              f"  {'ratio':>6} {'(median)':>9}  {'target':<8}  verdict")
    print(header)
    print("-" * len(header))
    met = missed = 0
    for name, figs in done:
        print(f"[{name}]")
        if isinstance(figs, str):
            print(f"  skipped: {figs}")
            continue
        for f in figs:
            lead = (f"{f.label:<{w_label}}  {f.show(f.best):>13}  {f.show(f.median):>13}"
                    f"  {f.spread:6.1%}")
            if not f.compare:
                print(lead)
            for i, c in enumerate(f.compare):
                anchor = figures[c.anchor]
                best = speed_ratio(f, anchor, lambda x: x.best)
                median = speed_ratio(f, anchor, lambda x: x.median)
                verdict = ""
                if c.minimum is not None:
                    ok = meets(best, c)
                    met, missed = met + ok, missed + (not ok)
                    verdict = "met" if ok else "MISSED"
                    if meets(median, c) != ok:
                        verdict += " (borderline: the median says otherwise)"
                    elif max(f.spread, anchor.spread) > NOISY:
                        verdict += " (noisy)"
                print(f"{lead if i == 0 else ' ' * len(lead)}  {anchor.label:<{w_anchor}}"
                      f"  {best:5.3f}x {f'({median:.3f}x)':>9}  {describe_target(c):<8}  {verdict}")
    return met, missed


def as_json(name: str, figs: list[Figure] | str) -> dict:
    if isinstance(figs, str):
        return {"section": name, "skipped": figs}
    return {"section": name,
            "figures": [vars(f) | {"compare": [vars(c) for c in f.compare]} for f in figs]}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--raw", required=True, help="path of the built raw_sha384")
    parser.add_argument("--rounds", type=int, default=7, help="samples per contender (default 7)")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="cpu: the measuring thread's CPU time (default); wall: elapsed time")
    parser.add_argument("--only", help="comma-separated section names or prefixes")
    parser.add_argument("--json", help="also write every figure to this file")
    parser.add_argument("--strict", action="store_true", help="exit 1 when a target is missed")
    args = parser.parse_args()
    wanted = [w.strip() for w in args.only.split(",")] if args.only else None

    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())
    done: list[tuple[str, list[Figure] | str]] = []
    with tempfile.TemporaryDirectory(prefix="core-fips-bench-") as workdir:
        b = Bench(args.rounds, args.clock, args.raw, workdir)
        try:
            for name, fn in SECTIONS:
                if wanted and not any(name.startswith(w) for w in wanted):
                    continue
                print(f"measuring {name} ...", file=sys.stderr, flush=True)
                try:
                    done.append((name, fn(b)))
                except Skip as why:
                    done.append((name, str(why)))
            raw_info = b._raw.info if b._raw else None
        finally:
            b.close()

    print(f"_core_fips bench: Python {platform.python_version()} ({sys.executable})")
    print(f"  module {_core_fips.__file__}")
    print(f"  hashlib.sha384 is {hashlib.sha384.__name__} ({ssl.OPENSSL_VERSION})", end="")
    if raw_info:
        print(f"; raw loop over {raw_info['library']}, FIPS mode {raw_info['fips_mode']}", end="")
    print(f"\n  CPU {cpu}, {os.cpu_count()} logical cores")
    print(f"  method: {METHOD.format(clock=CLOCKS[args.clock][2], rounds=args.rounds)}\n")
    met, missed = print_table(done)
    print(f"\ntargets: {met} met, {missed} missed")

    if args.json:
        with open(args.json, "w") as out:
            json.dump([as_json(name, figs) for name, figs in done], out, indent=1)
    return 1 if args.strict and missed else 0


if __name__ == "__main__":
    sys.exit(main())
