"""The wheel: its layout, RECORD, licences and build folders, every check of tools/check-wheel
on the files unpacked from it, and the self-test that plants faults into copies of it."""
import csv
import email.parser
import hashlib
import io
import json
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from pathlib import Path, PurePosixPath

from .elf import (GLIBC, LIBRARIES, LIBS, MACHINES, STATIC_TLS_BUDGET, Elf, ElfError, clear_bind_now, drop_relro,
                  elf_problems, extra_export, grow_tls, rename_imports, segment_flags, set_runpath,
                  version_problems)
from .sbom import CERTIFICATE_URL, SBOM, SchemaUnavailable, sbom_problems, schema_problems, serial_of, text

CHECKOUT = Path(__file__).resolve().parents[2]
DIST = "core_fips"
LICENCES = {  # .dist-info/licenses/ path -> a line its text must hold
    "LICENSE": "Version 2.0, January 2004",
    "third_party/aws-lc/LICENSE": "a fork of BoringSSL, which is itself a fork of OpenSSL",
    "third_party/aws-lc/third_party/fiat/LICENSE": "fiat-crypto authors",
}
# The type stubs, twice: at the root for pyright and the like, and as the stub-only package PEP 561
# names for a single-file module (what mypy reads); one text.
STUBS = "_core_fips.pyi"
STUB_PACKAGE = "_core_fips-stubs/__init__.pyi"
AWSLC_TEXTS = "third_party/aws-lc/"  # the rest of the path is the one under the source's aws-lc/

def build_folders(extra=()):
    """The folders no shipped file may name."""
    home = Path.home()
    folders = [CHECKOUT, CHECKOUT.parent, home, Path(os.environ.get("CORE_FIPS_CACHE", home / ".cache/core-fips")),
               Path("/tmp"), Path(tempfile.gettempdir())]
    folders += [Path(p) for p in os.environ.get("CORE_FIPS_BUILD_PATHS", "").split(os.pathsep) if p]
    folders += [Path(p) for p in extra]
    out = []
    for f in folders:
        f = str(f).rstrip("/")
        if f and f not in out:
            out.append(f)
    return out


def build_path_problems(data, folders):
    out = []
    for folder in folders:
        # An absolute path starts the match: /tmp/ inside some/tmp/x is no build folder.
        if folder.encode() + b"/" not in data:
            continue
        hit = re.search(rb"(?<![\w.~/-])" + re.escape(folder.encode()) + rb"/", data)
        if hit:
            text = data[hit.start():hit.start() + 80].split(b"\0")[0].decode("utf-8", "replace")
            out.append(f"names the build folder {folder} at offset {hit.start()}: {text!r}")
    return out


def awslc_tree_texts(folder):
    """AWS-LC's licence texts in a source folder setup/awslc_source.py verified."""
    folder = Path(folder)
    if not (folder / "source.txt").is_file():
        raise ValueError(f"{folder} is not a source folder verified by setup/awslc_source.py")
    (tree,) = [p for p in folder.iterdir() if p.is_dir()]
    return {p: (tree / p[len(AWSLC_TEXTS):]).read_bytes() for p in LICENCES if p.startswith(AWSLC_TEXTS)}


def awslc_source_texts(deb):
    """AWS-LC's licence texts in the source package DEB, keyed by their .dist-info/licenses/ path;
    its files as dpkg-deb hands them out."""
    run = subprocess.run(["dpkg-deb", "--fsys-tarfile", str(deb)], capture_output=True)
    if run.returncode:
        raise ValueError(f"{deb} is not a Debian package: {run.stderr.decode(errors='replace').strip()}")
    texts = {}
    with tarfile.open(fileobj=io.BytesIO(run.stdout)) as tar:
        for info in tar:
            parts = PurePosixPath(info.name).parts
            if info.isfile() and "aws-lc" in parts:
                rel = "/".join(parts[parts.index("aws-lc") + 1:])
                if AWSLC_TEXTS + rel in LICENCES:
                    texts[AWSLC_TEXTS + rel] = tar.extractfile(info).read()
    missing = sorted(set(LICENCES) - set(texts) - {"LICENSE"})
    if missing:
        raise ValueError(f"{deb} lacks {', '.join(missing)}")
    return texts


def awslc_source_identity(source):
    """What the SBOM's account of AWS-LC's source must agree with: (the verified AWS-LC-FIPS
    source's record, None) for a folder, (None, the package's SHA-256) for the pinned package."""
    if Path(source).is_dir():
        return (Path(source) / "source.txt").read_text(), None
    return None, hashlib.sha256(Path(source).read_bytes()).hexdigest()


def pinned_awslc_source(deb):
    """Refuses DEB unless its SHA-256 is the one setup/sid.lock pins for AWS-LC; a folder is the
    verified source of AWS-LC-FIPS."""
    if Path(deb).is_dir():
        return awslc_tree_texts(deb)
    lock = CHECKOUT / "setup" / "sid.lock"
    for line in lock.read_text().splitlines():
        fields = line.split()
        if fields[:1] == ["awslc"] and Path(fields[4]).name == Path(deb).name:
            digest = hashlib.sha256(Path(deb).read_bytes()).hexdigest()
            if digest != fields[3]:
                raise ValueError(f"{deb} has SHA-256 {digest}, {lock} pins {fields[3]}")
            return awslc_source_texts(deb)
    raise ValueError(f"{lock} pins no AWS-LC source named {Path(deb).name}")


def held_library(files):
    """The file name of the one AWS-LC library in core_fips.libs/ (of LIBRARIES), else the first
    of LIBRARIES (the layout check then refuses what is there)."""
    held = [n for n in LIBRARIES if f"{LIBS}/{n}" in files]
    return held[0] if len(held) == 1 else next(iter(LIBRARIES))


def record_problems(wheel, info):
    """RECORD against the files: wheel's WheelFile checks each file's hash as it is read; the
    sizes, and the names RECORD lists, are compared here."""
    from wheel.wheelfile import WheelError, WheelFile  # wheel (pydeps); only this check needs it

    out = []
    try:
        with WheelFile(wheel) as wf:
            record = wf.read(wf.record_path).decode("utf-8", "replace")
            listed = {row[0]: row[2:3] for row in csv.reader(io.StringIO(record)) if row}
            names = [n for n in wf.namelist() if not n.endswith("/") and n != wf.record_path]
            for n in sorted(names):
                if n not in listed:
                    out.append(f"{n}: not in RECORD")
                    continue
                try:
                    size = len(wf.read(n))
                except WheelError:
                    size = None
                if [str(size)] != listed[n]:
                    out.append(f"{n}: hash or size differs from RECORD")
    except WheelError as e:
        return [f"{info}/RECORD: {e}"]
    return out + [f"{n}: listed in RECORD but not in the wheel" for n in sorted(set(listed) - set(names) - {wf.record_path})]


def wheel_problems(wheel, folders, allowed=GLIBC, awslc_texts=None, source=(None, None)):
    """Every reason to refuse WHEEL, one line each, checked on the files unpacked from it; SOURCE:
    what AWS-LC was built from (awslc_source_identity), for the SBOM."""
    name = Path(wheel).name
    m = re.fullmatch(r"([^-]+)-([^-]+)(?:-\d[^-]*)?-(cp\d+)-(cp\d+t?|abi3)-([^-]+)\.whl", name)
    if not m or m.group(1) != DIST:
        return [f"not a {DIST} wheel name"]
    version, abi, plats = m.group(2), m.group(4), m.group(5).split(".")
    arch = {next((a for a in MACHINES.values() if p.endswith("_" + a)), p) for p in plats}
    if len(arch) != 1 or not arch <= set(MACHINES.values()):
        return [f"platform tag {m.group(5)} is not one x86_64 or aarch64 platform"]
    arch = arch.pop()
    ext = "_core_fips.abi3.so" if abi == "abi3" else f"_core_fips.cpython-{abi[2:]}-{arch}-linux-gnu.so"
    info = f"{DIST}-{version}.dist-info"
    out = []
    with tempfile.TemporaryDirectory(prefix="check-wheel.") as tmp, zipfile.ZipFile(wheel) as zf:
        names = [n for n in zf.namelist() if not n.endswith("/")]
        for n in names:
            if n.startswith("/") or ".." in PurePosixPath(n).parts:
                return [f"{n}: unsafe path in the archive"]
        zf.extractall(tmp)
        root = Path(tmp)
        files = {n: (root / n).read_bytes() for n in names}

    library = held_library(files)
    expected = {ext, STUBS, STUB_PACKAGE, f"{LIBS}/{library}", f"{info}/METADATA", f"{info}/WHEEL",
                f"{info}/RECORD", f"{info}/{SBOM}"} | {f"{info}/licenses/{p}" for p in LICENCES}
    for n in sorted(set(files) - expected):
        out.append(f"{n}: stray file (the wheel holds {ext}, {STUBS}, {STUB_PACKAGE}, {LIBS}/{library} and {info}/ only)")
    if STUBS in files and STUB_PACKAGE in files and files[STUBS] != files[STUB_PACKAGE]:
        out.append(f"{STUB_PACKAGE}: differs from {STUBS} (one text, two places)")
    if f"{LIBS}/{library}" in files:
        out += [f"{LIBS}/{library}: {p}" for p in version_problems(files[f"{LIBS}/{library}"], library)]
    if LIBRARIES[library].version.encode() not in files.get(f"{info}/METADATA", b""):
        out.append(f"{info}/METADATA: does not name the library it holds, {LIBRARIES[library].version}")
    for n in sorted(expected - set(files)):
        out.append(f"{n}: missing")

    out += record_problems(wheel, info)
    try:
        static = "libstdc++.so.6" not in Elf(files.get(ext, b"")).strings("DT_NEEDED")
    except ElfError:
        static = None  # refused below as unreadable
    out += sbom_problems(files, info, ext, f"{LIBS}/{library}", version, *source, static=static)

    meta = email.parser.BytesParser().parsebytes(files.get(f"{info}/METADATA", b""))
    if tuple(int(x) for x in re.findall(r"\d+", meta.get("Metadata-Version", "0"))[:2]) < (2, 4):
        out.append(f"{info}/METADATA: Metadata-Version {meta.get('Metadata-Version')} predates licence files (2.4, PEP 639)")
    if meta.get("License-Expression") != "Apache-2.0":
        out.append(f"{info}/METADATA: License-Expression is {meta.get('License-Expression')}, not Apache-2.0")
    declared = set(meta.get_all("License-File") or [])
    shipped = {n[len(f"{info}/licenses/"):] for n in files if n.startswith(f"{info}/licenses/")}
    for p in sorted(shipped - declared):
        out.append(f"{info}/licenses/{p}: shipped but not declared by a License-File line in METADATA")
    for p in sorted(declared - shipped):
        out.append(f"{info}/METADATA: declares License-File {p}, which is not in {info}/licenses/")
    for p, line in LICENCES.items():
        text = files.get(f"{info}/licenses/{p}")
        if text is not None and line.encode() not in text:
            out.append(f"{info}/licenses/{p}: not the expected licence text (no {line!r})")
        if text is not None and awslc_texts is not None and p in awslc_texts and text != awslc_texts[p]:
            out.append(f"{info}/licenses/{p}: differs from the pinned AWS-LC source's text")

    for n, data in sorted(files.items()):
        if data[:4] == b"\x7fELF":
            role = "extension" if n == ext else "library" if n == f"{LIBS}/{library}" else None
            if role is None:
                out.append(f"{n}: an ELF file the layout has no place for")
                continue
            try:
                out += [f"{n}: {p}" for p in elf_problems(Elf(data), role, arch, allowed, library)]
            except ElfError as e:
                out.append(f"{n}: unreadable ELF: {e}")
        out += [f"{n}: {p}" for p in build_path_problems(data, folders)]
    return out


def plants(files, info, ext, folder, awslc_texts, record):
    """(what, the planted files, a word the refusal must contain) for each planted fault."""
    library = held_library(files)
    lib = f"{LIBS}/{library}"

    def on(name, change):
        changed = dict(files)
        changed[name] = change(files[name])
        return changed

    def moved(src, dst):
        changed = dict(files)
        changed[dst] = changed.pop(src)
        return changed

    meta = f"{info}/METADATA"
    yield "BIND_NOW cleared on the extension", on(ext, clear_bind_now), "BIND_NOW"
    if LIBRARIES[library].hardened:
        yield "BIND_NOW cleared on the library", on(lib, clear_bind_now), "BIND_NOW"
    yield "an extra exported symbol", on(ext, extra_export), "exports"
    yield "a build path in the library", on(lib, lambda d: d + f"\0{folder}/build/crypto.o\0".encode()), "build folder"
    yield "a build path in the stubs", on("_core_fips.pyi", lambda d: d + f"# {folder}/stubs\n".encode()), "build folder"
    missing = dict(files)
    del missing[f"{info}/licenses/third_party/aws-lc/LICENSE"]
    yield "AWS-LC's licence missing", missing, "License-File"
    if awslc_texts is not None:
        yield "AWS-LC's licence text edited", on(f"{info}/licenses/third_party/aws-lc/LICENSE", lambda d: d + b"\n"), "pinned"
    yield "a licence not declared", on(meta, lambda d: re.sub(rb"License-File: LICENSE\r?\n", b"", d)), "not declared"
    yield "License-Expression changed", on(meta, lambda d: d.replace(b": Apache-2.0", b": MIT")), "License-Expression"
    yield "an executable stack", on(lib, segment_flags("PT_GNU_STACK", 7)), "PT_GNU_STACK"
    yield "no RELRO segment", on(ext, drop_relro), "PT_GNU_RELRO"
    # 536 bytes: the extension's segment when the pending releases kept 32 slots in it.
    yield "a static TLS segment over budget", on(ext, grow_tls(max(536, STATIC_TLS_BUDGET + 1))), "PT_TLS"
    if LIBRARIES[library].hardened:
        yield "no stack protector", on(lib, rename_imports(r"__stack_chk_fail")), "__stack_chk_fail"
        yield "no fortified call", on(lib, rename_imports(r"__(?!stack)\w+_chk")), "_FORTIFY_SOURCE"
    else:
        yield "no stack protector on the extension", on(ext, rename_imports(r"__stack_chk_fail")), "__stack_chk_fail"
    yield "another version text in the library", on(lib, lambda d: d.replace(b"AWS-LC FIPS ", b"AWS-LC FIPS 9")), "version text"
    yield "METADATA silent on the library", on(meta, lambda d: d.replace(LIBRARIES[library].version.encode(), b"AWS-LC")), "does not name"
    yield "RUNPATH $ORIGIN (the library beside it)", on(ext, set_runpath("$ORIGIN")), "RUNPATH"
    yield "the library at the root", moved(lib, library), "stray"
    yield "py.typed at the root", {**files, "py.typed": b""}, "stray"
    yield "a stray file in the stub package", {**files, "_core_fips-stubs/extra.pyi": b""}, "stray"
    yield "the stub package's copy edited", on(STUB_PACKAGE, lambda d: d.replace(b"-> bool", b"-> int", 1)), "differs"
    # Same size: only the hash can tell.
    yield "the stubs changed after RECORD", {**on("_core_fips.pyi", lambda d: d[:-1] + b"#"), f"{info}/RECORD": record}, "RECORD"
    yield from sbom_plants(files, info, record)


def sbom_plants(files, info, record):
    """Faults planted into the SBOM, each still a well-formed document with its serial number
    derived again, so that only the check meant for it can refuse it."""
    name = f"{info}/{SBOM}"

    def edited(change):
        bom = json.loads(files[name])
        change(bom)
        bom["serialNumber"] = serial_of(bom)
        return {**files, name: text(bom).encode()}

    def off_schema(bom):  # a component type CycloneDX does not define
        component(bom, "extension")["type"] = "shared-object"

    def certified(bom):  # the inventory claiming the certificate on a library it does not cover, or RSA-OAEP
        validated = any(r["type"] == "certification-report" for r in component(bom, "aws-lc").get("externalReferences", []))
        asset = component(bom, "crypto-rsa-oaep" if validated else "crypto-sha-384")
        asset["cryptoProperties"]["algorithmProperties"]["certificationLevel"] = ["fips140-3-l1"]

    def component(bom, ref):
        return next(c for c in bom["components"] if c["bom-ref"] == ref)

    def wrong_hash(bom):
        h = component(bom, "aws-lc")["hashes"][0]
        h["content"] = ("0" if h["content"][0] != "0" else "1") + h["content"][1:]

    def drop(bom):
        bom["components"] = [c for c in bom["components"] if c["bom-ref"] != "extension"]
        bom["dependencies"] = [{**d, "dependsOn": [r for r in d["dependsOn"] if r != "extension"]}
                               for d in bom["dependencies"] if d["ref"] != "extension"]

    def certificate(bom):
        c = component(bom, "aws-lc")
        refs = [r for r in c.get("externalReferences", []) if r["type"] != "certification-report"]
        if len(refs) == len(c.get("externalReferences", [])):  # none: plant the validated module's
            refs.append({"type": "certification-report", "url": CERTIFICATE_URL,
                         "comment": "certificate #5298, in the operational environments it names"})
        c["externalReferences"] = refs
        if not refs:
            del c["externalReferences"]

    yield "an SBOM off CycloneDX's schema", edited(off_schema), "CycloneDX 1.6 schema"
    yield "a wrong library hash in the SBOM", edited(wrong_hash), "AWS-LC's SHA-256"
    yield "a certification level the library does not have", edited(certified), "claims certification level"
    yield "a component missing from the SBOM", edited(drop), "no extension component"
    yield "the certification reference changed (added where none applies, or removed)", edited(certificate), "certification-report"
    unlisted = b"".join(line for line in record.splitlines(keepends=True) if not line.startswith(name.encode() + b","))
    yield "the SBOM not in RECORD", {**files, f"{info}/RECORD": unlisted}, f"{SBOM}: not in RECORD"


def write_wheel(path, files, info):
    """FILES as a wheel at PATH: with no RECORD among them, wheel's WheelFile writes a matching one."""
    from wheel.wheelfile import WheelFile

    stale = f"{info}/RECORD" in files
    with zipfile.ZipFile(path, "w") if stale else WheelFile(path, "w", zipfile.ZIP_STORED) as zf:
        for n, d in files.items():
            zf.writestr(n, d)


def self_test(wheel, folders, allowed, awslc_texts, source=(None, None)):
    """Lines for the report, and whether every planted fault was refused."""
    name = Path(wheel).name
    with zipfile.ZipFile(wheel) as zf:
        files = {n: zf.read(n) for n in zf.namelist() if not n.endswith("/")}
    info = next(n.split("/")[0] for n in files if n.endswith(".dist-info/METADATA"))
    ext = next(n for n in files if n.startswith("_core_fips.") and n.endswith(".so"))
    record = files.pop(f"{info}/RECORD")
    ok, lines = True, []
    with tempfile.TemporaryDirectory(prefix="check-wheel-plant.") as tmp:
        write_wheel(Path(tmp) / name, files, info)
        if wheel_problems(Path(tmp) / name, folders, allowed, awslc_texts, source):
            return [f"{name}: a rewritten copy of the wheel is refused; the self-test cannot isolate its faults"], False
        for what, planted, word in plants(files, info, ext, folders[0], awslc_texts, record):
            path = Path(tmp) / what.replace(" ", "-").replace("$", "") / name
            path.parent.mkdir()
            write_wheel(path, planted, info)
            reasons = [r for r in wheel_problems(path, folders, allowed, awslc_texts, source) if word in r]
            if reasons:
                lines.append(f"{name}: refused {what}: {reasons[0]}")
            else:
                ok = False
                lines.append(f"{name}: PASSED a wheel with {what} (no refusal naming {word!r})")
    return lines, ok


def installed_problems(site):
    """The SBOM of core_fips as pip installed it into SITE (a wheel pip built and did not keep,
    e.g. from the sdist): every file RECORD lists has its hash, the SBOM is among them, and it
    passes the SBOM checks against the installed files."""
    import base64

    infos = sorted(Path(site).glob(f"{DIST}-*.dist-info"))
    if len(infos) != 1:
        return [f"{site}: not one {DIST}-*.dist-info ({', '.join(p.name for p in infos) or 'none'})"]
    info = infos[0].name
    version = info[len(DIST) + 1:-len(".dist-info")]
    out, files = [], {}
    for row in csv.reader(io.StringIO((infos[0] / "RECORD").read_text())):
        if not row or row[0].endswith("/RECORD") or row[0].startswith(".."):
            continue
        path, digest = row[0], row[1]
        try:
            data = (Path(site) / path).read_bytes()
        except OSError as e:
            out.append(f"{path}: listed in RECORD, unreadable: {e}")
            continue
        want = "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        if digest != want:
            out.append(f"{path}: hash differs from RECORD")
        files[path] = data
    if f"{info}/{SBOM}" not in files:
        return out + [f"{info}/{SBOM}: not installed, or not in RECORD"]
    ext = next((n for n in files if re.fullmatch(r"_core_fips\..*\.so", n)), "_core_fips.so")
    lib = next((n for n in files if n.startswith(f"{LIBS}/")), f"{LIBS}/?")
    try:
        static = "libstdc++.so.6" not in Elf(files.get(ext, b"")).strings("DT_NEEDED")
    except ElfError as e:
        return out + [f"{ext}: unreadable ELF: {e}"]
    try:  # a root without python3-jsonschema (the sdist's) runs the other checks, and says so
        schema_problems({})
        schema = True
    except SchemaUnavailable as e:
        print(f"check-wheel: --installed: the SBOM was not validated against CycloneDX's schema here: {e}",
              file=sys.stderr)
        schema = False
    return out + sbom_problems(files, info, ext, lib, version, static=static, schema=schema)
