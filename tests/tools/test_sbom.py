"""The wheel's SBOM without a wheel build: what setup/sbom.py writes for each source AWS-LC can
be built from, and what tools/check-wheel's SBOM check (tools/wheelcheck/sbom.py) refuses."""
import argparse
import hashlib
import json

import pytest
from project import ROOT, load



sbom = load("sbom", "setup/sbom.py")
backend = load("core_fips_build", "backend/core_fips_build.py")
check = load("wheelcheck_sbom", "tools/wheelcheck/sbom.py")
PINS = sbom.pins_file.load()
INFO = "core_fips-0.1.0.dist-info"
EXT = "_core_fips.abi3.so"
# The build's record of an AWS-LC-FIPS source, as setup/awslc_source.py words each kind.
RECORDS = {
    "verified-zip": f"AWS-LC-FIPS {PINS['FIPS_VERSION']} from the verified zip {PINS['FIPS_TAG']}.zip (SHA-256 "
                    f"{PINS['FIPS_ZIP_SHA256']})",
    "tree": f"AWS-LC-FIPS {PINS['FIPS_VERSION']} from an unpacked tree matching the tag's listing file by file",
    "incomplete-tree": f"AWS-LC-FIPS {PINS['FIPS_VERSION']} from an INCOMPLETE tree: 2 listed file(s) missing, so "
                       "NOT the verified source and not the validated module: ssl/b_test.cc, crypto/a_test.cc",
}
# A line setup/build-awslc.sh adds to the record for a flag its compiler needed.
NOTE = "Compiled with `-fno-tree-slp-vectorize`: gcc 16.1.0 vectorises the method tables' pointer stores."
WARNING_NOTE = "Compiled with `-Wno-error=discarded-qualifiers`: gcc 16.1.0 warns where -Werror makes that an error."
KINDS = ["debian-package", "sdist-bundle", *RECORDS]
ELSEWHERE = "built-elsewhere"


def wheel_files(tmp_path, kind, static=True, record=None, notes=None):
    """The files an SBOM describes, and the SBOM setup/sbom.py writes for them, as a wheel holds them;
    KIND is the configure's claim, RECORD the kind of record in the prefix (default: KIND's), NOTES
    the lines the build added to it (default: the flag note, for an incomplete tree)."""
    fips = kind in RECORDS or kind == ELSEWHERE
    record_kind = record or (kind if kind in RECORDS else "verified-zip")
    notes = notes if notes is not None else [NOTE] if kind == "incomplete-tree" else []
    library = PINS["FIPS_LIBRARY" if fips else "DEBIAN_AWSLC_LIBRARY"]
    (tmp_path / "core_fips.libs").mkdir(exist_ok=True)
    (tmp_path / "share" / "core-fips").mkdir(parents=True, exist_ok=True)
    (tmp_path / EXT).write_bytes(b"\x7fELF...GCC: (Debian 10.2.1-6) 10.2.1 20210110\0")
    (tmp_path / "core_fips.libs" / library).write_bytes(b"\x7fELF library " + kind.encode())
    (tmp_path / "share" / "core-fips" / "library.sha256").write_text(
        hashlib.sha256((tmp_path / "core_fips.libs" / library).read_bytes()).hexdigest() + "\n")
    record = tmp_path / "share" / "core-fips" / "awslc-source.txt"
    record.unlink(missing_ok=True)
    if fips:  # as the build writes it: the source, then a compiler's notes
        record.write_text(RECORDS[record_kind] + "\n" + "".join(n + "\n" for n in notes))
    archives = []
    for name in ("libstdc++.a", "libgcc.a") if static else ():
        (tmp_path / name).write_bytes(b"!<arch>\n" + name.encode())
        archives.append(str(tmp_path / name))
    args = argparse.Namespace(version="0.1.0", extension=str(tmp_path / EXT),
                              library=str(tmp_path / "core_fips.libs" / library), awslc_prefix=str(tmp_path),
                              claim=kind, gcc_version="10.2.1", static=archives,
                              library_sha256=hashlib.sha256((tmp_path / "core_fips.libs" / library).read_bytes()).hexdigest())
    files = {n: (tmp_path / n).read_bytes() for n in (EXT, f"core_fips.libs/{library}")}
    files[f"{INFO}/{check.SBOM}"] = sbom.text(sbom.document(args)).encode()
    return files, f"core_fips.libs/{library}"


def claim_of(prefix, kind):
    """The backend's Claim, as CMakeLists.txt writes it for the library in PREFIX."""
    lib = next((prefix / "core_fips.libs").iterdir())
    record = prefix / "share/core-fips/awslc-source.txt"
    return backend.Claim(f"{kind} {lib.name} {hashlib.sha256(lib.read_bytes()).hexdigest()}\n"
                         + (record.read_text() if record.is_file() else ""))


def problems(files, lib, **kw):
    return check.sbom_problems(files, INFO, EXT, lib, "0.1.0", **kw)


def edited(files, change):
    """FILES with the SBOM changed by CHANGE, its serial number derived again (so only the check
    meant for the change can refuse it)."""
    name = f"{INFO}/{check.SBOM}"
    bom = json.loads(files[name])
    change(bom)
    bom["serialNumber"] = check.serial_of(bom)
    return {**files, name: json.dumps(bom).encode()}


@pytest.mark.parametrize("kind", KINDS)
def test_each_source_is_named_and_only_the_verified_zip_carries_the_certificate(tmp_path, kind):
    files, lib = wheel_files(tmp_path, kind)
    assert problems(files, lib) == []
    bom = json.loads(files[f"{INFO}/{check.SBOM}"])
    awslc = next(c for c in bom["components"] if c["bom-ref"] == "aws-lc")
    shipped = {c["bom-ref"] for c in bom["components"] if c["type"] != "cryptographic-asset"}
    assert shipped == {"extension", "aws-lc", "libstdc++", "libgcc"}
    assert awslc["version"] == PINS["FIPS_VERSION" if kind in RECORDS else "DEBIAN_AWSLC_VERSION"]
    assert {"name": "core-fips:source", "value": kind} in awslc["properties"]
    certs = check._refs(bom, "certification-report")
    assert [r["url"] for r in certs] == ([PINS["FIPS_CERTIFICATE_URL"]] if kind == "verified-zip" else [])
    if kind in RECORDS:  # the wheel's description says the same, from the same claim and record
        said = backend.library_paragraph(claim_of(tmp_path, kind))
        assert said.replace("**", "").endswith(awslc["description"]) and RECORDS[kind] in said
    if kind == "incomplete-tree":
        assert {"name": "core-fips:missing", "value": "crypto/a_test.cc ssl/b_test.cc"} in awslc["properties"]
        assert {"name": "core-fips:added-flags", "value": "-fno-tree-slp-vectorize"} in awslc["properties"]
        assert "`-Bsymbolic` and `-fno-tree-slp-vectorize`" in said and NOTE in awslc["description"]
        incomplete = dict(files)
        incomplete[f"{INFO}/{check.SBOM}"] = files[f"{INFO}/{check.SBOM}"].replace(b"INCOMPLETE", b"partial")
        incomplete = edited(incomplete, lambda bom: None)
        assert any("not the verified source" in p for p in problems(incomplete, lib))

    def toggle(bom):  # a certificate where none applies, or none on the validated module
        c = next(c for c in bom["components"] if c["bom-ref"] == "aws-lc")
        c["externalReferences"] = [] if certs else [{"type": "certification-report", "url": PINS["FIPS_CERTIFICATE_URL"],
                                                      "comment": "in the operational environments it names"}]
    assert any("certification-report" in p for p in problems(edited(files, toggle), lib))
    if kind in RECORDS:  # the SBOM must tell the source the build recorded
        other = "tree" if kind != "tree" else "verified-zip"
        assert any("the build's record says" in p for p in problems(files, lib, source_record=RECORDS[other]))
    else:
        assert any("not that of the package" in p for p in problems(files, lib, source_deb_sha="0" * 64))


def test_reproducible_strict_and_tied_to_what_ships(tmp_path):
    files, lib = wheel_files(tmp_path, "debian-package")
    again, _ = wheel_files(tmp_path, "debian-package")
    name = f"{INFO}/{check.SBOM}"
    assert files[name] == again[name] and b"timestamp" not in files[name]
    plants = {
        "a time stamp": (lambda b: b["metadata"].update(timestamp="2026-01-01T00:00:00Z"), "metadata"),
        "another spec version": (lambda b: b.update(specVersion="1.5"), "not CycloneDX 1.6"),
        "an unknown hash algorithm": (lambda b: b["components"][0]["hashes"][0].update(alg="SHA-257"), "CycloneDX 1.6 schema"),
        "libstdc++ of another GCC": (lambda b: b["components"][2].update(version="12.2.0"), "not the GCC"),
        "a dependency on nothing": (lambda b: b["dependencies"].append({"ref": "ghost"}), "does not define"),
    }
    for what, (change, word) in plants.items():
        assert any(word in p for p in problems(edited(files, change), lib)), what
    stale = {**files, name: files[name].replace(b'"version": 1', b'"version": 2')}
    assert any("serialNumber" in p for p in problems(stale, lib))
    # A dynamic libstdc++ is the system's: then the SBOM must not claim it is linked in.
    dynamic, lib = wheel_files(tmp_path, "debian-package", static=False)
    assert problems(dynamic, lib, static=False) == []
    assert any("does not ship" in p for p in problems(files, lib, static=False))


def test_the_sbom_is_refused_for_a_library_not_built_where_it_says(tmp_path):
    """setup/sbom.py hashes the library that ships only if it is the one its build recorded
    (share/core-fips/library.sha256); a library built from a named source needs the source's record."""
    wheel_files(tmp_path, "verified-zip")
    library = tmp_path / "core_fips.libs" / PINS["FIPS_LIBRARY"]
    args = argparse.Namespace(version="0.1.0", extension=str(tmp_path / EXT), awslc_prefix=str(tmp_path),
                              library=str(library), claim="verified-zip", gcc_version=None, static=[],
                              library_sha256=hashlib.sha256(library.read_bytes()).hexdigest())
    assert sbom.document(args)["components"][1]["hashes"][0]["content"] == (
        tmp_path / "share/core-fips/library.sha256").read_text().strip()
    library.write_bytes(b"\x7fELF swapped")
    with pytest.raises(SystemExit, match="is not the library built in"):
        sbom.document(args)
    # Swapped with its library.sha256 too: still not the library the configure saw.
    (tmp_path / "share/core-fips/library.sha256").write_text(hashlib.sha256(library.read_bytes()).hexdigest())
    with pytest.raises(SystemExit, match="not the library the configure saw"):
        sbom.document(args)
    args.library_sha256 = hashlib.sha256(library.read_bytes()).hexdigest()
    (tmp_path / "share/core-fips/awslc-source.txt").write_text(RECORDS["tree"] + "\n")
    with pytest.raises(SystemExit, match="claim is verified-zip, but its record says tree"):
        sbom.document(args)
    (tmp_path / "share/core-fips/awslc-source.txt").write_text(RECORDS["tree"] + "\n" + "x" * 70000)
    with pytest.raises(SystemExit, match="longer than"):
        sbom.document(args)
    (tmp_path / "share/core-fips/awslc-source.txt").unlink()
    with pytest.raises(SystemExit, match="no record of its AWS-LC-FIPS source"):
        sbom.document(args)
    args.claim = "debian-package"  # a FIPS library is never described as Debian's
    with pytest.raises(SystemExit, match="is AWS-LC-FIPS, but the build's claim is debian-package"):
        sbom.document(args)


def aws_lc(files):
    bom = json.loads(files[f"{INFO}/{check.SBOM}"])
    return bom, next(c for c in bom["components"] if c["bom-ref"] == "aws-lc")


@pytest.mark.parametrize("record", RECORDS)
def test_a_library_built_elsewhere_never_carries_the_certificate(tmp_path, record):
    """A prefix given to the build (CORE_FIPS_AWSLC) whose record claims the verified zip: the
    record only ever lowers what the wheel says (an incomplete tree is named as such)."""
    files, lib = wheel_files(tmp_path, ELSEWHERE, record=record)
    assert problems(files, lib, source_record=RECORDS[record]) == []
    bom, awslc = aws_lc(files)
    assert check._refs(bom, "certification-report") == []
    assert awslc["description"].startswith(f"AWS-LC-FIPS {PINS['FIPS_VERSION']} built elsewhere, not verified by this build")
    assert f"#{PINS['FIPS_CERTIFICATE']}" not in awslc["description"] and "this is the validated module" not in awslc["description"]
    assert ("INCOMPLETE tree" in awslc["description"]) == (record == "incomplete-tree")
    props = {p["name"]: p["value"] for p in awslc["properties"]}
    assert (props["core-fips:source"], props["core-fips:recorded-source"]) == (ELSEWHERE, record)
    said = backend.library_paragraph(claim_of(tmp_path, ELSEWHERE))
    assert said.replace("**", "").endswith(awslc["description"])

    def certify(bom):  # what the old build wrote from such a record
        c = next(c for c in bom["components"] if c["bom-ref"] == "aws-lc")
        c["externalReferences"] = [{"type": "certification-report", "url": PINS["FIPS_CERTIFICATE_URL"],
                                    "comment": "in the operational environments it names"}]
        c["description"] = c["description"].replace("built elsewhere, not verified by this build", "from the verified zip")
    found = problems(edited(files, certify), lib)
    assert any("certification-report" in p for p in found) and any("built elsewhere" in p for p in found)


def test_a_code_generation_flag_loses_the_certificate_and_a_warning_option_does_not(tmp_path):
    files, lib = wheel_files(tmp_path, "verified-zip", notes=[WARNING_NOTE, NOTE])
    assert problems(files, lib) == []
    bom, awslc = aws_lc(files)
    assert check._refs(bom, "certification-report") == []
    assert awslc["description"].startswith(f"AWS-LC-FIPS {PINS['FIPS_VERSION']} from the verified source, with a "
                                           "code-generation flag the Security Policy's build does not use "
                                           "(`-fno-tree-slp-vectorize`)")
    assert f"#{PINS['FIPS_CERTIFICATE']}" not in awslc["description"] and "this is the validated module" not in awslc["description"]

    def certify(bom):
        c = next(c for c in bom["components"] if c["bom-ref"] == "aws-lc")
        c["externalReferences"] = [{"type": "certification-report", "url": PINS["FIPS_CERTIFICATE_URL"],
                                    "comment": "in the operational environments it names"}]
        c["description"] = "this is the validated module"
    found = problems(edited(files, certify), lib)
    assert any("certification-report" in p and "-fno-tree-slp-vectorize" in p for p in found)
    assert any("code-generation flag" in p for p in found)
    # A warning option changes no code: the certificate stays.
    files, lib = wheel_files(tmp_path, "verified-zip", notes=[WARNING_NOTE])
    bom, awslc = aws_lc(files)
    assert problems(files, lib) == [] and len(check._refs(bom, "certification-report")) == 1
    assert f"#{PINS['FIPS_CERTIFICATE']}" in awslc["description"]


@pytest.mark.parametrize("note", [
    "Compiled with `-Wl,--defsym=x=0`: a linker option, which starts like a warning option.",
    "Compiled with `-Wa,-mrelax-relocations=no`: an assembler option.",
    "Compiled with `a toolchain file of the caller's (SHA-256 " + "0" * 64 + ")`: its settings reach AWS-LC's configure.",
])
def test_options_that_pass_through_to_other_tools_or_a_toolchain_file_lose_the_certificate(tmp_path, note):
    files, lib = wheel_files(tmp_path, "verified-zip", notes=[WARNING_NOTE, note])
    bom, awslc = aws_lc(files)
    assert problems(files, lib) == [] and check._refs(bom, "certification-report") == []
    assert "code-generation flag the Security Policy's build does not use" in awslc["description"], awslc["description"]
