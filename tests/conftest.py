import os
import subprocess
import sys
import textwrap
import time
import traceback
from pathlib import Path

import pytest

import valdrune_data.fingerprint as fp

SOURCE_FILE = "compiled_src/fingerprint"


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


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """Every test runs with HOME in a temporary directory, never the real one."""
    path = tmp_path / "home"
    path.mkdir()
    monkeypatch.setenv("HOME", str(path))
    monkeypatch.delenv("USERPROFILE", raising=False)
    return path


@pytest.fixture
def bin_dir(tmp_path, monkeypatch):
    """A directory put first on PATH, where tests write fake programs."""
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
    """Path of a pyenv-installed interpreter of the given minor version, or None."""
    root = Path(os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv")))
    try:
        root = Path(subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=True).stdout.strip())
    except (OSError, subprocess.CalledProcessError):
        pass
    for candidate in sorted(root.glob(f"versions/{version}.*/bin/python{version}"), reverse=True):
        if subprocess.run([candidate, "-c", "pass"], capture_output=True).returncode == 0:
            return str(candidate)
    return None


PYTHON_313 = find_python("3.13")  # looked up before any test moves HOME


@pytest.fixture(scope="session")
def python313():
    if PYTHON_313 is None:
        pytest.skip("no Python 3.13 installed")
    return PYTHON_313
