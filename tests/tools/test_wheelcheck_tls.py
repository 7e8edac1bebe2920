"""tools/check-wheel's static TLS budget, on objects compiled here: an extension whose PT_TLS
segment outgrows it cannot be imported where other libraries took glibc's static TLS first."""
import importlib.machinery
import importlib.util
import shutil
import subprocess
from pathlib import Path

import pytest
from project import ROOT

_loader = importlib.machinery.SourceFileLoader("check_wheel", str(ROOT / "tools" / "check-wheel"))
_check_wheel = importlib.util.module_from_spec(importlib.util.spec_from_loader(_loader.name, _loader))
_loader.exec_module(_check_wheel)
from wheelcheck import elf  # noqa: E402  (tools/ on the path, from check-wheel)

# Thread-locals as the extension declares its own: initial-exec, so the segment is STATIC_TLS.
SOURCE = """
__thread char slots[%d] __attribute__((tls_model("initial-exec")));
char *slot(int i) { return &slots[i]; }
"""


def compiled(tmp_path, size):
    cc = shutil.which("cc") or pytest.skip("no C compiler")
    src, out = tmp_path / f"tls{size}.c", tmp_path / f"tls{size}.so"
    src.write_text(SOURCE % size)
    subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", str(out), str(src)], check=True)
    return elf.Elf(out.read_bytes())


def test_an_extension_over_the_static_tls_budget_is_refused(tmp_path):
    within, over = compiled(tmp_path, elf.STATIC_TLS_BUDGET), compiled(tmp_path, 4096)
    assert (within.tls_size, over.tls_size) == (elf.STATIC_TLS_BUDGET, 4096)
    assert elf.tls_problems(within, "extension") == []
    (problem,) = elf.tls_problems(over, "extension")
    assert problem.startswith(f"PT_TLS segment of 4096 bytes, over the static TLS budget of {elf.STATIC_TLS_BUDGET}")
    assert problem in elf.elf_problems(over, "extension")
    # The self-test's plant makes the same segment out of a small one.
    planted = elf.Elf(elf.grow_tls(536)(Path(tmp_path / f"tls{elf.STATIC_TLS_BUDGET}.so").read_bytes()))
    assert planted.tls_size == 536 and elf.tls_problems(planted, "extension")


def test_the_built_extension_is_within_the_budget():
    module = Path(importlib.util.find_spec("_core_fips").origin)
    ext = elf.Elf(module.read_bytes())
    assert 0 < ext.tls_size <= elf.STATIC_TLS_BUDGET
    assert elf.tls_problems(ext, "extension") == []
