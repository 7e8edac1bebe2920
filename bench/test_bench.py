"""Checks of the bench's own arithmetic and children, so a wrong figure cannot pass for a measured
one. Run with the module importable:

    tools/python -m pytest bench/test_bench.py
"""

import hashlib
import json
import mmap
import os
import subprocess
import sys

import pytest

import _core_fips

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import runner  # noqa: E402
from runner import Compare, Difference, Figure  # noqa: E402
from rss import PeakMeter  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
MIB = 1 << 20


def has_pyca() -> bool:
    try:
        return subprocess.run([runner.PYCA_PYTHON, "-c", "import cryptography"],
                              capture_output=True).returncode == 0
    except OSError:
        return False


needs_pyca = pytest.mark.skipif(not has_pyca(), reason="/usr/bin/python3 lacks pyca/cryptography")


@pytest.fixture(scope="module")
def rsa_key(tmp_path_factory):
    folder = tmp_path_factory.mktemp("key")
    private, public = str(folder / "k.pem"), str(folder / "k.pub.pem")
    subprocess.run(["openssl", "genrsa", "-out", private, "2048"], check=True, capture_output=True)
    subprocess.run(["openssl", "rsa", "-in", private, "-RSAPublicKey_out", "-out", public],
                   check=True, capture_output=True)
    return private, public


# ------------------------------------------------------------------ arithmetic


def test_meets_minimum_maximum_and_strict():
    assert runner.meets(1.8, Compare("a", minimum=1.8))
    assert not runner.meets(1.8, Compare("a", minimum=1.8, strict=True))
    assert not runner.meets(1.79, Compare("a", minimum=1.8))
    assert runner.meets(2.1, Compare("a", maximum=2.1))
    assert not runner.meets(2.11, Compare("a", maximum=2.1))
    assert runner.meets(1 / 0.9, Compare("a", minimum=1 / 0.9))


def test_speed_ratio_uses_bytes_per_time():
    # 2 threads move twice the bytes in 1.25x the time of 1 thread: 1.6x the throughput
    one = Figure("one", "1 thread", [100.0, 120.0], 64)
    two = Figure("two", "2 threads", [125.0, 130.0], 128)
    assert runner.ratio_of(two, one, lambda f: f.best) == pytest.approx(1.6)
    # per-call figures: half the time is twice the speed
    fast, slow = Figure("f", "f", [10.0]), Figure("s", "s", [20.0])
    assert runner.ratio_of(fast, slow, lambda f: f.best) == pytest.approx(2.0)


def test_rss_ratio_is_size_over_size_and_refuses_mixing():
    growth = Figure("g", "growth", [300.0, 256.0], None, [], "rss")
    plain = Figure("p", "plaintext", [256.0], None, [], "rss")
    assert runner.ratio_of(growth, plain, lambda f: f.best) == pytest.approx(1.0)
    assert runner.ratio_of(growth, plain, lambda f: f.median) == pytest.approx(278 / 256)
    with pytest.raises(ValueError):
        runner.ratio_of(growth, Figure("t", "time", [1.0], None, [], "cpu"), lambda f: f.best)
    with pytest.raises(ValueError):
        runner.ratio_of(Figure("a", "a", [1.0], 10), Figure("b", "b", [1.0]), lambda f: f.best)


def test_difference_subtracts_bests_and_medians():
    start = Figure("s", "pass", [30.0, 10.0, 20.0], None, [], "wall")
    imp = Figure("i", "import", [45.0, 25.0, 24.0], None, [], "wall")
    d = Difference("d", "import minus pass", imp, start)
    assert d.best == pytest.approx(24.0 - 10.0)
    assert d.median == pytest.approx(25.0 - 20.0)
    assert d.spread is None
    assert d.clock == "wall"


def test_show_picks_units():
    assert Figure("a", "a", [512.0]).show(512.0).strip() == "512.0 ns"
    assert Figure("a", "a", [21e3]).show(21e3).strip() == "21.0 µs"
    assert Figure("a", "a", [12.5e6]).show(12.5e6).strip() == "12.5 ms"
    assert Figure("a", "a", [1e6], 1_000_000).show(1e6).strip() == "1000.0 MB/s"
    assert Figure("a", "a", [MIB * 3.0], None, [], "rss").show(MIB * 3.0).strip() == "3.0 MiB"


def test_measure_drops_the_warm_up_and_rotates():
    calls = []

    def contender(name, value):
        def sample():
            calls.append(name)
            return value

        return sample

    s = runner.measure({"a": contender("a", 1.0), "b": contender("b", 2.0)}, rounds=3)
    assert s == {"a": [1.0] * 3, "b": [2.0] * 3}
    assert calls == ["a", "b", "b", "a", "a", "b", "b", "a"]


def test_rows_give_verdicts_and_json_survives_differences():
    ours = Figure("x.ours", "ours", [10.0, 10.5], None, [Compare("x.them", minimum=1.5)], "cpu")
    them = Figure("x.them", "them", [20.0, 21.0], None, [], "cpu")
    slow = Figure("x.slow", "slow", [30.0, 30.0], None, [Compare("x.them", minimum=1.0)])
    close = Figure("x.close", "close", [13.0, 15.0], None, [Compare("x.them", minimum=1.5)])
    noisy = Figure("x.noisy", "noisy", [10.0, 14.0], None, [Compare("x.them", minimum=1.0)])
    busy = Figure("x.busy", "busy", [40.0], None, [Compare("x.them", 1.0, remark="queued 50%")])
    diff = Difference("x.diff", "ours minus them", ours, them)
    rows = runner.table_rows([("x", [ours, them, slow, close, noisy, busy, diff]),
                             ("y", "skipped")])
    by_key = {r["key"]: r for r in rows}
    assert by_key["x.ours"]["verdict"] == "met" and by_key["x.ours"]["met"] is True
    assert by_key["x.slow"]["verdict"].startswith("MISSED")
    # best 20/13 = 1.54 meets, median 20.5/14 = 1.46 does not
    assert by_key["x.close"]["verdict"] == "met (borderline: the median says otherwise)"
    assert by_key["x.noisy"]["verdict"] == "met (noisy)"
    assert by_key["x.busy"]["verdict"] == "MISSED; queued 50%"
    assert by_key["x.them"]["anchor"] is None
    assert {r["section"] for r in rows} == {"x"}
    text = json.dumps({"sections": [runner.as_json("x", [ours, diff], ["a note"])], "rows": rows})
    assert json.loads(text)["sections"][0]["figures"][1]["best"] == -10.0


# ------------------------------------------------------------------ children


def touched_map(size: int) -> mmap.mmap:
    """Fresh anonymous pages, all made resident: unlike a freed bytes object (which an allocator
    such as 3.13t's mimalloc may keep and hand out again), they come and go with map and unmap."""
    m = mmap.mmap(-1, size)
    for i in range(0, size, mmap.PAGESIZE):
        m[i] = 0x5A
    return m


def test_peak_meter_sees_growth_after_the_baseline_only():
    touched_map(48 * MIB).close()  # an earlier, higher peak, which the baseline must not carry
    meter = PeakMeter()
    kept = touched_map(32 * MIB)
    report = meter.report()
    kept.close()
    assert 31 * MIB <= report["growth_bytes"] <= 40 * MIB
    assert report["peak_bytes"] == report["baseline_bytes"] + report["growth_bytes"]


def run_child(*args: str) -> dict:
    done = subprocess.run([sys.executable, os.path.join(HERE, "child.py"), *args],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def test_child_peak_of_encrypt_and_create_hash(rsa_key):
    _, public = rsa_key
    enc = run_child("peak", "encrypt", public, str(16 * MIB))
    assert enc["result_bytes"] == 16 * MIB + 2 + 256 + 12 + 16
    assert 15 * MIB <= enc["growth_bytes"] <= 24 * MIB
    digest = run_child("peak", "create_hash", str(16 * MIB))
    assert digest["growth_bytes"] < 4 * MIB


def test_child_threads_reports_every_case():
    r = run_child("threads", str(MIB), "2")
    assert set(r["samples"]) == {"create_hash 1", "create_hash 2", "hashlib 1", "hashlib 2"}
    assert all(len(s) == 2 and min(s) > 0 for s in r["samples"].values())
    for spent in r["thread_time"].values():
        for wall, run, wait in spent:
            assert wall > 0 and run >= 0 and wait >= 0
    if not r["free_threaded"]:
        assert r["gil_enabled"] is True


@needs_pyca
def test_pyca_anchor_builds_and_opens_the_same_envelope(rsa_key, tmp_path):
    private, public = rsa_key
    content = os.urandom(MIB)
    (tmp_path / "content").write_bytes(content)
    child = runner.JsonChild([runner.PYCA_PYTHON, os.path.join(HERE, "pyca_envelope.py"), "serve",
                             public, private, str(tmp_path / "content")], "pyca")
    try:
        assert child.info["ready"] and child.info["bytes"] == MIB
        theirs = tmp_path / "theirs"
        assert child.ask(f"write 5 {theirs}")["length"] == 2 + 256 + 12 + 5 + 16
        assert theirs.read_bytes()[:2] == b"\x01\x00"
        want = hashlib.sha256(content[:5]).hexdigest()
        assert child.ask(f"open {theirs}")["sha256"] == want
        ours = tmp_path / "ours"
        envelope = _core_fips.encrypt(open(public, "rb").read(), content[:5])
        ours.write_bytes(envelope)
        assert child.ask(f"open {ours}")["sha256"] == want
        tampered = bytearray(envelope)
        tampered[-1] ^= 1
        ours.write_bytes(bytes(tampered))
        assert "InvalidTag" in child.ask(f"open {ours}")["error"]
        timed = child.ask("seal 5 3")
        assert timed["calls"] == 3 and timed["cpu_ns"] > 0 and timed["wall_ns"] > 0
    finally:
        child.close()
