#!/usr/bin/env python3
"""Writes the wheel's SBOM (PEP 770: .dist-info/sboms/), CycloneDX 1.6 JSON, from setup/pins and
the build's own records. Run by CMake's install step, after the files it describes are installed:

  sbom.py OUT --version V --extension FILE --library FILE --awslc-prefix DIR --claim CLAIM
          --library-sha256 SHA [--gcc-version V --static ARCHIVE...]

Components, each with version, licence and the SHA-256 of what ships: the extension; AWS-LC's
library, which must be the one the configure saw (SHA, which CMake computed) and the one built in
DIR (its SHA-256 the one recorded there), with the source it was built from as CLAIM says: what the
configure did (CMakeLists.txt; setup/awslc_record.py's CLAIMS): Debian's package or the sdist's
bundle of it, AWS-LC-FIPS verified and compiled by this build from the zip or a tree (complete or
not), or AWS-LC-FIPS built elsewhere, whose record in DIR only ever lowers that (the wheel's
description says the same words); and, when linked in (--static), libstdc++ and libgcc, hashed as
the archives the link took. Only a library this build verified from the zip and compiled with the
Security Policy's code generation carries a certification-report reference. No time
stamp, and the serial number is derived from the content: two builds of the same bytes write the
same file.
Standard library only.
"""
import argparse
import hashlib
import json
import sys
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import awslc_record  # noqa: E402
import cbom  # noqa: E402
import pins as pins_file  # noqa: E402

AWSLC_LICENSE = "Apache-2.0 OR ISC"  # AWS-LC's LICENSE, its own SPDX line; older parts keep theirs
GCC_LICENSE = "GPL-3.0-or-later WITH GCC-exception-3.1"
CERTIFICATE_SCOPE = ("FIPS 140-3 certificate #{n} covers this module only in the operational environments it "
                     f"names ({awslc_record.OPERATIONAL_ENVIRONMENTS}); anywhere else the claim is the user's "
                     "to make under the Security Policy")
ZIP, TREE, INCOMPLETE = awslc_record.ZIP, awslc_record.TREE, awslc_record.INCOMPLETE


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def prop(name, value):
    return {"name": f"core-fips:{name}", "value": value}


def awslc_component(pins, library, prefix, claim, library_sha256):
    lib = Path(library).name
    comp = {"type": "library", "bom-ref": "aws-lc", "name": "aws-lc"}
    refs = []
    if claim not in awslc_record.CLAIMS:
        raise SystemExit(f"sbom.py: {claim!r} is not a claim of setup/awslc_record.py")
    if lib == pins["DEBIAN_AWSLC_LIBRARY"]:
        if claim not in (awslc_record.DEBIAN_PACKAGE, awslc_record.SDIST_BUNDLE):
            raise SystemExit(f"sbom.py: {lib} is Debian's AWS-LC, but the build's claim is {claim}")
        comp["version"] = pins["DEBIAN_AWSLC_VERSION"]
        deb, ver = pins["DEBIAN_AWSLC_DEB"], pins["DEBIAN_AWSLC_DEB_VERSION"]
        where = (f"the files of Debian's {deb} {ver} that its FIPS build reads, bundled in the sdist"
                 if claim == awslc_record.SDIST_BUNDLE else f"Debian's {deb} {ver}")
        comp["description"] = (f"AWS-LC {comp['version']} built with FIPS=1 from {where}: AWS-LC's FIPS code "
                               "path, not a validated module; no certificate covers this build")
        ancestor = {"type": "library", "bom-ref": "aws-lc-source", "name": deb, "version": ver,
                    "purl": f"pkg:deb/debian/{deb}@{ver.replace('+', '%2B')}",
                    "hashes": [{"alg": "SHA-256", "content": pins["DEBIAN_AWSLC_DEB_SHA256"]}]}
        props = [prop("source", claim)]
    elif lib == pins["FIPS_LIBRARY"]:
        if claim not in (ZIP, TREE, INCOMPLETE, awslc_record.ELSEWHERE):
            raise SystemExit(f"sbom.py: {lib} is AWS-LC-FIPS, but the build's claim is {claim}")
        comp["version"] = pins["FIPS_VERSION"]
        try:
            record = awslc_record.read(prefix)
        except (OSError, ValueError) as e:
            raise SystemExit(f"sbom.py: {e}") from None
        if record is None:
            raise SystemExit(f"sbom.py: {prefix} holds no record of its AWS-LC-FIPS source "
                             f"(share/core-fips/{awslc_record.SOURCE_RECORD}): rebuild it with setup/build-awslc.sh")
        tag = pins["FIPS_TAG"]
        ancestor = {"type": "library", "bom-ref": "aws-lc-source", "name": "aws-lc", "version": tag,
                    "purl": f"pkg:github/aws/aws-lc@{tag}"}
        props = [prop("source", claim)]
        # The words of the wheel's description (backend/core_fips_build.py), from the same claim.
        try:
            comp["description"] = awslc_record.plain(awslc_record.statement(claim, record, pins))
        except ValueError as e:
            raise SystemExit(f"sbom.py: {e}") from None
        if claim == awslc_record.ELSEWHERE:
            props.append(prop("recorded-source", record.kind))  # what its record says, unchecked
        elif claim == ZIP:
            ancestor["hashes"] = [{"alg": "SHA-256", "content": pins["FIPS_ZIP_SHA256"]}]
        elif claim == TREE:
            ancestor["properties"] = [prop("git-tree", pins["FIPS_TREE_ID"])]
        else:
            props.append(prop("missing", " ".join(record.missing)))
        if awslc_record.certified(claim, record):
            n = pins["FIPS_CERTIFICATE"]
            refs.append({"type": "certification-report", "url": pins["FIPS_CERTIFICATE_URL"],
                         "comment": CERTIFICATE_SCOPE.format(n=n)})
        if record.flags:
            props.append(prop("added-flags", " ".join(record.flags)))
    else:
        raise SystemExit(f"sbom.py: {lib} is neither {pins['DEBIAN_AWSLC_LIBRARY']} nor {pins['FIPS_LIBRARY']} (setup/pins)")
    comp["licenses"] = [{"expression": AWSLC_LICENSE}]
    try:
        digest = awslc_record.checked_library(prefix, library)
    except (OSError, ValueError) as e:
        raise SystemExit(f"sbom.py: {e}") from None
    if digest != library_sha256:
        raise SystemExit(f"sbom.py: {library} is not the library the configure saw (SHA-256 {digest}, then {library_sha256})")
    comp["hashes"] = [{"alg": "SHA-256", "content": digest}]
    comp["pedigree"] = {"ancestors": [ancestor]}
    if refs:
        comp["externalReferences"] = refs
    comp["properties"] = [prop("file", f"core_fips.libs/{lib}")] + props
    return comp


def document(args):
    pins = pins_file.load()
    ext = Path(args.extension)
    components = [
        {"type": "library", "bom-ref": "extension", "name": "_core_fips", "version": args.version,
         "description": "the CPython extension module",
         "licenses": [{"license": {"id": "Apache-2.0"}}],
         "hashes": [{"alg": "SHA-256", "content": sha256(ext)}],
         "properties": [prop("file", ext.name)]},
        awslc_component(pins, args.library, args.awslc_prefix, args.claim, args.library_sha256),
    ]
    linked = []
    for archive in args.static:
        name = {"libstdc++.a": "libstdc++", "libgcc.a": "libgcc"}.get(Path(archive).name)
        if name is None:
            raise SystemExit(f"sbom.py: {archive}: not libstdc++.a or libgcc.a")
        linked.append(name)
        components.append({
            "type": "library", "bom-ref": name, "name": name, "version": args.gcc_version,
            "description": f"GCC {args.gcc_version}'s {name}, linked statically into {ext.name}",
            "licenses": [{"expression": GCC_LICENSE}],
            "hashes": [{"alg": "SHA-256", "content": sha256(archive)}],
            "properties": [prop("linked-into", ext.name), prop("archive", Path(archive).name)]})
    bom = {
        "bomFormat": "CycloneDX", "specVersion": "1.6", "serialNumber": "", "version": 1,
        "metadata": {"component": {"type": "library", "bom-ref": "core-fips", "name": "core-fips",
                                   "version": args.version, "licenses": [{"license": {"id": "Apache-2.0"}}],
                                   "purl": f"pkg:pypi/core-fips@{args.version}"}},
        "components": components,
        "dependencies": [{"ref": "core-fips", "dependsOn": ["extension", "aws-lc"]},
                         {"ref": "extension", "dependsOn": ["aws-lc", *linked]}],
    }
    # The inventory's certification levels follow the certificate this document names on AWS-LC.
    awslc = next(c for c in components if c["bom-ref"] == "aws-lc")
    certified = any(r["type"] == "certification-report" for r in awslc.get("externalReferences", []))
    cbom.add_inventory(bom, "aws-lc", certified)
    bom["serialNumber"] = serial_of(bom)
    return bom


def serial_of(bom):
    """The serial number derived from everything else in the document."""
    body = json.dumps({**bom, "serialNumber": ""}, sort_keys=True).encode()
    return f"urn:uuid:{uuid.uuid5(uuid.NAMESPACE_URL, 'core-fips-sbom:' + hashlib.sha256(body).hexdigest())}"


def text(bom):
    return json.dumps(bom, indent=2, ensure_ascii=False) + "\n"


def main(argv):
    ap = argparse.ArgumentParser(prog="sbom.py")
    ap.add_argument("out")
    ap.add_argument("--version", required=True)
    ap.add_argument("--extension", required=True)
    ap.add_argument("--library", required=True)
    ap.add_argument("--awslc-prefix", required=True)
    ap.add_argument("--claim", choices=awslc_record.CLAIMS, required=True)
    ap.add_argument("--library-sha256", required=True)
    ap.add_argument("--gcc-version")
    ap.add_argument("--static", nargs="*", default=[])
    args = ap.parse_args(argv)
    if args.static and not args.gcc_version:
        ap.error("--static needs --gcc-version")
    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(text(document(args)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
