"""The wheel: built once by pip with scikit-build-core, installed into a fresh venv, used there."""
import os
import re
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

from conftest import DEBIAN_AWSLC, DEBUG_BUILD, EXPECTED_AWSLC, PINS, ROOT, STABLE_ABI, open_with_peer

# The packaging does not differ between interpreters, and a wheel build is minutes of compiling:
# it is checked on the release GIL interpreter only, outside the sanitizer pass.
pytestmark = pytest.mark.skipif(
    DEBUG_BUILD or STABLE_ABI or sysconfig.get_config_var("Py_GIL_DISABLED")
    or "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="the wheel is built and checked once, under the release CPython 3.14")
if EXPECTED_AWSLC != DEBIAN_AWSLC:
    # A wheel from another AWS-LC needs its licence texts and long description (tools/wheel's
    # copy of the checkout); tools/validated-module builds and checks those wheels after this.
    pytestmark = pytest.mark.skip(reason=f"the wheels of {EXPECTED_AWSLC} are built and checked by tools/wheel")


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    build = subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation",
                            "--no-index", "--no-deps", "-w", str(out), str(ROOT)],
                           env=env, capture_output=True, text=True, timeout=900)
    assert build.returncode == 0, build.stdout[-3000:] + build.stderr[-3000:]
    (whl,) = out.glob("*.whl")
    return whl


def _check(*args):
    return subprocess.run([sys.executable, str(ROOT / "tools" / "check-wheel"), *args],
                          capture_output=True, text=True, timeout=300)


def _awslc_source():
    """AWS-LC's source package as setup/sid.lock pins it, from the cache setup/deps.sh fills."""
    line = next(l for l in (ROOT / "setup" / "sid.lock").read_text().splitlines()
                if l.startswith("awslc "))
    deb = Path(os.environ["CORE_FIPS_AWSLC"]).parent / "debs" / Path(line.split()[4]).name
    assert deb.exists(), f"{deb} is missing: run setup/deps.sh"
    return deb


def test_wheel_passes_the_release_checks_which_refuse_planted_faults(wheel):
    # Layout (extension and stubs at the root, the library in core_fips.libs/), RECORD, licences
    # declared and AWS-LC's equal to the pinned source's (so third_party/aws-lc/ is checked too),
    # ELF hardening, exports, RUNPATH, no build folder; the self-test first requires planted
    # copies of this wheel refused.
    deb = str(_awslc_source())
    out = _check("--dynamic-runtime", "--self-test", "--awslc-source", deb, str(wheel))
    assert out.returncode == 0, out.stderr[-3000:]
    refused = dict(re.findall(r": refused (.+?): ([^:]+): ", out.stdout))
    last = out.stdout.splitlines()[-1]
    assert ": ok (" in last and "licences matched to the AWS-LC source" in last, out.stdout
    # Debian's library is built with our flags: the checks that need them are planted into the
    # library and refused there, not skipped as for AWS-LC-FIPS.
    lib = f"core_fips.libs/{PINS['DEBIAN_AWSLC_LIBRARY']}"
    for what in ("BIND_NOW cleared on the library", "no stack protector", "no fortified call"):
        assert refused.get(what) == lib, (what, out.stdout)
    # This host build needs libstdc++: without --dynamic-runtime that alone is refused.
    out = _check("--awslc-source", deb, str(wheel))
    ext = next(n for n in zipfile.ZipFile(wheel).namelist() if n.endswith(".so"))
    assert (out.returncode, out.stderr.splitlines()) == (1, [
        f"check-wheel: {wheel.name}: {ext}: needs libstdc++.so.6, which neither"
        " the wheel nor glibc provides"])


SMOKE = """
import os, sys, _core_fips as m
assert m.__file__.startswith(sys.prefix), m.__file__
# The library shipped in its folder is the one loaded, found through the extension's RUNPATH.
import glob
lib, = glob.glob(os.path.join(os.path.dirname(m.__file__), "core_fips.libs", "libcrypto*.so*"))
maps = [l.split()[-1] for l in open("/proc/self/maps") if "/libcrypto" in l and "core_fips" in l]
assert set(maps) == {os.path.realpath(lib)}, maps
assert m.fips_check() is True
t = m.create_hash(b"content", None)
assert m.compare_hash(t.sha, t.salt, b"content") is True
assert m.compare_hash(t.sha, t.salt, b"Content") is False
sys.stdout.buffer.write(m.encrypt(sys.stdin.buffer.read(), b"sealed in the venv"))
"""


def test_installed_copy_works_on_its_own(wheel, tmp_path, keys):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages",
                    str(venv)], check=True)
    py = venv / "bin" / "python"
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    subprocess.run([str(py), "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel)],
                   check=True, env=env, capture_output=True)
    private, public = keys[2048]
    run = subprocess.run([str(py), "-c", SMOKE], input=public, cwd=tmp_path, env=env,
                         capture_output=True, timeout=120)
    assert run.returncode == 0, run.stderr.decode()[-2000:]
    opened = open_with_peer(private, run.stdout)
    assert opened.returncode == 0, opened.stderr
    assert opened.stdout == b"sealed in the venv"
