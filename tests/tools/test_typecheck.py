"""What a type checker makes of the module as installed: the layout the wheel installs (CMake's
install rules run on the build this interpreter imports, into a venv's site-packages), Debian's mypy
(and pyright, where its npm package is installed) on a correct program and on one with a wrong type
at each kind of call."""
import json
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

_core_fips = pytest.importorskip("_core_fips", reason="the module is not built here (tools/test puts build/python first)")
BUILD = Path(_core_fips.__file__).resolve().parent.parent  # build/python/.. : the CMake build tree

CORRECT = '''\
import _core_fips
from _core_fips import Hasher, Token, VerifyingHasher

token: Token = _core_fips.create_hash(b"data", None)
sha: str = token.sha
salt: str = token.salt
same: bool = _core_fips.compare_hash(sha, salt, bytearray(b"data"))
again: Token = Token.from_bytes(memoryview(b"data"), salt)
Token.compare_token(sha, salt, b"data")
hasher = Hasher(salt)
hasher.update(b"da")
hasher.update(bytearray(b"ta"))
made: Token = hasher.finalize()
verifier = VerifyingHasher(sha, salt=salt)
verifier.update(memoryview(b"data"))
verifier.finalize()
sealed: bytes = _core_fips.encrypt(b"-----BEGIN RSA PUBLIC KEY-----", b"x")
sealed_kem: bytes = _core_fips.encrypt_mlkem(b"-----BEGIN PUBLIC KEY-----", b"x")
fips: bool = _core_fips.fips_check()
names: list[str] = _core_fips.__all__
try:
    Token.compare_token(sha, salt, b"other")
except ValueError as error:
    said: str = str(error)
except (TypeError, BufferError, UnicodeEncodeError, RuntimeError):
    pass
'''

# Every line marked "# wrong" must be reported, and no other.
WRONG = '''\
import _core_fips
from _core_fips import Hasher, Token, VerifyingHasher

token = _core_fips.create_hash(b"data", None)
n: int = _core_fips.encrypt(b"key", b"text")  # wrong: returns bytes
_core_fips.encrypt("key", b"text")  # wrong: str for bytes
_core_fips.encrypt_mlkem(b"key", bytearray(b"text"))  # wrong: a bytearray for bytes
_core_fips.create_hash("text", None)  # wrong: str is not a buffer
_core_fips.create_hash(b"data")  # wrong: salt is required
_core_fips.compare_hash(b"sha", "salt", b"data")  # wrong: bytes for str
flag: str = _core_fips.compare_hash("sha", "salt", b"data")  # wrong: returns bool
Token.from_bytes(b"data", salt=5)  # wrong: an int salt
Token.compare_token("sha", "salt", "text")  # wrong: str data
token.sha = "0" * 96  # wrong: read-only
Hasher(salt=b"salt")  # wrong: bytes salt
Hasher().update("text")  # wrong: str chunk
size: int = Hasher().finalize()  # wrong: returns a Token
VerifyingHasher("sha")  # wrong: the salt is required
VerifyingHasher("sha", "salt").update(42)  # wrong: an int chunk
ok: str = _core_fips.fips_check()  # wrong: returns bool
_core_fips.fips_check(True)  # wrong: takes nothing
_core_fips.PanicException  # wrong: not an attribute of the module
'''
WRONG_LINES = [i for i, line in enumerate(WRONG.splitlines(), 1) if "# wrong" in line]


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    """A venv whose site-packages holds what the wheel installs, from the install rules."""
    if not (BUILD / "cmake_install.cmake").is_file():
        pytest.skip(f"_core_fips is not imported from a CMake build tree ({BUILD}): an installed wheel's lane")
    root = tmp_path_factory.mktemp("typecheck")
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(root / "venv")], check=True)
    python = root / "venv" / "bin" / "python"
    site = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
                          capture_output=True, text=True, check=True).stdout.strip()
    out = subprocess.run(["cmake", "--install", str(BUILD), "--prefix", site], capture_output=True, text=True)
    assert out.returncode == 0, out.stdout + out.stderr
    for name, text in (("correct.py", CORRECT), ("wrong.py", WRONG)):
        (root / name).write_text(text)
    return root, python, Path(site)


def mypy(root, python, program):
    # The project's 3.14 runs Debian's mypy (group pydeps); the venv's interpreter says where to look.
    run = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", str(root / "cache"),
                          "--python-executable", str(python), "--strict", str(root / program)],
                         capture_output=True, text=True, cwd=root, timeout=600)
    assert run.returncode in (0, 1), run.stdout + run.stderr
    return run.stdout


def reported(output, program):
    return sorted({int(m) for m in re.findall(rf"^{re.escape(program)}:(\d+): error:", output, re.M)})


@pytest.mark.skipif(sysconfig.get_config_var("Py_GIL_DISABLED"), reason="Debian's mypy is built for CPython 3.14")
def test_mypy_finds_the_stubs_and_flags_each_wrong_call(venv):
    root, python, site = venv
    assert (site / "_core_fips-stubs" / "__init__.pyi").read_bytes() == (site / "_core_fips.pyi").read_bytes()
    correct = mypy(root, python, "correct.py")
    assert "Success: no issues found" in correct, correct
    wrong = mypy(root, python, "wrong.py")
    assert reported(wrong, "wrong.py") == WRONG_LINES, wrong
    # Without the stub package (the wheel's layout before it) mypy sees no types at all.
    shutil.rmtree(site / "_core_fips-stubs")
    try:
        before = mypy(root, python, "wrong.py")
    finally:
        subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(site)], capture_output=True, check=True)
    assert 'Cannot find implementation or library stub for module named "_core_fips"' in before, before


def test_pyright_reads_the_same_stubs(venv):
    pyright = shutil.which("pyright")
    if pyright is None:
        pytest.skip("pyright (npm package) is not installed here")
    root, python, _ = venv
    found = {}
    for program in ("correct.py", "wrong.py"):
        run = subprocess.run([pyright, "--outputjson", "--pythonpath", str(python), str(root / program)],
                             capture_output=True, text=True, cwd=root, timeout=600)
        report = json.loads(run.stdout)
        found[program] = sorted({d["range"]["start"]["line"] + 1 for d in report["generalDiagnostics"]
                                 if d["severity"] == "error"})
    assert found == {"correct.py": [], "wrong.py": WRONG_LINES}, found
