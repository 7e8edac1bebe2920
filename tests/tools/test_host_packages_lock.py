"""setup/lib-host-packages.sh when another apt holds the package system's locks: it waits, says
once for whom, and goes on when they are free; past the wait, one line names the lock and holder.

apt runs for real (its own lock wait, its resolver, its download), in a private state: APT_CONFIG
points it at a folder of its own (status, lists, cache, a local archive with one small package),
so the locks held here are that folder's, not the system's, and apt's dpkg is a stand-in that
records what it was asked to install. The package's name is one the system does not have, so the
set-up finds it missing."""
import fcntl
import hashlib
import os
import queue
import subprocess
import threading
import time
from contextlib import contextmanager
from pathlib import Path

import pytest
from project import ROOT

PACKAGE = "core-fips-lock-probe"

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="the set-up installs host packages as root only")


@pytest.fixture
def apt(tmp_path):
    """An APT_CONFIG for apt-get in tmp_path, with PACKAGE in a local archive."""
    for d in ("state/lists/partial", "cache/archives/partial", "etc/apt.conf.d", "etc/preferences.d",
              "etc/sources.list.d", "log", "archive/pkg/DEBIAN"):
        (tmp_path / d).mkdir(parents=True)
    (tmp_path / "state/status").write_text("")
    control = (f"Package: {PACKAGE}\nVersion: 1.0\nArchitecture: all\n"
               "Maintainer: core-fips tests <tests@example.invalid>\nDescription: stands in for a host package\n")
    (tmp_path / "archive/pkg/DEBIAN/control").write_text(control)
    deb = tmp_path / f"archive/{PACKAGE}_1.0_all.deb"
    subprocess.run(["dpkg-deb", "--build", str(tmp_path / "archive/pkg"), str(deb)], check=True,
                   capture_output=True)
    data = deb.read_bytes()
    (tmp_path / "archive/Packages").write_text(
        control.replace("Description:", f"Filename: ./{deb.name}\nSize: {len(data)}\n"
                        f"SHA256: {hashlib.sha256(data).hexdigest()}\nDescription:"))
    (tmp_path / "etc/sources.list").write_text(f"deb [trusted=yes] file:{tmp_path}/archive ./\n")
    dpkg = tmp_path / "dpkg"
    dpkg.write_text(f"#!/bin/sh\necho \"$*\" >>{tmp_path}/dpkg-calls\n")
    dpkg.chmod(0o755)
    config = tmp_path / "apt.conf"
    config.write_text("".join(f'{key} "{value}";\n' for key, value in {
        "Dir::State": tmp_path / "state", "Dir::State::status": tmp_path / "state/status",
        "Dir::Cache": tmp_path / "cache", "Dir::Etc": tmp_path / "etc",
        "Dir::Etc::sourcelist": tmp_path / "etc/sources.list",
        "Dir::Etc::sourceparts": tmp_path / "etc/sources.list.d",
        "Dir::Etc::parts": tmp_path / "etc/apt.conf.d",
        "Dir::Etc::preferencesparts": tmp_path / "etc/preferences.d",
        "Dir::Log": tmp_path / "log", "Dir::Bin::dpkg": dpkg, "APT::Sandbox::User": "root"}.items()))
    return tmp_path, config


@contextmanager
def held(*locks):
    """Write locks on the files, taken as apt takes them (fcntl), by this process."""
    fds = []
    try:
        for lock in locks:
            fd = os.open(lock, os.O_RDWR | os.O_CREAT, 0o640)
            fds.append(fd)
            fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        yield fds
    finally:
        for fd in fds:
            os.close(fd)


def dpkg_calls(folder):
    """What apt asked of its stand-in dpkg so far (it asks for the foreign architectures first)."""
    calls = folder / "dpkg-calls"
    return calls.read_text() if calls.exists() else ""


def set_up(folder, config, wait):
    """ensure_host_packages for PACKAGE under `config`, waiting `wait` s for a lock; its lines
    arrive on the process's `lines` queue (None at the end)."""
    script = (f'. "{ROOT}/setup/lib.sh"; fail_loudly; CACHE="{folder}"; APT_LOCK_WAIT_SECONDS={wait}; '
              f"APT_UPDATE_RETRY_SECONDS=1; ensure_host_packages host-apt.log {PACKAGE}")
    process = subprocess.Popen(["bash", "-c", script], env={**os.environ, "APT_CONFIG": str(config)},
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    process.lines = queue.Queue()

    def pump():
        for line in process.stdout:
            process.lines.put(line.rstrip("\n"))
        process.lines.put(None)
    threading.Thread(target=pump, daemon=True).start()
    return process


def lines_until(process, word, timeout=60):
    """The set-up's next lines up to the first holding `word` (all of them if it ends first)."""
    seen, end = [], time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            line = process.lines.get(timeout=0.5)
        except queue.Empty:
            continue
        if line is None:
            break
        seen.append(line)
        if word in line:
            break
    return seen


def test_the_set_up_waits_for_each_lock_says_for_whom_and_goes_on(apt):
    folder, config = apt
    state = folder / "state"
    me = f"held by pid {os.getpid()} ("
    with held(state / "lists/lock") as lists, held(state / "lock-frontend", state / "lock"):
        process = set_up(folder, config, 120)
        try:
            said = lines_until(process, "waits up to")
            assert said[-1].endswith(f"apt-get update waits up to 120 s for {state}/lists/lock, {me}"
                                     f"{Path(f'/proc/{os.getpid()}/comm').read_text().strip()})"), said
            time.sleep(2)
            assert process.poll() is None, "the set-up gave up instead of waiting"
            os.close(lists.pop())  # the update goes on; the install then meets the dpkg locks
            said = lines_until(process, "waits up to")
            assert said[-1].split("] ", 1)[1].startswith(
                f"apt-get install waits up to 120 s for {state}/lock-frontend, {me}"), said
            time.sleep(3)
            assert process.poll() is None and "--unpack" not in dpkg_calls(folder)
        except BaseException:
            process.kill()
            raise
    rest = lines_until(process, "never said", timeout=120)
    assert process.wait(timeout=10) == 0, rest
    assert not [line for line in rest if "waits" in line], rest  # said once per step
    assert f"--unpack --auto-deconfigure {folder}/archive/./{PACKAGE}_1.0_all.deb" in dpkg_calls(folder)


def test_past_the_wait_one_line_names_the_lock_and_its_holder(apt):
    folder, config = apt
    state = folder / "state"
    with held(state / "lock-frontend", state / "lock"):
        process = set_up(folder, config, 2)
        out = lines_until(process, "ERROR", timeout=120)
        assert process.wait(timeout=10) == 1, out
    error = out[-1]
    assert error.startswith("bash: ERROR: apt-get install waited 2 s (APT_LOCK_WAIT_SECONDS) for the lock "
                            f"{state}/lock-frontend, held by pid {os.getpid()} ("), out
    assert "--unpack" not in dpkg_calls(folder)
