"""setup/pins as a dict: the one place the AWS-LC versions, prefixes and source identities live.
Standard library only (the sdist's build and the tests import it)."""
import re
from pathlib import Path

PINS = Path(__file__).resolve().with_name("pins")


def load(path=PINS):
    out = {}
    for n, line in enumerate(Path(path).read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        m = re.fullmatch(r"([A-Z][A-Z0-9_]*)=(\S+)", line)
        if not m:
            raise ValueError(f"{path}:{n}: not a KEY=value line without spaces: {line!r}")
        out[m.group(1)] = m.group(2)
    return out
