"""The module frame: initialisation, function objects, argument checks, names, tracebacks."""

import builtins
import copy
import hashlib
import importlib.machinery
import inspect
import os
import pathlib
import pickle
import platform
import pydoc
import re
import shutil
import subprocess
import sys
import uuid
import weakref

import pytest

import valdrune_data.fingerprint as fp

# name, def line, parameters, annotations, local variable names
TABLE = [
    ("_safe_read", 12, ["path"], {"path": "str", "return": "str"}, ("path",)),
    ("_run_command", 19, ["args"], {"args": "list[str]", "return": "str"}, ("args", "completed")),
    ("_is_wsl", 29, [], {"return": "bool"}, ("version_text",)),
    ("_persistent_fallback_id", 36, [], {"return": "str"}, ("home", "target_dir", "target_file", "value")),
    ("_windows_machine_guid_from_python", 51, [], {"return": "str"}, ("winreg", "key", "value", "_")),
    ("_windows_machine_guid_from_regexe", 64, [], {"return": "str"}, ("text", "match")),
    ("_windows_machine_guid_from_powershell", 70, [], {"return": "str"}, ("text",)),
    ("_windows_machine_guid", 82, [], {"return": "str"}, ()),
    ("_mac_platform_uuid", 86, [], {"return": "str"}, ("text", "match")),
    ("_linux_machine_identifier", 92, [], {"return": "str"}, ("path", "value")),
    ("_primary_device_identifier", 104, [], {"return": "str"}, ("system",)),
    ("build_device_fingerprint", 117, [], {"return": "str"}, ("parts", "raw")),
]
NAMES = [row[0] for row in TABLE]


def test_namespace_holds_imports_functions_and_test_dict():
    namespace = vars(fp)
    assert fp.__doc__ is None and fp.__name__ == "valdrune_data.fingerprint"
    assert namespace["__builtins__"] is builtins
    imported = {"hashlib": hashlib, "os": os, "platform": platform, "re": re,
                "subprocess": subprocess, "uuid": uuid, "Path": pathlib.Path}
    for name, value in imported.items():
        assert namespace[name] is value
    assert fp.__test__ == {}
    keys = list(namespace)
    # imports before functions, functions in table order, __test__ last
    assert [k for k in keys if k in NAMES] == NAMES
    assert keys.index("Path") < keys.index(NAMES[0]) and keys[-1] == "__test__"
    expected = set(imported) | set(NAMES) | {"__builtins__", "__test__", "__name__", "__doc__",
                                             "__loader__", "__file__", "__package__", "__spec__"}
    assert set(keys) == expected
    assert fp.__package__ == "valdrune_data" and fp.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert "site-packages" in fp.__file__, "tests must run against the installed package"


@pytest.mark.parametrize("name, line, params, annotations, varnames", TABLE)
def test_function_attributes(name, line, params, annotations, varnames):
    f = getattr(fp, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "valdrune_data.fingerprint")
    assert f.__doc__ is None and f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__annotations__ == annotations and all(type(v) is str for v in f.__annotations__.values())
    assert f.__globals__ is vars(fp)
    code = f.__code__
    assert (code.co_filename, code.co_name, code.co_firstlineno) == ("compiled_src/fingerprint", name, line)
    assert code.co_argcount == len(params) and code.co_varnames == varnames
    assert code.co_kwonlyargcount == code.co_posonlyargcount == 0
    assert code.co_flags & (inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS) == 3
    assert not code.co_flags & (inspect.CO_GENERATOR | inspect.CO_COROUTINE | inspect.CO_VARARGS)
    sig = inspect.signature(f)
    assert list(sig.parameters) == params and sig.return_annotation == annotations["return"]
    # ordinary-function behaviour
    f.custom = 1
    assert f.__dict__ == {"custom": 1}
    del f.custom
    assert pickle.loads(pickle.dumps(f)) is f and copy.copy(f) is f and copy.deepcopy(f) is f
    assert weakref.ref(f)() is f
    # pydoc shows string annotations as they are written from 3.14 on, quoted before
    shown = sig.format(quote_annotation_strings=False) if sys.version_info >= (3, 14) else str(sig)
    assert f"{name}{shown}" in pydoc.render_doc(f, renderer=pydoc.plaintext)


def test_code_objects_are_safe_to_execute():
    with pytest.raises(AssertionError):
        exec(fp._is_wsl.__code__)
    with pytest.raises(TypeError):
        exec(fp._safe_read.__code__)


def test_function_binds_as_method_like_a_python_function():
    class Holder:
        wsl = fp._is_wsl
        read = fp._safe_read

    assert Holder.wsl is fp._is_wsl
    with pytest.raises(TypeError, match=r"_is_wsl\(\) takes no arguments \(1 given\)"):
        Holder().wsl()
    with pytest.raises(TypeError, match="expected str, got Holder"):
        Holder().read()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: fp.build_device_fingerprint(1), "build_device_fingerprint() takes no arguments (1 given)"),
        (lambda: fp._is_wsl(1, 2), "_is_wsl() takes no arguments (2 given)"),
        (lambda: fp._is_wsl(x=1), "_is_wsl() takes no keyword arguments"),
        (lambda: fp._is_wsl(1, x=1), "_is_wsl() takes no keyword arguments"),
        (lambda: fp._safe_read(None), "Argument 'path' has incorrect type (expected str, got NoneType)"),
        (lambda: fp._safe_read(b"/x"), "Argument 'path' has incorrect type (expected str, got bytes)"),
        (lambda: fp._safe_read(pathlib.Path("/x")),
         f"Argument 'path' has incorrect type (expected str, got {type(pathlib.Path()).__name__})"),
        (lambda: fp._run_command(("echo",)), "Argument 'args' has incorrect type (expected list, got tuple)"),
        (lambda: fp._run_command("echo"), "Argument 'args' has incorrect type (expected list, got str)"),
    ],
)
def test_errors_raised_before_the_function_is_entered(call, message, entries):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert entries(excinfo.value) == []
    assert not hasattr(excinfo.value, "__notes__")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: fp._safe_read(), "_safe_read() takes exactly 1 positional argument (0 given)"),
        (lambda: fp._safe_read("a", "b"), "_safe_read() takes exactly 1 positional argument (2 given)"),
        (lambda: fp._safe_read("a", path="b"), "_safe_read() got multiple values for keyword argument 'path'"),
        (lambda: fp._safe_read(paths="b"), "_safe_read() got an unexpected keyword argument 'paths'"),
        (lambda: fp._run_command(["x"], other=1), "_run_command() got an unexpected keyword argument 'other'"),
        (lambda: fp._run_command(), "_run_command() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_argument_count_and_keyword_errors_point_at_the_def_line(call, message, entries):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message
    name = message.split("(")[0]
    assert entries(excinfo.value) == [({"_safe_read": 12, "_run_command": 19}[name],
                                       f"valdrune_data.fingerprint.{name}")]


def test_subclass_instances_are_rejected_with_a_note(tmp_path):
    class S(str):
        pass

    class L(list):
        pass

    with pytest.raises(TypeError, match=r"expected str, got S\)") as excinfo:
        fp._safe_read(S(tmp_path))
    assert len(excinfo.value.__notes__) == 1 and "subclass" in excinfo.value.__notes__[0]
    with pytest.raises(TypeError, match=r"expected list, got L\)") as excinfo:
        fp._run_command(L(["true"]))
    assert len(excinfo.value.__notes__) == 1


def test_keyword_argument_is_accepted(tmp_path):
    (tmp_path / "f").write_text(" v \n")
    assert fp._safe_read(path=str(tmp_path / "f")) == "v"
    assert fp._run_command(args=[sys.executable, "-c", "print('ok')"]) == "ok"


def test_names_resolve_at_call_time_in_namespace_then_builtins(monkeypatch, entry):
    del fp.platform
    with pytest.raises(NameError, match="^name 'platform' is not defined$") as excinfo:
        fp.build_device_fingerprint()
    assert excinfo.value.name == "platform"
    assert entry(excinfo) == ("compiled_src/fingerprint", 119, "valdrune_data.fingerprint.build_device_fingerprint")
    # a builtin of that name is found once the module attribute is gone
    monkeypatch.setattr(builtins, "platform", platform, raising=False)
    assert len(fp.build_device_fingerprint()) == 64
    # and a module attribute, once set, wins over the builtin
    fp.platform = type("P", (), {"system": staticmethod(lambda: "X"), "machine": staticmethod(lambda: "Y")})
    fp._primary_device_identifier = lambda: "id"
    assert fp.build_device_fingerprint() == hashlib.sha256(b"x|y|id").hexdigest()


def test_unbounded_recursion_through_replacements_raises_recursion_error():
    fp.platform = type("P", (), {"system": staticmethod(lambda: "Linux")})
    fp._is_wsl = lambda: False
    fp._linux_machine_identifier = fp._primary_device_identifier
    with pytest.raises(RecursionError):
        fp._primary_device_identifier()


def test_reimport_gives_the_same_module_with_its_namespace(run_python):
    run_python("""
        import sys, importlib
        import valdrune_data.fingerprint as first
        first.marker = 42
        del sys.modules["valdrune_data.fingerprint"]
        second = importlib.import_module("valdrune_data.fingerprint")
        assert second is first and second.marker == 42
        assert sys.modules["valdrune_data.fingerprint"] is first
    """)


def test_legacy_subinterpreter_is_refused(run_python):
    inner = "try:\n    import valdrune_data.fingerprint\nexcept ImportError as e:\n    print('refused:', e)\n"
    pytest.importorskip("_testcapi", reason="needs CPython's test module")
    result = run_python(f"import _testcapi, valdrune_data.fingerprint\n_testcapi.run_in_subinterp({inner!r})")
    assert "refused: Interpreter change detected - this module can only be loaded into one interpreter " \
           "per process." in result.stdout


# An interpreter with a GIL of its own (the module named _xxsubinterpreters until 3.13).
OWN_GIL = """
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
import valdrune_data.fingerprint as fp
inner = ("try:\\n    import valdrune_data.fingerprint\\n"
         "except ImportError as e:\\n    print('refused:', e, flush=True)\\n")
interpreter = interpreters.create()
interpreters.run_string(interpreter, inner)
interpreters.destroy(interpreter)
print("main:", len(fp.build_device_fingerprint()))
"""


def test_an_interpreter_with_its_own_gil_is_refused_by_the_declaration(run_python):
    result = run_python(OWN_GIL)
    assert result.stdout.splitlines() == [
        "refused: module valdrune_data.fingerprint does not support loading in subinterpreters", "main: 64"]


@pytest.mark.parametrize(
    "setup, error, line",
    [
        ("sys.modules['hashlib'] = None", "ModuleNotFoundError", 3),
        ("sys.modules['subprocess'] = None", "ModuleNotFoundError", 7),
        ("import types; sys.modules['pathlib'] = types.ModuleType('pathlib')",
         "ImportError: cannot import name Path", 9),
    ],
)
def test_failed_initialisation_reports_the_step_and_can_be_retried(run_python, setup, error, line):
    result = run_python(f"""
        import sys, traceback
        saved = dict(sys.modules)
        {setup}
        try:
            import valdrune_data.fingerprint
        except ImportError as e:
            entries = [(f.filename, f.lineno, f.name) for f in traceback.extract_tb(e.__traceback__)]
            print(type(e).__name__ + ": " + str(e))
            print(entries[-1])
        sys.modules.clear(); sys.modules.update(saved)
        import valdrune_data.fingerprint as m
        print("retry", len(m.build_device_fingerprint()))
    """)
    assert error in result.stdout
    assert f"('compiled_src/fingerprint', {line}, 'init valdrune_data.fingerprint')" in result.stdout
    assert "retry 64" in result.stdout


@pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="loads this interpreter's build into Python 3.13")
def test_version_warning_under_another_python(run_python, python313):
    code = """
        import importlib.machinery, importlib.util, sys, warnings
        path = {path!r}
        loader = importlib.machinery.ExtensionFileLoader("valdrune_data.fingerprint", path)
        spec = importlib.util.spec_from_file_location("valdrune_data.fingerprint", path, loader=loader)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            module = importlib.util.module_from_spec(spec)
            loader.exec_module(module)
        print([str(w.message) for w in caught if w.category is RuntimeWarning])
        print(type(module.build_device_fingerprint()).__name__)
    """.format(path=fp.__file__)
    result = run_python(code, python=python313)
    assert ("compile time Python version 3.12 of module 'valdrune_data.fingerprint' does not match "
            "runtime version 3.13") in result.stdout
    assert "str" in result.stdout
    failed = run_python(code.replace('warnings.simplefilter("always")', 'warnings.simplefilter("error")'),
                        python=python313, check=False)
    assert failed.returncode != 0 and "RuntimeWarning" in failed.stderr


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("nm") is None,
                    reason="reads the ELF dynamic symbol table with nm")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", fp.__file__], capture_output=True, text=True,
                         check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if " T " in line] == ["PyInit_fingerprint"]


def test_exec_slot_on_another_module_is_refused_and_on_the_same_is_a_no_op():
    import ctypes
    import types

    definition = ctypes.PyDLL(fp.__file__).PyInit_fingerprint
    definition.restype = ctypes.c_void_p
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes, exec_def.restype = [ctypes.py_object, ctypes.c_void_p], ctypes.c_int
    with pytest.raises(RuntimeError, match="^Module 'fingerprint' has already been imported. "
                                          "Re-initialisation is not supported.$"):
        exec_def(types.ModuleType("other"), definition())
    fp.marker = 1
    assert exec_def(fp, definition()) == 0 and fp.marker == 1
