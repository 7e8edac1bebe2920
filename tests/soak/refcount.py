"""Reference-count check under a debug CPython (sys.gettotalrefcount): for each callable, the
interpreter's total reference count must be back at its start value after a loop of its cases.

    python3.14d refcount.py [--loops N] [--rounds R] [--canary]

Each callable's cases first run a warm-up loop (type caches, specialised bytecode, interned
strings), then R rounds, each measuring a loop of N runs and then one of 4N runs. The measuring
itself leaves one int alive between the two readings; an empty loop measured the same way gives
that baseline, which is subtracted.

Error paths can leave a residue that does not grow with the number of calls: a steady +1 when
a case keeps an exception and reads str() of it, which pure-Python code doing the same, without
the module, shows too. (Failed conversions add their "while processing" note through one
interned "add_note" name made once per process, so CPython's type-attribute cache, keyed by the
name's address, holds that one string and nothing per call; test_refcount_findings.py keeps
that so.) A reference lost per call (or per rare path) grows with the loop instead. So a
callable leaks when, in every round, its 4N delta is positive and larger than its N delta; the
deltas are printed either way. The warm-up (at least 2000 runs) lets the interpreter's caches
settle first.
--canary measures instead a case that leaks one reference per run through
the C API, which the check must flag (tools/soak runs it to prove so).
"""
import argparse
import ctypes
import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases as soak_cases  # noqa: E402


def loop(runs, n):
    for _ in range(n):
        for run in runs:
            run()


def measure(runs, n):
    gc.collect()
    start = sys.gettotalrefcount()
    loop(runs, n)
    gc.collect()
    return sys.gettotalrefcount() - start


def main():
    if not hasattr(sys, "gettotalrefcount"):
        print("refcount: this interpreter is not a debug build (no sys.gettotalrefcount)")
        return 2
    p = argparse.ArgumentParser()
    p.add_argument("--loops", type=int, default=1000)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--canary", action="store_true")
    args = p.parse_args()

    core, cases = soak_cases.load("checked")
    if args.canary:
        kept = object()
        incref = ctypes.pythonapi.Py_IncRef
        incref.argtypes = [ctypes.py_object]
        # Measured alone, so that the run fails only if the canary itself is caught.
        cases = [soak_cases.Case("canary", "leaks one reference", 0, lambda: incref(kept))]
    print(f"module: {core.__file__}")

    groups = {name: [c.run for c in cases if c.callable == name]
              for name in soak_cases.callables(cases)}
    baseline = [measure([], args.loops) for _ in range(args.rounds)]
    if len(set(baseline)) != 1:
        print(f"refcount: the empty loop is not stable: {baseline}")
        return 1
    base = baseline[0]
    print(f"N = {args.loops} runs of each case, {args.rounds} rounds, baseline {base} subtracted")

    failed = []
    for name, runs in groups.items():
        loop(runs, max(2 * args.loops, 2000))  # warm-up
        rounds = [(measure(runs, args.loops) - base, measure(runs, 4 * args.loops) - base)
                  for _ in range(args.rounds)]
        calls = args.loops * sum(c.calls for c in cases if c.callable == name)
        leak = all(big > 0 and big > small for small, big in rounds)
        settled = rounds[-1] == (0, 0)
        verdict = "LEAK" if leak else "ok" if settled else "ok (residue, not growing with calls)"
        shown = " ".join(f"{small}/{big}" for small, big in rounds)
        print(f"  {name:26} deltas N/4N: {shown}  (N = {calls} calls)  {verdict}")
        if leak:
            failed.append(name)
    if failed:
        print(f"refcount: FAILED for {', '.join(failed)}")
        return 1
    print(f"refcount: passed ({len(groups)} callables)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
