"""Leak soak: a million calls mixing every _core_fips callable, error paths included, with the
process's resident set size measured after a warm-up and at the end.

    python soak.py [--calls N] [--warmup N] [--limit-mib X] [--no-rss-limit] [--canary BYTES]

Exit status 1 when a case returns the wrong outcome or the RSS grew by the limit or more. The
warm-up runs the same mix first, so that allocator caches, interned strings and the library's
one-time state are in place before the first measurement. --canary keeps BYTES bytes alive per
case run, a deliberate leak that the limit must catch (run by tools/soak to prove the gate works).
"""
import argparse
import gc
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases as soak_cases  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def settled_rss():
    gc.collect()
    return rss_bytes()


def run_mix(cases, calls, counts, keep=None, canary=0):
    """Runs the cases round-robin until `calls` module calls are made; returns the count made."""
    made = 0
    while made < calls:
        for c in cases:
            c.run()
            counts[c.callable] += c.calls
            made += c.calls
            if canary:
                keep.append(bytes(canary))
    return made


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--calls", type=int, default=1_000_000)
    p.add_argument("--warmup", type=int, default=None, help="default: a tenth of --calls")
    p.add_argument("--limit-mib", type=float, default=2.0)
    p.add_argument("--no-rss-limit", action="store_true")
    p.add_argument("--canary", type=int, default=0)
    args = p.parse_args()

    core, cases = soak_cases.load("the soak runs")
    names = soak_cases.callables(cases)
    print(f"module: {core.__file__}")
    print(f"callables ({len(names)}): {', '.join(names)}")

    warmup = args.warmup if args.warmup is not None else args.calls // 10
    counts = dict.fromkeys(names, 0)
    run_mix(cases, warmup, counts)
    before = settled_rss()

    counts = dict.fromkeys(names, 0)
    keep = []
    t0 = time.perf_counter()
    checkpoints = []
    made, step = 0, max(args.calls // 10, 1)
    while made < args.calls:
        made += run_mix(cases, min(step, args.calls - made), counts, keep, args.canary)
        checkpoints.append(rss_bytes())
    elapsed = time.perf_counter() - t0
    after = settled_rss()

    growth = after - before
    mib = 1024 * 1024
    print(f"calls: {made} in {elapsed:.1f} s ({made / elapsed / 1000:.0f}k calls/s), "
          f"after a warm-up of {warmup}")
    print("calls per callable: " + ", ".join(f"{n} {counts[n]}" for n in names))
    print("rss at each tenth (MiB): " + " ".join(f"{r / mib:.2f}" for r in checkpoints))
    print(f"rss before: {before / mib:.2f} MiB, after: {after / mib:.2f} MiB, "
          f"growth: {growth / 1024:.0f} KiB (limit {args.limit_mib} MiB)")
    if not args.no_rss_limit and growth >= args.limit_mib * mib:
        print("soak: FAILED: the resident set grew by the limit or more")
        return 1
    print("soak: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
