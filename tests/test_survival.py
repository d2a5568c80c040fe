"""What real programs do around the module: threads left inside it at exit, an embedding application that
re-initialises the interpreter, memory and recursion failures, piped standard input, failing stores."""

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import time
import types
import uuid

import pytest

import valdrune_data.fingerprint as fp

SITE = str(pathlib.Path(fp.__file__).resolve().parent.parent)

DAEMON = """
import threading, time, valdrune_data.fingerprint as fp
def loop():
    while True:
        fp.build_device_fingerprint()
threading.Thread(target=loop, daemon=True).start()
time.sleep(0.2)
"""


# Exit safety rests on nothing a program can change: its exit functions cleared, or run early,
# change nothing, and calls on other threads afterwards neither leak nor leave an exception set.
EXIT_FUNCTIONS_RUN = """
import atexit, sys, threading, uuid, valdrune_data.fingerprint as fp
atexit._run_exitfuncs()
fp.uuid = type("U", (), {"uuid4": staticmethod(lambda: 1 / 0), "getnode": staticmethod(uuid.getnode)})
fp.Path = type("P", (), {"home": staticmethod(lambda: __import__("pathlib").Path("/dev/null"))})
seen = []
def calls():
    for _ in range(200):
        fp._persistent_fallback_id()
    before = sys.getallocatedblocks()
    for _ in range(3000):
        fp._persistent_fallback_id()
    seen.append((sys.getallocatedblocks() - before < 100, sys.exception()))
thread = threading.Thread(target=calls)
thread.start()
thread.join()
print(seen)
"""


@pytest.mark.slow
@pytest.mark.parametrize("before_exit", ["", "import atexit; atexit._clear()",
                                         "import atexit; atexit._run_exitfuncs()"])
def test_interpreter_exits_with_a_daemon_thread_inside_the_module(tmp_path, home, before_exit, scaled):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("g++ 12's AddressSanitizer runtime reports a false error of its own on a thread that the "
                    "interpreter ends by unwinding it (its no-return hook calls its own sigaltstack interceptor "
                    "on the unwound frames' poison); clang 16's runtime runs this test")
    exits = scaled(20, 8)  # 8 under an emulator, where each interpreter takes seconds to start
    children = [subprocess.Popen([sys.executable, "-c", DAEMON + before_exit], cwd=tmp_path, stderr=subprocess.PIPE)
                for _ in range(exits)]
    results = [(child.wait(timeout=60), child.communicate()[1]) for child in children]
    assert results == [(0, b"")] * exits
    if "_run_exitfuncs" in before_exit:
        assert subprocess.run([sys.executable, "-c", EXIT_FUNCTIONS_RUN], cwd=tmp_path, capture_output=True,
                              text=True, timeout=120).stdout == "[(True, None)]\n"


EMBED = r"""
#include <Python.h>
int main(void) {
  for (int round = 0; round < 3; ++round) {
    Py_Initialize();
    /* CPython 3.12's OpenSSL hash module crashes when imported again after a
       re-initialisation, with or without this module; the built-in one is used. */
    if (PyRun_SimpleString("import sys\nsys.modules['_hashlib'] = None\n"
                           "import valdrune_data.fingerprint as fp\n"
                           "print(fp.build_device_fingerprint(), flush=True)\n") != 0) return 10 + round;
    if (Py_FinalizeEx() < 0) return 20 + round;
  }
  return 0;
}
"""


def test_embedded_interpreter_finalised_and_initialised_again(tmp_path, home):
    libdir, library = sysconfig.get_config_var("LIBDIR"), sysconfig.get_config_var("LDLIBRARY")
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not compiler or not library or not library.endswith(".so") or not os.path.exists(os.path.join(libdir, library)):
        pytest.skip("needs a C compiler and the interpreter's shared library (libpython) to embed it")
    (tmp_path / "embed.c").write_text(EMBED)
    version = sysconfig.get_config_var("LDVERSION")
    subprocess.run([compiler, "embed.c", "-I", sysconfig.get_config_var("INCLUDEPY"), "-L", libdir,
                    f"-lpython{version}", f"-Wl,-rpath,{libdir}", "-o", "embed"], cwd=tmp_path, check=True)
    result = subprocess.run([str(tmp_path / "embed")], cwd=tmp_path, capture_output=True, text=True, timeout=120,
                            env={**os.environ, "PYTHONPATH": SITE})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [fp.build_device_fingerprint()] * 3


@pytest.mark.parametrize("error", [MemoryError, RecursionError])
def test_memory_and_recursion_errors_are_never_absorbed(home, monkeypatch, error):
    def fail(*args, **kwargs):
        raise error("inside the guarded region")

    winreg = types.ModuleType("winreg")
    winreg.HKEY_LOCAL_MACHINE, winreg.OpenKey = 0, fail
    monkeypatch.setitem(sys.modules, "winreg", winreg)
    regions = [
        ({"Path": fail}, lambda: fp._safe_read(str(home))),
        ({"subprocess": types.SimpleNamespace(run=fail, DEVNULL=subprocess.DEVNULL)}, lambda: fp._run_command(["x"])),
        ({"uuid": types.SimpleNamespace(uuid4=fail, getnode=uuid.getnode)}, fp._persistent_fallback_id),
        ({}, fp._windows_machine_guid_from_python),  # the stand-in winreg fails to open the key
    ]
    for replacements, call in regions:
        saved = dict(vars(fp))
        vars(fp).update(replacements)
        with pytest.raises(error, match="inside the guarded region"):
            call()
        vars(fp).update(saved)
    # Near the recursion limit, a call gives the right answer or RecursionError, never another value.
    (home / "id").write_text("identifier\n")
    stored = fp._persistent_fallback_id()

    def at_depth(depth, call):
        return at_depth(depth - 1, call) if depth else call()

    outcomes = set()
    for depth in range(sys.getrecursionlimit() - 80, sys.getrecursionlimit()):
        for call, expected in ((lambda: fp._safe_read(str(home / "id")), "identifier"),
                               (fp._persistent_fallback_id, stored)):
            try:
                outcomes.add(at_depth(depth, call) == expected)
            except RecursionError:
                outcomes.add("RecursionError")
    assert outcomes == {True, "RecursionError"}


STDIN = """
import sys, valdrune_data.fingerprint as fp
print(repr(fp._run_command([sys.argv[1]])))
print(repr(sys.stdin.read()))
"""


def test_commands_never_read_the_callers_standard_input(bin_dir, tmp_path):
    program = bin_dir("reads-stdin", "import sys\nprint('child saw', repr(sys.stdin.read()))\n")
    result = subprocess.run([sys.executable, "-c", STDIN, str(program)], input="record-1\nrecord-2\n",
                            capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert result.stdout.splitlines() == ['"child saw \'\'"', repr("record-1\nrecord-2\n")], result.stderr


def test_failed_stores_keep_memory_flat_and_any_identifier_text_is_stored(home, move_home, scaled):
    state = home / ".valdrune"
    state.mkdir()
    try:
        (state / "device_fingerprint").symlink_to(state / "nowhere")  # every store fails
    except OSError as exc:
        pytest.skip(f"no symbolic links here: {exc}")
    if not (state / "device_fingerprint").is_symlink():
        pytest.skip("symbolic links are made but are not links here (Wine)")
    fallback = f"fallback-{uuid.getnode()}"
    for _ in range(scaled(2000, 500)):
        assert fp._persistent_fallback_id() == fallback
    before = sys.getallocatedblocks()
    for _ in range(scaled(20_000, 5_000)):  # under an emulator a leak still shows 5,000 blocks
        fp._persistent_fallback_id()
    assert sys.getallocatedblocks() - before < 100
    assert [p.name for p in state.iterdir()] == ["device_fingerprint"]
    for text in ("x" * 250, "a/b", "nul\0inside"):
        move_home(home / str(len(text)))
        fp.uuid = types.SimpleNamespace(uuid4=lambda text=text: text)
        assert fp._persistent_fallback_id() == text
        assert (home / str(len(text)) / ".valdrune" / "device_fingerprint").read_text() == text


RECURSION = """
import sys, threading, valdrune_data.fingerprint as fp
fp._safe_read = lambda path: fp._linux_machine_identifier()  # module -> Python -> module, without end
outcome = []
def run():
    try:
        fp._linux_machine_identifier()
    except RecursionError:
        outcome.append("RecursionError")
threading.stack_size(256 * 1024)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(*outcome)
"""


def test_stale_temporaries_are_removed_and_deep_recursion_ends_in_recursion_error(home, run_python):
    state = home / ".valdrune"
    state.mkdir()
    stale, fresh = state / ".device_fingerprint.0123abcd0123abcd.tmp", state / ".device_fingerprint.4567cdef4567cdef.tmp"
    for path, age in ((stale, 120), (fresh, 10)):
        path.write_text("left by a killed writer")
        os.utime(path, (time.time() - age,) * 2)
    with open(fresh) as writing:  # a living writer holds its temporary file locked, where it can
        if hasattr(os, "fork"):
            import fcntl
            fcntl.flock(writing, fcntl.LOCK_EX)
        value = fp._persistent_fallback_id()
    assert sorted(p.name for p in state.iterdir()) == [fresh.name, "device_fingerprint"]
    assert (state / "device_fingerprint").read_text() == value
    # On 3.13 a minimal C extension needs more than 256 KiB as well; sanitizer builds pad every frame.
    if sys.version_info[:2] == (3, 12) and "asan" not in os.environ.get("LD_PRELOAD", ""):
        assert run_python(RECURSION).stdout.split() == ["RecursionError"]


# Threads call every public path while others replace and restore module functions, platform
# and function attributes with equivalents, and others race the first store; without a GIL
# where the build has none.
STRESS = r"""
import os, pathlib, platform, sys, threading, types
import valdrune_data, valdrune_data.fingerprint as fp
gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
fingerprint, identifier = fp.build_device_fingerprint(), fp._primary_device_identifier()
keyed = valdrune_data.app_fingerprint("app")
real = {name: getattr(fp, name) for name in ("_is_wsl", "_safe_read", "_primary_device_identifier", "platform")}
safe_read, is_wsl, run_command = fp._safe_read, fp._is_wsl, fp._run_command  # the compiled functions
system = platform.system

def stand_ins():  # new objects each time, so that each replacement frees the one before
    return {"_is_wsl": lambda _o=None: real["_is_wsl"](),
            "_safe_read": lambda path, _o=None: real["_safe_read"](path),
            "_primary_device_identifier": lambda _o=None: real["_primary_device_identifier"](),
            "platform": types.SimpleNamespace(system=lambda: system(), machine=platform.machine)}
errors, stop, stores = [], threading.Event(), []
barrier = threading.Barrier(8)

def calls():
    try:
        # With a GIL the threads mostly wait for it; under an emulator a third as many rounds.
        for _ in range((300 if gil else 2500) // (3 if os.environ.get("VALDRUNE_EMULATED") == "1" else 1)):
            assert fp.build_device_fingerprint() == fingerprint
            assert fp._primary_device_identifier() == identifier
            assert valdrune_data.app_fingerprint("app") == keyed
            assert fp._safe_read("/no/such/file") == ""
            try:
                safe_read()
            except TypeError as exc:
                assert "takes exactly 1 positional argument" in str(exc), exc
            repr(safe_read), is_wsl.__qualname__, run_command.__doc__
    except BaseException as exc:
        errors.append(repr(exc))

def replaces():
    while not stop.is_set():
        for name, value in stand_ins().items():
            setattr(fp, name, value)
        platform.system = lambda _o=None: system()
        is_wsl.__doc__ = run_command.__doc__ = "replaced"
        safe_read.__qualname__ = "_safe_read_elsewhere"
        for name, value in real.items():
            setattr(fp, name, value)
        platform.system = system
        is_wsl.__doc__ = run_command.__doc__ = None
        safe_read.__qualname__ = "_safe_read"

def stores_first(home):
    barrier.wait()
    stores.append(fp._persistent_fallback_id())

threads = [threading.Thread(target=calls) for _ in range(6)] + [threading.Thread(target=replaces) for _ in range(2)]
homes = [threading.Thread(target=stores_first, args=(sys.argv[1],)) for _ in range(8)]
for thread in threads + homes:
    thread.start()
for thread in threads[:6] + homes:
    thread.join()
stop.set()
for thread in threads[6:]:
    thread.join()
stored = (pathlib.Path(sys.argv[1]) / ".valdrune" / "device_fingerprint").read_text()
print("errors", errors[:3], len(errors))
print("stores", len(set(stores)), set(stores) == {stored})
print("gil", gil, sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True)
"""


@pytest.mark.slow
def test_threads_without_a_gil_calling_replacing_and_storing_at_once(home, run_python):
    result = run_python(STRESS.replace("sys.argv[1]", repr(str(home))), timeout=600)
    lines = result.stdout.splitlines()
    assert lines[:2] == ["errors [] 0", "stores 1 True"], result.stdout
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        assert lines[2] == "gil False False"  # importing the module did not turn the GIL on


# Recursion through replaced names (module, Python, module, ...) on a thread with a 256 KiB stack,
# by each kind of call the module makes: RecursionError, never a crashed process.
ROUTES = """
import pathlib, subprocess, sys, threading, types, uuid
import valdrune_data.fingerprint as fp
route = sys.argv[1]
class Lowering(str):
    def lower(self):
        return fp.build_device_fingerprint()
winreg = types.ModuleType("winreg")
winreg.HKEY_LOCAL_MACHINE = 0
winreg.OpenKey = lambda *a: fp._windows_machine_guid_from_python()
def replace(name, value):
    return lambda: setattr(fp, name, value)
ROUTES = {
    "platform.machine": (replace("platform", types.SimpleNamespace(
        system=lambda: "Linux", machine=lambda: fp.build_device_fingerprint())), fp.build_device_fingerprint),
    "str.lower": (replace("platform", types.SimpleNamespace(system=lambda: Lowering("Linux"), machine=lambda: "x")),
                  fp.build_device_fingerprint),
    "Path.home": (replace("Path", type("P", (), {"home": staticmethod(lambda: fp._persistent_fallback_id())})),
                  fp._persistent_fallback_id),
    "uuid.uuid4": (replace("uuid", types.SimpleNamespace(uuid4=lambda: fp._persistent_fallback_id(),
                                                         getnode=uuid.getnode)), fp._persistent_fallback_id),
    "subprocess.run": (replace("subprocess", types.SimpleNamespace(run=lambda *a, **k: fp._run_command(["x"]),
                                                                   DEVNULL=subprocess.DEVNULL)),
                       lambda: fp._run_command(["x"])),
    "winreg.OpenKey": (lambda: sys.modules.__setitem__("winreg", winreg), fp._windows_machine_guid_from_python),
    "_safe_read": (replace("_safe_read", lambda path: fp._linux_machine_identifier()), fp._linux_machine_identifier),
}
setup, start = ROUTES[route]
setup()
outcome = []
def run():
    try:
        start()
        outcome.append("returned")
    except RecursionError:
        outcome.append("RecursionError")
    except BaseException as exc:
        outcome.append(type(exc).__name__)
threading.stack_size(256 * 1024)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(*outcome)
"""


@pytest.mark.parametrize("route", ["platform.machine", "str.lower", "Path.home", "uuid.uuid4", "subprocess.run",
                                   "winreg.OpenKey", "_safe_read"])
def test_deep_recursion_on_a_small_stack_ends_in_recursion_error(route, tmp_path, home):
    result = subprocess.run([sys.executable, "-c", ROUTES, route], cwd=tmp_path, capture_output=True, text=True,
                            timeout=120)
    assert (result.returncode, result.stdout) == (0, "RecursionError\n"), result.stderr[-2000:]


# Python code on a stack of its own (a makecontext fiber, as embedding applications and coroutine
# libraries run it): module calls there work wherever plain Python does.
FIBER = r"""
import ctypes, sys
import valdrune_data.fingerprint as fp
libc = ctypes.CDLL(None)
main, fiber = ctypes.create_string_buffer(4096), ctypes.create_string_buffer(4096)  # more than a ucontext_t
stack = ctypes.create_string_buffer(4 << 20)
results = []
@ctypes.CFUNCTYPE(None)
def body():
    for name, call in (("plain", lambda: sorted(str(i) for i in range(100))[0]),
                       ("module", lambda: fp._safe_read("/nonexistent/file"))):
        try:
            results.append((name, call()))
        except BaseException as exc:
            results.append((name, type(exc).__name__))
assert libc.getcontext(fiber) == 0
# 64-bit glibc: uc_link at 8, then uc_stack's ss_sp at 16 and ss_size at 32.
ctypes.c_void_p.from_buffer(fiber, 8).value = ctypes.addressof(main)
ctypes.c_void_p.from_buffer(fiber, 16).value = ctypes.addressof(stack)
ctypes.c_size_t.from_buffer(fiber, 32).value = len(stack)
libc.makecontext(fiber, body, 0)
assert libc.swapcontext(main, fiber) == 0
print(results)
"""

# Threads read the registry through a key whose class's bases another thread keeps changing.
BASES_RACE = r"""
import sys, sysconfig, threading, time, types
import valdrune_data.fingerprint as fp
class A: pass
class B: pass
class Key(A):
    def __enter__(self): return self
    def __exit__(self, *exc): return None
winreg = types.ModuleType("winreg")
winreg.HKEY_LOCAL_MACHINE = 1
winreg.OpenKey = lambda root, path: Key()
winreg.QueryValueEx = lambda key, name: ("guid", 1)
sys.modules["winreg"] = winreg
stop, wrong = False, []
def read():
    while not stop:
        if fp._windows_machine_guid_from_python() != "guid":
            wrong.append(1)
def change():
    while not stop:
        Key.__bases__ = (B,)
        Key.__bases__ = (A,)
threads = [threading.Thread(target=read) for _ in range(3)] + [threading.Thread(target=change)]
for thread in threads:
    thread.start()
time.sleep(2.0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 0.3)
stop = True
for thread in threads:
    thread.join()
print("wrong", len(wrong))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux") or sys.maxsize < 2**32, reason="makecontext through "
                    "ctypes with 64-bit glibc's ucontext_t layout")
def test_other_stacks_and_changing_types_from_other_threads(run_python):
    results = eval(run_python(FIBER).stdout)
    if results[0] != ("plain", "0"):
        pytest.skip(f"plain Python itself fails on a stack of its own here: {results[0]}")
    assert results == [("plain", "0"), ("module", "")]
    assert run_python(BASES_RACE).stdout.split() == ["wrong", "0"]
