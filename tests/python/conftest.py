import ctypes
import importlib.util
import os
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
MODULE_DIR = Path(__import__("_core_fips").__file__).parent
# The stable-ABI build (one _core_fips.abi3.so for CPython 3.11 and later) or the full-API one.
STABLE_ABI = Path(__import__("_core_fips").__file__).name.endswith(".abi3.so")
EXT_SUFFIX = ".abi3.so" if STABLE_ABI else sysconfig.get_config_var("EXT_SUFFIX")
# The debug interpreter (python3.14d) names extensions differently and fills new objects with a
# pattern, which makes some timing and packaging checks meaningless there.
DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
release_only = pytest.mark.skipif(DEBUG_BUILD, reason="checks the release interpreter's build")
FAULTS_DIR = Path(os.environ.get("CORE_FIPS_FAULTS_DIR", MODULE_DIR.parent / "python-faults"))
# setup/pins: the versions, prefixes and library names of the two AWS-LC builds.
_spec = importlib.util.spec_from_file_location("core_fips_pins", ROOT / "setup" / "pins.py")
_pins_module = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_pins_module)
PINS = _pins_module.load()
# AWS-LC's library beside the extension, under its SONAME: Debian's AWS-LC or AWS-LC-FIPS (the
# validated module's source); its symbols carry the prefix of the one or the other.
AWSLC_PREFIXES = (PINS["DEBIAN_AWSLC_PREFIX"], PINS["FIPS_PREFIX"])
DEBIAN_AWSLC = f"AWS-LC FIPS {PINS['DEBIAN_AWSLC_VERSION']}"
FIPS_AWSLC = f"AWS-LC FIPS {PINS['FIPS_VERSION']}"
# The library the run must have loaded (tools/validated-module names AWS-LC-FIPS in its lane).
EXPECTED_AWSLC = os.environ.get("CORE_FIPS_EXPECT_AWSLC", DEBIAN_AWSLC)


def awslc_library(folder):
    found = sorted((Path(folder) / "core_fips.libs").glob("libcrypto*.so*"))
    assert len(found) == 1, f"not one AWS-LC library in {folder}/core_fips.libs: {found}"
    return found[0]


def awslc_version_text(library):
    """The library's own version text, asked through whichever prefix it exports."""
    lib = ctypes.CDLL(str(library))
    version = next(f for f in (getattr(lib, p + "_awslc_version_string", None) for p in AWSLC_PREFIXES) if f)
    version.restype = ctypes.c_char_p
    return version().decode()


RECIPIENT = ROOT / "examples" / "recipient.py"
PEER = "/usr/bin/python3"  # Debian's Python with pyca/cryptography: the independent recipient


# The ML-KEM recipients: pyca/cryptography 49 under CPython 3.14 and OpenSSL 3.6's command, as the
# setup pins them (CORE_FIPS_PEERS, setup/lib-peers.sh); elsewhere (a stock root) the system's,
# when they know ML-KEM. Under the setup's environment (CORE_FIPS_PYTHON, from the same env file)
# the pinned ones are required: the host's own (Debian 12) lack ML-KEM and would skip them all.
PEERS = os.environ.get("CORE_FIPS_PEERS")
UNDER_SETUP = bool(os.environ.get("CORE_FIPS_PYTHON"))


def _first_that_answers(commands, probe, answer):
    for command in commands:
        try:
            out = subprocess.run([command, *probe], capture_output=True, text=True, timeout=60)
        except OSError:
            continue
        if out.returncode == 0 and answer in out.stdout:
            return command
    return None


@pytest.fixture(scope="session")
def mlkem_recipients():
    """(python, openssl): commands of recipients we did not write that open ML-KEM envelopes."""
    if UNDER_SETUP and not PEERS:
        pytest.fail("CORE_FIPS_PEERS is not set beside CORE_FIPS_PYTHON: the env file predates "
                    "the ML-KEM recipients; rerun setup/deps.sh (the tools do) and use its env file")
    python = _first_that_answers(
        ([f"{PEERS}/bin/python3"] if PEERS else []) + [PEER],
        ["-c", "from cryptography.hazmat.primitives.asymmetric import mlkem; print('mlkem')"],
        "mlkem")
    openssl = _first_that_answers(([f"{PEERS}/bin/openssl"] if PEERS else []) + ["openssl"],
                                  ["list", "-kem-algorithms"], "ML-KEM-1024")
    if PEERS and not (python and openssl):
        pytest.fail(f"the setup's ML-KEM recipients in {PEERS} do not run")
    if not (python and openssl):
        pytest.skip("no ML-KEM recipient here (pyca/cryptography 49 and OpenSSL 3.5 or later)")
    return python, openssl


def run_python(code, *, path=MODULE_DIR, env=None, timeout=120):
    """Runs `code` in a fresh interpreter that imports _core_fips from `path`."""
    child_env = dict(os.environ)
    child_env["PYTHONPATH"] = str(path)
    child_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env,
                          capture_output=True, text=True, timeout=timeout)


def open_with_peer(private, envelope):
    """Opens `envelope` with the recipient example under pyca/cryptography, not this module."""
    return subprocess.run([PEER, str(RECIPIENT), str(private)], input=envelope,
                          capture_output=True, timeout=60)


def longest_stall_during(work, tick=None):
    """Runs `work` on another thread while this one keeps looping (calling `tick` each round);
    returns (work's result, the longest this thread went without running, the elapsed time). A
    call that kept the interpreter lock for its whole run would stall this thread for nearly all of
    it; a stall of half the run is more than scheduling noise on a busy two-core machine
    explains."""
    done = threading.Event()
    result = []

    def run():
        try:
            result.append(work())
        finally:
            done.set()

    worker = threading.Thread(target=run)
    started = last = time.perf_counter()
    longest = 0.0
    worker.start()
    while not done.is_set():
        if tick:
            tick()
        now = time.perf_counter()
        longest = max(longest, now - last)
        last = now
    elapsed = time.perf_counter() - started
    worker.join()
    assert result, "the work raised"
    return result[0], longest, elapsed


def stall_through(work, share=0.5, tick=None, attempts=3):
    """Runs longest_stall_during up to `attempts` times; returns (work's result, None) at the first
    run in which this thread stood still for less than `share` of it, else (the result, (longest
    stall, elapsed) of the last run). A short run on a busy machine can be stalled once by the
    scheduler alone; a call that keeps the lock stalls every run."""
    for _ in range(attempts):
        value, stall, elapsed = longest_stall_during(work, tick)
        if stall < elapsed * share:
            return value, None
    return value, (round(stall, 3), round(elapsed, 3))


def run_threads(target, n):
    """Starts `target(i)` on n threads and waits for all of them."""
    threads = [threading.Thread(target=target, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


@pytest.fixture(scope="session")
def core():
    import _core_fips
    return _core_fips


@pytest.fixture(scope="session")
def faults_dir():
    if not list((FAULTS_DIR / "core_fips.libs").glob("libcrypto*.so*")):
        pytest.fail(f"the fault-injection build is missing from {FAULTS_DIR}")
    return FAULTS_DIR


@pytest.fixture(scope="session")
def keys(tmp_path_factory):
    """RSA keys made by the openssl CLI: bits -> (private key path, PKCS #1 public PEM)."""
    d = tmp_path_factory.mktemp("keys")
    out = {}
    for bits in (1024, 2048, 3072, 4096):
        private = d / f"{bits}.pem"
        subprocess.run(["openssl", "genrsa", "-out", str(private), str(bits)], check=True,
                       capture_output=True)
        public = subprocess.run(["openssl", "rsa", "-in", str(private), "-RSAPublicKey_out"],
                                check=True, capture_output=True).stdout
        out[bits] = (private, public)
    return out
