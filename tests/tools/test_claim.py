"""What a wheel claims of its AWS-LC is what its configure did: CMake refuses two named AWS-LCs however
they arrive and a FIPS library it cannot account for, finds go on PATH alone, and writes the claim
the backend describes the wheel from; the backend refuses a build without one. CMake runs for real
(a configure with fakes, seconds); no AWS-LC is built."""
import hashlib
import os
import shutil
import subprocess
import sys

import pytest
from project import ROOT, load

PINS = load("core_fips_pins", "setup/pins.py").load()
ZIP = f"/nonexistent/{PINS['FIPS_TAG']}.zip"
ZIP_RECORD = (f"AWS-LC-FIPS {PINS['FIPS_VERSION']} from the verified zip {PINS['FIPS_TAG']}.zip (SHA-256 "
              f"{PINS['FIPS_ZIP_SHA256']})\n")
CMAKE = shutil.which("cmake")
pytestmark = pytest.mark.skipif(CMAKE is None, reason="needs cmake")


def fake_prefix(where, library=PINS["FIPS_LIBRARY"], record=ZIP_RECORD, recorded=True):
    """A prefix as setup/build-awslc.sh leaves one, except that its library is 18 bytes of text."""
    (where / "lib").mkdir(parents=True)
    (where / "include").mkdir()
    (where / "share/core-fips").mkdir(parents=True)
    (where / "lib" / library).write_text("not a library!!!!\n")
    if recorded:
        (where / "share/core-fips/library.sha256").write_text(
            hashlib.sha256((where / "lib" / library).read_bytes()).hexdigest() + "\n")
    if record is not None:
        (where / "share/core-fips/awslc-source.txt").write_text(record)
    return where


def configure(tmp_path, *defines, env=None):
    """A configure of the project in a fresh folder: (its return code, its output)."""
    build = tmp_path / f"build{len(list(tmp_path.glob('build*')))}"
    base = {k: v for k, v in os.environ.items() if not k.startswith("CORE_FIPS_") and k != "CMAKE_ARGS"}
    run = subprocess.run([CMAKE, "-S", str(ROOT), "-B", str(build), f"-DPython_EXECUTABLE={sys.executable}",
                          "-DCORE_FIPS_TESTS=OFF", *defines], env={**base, **(env or {})},
                         capture_output=True, text=True, timeout=300)
    return run.returncode, " ".join((run.stdout + run.stderr).split())  # CMake wraps its messages


BOTH = {  # how each of the two arrives
    "source in the environment, prefix as -D": ({"CORE_FIPS_AWSLC_SOURCE": ZIP}, ["-DCORE_FIPS_AWSLC={prefix}"]),
    "prefix in the environment, source as -D (CMAKE_ARGS)": ({"CORE_FIPS_AWSLC": "{prefix}"}, [f"-DCORE_FIPS_AWSLC_SOURCE={ZIP}"]),
    "both as -D": ({}, ["-DCORE_FIPS_AWSLC={prefix}", f"-DCORE_FIPS_AWSLC_SOURCE={ZIP}"]),
}


@pytest.mark.parametrize("how", BOTH)
def test_cmake_refuses_a_named_source_beside_a_built_awslc(tmp_path, how):
    prefix = fake_prefix(tmp_path / "fakeprefix")
    env, defines = BOTH[how]
    env = {k: v.format(prefix=prefix) for k, v in env.items()}
    claim = tmp_path / "claim.txt"
    rc, out = configure(tmp_path, *(d.format(prefix=prefix) for d in defines), f"-DCORE_FIPS_CLAIM_OUT={claim}", env=env)
    assert rc != 0 and "are both set" in out, out[-2000:]
    assert not claim.exists()


def test_a_given_fips_library_is_built_elsewhere_and_must_be_accounted_for(tmp_path):
    """Its record may say the verified zip: the claim is built-elsewhere. Without a record, or with a
    library.sha256 naming another library, the configure fails."""
    prefix = fake_prefix(tmp_path / "given")
    claim = tmp_path / "claim.txt"
    rc, out = configure(tmp_path, f"-DCORE_FIPS_AWSLC={prefix}", f"-DCORE_FIPS_CLAIM_OUT={claim}")
    assert rc == 0, out[-2000:]
    digest = hashlib.sha256((prefix / "lib" / PINS["FIPS_LIBRARY"]).read_bytes()).hexdigest()
    assert claim.read_text() == f"built-elsewhere {PINS['FIPS_LIBRARY']} {digest}\n{ZIP_RECORD}"
    backend = load("core_fips_build", "backend/core_fips_build.py")
    said = backend.library_paragraph(backend.read_claim(claim))
    assert "built elsewhere, not verified by this build" in said and f"#{PINS['FIPS_CERTIFICATE']}" not in said
    # A Debian prefix is Debian's package.
    rc, out = configure(tmp_path, f"-DCORE_FIPS_AWSLC={fake_prefix(tmp_path / 'deb', PINS['DEBIAN_AWSLC_LIBRARY'], None)}",
                        f"-DCORE_FIPS_CLAIM_OUT={claim}")
    assert rc == 0 and claim.read_text().startswith(f"debian-package {PINS['DEBIAN_AWSLC_LIBRARY']} "), out[-2000:]
    rc, out = configure(tmp_path, f"-DCORE_FIPS_AWSLC={fake_prefix(tmp_path / 'norecord', record=None)}")
    assert rc != 0 and "no record of its source" in out, out[-2000:]
    other = fake_prefix(tmp_path / "other")
    (other / "share/core-fips/library.sha256").write_text("0" * 64 + "\n")
    rc, out = configure(tmp_path, f"-DCORE_FIPS_AWSLC={other}")
    assert rc != 0 and "is not the library its build recorded" in out, out[-2000:]
    big = fake_prefix(tmp_path / "big", record=ZIP_RECORD + "x" * 70000)
    rc, out = configure(tmp_path, f"-DCORE_FIPS_AWSLC={big}")
    assert rc != 0 and "not a record of setup/build-awslc.sh" in out, out[-2000:]


def without_go(folder, shadow):
    """FOLDER, or where it holds a go, a SHADOW of it without one."""
    if not os.path.exists(os.path.join(folder, "go")):
        return folder
    shadow.mkdir()
    for name in os.listdir(folder):
        if name != "go":
            (shadow / name).symlink_to(os.path.join(folder, name))
    return str(shadow)


def test_go_comes_from_path_alone(tmp_path):
    """A go planted in CMAKE_PROGRAM_PATH, CMAKE_PREFIX_PATH or given as a cached CORE_FIPS_GO is
    not taken; the one on PATH is (the zip is then refused: nothing is built)."""
    planted = tmp_path / "planted" / "bin"
    planted.mkdir(parents=True)
    marker = tmp_path / "planted-go-ran"
    (planted / "go").write_text(f"#!/bin/sh\ntouch {marker}\n")
    (planted / "go").chmod(0o755)
    path = os.pathsep.join(without_go(d, tmp_path / f"shadow{i}") for i, d in enumerate(os.environ["PATH"].split(os.pathsep)))
    plants = [f"-DCMAKE_PROGRAM_PATH={planted}", f"-DCMAKE_PREFIX_PATH={planted.parent}", f"-DCORE_FIPS_GO={planted / 'go'}"]
    rc, out = configure(tmp_path, f"-DCORE_FIPS_AWSLC_SOURCE={ZIP}", f"-DCORE_FIPS_AWSLC_BUILD_DIR={tmp_path}",
                        *plants, env={"PATH": path})
    assert rc != 0 and "go is missing from PATH" in out, out[-2000:]
    ours = tmp_path / "ours"
    ours.mkdir()
    shutil.copy(planted / "go", ours / "go")
    rc, out = configure(tmp_path, f"-DCORE_FIPS_AWSLC_SOURCE={ZIP}", f"-DCORE_FIPS_AWSLC_BUILD_DIR={tmp_path}",
                        *plants, env={"PATH": f"{ours}{os.pathsep}{path}"})
    assert rc != 0 and "go is missing" not in out and "the AWS-LC source was refused" in out, out[-2000:]
    assert not marker.exists()
