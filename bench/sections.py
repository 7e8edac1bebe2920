"""The cases of the performance table, in its order: digests, streaming, encrypt against
pyca/cryptography, the stable-ABI build, AWS-LC-FIPS 3.1.0, peak memory, threads on 3.14 and on
the free-threaded 3.13t, and the import cost with the FIPS self-test.

Each is a function registered with @section. It checks that its contenders compute the same
result, measures them, and returns Figures; a Figure may be compared with other figures (its
anchors), optionally against a target ratio.
"""
from __future__ import annotations

import ctypes
import glob
import hashlib
import importlib.util
import os
import resource
import subprocess
import sys
import time
from typing import Callable

import _core_fips
from runner import (BIG, HERE, MIB, Bench, Compare, Difference, Figure, Skip, agree, loadavg,
                    measure, pyca_available, run_json, section)

KIB = 1 << 10
HUGE = 256 * MIB  # the peak-memory plaintext
FT_PYTHON = os.path.join(os.path.dirname(HERE), "tools", "python3.13t")
# The stable-ABI build of the module (_core_fips.abi3.so), which tools/bench builds beside the
# full-API one and names here.
STABLE_ABI_DIR = os.environ.get("CORE_FIPS_STABLE_ABI_DIR", "")
# The module built against AWS-LC-FIPS 3.1.0 (tools/validated-module's build tree), when there.
AWSLC_310_DIR = os.environ.get("CORE_FIPS_AWSLC_310_DIR", "")


@section("digest 64 MiB")
def digest_throughput(b: Bench) -> list[Figure]:
    content, salt, salt_bytes = b.content, b.salt, b.salt_bytes

    def with_hashlib() -> str:
        h = hashlib.sha384()
        h.update(content)
        h.update(salt_bytes)
        return h.hexdigest()

    expected = with_hashlib()
    raw = b.raw.ask("whole")["sha"]
    agree("64 MiB digest", {"create_hash": _core_fips.create_hash(content, salt).sha,
                            "hashlib": expected, "raw loop": raw})
    s = measure(
        {
            "create_hash": b.once(lambda: _core_fips.create_hash(content, salt)),
            "hashlib": b.once(with_hashlib),
            "raw": b.raw_sampler("whole", expected),
        },
        b.rounds,
    )
    return [
        Figure("d64m.create_hash", "create_hash(64 MiB, salt)", s["create_hash"], BIG,
               [Compare("d64m.raw", 0.97), Compare("d64m.hashlib")]),
        Figure("d64m.raw", "raw AWS-LC EVP loop (C++)", s["raw"], BIG),
        Figure("d64m.hashlib", "hashlib.sha384 update+salt+hexdigest", s["hashlib"], BIG),
    ]


@section("digest 64 B")
def digest_per_call(b: Bench) -> list[Figure]:
    data, salt, salt_bytes = b.content[:64], b.salt, b.salt_bytes
    names = {"create_hash": _core_fips.create_hash, "sha384": hashlib.sha384, "data": data,
             "salt": salt, "salt_bytes": salt_bytes}
    expected = hashlib.sha384(data + salt_bytes).hexdigest()
    agree("64 B digest", {"create_hash": _core_fips.create_hash(data, salt).sha,
                          "hashlib": expected, "raw loop": b.raw.ask("prefix 64 1")["sha"]})
    s = measure(
        {
            "create_hash": b.per_call("create_hash(data, salt)", names),
            "create_hash.sha": b.per_call("create_hash(data, salt).sha", names),
            "hashlib": b.per_call("sha384(data + salt_bytes).hexdigest()", names),
            "raw": b.raw_sampler("prefix 64 200000", expected),
        },
        b.rounds,
    )
    return [
        Figure("d64b.create_hash", "create_hash(data, salt)", s["create_hash"], None,
               [Compare("d64b.hashlib", 1.0)]),
        Figure("d64b.create_hash.sha", "create_hash(data, salt).sha", s["create_hash.sha"], None,
               [Compare("d64b.hashlib")]),
        Figure("d64b.hashlib", "hashlib.sha384(data + salt).hexdigest()", s["hashlib"]),
        Figure("d64b.raw", "raw AWS-LC EVP init/update/update/final", s["raw"]),
    ]


@section("streaming 64 MiB")
def streaming(b: Bench) -> list[Figure]:
    Hasher = getattr(_core_fips, "Hasher", None)
    if Hasher is None:
        raise Skip("_core_fips.Hasher is not in this build yet")
    content, salt, salt_bytes = b.content, b.salt, b.salt_bytes
    view = memoryview(content)
    # Slices made up front, so the timed loops pay for the updates and not for the slicing.
    chunks = {size: [view[i:i + size] for i in range(0, BIG, size)]
              for size in (4 * KIB, 64 * KIB, MIB)}

    def with_hasher(parts) -> Callable[[], str]:
        def run() -> str:
            h = Hasher(salt)
            for part in parts:
                h.update(part)
            return h.finalize().sha

        return run

    def with_hashlib(parts) -> Callable[[], str]:
        def run() -> str:
            h = hashlib.sha384()
            for part in parts:
                h.update(part)
            h.update(salt_bytes)
            return h.hexdigest()

        return run

    one_shot = _core_fips.create_hash(content, salt).sha
    results = {"create_hash": one_shot}
    contenders = {"create_hash": b.once(lambda: _core_fips.create_hash(content, salt))}
    for size, parts in chunks.items():
        results[f"Hasher {size}"] = with_hasher(parts)()
        results[f"hashlib {size}"] = with_hashlib(parts)()
        contenders[f"Hasher {size}"] = b.once(with_hasher(parts))
        contenders[f"hashlib {size}"] = b.once(with_hashlib(parts))
    agree("chunked digest", results)
    s = measure(contenders, b.rounds)

    def name(size: int) -> str:
        return f"{size // MIB} MiB" if size >= MIB else f"{size // KIB} KiB"

    targets = {4 * KIB: (0.85, [Compare(f"s.hashlib {4 * KIB}", 1.0, strict=True)]),
               64 * KIB: (0.95, [Compare(f"s.hashlib {64 * KIB}")]),
               MIB: (None, [Compare(f"s.hashlib {MIB}")])}
    figures = [Figure("s.create_hash", "create_hash one-shot", s["create_hash"], BIG)]
    for size, (minimum, more) in targets.items():
        figures.append(Figure(f"s.Hasher {size}", f"Hasher, {name(size)} chunks",
                              s[f"Hasher {size}"], BIG, [Compare("s.create_hash", minimum)] + more))
    for size in targets:
        figures.append(Figure(f"s.hashlib {size}", f"hashlib update loop, {name(size)} chunks",
                              s[f"hashlib {size}"], BIG))
    return figures


def check_envelopes(b: Bench, size: int) -> None:
    """Both contenders build the same layout, and pyca opens either envelope to the plaintext."""
    _, _, pem = b.rsa_key
    data = b.content[:size]
    ours = _core_fips.encrypt(pem, data)
    ours_path = os.path.join(b.workdir, f"encrypt-{size}.bin")
    theirs_path = os.path.join(b.workdir, f"pyca-{size}.bin")
    with open(ours_path, "wb") as f:
        f.write(ours)
    b.pyca.ask(f"write {size} {theirs_path}")
    with open(theirs_path, "rb") as f:
        theirs = f.read()

    def opened(path: str) -> str:
        answer = b.pyca.ask(f"open {path}")
        return answer.get("sha256") or answer["error"]

    agree(f"{size} B envelope, opened by pyca", {"plaintext": hashlib.sha256(data).hexdigest(),
                                                 "encrypt": opened(ours_path),
                                                 "pyca": opened(theirs_path)})
    agree(f"{size} B envelope layout", {"encrypt": f"{len(ours)} bytes, k field {ours[:2].hex()}",
                                        "pyca": f"{len(theirs)} bytes, k field {theirs[:2].hex()}"})


def encrypt_case(b: Bench, size: int, prefix: str, target: Compare) -> list[Figure]:
    _, _, pem = b.rsa_key
    check_envelopes(b, size)
    names = {"encrypt": _core_fips.encrypt, "pem": pem, "data": b.content[:size]}
    s = measure(
        {
            "encrypt": b.per_call("encrypt(pem, data)", names, trial=20),
            "pyca": b.child_per_call(b.pyca, f"seal {size}"),
            "pyca key": b.child_per_call(b.pyca, f"sealkey {size}"),
        },
        b.rounds,
    )
    info = b.pyca.info
    b.note(f"2048-bit key from openssl genrsa; pyca/cryptography {info['cryptography']} over "
           f"{info['openssl']} on Python {info['python']} ({info['executable']}), its own process, "
           f"timed there on the same clock; both envelopes opened by pyca to the plaintext")
    if b.clock == "cpu":
        b.note("encrypt drops the GIL but runs on the calling thread, whose CPU clock therefore "
               "counts all its work")
    nbytes = size if size >= KIB else None
    what = f"{size // MIB} MiB" if size >= MIB else f"{size} B"
    return [
        Figure(f"{prefix}.encrypt", f"encrypt(pem, {what})", s["encrypt"], nbytes,
               [target, Compare(f"{prefix}.pyca key")], b.clock),
        Figure(f"{prefix}.pyca", f"pyca: load PEM, OAEP, AESGCM, join ({what})", s["pyca"], nbytes,
               clock=b.clock),
        Figure(f"{prefix}.pyca key", f"pyca with the key loaded once ({what})", s["pyca key"],
               nbytes, clock=b.clock),
    ]


@section("encrypt 5 B")
def encrypt_small(b: Bench) -> list[Figure]:
    figures = encrypt_case(b, 5, "e5", Compare("e5.pyca", minimum=1 / 0.9))
    b.note("target: at most 0.9x pyca's time per call, i.e. a speed ratio of at least 1/0.9")
    return figures


@section("encrypt 1 MiB")
def encrypt_large(b: Bench) -> list[Figure]:
    return encrypt_case(b, MIB, "e1m", Compare("e1m.pyca", minimum=3.0))


# encrypt_mlkem against encrypt (RSA-2048/3072/4096), the same envelope made with pyca/cryptography
# 49's ML-KEM and AES-GCM, and AES-256-GCM alone (the raw loop's seal), at each size.
MLKEM_TARGETS = {5: (1.0, None), MIB: (5.0, 0.9), BIG: (None, 0.9)}


@section("encrypt_mlkem")
def encrypt_mlkem(b: Bench) -> list[Figure]:
    _, _, pem = b.mlkem_key
    rsa = {bits: b.rsa_pem(bits) for bits in (2048, 3072, 4096)}
    figures = []
    for size, (over_pyca, over_aes) in MLKEM_TARGETS.items():
        data = b.content[:size]
        ours = _core_fips.encrypt_mlkem(pem, data)
        path = os.path.join(b.workdir, f"mlkem-{size}.bin")
        with open(path, "wb") as f:
            f.write(ours)
        theirs = os.path.join(b.workdir, f"pyca-mlkem-{size}.bin")
        b.pyca_mlkem.ask(f"write {size} {theirs}")
        agree(f"{size} B ML-KEM envelope, opened by pyca",
              {"plaintext": hashlib.sha256(data).hexdigest(),
               "encrypt_mlkem": b.pyca_mlkem.ask(f"open {path}").get("sha256", "refused"),
               "pyca": b.pyca_mlkem.ask(f"open {theirs}").get("sha256", "refused")})
        agree(f"{size} B ML-KEM envelope length", {"encrypt_mlkem": str(len(ours)),
                                                   "pyca": str(os.path.getsize(theirs))})
        small = size < KIB
        names = {"m": _core_fips, "pem": pem, "data": data} | {f"rsa{k}": v for k, v in rsa.items()}

        def call(stmt: str):
            return b.per_call(stmt, names, trial=20 if small else 1, seconds=0.05 if small else 0)

        contenders = {"mlkem": call("m.encrypt_mlkem(pem, data)"),
                      "pyca": b.child_per_call(b.pyca_mlkem, f"seal {size}", trial=20 if small else 1,
                                               seconds=0.05 if small else 0)}
        contenders |= {f"rsa{bits}": call(f"m.encrypt(rsa{bits}, data)") for bits in rsa}
        if not small:
            def raw_seal(size: int = size) -> float:
                answer = b.raw.ask(f"seal {size} 1")
                return answer[f"{b.clock}_ns"] / answer["calls"]

            contenders["aes"] = raw_seal
        s = measure(contenders, b.rounds)
        what = f"{size // MIB} MiB" if size >= MIB else f"{size} B"
        nbytes = None if small else size
        compare = [Compare(f"k{size}.pyca", over_pyca), Compare(f"k{size}.rsa2048")]
        if over_aes:
            compare.append(Compare(f"k{size}.aes", over_aes, remark=(
                "the fixed cost of a call (the 5 B figure: key intake and ML-KEM encapsulation) "
                "is still a part of it" if size == MIB else "")))
        figures.append(Figure(f"k{size}.mlkem", f"encrypt_mlkem(ML-KEM-1024, {what})", s["mlkem"],
                              nbytes, compare))
        figures.append(Figure(f"k{size}.pyca", f"pyca 49: load PEM, ML-KEM, AESGCM ({what})",
                              s["pyca"], nbytes))
        for bits in rsa:
            figures.append(Figure(f"k{size}.rsa{bits}", f"encrypt(RSA-{bits}, {what})",
                                  s[f"rsa{bits}"], nbytes,
                                  [] if bits == 2048 else [Compare(f"k{size}.rsa2048")]))
        if not small:
            figures.append(Figure(f"k{size}.aes", f"AES-256-GCM seal alone, new buffer ({what})",
                                  s["aes"], nbytes))
    info = b.pyca_mlkem.info
    b.note(f"ML-KEM-1024 key made by pyca/cryptography {info['cryptography']} over "
           f"{info['openssl']} on Python {info['python']}, which seals the same envelope in its "
           f"own process (timed there on the same clock) and opens both to the plaintext; RSA keys "
           f"from openssl genrsa; the raw loop seals with AWS-LC's own nonce, no Python between")
    b.note("targets: 5 B no slower than pyca; 1 MiB at least 5x pyca; from 1 MiB up at least "
           "0.9x the AES-256-GCM seal alone")
    return figures


def load_stable_abi():
    """The stable-ABI module, loaded beside the full-API one: the same init function, found by the
    last part of its name, in a module of another name."""
    path = os.path.join(STABLE_ABI_DIR, "_core_fips.abi3.so")
    if not STABLE_ABI_DIR or not os.path.exists(path):
        raise Skip("no stable-ABI build named by CORE_FIPS_STABLE_ABI_DIR (tools/bench builds it)")
    spec = importlib.util.spec_from_file_location("stable_abi._core_fips", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@section("stable ABI")
def stable_abi(b: Bench) -> list[Figure]:
    abi3 = load_stable_abi()
    _, _, pem = b.rsa_key
    data, salt = b.content[:64], b.salt
    builds = {"cp314": _core_fips, "abi3": abi3}
    agree("64 B digest of both builds", {name: m.create_hash(data, salt).sha
                                          for name, m in builds.items()})

    def shape(m) -> str:
        envelope = m.encrypt(pem, data[:5])
        return f"{len(envelope)} bytes, k field {envelope[:2].hex()}"

    agree("5 B envelope of both builds", {name: shape(m) for name, m in builds.items()})
    contenders = {}
    for name, m in builds.items():
        names = {"m": m, "data": data, "salt": salt, "pem": pem, "five": data[:5]}
        contenders[f"{name} create_hash"] = b.per_call("m.create_hash(data, salt)", names)
        contenders[f"{name} Hasher"] = b.per_call("m.Hasher().update(data)", names)
        contenders[f"{name} encrypt"] = b.per_call("m.encrypt(pem, five)", names, trial=20)
    s = measure(contenders, b.rounds)
    b.note(f"both builds in this process, interleaved round by round; abi3 = {abi3.__file__}")
    b.note("target: the stable ABI costs at most 5% on a small call (a speed ratio of 0.95)")
    cases = {"create_hash": "create_hash(64 B, salt)", "Hasher": "Hasher() + update(64 B)",
             "encrypt": "encrypt(pem, 5 B)"}
    figures = []
    for case, label in cases.items():
        figures += [
            Figure(f"abi.cp314 {case}", f"cp314 {label}", s[f"cp314 {case}"]),
            Figure(f"abi.abi3 {case}", f"abi3 {label}", s[f"abi3 {case}"], None,
                   [Compare(f"abi.cp314 {case}", 0.95)]),
        ]
    return figures


def load_beside(folder: str, name: str):
    """The module built in FOLDER, loaded beside the one imported: the same init function, in a
    module of another name. Each build's AWS-LC has its own symbol prefix and SONAME, so two
    libraries can share the process."""
    found = [f for f in os.listdir(folder) if f.startswith("_core_fips.") and f.endswith(".so")] \
        if folder and os.path.isdir(folder) else []
    if len(found) != 1:
        raise Skip(f"no build of the module in {folder or '(unset)'}")
    spec = importlib.util.spec_from_file_location(f"{name}._core_fips", os.path.join(folder, found[0]))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@section("AWS-LC 3.1.0")
def awslc_310(b: Bench) -> list[Figure]:
    """Debian's AWS-LC 5.1.0 against AWS-LC-FIPS 3.1.0 (the validated module's source), both
    builds of the module in this process, interleaved; the import with the power-on self-test in
    fresh processes."""
    other = load_beside(AWSLC_310_DIR, "awslc_310")
    builds = {"5.1.0": _core_fips, "3.1.0": other}
    _, _, pem = b.rsa_key
    content, salt = b.content, b.salt
    agree("64 MiB digest of both builds", {n: m.create_hash(content, salt).sha for n, m in builds.items()})
    plain = {"5 B": content[:5], "1 MiB": content[:MIB]}
    try:
        mlkem_pem = b.mlkem_key[2]
    except Skip as why:
        mlkem_pem = None
        b.note(f"encrypt_mlkem left out: {why}")
    contenders = {}
    for name, m in builds.items():
        names = {"m": m, "data": content[:64], "salt": salt, "pem": pem, "mlkem": mlkem_pem, **{
            f"p{i}": p for i, p in enumerate(plain.values())}}
        if mlkem_pem:
            contenders[f"{name} encrypt_mlkem 5 B"] = b.per_call("m.encrypt_mlkem(mlkem, p0)", names,
                                                                 trial=20)
            contenders[f"{name} encrypt_mlkem 1 MiB"] = b.per_call("m.encrypt_mlkem(mlkem, p1)",
                                                                   names, trial=5)
        contenders[f"{name} create_hash 64 B"] = b.per_call("m.create_hash(data, salt)", names)
        contenders[f"{name} create_hash 64 MiB"] = b.once(lambda m=m: m.create_hash(content, salt))
        contenders[f"{name} encrypt 5 B"] = b.per_call("m.encrypt(pem, p0)", names, trial=20)
        contenders[f"{name} encrypt 1 MiB"] = b.per_call("m.encrypt(pem, p1)", names, trial=5)
    s = measure(contenders, b.rounds)
    starts = {name: [sys.executable, "-c", "import _core_fips; _core_fips.fips_check()"] for name in builds}
    env = {name: {**os.environ, "PYTHONPATH": os.path.dirname(m.__file__)} for name, m in builds.items()}

    def start(name: str) -> Callable[[], float]:
        def sample() -> float:
            t = time.perf_counter_ns()
            subprocess.run(starts[name], env=env[name], check=True)
            return time.perf_counter_ns() - t
        return sample

    w = measure({name: start(name) for name in builds}, max(6 * b.rounds, 41))
    b.note(f"3.1.0 = {other.__file__}; both in this process, interleaved; the start-ups in fresh "
           "interpreters (wall time: the power-on self-tests run when the library loads)")
    sizes = {"create_hash 64 B": None, "create_hash 64 MiB": BIG, "encrypt 5 B": None,
             "encrypt 1 MiB": MIB}
    if mlkem_pem:
        sizes |= {"encrypt_mlkem 5 B": None, "encrypt_mlkem 1 MiB": MIB}
    figures = []
    for case, nbytes in sizes.items():
        figures += [Figure(f"lc.5.1.0 {case}", f"5.1.0 {case}", s[f"5.1.0 {case}"], nbytes),
                    Figure(f"lc.3.1.0 {case}", f"3.1.0 {case}", s[f"3.1.0 {case}"], nbytes,
                           [Compare(f"lc.5.1.0 {case}")])]
    figures += [Figure("lc.5.1.0 start", "5.1.0 python -c 'import; fips_check()'", w["5.1.0"], None, [], "wall"),
                Figure("lc.3.1.0 start", "3.1.0 python -c 'import; fips_check()'", w["3.1.0"], None,
                       [Compare("lc.5.1.0 start")], "wall")]
    return figures


@section("peak memory 256 MiB")
def peak_memory(b: Bench) -> list[Figure]:
    _, public, _ = b.rsa_key
    child = os.path.join(HERE, "child.py")
    cases = {"encrypt": [sys.executable, child, "peak", "encrypt", public, str(HUGE)],
             "create_hash": [sys.executable, child, "peak", "create_hash", str(HUGE)]}
    if pyca_available(b):
        cases["pyca"] = [b.pyca_python, os.path.join(HERE, "pyca_envelope.py"), "peak", public,
                         str(HUGE)]
    try:
        cases["encrypt_mlkem"] = [sys.executable, child, "peak", "encrypt_mlkem", b.mlkem_key[1],
                                  str(HUGE)]
    except Skip as why:
        b.note(f"encrypt_mlkem left out: {why}")
    runs = 3  # a peak is close to deterministic; the best of a few drops a stray allocation
    reports: dict[str, list[dict]] = {name: [] for name in cases}
    names = list(cases)
    for r in range(runs):
        for name in names[r % len(names):] + names[:r % len(names)]:
            reports[name].append(run_json(cases[name], f"the {name} peak-memory child"))
    envelope = HUGE + 2 + 256 + 12 + 16
    for name in ("encrypt", "pyca", "encrypt_mlkem"):
        made = envelope + (1568 - 256 if name == "encrypt_mlkem" else 0)
        for report in reports.get(name, []):
            if report["result_bytes"] != made:
                sys.exit(f"bench: {name} made {report['result_bytes']} bytes, not {made}")
    s = {name: [rep["growth_bytes"] for rep in reps] for name, reps in reports.items()}
    reset = all(rep["hwm_reset"] for reps in reports.values() for rep in reps)
    peak = "reset to the current RSS" if reset else "NOT reset: earlier peaks may hide growth"
    b.note(f"one call per fresh child process, best of {runs}; the baseline is taken after the "
           f"256 MiB plaintext exists (peak {peak})")
    b.note(f"the result bytes alone are {envelope} B (1.000x), so 1.00x is the floor for encrypt")
    figures = [
        Figure("m.encrypt", "encrypt(pem, 256 MiB) peak RSS growth", s["encrypt"], None,
               [Compare("m.plaintext", maximum=2.1)] + ([Compare("m.pyca")] if "pyca" in s else []),
               "rss"),
        Figure("m.create_hash", "create_hash(256 MiB) peak RSS growth", s["create_hash"], None,
               [Compare("m.plaintext")], "rss"),
    ]
    if "pyca" in s:
        figures.append(Figure("m.pyca", "pyca envelope of 256 MiB, peak RSS growth", s["pyca"],
                              None, [Compare("m.plaintext")], "rss"))
    if "encrypt_mlkem" in s:
        figures.append(Figure("m.encrypt_mlkem", "encrypt_mlkem(ML-KEM-1024, 256 MiB) peak RSS growth",
                              s["encrypt_mlkem"], None, [Compare("m.plaintext", maximum=1.01)], "rss"))
    figures.append(Figure("m.plaintext", "the plaintext (256 MiB)", [HUGE], None, [], "rss"))
    return figures


def thread_figures(b: Bench, python: list[str], tag: str, name: str) -> list[Figure]:
    rounds = max(2 * b.rounds, 11)  # cheap, and the noisiest figures here: more samples
    before = loadavg()
    r = run_json(python + [os.path.join(HERE, "child.py"), "threads", str(BIG), str(rounds)],
                 f"the {name} threads child", timeout=1200)
    s, spent = r["samples"], r["thread_time"]
    gil = "GIL enabled" if r["gil_enabled"] else "GIL disabled"
    kind = "free-threaded" if r["free_threaded"] else "GIL build"
    b.note(f"Python {r['python']} ({kind}, {gil} after import; {r['executable']}); wall clock, "
           f"best of {rounds}; each thread hashes its own 64 MiB buffer; hashlib is the control")
    after = " ".join(f"{x:.2f}" for x in r["loadavg"])
    b.note(f"load average {before} before, {after} after, on {os.cpu_count()} logical cores")
    remark = ""
    if r["schedstat"]:
        wall, _, wait = (sum(column) for column in zip(*spent["create_hash 2"]))
        remark = f"threads queued for a core {wait / wall:.0%} of the time"
        # Running + queued for a core + blocked = each thread's wall time. A module that serialised
        # the threads (a held GIL, a shared lock) shows up as blocked time; a busy machine shows up
        # as queued time.
        where, scaling = [], []
        for hasher in ("create_hash", "hashlib"):
            parts = []
            for n in (1, 2):
                wall, run, wait = (sum(column) for column in zip(*spent[f"{hasher} {n}"]))
                parts.append(f"{n} thread{'s' if n > 1 else ''} {run / wall:.0%}/{wait / wall:.0%}/"
                             f"{(wall - run - wait) / wall:.0%}")
            where.append(f"{hasher} {', '.join(parts)}")
            # each thread's best on-CPU time, as if it had had a core to itself
            one = min(x[1] for x in spent[f"{hasher} 1"])
            two = min(x[1] for x in spent[f"{hasher} 2"])
            scaling.append(f"{hasher} {4 * one / two:.2f}x")
        b.note("where the threads' time went, running/queued for a core/blocked or asleep "
               "(/proc/thread-self/schedstat, all samples): " + "; ".join(where))
        b.note("2 threads vs 1 on on-CPU time alone (the scaling had each thread a core of its "
               "own): " + ", ".join(scaling))
    return [
        Figure(f"{tag}.ch1", f"{name} create_hash, 1 thread", s["create_hash 1"], BIG, [], "wall"),
        Figure(f"{tag}.ch2", f"{name} create_hash, 2 threads", s["create_hash 2"], 2 * BIG,
               [Compare(f"{tag}.ch1", 1.8, remark=remark)], "wall"),
        Figure(f"{tag}.hl1", f"{name} hashlib.sha384, 1 thread", s["hashlib 1"], BIG, [], "wall"),
        Figure(f"{tag}.hl2", f"{name} hashlib.sha384, 2 threads", s["hashlib 2"], 2 * BIG,
               [Compare(f"{tag}.hl1")], "wall"),
    ]


@section("threads 3.14")
def threads_314(b: Bench) -> list[Figure]:
    return thread_figures(b, [sys.executable], "t314", "3.14")


@section("threads 3.13t")
def threads_313t(b: Bench) -> list[Figure]:
    if not os.access(FT_PYTHON, os.X_OK):
        raise Skip("tools/python3.13t is not in this checkout yet (the free-threaded build)")
    return thread_figures(b, [FT_PYTHON], "t313t", "3.13t")


def self_test_function(library: str):
    """AWS-LC's BORINGSSL_self_test under the build's symbol prefix, or None."""
    try:
        names = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True,
                               text=True, check=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        return None
    symbol = next((n for n in names if n.endswith("BORINGSSL_self_test")), None)
    if symbol is None:
        return None
    fn = getattr(ctypes.CDLL(library), symbol)
    fn.restype = ctypes.c_int
    return fn


@section("import cost")
def import_cost(b: Bench) -> list[Figure]:
    python = sys.executable
    (library,) = glob.glob(os.path.join(os.path.dirname(_core_fips.__file__), "core_fips.libs", "libcrypto*.so*"))
    programs = {
        "pass": "pass",
        "hashlib": "import hashlib",
        "core": "import _core_fips",
        "fips": "import _core_fips; assert _core_fips.fips_check() is True",
        "ctypes": "import ctypes",
        "dlopen": f"import ctypes; ctypes.CDLL({library!r})",
    }
    for code in programs.values():
        if subprocess.run([python, "-c", code], capture_output=True).returncode != 0:
            raise Skip(f"python -c {code!r} failed")

    # Wall time is what a user waits; the child's own CPU time (user+system, from rusage) is
    # recorded beside it because a loaded machine inflates wall time far more than CPU time.
    cpu: dict[str, list[float]] = {name: [] for name in programs}

    def start(name: str) -> Callable[[], float]:
        argv = [python, "-c", programs[name]]

        def sample() -> float:
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            t = time.perf_counter_ns()
            subprocess.run(argv, check=True)
            wall = time.perf_counter_ns() - t
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu[name].append((after.ru_utime + after.ru_stime - before.ru_utime
                              - before.ru_stime) * 1e9)
            return wall

        return sample

    rounds = max(6 * b.rounds, 41)  # a start-up is short, cheap and very noisy on a loaded machine
    s = measure({name: start(name) for name in programs}, rounds)
    wall = {name: Figure(f"i.{name}", f"python -c {code!r}", s[name], None, [], "wall")
            for name, code in programs.items()}
    # measure() drops each contender's first (warm-up) sample; drop its rusage too
    proc = {name: Figure(f"i.{name}.proc", wall[name].label, cpu[name][1:], None, [], "proc")
            for name in programs}
    b.note(f"a fresh interpreter per sample ({python}), best of {rounds}; on a loaded machine "
           f"the proc rows (the child's CPU time) are the steadier reading of a cost")
    figures = [
        wall["pass"], wall["hashlib"],
        Figure("i.core", wall["core"].label, s["core"], None,
               [Compare("i.pass"), Compare("i.hashlib")], "wall"),
        Figure("i.fips", "python -c 'import _core_fips; fips_check()'", s["fips"], None,
               [Compare("i.core")], "wall"),
    ]
    # The differences on the child's CPU time too: on a loaded machine a best-minus-best of wall
    # times swings by more than the smaller costs measured here.
    for clock, f in (("wall", wall), ("proc", proc)):
        figures += [
            Difference(f"i.core-pass.{clock}", "import _core_fips, minus the bare start",
                       f["core"], f["pass"], [Compare(f"i.hashlib-pass.{clock}")]),
            Difference(f"i.hashlib-pass.{clock}", "import hashlib, minus the bare start",
                       f["hashlib"], f["pass"]),
            Difference(f"i.fips-core.{clock}", "first fips_check(), minus the import", f["fips"],
                       f["core"]),
            Difference(f"i.dlopen.{clock}", "dlopen AWS-LC alone, minus import ctypes",
                       f["dlopen"], f["ctypes"]),
        ]
    self_test = self_test_function(library)
    if self_test is None:
        b.note("BORINGSSL_self_test is not exported by this build: no in-process self-test row")
    else:
        if self_test() != 1:
            sys.exit("bench: BORINGSSL_self_test failed")
        t = measure({"self_test": b.once(self_test)}, b.rounds)
        figures.append(Figure("i.self_test", "BORINGSSL_self_test() again, in process",
                              t["self_test"], None, [], b.clock))
    b.note("dlopen = loading the library on its own (its constructor runs the FIPS power-on "
           "self-test and integrity check); BORINGSSL_self_test re-runs the known-answer tests")
    return figures
