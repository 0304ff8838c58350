"""The type stub against the bound signatures, the stub as installed, and the
package's own annotations."""
import ast
import inspect
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import _movra

STUB = pathlib.Path(__file__).resolve().parents[1] / "src" / "module" / "_movra.pyi"
INT = "typing.SupportsInt | typing.SupportsIndex"
SANITIZED = bool(os.environ.get("MOVRA_SANITIZED"))


def stub_tree():
    return ast.parse(STUB.read_text())


def stub_class(tree, name):
    return next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == name)


def typed_dict_names(tree):
    return {n.name for n in tree.body if isinstance(n, ast.ClassDef)
            and any(ast.unparse(b) == "typing.TypedDict" for b in n.bases)}


def normalise(node):
    """The annotation's text with the stub's alias expanded and the module's
    own prefix dropped, as the extension writes them."""
    if node is None:
        return None
    return ast.unparse(node).replace("_movra.", "").replace("_Int", INT)


def runtime_signature(func):
    """The signature the extension renders as the first docstring line."""
    line = func.__doc__.splitlines()[0]
    return ast.parse(f"def {line}: ...").body[0]


def params(fn):
    a = fn.args
    return [(p, True) for p in a.posonlyargs] + [(p, False) for p in a.args]


def annotation_matches(runtime, stub, typed_dicts, result):
    if runtime == stub:
        return True
    if result and runtime == "object":
        return True  # the extension returns a generic object; the stub says what it holds
    if runtime == "dict":
        return stub.startswith("dict[") or (result and stub in typed_dicts)
    return False


BOUND_METHODS = sorted(n for n, v in vars(_movra.NativeStream).items()
                       if not n.startswith("_") and not isinstance(v, type))


def test_stub_declares_exactly_the_bound_methods():
    bound = set(BOUND_METHODS)
    stubbed = {f.name for f in stub_class(stub_tree(), "NativeStream").body
               if isinstance(f, ast.FunctionDef)}
    assert stubbed == bound


@pytest.mark.parametrize("name", BOUND_METHODS)
def test_stub_signature_matches_the_binding(name):
    tree = stub_tree()
    typed_dicts = typed_dict_names(tree)
    stub = next(f for f in stub_class(tree, "NativeStream").body
                if isinstance(f, ast.FunctionDef) and f.name == name)
    runtime = runtime_signature(getattr(_movra.NativeStream, name))

    is_static = isinstance(inspect.getattr_static(_movra.NativeStream, name), staticmethod)
    assert ("staticmethod" in [ast.unparse(d) for d in stub.decorator_list]) == is_static

    got, want = params(stub), params(runtime)
    if not is_static:
        assert want[0][0].arg == "self" and got[0][0].arg == "self"
        got, want = got[1:], want[1:]
    assert len(got) == len(want)
    for (s, s_posonly), (r, _) in zip(got, want):
        # The extension names an unnamed parameter argN: only then is the
        # stub's parameter positional-only, and only then may its name differ.
        unnamed = re.fullmatch(r"arg\d+", r.arg) is not None
        assert s_posonly == unnamed, (name, r.arg)
        if not unnamed:
            assert s.arg == r.arg
        assert annotation_matches(normalise(r.annotation), normalise(s.annotation), typed_dicts, False), \
            (name, r.arg, ast.unparse(r.annotation), ast.unparse(s.annotation))
    assert stub.args.vararg is None and stub.args.kwarg is None and not stub.args.kwonlyargs
    assert not stub.args.defaults, "no bound parameter has a default"
    assert annotation_matches(normalise(runtime.returns), normalise(stub.returns), typed_dicts, True), \
        (name, ast.unparse(runtime.returns), ast.unparse(stub.returns))


@pytest.mark.skipif(SANITIZED, reason="mypy is not run under the sanitizer runtimes")
def test_stubtest_finds_no_difference(tmp_path):
    # pybind11's metaclass and its catch-all __init__ (which raises "No
    # constructor defined!") have no honest spelling in a stub.
    allow = tmp_path / "allow.txt"
    allow.write_text("_movra.NativeStream\n_movra.NativeStream.__init__\n"
                     "_movra.NativeStream.ArrowResult\n_movra.NativeStream.ArrowResult.__init__\n")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_movra", "--allowlist", str(allow),
                           "--mypy-config-file", os.devnull],
                          capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runs import the module from the build tree")
def test_installed_types_reach_mypy(tmp_path):
    platlib = pathlib.Path(sysconfig.get_paths()["platlib"])
    assert (platlib / "_movra.pyi").read_text() == STUB.read_text()
    assert (platlib / "_movra-stubs" / "py.typed").exists()
    user = tmp_path / "user.py"
    user.write_text(textwrap.dedent("""
        import _movra
        s = _movra.NativeStream.manual(batch_size=10, linger_ms=5, capacity=100)
        reveal_type(s.stats())
        reveal_type(s.aggregate_trade_numeric([1], [1], [1], [1.0], 1000)["avg_value"])
        reveal_type(s.next_batch({}, 0))
        s.emit_json(event={"a": 1})
        s.manual(1, 2)
    """))
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--config-file", os.devnull,
                           str(user)], capture_output=True, text=True, cwd=tmp_path)
    out = done.stdout
    assert 'Revealed type is "builtins.dict[builtins.str, builtins.int]"' in out or \
        'Revealed type is "dict[str, int]"' in out, out
    assert re.search(r'Revealed type is "(builtins\.)?list\[(builtins\.)?float\]"', out), out
    assert "| None" in out, out
    assert 'Unexpected keyword argument "event"' in out, out
    assert 'Missing positional argument "capacity"' in out, out
    assert "import-not-found" not in out and "import-untyped" not in out, out


PACKAGE = pathlib.Path(__file__).resolve().parents[1] / "src" / "movra"


@pytest.mark.skipif(SANITIZED, reason="mypy is not run under the sanitizer runtimes")
def test_package_passes_mypy_strict_and_types_reach_users(tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--config-file",
                           os.devnull, str(PACKAGE)], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    user = tmp_path / "user.py"
    user.write_text(textwrap.dedent("""
        import movra
        stream = movra.manual(capacity=10)
        plan = movra.Plan(window="1s", mean="price")
        reveal_type(stream.poll(plan))
        reveal_type(next(stream.batches(plan)))
        reveal_type(stream.stats()["dropped"])
        raw: movra.RawPlan = {"filters": [], "select": None, "window": None, "mean": None,
                              "watermark_ms": None, "allowed_lateness_ms": None, "event_id_field": None}
        movra.Plan(windw="1s")
    """))
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--config-file", os.devnull,
                           str(user)], capture_output=True, text=True, cwd=tmp_path)
    out = done.stdout
    assert re.search(r'Revealed type is "(builtins\.)?dict\[(builtins\.)?str, (builtins\.)?list\[Any\]\] \| None"',
                     out), out
    assert re.search(r'Revealed type is "(builtins\.)?dict\[(builtins\.)?str, (builtins\.)?list\[Any\]\]"', out), out
    assert re.search(r'Revealed type is "(builtins\.)?int"', out), out
    assert 'Missing key "drop_late"' in out, out
    assert 'Unexpected keyword argument "windw"' in out, out
    assert "import-not-found" not in out and "import-untyped" not in out, out
