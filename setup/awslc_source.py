#!/usr/bin/env python3
"""Verifies an AWS-LC-FIPS source (setup/pins) before anything is built from it, and copies exactly the
verified bytes into a folder of the cache (so that what is built is what was checked):

  awslc_source.py verify SOURCE DEST [--allow-missing FILE]
  awslc_source.py check DEST [KEY]
  awslc_source.py build-folder PARENT NAME
  awslc_source.py manifest PREFIX [--stamp TEXT]
  awslc_source.py check-prefix PREFIX [--stamp TEXT]
  awslc_source.py self-check

SOURCE is the tag's zip, which must have the SHA-256 its Security Policy names, or an unpacked
tree, each file of which must match the tag's listing (setup/pins' FIPS_LISTING: mode, git blob
id, path), with nothing added. A tree that lacks listed files is refused unless FILE names every
one of them (one per line; the path is the last field, so a `BLOB PATH` list serves too); such a
build is recorded as not from the verified source. DEST/source.txt says which of the two it is,
DEST/source.key holds the SHA-256 of that record and of the verified bytes (every cache of the
source is keyed by it), and DEST, which must not exist, is made here. Only regular files are
read (O_NOFOLLOW; no FIFO, device or socket), each read once: what is checked is what is copied.
`check` walks a copy made by `verify` (a cached one): no link anywhere, nothing the verification
did not make; it computes the key again from the bytes, refuses the copy if that is not the key
its source.key holds (or KEY, the key of a verification just made), and prints it. `build-folder`
makes PARENT/NAME, where AWS-LC is built, or refuses it if it or PARENT is a link, or it or any
folder above it belongs to another user than this one or root, or a group or others may write to
it (a folder above it may be a sticky one like /tmp). `manifest` writes PREFIX/share/core-fips/
manifest.sha256 (every file and link of an installed AWS-LC: its SHA-256 or its target; with
--stamp, share/core-fips/stamp holding TEXT first); `check-prefix` refuses a prefix that is no
longer what its manifest lists (or whose stamp is not TEXT). `self-check` proves that the listing
is the tag's own: its git tree id is the tag's. Every refusal is one line naming the file.
Standard library only; it runs isolated (python -I: no PYTHONPATH, no user site), re-running
itself so when started otherwise.
"""
import os
import sys

# Before anything else is imported: a hashlib.py on PYTHONPATH, or the user site, must not run.
if __name__ == "__main__" and not sys.flags.isolated:
    if not sys.executable:
        sys.exit("awslc_source.py: refused: run it as python3 -I (no interpreter to re-run it isolated)")
    os.execv(sys.executable, [sys.executable, "-I", os.path.abspath(__file__), *sys.argv[1:]])

import hashlib  # noqa: E402
import io  # noqa: E402
import stat  # noqa: E402
import zipfile  # noqa: E402
from pathlib import Path  # noqa: E402

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
# Read caps: nothing the verifier reads is read whole if it is larger than these.
MAX_TEXT_BYTES = 1 << 20  # a record, a key, a list of missing files, a manifest
MAX_FILE_BYTES = 64 << 20  # one file of the tree (its largest: 3.6 MB) or of an installed prefix
MAX_ZIP_BYTES = 512 << 20  # the tag's zip
MAX_TREE_BYTES = 1 << 30  # the zip's members, unpacked, together
# An installed AWS-LC's own list of its files, and what it was built from (the caller's stamp).
MANIFEST = "share/core-fips/manifest.sha256"
STAMP = "share/core-fips/stamp"


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
    lines = read_regular(path, Path(path).name, MAX_TEXT_BYTES).decode().splitlines()
    return {line.split()[-1] for line in lines if line.strip() and not line.startswith("#")}


def read_regular(path, name, limit=MAX_FILE_BYTES):
    """The bytes of the regular file at `path`, from one open file: a symlink (O_NOFOLLOW), FIFO,
    device or socket is refused before a byte is read (a FIFO would block the build forever), and
    a file larger than `limit` once `limit` bytes are read."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise Refused(f"{name}: not a regular file ({e.strerror})") from None
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise Refused(f"{name}: not a regular file (a FIFO, device or socket)")
        data = f.read(limit + 1)
    if len(data) > limit:
        raise Refused(f"{name}: larger than {limit} bytes")
    return data


def real_folder(path, name):
    """Refuses `path` unless it is a folder itself (not a link to one)."""
    try:
        st = os.lstat(path)
    except OSError as e:
        raise Refused(f"{name}: {e.strerror}") from None
    if not stat.S_ISDIR(st.st_mode):
        raise Refused(f"{name}: not a folder (a link or a file)")


def verify_tree(tree, want, allow, copy_to=None, strict=False):
    """(the paths of `want` that `tree` lacks, the SHA-256 of the tree's bytes); refuses an edited,
    extra, non-regular or unnamed missing file. With `copy_to`, writes the bytes just verified
    there (a file swapped after its check cannot reach the copy). `strict` (a copy this script
    made) refuses a link anywhere, the tree folder included, and a folder the listing has not."""
    tree = Path(tree)
    present = {}
    folders = {p.rsplit("/", 1)[0] for p in want if "/" in p}
    folders |= {f.rsplit("/", i)[0] for f in folders for i in range(1, f.count("/") + 1)}
    if strict:
        real_folder(tree, tree.name)
    for folder, dirs, files in os.walk(tree):
        dirs.sort()
        if strict:
            # os.walk lists a link to a folder among the folders, and does not enter it.
            for name in dirs:
                rel = (Path(folder) / name).relative_to(tree).as_posix()
                real_folder(Path(folder) / name, rel)
                if rel not in folders:
                    raise Refused(f"{rel}: a folder not in the tag's listing (an added folder)")
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
        data = read_regular(source, source.name, MAX_ZIP_BYTES)
        digest = hashlib.sha256(data).hexdigest()
        if digest != ZIP_SHA256:
            raise Refused(f"{source.name}: SHA-256 {digest}, not the Security Policy's {ZIP_SHA256}")
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            total = 0
            for info in z.infolist():
                if not info.filename.startswith(TOP + "/") or ".." in info.filename.split("/"):
                    raise Refused(f"{info.filename}: outside {TOP}/ in {source.name}")
                # zipfile stops a member at its declared size: these bound what is unpacked.
                total += info.file_size
                if info.file_size > MAX_FILE_BYTES or total > MAX_TREE_BYTES:
                    raise Refused(f"{info.filename}: unpacks past {MAX_FILE_BYTES} bytes a file or "
                                  f"{MAX_TREE_BYTES} bytes in all, in {source.name}")
            z.extractall(dest)
        missing, tree_digest = verify_tree(top, want, set())
        kind = f"the verified zip {ZIP_NAME} (SHA-256 {ZIP_SHA256})"
    elif source.is_dir():
        tree = source / TOP if (source / TOP).is_dir() else source
        # Only the files verified are copied, as read: the build reads nothing else.
        missing, _ = verify_tree(tree, want, allowed_missing(allow_file), copy_to=top)
        missing, tree_digest = verify_tree(top, want, set(missing), strict=True)
        kind = ("an unpacked tree matching the tag's listing file by file" if not missing else
                f"an INCOMPLETE tree: {len(missing)} listed file(s) missing, so NOT the verified "
                "source and not the validated module: " + ", ".join(missing))
    else:
        raise Refused(f"{source}: neither a zip nor a folder")
    record = f"AWS-LC-FIPS {VERSION} from {kind}\n"
    (dest / RECORD).write_text(record)
    (dest / KEY).write_text(source_key(record, tree_digest) + "\n")
    return kind


def check(dest, key=None):
    """The key of a copy made by `verify` (a cached one), computed again from its bytes and record;
    refuses the copy if it holds a link or anything `verify` did not make, or if that key is not the
    one its source.key holds, or not `key` (the key of a verification just made)."""
    dest, want = Path(dest), listing()
    real_folder(dest, str(dest))
    extra = sorted(set(os.listdir(dest)) - {TOP, RECORD, KEY})
    if extra:
        raise Refused(f"{dest / extra[0]}: not made by the verification")
    _, digest = verify_tree(dest / TOP, want, set(want), strict=True)
    computed = source_key(read_regular(dest / RECORD, RECORD, MAX_TEXT_BYTES).decode(), digest)
    if read_regular(dest / KEY, KEY, MAX_TEXT_BYTES).decode() != computed + "\n":
        raise Refused(f"{dest / KEY}: not the key of the copy's bytes and record")
    if key is not None and computed != key:
        raise Refused(f"{dest}: its files or record are not those of the source just verified")
    return computed


def owned(path, sticky_ok):
    """Refuses `path` unless it is a real folder of this user or root that no group or other user
    may write to; with `sticky_ok`, a sticky folder (like /tmp) may be, as nobody else may rename
    or remove what is ours in it."""
    uid = os.getuid()
    st = os.lstat(path)
    mode = stat.S_IMODE(st.st_mode)
    if not stat.S_ISDIR(st.st_mode):
        raise Refused(f"{path}: not a folder (a symlink or a file)")
    if st.st_uid not in (uid, 0):
        raise Refused(f"{path}: owned by uid {st.st_uid}, not by you (uid {uid}) or root")
    if not (sticky_ok and mode & stat.S_ISVTX):
        if mode & stat.S_IWOTH:
            raise Refused(f"{path}: writable by others (mode {mode:04o})")
        if mode & stat.S_IWGRP:
            raise Refused(f"{path}: writable by its group (mode {mode:04o}); chmod g-w it")


def build_folder(parent, name):
    """Makes parent/name, or refuses it unless it and a named parent are real folders of this user
    or root that no group or other user can write to, and so is every folder above them (another
    user able to rename one of those could put a folder of theirs in its place)."""
    try:
        owned(parent, True)
        above = Path(os.path.realpath(parent))
        for folder in above.parents:
            owned(folder, True)
        folder = os.path.join(parent, name)
        try:
            os.mkdir(folder, 0o755)
        except FileExistsError:
            pass
        owned(folder, False)
    except FileNotFoundError as e:
        raise Refused(f"{e.filename}: missing") from None
    return folder


def prefix_entries(prefix):
    """{path: "sha256 HEX" or "link TARGET"} of every file and link under `prefix` but the manifest;
    refuses anything else (a FIFO, a device) and a link that leaves its folder."""
    prefix, out = Path(prefix), {}
    real_folder(prefix, str(prefix))
    for folder, dirs, files in os.walk(prefix):
        dirs.sort()
        for name in sorted(files + [d for d in dirs if os.path.islink(os.path.join(folder, d))]):
            full = Path(folder) / name
            rel = full.relative_to(prefix).as_posix()
            if rel == MANIFEST:
                continue
            if full.is_symlink():
                target = os.readlink(full)
                # The libraries' SONAME links: a name beside them, nothing else.
                if "/" in target or target in (".", "..") or not target.strip() or target != target.strip():
                    raise Refused(f"{rel}: a link to {target!r}, not to a file beside it")
                out[rel] = f"link {target}"
            else:
                data = read_regular(full, rel)
                out[rel] = f"sha256 {hashlib.sha256(data).hexdigest()}"
    return out


def write_manifest(prefix, stamp=None):
    """Writes PREFIX's manifest (after its stamp, if one is given): what check-prefix checks."""
    prefix = Path(prefix)
    if stamp is not None:
        (prefix / STAMP).parent.mkdir(parents=True, exist_ok=True)
        (prefix / STAMP).write_text(stamp + "\n")
    entries = prefix_entries(prefix)
    (prefix / MANIFEST).write_text("".join(f"{what} {rel}\n" for rel, what in sorted(entries.items())))
    return len(entries)


def check_prefix(prefix, stamp=None):
    """Refuses PREFIX unless each of its files and links is what its manifest lists (the library,
    the headers, the record), and nothing is added or missing; with `stamp`, its stamp must be it."""
    prefix = Path(prefix)
    listed = {}
    for line in read_regular(prefix / MANIFEST, MANIFEST, MAX_TEXT_BYTES).decode().splitlines():
        fields = line.split(" ", 2)
        if len(fields) != 3 or fields[0] not in ("sha256", "link"):
            raise Refused(f"{prefix / MANIFEST}: not a manifest line: {line!r}")
        listed[fields[2]] = f"{fields[0]} {fields[1]}"
    found = prefix_entries(prefix)
    for rel in sorted(set(listed) | set(found)):
        if rel not in found:
            raise Refused(f"{prefix / rel}: listed in {MANIFEST} but missing")
        if rel not in listed:
            raise Refused(f"{prefix / rel}: not in {MANIFEST} (added after the build)")
        if found[rel] != listed[rel]:
            raise Refused(f"{prefix / rel}: not the file built there ({found[rel]}, {MANIFEST} says {listed[rel]})")
    if stamp is not None and listed.get(STAMP) != "sha256 " + hashlib.sha256((stamp + "\n").encode()).hexdigest():
        raise Refused(f"{prefix / STAMP}: built from other inputs than these")


def stamp_option(argv):
    """The TEXT of a trailing `--stamp TEXT`, or None."""
    if len(argv) == 2:
        return None
    if len(argv) == 4 and argv[2] == "--stamp":
        return argv[3]
    raise Refused(f"unknown option {argv[2]}")


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
        if argv[:1] == ["check"] and len(argv) in (2, 3):
            print(check(*argv[1:]))
            return 0
        if argv[:1] == ["manifest"] and len(argv) in (2, 4):
            print(f"{MANIFEST}: {write_manifest(argv[1], stamp_option(argv))} files")
            return 0
        if argv[:1] == ["check-prefix"] and len(argv) in (2, 4):
            check_prefix(argv[1], stamp_option(argv))
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
    except OSError as e:  # a folder gone or unreadable midway: still one line naming it
        print(f"awslc_source.py: refused: {e.filename}: {e.strerror}", file=sys.stderr)
        return 1
    print(__doc__.split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    os.umask(0o022)  # what is made here is writable by its owner alone, whatever the caller's umask
    sys.exit(main(sys.argv[1:]))
