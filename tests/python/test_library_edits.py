"""What a packager may do to AWS-LC's library once its integrity value is in it, and what it may not.

The value covers the FIPS module's code and read-only data as loaded, not the file: tools that only
drop sections or edit the dynamic section keep the self-test passing; any edit of the module's
bytes fails it at load. docs/packaging.md quotes these outcomes.
"""
import shutil
import subprocess

import pytest
from conftest import EXPECTED_AWSLC, MODULE_DIR, awslc_library, run_python

LIBRARY = awslc_library(MODULE_DIR)

KEEPS = {
    "strip --strip-debug": ["strip", "--strip-debug"],
    "strip --strip-all": ["strip", "--strip-all"],
    "objcopy --remove-section=.comment": ["objcopy", "--remove-section=.comment"],
    "patchelf --set-rpath": ["patchelf", "--set-rpath", "/opt/elsewhere"],
}


def edited_module(tmp_path, edit):
    """A copy of the installed module whose library `edit` (a function of its path) changed."""
    pkg = tmp_path / "pkg"
    shutil.copytree(MODULE_DIR, pkg)
    edit(pkg / LIBRARY.relative_to(MODULE_DIR))
    return run_python("import _core_fips; print(_core_fips.fips_check())", path=pkg)


@pytest.mark.parametrize("name", KEEPS)
def test_stripping_and_dynamic_section_edits_keep_the_self_test(tmp_path, name):
    command = KEEPS[name]
    if shutil.which(command[0]) is None:
        pytest.skip(f"no {command[0]} here")
    before = LIBRARY.stat().st_size

    def edit(lib):
        subprocess.run([*command, str(lib)], check=True, capture_output=True)
        assert lib.stat().st_size != before, f"{name} left the file as it was"

    out = edited_module(tmp_path, edit)
    assert out.returncode == 0 and out.stdout.strip() == "True", (out.returncode, out.stderr)


def test_editing_the_modules_read_only_data_fails_at_load(tmp_path):
    # A packager's edit of a text in the module: its own version string.
    text = EXPECTED_AWSLC.encode()

    def edit(lib):
        data = lib.read_bytes()
        assert text in data
        lib.write_bytes(data.replace(text, text[:-1] + b"9"))

    out = edited_module(tmp_path, edit)
    assert out.returncode == -6, (out.returncode, out.stderr)  # SIGABRT from the self-test
    assert "FIPS integrity test failed" in out.stderr
