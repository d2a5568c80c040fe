import os
import pathlib
import posixpath
import subprocess
import sys
import textwrap
import time
import traceback
from pathlib import Path

import pytest

import valdrune_data.fingerprint as fp

SOURCE_FILE = "compiled_src/fingerprint"
# Set by the scripts that run the suite under an emulator or a compatibility layer (QEMU's user
# mode for aarch64, Wine for Windows), where a process starts ten to fifty times slower and each
# call costs several times more. Tests that count processes, kills, calls or examples use
# `scaled` to ask for fewer there; each says so where it does. No behaviour is left out.
EMULATED = os.environ.get("VALDRUNE_EMULATED") == "1"


@pytest.fixture(scope="session")
def scaled():
    """scaled(native, emulated): `native`, or `emulated` under an emulator (see EMULATED)."""
    return lambda native, emulated: emulated if EMULATED else native

# The concrete path class of this system (PosixPath or WindowsPath): tests subclass this one.
PATH_CLASS = type(Path())


def simulate_windows():
    """What the suite meets on Windows, as far as this system can show it: the home directory
    comes from USERPROFILE (else HOMEDRIVE and HOMEPATH), never from HOME, and PosixPath
    cannot be instantiated, nor can its subclasses."""

    def expanduser(path):
        path = os.fspath(path)
        if path[:1] != "~" or (len(path) > 1 and path[1] != "/"):
            return path
        home = os.environ.get("USERPROFILE") or os.environ.get("HOMEDRIVE", "") + os.environ.get("HOMEPATH", "")
        return home + path[1:] if home else path

    class RefusedPosixPath(PATH_CLASS):
        def __new__(cls, *args, **kwargs):
            raise NotImplementedError(f"cannot instantiate {cls.__name__!r} on your system")

    RefusedPosixPath.__name__ = RefusedPosixPath.__qualname__ = "PosixPath"
    concrete = PATH_CLASS
    pathlib.Path.__new__ = staticmethod(lambda cls, *args, **kwargs: object.__new__(
        concrete if cls is pathlib.Path else cls))
    posixpath.expanduser = expanduser
    pathlib.PosixPath = RefusedPosixPath


if os.environ.get("VALDRUNE_SIMULATE_WINDOWS") == "1":
    simulate_windows()

# The real home, looked up before any test moves it: its state directory must come out of the
# run exactly as it went in.
REAL_STATE_DIR = Path.home() / ".valdrune"


def snapshot(directory):
    """Every entry below `directory` with its kind, size, modification time and content."""
    if not os.path.lexists(directory):
        return None
    entries = []
    for path in [directory, *sorted(directory.rglob("*"))]:
        status = path.lstat()
        try:
            content = path.read_bytes() if path.is_file() else None
        except OSError as exc:
            content = repr(exc)
        entries.append((str(path), status.st_mode, status.st_size, status.st_mtime_ns, content))
    return entries


@pytest.fixture(scope="session", autouse=True)
def real_home_untouched():
    before = snapshot(REAL_STATE_DIR)
    yield
    assert snapshot(REAL_STATE_DIR) == before, f"the suite changed the real state directory {REAL_STATE_DIR}"


def pytest_report_header(config):
    return f"valdrune_data.fingerprint from {fp.__file__}"


@pytest.fixture(autouse=True)
def restore_namespace():
    """Tests replace module attributes freely; put them all back afterwards."""
    saved = dict(vars(fp))
    yield
    namespace = vars(fp)
    if list(namespace.items()) != list(saved.items()):  # restore values and their order
        namespace.clear()
        namespace.update(saved)


def point_home(monkeypatch, path):
    """Points every variable that a home look-up reads, on any system, at `path`."""
    drive, rest = os.path.splitdrive(str(path))
    for name, value in (("HOME", str(path)), ("USERPROFILE", str(path)), ("HOMEDRIVE", drive), ("HOMEPATH", rest)):
        monkeypatch.setenv(name, value)


@pytest.fixture
def move_home(monkeypatch):
    return lambda path: point_home(monkeypatch, path)


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """Every test runs with its home in a temporary directory, never the real one."""
    path = tmp_path / "home"
    path.mkdir()
    point_home(monkeypatch, path)
    return path


@pytest.fixture
def bin_dir(tmp_path, monkeypatch):
    """A directory put first on PATH, where tests write fake programs."""
    if os.name == "nt":
        pytest.skip("fake programs are #! scripts, and Windows runs System32's reg.exe before any on PATH")
    path = tmp_path / "bin"
    path.mkdir()
    monkeypatch.setenv("PATH", f"{path}{os.pathsep}{os.environ['PATH']}")

    def write(name, body):
        program = path / name
        program.write_text(f"#!{sys.executable}\n" + textwrap.dedent(body))
        program.chmod(0o755)
        return program

    return write


@pytest.fixture
def run_python(tmp_path):
    """Runs code in a fresh interpreter (cwd outside the source tree)."""

    def run(code, *, python=sys.executable, env=None, check=True, timeout=120):
        result = subprocess.run(
            [python, "-c", textwrap.dedent(code)],
            cwd=tmp_path,
            env={**os.environ, **(env or {})},
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        if check and result.returncode != 0:
            raise AssertionError(f"exit {result.returncode}\n{result.stdout}\n{result.stderr}")
        return result

    return run


# Each racer waits for a common start time, then calls the function repeatedly:
# the first call races the others' first writes, the later ones read while
# slower processes are still publishing.
RACER = """
import sys, time
import valdrune_data.fingerprint as fp
start, calls = float(sys.argv[1]), int(sys.argv[2])
while time.time() < start:
    pass
print(*sorted({fp._persistent_fallback_id() for _ in range(calls)}), sep="\\n")
"""


@pytest.fixture
def race(tmp_path):
    """Runs `_persistent_fallback_id()` in racing processes; returns every value any of them got."""

    def run(processes, calls):
        start = time.time() + 1.0 + processes * 0.08
        racers = [subprocess.Popen([sys.executable, "-c", RACER, str(start), str(calls)], cwd=tmp_path,
                                   stdout=subprocess.PIPE, text=True) for _ in range(processes)]
        outputs = [racer.communicate(timeout=120)[0] for racer in racers]
        assert all(racer.returncode == 0 for racer in racers)
        return {line for output in outputs for line in output.splitlines()}

    return run


def last_entry(excinfo):
    """(file, line, function name) of the innermost traceback entry."""
    frame = traceback.extract_tb(excinfo.value.__traceback__)[-1]
    return frame.filename, frame.lineno, frame.name


def module_entries(exc):
    """(line, function name) of every entry that the module added."""
    return [(f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__) if f.filename == SOURCE_FILE]


class Recorder:
    """A stand-in callable that records its calls and returns chosen values."""

    def __init__(self, *results, raises=None):
        self.results = list(results)
        self.raises = raises
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.raises is not None:
            raise self.raises
        return self.results.pop(0) if len(self.results) > 1 else self.results[0]


@pytest.fixture
def recorder():
    return Recorder


@pytest.fixture
def entries():
    return module_entries


@pytest.fixture
def entry():
    return last_entry


def find_python(version):
    """Path of an interpreter of the given minor version, as the project's tools/find-python finds it, or None."""
    finder = Path(__file__).resolve().parent.parent / "tools" / "find-python"
    try:
        found = subprocess.run(["sh", str(finder), version], capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return found.stdout.strip() or None if found.returncode == 0 else None


PYTHON_313 = find_python("3.13")  # looked up before any test moves HOME


@pytest.fixture(scope="session")
def python313():
    if PYTHON_313 is None:
        pytest.skip("no Python 3.13 installed")
    return PYTHON_313


@pytest.fixture(scope="session")
def node_shared_by_processes():
    """Skips where `uuid.getnode()` is random per process (no network interface with a MAC address, as in
    some containers and emulated roots): there `fallback-<node>` differs from one process to the next."""
    import uuid

    other = subprocess.run([sys.executable, "-c", "import uuid; print(uuid.getnode())"], capture_output=True,
                           text=True, timeout=60).stdout.strip()
    if other != str(uuid.getnode()):
        pytest.skip("uuid.getnode() is random per process here (no MAC address)")
