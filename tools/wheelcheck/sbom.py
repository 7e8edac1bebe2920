"""The wheel's SBOM (.dist-info/sboms/core_fips.cdx.json, written by setup/sbom.py): CycloneDX
1.6 JSON, valid under CycloneDX's own schema (sbom_schema.py), then checked for what a schema
cannot say, against what the wheel ships: every component there, each hash the SHA-256 of the
shipped file (or of the archive linked in), the library's version and source as setup/pins and the
build recorded them, a certification-report reference on a library the build verified from the
AWS-LC-FIPS zip and compiled without a code-generation flag and on nothing else, and the
cryptographic inventory (setup/cbom.py) certified on that library only. No ELF reader needed."""
import hashlib
import json
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "setup"))
import awslc_record  # noqa: E402
import pins as pins_file  # noqa: E402
import cbom  # noqa: E402
from sbom import serial_of, text  # noqa: E402,F401  (the writer's own; text for the plants)

sys.path.insert(0, str(Path(__file__).resolve().parent))
from sbom_schema import SchemaUnavailable, schema_problems  # noqa: E402,F401  (SchemaUnavailable for layout.py)

SBOM = "sboms/core_fips.cdx.json"
TOP = ("metadata", "components", "dependencies")  # what the schema leaves optional and we rely on
CERT = "certification-report"
PINS = pins_file.load()
CERTIFICATE_URL = PINS["FIPS_CERTIFICATE_URL"]
SHIPPED = ("bom-ref", "version", "licenses", "hashes")  # what each component of the wheel must have
ASSET = "cryptographic-asset"


def structure_problems(bom, schema=True):
    """The document against CycloneDX 1.6's schema (SCHEMA false: not checked here), then what a
    schema cannot say: no time stamp (the SBOM must be reproducible), the fields the other checks
    read present, the bom-refs unique and every one a dependency names defined."""
    if not isinstance(bom, dict):
        return ["not a JSON object"]
    try:
        out = schema_problems(bom) if schema else []
    except SchemaUnavailable as e:
        return [str(e)]
    if out:
        return out
    if bom.get("bomFormat") != "CycloneDX" or bom.get("specVersion") != "1.6":
        out.append(f"not CycloneDX 1.6 ({bom.get('bomFormat')} {bom.get('specVersion')})")
    for k in TOP:
        if k not in bom:
            out.append(f"no {k}")
    meta = bom.get("metadata", {})
    if set(meta) != {"component"}:
        out.append(f"metadata: holds {sorted(meta)}, not the component alone"
                   + (" (a time stamp: the SBOM must be reproducible)" if "timestamp" in meta else ""))
    comps = bom.get("components", [])
    for i, c in enumerate(comps):
        for k in ("bom-ref",) if c.get("type") == ASSET else SHIPPED:
            if not c.get(k):
                out.append(f"components[{i}]: no {k}")
    refs = [c.get("bom-ref") for c in comps] + [meta.get("component", {}).get("bom-ref")]
    if len(set(refs)) != len(refs):
        out.append("bom-ref values are not unique")
    for i, d in enumerate(bom.get("dependencies", [])):
        if not all(r in refs for r in [d["ref"], *d.get("dependsOn", []), *d.get("provides", [])]):
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


def sbom_problems(files, info, ext, lib, version, source_record=None, source_deb_sha=None, static=None,
                  schema=True):
    """Every reason to refuse the wheel's SBOM, given the wheel's FILES (name -> bytes), its
    .dist-info folder INFO, the extension EXT and library LIB paths in it, the wheel's VERSION;
    SOURCE_RECORD: the verified AWS-LC-FIPS source's record (source.txt) it was built from;
    SOURCE_DEB_SHA: the SHA-256 of the pinned AWS-LC package it was built from; STATIC: whether the
    extension has libstdc++ linked in (it does not need libstdc++.so.6); SCHEMA: whether to
    validate against CycloneDX's schema here."""
    name = f"{info}/{SBOM}"
    if name not in files:
        return []  # the layout check names it missing
    try:
        bom = json.loads(files[name])
    except ValueError as e:
        return [f"{name}: not JSON: {e}"]
    out = [f"{name}: {p}" for p in structure_problems(bom, schema)]
    if out:
        return out
    pins = pins_file.load()
    if bom["serialNumber"] != serial_of(bom):
        out.append(f"{name}: serialNumber is not the one derived from the content (edited after it was written?)")
    meta = bom["metadata"]["component"]
    if (meta["name"], meta["version"]) != ("core-fips", version):
        out.append(f"{name}: describes {meta['name']} {meta['version']}, not core-fips {version}")
    by_ref = {c["bom-ref"]: c for c in bom["components"] if c["type"] != ASSET}
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
    codegen = [f for f in awslc_props.get("core-fips:added-flags", "").split() if not f.startswith(awslc_record.WARNING_ONLY)]
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
    out += [f"{name}: {p}" for p in inventory_problems(bom, validated)]
    for ref in ("libstdc++", "libgcc"):
        if ref in by_ref and static:
            gcc = set(re.findall(rb"GCC: \([^)]*\) (\d+\.\d+\.\d+)", ext_data))
            if by_ref[ref]["version"].encode() not in gcc:
                out.append(f"{name}: {ref} {by_ref[ref]['version']} is not the GCC the extension names "
                           f"({', '.join(sorted(v.decode() for v in gcc)) or 'none'})")
    return out


def inventory_problems(bom, validated):
    """The cryptographic inventory: exactly setup/cbom.py's assets for a library that is (VALIDATED)
    or is not the validated module, provided by AWS-LC; a certification level only on the validated
    module, and never on the RSA-OAEP wrap, whatever the table says."""
    out = []
    found = [c for c in bom["components"] if c["type"] == ASSET]
    for c in found:
        levels = c.get("cryptoProperties", {}).get("algorithmProperties", {}).get("certificationLevel", [])
        if levels != [cbom.UNCERTIFIED] and (not validated or c["cryptoProperties"]["algorithmProperties"].get("padding") == "oaep"):
            out.append(f"inventory: {c['name']} claims certification level {levels}, but "
                       + ("no certificate covers this build" if not validated else "RSA-OAEP is not an approved service"))
    if found != cbom.assets(validated):
        out.append("inventory: the cryptographic-asset components are not setup/cbom.py's for this library "
                   f"({'the validated module' if validated else 'no certificate'})")
    provided = [r for d in bom["dependencies"] if d["ref"] == "aws-lc" for r in d.get("provides", [])]
    if provided != [c["bom-ref"] for c in found] or not found:
        out.append("inventory: AWS-LC does not provide exactly the cryptographic assets (dependencies[].provides)")
    return out
