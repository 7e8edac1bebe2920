#!/usr/bin/env python3
"""Writes the wheel's SBOM (PEP 770: .dist-info/sboms/), CycloneDX 1.6 JSON, from setup/pins and
the build's own records. Run by CMake's install step, after the files it describes are installed:

  sbom.py OUT --version V --extension FILE --library FILE --awslc-prefix DIR --origin package|bundle
          [--gcc-version V --static ARCHIVE...]

Components, each with version, licence and the SHA-256 of what ships: the extension; AWS-LC's
library, which must be the one built in DIR (its SHA-256 the one recorded there), with the source it
was built from (Debian's package, or the AWS-LC-FIPS zip, or a tree, complete or not, as the build
recorded it; setup/awslc_record.py reads the record, and the wheel's description says the same
words); and, when linked in (--static), libstdc++ and libgcc, hashed as the archives the link took.
Only a library built from the verified zip carries a certification-report reference. No time
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


def awslc_component(pins, library, prefix, origin):
    lib = Path(library).name
    comp = {"type": "library", "bom-ref": "aws-lc", "name": "aws-lc"}
    refs = []
    if lib == pins["DEBIAN_AWSLC_LIBRARY"]:
        comp["version"] = pins["DEBIAN_AWSLC_VERSION"]
        deb, ver = pins["DEBIAN_AWSLC_DEB"], pins["DEBIAN_AWSLC_DEB_VERSION"]
        where = (f"the files of Debian's {deb} {ver} that its FIPS build reads, bundled in the sdist"
                 if origin == "bundle" else f"Debian's {deb} {ver}")
        comp["description"] = (f"AWS-LC {comp['version']} built with FIPS=1 from {where}: AWS-LC's FIPS code "
                               "path, not a validated module; no certificate covers this build")
        ancestor = {"type": "library", "bom-ref": "aws-lc-source", "name": deb, "version": ver,
                    "purl": f"pkg:deb/debian/{deb}@{ver.replace('+', '%2B')}",
                    "hashes": [{"alg": "SHA-256", "content": pins["DEBIAN_AWSLC_DEB_SHA256"]}]}
        props = [prop("source", "debian-package" if origin == "package" else "sdist-bundle")]
    elif lib == pins["FIPS_LIBRARY"]:
        comp["version"] = pins["FIPS_VERSION"]
        record = awslc_record.read(prefix)
        if record is None:
            raise SystemExit(f"sbom.py: {prefix} holds no record of its AWS-LC-FIPS source "
                             f"(share/core-fips/{awslc_record.SOURCE_RECORD}): rebuild it with setup/build-awslc.sh")
        kind, missing, tag = record.kind, record.missing, pins["FIPS_TAG"]
        ancestor = {"type": "library", "bom-ref": "aws-lc-source", "name": "aws-lc", "version": tag,
                    "purl": f"pkg:github/aws/aws-lc@{tag}"}
        props = [prop("source", kind)]
        # The words of the wheel's description (backend/core_fips_build.py), from the same record.
        comp["description"] = awslc_record.plain(awslc_record.statement(record, pins))
        if kind == ZIP:
            ancestor["hashes"] = [{"alg": "SHA-256", "content": pins["FIPS_ZIP_SHA256"]}]
            n = pins["FIPS_CERTIFICATE"]
            refs.append({"type": "certification-report", "url": pins["FIPS_CERTIFICATE_URL"],
                         "comment": CERTIFICATE_SCOPE.format(n=n)})
        elif kind == TREE:
            ancestor["properties"] = [prop("git-tree", pins["FIPS_TREE_ID"])]
        else:
            props.append(prop("missing", " ".join(missing)))
        if record.flags:
            props.append(prop("added-flags", " ".join(record.flags)))
    else:
        raise SystemExit(f"sbom.py: {lib} is neither {pins['DEBIAN_AWSLC_LIBRARY']} nor {pins['FIPS_LIBRARY']} (setup/pins)")
    comp["licenses"] = [{"expression": AWSLC_LICENSE}]
    try:
        comp["hashes"] = [{"alg": "SHA-256", "content": awslc_record.checked_library(prefix, library)}]
    except (OSError, ValueError) as e:
        raise SystemExit(f"sbom.py: {e}") from None
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
        awslc_component(pins, args.library, args.awslc_prefix, args.origin),
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
    ap.add_argument("--origin", choices=("package", "bundle"), required=True)
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
