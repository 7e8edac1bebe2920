"""Sorts ThreadSanitizer reports (log_path files) into ours / suppressed / other.

    reports.py --suppressions FILE [--suppressions FILE ...] [--show N] [--require-ours] LOG...

A report is ours when any frame in it (either access, the allocation, a mutex or a thread's
creation), or the global it names, lies in one of our modules (file name starting with _core_fips) or in namespace
core_fips. Ours is decided first: a suppression never hides a report that touches our code, which
is why the runs give ThreadSanitizer no suppressions and the files are matched here instead. One
exception, narrow on purpose: a data race whose two accesses both happen inside the interpreter,
where our frames appear only under an access whose top frame a `race_top` rule names (the
interpreter's own statement that the access is benign there: e.g. the reference count written into
a fresh object by `new_reference`, raced by another thread's speculative incref of the freed object
that used the memory before). Our call only allocated; the race is between the interpreter and
itself. An access whose stack ThreadSanitizer lost may have been ours: no exception then.
The suppressions use ThreadSanitizer's rules: `race:X` matches any frame, `race_top:X` the top frame of a stack, both against the
function, file and module names, X a substring with `*` wildcards and ^/$ anchors; the type
before the colon must fit the report (race, thread, mutex, signal, deadlock).

Prints the counts and the first lines of up to N reports of ours and other ones; exit status 1
when there is a report of ours (or, with --require-ours, when there is none: the canary).
"""
import argparse
import os
import re
import sys

FRAME = re.compile(r"^\s*#\d+ (?P<function>.*?) (?P<file>\S+) \((?P<module>[^()]*?)(\+0x[0-9a-f]+)?\)$")
KINDS = [  # report title prefix -> suppression type
    ("data race", "race"), ("heap-use-after-free", "race"), ("race on", "race"),
    ("thread leak", "thread"), ("lock-order-inversion", "deadlock"),
    ("signal", "signal"), ("destroy of a locked mutex", "mutex"), ("double lock", "mutex"),
    ("use of an invalid mutex", "mutex"), ("unlock of an unlocked", "mutex"),
    ("read lock of", "mutex"), ("read unlock of", "mutex"),
]
# A stack ThreadSanitizer could not restore (often the earlier access's, once its history is gone):
# it keeps its place among the stacks, and whose code it was is unknown.
LOST = {"function": "[failed to restore the stack]", "file": "", "module": ""}


def ours_frame(f):
    return os.path.basename(f["module"]).startswith("_core_fips") or "core_fips::" in f["function"]


def touches_ours(stacks, globals_):
    """A frame of ours in any of the stacks, or a global of ours."""
    return any(ours_frame(f) for s in stacks for f in s) or \
        any(ours_frame({"module": g, "function": g}) for g in globals_)


def template_match(template, text):
    """ThreadSanitizer's TemplateMatch: `*` any run, ^ and $ anchors, otherwise a substring."""
    pattern = re.escape(template.strip("^$")).replace(r"\*", ".*")
    pattern = ("^" if template.startswith("^") else "") + pattern + ("$" if template.endswith("$") else "")
    return re.search(pattern, text) is not None


def load_suppressions(paths):
    rules = []
    for path in paths:
        with open(path) as f:
            for line in f:
                line = line.strip()
                if line and not line.startswith("#"):
                    kind, _, template = line.partition(":")
                    rules.append((kind, template, f"{os.path.basename(path)}: {line}"))
    return rules


def split_reports(text):
    """Each report: the lines from its WARNING to the closing row of equals signs."""
    reports, current = [], None
    for line in text.splitlines():
        if "WARNING: ThreadSanitizer:" in line or "ERROR: ThreadSanitizer:" in line:
            current = [line]
            reports.append(current)
        elif current is not None:
            if line.startswith("=================="):
                current = None
            else:
                current.append(line)
    return reports


def parse(lines):
    title = lines[0].split("ThreadSanitizer:", 1)[1].strip()
    kind = next((k for prefix, k in KINDS if title.startswith(prefix)), "other")
    stacks, frames = [], None
    for line in lines[1:]:
        m = FRAME.match(line)
        if m:
            if frames is None:
                frames = []
                stacks.append(frames)
            frames.append(m.groupdict())
        else:
            frames = None
            if line.strip() == LOST["function"]:
                stacks.append([LOST])
    # A global's name and module, as a location line gives them.
    globals_ = re.findall(r"Location is global '([^']*)' .*\(([^()+]*)", "\n".join(lines))
    return title, kind, stacks, [name for g in globals_ for name in g]


def suppressed_by(kind, stacks, globals_, rules):
    for rule_kind, template, label in rules:
        names = []
        if rule_kind == kind:
            names = [v for s in stacks for f in s for v in f.values()] + globals_
        elif rule_kind == "race_top" and kind == "race":
            names = [v for s in stacks for v in s[0].values()]
        if any(template_match(template, n) for n in names if n):
            return label
    return None


def interpreter_race(kind, stacks, globals_, rules):
    """The label of the race_top rule that makes a data race the interpreter's own, or None."""
    accesses, rest = stacks[:2], stacks[2:]
    if kind != "race" or len(accesses) < 2 or any(ours_frame(s[0]) or s[0] is LOST for s in accesses):
        return None
    if touches_ours(rest, globals_):
        return None
    # Every access with a frame of ours needs a rule for its top frame.
    def top_rule(stack):
        return next((label for k, t, label in rules if k == "race_top" and
                     any(template_match(t, v) for v in stack[0].values() if v)), None)
    labels = [top_rule(s) for s in accesses if any(ours_frame(f) for f in s)]
    return labels[0] if labels and None not in labels else None


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--suppressions", action="append", default=[])
    p.add_argument("--show", type=int, default=3)
    p.add_argument("--require-ours", action="store_true")
    p.add_argument("logs", nargs="*")
    args = p.parse_args()
    rules = load_suppressions(args.suppressions)

    ours, other, suppressed = [], [], {}
    for path in args.logs:
        with open(path, errors="replace") as f:
            for lines in split_reports(f.read()):
                title, kind, stacks, globals_ = parse(lines)
                if all(s == [LOST] for s in stacks):
                    ours.append((path, ["unparsed report, counted as ours:"] + lines))
                elif (label := interpreter_race(kind, stacks, globals_, rules)):
                    label += " (the interpreter's access, under a call of ours)"
                    suppressed[label] = suppressed.get(label, 0) + 1
                elif touches_ours(stacks, globals_):
                    ours.append((path, lines))
                elif (label := suppressed_by(kind, stacks, globals_, rules)):
                    suppressed[label] = suppressed.get(label, 0) + 1
                else:
                    other.append((path, lines))

    print(f"reports: ours {len(ours)}, suppressed {sum(suppressed.values())}, other {len(other)} "
          f"(from {len(args.logs)} log files)")
    for label, n in sorted(suppressed.items(), key=lambda kv: -kv[1]):
        print(f"  suppressed {n}x by {label}")
    for name, group in (("ours", ours), ("other", other)):
        for path, lines in group[:args.show]:
            print(f"--- {name}: {path}")
            print("\n".join(lines[:40]))
    if args.require_ours:  # the canary: a frame of ours must have been seen, not only parse trouble
        return 0 if any(not lines[0].startswith("unparsed") for _, lines in ours) else 1
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main())
