"""What may be done to AWS-LC's library once its integrity value is in it, and what may not.

The value covers the FIPS module's code and read-only data as loaded, not the file: tools that only
drop sections or edit the dynamic section keep the self-test passing; an edit of the module's
bytes fails it at load, aborting the process. docs/packaging.md quotes these outcomes.
"""
import importlib.util
import platform
import shutil
import subprocess

import pytest
from conftest import EXPECTED_AWSLC, MODULE_DIR, ROOT, awslc_library, run_python

LIBRARY = awslc_library(MODULE_DIR)


def tool(name, *args):
    def edit(lib):
        # binutils read only their own machine's ELF (the emulated aarch64 lane has the cross ones)
        found = shutil.which(f"{platform.machine()}-linux-gnu-{name}") or shutil.which(name)
        if found is None:
            pytest.skip(f"no {name} here")
        before = lib.stat().st_size
        subprocess.run([found, *args, str(lib)], check=True, capture_output=True)
        assert lib.stat().st_size != before, f"{name} left the file as it was"
    return edit


def flip_a_module_byte(lib):
    spec = importlib.util.spec_from_file_location("inject_hash", ROOT / "setup" / "inject_hash.py")
    inject_hash = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(inject_hash)
    data = bytearray(lib.read_bytes())
    (_, length, offset), _, _ = inject_hash.module_bounds(bytes(data))
    data[offset + length // 2] ^= 0x01
    lib.write_bytes(data)


def patch_the_version_text(lib):
    text = EXPECTED_AWSLC.encode()
    data = lib.read_bytes()
    assert text in data
    lib.write_bytes(data.replace(text, text[:-1] + b"9"))


EDITS = {  # edit: (how, whether the self-test still passes)
    "none": (lambda lib: None, True),
    "strip --strip-debug": (tool("strip", "--strip-debug"), True),
    "strip --strip-all": (tool("strip", "--strip-all"), True),
    "objcopy --remove-section=.comment": (tool("objcopy", "--remove-section=.comment"), True),
    "patchelf --set-rpath": (tool("patchelf", "--set-rpath", "/opt/elsewhere"), True),
    "a flipped byte in the module's code": (flip_a_module_byte, False),
    "the module's version text patched": (patch_the_version_text, False),
}


@pytest.mark.parametrize("name", EDITS)
def test_integrity_check_after_an_edit_of_the_library(tmp_path, name):
    edit, keeps = EDITS[name]
    pkg = tmp_path / "pkg"
    shutil.copytree(MODULE_DIR, pkg)
    edit(pkg / LIBRARY.relative_to(MODULE_DIR))
    out = run_python("import _core_fips; print(_core_fips.fips_check())", path=pkg)
    if keeps:
        assert out.returncode == 0 and out.stdout.strip() == "True", (out.returncode, out.stderr)
    else:
        assert out.returncode == -6, (out.returncode, out.stderr)  # SIGABRT from the self-test
        assert "FIPS integrity test failed" in out.stderr
