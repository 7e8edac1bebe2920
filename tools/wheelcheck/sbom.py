"""The wheel's SBOM (.dist-info/sboms/core_fips.cdx.json, written by setup/sbom.py): CycloneDX
1.6 JSON, checked strictly for the fields we emit (Debian packages no CycloneDX schema or
validator), then against what the wheel ships: every component there, each hash the SHA-256 of the
shipped file (or of the archive linked in), the library's version and source as setup/pins and the
build recorded them, and a certification-report reference on a library the build verified from the
AWS-LC-FIPS zip and compiled without a code-generation flag, and on nothing else. Standard library only (no ELF reader needed)."""
import hashlib
import json
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "setup"))
import awslc_record  # noqa: E402
import pins as pins_file  # noqa: E402
from sbom import serial_of, text  # noqa: E402,F401  (the writer's own; text for the plants)

SBOM = "sboms/core_fips.cdx.json"
TOP = {"bomFormat", "specVersion", "serialNumber", "version", "metadata", "components", "dependencies"}
COMPONENT = {"type", "bom-ref", "name", "version", "description", "licenses", "hashes", "purl",
             "externalReferences", "properties", "pedigree"}
TYPES = {"application", "framework", "library", "container", "platform", "operating-system", "device",
         "device-driver", "firmware", "file", "machine-learning-model", "data", "cryptographic-asset"}
ALGS = {"MD5", "SHA-1", "SHA-256", "SHA-384", "SHA-512", "SHA3-256", "SHA3-384", "SHA3-512",
        "BLAKE2b-256", "BLAKE2b-384", "BLAKE2b-512", "BLAKE3"}
REF_TYPES = {"vcs", "issue-tracker", "website", "advisories", "bom", "mailing-list", "social", "chat",
             "documentation", "support", "source-distribution", "distribution", "distribution-intake",
             "license", "build-meta", "build-system", "release-notes", "security-contact", "model-card", "log",
             "configuration", "evidence", "formulation", "attestation", "threat-model", "adversary-model",
             "risk-assessment", "vulnerability-assertion", "exploitability-statement", "pentest-report",
             "static-analysis-report", "dynamic-analysis-report", "runtime-analysis-report",
             "component-analysis-report", "maturity-report", "certification-report", "codified-infrastructure",
             "quality-metrics", "poam", "electronic-signature", "digital-signature", "rfc-9116", "other"}
HEX = re.compile(r"[0-9a-f]{32}|[0-9a-f]{40}|[0-9a-f]{64}|[0-9a-f]{96}|[0-9a-f]{128}")
SERIAL = re.compile(r"urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-[1-5][0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
CERT = "certification-report"
PINS = pins_file.load()
CERTIFICATE_URL = PINS["FIPS_CERTIFICATE_URL"]


def _strings(obj, where, keys, out):
    for k in keys:
        if k in obj and not (isinstance(obj[k], str) and obj[k]):
            out.append(f"{where}.{k}: not a non-empty string")


SHIPPED = ("bom-ref", "version", "licenses", "hashes")  # what each component of the wheel must have


def _component(c, where, out, need=SHIPPED):
    """Structural problems of one component (CycloneDX 1.6's component, the parts we use); NEED:
    the fields it must have besides type and name."""
    if not isinstance(c, dict):
        return out.append(f"{where}: not an object")
    for k in sorted(set(c) - COMPONENT):
        out.append(f"{where}: unexpected field {k!r}")
    for k in ("type", "name") + tuple(need):
        if k not in c:
            out.append(f"{where}: no {k}")
    if c.get("type") not in TYPES:
        out.append(f"{where}.type: {c.get('type')!r} is not a CycloneDX component type")
    _strings(c, where, ("bom-ref", "name", "version", "description", "purl"), out)
    lic = c.get("licenses", [])
    if not isinstance(lic, list) or ("licenses" in need and not lic):
        out.append(f"{where}.licenses: not a non-empty list")
    else:
        for i, item in enumerate(lic):
            ok = isinstance(item, dict) and (
                set(item) == {"expression"} and isinstance(item["expression"], str) and len(lic) == 1 or
                set(item) == {"license"} and isinstance(item["license"], dict) and len(item["license"]) == 1 and
                isinstance(item["license"].get("id", item["license"].get("name")), str))
            if not ok:
                out.append(f"{where}.licenses[{i}]: neither one {{expression}} nor a {{license: {{id|name}}}}")
    hashes = c.get("hashes", [])
    if not isinstance(hashes, list) or ("hashes" in need and not hashes):
        out.append(f"{where}.hashes: not a non-empty list")
    else:
        for i, h in enumerate(hashes):
            if not (isinstance(h, dict) and set(h) == {"alg", "content"} and h["alg"] in ALGS
                    and isinstance(h["content"], str) and HEX.fullmatch(h["content"])):
                out.append(f"{where}.hashes[{i}]: not {{alg, content}} with a known algorithm and a hex digest")
    for i, r in enumerate(c.get("externalReferences", [])):
        if not (isinstance(r, dict) and {"type", "url"} <= set(r) <= {"type", "url", "comment", "hashes"}
                and r["type"] in REF_TYPES and isinstance(r["url"], str) and r["url"]):
            out.append(f"{where}.externalReferences[{i}]: not {{type, url[, comment]}} with a CycloneDX type")
    for i, p in enumerate(c.get("properties", [])):
        if not (isinstance(p, dict) and set(p) == {"name", "value"} and all(isinstance(v, str) for v in p.values())):
            out.append(f"{where}.properties[{i}]: not {{name, value}} strings")
    if "pedigree" in c:
        ped = c["pedigree"]
        if not (isinstance(ped, dict) and set(ped) == {"ancestors"} and isinstance(ped["ancestors"], list)
                and ped["ancestors"]):
            out.append(f"{where}.pedigree: not {{ancestors: [...]}}")
        else:
            for i, a in enumerate(ped["ancestors"]):
                _component(a, f"{where}.pedigree.ancestors[{i}]", out, need=("version",))


def structure_problems(bom):
    """Strict structural problems of the document: CycloneDX 1.6 as we emit it."""
    out = []
    if not isinstance(bom, dict):
        return ["not a JSON object"]
    for k in sorted(TOP - set(bom)):
        out.append(f"no {k}")
    for k in sorted(set(bom) - TOP):
        out.append(f"unexpected field {k!r}" + (" (a time stamp: the SBOM must be reproducible)" if "time" in k else ""))
    if bom.get("bomFormat") != "CycloneDX" or bom.get("specVersion") != "1.6":
        out.append(f"not CycloneDX 1.6 ({bom.get('bomFormat')} {bom.get('specVersion')})")
    if not (isinstance(bom.get("version"), int) and bom["version"] >= 1):
        out.append("version: not a positive integer")
    if not SERIAL.fullmatch(str(bom.get("serialNumber"))):
        out.append(f"serialNumber {bom.get('serialNumber')!r} is not an urn:uuid")
    meta = bom.get("metadata")
    if not isinstance(meta, dict) or set(meta) != {"component"}:
        out.append(f"metadata: holds {sorted(meta) if isinstance(meta, dict) else meta!r}, not the component alone"
                   + (" (a time stamp: the SBOM must be reproducible)" if isinstance(meta, dict) and "timestamp" in meta else ""))
    else:
        _component(meta["component"], "metadata.component", out, need=("bom-ref", "version", "licenses"))
    comps = bom.get("components")
    if not isinstance(comps, list) or not comps:
        out.append("components: not a non-empty list")
        comps = []
    for i, c in enumerate(comps):
        _component(c, f"components[{i}]", out)
    refs = [c.get("bom-ref") for c in comps if isinstance(c, dict)]
    refs += [meta["component"].get("bom-ref")] if isinstance(meta, dict) and isinstance(meta.get("component"), dict) else []
    if len(set(refs)) != len(refs):
        out.append("bom-ref values are not unique")
    for i, d in enumerate(bom.get("dependencies") or []):
        if not (isinstance(d, dict) and set(d) <= {"ref", "dependsOn"} and d.get("ref") in refs
                and all(r in refs for r in d.get("dependsOn", []))):
            out.append(f"dependencies[{i}]: refers to a bom-ref the document does not define")
    return out


def _props(c):
    return {p["name"]: p["value"] for p in c.get("properties", []) if isinstance(p, dict) and "name" in p}


def _sha(c):
    return next((h.get("content") for h in c.get("hashes", []) if isinstance(h, dict) and h.get("alg") == "SHA-256"), None)


def _refs(obj, kind):
    """Every external reference of KIND anywhere in OBJ."""
    if isinstance(obj, dict):
        here = [r for r in obj.get("externalReferences", []) if isinstance(r, dict) and r.get("type") == kind]
        return here + [r for v in obj.values() for r in _refs(v, kind)]
    if isinstance(obj, list):
        return [r for v in obj for r in _refs(v, kind)]
    return []


def sbom_problems(files, info, ext, lib, version, source_record=None, source_deb_sha=None, static=None):
    """Every reason to refuse the wheel's SBOM, given the wheel's FILES (name -> bytes), its
    .dist-info folder INFO, the extension EXT and library LIB paths in it, the wheel's VERSION;
    SOURCE_RECORD: the verified AWS-LC-FIPS source's record (source.txt) it was built from;
    SOURCE_DEB_SHA: the SHA-256 of the pinned AWS-LC package it was built from; STATIC: whether the
    extension has libstdc++ linked in (it does not need libstdc++.so.6)."""
    name = f"{info}/{SBOM}"
    if name not in files:
        return []  # the layout check names it missing
    try:
        bom = json.loads(files[name])
    except ValueError as e:
        return [f"{name}: not JSON: {e}"]
    out = [f"{name}: {p}" for p in structure_problems(bom)]
    if out:
        return out
    pins = pins_file.load()
    if bom["serialNumber"] != serial_of(bom):
        out.append(f"{name}: serialNumber is not the one derived from the content (edited after it was written?)")
    meta = bom["metadata"]["component"]
    if (meta["name"], meta["version"]) != ("core-fips", version):
        out.append(f"{name}: describes {meta['name']} {meta['version']}, not core-fips {version}")
    by_ref = {c["bom-ref"]: c for c in bom["components"]}
    ext_data, lib_data = files.get(ext, b""), files.get(lib, b"")
    # An extension that does not need libstdc++.so.6 has it linked in, with libgcc's archive.
    if static is None:
        static = b"libstdc++.so.6" not in ext_data
    want = ["extension", "aws-lc"] + (["libstdc++", "libgcc"] if static else [])
    for ref in want:
        if ref not in by_ref:
            out.append(f"{name}: no {ref} component")
    for ref in sorted(set(by_ref) - set(want)):
        out.append(f"{name}: a component {ref!r} the wheel does not ship")
    if "extension" in by_ref:
        c = by_ref["extension"]
        if _sha(c) != hashlib.sha256(ext_data).hexdigest():
            out.append(f"{name}: the extension's SHA-256 is not that of {ext}")
        if c["version"] != version:
            out.append(f"{name}: the extension's version {c['version']} is not the wheel's {version}")
    lib_name = lib.rsplit("/", 1)[-1]
    if "aws-lc" in by_ref:
        c = by_ref["aws-lc"]
        props = _props(c)
        if _sha(c) != hashlib.sha256(lib_data).hexdigest():
            out.append(f"{name}: AWS-LC's SHA-256 is not that of {lib}")
        if props.get("core-fips:file") != lib:
            out.append(f"{name}: AWS-LC's file is {props.get('core-fips:file')}, not {lib}")
        fips = lib_name == pins["FIPS_LIBRARY"]
        pinned = pins["FIPS_VERSION" if fips else "DEBIAN_AWSLC_VERSION"]
        if c["version"] != pinned:
            out.append(f"{name}: AWS-LC's version is {c['version']}, but {lib_name} is AWS-LC {pinned} (setup/pins)")
        ancestors = c.get("pedigree", {}).get("ancestors", [])
        kind = props.get("core-fips:source")
        if not ancestors:
            out.append(f"{name}: AWS-LC's source (pedigree.ancestors) is not named")
        elif not fips:
            a = ancestors[0]
            if (a.get("name"), a.get("version"), _sha(a)) != (pins["DEBIAN_AWSLC_DEB"], pins["DEBIAN_AWSLC_DEB_VERSION"],
                                                           pins["DEBIAN_AWSLC_DEB_SHA256"]):
                out.append(f"{name}: AWS-LC's source is {a.get('name')} {a.get('version')} (SHA-256 {_sha(a)}), "
                           f"not the pinned {pins['DEBIAN_AWSLC_DEB']} {pins['DEBIAN_AWSLC_DEB_VERSION']}")
            if source_deb_sha is not None and _sha(a) != source_deb_sha:
                out.append(f"{name}: AWS-LC's source SHA-256 is not that of the package it was built from")
            if kind not in (awslc_record.DEBIAN_PACKAGE, awslc_record.SDIST_BUNDLE):
                out.append(f"{name}: AWS-LC's source kind {kind!r} is not Debian's package or the sdist's bundle")
        else:
            a = ancestors[0]
            fips_claims = (awslc_record.ZIP, awslc_record.TREE, awslc_record.INCOMPLETE, awslc_record.ELSEWHERE)
            if kind not in fips_claims:
                out.append(f"{name}: AWS-LC-FIPS's source kind {kind!r} is not one of {', '.join(fips_claims)}")
            if kind == "verified-zip" and _sha(a) != pins["FIPS_ZIP_SHA256"]:
                out.append(f"{name}: the zip's SHA-256 is not the Security Policy's (setup/pins)")
            said = c.get("description", "").lower()
            if kind == "incomplete-tree" and not (props.get("core-fips:missing") and "incomplete tree" in said
                                                  and "not the verified source" in said):
                out.append(f"{name}: an incomplete tree without its missing files and that it is not the verified source")
            if source_record is not None:
                try:
                    recorded = awslc_record.Record(source_record).kind
                except ValueError as e:
                    recorded = f"unreadable ({e})"
                # A library built elsewhere names what its record says, beside its claim.
                said_kind = props.get("core-fips:recorded-source") if kind == awslc_record.ELSEWHERE else kind
                if said_kind != recorded:
                    out.append(f"{name}: AWS-LC-FIPS's source is {said_kind}, but the build's record says {recorded}")
            if kind == awslc_record.ELSEWHERE and "built elsewhere, not verified by this build" not in said:
                out.append(f"{name}: a library built elsewhere not described as built elsewhere, not verified by this build")
    # The certificate applies to the module this build verified from the zip and compiled with the
    # Security Policy's code generation, and to nothing else.
    certs = _refs(bom, CERT)
    awslc_props = _props(by_ref["aws-lc"]) if "aws-lc" in by_ref else {}
    codegen = [f for f in awslc_props.get("core-fips:added-flags", "").split() if not f.startswith("-W")]
    validated = (lib_name == pins["FIPS_LIBRARY"] and awslc_props.get("core-fips:source") == awslc_record.ZIP
                 and not codegen)
    if certs and not validated:
        out.append(f"{name}: a {CERT} reference on a library not verified from the {pins['FIPS_TAG']} zip and "
                   f"compiled as its Security Policy says by this build ({lib_name}"
                   f"{', with ' + ' '.join(codegen) if codegen else ''}): no certificate covers this build")
    if codegen and awslc_props.get("core-fips:source") == awslc_record.ZIP and \
            "code-generation flag the security policy's build does not use" not in by_ref["aws-lc"].get("description", "").lower():
        out.append(f"{name}: a build with {' '.join(codegen)} not described as using a code-generation flag the "
                   "Security Policy's build does not use")
    if validated:
        ok = [r for r in _refs(by_ref["aws-lc"], CERT) if r.get("url") == pins["FIPS_CERTIFICATE_URL"]
              and "operational environments" in r.get("comment", "")]
        if len(ok) != 1 or len(certs) != 1:
            out.append(f"{name}: the validated module needs exactly one {CERT} reference, to certificate "
                       f"#{pins['FIPS_CERTIFICATE']} with its operational-environment caveat")
    for ref in ("libstdc++", "libgcc"):
        if ref in by_ref and static:
            gcc = set(re.findall(rb"GCC: \([^)]*\) (\d+\.\d+\.\d+)", ext_data))
            if by_ref[ref]["version"].encode() not in gcc:
                out.append(f"{name}: {ref} {by_ref[ref]['version']} is not the GCC the extension names "
                           f"({', '.join(sorted(v.decode() for v in gcc)) or 'none'})")
    return out
