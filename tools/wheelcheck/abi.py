"""What a wheel asks of the interpreter and of glibc: the stable-ABI check on the extension's
imports, and the manylinux tag auditwheel derives against the glibc floor the tag claims."""
import io
import re
import zipfile
from pathlib import Path

from elftools.elf.elffile import ELFFile

from .elf import Elf

def stable_abi_offenders(path, toml, limit):
    """The interpreter's symbols that the extension at PATH (or in the wheel PATH) takes, and
    those of them outside the stable ABI of CPython LIMIT ("3.11") by TOML."""
    import tomllib  # 3.11; only this check needs it

    with open(toml, "rb") as f:
        abi = tomllib.load(f)
    added = {n: tuple(map(int, i["added"].split(".")))
             for kind in ("function", "data") for n, i in abi.get(kind, {}).items()}
    if len(added) < 500:
        raise ValueError(f"{toml} lists only {len(added)} functions and data: not the stable ABI")
    if str(path).endswith(".whl"):
        with zipfile.ZipFile(path) as z:
            (ext,) = [n for n in z.namelist() if re.fullmatch(r"_core_fips\..*\.so", n)]
            data = z.read(ext)
    else:
        data = Path(path).read_bytes()
    names = sorted(n for n in Elf(data).imports() if re.match(r"_?Py", n))
    bound = tuple(map(int, limit.split(".")))
    bad = [f"{n} (not in the stable ABI)" if n not in added
           else f"{n} (stable only from {'.'.join(map(str, added[n]))})"
           for n in names if added.get(n, (99,)) > bound]
    return names, bad


LEGACY_FLOORS = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}


def glibc_floor(wheel):
    """The oldest glibc the wheel's platform tags claim to run on (the lowest of them), or None."""
    plats = Path(wheel).name[:-len(".whl")].split("-")[-1].split(".")
    floors = []
    for plat in plats:
        m = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+|(manylinux1|manylinux2010|manylinux2014)_\w+", plat)
        if m:
            floors.append(LEGACY_FLOORS[m.group(3)] if m.group(3) else (int(m.group(1)), int(m.group(2))))
    return min(floors, default=None)


def glibc_needs(data):
    """(version, where its name is in the file) of each GLIBC_x.y the ELF file DATA needs."""
    elf = ELFFile(io.BytesIO(data))
    section = elf.get_section_by_name(".gnu.version_r")
    if section is None:
        return []
    names = elf.get_section(section["sh_link"])["sh_offset"]
    out = []
    for _, auxes in section.iter_versions():
        for aux in auxes:
            m = re.fullmatch(r"GLIBC_(\d+(?:\.\d+)+)", aux.name)
            if m:
                out.append((tuple(map(int, m.group(1).split("."))), names + aux["vna_name"]))
    return out


def floor_problems(name, files, floor):
    """Each ELF file of FILES needing a newer glibc than FLOOR; and what each needs at most."""
    out, most = [], {}
    for n, data in sorted(files.items()):
        if data[:4] == b"\x7fELF":
            needs = glibc_needs(data)
            most[n] = max((v for v, _ in needs), default=None)
            if floor and most[n] and most[n] > floor:
                out.append(f"{name}: {n} needs GLIBC_{'.'.join(map(str, most[n]))}, newer than the glibc "
                           f"{'.'.join(map(str, floor))} its manylinux tag claims")
    return out, most


def _raise_glibc(files):
    """A copy of FILES whose highest needed GLIBC_2.NN is GLIBC_2.99 (same length, in place)."""
    best = max(((v, at, n) for n, d in files.items() if d[:4] == b"\x7fELF" for v, at in glibc_needs(d)
                if len(v) == 2 and v[1] >= 10), default=None)
    if best is None:
        return None
    _, at, n = best
    data = bytearray(files[n])
    data[at:at + 10] = b"GLIBC_2.99"
    return {**files, n: bytes(data)}


def manylinux(wheel, plant):
    """(the line for stdout, the problems); PLANT: a copy needing a newer glibc refused first."""
    from auditwheel.error import AuditwheelError, WheelToolsError
    from auditwheel.wheel_abi import analyze_wheel_abi
    from auditwheel.wheeltools import get_wheel_architecture, get_wheel_libc

    name = Path(wheel).name
    with zipfile.ZipFile(wheel) as zf:
        files = {n: zf.read(n) for n in zf.namelist() if not n.endswith("/")}
    floor = glibc_floor(wheel)
    problems, most = floor_problems(name, files, floor)
    if plant and floor:
        planted = _raise_glibc(files)
        refused = floor_problems(name, planted, floor)[0] if planted else None
        if planted is None:
            problems.append(f"{name}: no GLIBC_2.NN version in its ELF files to plant a newer one over")
        elif not refused:
            problems.append(f"{name}: the glibc floor check passed a copy needing GLIBC_2.99: fix tools/check-wheel")
        else:
            print(f"check-wheel: self-test: refused a copy needing a newer glibc: {refused[0]}")
    try:
        libc = get_wheel_libc(name)
    except WheelToolsError:
        libc = None  # a raw linux_* wheel: auditwheel reads the libc from the files
    try:  # what `auditwheel show` reports as the platform tag the wheel is consistent with
        tag = analyze_wheel_abi(libc, get_wheel_architecture(name), Path(wheel), frozenset(),
                                disable_isa_ext_check=False, allow_graft=False).overall_policy.name
    except AuditwheelError as e:
        tag = "none"
        problems.append(f"{name}: auditwheel cannot analyse it: {e.message}")
    needs = ", ".join(f"{n} {'.'.join(map(str, v)) if v else 'none'}" for n, v in most.items())
    claim = f", within the glibc {'.'.join(map(str, floor))} its tag claims" if floor and not problems else ""
    return f"{tag}: {name}: needs GLIBC ({needs}){claim}", problems
