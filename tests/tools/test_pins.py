"""setup/pins is the one place the AWS-LC versions are typed: no other tracked file (but docs, the
locks and the listings) names them, the docs' version texts agree with it, and so does the lock
the package is fetched by. Each check is first shown to catch a planted fault."""
import re
import subprocess

from project import ROOT, load

PINS = load("core_fips_pins", "setup/pins.py").load()
VERSIONS = [PINS["DEBIAN_AWSLC_VERSION"], PINS["FIPS_VERSION"]]
# A version as text or in a name (X.Y.Z or X_Y_Z), not inside a longer number.
TYPED = re.compile("|".join(r"(?<![\d.])" + re.escape(v).replace(r"\.", "[._]") + r"(?![\d])" for v in VERSIONS))
DOCS = ["README.md", *sorted(p.relative_to(ROOT).as_posix() for p in (ROOT / "docs").glob("*.md"))]


def allowed(path):
    """Where the versions may be typed: the pins, docs, locks and listings."""
    return (path in ("setup/pins", PINS["DEBIAN_AWSLC_LISTING"], PINS["FIPS_LISTING"]) or path in DOCS
            or path.endswith(".lock"))


def typed_again(root, paths):
    """PATH:LINE of each line outside the allowed files that types a pinned version."""
    out = []
    for path in paths:
        if allowed(path) or not (root / path).is_file():
            continue
        for n, line in enumerate((root / path).read_text(errors="replace").splitlines(), 1):
            if TYPED.search(line):
                out.append(f"{path}:{n}: {line.strip()[:100]}")
    return out


def test_no_tracked_file_types_the_pinned_versions_again(tmp_path):
    tracked = subprocess.run(["git", "-C", str(ROOT), "ls-files"], capture_output=True, text=True,
                             check=True).stdout.split()
    assert len(tracked) > 100 and "setup/pins" in tracked
    # The scan catches a version typed in code, in a name, and leaves the allowed files alone.
    (tmp_path / "tools").mkdir()
    (tmp_path / "tools" / "x").write_text(f"v={VERSIONS[1]}\nname=prefix_{VERSIONS[0].replace('.', '_')}\n1{VERSIONS[1]}\n")
    (tmp_path / "docs").mkdir()
    (tmp_path / "docs" / "guide.md").write_text(VERSIONS[0])
    assert typed_again(tmp_path, ["tools/x", "docs/guide.md"]) == [
        f"tools/x:1: v={VERSIONS[1]}", f"tools/x:2: name=prefix_{VERSIONS[0].replace('.', '_')}"]
    assert typed_again(ROOT, tracked) == []


def doc_problems(text):
    """The docs' version texts that disagree with the pins."""
    deb, fips = PINS["DEBIAN_AWSLC_VERSION"], PINS["FIPS_VERSION"]
    out = []
    for m in re.finditer(r"AWS-LC-FIPS[- ](\d+\.\d+\.\d+)", text):
        out += [m.group(0)] if m.group(1) != fips else []
    for m in re.finditer(r"AWS-LC (?:FIPS )?(\d+\.\d+\.\d+)", text):
        out += [m.group(0)] if m.group(1) not in (deb, fips) else []
    for m in re.finditer(r"Debian's AWS-LC (\d+\.\d+\.\d+)", text):
        out += [m.group(0)] if m.group(1) != deb else []
    for m in re.finditer(r"core_fips_awslc_(?:fips_)?\d+_\d+_\d+", text):
        out += [m.group(0)] if m.group(0) not in (PINS["DEBIAN_AWSLC_PREFIX"], PINS["FIPS_PREFIX"]) else []
    for m in re.finditer(r"aws-lc-sys-\d+\.\d+\.\d+", text):
        out += [m.group(0)] if m.group(0) != PINS["DEBIAN_AWSLC_CRATE"] else []
    pinned = [PINS["FIPS_ZIP_SHA256"], PINS["FIPS_TREE_ID"], PINS["DEBIAN_AWSLC_DEB_SHA256"]]
    for m in re.finditer(r"\b([0-9a-f]{8})…([0-9a-f]{4})?|\b[0-9a-f]{64}\b", text):
        full, head, tail = m.group(0), m.group(1), m.group(2)
        if not any(full == p or head and p.startswith(head) and (not tail or p.endswith(tail)) for p in pinned):
            out.append(full)
    return out


def test_the_docs_version_texts_agree_with_the_pins():
    planted = (f"AWS-LC-FIPS 9.9.9, Debian's AWS-LC {PINS['FIPS_VERSION']}, core_fips_awslc_9_9_9_, "
               f"{PINS['FIPS_ZIP_SHA256'][:8]}…0000, AWS-LC FIPS {PINS['FIPS_VERSION']}")
    assert doc_problems(planted) == ["AWS-LC-FIPS 9.9.9", f"Debian's AWS-LC {PINS['FIPS_VERSION']}",
                                     "core_fips_awslc_9_9_9", f"{PINS['FIPS_ZIP_SHA256'][:8]}…0000"]
    found = {doc: doc_problems((ROOT / doc).read_text()) for doc in DOCS}
    assert {doc: p for doc, p in found.items() if p} == {}
    assert any(PINS["FIPS_VERSION"] in (ROOT / doc).read_text() for doc in DOCS)


def test_the_lock_fetches_the_pinned_awslc_package():
    (line,) = [l.split() for l in (ROOT / "setup" / "sid.lock").read_text().splitlines() if l.startswith("awslc ")]
    assert line[1:4] == [PINS["DEBIAN_AWSLC_DEB"], PINS["DEBIAN_AWSLC_DEB_VERSION"], PINS["DEBIAN_AWSLC_DEB_SHA256"]]
