"""What setup/build-awslc.sh lets reach AWS-LC's build: it always starts from `env -i`, so no size
or number of the caller's variables opens it; its Python runs isolated; it works in a HOME, a
TMPDIR and folders of its own, under umask 022; each build's logs go to a folder of its own. Shown
on the stand-in verified tree of test_awslc_source.py, whose CMakeLists.txt stops the build, with
an interpreter and a compiler that record the environment they were started in."""
import os
import shutil
import stat
import subprocess
import sys

import pytest

from test_awslc_source import FILES, STANDIN_CMAKE, TOP, planted_python_env, source, write_tree
from test_build_from_source import ROOT

PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
# What the review set beside a build: variables large enough that a pipe to `grep -q` fills, and
# two that pick gcc's programs and flags.
BIG = {f"CORE_FIPS_BIG_{i}": "x" * 120_000 for i in range(8)}
STEERING = {"COMPILER_PATH": "/evil", "CFLAGS": "-DEVIL"}


def recorder(path, real, log):
    """A stand-in for REAL that appends its environment and umask to LOG, then runs REAL."""
    path.write_text(f'#!/bin/sh\n{{ env; echo "umask=$(umask)"; echo ----; }} >>"{log}"\nexec "{real}" "$@"\n')
    path.chmod(0o755)
    return path


def records(log):
    """Each recorded start: {name: value}."""
    out = []
    for block in log.read_text().split("----\n"):
        if block.strip():
            out.append(dict(line.split("=", 1) for line in block.splitlines() if "=" in line))
    return out


def standin_build(tmp, env, *options, umask=0o022, work="work", final="final/prefix"):
    """build-awslc.sh on the stand-in verified tree, with a recording --python and --cc."""
    if not (tmp / "verified").exists():
        tree = write_tree(tmp / "verified" / TOP,
                          {**FILES, "include/openssl/base.h": f'#define AWSLC_VERSION_NUMBER_STRING "{source.VERSION}"\n'.encode()})
        (tree / "CMakeLists.txt").write_text(STANDIN_CMAKE)
        (tmp / "goroot/src/runtime").mkdir(parents=True)
        (tmp / "go").write_text(f'#!/bin/sh\n[ "$1 $2" != "env GOROOT" ] || echo {tmp}/goroot\n')
        (tmp / "go").chmod(0o755)
        (tmp / "names.txt").write_text("FIPS_mode\n")
        write_tree(tmp / "elftools-dir", {"elftools/__init__.py": b""})  # enough for the build's import check
        recorder(tmp / "python", PYTHON, tmp / "python-env.txt")
        recorder(tmp / "cc", shutil.which("gcc"), tmp / "cc-env.txt")
    return subprocess.run(["bash", "-p", str(ROOT / "setup/build-awslc.sh"), "--go", str(tmp / "go"),
                           "--prefix-symbols", str(tmp / "names.txt"), "--python", str(tmp / "python"),
                           "--cc", str(tmp / "cc"), "--pyelftools", str(tmp / "elftools-dir"), *options,
                           str(tmp / "verified"), str(tmp / work), str(tmp / final), "p", source.VERSION],
                          env=env, capture_output=True, text=True, timeout=300, preexec_fn=lambda: os.umask(umask))


@pytest.fixture(scope="module")
def hostile_run(tmp_path_factory):
    """One build started with large variables, gcc's steering, a TMPDIR, a user site's .pth and
    PYTHONPATH's hashlib.py of the caller's, under umask 000."""
    tmp = tmp_path_factory.mktemp("hostile")
    planted, marker = planted_python_env(tmp, PYTHON)
    (tmp / "callers-tmp").mkdir()
    env = {"PATH": os.environ["PATH"], **BIG, **STEERING, **planted, "TMPDIR": str(tmp / "callers-tmp")}
    out = standin_build(tmp, env, umask=0)
    assert "the stand-in stops here" in out.stderr, out.stderr[-3000:]
    return tmp, marker, records(tmp / "python-env.txt"), records(tmp / "cc-env.txt")


def test_large_variables_do_not_open_the_environment(hostile_run):
    """Eight 120 KB variables beside COMPILER_PATH and CFLAGS: neither reaches the build's
    interpreter or its compiler."""
    tmp, _, python, cc = hostile_run
    assert python and cc
    for env in python + cc:
        assert sorted(set(env) & {*BIG, *STEERING}) == []


def test_the_run_started_with_a_made_environment_still_refuses_a_variable(tmp_path):
    """The run env -i started is told so by its own process id; given that with a variable set
    (only on purpose), it refuses to build rather than keep it."""
    script = (f'exec env -i PATH="$PATH" PLANTED=1 bash -p {ROOT}/setup/build-awslc.sh --environment-made-by $$ '
              f'{tmp_path} {tmp_path}/work {tmp_path}/final p {source.VERSION}')
    out = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode != 0 and out.stderr == "build-awslc.sh: refused: PLANTED is set in the environment made for the build\n"
    assert not (tmp_path / "work").exists()


def test_the_build_has_a_tmpdir_and_home_of_its_own(hostile_run):
    tmp, _, python, cc = hostile_run
    for env in python + cc:
        assert (env.get("TMPDIR"), env.get("HOME")) == (f"{tmp}/work/tmp", f"{tmp}/work/home")
    assert stat.S_IMODE((tmp / "work/tmp").stat().st_mode) == 0o700 and not any((tmp / "callers-tmp").iterdir())


def test_the_builds_python_runs_isolated(hostile_run):
    tmp, marker, _, _ = hostile_run
    assert not marker.exists(), marker.read_text()


def test_the_integrity_value_step_runs_isolated(tmp_path):
    """setup/go-shim runs inject_hash.py for AWS-LC's Go tool: neither a hashlib.py on PYTHONPATH
    nor a user site's .pth runs there (it re-runs itself isolated when started otherwise, too)."""
    planted, marker = planted_python_env(tmp_path, PYTHON)
    shim = ["sh", str(ROOT / "setup/go-shim"), "run", "/x/util/fipstools/inject_hash/inject_hash.go"]
    # Started directly, a user site's .pth runs before any line of the script: only a caller's -I stops it.
    for command, env in ((shim, planted), ([PYTHON, str(ROOT / "setup/inject_hash.py")], {"PYTHONPATH": planted["PYTHONPATH"]})):
        subprocess.run([*command, "-verify", str(tmp_path / "nothing.so")], capture_output=True, timeout=60,
                       env={"PATH": os.environ["PATH"], "INJECT_PYTHON": PYTHON, **env})
        assert not marker.exists(), f"{command[1]}: {marker.read_text()}"


def test_files_are_made_under_umask_022(hostile_run):
    """Under the caller's umask 000, what the build makes is still its owner's alone."""
    tmp, _, python, cc = hostile_run
    assert {env.get("umask") for env in python + cc} == {"0022"}
    open_to_others = [f"{p.relative_to(tmp)} {stat.S_IMODE(p.lstat().st_mode):04o}"
                      for p in [tmp / "work", *(tmp / "work").rglob("*")] if not p.is_symlink() and p.lstat().st_mode & 0o022]
    assert open_to_others == []


def test_a_build_folder_others_can_write_to_is_refused(tmp_path):
    """The folders the build writes, and every folder above them, are its user's or root's and no
    group or other user may write to them (a sticky one above aside): one line names the first
    that is not."""
    env = {"PATH": os.environ["PATH"]}
    (tmp_path / "shared").mkdir(mode=0o775)
    os.chmod(tmp_path / "shared", 0o2775)
    out = standin_build(tmp_path, env, work="shared/work")
    assert out.returncode != 0 and "the stand-in stops here" not in out.stderr
    assert f"build-awslc.sh: ERROR: {tmp_path}/shared: writable by its group (mode 2775)" in out.stderr.splitlines()[-1]
    if os.getuid() == 0:
        os.chmod(tmp_path / "shared", 0o755)
        os.chown(tmp_path / "shared", 65534, 65534)
        out = standin_build(tmp_path, env, final="shared/final/prefix")
        assert f"ERROR: {tmp_path}/shared: owned by uid 65534, not by you (uid 0) or root" in out.stderr.splitlines()[-1]


def test_concurrent_builds_keep_their_logs_apart(tmp_path):
    """Two builds at once, whose finished prefixes go to one folder (the cache), each keep their own
    logs (setup/lib-awslc.sh passes DEST.logs), also when they fail."""
    env = {"PATH": os.environ["PATH"]}
    standin_build(tmp_path, env, "--logs", str(tmp_path / "warm"), work="warm-work")  # makes the stand-in once
    runs = []
    for name in ("a", "b"):
        runs.append(subprocess.Popen(
            ["bash", "-p", str(ROOT / "setup/build-awslc.sh"), "--go", str(tmp_path / "go"), "--prefix-symbols",
             str(tmp_path / "names.txt"), "--python", str(tmp_path / "python"), "--pyelftools", str(tmp_path / "elftools-dir"),
             "--logs", str(tmp_path / f"cache/{name}.logs"), str(tmp_path / "verified"), str(tmp_path / f"cache/{name}.tmp.work"),
             str(tmp_path / f"cache/{name}"), "p", source.VERSION], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    for run in runs:
        assert run.wait(timeout=300) != 0  # the stand-in stops the build
    for name in ("a", "b"):
        log = (tmp_path / f"cache/{name}.logs/cmake.log").read_text()
        assert f"cache/{name}.tmp.work/build" in log and "the stand-in stops here" in log
