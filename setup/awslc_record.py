"""What an AWS-LC build records beside its library (PREFIX/share/core-fips/, setup/build-awslc.sh),
read in one place, so that the wheel's description (backend/core_fips_build.py), its SBOM
(setup/sbom.py) and tools/check-wheel say the same of it:

  awslc-source.txt  a build from a named source only: its first line is setup/awslc_source.py's
                    record of the source; each further line names a flag the build added for its
                    compiler ("Compiled with `FLAG`: why").
  library.sha256    every build: the SHA-256 of the library built there.

These files say what a build did, but whoever has the prefix can write them: the claim a wheel makes
(the CLAIMS below) is what the configure that built it did (CMakeLists.txt computes it and hands it to
setup/sbom.py and the backend); a record found in a prefix only ever lowers it.

Standard library only (the backend, the sdist's build and the checks import it)."""
import hashlib
import re
from pathlib import Path

SOURCE_RECORD = "awslc-source.txt"
LIBRARY_SHA256 = "library.sha256"
# A record is a few lines: anything longer is not one (and is not read whole).
RECORD_LIMIT = 64 * 1024
# Each kind of AWS-LC-FIPS source, as the SBOM names it, and setup/awslc_source.py's words for it.
ZIP, TREE, INCOMPLETE = "verified-zip", "tree", "incomplete-tree"
_WORDS = {ZIP: " from the verified zip ", TREE: " from an unpacked tree ", INCOMPLETE: " from an INCOMPLETE tree: "}
# An AWS-LC-FIPS library this configure did not verify and compile (a prefix named by
# CORE_FIPS_AWSLC): whatever its record says, at most "built elsewhere".
ELSEWHERE = "built-elsewhere"
# Debian's AWS-LC, from its package (a checkout's tools) or the sdist's bundle of it.
DEBIAN_PACKAGE, SDIST_BUNDLE = "debian-package", "sdist-bundle"
# The flags that only turn a warning off (or an error back into a warning): every other added
# flag (-Wa, and -Wl, included) may change the generated code.
WARNING_ONLY = "-Wno-"
CLAIMS = (DEBIAN_PACKAGE, SDIST_BUNDLE, ZIP, TREE, INCOMPLETE, ELSEWHERE)
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
        # A warning option changes no generated code; any other flag may (gcc 16's
        # -fno-tree-slp-vectorize does): then the build is not the Security Policy's.
        self.codegen_flags = [f for f in self.flags if not f.startswith(WARNING_ONLY)]


def read_text(path, limit=RECORD_LIMIT):
    """The text of the small file at PATH, refused if it is longer than LIMIT bytes."""
    with open(path, "rb") as f:
        data = f.read(limit + 1)
    if len(data) > limit:
        raise ValueError(f"{path}: longer than {limit} bytes, so not a record of this build")
    return data.decode()


def read(prefix):
    """The Record of the build in PREFIX, or None for a build of Debian's source (which has none)."""
    path = Path(prefix) / "share" / "core-fips" / SOURCE_RECORD
    return Record(read_text(path)) if path.is_file() else None


def checked_library(prefix, library):
    """LIBRARY's SHA-256, which must be the one recorded in PREFIX when it was built there."""
    digest = hashlib.sha256(Path(library).read_bytes()).hexdigest()
    path = Path(prefix) / "share" / "core-fips" / LIBRARY_SHA256
    recorded = read_text(path, 1024).strip() if path.is_file() else None
    if recorded != digest:
        raise ValueError(f"{library} is not the library built in {prefix} (SHA-256 {digest}, recorded "
                         f"{recorded or 'none'} in share/core-fips/{LIBRARY_SHA256})")
    return digest


def statement(claim, record, pins):
    """What an AWS-LC-FIPS library is (markdown), for CLAIM, what the configure that built it did
    (CLAIMS), and RECORD, the record of its build: only a library this configure verified from the
    zip and compiled with the Security Policy's steps (plus the prefix, -Bsymbolic and warning
    options) is called the validated module, with its certificate."""
    version, cert = pins["FIPS_VERSION"], pins["FIPS_CERTIFICATE"]
    notes = "".join(n + " " for n in record.notes) if record else ""
    if claim == ELSEWHERE:
        lowered = ""
        if record is not None and record.kind == INCOMPLETE:
            lowered = " Its own record says it was built from an INCOMPLETE tree."
        if record is not None and record.flags:
            lowered += " Its own record names flags its build added: " + ", ".join(f"`{f}`" for f in record.flags) + "."
        return (f"AWS-LC-FIPS {version} built elsewhere, not verified by this build (an install it was given), so "
                "**neither the verified source nor the validated module** as far as this build can tell: no "
                "certificate covers it." + lowered)
    if record is None or record.kind != claim:
        raise ValueError(f"the build's claim is {claim}, but its record says {record.kind if record else 'nothing'}")
    added = "a symbol prefix and `-Bsymbolic`" + "".join(f" and `{f}`" for f in record.flags)
    if claim == ZIP and record.codegen_flags:
        flags = ", ".join(f"`{f}`" for f in record.codegen_flags)
        return (f"AWS-LC-FIPS {version} from the verified source, with a code-generation flag the Security Policy's "
                f"build does not use ({flags}): {record.source}, built with the Security Policy's steps plus "
                f"{added}. {notes}So **not the validated module**: no certificate covers this build.")
    if claim == ZIP:
        return (record.source + f", built as its Security Policy (FIPS 140-3 certificate #{cert}) says, with "
                f"only {added} added. {notes}Verified and built from the zip by this build, this is the validated "
                f"module; the certificate's tested operational environments are {OPERATIONAL_ENVIRONMENTS}, and "
                "a claim elsewhere is the user's to make under the Security Policy.")
    return (record.source + f", built with its Security Policy's steps plus only {added}. {notes}Not built from "
            "the verified zip, so **neither the verified source nor the validated module**: no certificate "
            "covers this build.")


def certified(claim, record):
    """Whether CLAIM with RECORD earns the certificate reference."""
    return claim == ZIP and record is not None and record.kind == ZIP and not record.codegen_flags


def paragraph(claim, record, pins):
    """The wheel description's paragraph on an AWS-LC-FIPS library (docs/wheel-readme.md's library
    paragraph)."""
    return f"**AWS-LC FIPS {pins['FIPS_VERSION']}**: " + statement(claim, record, pins)


def plain(text):
    """TEXT without markdown's emphasis, for the SBOM."""
    return text.replace("**", "")
