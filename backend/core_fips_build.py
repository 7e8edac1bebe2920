"""The build backend: scikit-build-core's, after a check of the tools a build from source needs.

A missing tool gives one line naming it and how to install it, before CMake runs (CMake's own
report of a missing compiler is a page of trace). The AWS-LC source is the bundled 5.1.0 unless
CORE_FIPS_AWSLC_SOURCE names another, as an environment variable or as the config setting
cmake.define.CORE_FIPS_AWSLC_SOURCE; building that one needs Go and Ninja as well.
"""
import os
import re
import shutil
import subprocess
import sys
import sysconfig
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
            _missing("go", "golang-go", "golang", " (AWS-LC-FIPS 3.1.0's build runs its Go programs)")
        if not _program(["ninja"]):
            _missing("ninja", "ninja-build", "ninja-build", " (AWS-LC-FIPS 3.1.0 is built with Ninja)")
    else:
        try:
            import elftools  # noqa: F401  the integrity value is written by setup/inject_hash.py
        except ImportError:
            _missing("pyelftools", "python3-pyelftools", "python3-pyelftools",
                     " (it writes the library's integrity value)")


def _backend():
    try:
        from scikit_build_core import build
    except ImportError:
        _missing("scikit-build-core", "python3-scikit-build-core", "python3-scikit-build-core",
                 " (the build backend)")
    return build


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    check_tools(config_settings)
    return _backend().build_wheel(wheel_directory, config_settings, metadata_directory)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    check_tools(config_settings)
    return _backend().build_editable(wheel_directory, config_settings, metadata_directory)


def __getattr__(name):
    # Every other hook (sdist, metadata, requirements) is scikit-build-core's own.
    return getattr(_backend(), name)
