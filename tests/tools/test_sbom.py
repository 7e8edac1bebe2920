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
KINDS = ["debian-package", "sdist-bundle", *RECORDS]


def wheel_files(tmp_path, kind, static=True):
    """The files an SBOM describes, and the SBOM setup/sbom.py writes for them, as a wheel holds them."""
    fips = kind in RECORDS
    library = PINS["FIPS_LIBRARY" if fips else "DEBIAN_AWSLC_LIBRARY"]
    (tmp_path / "core_fips.libs").mkdir(exist_ok=True)
    (tmp_path / "share" / "core-fips").mkdir(parents=True, exist_ok=True)
    (tmp_path / EXT).write_bytes(b"\x7fELF...GCC: (Debian 10.2.1-6) 10.2.1 20210110\0")
    (tmp_path / "core_fips.libs" / library).write_bytes(b"\x7fELF library " + kind.encode())
    (tmp_path / "share" / "core-fips" / "library.sha256").write_text(
        hashlib.sha256((tmp_path / "core_fips.libs" / library).read_bytes()).hexdigest() + "\n")
    record = tmp_path / "share" / "core-fips" / "awslc-source.txt"
    record.unlink(missing_ok=True)
    if fips:  # as the build writes it: the source, then a compiler's note
        record.write_text(RECORDS[kind] + "\n" + (NOTE + "\n" if kind == "incomplete-tree" else ""))
    archives = []
    for name in ("libstdc++.a", "libgcc.a") if static else ():
        (tmp_path / name).write_bytes(b"!<arch>\n" + name.encode())
        archives.append(str(tmp_path / name))
    args = argparse.Namespace(version="0.1.0", extension=str(tmp_path / EXT),
                              library=str(tmp_path / "core_fips.libs" / library), awslc_prefix=str(tmp_path),
                              origin="bundle" if kind == "sdist-bundle" else "package", gcc_version="10.2.1",
                              static=archives)
    files = {n: (tmp_path / n).read_bytes() for n in (EXT, f"core_fips.libs/{library}")}
    files[f"{INFO}/{check.SBOM}"] = sbom.text(sbom.document(args)).encode()
    return files, f"core_fips.libs/{library}"


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
    if kind in RECORDS:  # the wheel's description says the same, from the same record
        said = backend.library_paragraph((tmp_path / "share/core-fips/awslc-source.txt").read_text())
        assert said.replace("**", "").endswith(awslc["description"]) and RECORDS[kind] in said
    if kind == "incomplete-tree":
        assert {"name": "core-fips:missing", "value": "crypto/a_test.cc ssl/b_test.cc"} in awslc["properties"]
        assert {"name": "core-fips:added-flags", "value": "-fno-tree-slp-vectorize"} in awslc["properties"]
        assert "`-Bsymbolic` and `-fno-tree-slp-vectorize` added" in said and NOTE in awslc["description"]
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
    args = argparse.Namespace(version="0.1.0", extension=str(tmp_path / EXT), awslc_prefix=str(tmp_path),
                              library=str(tmp_path / "core_fips.libs" / PINS["FIPS_LIBRARY"]), origin="package",
                              gcc_version=None, static=[])
    assert sbom.document(args)["components"][1]["hashes"][0]["content"] == (
        tmp_path / "share/core-fips/library.sha256").read_text().strip()
    (tmp_path / "core_fips.libs" / PINS["FIPS_LIBRARY"]).write_bytes(b"\x7fELF swapped")
    with pytest.raises(SystemExit, match="is not the library built in"):
        sbom.document(args)
    (tmp_path / "share/core-fips/awslc-source.txt").unlink()
    with pytest.raises(SystemExit, match="no record of its AWS-LC-FIPS source"):
        sbom.document(args)
