"""What the refcount check found, kept as tests. They need a debug CPython (sys.gettotalrefcount):
tools/soak runs them under python3.14d."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import _core_fips as core

MODULE_DIR = str(Path(core.__file__).parent)

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug CPython (sys.gettotalrefcount)")


# Run in a fresh interpreter: the cache that keeps the references is process-wide, and earlier
# tests that failed conversions by the thousand leave it saturated, hiding what one more loop adds.
# Each run also keeps one string of the name's size alive, so that the next name string is made
# at a new address (else it often reuses the freed one and lands in the same cache slot); the
# Python equivalent keeps the same strings, so the two totals differ only by what the cache holds.
MEASURE = """
import gc, sys
import _core_fips as core

kept = []

def python_conversion_failure():
    # What the module does on a failed conversion, written in Python: the note is added through
    # an attribute name that the interpreter interned.
    try:
        try:
            memoryview(123)
        except TypeError as e:
            e.add_note("while processing 'bytes'")
            raise
    except TypeError:
        pass
    kept.append("".join(["add_", "note"]))

def module_conversion_failure():
    try:
        core.create_hash(123, "salt")
    except TypeError:
        pass
    kept.append("".join(["add_", "note"]))

def measure(f, n):
    gc.collect()
    start = sys.gettotalrefcount()
    for _ in range(n):
        f()
    gc.collect()
    return sys.gettotalrefcount() - start

fn = {"python": python_conversion_failure, "module": module_conversion_failure}[sys.argv[1]]
for _ in range(10):
    fn()
print(measure(fn, 3000) - measure(lambda: None, 3000))
"""


def references_gained(which):
    """References gained over 3000 failed conversions, less what measuring itself leaves."""
    out = subprocess.run([sys.executable, "-c", MEASURE, which], capture_output=True, text=True,
                         timeout=120, env={**os.environ, "PYTHONPATH": MODULE_DIR})
    assert out.returncode == 0, out.stderr
    return int(out.stdout)


def test_the_python_equivalent_gains_only_the_strings_it_keeps():
    assert references_gained("python") == 3000


def test_failed_conversions_leave_no_references_behind():
    assert references_gained("module") == references_gained("python")
