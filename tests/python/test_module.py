"""The module as the interpreter sees it: definition, registration, FIPS status, the library."""
import hashlib
import importlib.machinery
import importlib.util
import json
import os
import re
import ssl
import sys
from pathlib import Path

import pytest

from conftest import (DEBUG_BUILD, EXPECTED_AWSLC, EXT_SUFFIX, MODULE_DIR, PINS, ROOT, awslc_library,
                      awslc_version_text, release_only, run_python)

ALL = ["Token", "Hasher", "VerifyingHasher", "create_hash", "compare_hash", "encrypt",
       "fips_check"]
FIPS_DOC = ("Returns True when this wheel was built with the `corvel-fips` feature\n"
            "AND the AWS-LC-FIPS module is currently active. False otherwise.")


def test_module_definition(core):
    assert core.__doc__ == ""
    assert core.__all__ == ALL
    assert all(getattr(core, name) is not None for name in core.__all__)
    assert not hasattr(core, "PanicException")


EXTENSION = MODULE_DIR / ("_core_fips" + EXT_SUFFIX)
LIBRARY = awslc_library(MODULE_DIR)


def _checker():
    """tools/check-wheel, the release checks on wheels, whose ELF reader these tests share."""
    loader = importlib.machinery.SourceFileLoader("check_wheel", str(ROOT / "tools" / "check-wheel"))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


@release_only
def test_extension_exports_only_its_init_and_needs_the_library_in_its_folder():
    # Read without binutils, so this runs in the stock root on the installed wheel too.
    assert [p.name for p in MODULE_DIR.glob("_core_fips.*.so")] == [EXTENSION.name]
    check = _checker()
    ext, lib = check.Elf(EXTENSION.read_bytes()), check.Elf(LIBRARY.read_bytes())
    # NEEDED is left to the test below: sanitizer builds need their runtimes.
    assert check.export_problems(ext, "extension") + check.link_problems(ext, "extension", None) == []
    assert check.export_problems(lib, "library") + check.link_problems(lib, "library", None) == []


# A build tree holds its compile commands beside the module; an installed copy does not, and was
# built elsewhere (tools/check-wheel checks the wheel it came from for build folders).
COMPILE_COMMANDS = MODULE_DIR.parent / "compile_commands.json"
BUILD_TREE = COMPILE_COMMANDS.exists()
SANITIZED = BUILD_TREE and "-fsanitize" in COMPILE_COMMANDS.read_text()
shipped_binaries = pytest.mark.skipif(
    DEBUG_BUILD or SANITIZED,
    reason="checks release binaries: a build tree that ships, or an installed wheel")
shipped_build = pytest.mark.skipif(
    DEBUG_BUILD or SANITIZED or not BUILD_TREE, reason="checks the release build tree that ships")


@shipped_binaries
@pytest.mark.parametrize("role", ["extension", "library"])
def test_shipped_binaries_are_hardened_and_name_no_folder_of_the_build(role):
    check = _checker()
    data = (EXTENSION if role == "extension" else LIBRARY).read_bytes()
    # The build tree links libstdc++ dynamically; the wheels link it in. The checks that need our
    # flags are not applied to AWS-LC-FIPS, built as its Security Policy says.
    problems = check.elf_problems(check.Elf(data), role, allowed=check.GLIBC | check.CXX_RUNTIME,
                                  library=LIBRARY.name)
    if BUILD_TREE:
        extra = [MODULE_DIR.parent, Path(os.environ.get("CORE_FIPS_AWSLC", ROOT)).parent]
        folders = check.build_path_problems(data, check.build_folders(extra))
        if role == "library" and not check.LIBRARIES[LIBRARY.name].hardened:
            # Its error strings carry the source folder it was compiled in: here the verified copy
            # in the cache (tools/wheel compiles it at a neutral folder, and check-wheel checks
            # the wheels), but never the checkout or a build folder.
            folders = [p for p in folders if f"/awslc-fips-{PINS['FIPS_VERSION']}-source-" not in p]
        problems += folders
    assert problems == []


@shipped_build
def test_every_shipped_file_was_compiled_hardened():
    commands = [COMPILE_COMMANDS,
                Path(os.environ["CORE_FIPS_AWSLC"]) / "share/core-fips/compile_commands.json"]
    policy_build = not _checker().LIBRARIES[LIBRARY.name].hardened
    for listing in commands:
        entries = json.loads(listing.read_text())
        compiled = [e for e in entries if not e["file"].endswith((".S", ".s", ".asm"))]
        assert compiled, listing
        for entry in compiled:
            command = entry.get("command") or " ".join(entry["arguments"])
            if policy_build and listing is commands[1]:
                # AWS-LC-FIPS as its Security Policy builds it: FIPS, Release, and no flag
                # of ours but the symbol prefix (-Bsymbolic is the linker's).
                assert "-DBORINGSSL_FIPS" in command and " -O3" in command, entry["file"]
                assert not re.search(r"-fstack-protector|_FORTIFY_SOURCE|-ffile-prefix-map", command)
                continue
            assert "-fstack-protector-strong" in command, entry["file"]
            assert "-D_FORTIFY_SOURCE=2" in command and " -O" in command, entry["file"]


def test_fips_check(core):
    f = core.fips_check
    assert f() is True and f() is True
    assert f.__doc__ == FIPS_DOC
    assert f.__text_signature__ == "()"
    assert f.__self__ is None and f.__module__ is None
    with pytest.raises(TypeError):
        f(1)
    with pytest.raises(TypeError):
        f(x=1)


def test_types_are_shared_by_every_module_object(core):
    out = run_python("""
        import sys, _core_fips as first
        del sys.modules["_core_fips"]
        import _core_fips as second
        assert second is not first
        print(all(getattr(first, n) is getattr(second, n) for n in ("Token", "Hasher", "VerifyingHasher")),
              first.create_hash is not second.create_hash, second.__all__ == first.__all__)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", "True", "True"]


SUBINTERPRETERS = next((n for n in ("_interpreters", "_xxsubinterpreters")
                        if importlib.util.find_spec(n)), None)


@pytest.mark.skipif(SUBINTERPRETERS is None, reason="no subinterpreters module on this interpreter")
def test_subinterpreters_refuse_the_import():
    # The types are process-wide, so a subinterpreter, legacy (mod_wsgi's) or isolated, must not
    # get them: its import fails with ImportError, and the main interpreter's module goes on.
    out = run_python(f"""
        import _core_fips, {SUBINTERPRETERS} as x
        code = '''
        try:
            import _core_fips
        except ImportError as e:
            print(type(e).__name__, e, flush=True)  # its own stdout, flushed at its end otherwise
        else:
            print("imported", flush=True)
        '''
        for kind in ("legacy", "isolated"):
            if hasattr(x, "new_config"):
                x.exec(x.create(x.new_config(kind)), code)
            else:
                x.run_string(x.create(isolated=kind == "isolated"), code)
        print(_core_fips.create_hash(b"x", "s").salt)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == 2 * [
        "ImportError module _core_fips does not support loading in subinterpreters"] + ["s"]


def test_running_the_exec_step_again_appends_to_all_and_refuses_a_tuple():
    # importlib.reload no longer re-runs an initialised extension's exec step on 3.14; run it
    # through the C API directly, as older interpreters' reload did.
    out = run_python("""
        import ctypes, _core_fips as m
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        old_create, old_token = m.create_hash, m.Token
        api.PyModule_ExecDef(m, api.PyModule_GetDef(m))
        n = len(m.__all__) // 2
        print(len(m.__all__), m.__all__[:n] == m.__all__[n:], m.create_hash is not old_create,
              m.Token is old_token)
        m.__all__ = tuple(m.__all__)
        try:
            api.PyModule_ExecDef(m, api.PyModule_GetDef(m))
        except TypeError as e:
            print(e)
    """)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == f"{2 * len(ALL)} True True True"
    assert lines[1] == "'tuple' object is not an instance of 'list'"


def test_one_process_with_openssl_and_aws_lc(core):
    # The FIPS library is prefixed and bound symbolically: OpenSSL beside it must not matter.
    ctx = ssl.create_default_context()
    assert ctx.protocol is not None and ssl.OPENSSL_VERSION.startswith("OpenSSL")
    data = b"both libraries in one process"
    assert core.create_hash(data, "s").sha == hashlib.sha384(data + b"s").hexdigest()
    assert core.fips_check() is True
    assert hashlib.sha256(b"abc").hexdigest().startswith("ba7816bf")


def test_library_version():
    assert awslc_version_text(LIBRARY) == EXPECTED_AWSLC


def test_the_import_needs_only_a_few_words_of_static_tls():
    # An extension with initial-exec thread-locals takes its whole TLS segment from glibc's static
    # surplus, shared with every library loaded before it; with the optional part of the surplus
    # at 0, only what glibc keeps for one namespace is left. The interpreter's own extension
    # modules import there (shown first, and loaded first, as in a process that uses them), and
    # so must this one.
    out = run_python("""
        import importlib
        for name in ("_ctypes", "_decimal", "_hashlib"):
            importlib.import_module(name)
            print(name)
        import _core_fips as m
        print(m.create_hash(b"x", "s").sha)
    """, env={"GLIBC_TUNABLES": "glibc.rtld.nns=1:glibc.rtld.optional_static_tls=0"})
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["_ctypes", "_decimal", "_hashlib", hashlib.sha384(b"xs").hexdigest()]
