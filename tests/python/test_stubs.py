"""The type stubs agree with the signatures the module reports at run time, document every
callable, and hold for the oldest interpreter the abi3 wheel serves."""
import ast
import inspect

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
    assert set(functions) | set(classes) == set(core.__all__)
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
    assert checked == 12


def test_buffer_comes_from_collections_abc_only_where_it_exists():
    """collections.abc.Buffer is new in 3.12: an unguarded import breaks the stubs on 3.11."""
    tree = ast.parse(STUBS.read_text())
    guards = [ast.unparse(n) for n in tree.body
              if isinstance(n, (ast.If, ast.Import, ast.ImportFrom)) and "Buffer" in ast.unparse(n)]
    assert guards == ["if sys.version_info >= (3, 12):\n    from collections.abc import Buffer\n"
                      "else:\n    from typing_extensions import Buffer"]
