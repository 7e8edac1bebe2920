"""The build backend: scikit-build-core's, after a check of the tools a build from source needs.

A missing tool gives one line naming it and how to install it, before CMake runs (CMake's own
report of a missing compiler is a page of trace). The AWS-LC source is the bundled Debian one unless
CORE_FIPS_AWSLC_SOURCE names another, as an environment variable or as the config setting
cmake.define.CORE_FIPS_AWSLC_SOURCE; building that one needs Go and Ninja as well. Naming it
and a built AWS-LC (CORE_FIPS_AWSLC) at once is an error.

Every wheel says which library it holds, from what source: after the build, the long description's
library paragraph (docs/wheel-readme.md) is written from the record of the AWS-LC it was built
against (share/core-fips/awslc-source.txt, which setup/awslc_source.py and setup/build-awslc.sh
wrote), whoever asked for the wheel, in the words the wheel's SBOM uses (setup/awslc_record.py, with
the versions of setup/pins). A build from an incomplete tree also says so in a warning pip shows
without -v.
"""
import base64
import hashlib
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile
from pathlib import Path

CMAKE_MINIMUM = (3, 18)


def _missing(what, debian, rhel, why=""):
    sys.stderr.write(f"core-fips: {what} is missing{why}: apt install {debian} (Debian, Ubuntu), "
                     f"dnf install {rhel} (RHEL-like)\n")
    raise SystemExit(1)


def _program(names, env=None):
    for name in ([os.environ[env].split()[0]] if env and os.environ.get(env) else []) + names:
        found = shutil.which(name)
        if found:
            return found
    return None


def _cmake_version(cmake):
    out = subprocess.run([cmake, "--version"], capture_output=True, text=True).stdout
    m = re.search(r"version (\d+)\.(\d+)", out)
    return (int(m.group(1)), int(m.group(2))) if m else (0, 0)


def check_tools(config_settings=None):
    """Exits with one line naming the first missing tool."""
    settings = config_settings or {}
    built = settings.get("cmake.define.CORE_FIPS_AWSLC") or os.environ.get("CORE_FIPS_AWSLC")
    named = settings.get("cmake.define.CORE_FIPS_AWSLC_SOURCE") or os.environ.get("CORE_FIPS_AWSLC_SOURCE")
    if built and named:
        sys.stderr.write(f"core-fips: CORE_FIPS_AWSLC ({built}) and CORE_FIPS_AWSLC_SOURCE ({named}) are both "
                         "set: name a built AWS-LC or a source to build, not both\n")
        raise SystemExit(1)
    if built:
        return  # a checkout's tools (tools/wheel): they provide every tool, and AWS-LC built
    version = f"{sys.version_info[0]}.{sys.version_info[1]}"
    if not (Path(sysconfig.get_paths()["include"]) / "Python.h").is_file():
        _missing(f"Python {version}'s C headers (Python.h)", f"python{version}-dev", "python3-devel")
    cmake = _program(["cmake"])
    if not cmake or _cmake_version(cmake) < CMAKE_MINIMUM:
        _missing("cmake 3.18 or later", "cmake", "cmake", "" if not cmake else f" ({cmake} is older)")
    if not _program(["cc", "gcc", "clang"], "CC"):
        _missing("a C compiler", "gcc", "gcc")
    if not _program(["c++", "g++", "clang++"], "CXX"):
        _missing("a C++ compiler", "g++", "gcc-c++")
    if not _program(["ninja", "make"]):
        _missing("make (or ninja)", "make", "make")
    for tool, debian, rhel in (("bash", "bash", "bash"), ("perl", "perl", "perl"),
                               ("nm", "binutils", "binutils"), ("readelf", "binutils", "binutils")):
        if not _program([tool]):
            _missing(tool, debian, rhel, " (AWS-LC's build uses it)")
    if named:
        if not _program(["go"]):
            _missing("go", "golang-go", "golang", " (AWS-LC-FIPS's build runs its Go programs)")
        if not _program(["ninja"]):
            _missing("ninja", "ninja-build", "ninja-build", " (AWS-LC-FIPS is built with Ninja)")
    else:
        try:
            import elftools  # noqa: F401  the integrity value is written by setup/inject_hash.py
        except ImportError:
            _missing("pyelftools", "python3-pyelftools", "python3-pyelftools",
                     " (it writes the library's integrity value)")


def _setup_module(name):
    """setup/NAME.py of this project (in the sdist too), loaded by its path."""
    path = Path(__file__).resolve().parents[1] / "setup" / f"{name}.py"
    spec = importlib.util.spec_from_file_location(f"core_fips_{name}", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def library_paragraph(record):
    """The long description's paragraph on the library, for a build from a named source whose
    record (share/core-fips/awslc-source.txt) is `record`."""
    awslc_record = _setup_module("awslc_record")
    return awslc_record.paragraph(awslc_record.Record(record), _setup_module("pins").load())


def with_library(text, record):
    """`text` (the readme, or METADATA) with its library paragraph written from `record`."""
    paragraph = library_paragraph(record)
    new = re.sub(r"(<!-- library:[^\n]*-->\n).*?(\n<!-- /library -->)",
                 lambda m: m.group(1) + paragraph + m.group(2), text, count=1, flags=re.S)
    if new == text and paragraph not in text:
        raise ValueError("no library paragraph (<!-- library: ... -->) in the description")
    return new


def describe_wheel(wheel, record):
    """Rewrites the wheel's METADATA (and its RECORD line) so that its description names the
    library `record` describes; entries keep their order and dates."""
    with zipfile.ZipFile(wheel) as z:
        items = [(info, z.read(info)) for info in z.infolist()]
    names = [info.filename for info, _ in items]
    meta = next(n for n in names if n.endswith(".dist-info/METADATA"))
    old = dict((info.filename, data) for info, data in items)[meta]
    new = with_library(old.decode(), record).encode()
    if new == old:
        return
    digest = base64.urlsafe_b64encode(hashlib.sha256(new).digest()).rstrip(b"=").decode()
    line = re.compile(rf"^{re.escape(meta)},[^\n]*$", re.M)
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(wheel)), suffix=".whl")
    os.close(fd)
    with zipfile.ZipFile(tmp, "w") as z:
        for info, data in items:
            if info.filename == meta:
                data = new
            elif info.filename.endswith(".dist-info/RECORD"):
                data = line.sub(f"{meta},sha256={digest},{len(new)}", data.decode()).encode()
            z.writestr(info, data)
    os.replace(tmp, wheel)


def warn(line):
    """`line` on stderr, and on the stderr of the process that started this backend (pip's, which
    shows a backend's output only with -v) when that is another file."""
    sys.stderr.write(line + "\n")
    try:
        theirs = f"/proc/{os.getppid()}/fd/2"
        if (os.stat(theirs).st_dev, os.stat(theirs).st_ino) != (os.fstat(2).st_dev, os.fstat(2).st_ino):
            with open(theirs, "a") as f:
                f.write(line + "\n")
    except OSError:
        pass  # not Linux, or not ours to write to: the line above stands


def _build(hook, wheel_directory, config_settings, metadata_directory):
    check_tools(config_settings)
    settings = dict(config_settings or {})
    with tempfile.TemporaryDirectory() as tmp:
        # CMake copies the AWS-LC build's record here (CMakeLists.txt).
        settings["cmake.define.CORE_FIPS_RECORD_OUT"] = os.path.join(tmp, "awslc-source.txt")
        name = getattr(_backend(), hook)(wheel_directory, settings, metadata_directory)
        record = Path(settings["cmake.define.CORE_FIPS_RECORD_OUT"])
        record = record.read_text() if record.is_file() else ""
    if record:
        describe_wheel(os.path.join(wheel_directory, name), record)
        if "INCOMPLETE" in record:
            warn("core-fips: WARNING: " + record.strip())
    return name


def _backend():
    try:
        from scikit_build_core import build
    except ImportError:
        _missing("scikit-build-core", "python3-scikit-build-core", "python3-scikit-build-core",
                 " (the build backend)")
    return build


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _build("build_wheel", wheel_directory, config_settings, metadata_directory)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _build("build_editable", wheel_directory, config_settings, metadata_directory)


def __getattr__(name):
    # Every other hook (sdist, metadata, requirements) is scikit-build-core's own.
    return getattr(_backend(), name)
