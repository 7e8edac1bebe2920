"""The wheel: built once by pip with scikit-build-core, installed into a fresh venv, used there."""
import os
import subprocess
import sys
import sysconfig
import zipfile

import pytest

from conftest import DEBUG_BUILD, ROOT, STABLE_ABI, open_with_peer

# The packaging does not differ between interpreters, and a wheel build is minutes of compiling:
# it is checked on the release GIL interpreter only, outside the sanitizer pass.
pytestmark = pytest.mark.skipif(
    DEBUG_BUILD or STABLE_ABI or sysconfig.get_config_var("Py_GIL_DISABLED")
    or "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="the wheel is built and checked once, under the release CPython 3.14")


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


def test_wheel_holds_the_extension_the_library_and_the_stubs(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    ext = [n for n in names if n.startswith("_core_fips.") and n.endswith(".so")]
    assert len(ext) == 1
    for name in ("libcrypto-awslc.so.0", "_core_fips.pyi", "py.typed"):
        assert name in names


SMOKE = """
import sys, _core_fips as m
assert m.__file__.startswith(sys.prefix), m.__file__
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
