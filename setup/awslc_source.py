#!/usr/bin/env python3
"""Verifies an AWS-LC-FIPS source (setup/pins) before anything is built from it, and copies exactly the
verified bytes into a folder of the cache (so that what is built is what was checked):

  awslc_source.py verify SOURCE DEST [--allow-missing FILE]
  awslc_source.py check DEST KEY
  awslc_source.py build-folder PARENT NAME
  awslc_source.py self-check

SOURCE is the tag's zip, which must have the SHA-256 its Security Policy names, or an unpacked
tree, each file of which must match the tag's listing (setup/pins' FIPS_LISTING: mode, git blob
id, path), with nothing added. A tree that lacks listed files is refused unless FILE names every
one of them (one per line; the path is the last field, so a `BLOB PATH` list serves too); such a
build is recorded as not from the verified source. DEST/source.txt says which of the two it is,
DEST/source.key holds the SHA-256 of that record and of the verified bytes (every cache of the
source is keyed by it), and DEST, which must not exist, is made here. Only regular files are
read (O_NOFOLLOW; no FIFO, device or socket), each read once: what is checked is what is copied.
`check` refuses a copy made by `verify` (a cached one) that no longer matches KEY. `build-folder`
makes PARENT/NAME, where AWS-LC is built, or refuses it if it or PARENT is a link, or belongs to
another user, or others may write to it (PARENT may be a sticky folder like /tmp).
`self-check` proves that the listing is the tag's own: its git tree id is the tag's.
Every refusal is one line naming the file. Standard library only.
"""
import hashlib
import io
import os
import stat
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
KEY = "source.key"  # SHA-256 over the record and the verified bytes: the key of every cache


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


def read_regular(path, name):
    """The bytes of the regular file at `path`, from one open file: a symlink (O_NOFOLLOW), FIFO,
    device or socket is refused before a byte is read (a FIFO would block the build forever)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise Refused(f"{name}: not a regular file ({e.strerror})") from None
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise Refused(f"{name}: not a regular file (a FIFO, device or socket)")
        return f.read()


def verify_tree(tree, want, allow, copy_to=None):
    """(the paths of `want` that `tree` lacks, the SHA-256 of the tree's bytes); refuses an edited,
    extra, non-regular or unnamed missing file. With `copy_to`, writes the bytes just verified
    there (a file swapped after its check cannot reach the copy)."""
    tree = Path(tree)
    present = {}
    for folder, dirs, files in os.walk(tree):
        dirs.sort()
        for name in sorted(files):
            full = Path(folder) / name
            rel = full.relative_to(tree).as_posix()
            if rel not in want:
                raise Refused(f"{rel}: not in the tag's listing (an added file)")
            data = read_regular(full, rel)
            if blob_id(data) != want[rel][1]:
                raise Refused(f"{rel}: differs from the tag's (git blob {want[rel][1]} expected)")
            present[rel] = hashlib.sha256(data).hexdigest()
            if copy_to is not None:
                target = Path(copy_to) / rel
                target.parent.mkdir(parents=True, exist_ok=True)
                fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                             0o755 if want[rel][0] == "100755" else 0o644)
                with os.fdopen(fd, "wb") as f:
                    f.write(data)
    missing = set(want) - set(present)
    unnamed = sorted(missing - allow)
    if unnamed:
        raise Refused(f"{unnamed[0]}: missing from the tree ({len(unnamed)} listed file(s) missing "
                      "and not named by --allow-missing)")
    digest = hashlib.sha256("".join(f"{present[rel]}  {rel}\n" for rel in sorted(present)).encode())
    return sorted(missing), digest.hexdigest()


def source_key(record, digest):
    """What keys every cache of this source: the verified bytes and what is said about them."""
    return hashlib.sha256(f"{record}\0{digest}".encode()).hexdigest()


def verify(source, dest, allow_file):
    want = listing()
    # The named path is followed once, on purpose (a link to a download); nothing inside it is.
    source, dest = Path(os.path.realpath(source)), Path(dest)
    if tree_id(want) != TREE_ID:
        raise Refused(f"{LISTING.name}: not the listing of the tag (tree id differs)")
    # A folder made here: nothing that was there before (a planted link) is followed.
    try:
        dest.mkdir(mode=0o755)
    except OSError as e:
        raise Refused(f"{dest}: cannot be made for the copy ({e.strerror}); it must not exist") from None
    top = dest / TOP
    if source.is_file():
        # Hashed and unpacked from the same bytes, read once.
        data = read_regular(source, source.name)
        digest = hashlib.sha256(data).hexdigest()
        if digest != ZIP_SHA256:
            raise Refused(f"{source.name}: SHA-256 {digest}, not the Security Policy's {ZIP_SHA256}")
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            for info in z.infolist():
                if not info.filename.startswith(TOP + "/") or ".." in info.filename.split("/"):
                    raise Refused(f"{info.filename}: outside {TOP}/ in {source.name}")
            z.extractall(dest)
        missing, tree_digest = verify_tree(top, want, set())
        kind = f"the verified zip {ZIP_NAME} (SHA-256 {ZIP_SHA256})"
    elif source.is_dir():
        tree = source / TOP if (source / TOP).is_dir() else source
        # Only the files verified are copied, as read: the build reads nothing else.
        missing, _ = verify_tree(tree, want, allowed_missing(allow_file), copy_to=top)
        missing, tree_digest = verify_tree(top, want, set(missing))
        kind = ("an unpacked tree matching the tag's listing file by file" if not missing else
                f"an INCOMPLETE tree: {len(missing)} listed file(s) missing, so NOT the verified "
                "source and not the validated module: " + ", ".join(missing))
    else:
        raise Refused(f"{source}: neither a zip nor a folder")
    record = f"AWS-LC-FIPS {VERSION} from {kind}\n"
    (dest / RECORD).write_text(record)
    (dest / KEY).write_text(source_key(record, tree_digest) + "\n")
    return kind


def check(dest, key):
    """Refuses a copy made by `verify` (a cached one) whose bytes or record are not those `key`,
    the key of a verification just made, names."""
    dest, want = Path(dest), listing()
    extra = sorted(set(os.listdir(dest)) - {TOP, RECORD, KEY})
    if extra:
        raise Refused(f"{dest / extra[0]}: not made by the verification")
    _, digest = verify_tree(dest / TOP, want, set(want))
    if source_key(read_regular(dest / RECORD, RECORD).decode(), digest) != key:
        raise Refused(f"{dest}: its files or record are not those of the source just verified")


def build_folder(parent, name):
    """Makes parent/name, or refuses it unless it (and a named parent) is a real folder of this
    user or root that others cannot write to: a shared AWS-LC build folder is reused only then."""
    uid = os.getuid()

    def owned(path, sticky_ok):
        st = os.lstat(path)
        if not stat.S_ISDIR(st.st_mode):
            raise Refused(f"{path}: not a folder (a symlink or a file)")
        if st.st_uid not in (uid, 0):
            raise Refused(f"{path}: owned by uid {st.st_uid}, not by you (uid {uid}) or root")
        if st.st_mode & stat.S_IWOTH and not (sticky_ok and st.st_mode & stat.S_ISVTX):
            raise Refused(f"{path}: writable by others (mode {stat.S_IMODE(st.st_mode):04o})")
    try:
        owned(parent, True)
        folder = os.path.join(parent, name)
        try:
            os.mkdir(folder, 0o755)
        except FileExistsError:
            pass
        owned(folder, False)
    except FileNotFoundError as e:
        raise Refused(f"{e.filename}: missing") from None
    return folder


def main(argv):
    try:
        if argv[:1] == ["self-check"] and len(argv) == 1:
            if tree_id(listing()) != TREE_ID:
                raise Refused(f"{LISTING.name}: not the listing of the tag (tree id differs)")
            print(f"{LISTING.name}: {len(listing())} files, git tree {TREE_ID}")
            return 0
        if argv[:1] == ["build-folder"] and len(argv) == 3:
            build_folder(argv[1], argv[2])
            return 0
        if argv[:1] == ["check"] and len(argv) == 3:
            check(argv[1], argv[2])
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
