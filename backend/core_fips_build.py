"""The build backend: scikit-build-core's, after a check of the tools a build from source needs.

A missing tool gives one line naming it and how to install it, before CMake runs (CMake's own
report of a missing compiler is a page of trace). The AWS-LC source is the bundled Debian one unless
CORE_FIPS_AWSLC_SOURCE names another, as an environment variable or as the config setting
cmake.define.CORE_FIPS_AWSLC_SOURCE; building that one needs Go and Ninja as well. Naming it
and a built AWS-LC (CORE_FIPS_AWSLC) at once is an error.

Every wheel says which library it holds, from what source: after the build, the long description's
library paragraph (docs/wheel-readme.md) is written from the claim CMake computed from what that
configure did (CMakeLists.txt: the library, its SHA-256, and the kind of source it verified and
compiled, or that it was given a library built elsewhere) and the build's record, whoever asked for
the wheel, in the words the wheel's SBOM uses (setup/awslc_record.py, with the versions of
setup/pins). The claim must be about the library the wheel ships and agree with its SBOM; a build
that wrote no claim is refused (never described as Debian's AWS-LC by default). A build from an
incomplete tree also says so in a warning pip shows without -v.
"""
import base64
import hashlib
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import stat
import sysconfig
import tempfile
import zipfile
from pathlib import Path

CMAKE_MINIMUM = (3, 18)
# What CMake writes for us: a line, and a record of a few lines (setup/awslc_record.py's limit).
CLAIM_LIMIT = 65 * 1024
LIBS = "core_fips.libs/"
SBOM = ".dist-info/sboms/core_fips.cdx.json"
# The process that started this backend (pip), as it was when we started: a warning goes to its
# stderr only while it is still our parent.
_PARENT = os.getppid()


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


class Claim:
    """What CMake says of the library (CORE_FIPS_CLAIM_OUT): KIND (setup/awslc_record.py's CLAIMS),
    LIBRARY (its file name) and SHA256 on the first line, then the record of its build (RECORD, a
    Record, or None for Debian's AWS-LC)."""

    def __init__(self, text):
        first, _, rest = text.partition("\n")
        parts = first.split()
        awslc_record = _setup_module("awslc_record")
        if len(parts) != 3 or parts[0] not in awslc_record.CLAIMS or not re.fullmatch(r"[0-9a-f]{64}", parts[2]):
            raise ValueError(f"not a claim CMakeLists.txt writes: {first!r}")
        self.kind, self.library, self.sha256 = parts
        self.record = awslc_record.Record(rest) if rest.strip() else None
        self.fips = self.kind not in (awslc_record.DEBIAN_PACKAGE, awslc_record.SDIST_BUNDLE)
        self.incomplete = self.record is not None and self.record.kind == awslc_record.INCOMPLETE


def library_paragraph(claim):
    """The long description's paragraph on an AWS-LC-FIPS library, for a Claim."""
    awslc_record = _setup_module("awslc_record")
    return awslc_record.paragraph(claim.kind, claim.record, _setup_module("pins").load())


def with_library(text, claim):
    """`text` (the readme, or METADATA) with its library paragraph written from `claim`."""
    paragraph = library_paragraph(claim)
    new = re.sub(r"(<!-- library:[^\n]*-->\n).*?(\n<!-- /library -->)",
                 lambda m: m.group(1) + paragraph + m.group(2), text, count=1, flags=re.S)
    if new == text and paragraph not in text:
        raise ValueError("no library paragraph (<!-- library: ... -->) in the description")
    return new


def _sbom_source(data):
    """The source kind the SBOM's AWS-LC component names, or None."""
    import json
    try:
        awslc = next(c for c in json.loads(data)["components"] if c.get("bom-ref") == "aws-lc")
        return {p["name"]: p["value"] for p in awslc.get("properties", [])}.get("core-fips:source")
    except (ValueError, KeyError, TypeError, AttributeError, StopIteration):
        return None


def describe_wheel(wheel, claim):
    """Checks that `claim` (a Claim) is about the library the wheel ships, and what its SBOM says,
    then rewrites the wheel's METADATA (and its RECORD line) so that its description names that
    library; entries keep their order and dates, the file its mode."""
    with zipfile.ZipFile(wheel) as z:
        items = [(info, z.read(info)) for info in z.infolist()]
    names = [info.filename for info, _ in items]
    data = dict((info.filename, d) for info, d in items)
    libs = [n for n in names if n.startswith(LIBS) and not n.endswith("/")]
    if libs != [LIBS + claim.library] or hashlib.sha256(data[libs[0]]).hexdigest() != claim.sha256:
        raise ValueError(f"the build's claim is about {claim.library} (SHA-256 {claim.sha256}), but the wheel "
                         f"ships {', '.join(libs) or 'no library'}: not the library the build saw")
    sboms = [n for n in names if n.endswith(SBOM)]
    if len(sboms) != 1 or _sbom_source(data[sboms[0]]) != claim.kind:
        raise ValueError(f"the wheel's SBOM does not say what the build's claim says ({claim.kind})")
    if not claim.fips:
        return  # the readme's own paragraph: Debian's AWS-LC
    meta = next(n for n in names if n.endswith(".dist-info/METADATA"))
    old = data[meta]
    new = with_library(old.decode(), claim).encode()
    if new == old:
        return
    digest = base64.urlsafe_b64encode(hashlib.sha256(new).digest()).rstrip(b"=").decode()
    line = re.compile(rf"^{re.escape(meta)},[^\n]*$", re.M)
    mode = stat.S_IMODE(os.stat(wheel).st_mode)
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(wheel)), suffix=".whl")
    os.close(fd)
    with zipfile.ZipFile(tmp, "w") as z:
        for info, d in items:
            if info.filename == meta:
                d = new
            elif info.filename.endswith(".dist-info/RECORD"):
                d = line.sub(f"{meta},sha256={digest},{len(new)}", d.decode()).encode()
            z.writestr(info, d)
    os.chmod(tmp, mode)  # mkstemp's file is 0600: the wheel keeps the mode pip gave it
    os.replace(tmp, wheel)


def warn(line):
    """`line` on stderr, and on the stderr of the process that started this backend (pip's, which
    shows a backend's output only with -v) when that is another pipe or a terminal and that process
    is still our parent: opened without blocking and appending, never a file (pip's own writes would
    overwrite it) or a FIFO nobody reads (the open would wait forever)."""
    sys.stderr.write(line + "\n")
    sys.stderr.flush()
    parent = os.getppid()
    if parent != _PARENT or parent <= 1:
        return  # reparented: that stderr is someone else's
    theirs = f"/proc/{parent}/fd/2"
    try:
        before = os.stat(theirs)
        if not (stat.S_ISFIFO(before.st_mode) or stat.S_ISCHR(before.st_mode)):
            return
        if (before.st_dev, before.st_ino) == (os.fstat(2).st_dev, os.fstat(2).st_ino):
            return  # the same stream: the line is there already
        fd = os.open(theirs, os.O_WRONLY | os.O_APPEND | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError:
        return  # not Linux, gone, or a FIFO with no reader (ENXIO): the line above stands
    try:
        now = os.fstat(fd)
        if (now.st_dev, now.st_ino) == (before.st_dev, before.st_ino) and (
                stat.S_ISFIFO(now.st_mode) or os.isatty(fd)):
            os.write(fd, (line + "\n").encode())
    except OSError:
        pass  # full (EAGAIN) or its reader is gone (EPIPE): not written
    finally:
        os.close(fd)


def read_claim(path):
    """The Claim CMake wrote to PATH; a build that wrote none (CORE_FIPS_CLAIM_OUT redirected, by
    CMAKE_ARGS say) or wrote something else is refused, never described by default."""
    try:
        text = _setup_module("awslc_record").read_text(path, CLAIM_LIMIT)
        return Claim(text)
    except (OSError, ValueError) as e:
        raise ValueError(f"no claim of the library from CMake ({e}): was CORE_FIPS_CLAIM_OUT set elsewhere "
                         "(CMAKE_ARGS)?") from None


def _build(hook, wheel_directory, config_settings, metadata_directory):
    check_tools(config_settings)
    settings = dict(config_settings or {})
    with tempfile.TemporaryDirectory() as tmp:
        # CMake writes its claim here (CMakeLists.txt): a folder only this build can write to.
        out = os.path.join(tmp, "claim.txt")
        settings["cmake.define.CORE_FIPS_CLAIM_OUT"] = out
        name = getattr(_backend(), hook)(wheel_directory, settings, metadata_directory)
        wheel = os.path.join(wheel_directory, name)
        try:
            claim = read_claim(out)
            describe_wheel(wheel, claim)
        except ValueError as e:
            os.unlink(wheel)  # an undescribed wheel must not be installed by mistake
            sys.stderr.write(f"core-fips: {e}; the wheel was removed\n")
            raise SystemExit(1) from None
    if claim.incomplete:
        warn("core-fips: WARNING: " + claim.record.source.strip())
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
