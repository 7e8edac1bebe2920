"""The project's own scripts, which are not packages, loaded by path for the tool tests."""
import importlib.util
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def load(name, path):
    """The module at ROOT/PATH, imported under NAME."""
    spec = importlib.util.spec_from_file_location(name, ROOT / path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
