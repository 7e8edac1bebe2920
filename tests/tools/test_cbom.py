"""The SBOM's cryptographic inventory (setup/cbom.py) as each build writes it, CycloneDX's own
schema over the whole document (tools/wheelcheck/sbom_schema.py), and what the SBOM check refuses
of an inventory that claims more than the library has."""
import json
import os
from pathlib import Path

import pytest
from test_sbom import INFO, KINDS, PINS, check, edited, problems, wheel_files

schema = check.schema_problems
# Read from the Security Policy of certificate #5298: its approved algorithms among those we run.
APPROVED = {"SHA-384", "AES-256-GCM", "ML-KEM-768", "ML-KEM-1024", "CTR_DRBG-AES-256"}
OIDS = {"SHA-384": "2.16.840.1.101.3.4.2.2", "AES-256-GCM": "2.16.840.1.101.3.4.1.46",
        "RSA-OAEP-SHA-256-MGF1-SHA-256": "1.2.840.113549.1.1.7", "ML-KEM-768": "2.16.840.1.101.3.4.4.2",
        "ML-KEM-1024": "2.16.840.1.101.3.4.4.3", "CTR_DRBG-AES-256": None}


def bom_of(files):
    return json.loads(files[f"{INFO}/{check.SBOM}"])


@pytest.mark.parametrize("kind", KINDS)
def test_inventory_certified_only_on_the_verified_zip_and_never_for_rsa_oaep(tmp_path, kind):
    files, lib = wheel_files(tmp_path, kind)
    bom = bom_of(files)
    assert schema(bom) == [] and problems(files, lib) == []
    assets = {c["name"]: c for c in bom["components"] if c["type"] == "cryptographic-asset"}
    assert {n: c["cryptoProperties"].get("oid") for n, c in assets.items()} == OIDS
    levels = {n: c["cryptoProperties"]["algorithmProperties"]["certificationLevel"] for n, c in assets.items()}
    certified = {n for n, level in levels.items() if level == ["fips140-3-l1"]}
    assert certified == (APPROVED if kind == "verified-zip" else set())
    assert {n for n, level in levels.items() if level == ["none"]} == set(OIDS) - certified
    provides = [d for d in bom["dependencies"] if d["ref"] == "aws-lc"]
    assert len(provides) == 1 and set(provides[0]["provides"]) == {c["bom-ref"] for c in assets.values()}
    rsa = assets["RSA-OAEP-SHA-256-MGF1-SHA-256"]["cryptoProperties"]["algorithmProperties"]
    assert (rsa["padding"], rsa["primitive"]) == ("oaep", "pke")
    # What the module calls each asset through is named, for a reviewer to find in src/core/.
    calls = {n: {p["name"]: p["value"] for p in c["properties"]} for n, c in assets.items()}
    assert "RAND_bytes" in calls["CTR_DRBG-AES-256"]["core-fips:library-functions"]
    assert "EVP_aead_aes_256_gcm_randnonce" in calls["AES-256-GCM"]["core-fips:library-functions"]


@pytest.mark.parametrize("kind", ["debian-package", "verified-zip"])
def test_an_inventory_claiming_more_than_the_library_has_is_refused(tmp_path, kind):
    files, lib = wheel_files(tmp_path, kind)

    def asset(bom, name):
        return next(c for c in bom["components"] if c.get("name") == name)

    def level(name, value):
        def change(bom):
            asset(bom, name)["cryptoProperties"]["algorithmProperties"]["certificationLevel"] = [value]
        return change

    def drop_mlkem_1024(bom):
        bom["components"].remove(asset(bom, "ML-KEM-1024"))
        for d in bom["dependencies"]:
            if "provides" in d:
                d["provides"].remove("crypto-ml-kem-1024")

    plants = {
        "RSA-OAEP certified": (level("RSA-OAEP-SHA-256-MGF1-SHA-256", "fips140-3-l1"), "claims certification level"),
        "an asset dropped": (drop_mlkem_1024, "not setup/cbom.py's"),
        "AWS-LC providing nothing": (lambda b: [d.pop("provides", None) for d in b["dependencies"]], "provide exactly"),
    }
    if kind == "verified-zip":
        plants["SHA-384 left uncertified on the validated module"] = (level("SHA-384", "none"), "not setup/cbom.py's")
    else:
        plants["SHA-384 certified on Debian's build"] = (level("SHA-384", "fips140-3-l1"), "no certificate covers")
    for what, (change, word) in plants.items():
        found = problems(edited(files, change), lib)
        assert any(word in p for p in found), (what, found)


def test_the_schema_refuses_what_cyclonedx_does_not_define(tmp_path):
    files, _ = wheel_files(tmp_path, "verified-zip")
    bom = bom_of(files)
    assert schema(bom) == []

    def crypto(b):
        return next(c for c in b["components"] if c["type"] == "cryptographic-asset")["cryptoProperties"]

    plants = {
        "an asset type": (lambda b: crypto(b).update(assetType="cipher"), "assetType"),
        "a certification level": (lambda b: crypto(b)["algorithmProperties"].update(certificationLevel=["fips140-3"]),
                                  "certificationLevel"),
        "a field a component cannot have": (lambda b: b["components"][0].update(checksum="x"), "components[0]"),
        "a licence id SPDX does not know (the referenced schema)":
            (lambda b: b["components"][0].update(licenses=[{"license": {"id": "Apache-2.1"}}]), "licenses"),
        "a dependency with a key of its own": (lambda b: b["dependencies"][0].update(implements=["x"]), "dependencies[0]"),
    }
    for what, (change, word) in plants.items():
        planted = json.loads(json.dumps(bom))
        change(planted)
        found = schema(planted)
        assert found and all("CycloneDX 1.6 schema" in p for p in found) and any(word in p for p in found), (what, found)


def test_the_schema_is_read_from_the_checkout_only(tmp_path, monkeypatch):
    """A reference the copies cannot resolve is a refusal; nothing is fetched to resolve it."""
    files, lib = wheel_files(tmp_path, "debian-package")
    copies = tmp_path / "schemas"
    copies.mkdir()
    for name in ("bom-1.6.schema.json", "jsf-0.82.schema.json"):  # the SPDX list elsewhere
        (copies / name).write_bytes((check.schema_problems.__globals__["SCHEMAS"] / name).read_bytes())
    (copies / "spdx.schema.json").write_text(json.dumps({"$schema": "http://json-schema.org/draft-07/schema#",
                                                          "$id": "http://example.invalid/spdx.json"}))
    monkeypatch.setitem(check.schema_problems.__globals__, "SCHEMAS", copies)
    found = problems(files, lib)
    assert len(found) == 1 and "cannot resolve (nothing is fetched)" in found[0] and "spdx" in found[0], found


@pytest.mark.parametrize("kind", ["debian-package", "verified-zip"])
def test_the_demo_calls_only_the_mlkem_envelope_approved_and_only_on_the_validated_module(tmp_path, kind, capsys):
    pytest.importorskip("_core_fips", reason="the demo needs the module built")
    from project import load
    demo = load("demo", "examples/demo.py")
    files, _ = wheel_files(tmp_path, kind)
    bom = bom_of(files)
    assets = {c["name"]: (c["cryptoProperties"]["algorithmProperties"]["certificationLevel"][0], "")
              for c in bom["components"] if c["type"] == "cryptographic-asset"}
    demo.approved_paths({**assets, "library": "a library"})
    said = dict(line.split(": ", 1) for line in capsys.readouterr().out.splitlines() if line.startswith("encrypt"))
    assert said["encrypt (RSA envelope)"].startswith("not an approved service as a whole")
    validated = said["encrypt_mlkem (ML-KEM-1024 envelope)"] == "every step an approved service of the validated module"
    assert validated == (kind == "verified-zip"), said


def test_the_demo_reads_a_checkouts_library_as_uncertified_whatever_its_record_says(tmp_path):
    """A build tree has no installed SBOM: the demo asks the SBOM writer about the prefix the
    setup built, which earns no certificate even with a record of the verified zip."""
    pytest.importorskip("_core_fips", reason="the demo needs the module built")
    from project import load
    from test_claim import fake_prefix
    demo = load("demo", "examples/demo.py")
    prefix = fake_prefix(tmp_path / "prefix")
    library = next((prefix / "lib").iterdir())
    found = demo.inventory(prefix, library)
    levels = {name: said[0] for name, said in found.items() if name != "library"}
    assert len(levels) == 6 and set(levels.values()) == {"none"}, levels
    assert "built elsewhere, not verified by this build" in found["library"], found["library"]
    debian = os.environ.get("CORE_FIPS_AWSLC")
    if debian and (Path(debian) / "share/core-fips/library.sha256").is_file():  # the setup's Debian build
        found = demo.inventory(debian)
        assert found["library"].startswith(f"AWS-LC {PINS['DEBIAN_AWSLC_VERSION']}") and "not a validated module" in found["library"], found
