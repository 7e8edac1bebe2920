"""The pieces of a build from the sdist around the compilers: the check that names a missing tool,
the trace reader that chooses which files of AWS-LC's source the sdist bundles, and what the backend
does with the built wheel (its description, from CMake's claim) and its warning."""
import os
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


INFO = "core_fips-0.1.0.dist-info"
INCOMPLETE = (f"AWS-LC-FIPS {PINS['FIPS_VERSION']} from an INCOMPLETE tree: 10 listed file(s) missing, so NOT the "
              "verified source and not the validated module: a, b\n")


def a_wheel(path, library=PINS["FIPS_LIBRARY"], source="incomplete-tree", mode=0o644):
    """A wheel as scikit-build-core leaves it: the readme's default paragraph, the library, an SBOM
    naming SOURCE; and the claim CMake writes for it."""
    import hashlib
    import json
    import zipfile
    readme = (ROOT / "docs/wheel-readme.md").read_text()
    meta = "Metadata-Version: 2.4\nName: core-fips\nVersion: 0.1.0\n\n" + readme
    lib = b"\x7fELF the library"
    sbom = json.dumps({"components": [{"bom-ref": "aws-lc", "properties": [{"name": "core-fips:source", "value": source}]}]})
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("_core_fips.abi3.so", b"ext")
        z.writestr(f"core_fips.libs/{library}", lib)
        z.writestr(f"{INFO}/METADATA", meta)
        z.writestr(f"{INFO}/sboms/core_fips.cdx.json", sbom)
        z.writestr(f"{INFO}/RECORD", f"_core_fips.abi3.so,sha256=x,3\n{INFO}/METADATA,sha256=old,1\n{INFO}/RECORD,,\n")
    os.chmod(path, mode)
    return f"{source} {library} {hashlib.sha256(lib).hexdigest()}\n" + (INCOMPLETE if library == PINS["FIPS_LIBRARY"] else "")


def test_the_wheel_says_which_library_it_holds(tmp_path):
    """Whoever builds it: the description is written from the build's claim (here a wheel made
    with the default paragraph, as pip makes it from the sdist), RECORD still matches, and the wheel
    keeps its mode."""
    import base64
    import hashlib
    import zipfile
    wheel = tmp_path / "core_fips-0.1.0-cp311-abi3-linux_x86_64.whl"
    claim = a_wheel(wheel)
    backend.describe_wheel(str(wheel), backend.Claim(claim))
    with zipfile.ZipFile(wheel) as z:
        names, new = z.namelist(), z.read(f"{INFO}/METADATA")
        lines = z.read(f"{INFO}/RECORD").decode().splitlines()
    assert names == ["_core_fips.abi3.so", f"core_fips.libs/{PINS['FIPS_LIBRARY']}", f"{INFO}/METADATA",
                     f"{INFO}/sboms/core_fips.cdx.json", f"{INFO}/RECORD"]
    assert oct(os.stat(wheel).st_mode & 0o777) == oct(0o644)
    fips, debian = PINS["FIPS_VERSION"], PINS["DEBIAN_AWSLC_VERSION"]
    assert f"**AWS-LC FIPS {fips}**: AWS-LC-FIPS {fips} from an INCOMPLETE tree".encode() in new
    assert f"AWS-LC FIPS {debian}".encode() not in new and b"neither the verified source nor the validated module" in new
    digest = base64.urlsafe_b64encode(hashlib.sha256(new).digest()).rstrip(b"=").decode()
    assert lines[1] == f"{INFO}/METADATA,sha256={digest},{len(new)}"


class FakeSkbuild:
    """scikit-build-core's build module as the backend calls it: makes the wheel with MAKE and
    writes CMake's claim, changed by CHANGE, where the config setting says (nowhere when CHANGE
    gives None, as when CMAKE_ARGS moved CORE_FIPS_CLAIM_OUT)."""

    def __init__(self, make, change):
        self.make, self.change = make, change

    def build_wheel(self, wheel_directory, settings, metadata_directory):
        name = "core_fips-0.1.0-cp311-abi3-linux_x86_64.whl"
        said = self.change(self.make(os.path.join(wheel_directory, name)))
        if said is not None:
            with open(settings["cmake.define.CORE_FIPS_CLAIM_OUT"], "w") as f:
                f.write(said)
        return name


FAIL_CLOSED = {  # what CMake wrote -> words of the one line the backend says
    "nothing (CORE_FIPS_CLAIM_OUT moved by CMAKE_ARGS)": (lambda c: None, "no claim of the library from CMake"),
    "a claim about another library": (lambda c: c.replace(c.split()[2], "0" * 64, 1), "not the library the build saw"),
    "Debian's claim for a FIPS library": (lambda c: c.replace("incomplete-tree", "debian-package", 1), "SBOM does not say"),
    "a claim longer than a record": (lambda c: c + "x" * 70000, "longer than"),
    "a claim the SBOM contradicts": (lambda c: c.replace("incomplete-tree", "verified-zip", 1), "SBOM does not say"),
}


@pytest.mark.parametrize("wrote", FAIL_CLOSED)
def test_a_wheel_without_the_builds_own_claim_is_refused_and_removed(machine, tmp_path, monkeypatch, capsys, wrote):
    """Never the readme's default paragraph, Debian's AWS-LC, on a FIPS library."""
    change, words = FAIL_CLOSED[wrote]
    monkeypatch.setattr(backend, "_backend", lambda: FakeSkbuild(a_wheel, change))
    with pytest.raises(SystemExit):
        backend.build_wheel(str(tmp_path))
    err = capsys.readouterr().err
    assert err.startswith("core-fips: ") and words in err and "the wheel was removed" in err, err
    assert list(tmp_path.glob("*.whl")) == []
    # The same build with CMake's own claim passes, and warns of the incomplete tree.
    monkeypatch.setattr(backend, "_backend", lambda: FakeSkbuild(a_wheel, lambda c: c))
    assert backend.build_wheel(str(tmp_path)).endswith(".whl")
    assert "core-fips: WARNING: AWS-LC-FIPS" in capsys.readouterr().err


# A parent whose stderr is argv[2] (a file's path, "pipe", or "fifo-without-reader" with the FIFO
# at argv[3]) runs a child with another stderr that calls warn(); with argv[4] "orphan" the parent
# exits first and the child warns once reparented.
WARN_PARENT = r"""
import os, subprocess, sys
backend, target = sys.argv[1], sys.argv[2]
if target == "fifo-without-reader":
    reader = os.open(sys.argv[3], os.O_RDONLY | os.O_NONBLOCK)
    os.dup2(os.open(sys.argv[3], os.O_WRONLY), 2)
    os.close(reader)  # nobody reads it now
elif target != "pipe":
    os.dup2(os.open(target, os.O_WRONLY), 2)  # as a shell's 2>FILE: no O_APPEND
child = "\n".join([
    "import os, sys, time",
    "sys.path.insert(0, sys.argv[1]); import core_fips_build as b",
    "parent = os.getppid()",
    "print('imported', flush=True)",
    "while sys.argv[2] == 'orphan' and os.getppid() == parent: time.sleep(0.01)",
    "b.warn('core-fips: WARNING: planted')"])
p = subprocess.Popen([sys.executable, "-c", child, backend, sys.argv[4]], stdout=subprocess.PIPE,
                     stderr=subprocess.DEVNULL)
p.stdout.readline()  # the child knows us as its parent
if sys.argv[4] == "orphan":
    os._exit(0)
p.wait()
"""
# Adopts orphans (PR_SET_CHILD_SUBREAPER), runs argv[1:] and waits for every descendant.
REAPER = r"""
import ctypes, os, subprocess, sys
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)
subprocess.run(sys.argv[1:])
while True:
    try:
        os.wait()
    except ChildProcessError:
        break
"""


def test_the_warning_reaches_only_a_pipe_or_terminal_of_our_own_parent(tmp_path):
    """pip's stderr is a pipe (shown without -v). Into a log file it would be overwritten by pip's
    next write; a FIFO nobody reads would block the build forever; once reparented, the parent's
    stderr is another process's. Our own stderr has it every time."""
    import subprocess
    line = "core-fips: WARNING: planted"
    backend_dir = str(ROOT / "backend")
    log = tmp_path / "pip.log"
    log.write_text("")
    subprocess.run([sys.executable, "-c", WARN_PARENT, backend_dir, str(log), "", "stay"], timeout=60, check=True)
    assert log.read_text() == ""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    subprocess.run([sys.executable, "-c", WARN_PARENT, backend_dir, "fifo-without-reader", str(fifo), "stay"],
                   timeout=60, check=True)  # a blocking open would never return
    piped = subprocess.run([sys.executable, "-c", WARN_PARENT, backend_dir, "pipe", "", "stay"],
                           capture_output=True, text=True, timeout=60)
    assert piped.stderr == line + "\n"  # the check can pass: a pipe gets it
    ours = subprocess.run([sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]); import core_fips_build as b; "
                           f"b.warn({line!r})", backend_dir], capture_output=True, text=True, timeout=60)
    assert ours.stderr == line + "\n"
    orphan = subprocess.run([sys.executable, "-c", REAPER, sys.executable, "-c", WARN_PARENT, backend_dir, "pipe", "", "orphan"],
                            capture_output=True, text=True, timeout=60)
    assert orphan.returncode == 0 and line not in orphan.stderr
