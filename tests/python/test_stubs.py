"""The type stubs agree with the signatures the module reports at run time, document every
callable, and hold for the oldest interpreter the abi3 wheel serves."""
import ast
import builtins
import inspect
import re
import types
from pathlib import Path

from conftest import ROOT

STUBS = ROOT / "stubs" / "_core_fips.pyi"


def stub_parameters(node):
    """Parameter names and defaults of a stub function, `self`/`cls` dropped."""
    args = node.args.args
    defaults = [None] * (len(args) - len(node.args.defaults)) + node.args.defaults
    out = []
    for arg, default in zip(args, defaults):
        if arg.arg in ("self", "cls"):
            continue
        out.append((arg.arg, inspect.Parameter.empty if default is None
                    else ast.literal_eval(default)))
    return out


def runtime_parameters(obj):
    return [(p.name, p.default) for p in inspect.signature(obj).parameters.values()
            if p.name != "self"]


def test_every_public_name_has_a_stub_with_the_runtime_signature(core):
    tree = ast.parse(STUBS.read_text())
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    # __all__'s seven names, and the additions the module binds outside it.
    assert set(functions) | set(classes) == set(core.__all__) | {"encrypt_mlkem"}
    checked = 0
    for name, node in functions.items():
        assert ast.get_docstring(node), f"{name} has no docstring"
        assert stub_parameters(node) == runtime_parameters(getattr(core, name)), name
        checked += 1
    for name, cls_node in classes.items():
        cls = getattr(core, name)
        for member in cls_node.body:
            if not isinstance(member, ast.FunctionDef):
                continue
            assert ast.get_docstring(member), f"{name}.{member.name} has no docstring"
            if any(ast.unparse(d) == "property" for d in member.decorator_list):
                continue
            target = cls if member.name == "__new__" else getattr(cls, member.name)
            assert stub_parameters(member) == runtime_parameters(target), f"{name}.{member.name}"
            checked += 1
    assert checked == 13


def _prelude(version):
    """Runs the stubs' module-level imports as an interpreter of VERSION would: what each import
    statement asked for, and what the name Buffer ends up bound to."""
    tree = ast.parse(STUBS.read_text())
    body = [n for n in tree.body if isinstance(n, (ast.If, ast.Import, ast.ImportFrom))]
    asked = []

    def fake_import(name, globals=None, locals=None, fromlist=(), level=0):
        if name == "sys":
            return types.SimpleNamespace(version_info=version)
        asked.append((name, tuple(fromlist or ())))
        return types.SimpleNamespace(**{n: f"{name}.{n}" for n in fromlist or ()})

    scope = {"__builtins__": {"__import__": fake_import}}
    exec(compile(ast.Module(body, []), str(STUBS), "exec"), scope)
    return asked, scope


def test_stub_names_resolve_on_every_interpreter_the_wheels_serve():
    """collections.abc.Buffer is new in 3.12: imported unguarded, the stubs break on 3.11; and
    every name an annotation uses must be bound by the imports, the stubs or the builtins."""
    for version, source in (((3, 11, 0), "typing_extensions"), ((3, 12, 0), "collections.abc"),
                            ((3, 14, 0), "collections.abc")):
        asked, scope = _prelude(version)
        assert scope.get("Buffer") == f"{source}.Buffer", (version, scope.get("Buffer"))
        assert [a for a in asked if "Buffer" in a[1]] == [(source, ("Buffer",))], (version, asked)
    tree = ast.parse(STUBS.read_text())
    bound = set(scope) | {n.name for n in tree.body if isinstance(n, ast.ClassDef)} | set(dir(builtins))
    used = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.arg) and node.annotation:
            used |= {n.id for n in ast.walk(node.annotation) if isinstance(n, ast.Name)}
        if isinstance(node, ast.FunctionDef) and node.returns:
            used |= {n.id for n in ast.walk(node.returns) if isinstance(n, ast.Name)}
    assert "Buffer" in used and used - bound == set(), used - bound


def test_one_stub_text_installed_where_mypy_and_pyright_look():
    """PEP 561 reads a single-file module's stubs only from a `_core_fips-stubs` package (mypy
    reads nothing else); pyright also takes the file beside the module. Both places get the one
    text under stubs/, so the two copies cannot drift apart."""
    cmake = (ROOT / "CMakeLists.txt").read_text()
    rules = re.findall(r"^install\(FILES (stubs/\S+) DESTINATION (\S+)(?: RENAME (\S+))?\)", cmake, re.M)
    installed = {(src, f"{dest}/{rename or Path(src).name}".removeprefix("./")) for src, dest, rename in rules}
    assert installed == {("stubs/_core_fips.pyi", "_core_fips.pyi"),
                         ("stubs/_core_fips.pyi", "_core_fips-stubs/__init__.pyi")}, installed
    assert sorted(p.name for p in STUBS.parent.iterdir()) == ["_core_fips.pyi"]
