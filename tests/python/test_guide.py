"""Every Python block of docs/guide.md runs, in order, in one namespace, so the guide cannot drift
from the module. The guide names what this setup provides: `public_key_pem`, `mlkem_public_pem`,
`data_dir`, and examples/ on the import path."""
import ast
import re

from conftest import ROOT
from test_encrypt_mlkem import SYNTHETIC

GUIDE = ROOT / "docs" / "guide.md"


def python_blocks(text):
    """(line of the block's first code line, code) for each ```python block."""
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1))
            for m in re.finditer(r"^```python\n(.*?)^```$", text, re.S | re.M)]


def test_every_python_block_of_the_guide_runs(core, keys, tmp_path, monkeypatch):
    blocks = python_blocks(GUIDE.read_text(encoding="utf-8"))
    assert len(blocks) >= 10, "the guide lost its examples, or this runner stopped finding them"
    monkeypatch.syspath_prepend(str(ROOT / "examples"))
    monkeypatch.chdir(tmp_path)
    (tmp_path / "data").mkdir()
    namespace = {"__name__": "guide", "public_key_pem": keys[2048][1],
                 "mlkem_public_pem": SYNTHETIC[1024], "data_dir": str(tmp_path / "data")}
    for line, code in blocks:
        tree = ast.parse(code, filename=str(GUIDE))
        ast.increment_lineno(tree, line - 1)  # tracebacks point into the guide
        exec(compile(tree, str(GUIDE), "exec"), namespace)
