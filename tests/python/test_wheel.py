"""The wheel: built by pip with scikit-build-core, installed into a fresh venv, tested there."""
import os
import subprocess
import sys
import zipfile

import pytest

from conftest import DEBUG_BUILD, FAULTS_DIR, ROOT


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    if DEBUG_BUILD:
        pytest.skip("wheels are built for the release interpreter")
    if os.environ.get("CORE_FIPS_SKIP_WHEEL"):
        pytest.skip("CORE_FIPS_SKIP_WHEEL is set (the installed copy is being tested)")
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


def test_installed_copy_passes_the_suite(wheel, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages",
                    str(venv)], check=True)
    py = venv / "bin" / "python"
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env.pop("CORE_FIPS_FAULTS_DIR", None)
    subprocess.run([str(py), "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel)],
                   check=True, env=env, capture_output=True)
    where = subprocess.run([str(py), "-c", "import _core_fips; print(_core_fips.__file__)"],
                           cwd=tmp_path, env=env, capture_output=True, text=True, check=True)
    assert where.stdout.startswith(str(venv))
    # The fault-injection build is not in the wheel: point its tests at the build tree's copy.
    env["CORE_FIPS_FAULTS_DIR"] = str(FAULTS_DIR)
    env["CORE_FIPS_SKIP_WHEEL"] = "1"
    run = subprocess.run([str(py), "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          str(ROOT / "tests" / "python")], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=900)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
    assert " passed" in run.stdout.splitlines()[-1]
