"""The pieces of a build from the sdist that run before any compiler: the check that names a
missing tool, and the trace reader that chooses which files of AWS-LC's source the sdist bundles."""
import sys

import pytest
from project import ROOT, load



backend = load("core_fips_build", "backend/core_fips_build.py")
bundle = load("awslc_bundle", "setup/awslc_bundle.py")
PINS = load("core_fips_pins", "setup/pins.py").load()
ZIP = f"/nowhere/{PINS['FIPS_TAG']}.zip"


@pytest.fixture
def machine(tmp_path, monkeypatch):
    """Every tool present (cmake 3.25) and the interpreter's headers; a test takes one away."""
    headers = tmp_path / "include"
    headers.mkdir()
    (headers / "Python.h").write_text("")
    cmake = tmp_path / "cmake"
    cmake.write_text("#!/bin/sh\necho 'cmake version 3.25.1'\n")
    cmake.chmod(0o755)
    present = {"cmake": str(cmake)}
    monkeypatch.setattr(backend.sysconfig, "get_paths", lambda: {"include": str(headers)})
    monkeypatch.setattr(backend.shutil, "which", lambda name: present.get(name, f"/usr/bin/{name}"))
    for var in ("CORE_FIPS_AWSLC", "CORE_FIPS_AWSLC_SOURCE", "CC", "CXX"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setitem(sys.modules, "elftools", object())
    return present, cmake, headers


MISSING = {  # what is taken away: the line's start
    "headers": "core-fips: Python 3.",
    "old cmake": "core-fips: cmake 3.18 or later is missing (",
    "c++": "core-fips: a C++ compiler is missing: apt install g++ (Debian, Ubuntu), dnf install gcc-c++",
    "make": "core-fips: make (or ninja) is missing: apt install make",
    "perl": "core-fips: perl is missing (AWS-LC's build uses it)",
    "pyelftools": "core-fips: pyelftools is missing (it writes the library's integrity value): apt install python3-pyelftools",
    "go, for a named source": "core-fips: go is missing (AWS-LC-FIPS's build runs its Go programs): apt install golang-go",
}


@pytest.mark.parametrize("gone", MISSING)
def test_a_missing_tool_is_named_in_one_line(machine, monkeypatch, capsys, gone):
    present, cmake, headers = machine
    settings = {}
    if gone == "headers":
        (headers / "Python.h").unlink()
    elif gone == "old cmake":
        cmake.write_text("#!/bin/sh\necho 'cmake version 3.16.3'\n")
    elif gone == "pyelftools":
        monkeypatch.setitem(sys.modules, "elftools", None)
    elif gone == "go, for a named source":
        settings = {"cmake.define.CORE_FIPS_AWSLC_SOURCE": "/src/the-tag.zip"}
        present["go"] = None
    else:
        names = {"c++": ["c++", "g++", "clang++"], "make": ["make", "ninja"], "perl": ["perl"]}[gone]
        present.update(dict.fromkeys(names))
    with pytest.raises(SystemExit):
        backend.check_tools(settings)
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 1 and lines[0].startswith(MISSING[gone]), lines


def test_a_machine_with_every_tool_passes(machine):
    assert backend.check_tools({}) is None
    assert backend.check_tools({"cmake.define.CORE_FIPS_AWSLC_SOURCE": "/src/zip"}) is None


def test_the_trace_keeps_files_the_build_named_and_not_the_copies_reads(tmp_path):
    crate = tmp_path / "crate"
    for rel in ("a.c", "b.h", "c.c", "sub/d.S"):
        (crate / rel).parent.mkdir(parents=True, exist_ok=True)
        (crate / rel).write_text(rel)
    log = tmp_path / "x.trace"
    log.write_text("\n".join([
        f'10 execve("/usr/bin/cp", ["cp", "-r"], 0x0) = 0',
        f'10 openat(AT_FDCWD, "{crate}/c.c", O_RDONLY) = 3',  # a copy reads everything
        f'20 execve("/usr/lib/gcc/x86_64-linux-gnu/12/cc1", ["cc1"], 0x0 <unfinished ...>',
        f'20 openat(AT_FDCWD, "{crate}/sub/../a.c", O_RDONLY <unfinished ...>',
        f'20 <... openat resumed>) = 4',
        f'20 newfstatat(AT_FDCWD, "{crate}/b.h", {{st_mode=S_IFREG}}, 0) = 0',
        f'20 openat(AT_FDCWD, "{crate}/gone.h", O_RDONLY) = -1 ENOENT (No such file or directory)',
        f'20 stat("{crate}/sub", {{st_mode=S_IFDIR}}) = 0',
        f'30 execve("/usr/bin/perl", ["perl"], 0x0) = 0',
        f'30 openat(AT_FDCWD, "{crate}/sub/d.S", O_WRONLY|O_CREAT, 0666) = 3',
    ]) + "\n")
    assert bundle.traced(str(crate), log) == {"a.c", "b.h", "sub/d.S"}


def test_a_built_awslc_and_a_source_to_build_are_not_both_named(machine, monkeypatch, capsys):
    monkeypatch.setenv("CORE_FIPS_AWSLC", "/opt/awslc")
    with pytest.raises(SystemExit):
        backend.check_tools({"cmake.define.CORE_FIPS_AWSLC_SOURCE": ZIP})
    lines = capsys.readouterr().err.splitlines()
    assert lines == ["core-fips: CORE_FIPS_AWSLC (/opt/awslc) and CORE_FIPS_AWSLC_SOURCE "
                     f"({ZIP}) are both set: name a built AWS-LC or a source to build, not both"]


def test_the_wheel_says_which_library_it_holds_and_pip_shows_an_incomplete_tree(tmp_path, capfd):
    """Whoever builds it: the description is written from the build's record (here a wheel made
    with the default paragraph, as pip makes it from the sdist), RECORD still matches, and the
    warning reaches the stderr of the process that ran the backend (pip's, shown without -v)."""
    import base64
    import hashlib
    import subprocess
    import zipfile
    readme = (ROOT / "docs/wheel-readme.md").read_text()
    meta = "Metadata-Version: 2.4\nName: core-fips\nVersion: 0.1.0\n\n" + readme
    wheel = tmp_path / "core_fips-0.1.0-cp311-abi3-linux_x86_64.whl"
    info = "core_fips-0.1.0.dist-info"
    with zipfile.ZipFile(wheel, "w") as z:
        z.writestr("_core_fips.abi3.so", b"ext")
        z.writestr(f"{info}/METADATA", meta)
        z.writestr(f"{info}/RECORD", f"_core_fips.abi3.so,sha256=x,3\n{info}/METADATA,sha256=old,1\n{info}/RECORD,,\n")
    record = (f"AWS-LC-FIPS {PINS['FIPS_VERSION']} from an INCOMPLETE tree: 10 listed file(s) missing, so NOT the "
              "verified source and not the validated module: a, b\n")
    backend.describe_wheel(str(wheel), record)
    with zipfile.ZipFile(wheel) as z:
        names, new = z.namelist(), z.read(f"{info}/METADATA")
        lines = z.read(f"{info}/RECORD").decode().splitlines()
    assert names == ["_core_fips.abi3.so", f"{info}/METADATA", f"{info}/RECORD"]
    fips, debian = PINS["FIPS_VERSION"], PINS["DEBIAN_AWSLC_VERSION"]
    assert f"**AWS-LC FIPS {fips}**: AWS-LC-FIPS {fips} from an INCOMPLETE tree".encode() in new
    assert f"AWS-LC FIPS {debian}".encode() not in new and b"neither the verified source nor the validated module" in new
    digest = base64.urlsafe_b64encode(hashlib.sha256(new).digest()).rstrip(b"=").decode()
    assert lines[1] == f"{info}/METADATA,sha256={digest},{len(new)}"
    child = subprocess.run([sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]); import core_fips_build as b; "
                            "b.warn('core-fips: WARNING: planted')", str(ROOT / "backend")],
                           capture_output=True, text=True, timeout=60)
    assert child.stderr == "core-fips: WARNING: planted\n"
    assert "core-fips: WARNING: planted" in capfd.readouterr().err
