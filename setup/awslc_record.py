"""What an AWS-LC build records beside its library (PREFIX/share/core-fips/, setup/build-awslc.sh),
read in one place, so that the wheel's description (backend/core_fips_build.py), its SBOM
(setup/sbom.py) and tools/check-wheel say the same of it:

  awslc-source.txt  a build from a named source only: its first line is setup/awslc_source.py's
                    record of the source; each further line names a flag the build added for its
                    compiler ("Compiled with `FLAG`: why").
  library.sha256    every build: the SHA-256 of the library built there.

Standard library only (the backend, the sdist's build and the checks import it)."""
import hashlib
import re
from pathlib import Path

SOURCE_RECORD = "awslc-source.txt"
LIBRARY_SHA256 = "library.sha256"
# Each kind of AWS-LC-FIPS source, as the SBOM names it, and setup/awslc_source.py's words for it.
ZIP, TREE, INCOMPLETE = "verified-zip", "tree", "incomplete-tree"
_WORDS = {ZIP: " from the verified zip ", TREE: " from an unpacked tree ", INCOMPLETE: " from an INCOMPLETE tree: "}
# Where the certificate's tests were run: its tested operational environments.
OPERATIONAL_ENVIRONMENTS = "Amazon Linux 2023 on Graviton4 and on Intel Xeon Platinum 8375C"


class Record:
    """awslc-source.txt: SOURCE (its first line), KIND, MISSING (an incomplete tree's missing files,
    sorted), NOTES (the lines after the first) and FLAGS (the compiler flags those name)."""

    def __init__(self, text):
        lines = text.strip().splitlines()
        if not lines:
            raise ValueError("an empty AWS-LC source record")
        self.source, self.notes = lines[0], lines[1:]
        kinds = [k for k, words in _WORDS.items() if words in self.source]
        if len(kinds) != 1:
            raise ValueError(f"not a record of setup/awslc_source.py: {self.source!r}")
        self.kind = kinds[0]
        self.missing = sorted(self.source.rsplit(": ", 1)[-1].split(", ")) if self.kind == INCOMPLETE else []
        self.flags = [m.group(1) for m in (re.match(r"Compiled with `([^`]+)`", n) for n in self.notes) if m]


def read(prefix):
    """The Record of the build in PREFIX, or None for a build of Debian's source (which has none)."""
    path = Path(prefix) / "share" / "core-fips" / SOURCE_RECORD
    return Record(path.read_text()) if path.is_file() else None


def checked_library(prefix, library):
    """LIBRARY's SHA-256, which must be the one recorded in PREFIX when it was built there."""
    digest = hashlib.sha256(Path(library).read_bytes()).hexdigest()
    path = Path(prefix) / "share" / "core-fips" / LIBRARY_SHA256
    recorded = path.read_text().strip() if path.is_file() else None
    if recorded != digest:
        raise ValueError(f"{library} is not the library built in {prefix} (SHA-256 {digest}, recorded "
                         f"{recorded or 'none'} in share/core-fips/{LIBRARY_SHA256})")
    return digest


def statement(record, pins):
    """What the library built from a named source is, in the words of its record: the source, what
    was added to the Security Policy's build, and whether a certificate covers it (markdown)."""
    added = "a symbol prefix and `-Bsymbolic`" + "".join(f" and `{f}`" for f in record.flags)
    return (record.source + ", built as its Security Policy (FIPS 140-3 certificate "
            f"#{pins['FIPS_CERTIFICATE']}) says, with only {added} added. " + "".join(n + " " for n in record.notes) +
            ("Built from the verified zip, this is the validated module; the certificate's tested "
             f"operational environments are {OPERATIONAL_ENVIRONMENTS}, and a claim elsewhere is the "
             "user's to make under the Security Policy." if record.kind == ZIP else
             "Not built from the verified zip, so **neither the verified source nor the validated "
             "module**: no certificate covers this build."))


def paragraph(record, pins):
    """The wheel description's paragraph on the library (docs/wheel-readme.md's library paragraph)."""
    return f"**AWS-LC FIPS {pins['FIPS_VERSION']}**: " + statement(record, pins)


def plain(text):
    """TEXT without markdown's emphasis, for the SBOM."""
    return text.replace("**", "")
