#!/usr/bin/env python3
"""The part of AWS-LC's source the sdist bundles: what its FIPS=1 build reads, and nothing else.

  awslc_bundle.py trace CRATE TRACE... > LISTING
      from strace logs of setup/build-awslc.sh (strace -f, file and execve calls), the files of
      the crate folder CRATE the build opened or looked at, for each architecture traced, plus
      the licence texts; one "sha256  path" line each.
  awslc_bundle.py copy LISTING CRATE DEST
      copies exactly the listed files from CRATE into DEST, refusing any whose bytes differ.

The path debian/copyright stands for the package's copyright file, which names every licence of
the source (Debian keeps it under /usr/share/doc, beside the crate).
"""
import hashlib
import os
import re
import shutil
import sys
from pathlib import Path

# Texts the build never reads but the bundle must carry.
LICENCES = ["LICENSE", "aws-lc/LICENSE", "aws-lc/third_party/fiat/LICENSE", "debian/copyright"]
COPYRIGHT = "../../../doc/librust-aws-lc-sys-dev/copyright"
# A call as strace -f logs it: whole, or begun ("<unfinished ...>") and resumed on a later line.
CALL = re.compile(r'^(\d+)\s+(\w+)\((.*)')
# Copies of the whole crate read every file; they say nothing of what the build needs.
COPIERS = {"cp", "dpkg-deb", "tar"}


def fail(msg):
    sys.exit(f"awslc_bundle.py: {msg}")


def crate_file(crate, rel):
    return crate / (COPYRIGHT if rel == "debian/copyright" else rel)


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def traced(crate_at, log):
    """Crate-relative paths of the regular files any call named, the copies' calls excepted.

    The return values are not needed: a path that names an existing file is found by the call.
    """
    program, found = {}, set()
    for line in open(log, errors="replace"):
        m = CALL.match(line)
        if not m:
            continue
        pid, call, args = m.groups()
        if call == "execve":
            program[pid] = os.path.basename(re.match(r'"([^"]*)"', args).group(1))
        elif program.get(pid) not in COPIERS:
            for p in re.findall(r'"([^"]*)"', args):
                p = os.path.normpath(p)
                if p.startswith(crate_at + "/") and os.path.isfile(p) and not os.path.islink(p):
                    found.add(p[len(crate_at) + 1:])
    return found


def trace(crate, logs):
    files = set(LICENCES)
    for log in logs:
        at = Path(log).with_suffix(".crate").read_text().strip()  # where that build had the crate
        got = traced(at, log)
        if len(got) < 100:
            fail(f"{log}: only {len(got)} files of the crate were read; not a trace of a build")
        files |= got
    version = re.search(r'set\(SOFTWARE_VERSION "([^"]+)"\)', crate_file(crate, "aws-lc/CMakeLists.txt").read_text())
    print(f"# Files of Debian's aws-lc-sys crate (AWS-LC {version.group(1)}) that the sdist bundles: what the FIPS=1")
    print("# builds for x86-64 and aarch64 read, and the licence texts. Written by tools/sdist --list.")
    for rel in sorted(files):
        print(f"{digest(crate_file(crate, rel))}  {rel}")


def listing(path):
    rows = [l.split("  ", 1) for l in Path(path).read_text().splitlines() if l and not l.startswith("#")]
    return {rel: want for want, rel in rows}


def copy(path, crate, dest):
    for rel, want in sorted(listing(path).items()):
        src = crate_file(crate, rel)
        if not src.is_file():
            fail(f"{rel}: listed but not in {crate}")
        if digest(src) != want:
            fail(f"{rel}: differs from the listed bytes (sha256 {want} expected)")
        (dest / rel).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(src, dest / rel)


def main(argv):
    if len(argv) >= 3 and argv[0] == "trace":
        trace(Path(argv[1]), argv[2:])
    elif len(argv) == 4 and argv[0] == "copy":
        copy(argv[1], Path(argv[2]), Path(argv[3]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
