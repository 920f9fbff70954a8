"""The module object, the function object and the PanicException class."""

import ast
import importlib
import inspect
import os
import pathlib
import subprocess
import sys
import textwrap
import types

import pytest

import _nj_py

NJ_DOC = """\
Run Neighbor-Joining and return a Newick string.

`config` must be a dict matching the shape described in the module
documentation. `on_progress`, if provided, is called as
`on_progress(completed, total)` after each bootstrap replicate.
Raises `ValueError` if the config is malformed or if the NJ algorithm
fails (e.g. incompatible model for the detected alphabet)."""


def test_module_attributes():
    assert _nj_py.__name__ == "_nj_py"
    assert _nj_py.__doc__ == ""
    assert _nj_py.__all__ == ["nj"]
    assert type(_nj_py.__all__) is list
    public = {name for name in vars(_nj_py) if not name.startswith("_")}
    assert public == {"nj", "PanicException"}


def test_function_object():
    nj = _nj_py.nj
    assert type(nj) is types.BuiltinFunctionType
    assert nj.__name__ == "nj"
    assert nj.__qualname__ == "nj"
    assert nj.__module__ == "_nj_py"
    assert nj.__self__ is _nj_py
    assert nj.__text_signature__ == "(py_config, on_progress=None)"
    assert nj.__doc__ == NJ_DOC


def test_signature():
    parameters = list(inspect.signature(_nj_py.nj).parameters.values())
    assert [(p.name, p.kind, p.default) for p in parameters] == [
        ("py_config", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
        ("on_progress", inspect.Parameter.POSITIONAL_OR_KEYWORD, None),
    ]


def test_panic_exception_class():
    panic = _nj_py.PanicException
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__module__ == "_nj_py"
    assert panic.__qualname__ == "PanicException"
    assert "BaseException" in panic.__doc__
    assert "PanicException" not in _nj_py.__all__


def test_import_again_gives_the_same_module(monkeypatch):
    first = sys.modules["_nj_py"]
    for _ in range(3):
        monkeypatch.delitem(sys.modules, "_nj_py")
        again = importlib.import_module("_nj_py")
        assert again is first
        assert again.nj is first.nj
        assert again.PanicException is first.PanicException
    assert again.__all__ == ["nj"]


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=120,
    )


def test_sub_interpreter_import_is_refused():
    pytest.importorskip("_xxsubinterpreters")
    result = run_python("""
        import _nj_py
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import _nj_py")
        except interpreters.RunFailedError as failure:
            print(failure)
        finally:
            interpreters.destroy(interp)
        print(_nj_py.nj({"msa": [{"identifier": "a", "sequence": "AC"}],
                         "n_bootstrap_samples": 0, "substitution_model": "PDiff"}))
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("<class 'ImportError'>: ")
    assert "sub-interpreters" in lines[0]
    assert lines[1] == "a;"


DAEMON_AT_EXIT = """
    import sys, threading, time
    import _nj_py

    sys.modules["pydantic"] = None  # the reader's import of it fails at once

    class SlowTeardown:
        def __del__(self):  # runs while the interpreter finalizes, lock released
            time.sleep(0.05)

    teardown = SlowTeardown()
    inside = threading.Event()

    def pause(*args):
        inside.set()
        time.sleep(0.001)

    class Pausing:
        @property
        def __dict__(self):
            pause()
            return {}

    cfg = {"msa": [{"identifier": n, "sequence": s} for n, s in [("a", "AC"), ("b", "AG"), ("c", "TG")]],
           "n_bootstrap_samples": 0, "substitution_model": "PDiff"}
    if sys.argv[1] == "callback":
        call = lambda: _nj_py.nj(dict(cfg, n_bootstrap_samples=2**63 - 1), pause)
    else:
        call = lambda: _nj_py.nj(dict(cfg, extra=[Pausing()] * 10**4))
    threading.Thread(target=call, daemon=True).start()
    inside.wait()
"""


@pytest.mark.parametrize("where", ["callback", "reader"])
def test_daemon_thread_inside_nj_at_exit(where):
    """The interpreter ends a daemon thread that wants its lock back while it
    finalizes, by unwinding the thread's stack: here from inside the progress
    callback or an object the reader reads. The unwinding passes through nj
    and the process exits normally."""
    # What the ended thread's frames hold stays with the dying interpreter, as
    # for any daemon thread (CPython's record of the thread's start among it):
    # LeakSanitizer, when it runs, would report that as leaks.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    for _ in range(2):
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(DAEMON_AT_EXIT), where],
                                capture_output=True, text=True, timeout=120, env=env)
        assert (result.returncode, result.stderr) == (0, "")


def test_type_stub_matches_the_module():
    stub = pathlib.Path(_nj_py.__file__).with_name("_nj_py.pyi")
    assert stub.is_file(), "the type stub is installed beside the module"
    tree = ast.parse(stub.read_text())
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert [a.arg for a in functions["nj"].args.args] == ["py_config", "on_progress"]
    assert [ast.unparse(b) for b in classes["PanicException"].bases] == ["BaseException"]
    assert ast.get_docstring(functions["nj"]) == NJ_DOC
