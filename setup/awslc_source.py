#!/usr/bin/env python3
"""Verifies an AWS-LC-FIPS source (setup/pins) before anything is built from it, and copies exactly the
verified bytes into a folder of the cache (so that what is built is what was checked):

  awslc_source.py verify SOURCE DEST [--allow-missing FILE]
  awslc_source.py self-check

SOURCE is the tag's zip, which must have the SHA-256 its Security Policy names, or an unpacked
tree, each file of which must match the tag's listing (setup/pins' FIPS_LISTING: mode, git blob
id, path), with nothing added. A tree that lacks listed files is refused unless FILE names every
one of them (one per line; the path is the last field, so a `BLOB PATH` list serves too); such a
build is recorded as not from the verified source. DEST/source.txt says which of the two it is.
`self-check` proves that the listing is the tag's own: its git tree id is the tag's.
Every refusal is one line naming the file. Standard library only.
"""
import hashlib
import os
import shutil
import sys
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import pins  # noqa: E402

PINS = pins.load()
LISTING = HERE.parent / PINS["FIPS_LISTING"]
VERSION = PINS["FIPS_VERSION"]
# The Security Policy of the certificate, section 11.1: the zip and its SHA-256.
ZIP_NAME = PINS["FIPS_TAG"] + ".zip"
ZIP_SHA256 = PINS["FIPS_ZIP_SHA256"]
TOP = "aws-lc-" + PINS["FIPS_TAG"]  # the zip's one folder
# The tag's git tree, of which the listing is proved to be the listing.
TREE_ID = PINS["FIPS_TREE_ID"]
RECORD = "source.txt"


class Refused(Exception):
    pass


def listing():
    """path -> (mode, blob id), from the listing."""
    out = {}
    for line in LISTING.read_text().splitlines():
        meta, path = line.split("\t", 1)
        mode, kind, blob = meta.split()
        if kind != "blob":
            raise Refused(f"{LISTING.name}: unexpected entry {line!r}")
        out[path] = (mode, blob)
    return out


def blob_id(data):
    return hashlib.sha1(b"blob %d\0" % len(data) + data).hexdigest()


def tree_id(entries):
    """The git tree id of {path: (mode, blob)}, built the way git builds tree objects."""
    root = {}
    for path, value in entries.items():
        *folders, name = path.split("/")
        node = root
        for folder in folders:
            node = node.setdefault(folder, {})
        node[name] = value

    def build(node):
        body = b""
        # git orders a folder's entries by name, a subfolder as if its name ended in "/".
        for name in sorted(node, key=lambda n: (n + "/" if isinstance(node[n], dict) else n).encode()):
            mode, sha = ("40000", build(node[name])) if isinstance(node[name], dict) else node[name]
            body += f"{mode} {name}".encode() + b"\0" + bytes.fromhex(sha)
        return hashlib.sha1(b"tree %d\0" % len(body) + body).hexdigest()
    return build(root)


def allowed_missing(path):
    if path is None:
        return set()
    lines = Path(path).read_text().splitlines()
    return {line.split()[-1] for line in lines if line.strip() and not line.startswith("#")}


def verify_tree(tree, want, allow):
    """The paths of `want` that `tree` lacks; refuses an edited, extra or unnamed missing file."""
    tree = Path(tree)
    present = set()
    for folder, dirs, files in os.walk(tree):
        dirs.sort()
        for name in sorted(files):
            full = Path(folder) / name
            rel = full.relative_to(tree).as_posix()
            if rel not in want:
                raise Refused(f"{rel}: not in the tag's listing (an added file)")
            if full.is_symlink() or blob_id(full.read_bytes()) != want[rel][1]:
                raise Refused(f"{rel}: differs from the tag's (git blob {want[rel][1]} expected)")
            present.add(rel)
    missing = set(want) - present
    unnamed = sorted(missing - allow)
    if unnamed:
        raise Refused(f"{unnamed[0]}: missing from the tree ({len(unnamed)} listed file(s) missing "
                      "and not named by --allow-missing)")
    return sorted(missing)


def verify(source, dest, allow_file):
    want = listing()
    source, dest = Path(source), Path(dest)
    if tree_id(want) != TREE_ID:
        raise Refused(f"{LISTING.name}: not the listing of the tag (tree id differs)")
    top = dest / TOP
    if source.is_file():
        digest = hashlib.sha256(source.read_bytes()).hexdigest()
        if digest != ZIP_SHA256:
            raise Refused(f"{source.name}: SHA-256 {digest}, not the Security Policy's {ZIP_SHA256}")
        with zipfile.ZipFile(source) as z:
            for info in z.infolist():
                if not info.filename.startswith(TOP + "/") or ".." in info.filename.split("/"):
                    raise Refused(f"{info.filename}: outside {TOP}/ in {source.name}")
            z.extractall(dest)
        missing = verify_tree(top, want, set())
        kind = f"the verified zip {ZIP_NAME} (SHA-256 {ZIP_SHA256})"
    elif source.is_dir():
        tree = source / TOP if (source / TOP).is_dir() else source
        missing = verify_tree(tree, want, allowed_missing(allow_file))
        # Only the files just verified are copied: the build reads nothing else.
        for rel, (mode, _) in want.items():
            if rel in missing:
                continue
            target = top / rel
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(tree / rel, target)
            os.chmod(target, 0o755 if mode == "100755" else 0o644)
        missing = verify_tree(top, want, set(missing))
        kind = ("an unpacked tree matching the tag's listing file by file" if not missing else
                f"an INCOMPLETE tree: {len(missing)} listed file(s) missing, so NOT the verified "
                "source and not the validated module: " + ", ".join(missing))
    else:
        raise Refused(f"{source}: neither a zip nor a folder")
    (dest / RECORD).write_text(f"AWS-LC-FIPS {VERSION} from {kind}\n")
    return kind


def main(argv):
    try:
        if argv[:1] == ["self-check"] and len(argv) == 1:
            if tree_id(listing()) != TREE_ID:
                raise Refused(f"{LISTING.name}: not the listing of the tag (tree id differs)")
            print(f"{LISTING.name}: {len(listing())} files, git tree {TREE_ID}")
            return 0
        if argv[:1] == ["verify"] and len(argv) in (3, 5):
            allow = None
            if len(argv) == 5:
                if argv[3] != "--allow-missing":
                    raise Refused(f"unknown option {argv[3]}")
                allow = argv[4]
            print(verify(argv[1], argv[2], allow))
            return 0
    except Refused as e:
        print(f"awslc_source.py: refused: {e}", file=sys.stderr)
        return 1
    print(__doc__.split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
