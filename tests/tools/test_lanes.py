"""The table of lanes (tools/lanes.toml) and its runner (tools/lanes.py): the table keeps today's
gate (its lanes, order, side-by-side lanes, quick set) and names commands that exist; selecting a
lane pulls in exactly what it needs; a run against a stand-in table of trivial commands reports
each lane's result, the failing lane's log and rerun command, skips with their reasons, and hands
the setup's environment, the pytest args and the AWS-LC source to the lanes that take them."""
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

from project import ROOT, load

lanes = load("core_fips_lanes", "tools/lanes.py")
TABLE = lanes.load(ROOT / "tools/lanes.toml")
NAMES = [lane.name for lane in TABLE.lanes]


def test_the_table_keeps_the_gate():
    by_name = TABLE.by_name()
    # Today's order of the lanes in line, and the two that run beside: sdist from TSan on, stock
    # from the AWS-LC-FIPS lane on.
    in_line = [n for n in NAMES if not by_name[n].beside]
    assert in_line == ["boundary", "boundary-plant", "format", "shellcheck", "check-setup", "units", "pytest-3.14",
                       "pytest-3.13t", "abi3", "fuzz", "sanitize", "soak", "valgrind", "arm64", "tsan", "wheel",
                       "validated-module", "repro", "pyenv"]
    assert NAMES.index("sdist") == NAMES.index("arm64") + 1 == NAMES.index("tsan") - 1
    assert NAMES.index("stock") == NAMES.index("wheel") + 1 == NAMES.index("validated-module") - 1
    assert [n for n in NAMES if by_name[n].beside] == ["sdist", "stock"]
    assert [n for n in NAMES if by_name[n].quick] == ["boundary", "units", "pytest-3.14", "pytest-3.13t"]
    assert {n for n in NAMES if by_name[n].pytest_args} == {"pytest-3.14", "pytest-3.13t"}
    assert {n for n in NAMES if by_name[n].awslc_source} == {"sdist", "validated-module", "repro"}
    # The setup of the gate is today's: the free-threaded interpreter and the linters.
    assert sorted({c for lane in TABLE.lanes for c in lane.setup or []}) == ["ft", "lint"]
    assert by_name["boundary"].setup is None and by_name["boundary-plant"].setup is None


def test_every_command_exists():
    lane_script = (ROOT / "tools/lane").read_text()
    for lane in TABLE.lanes:
        tool = ROOT / lane.command[0]
        assert tool.is_file() and os.access(tool, os.X_OK), f"{lane.name}: no executable {lane.command[0]}"
        if lane.command[0] == "tools/lane":
            assert re.search(rf"^  {re.escape(lane.command[1])}\)$", lane_script, re.M), f"{lane.name}: tools/lane lacks it"
    assert os.access(ROOT / TABLE.setup_command[0], os.X_OK)


def write(tmp_path, text, name="lanes.toml"):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text))
    return path


ROW = """
[[lane]]
name = "{name}"
proves = "{name} works"
interpreter = "none"
tests = "nothing"
awslc = "none"
needs = {needs}
root = false
beside = {beside}
quick = false
command = ["true"]
"""


@pytest.mark.parametrize("rows, error", [
    ([("a", '["b"]', "false"), ("b", "[]", "false")], "needs 'b', which is no lane above it"),  # a cycle needs one
    ([("a", '["a"]', "false")], "needs 'a', which is no lane above it"),
    ([("a", "[]", "false"), ("a", "[]", "false")], "a second lane of that name"),
    ([("a", "[]", "true"), ("b", '["a"]', "false")], "needs 'a', which runs beside"),
])
def test_the_table_is_refused(tmp_path, rows, error):
    text = '[setup]\ncommand = ["true"]\n' + "".join(ROW.format(name=n, needs=d, beside=b) for n, d, b in rows)
    with pytest.raises(lanes.TableError, match=re.escape(error)):
        lanes.load(write(tmp_path, text))
    without_field = '[setup]\ncommand = ["true"]\n' + ROW.format(name="a", needs="[]", beside="false").replace('tests = "nothing"\n', "")
    with pytest.raises(lanes.TableError, match=r"missing \['tests'\]"):
        lanes.load(write(tmp_path, without_field))


def test_a_lane_pulls_in_exactly_its_needs():
    assert [lane.name for lane in lanes.select(TABLE, ["repro"])] == ["wheel", "validated-module", "repro"]
    assert [lane.name for lane in lanes.select(TABLE, ["pyenv", "stock"])] == ["wheel", "stock", "pyenv"]
    assert [lane.name for lane in lanes.select(TABLE, ["tsan"])] == ["tsan"]
    with pytest.raises(lanes.TableError, match="no lane wheell"):
        lanes.select(TABLE, ["wheell"])


def test_list_names_every_lane_and_its_last_time(tmp_path):
    (tmp_path / "lane-times.json").write_text(json.dumps({"wheel": 612}))
    out = subprocess.run([sys.executable, ROOT / "tools/lanes.py", "--table", ROOT / "tools/lanes.toml", "--root", ROOT,
                          "--logs", tmp_path, "--list"], capture_output=True, text=True, check=True).stdout
    rows = {line.split()[0]: line for line in out.splitlines()[1:]}
    assert list(rows) == NAMES
    assert "612 s" in rows["wheel"] and "wheel,validated-module" in rows["repro"]
    assert " yes " in rows["stock"] and "(beside)" in rows["stock"]
    # tools/test itself hands --list to the runner (other arguments would start real lanes).
    listed = subprocess.run([ROOT / "tools/test", "--list"], capture_output=True, text=True, timeout=60)
    assert listed.returncode == 0 and all(re.search(rf"^{re.escape(n)} ", listed.stdout, re.M) for n in NAMES)


STAND_IN = """
[setup]
command = ["sh", "-c", 'echo "$*" >>"$0/setup-calls"; echo "export FROM_SETUP=set-up" >"$0/env.sh"; echo "$0/env.sh"', "{tmp}"]

[[lane]]
name = "early"
proves = "runs before the setup"
interpreter = "none"
tests = "nothing"
awslc = "none"
needs = []
root = false
beside = false
quick = true
command = ["sh", "-c", 'echo "early sees [$FROM_SETUP]"']

[[lane]]
name = "aside"
proves = "runs beside"
interpreter = "none"
tests = "nothing"
awslc = "fips-source"
needs = []
root = false
beside = true
quick = false
setup = ["ft"]
awslc_source = true
command = ["sh", "-c", 'sleep {aside_sleep}; touch "{tmp}/aside-finished"; echo "aside source [$CORE_FIPS_AWSLC_SOURCE]"; exit {aside_exit}']

[[lane]]
name = "base"
proves = "is needed"
interpreter = "none"
tests = "nothing"
awslc = "none"
needs = []
root = false
beside = false
quick = false
setup = ["lint"]
command = ["sh", "-c", 'echo "base sees [$FROM_SETUP] source [${{CORE_FIPS_AWSLC_SOURCE-unset}}]"']

[[lane]]
name = "suite"
proves = "takes the pytest args"
interpreter = "none"
tests = "nothing"
awslc = "none"
needs = ["base"]
root = false
beside = false
quick = true
setup = ["ft"]
pytest_args = true
command = ["sh", "-c", 'for i in $(seq 1 60); do echo "line $i"; done; echo "suite args [$*]"; {suite_end}', "-"]

[[lane]]
name = "partial"
proves = "skips a part"
interpreter = "none"
tests = "nothing"
awslc = "none"
needs = []
root = false
beside = false
quick = false
command = ["sh", "-c", 'echo "no frobnicator here" >>"$CORE_FIPS_SKIPPED"']

[[lane]]
name = "last"
proves = "comes last"
interpreter = "none"
tests = "nothing"
awslc = "none"
needs = []
root = false
beside = false
quick = false
command = ["echo", "last ran"]
"""


def stand_in(tmp_path, *args, suite_end="true", aside_exit=0, aside_sleep=0):
    table = write(tmp_path, STAND_IN.format(tmp=tmp_path, suite_end=suite_end, aside_exit=aside_exit,
                                            aside_sleep=aside_sleep))
    env = {k: v for k, v in os.environ.items() if k not in ("FROM_SETUP", "CORE_FIPS_AWSLC_SOURCE")}
    done = subprocess.run([sys.executable, ROOT / "tools/lanes.py", "--table", table, "--root", tmp_path,
                           "--logs", tmp_path / "build", "--fips-source", "the-zip", *args],
                          capture_output=True, text=True, env=env, timeout=60)
    summary = done.stdout[done.stdout.index("== summary"):]
    results = dict(re.findall(r"^   (\S+) +(passed|failed|skipped|not run) ", summary, re.M))
    return done, results


def test_a_whole_run(tmp_path):
    done, results = stand_in(tmp_path, "--all", "--", "-k", "digest", aside_sleep=1)
    out = done.stdout
    assert done.returncode == 0, out + done.stderr
    assert results == {n: "passed" for n in ["early", "aside", "base", "suite", "last"]} | {"partial": "skipped"}
    # In table order, the setup once (the union of the components) after the lane that needs none,
    # its exports reaching the lanes after it; the lane beside shown when joined, after the last.
    assert (tmp_path / "setup-calls").read_text() == "ft lint\n"
    assert "early sees []" in out and "base sees [set-up]" in out
    assert out.index("early sees") < out.index("== setup") < out.index("base sees") < out.index("last ran") \
        < out.index("aside source")
    # The AWS-LC source only where the table says; the pytest args only to the lane that takes them.
    assert "aside source [the-zip]" in out and "source [unset]" in out
    assert "suite args [-k digest]" in out and "last ran\n" in out
    assert re.search(r"^   +skipped: no frobnicator here$", out, re.M)
    assert re.search(r"^== all tests passed in \d+ s\n   skipped: no frobnicator here\n\Z", out, re.M)
    times = json.loads((tmp_path / "build/lane-times.json").read_text())
    assert set(times) == set(results)


def test_a_failing_lane(tmp_path):
    done, results = stand_in(tmp_path, "--all", suite_end="echo the-cause; exit 3", aside_sleep=30)
    out = done.stdout
    assert done.returncode == 1
    assert results == {"early": "passed", "aside": "not run", "base": "passed", "suite": "failed",
                       "partial": "not run", "last": "not run"}
    assert "last ran" not in out and "aside source" not in out
    assert not (tmp_path / "aside-finished").exists()  # stopped with the run, not waited for
    tail = out[out.index("== the last 40 lines of"):out.index("== summary")]
    assert "line 23" in tail and "line 22\n" not in tail and "the-cause" in tail
    assert "== suite failed; rerun it alone: tools/test suite" in out
    assert "lane suite failed" in done.stderr and "tools/test suite" in done.stderr
    assert "suite" not in json.loads((tmp_path / "build/lane-times.json").read_text())


def test_a_failing_lane_beside(tmp_path):
    done, results = stand_in(tmp_path, "--all", aside_exit=4)
    assert done.returncode == 1 and results["aside"] == "failed" and results["last"] == "passed"
    assert "rerun it alone: tools/test aside" in done.stdout


def test_lanes_by_name_and_quick(tmp_path):
    done, results = stand_in(tmp_path, "suite", "--", "-x")
    assert done.returncode == 0, done.stdout + done.stderr
    assert results == {"base": "passed", "suite": "passed"}
    assert "suite args [-x]" in done.stdout and "early sees" not in done.stdout
    assert re.search(r"^== lanes suite passed in \d+ s$", done.stdout, re.M)
    done, results = stand_in(tmp_path, "--quick")
    assert results == {"early": "passed", "base": "passed", "suite": "passed"}
    assert re.search(r"^== quick tests passed in \d+ s \(tools/test runs everything\)$", done.stdout, re.M)
