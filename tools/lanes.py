"""The gate's runner: reads the table of lanes (tools/lanes.toml) and runs lanes from it.

    lanes.py --table FILE --root DIR --logs DIR [--fips-source SRC] --list
    lanes.py ... --all [-- pytest args]          every lane, in table order
    lanes.py ... --quick [-- pytest args]        the lanes marked quick, and what they need
    lanes.py ... LANE... [-- pytest args]        those lanes and what they need, in table order

tools/test calls it; the table is an argument so that the tests can hand it a stand-in. Lanes run
in table order and the first failure ends the run (lanes running beside are stopped with it); a
lane marked `beside` starts in its place and runs in its own process group, its output kept in a
log and shown when it is joined after the last lane in line. The run ends with one table: each
lane's result, its seconds, and the reason of each skip (a lane's tool writes its skipped parts
to the file CORE_FIPS_SKIPPED names). Each lane's log, and its seconds for --list (lane-times.json),
are kept in the folder --logs names: not in a build tree, which a reconfigure empties. Standard
library only: it runs before the setup, under Debian 12's python3.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import threading
import time
import tomllib
from dataclasses import dataclass, field
from pathlib import Path

# Lines of a failing lane's log shown before the summary (its whole output went by above).
TAIL_LINES = 40
REQUIRED = ("name", "proves", "interpreter", "tests", "awslc", "needs", "root", "beside", "quick", "command")


class TableError(Exception):
    pass


@dataclass
class Lane:
    name: str
    proves: str
    interpreter: str
    tests: str
    awslc: str
    needs: list[str]
    root: bool
    beside: bool
    quick: bool
    command: list[str]
    setup: list[str] | None = None
    pytest_args: bool = False
    awslc_source: bool = False


@dataclass
class Table:
    setup_command: list[str]
    lanes: list[Lane]

    def by_name(self) -> dict[str, Lane]:
        return {lane.name: lane for lane in self.lanes}


def load(path: Path) -> Table:
    """The table at PATH, checked: every field there, names unique, needs known and earlier."""
    try:
        data = tomllib.loads(path.read_text())
    except (OSError, tomllib.TOMLDecodeError) as e:
        raise TableError(f"{path}: {e}") from None
    rows = data.get("lane")
    if not isinstance(rows, list) or not rows:
        raise TableError(f"{path}: no [[lane]] rows")
    known = set(Lane.__dataclass_fields__)
    lanes: list[Lane] = []
    seen: set[str] = set()
    for i, row in enumerate(rows):
        where = f"{path}: lane {row.get('name', f'#{i + 1}')}"
        missing = [k for k in REQUIRED if k not in row]
        unknown = sorted(set(row) - known)
        if missing or unknown:
            raise TableError(f"{where}: missing {missing}, unknown {unknown}")
        if not (isinstance(row["command"], list) and row["command"] and all(isinstance(c, str) for c in row["command"])):
            raise TableError(f"{where}: command must be a non-empty list of strings")
        lane = Lane(**row)
        if lane.name in seen:
            raise TableError(f"{where}: a second lane of that name")
        # A lane's needs come before it, so that table order is a run order and no cycle can form;
        # a lane beside is joined only at the end, so nothing can wait for it.
        for need in lane.needs:
            if need not in seen:
                raise TableError(f"{where}: needs {need!r}, which is no lane above it")
            if next(l for l in lanes if l.name == need).beside:
                raise TableError(f"{where}: needs {need!r}, which runs beside")
        seen.add(lane.name)
        lanes.append(lane)
    setup_command = data.get("setup", {}).get("command")
    if not (isinstance(setup_command, list) and setup_command):
        raise TableError(f"{path}: no [setup] command")
    return Table(setup_command, lanes)


def select(table: Table, names: list[str]) -> list[Lane]:
    """The named lanes and everything they need, transitively, in table order."""
    lanes = table.by_name()
    unknown = [n for n in names if n not in lanes]
    if unknown:
        raise TableError(f"no lane {', '.join(unknown)} (tools/test --list names every lane)")
    wanted: set[str] = set()
    todo = list(names)
    while todo:
        name = todo.pop()
        if name not in wanted:
            wanted.add(name)
            todo.extend(lanes[name].needs)
    return [lane for lane in table.lanes if lane.name in wanted]


def read_times(logs: Path) -> dict[str, float]:
    try:
        times = json.loads((logs / "lane-times.json").read_text())
    except (OSError, ValueError):
        return {}
    return times if isinstance(times, dict) else {}


def write_times(logs: Path, lane: str, seconds: float) -> None:
    times = read_times(logs)
    times[lane] = round(seconds)
    logs.mkdir(parents=True, exist_ok=True)
    tmp = logs / "lane-times.json.tmp"
    tmp.write_text(json.dumps(times, indent=1, sort_keys=True) + "\n")
    tmp.replace(logs / "lane-times.json")


def list_lanes(table: Table, logs: Path) -> str:
    times = read_times(logs)
    rows = [("LANE", "NEEDS", "ROOT", "QUICK", "LAST", "PROVES")]
    for lane in table.lanes:
        last = times.get(lane.name)
        rows.append((
            lane.name,
            ",".join(lane.needs) or "-",
            "yes" if lane.root else "no",
            "yes" if lane.quick else "no",
            f"{last} s" if last is not None else "-",
            lane.proves + (" (beside)" if lane.beside else ""),
        ))
    widths = [max(len(r[i]) for r in rows) for i in range(5)]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(r[:5], widths)) + "  " + r[5] for r in rows)


@dataclass
class Outcome:
    result: str = "not run"  # passed, failed, skipped, not run
    seconds: float | None = None
    reasons: list[str] = field(default_factory=list)
    log: Path | None = None


class Runner:
    def __init__(self, table: Table, root: Path, logs: Path, fips_source: str, pytest_args: list[str]):
        self.table, self.root, self.logs = table, root, logs
        self.fips_source, self.pytest_args = fips_source, pytest_args
        self.outcomes: dict[str, Outcome] = {}
        self.beside: list[tuple[Lane, subprocess.Popen, float]] = []
        self.ended: dict[str, float] = {}  # when each lane beside ended, for its seconds
        self.set_up = False
        self.failed: tuple[str, str] = ("", "")

    def command(self, lane: Lane) -> list[str]:
        return lane.command + (self.pytest_args if lane.pytest_args else [])

    def env(self, lane: Lane) -> dict[str, str]:
        env = dict(os.environ)
        if lane.awslc_source:
            env["CORE_FIPS_AWSLC_SOURCE"] = self.fips_source
        env["CORE_FIPS_SKIPPED"] = str(self.skip_file(lane))
        return env

    def skip_file(self, lane: Lane) -> Path:
        return self.logs / f"{lane.name}.skipped"

    def setup(self, components: list[str]) -> bool:
        """The setup for the whole run, once: the env file it names is exported to every lane after."""
        command = self.table.setup_command + components
        print(f"== setup: {' '.join(command)}", flush=True)
        done = subprocess.run(command, cwd=self.root, stdout=subprocess.PIPE, text=True)
        if done.returncode != 0:
            return False
        env_file = done.stdout.strip().splitlines()[-1] if done.stdout.strip() else ""
        # What sourcing the file with `set -a` exports, as tools/common.sh's setup_deps does: the
        # environment before and after, split by an empty entry (env -0 never prints one).
        script = 'env -0; printf "\\0"; set -a; . "$1" || exit 1; set +a; env -0'
        out = subprocess.run(["bash", "-c", script, "-", env_file], stdout=subprocess.PIPE) if env_file else None
        if out is None or out.returncode != 0:
            sys.stdout.flush()
            print(f"tools/test: ERROR: cannot source {env_file or 'the env file'} that the setup named", file=sys.stderr)
            return False
        before_raw, after_raw = out.stdout.split(b"\0\0", 1)

        def parse(raw: bytes) -> dict[str, str]:
            return dict(p.split("=", 1) for p in os.fsdecode(raw).split("\0") if "=" in p)

        before, after = parse(before_raw), parse(after_raw)
        for key, value in after.items():
            if before.get(key) != value:
                os.environ[key] = value
        for key in before.keys() - after.keys():
            os.environ.pop(key, None)
        return True

    def start(self, lane: Lane, env: dict[str, str]) -> subprocess.Popen:
        log = self.logs / f"{lane.name}.log"
        self.outcomes[lane.name].log = log
        out = open(log, "w")
        try:
            return subprocess.Popen(self.command(lane), cwd=self.root, env=env, stdout=out, stderr=subprocess.STDOUT,
                                    start_new_session=True)
        finally:
            out.close()

    def run_in_line(self, lane: Lane, env: dict[str, str]) -> int:
        """The lane's output to the terminal as it comes, and to its log."""
        log = self.logs / f"{lane.name}.log"
        self.outcomes[lane.name].log = log
        with open(log, "wb") as out, subprocess.Popen(self.command(lane), cwd=self.root, env=env,
                                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT) as p:
            assert p.stdout is not None
            try:
                for line in p.stdout:
                    sys.stdout.buffer.write(line)
                    sys.stdout.flush()
                    out.write(line)
            except BaseException:  # a terminated run ends the lane in line too
                p.terminate()
                raise
            return p.wait()

    def note_end(self, name: str, proc: subprocess.Popen) -> None:
        proc.wait()
        self.ended[name] = time.monotonic()

    def finish(self, lane: Lane, status: int, t0: float) -> bool:
        outcome = self.outcomes[lane.name]
        outcome.seconds = self.ended.get(lane.name, time.monotonic()) - t0
        skip = self.skip_file(lane)
        outcome.reasons = skip.read_text().splitlines() if skip.exists() else []
        if status == 0:
            outcome.result = "skipped" if outcome.reasons else "passed"
            write_times(self.logs, lane.name, outcome.seconds)
            return True
        outcome.result = "failed"
        return False

    def run(self, lanes: list[Lane]) -> bool:
        self.logs.mkdir(parents=True, exist_ok=True)
        for lane in lanes:
            self.outcomes[lane.name] = Outcome()
            self.skip_file(lane).unlink(missing_ok=True)
        components = sorted({c for lane in lanes for c in (lane.setup or [])})
        try:
            for lane in lanes:
                if lane.setup is not None and not self.set_up:
                    self.set_up = True
                    if not self.setup(components):
                        self.outcomes["setup"] = Outcome("failed", reasons=[])
                        self.failed = ("setup", " ".join(self.table.setup_command + components))
                        return False
                env = self.env(lane)
                if lane.beside:
                    print(f"== {lane.name}: {lane.proves} (beside the lanes after it; shown when joined)", flush=True)
                    proc = self.start(lane, env)
                    self.beside.append((lane, proc, time.monotonic()))
                    threading.Thread(target=self.note_end, args=(lane.name, proc), daemon=True).start()
                    self.outcomes[lane.name].result = "running"
                    continue
                print(f"== {lane.name}: {lane.proves}", flush=True)
                t0 = time.monotonic()
                if not self.finish(lane, self.run_in_line(lane, env), t0):
                    self.failed = (lane.name, f"tools/test {lane.name}")
                    return False
            for lane, proc, t0 in self.beside:
                print(f"== {lane.name} (joined): {lane.proves}", flush=True)
                status = proc.wait()
                log = self.outcomes[lane.name].log
                assert log is not None
                sys.stdout.write(log.read_text(errors="replace"))
                sys.stdout.flush()
                if not self.finish(lane, status, t0):
                    self.failed = (lane.name, f"tools/test {lane.name}")
                    return False
            self.beside = []
            return True
        finally:
            self.stop_beside()

    def stop_beside(self) -> None:
        for lane, proc, _ in self.beside:
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                proc.wait()
            if self.outcomes[lane.name].result == "running":
                self.outcomes[lane.name].result = "not run"
                self.outcomes[lane.name].reasons = ["stopped when the run ended"]
        self.beside = []

    def summary(self, lanes: list[Lane]) -> str:
        names = [lane.name for lane in lanes]
        if "setup" in self.outcomes:
            names.insert(0, "setup")
        width = max(len(n) for n in names)
        lines = ["== summary", f"   {'LANE'.ljust(width)}  RESULT   SECONDS"]
        for name in names:
            o = self.outcomes[name]
            seconds = f"{o.seconds:.0f}" if o.seconds is not None else "-"
            lines.append(f"   {name.ljust(width)}  {o.result.ljust(7)}  {seconds.rjust(7)}")
            lines.extend(f"   {' ' * width}  skipped: {r}" for r in o.reasons)
        return "\n".join(lines)

    def failure(self) -> str:
        name, rerun = self.failed
        o = self.outcomes[name]
        lines = []
        if o.log is not None and o.log.exists():
            tail = o.log.read_text(errors="replace").splitlines()[-TAIL_LINES:]
            lines.append(f"== the last {len(tail)} lines of {o.log}")
            lines.extend(tail)
        lines.append(f"== {name} failed; rerun it alone: {rerun}")
        return "\n".join(lines)


def main(argv: list[str]) -> int:
    args, pytest_args = argv, []
    if "--" in argv:
        i = argv.index("--")
        args, pytest_args = argv[:i], argv[i + 1:]
    parser = argparse.ArgumentParser(prog="tools/lanes.py")
    parser.add_argument("--table", type=Path, required=True)
    parser.add_argument("--root", type=Path, required=True)
    parser.add_argument("--logs", type=Path, required=True)
    parser.add_argument("--fips-source", default="")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--list", action="store_true")
    mode.add_argument("--all", action="store_true")
    mode.add_argument("--quick", action="store_true")
    parser.add_argument("lanes", nargs="*")
    opts = parser.parse_args(args)
    if not (opts.list or opts.all or opts.quick or opts.lanes):
        parser.error("give --list, --all, --quick or lane names")
    try:
        table = load(opts.table)
        if opts.list:
            try:
                print(list_lanes(table, opts.logs))
            except BrokenPipeError:  # tools/test --list | head
                pass
            return 0
        if opts.all:
            lanes = table.lanes
        elif opts.quick:
            lanes = select(table, [lane.name for lane in table.lanes if lane.quick])
        else:
            lanes = select(table, opts.lanes)
    except TableError as e:
        print(f"tools/test: ERROR: {e}", file=sys.stderr)
        return 1

    # A terminated run stops the lanes beside it too (the finally of Runner.run).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    runner = Runner(table, opts.root, opts.logs, opts.fips_source, pytest_args)
    t0 = time.monotonic()
    try:
        ok = runner.run(lanes)
    except KeyboardInterrupt:
        print("\n" + runner.summary(lanes))
        return 130
    if not ok:
        print(runner.failure())
    print(runner.summary(lanes))
    seconds = round(time.monotonic() - t0)
    sys.stdout.flush()  # the table before the error line, where both go to one log
    if not ok:
        name, rerun = runner.failed
        print(f"tools/test: ERROR: lane {name} failed — its output is above; rerun it alone: {rerun}", file=sys.stderr)
        return 1
    if opts.all:
        print(f"== all tests passed in {seconds} s")
        for lane in lanes:
            for reason in runner.outcomes[lane.name].reasons:
                print(f"   skipped: {reason}")
    elif opts.quick:
        print(f"== quick tests passed in {seconds} s (tools/test runs everything)")
    else:
        print(f"== lanes {' '.join(opts.lanes)} passed in {seconds} s")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
