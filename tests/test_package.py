"""The package around the compiled module: the per-application fingerprint, the command line, the metadata."""

import errno
import hashlib
import hmac
import inspect
import io
import json
import os
import pathlib
import platform
import pydoc
import shutil
import subprocess
import sys
import uuid
from importlib import metadata

import pytest

import valdrune_data
import valdrune_data.fingerprint as fp

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_app_fingerprint_is_an_hmac_keyed_with_the_fingerprint_material():
    fp._primary_device_identifier = lambda: "4c4c4544-id"
    material = f"{platform.system().lower()}|{platform.machine().lower()}|4c4c4544-id".encode()
    assert fp.build_device_fingerprint() == hashlib.sha256(material).hexdigest()  # unchanged by the package
    first, second = valdrune_data.app_fingerprint("app-one"), valdrune_data.app_fingerprint("app-two")
    assert first == hmac.new(material, b"app-one", hashlib.sha256).hexdigest()
    assert len(first) == 64 and first != second and first != fp.build_device_fingerprint()
    with pytest.raises(TypeError, match="app_id must be a str, not bytes"):
        valdrune_data.app_fingerprint(b"app-one")
    with pytest.raises(ValueError, match="must not be empty"):
        valdrune_data.app_fingerprint("")


# The command line in a child process, with the /etc files stood in for by a replaced _safe_read.
CLI = """
import sys, types
import valdrune_data.fingerprint as fp
files = {"/etc/machine-id": "uninitialized", "/var/lib/dbus/machine-id": "0123456789abcdef0123456789abcdef"}
fp._safe_read = lambda path: files.get(path, "")
fp._is_wsl = lambda: False
machine = fp.platform.machine()
fp.platform = types.SimpleNamespace(system=lambda: "Linux", machine=lambda: machine)
if "--broken" in sys.argv:
    sys.argv.remove("--broken")
    fp.platform = None
from valdrune_data.cli import main
sys.exit(main(sys.argv[1:]))
"""


def test_command_line_prints_and_explains_the_fingerprint(tmp_path, home):
    def run(*args):
        return subprocess.run([sys.executable, "-c", CLI, *args], capture_output=True, text=True, cwd=tmp_path,
                              timeout=60)

    material = f"linux|{platform.machine().lower()}|0123456789abcdef0123456789abcdef"
    fingerprint = hashlib.sha256(material.encode()).hexdigest()
    assert run().stdout == fingerprint + "\n"
    keyed = run("--app-id", "x").stdout.strip()
    assert keyed == hmac.new(material.encode(), b"x", hashlib.sha256).hexdigest()
    explained = json.loads(run("--json", "--show-ids", "--app-id", "x").stdout)
    assert [(s["source"], s["outcome"]) for s in explained["sources"]] == [
        ("/etc/machine-id", "rejected"), ("/var/lib/dbus/machine-id", "found"),
        ("/sys/class/dmi/id/product_uuid", "not tried"), ("fallback file", "not tried")]
    assert (explained["winner"], explained["identifier"]) == ("/var/lib/dbus/machine-id", material.split("|")[2])
    assert (explained["fingerprint"], explained["app_fingerprint"], explained["agrees"]) == (fingerprint, keyed, True)
    assert explained["fallback_file"] == {"path": str(home / ".valdrune" / "device_fingerprint"), "exists": False,
                                          "stored": None}
    text = run("--explain").stdout
    assert "winner:        /var/lib/dbus/machine-id" in text and "0123****" in text and material[-8:] not in text
    usage = run("--bogus")
    assert usage.returncode == 2 and "usage:" in usage.stderr
    assert run("--app-id", "").returncode == 2
    failed = run("--broken")
    assert failed.returncode == 1 and failed.stdout == "" and len(failed.stderr.splitlines()) == 1
    assert failed.stderr.startswith("valdrune-fingerprint: error: AttributeError:")
    script = shutil.which("valdrune-fingerprint", path=os.path.dirname(sys.executable))
    assert script and subprocess.run([script, "--help"], capture_output=True, text=True).stdout.startswith(
        "usage: valdrune-fingerprint")
    version = subprocess.run([sys.executable, "-m", "valdrune_data", "--version"], capture_output=True, text=True)
    assert version.stdout == f"python -m valdrune_data {metadata.version('valdrune-data')}\n"


def test_package_metadata_documentation_and_the_source_tree(tmp_path):
    assert valdrune_data.__version__ == metadata.version("valdrune-data")
    assert metadata.metadata("valdrune-data")["License-Expression"] == "MIT"
    assert "Typing :: Typed" in metadata.metadata("valdrune-data").get_all("Classifier")
    assert type(fp.build_device_fingerprint).__module__ == "valdrune_data.fingerprint"
    with pytest.raises(TypeError, match="got compiled_function"):  # no Python source: said plainly
        inspect.getsource(fp.build_device_fingerprint)
    returns = "str" if sys.version_info >= (3, 14) else "'str'"  # pydoc quotes string annotations before 3.14
    assert f"build_device_fingerprint() -> {returns}" in pydoc.plain(pydoc.render_doc(fp))
    # From the project root the installed package is imported: the source tree does not shadow it.
    if (ROOT / "pyproject.toml").exists():
        where = subprocess.run([sys.executable, "-c", "import valdrune_data.fingerprint as f; print(f.__file__)"],
                               cwd=ROOT, capture_output=True, text=True)
        assert where.stdout.strip() == fp.__file__, where.stderr


class Failing(io.StringIO):
    """Standard output whose writes fail like a closed pipe or a full disk."""

    def __init__(self, error):
        super().__init__()
        self.error = error

    def write(self, text):
        raise self.error


def test_command_line_on_any_console_and_any_closed_pipe(tmp_path, move_home, monkeypatch, capsys):
    from valdrune_data import cli

    # A home path that the console's encoding lacks is written escaped, not as a UnicodeEncodeError.
    move_home(tmp_path / "h\u00f8m\u00e9")
    explained = subprocess.run([sys.executable, "-c", CLI, "--explain"], capture_output=True, cwd=tmp_path,
                               env={**os.environ, "PYTHONIOENCODING": "ascii"}, timeout=60)
    assert explained.returncode == 0 and explained.stderr == b""
    assert b"h\\xf8m\\xe9" in explained.stdout
    # A reader that went away ends the command quietly with status 1, on POSIX and on Windows.
    for windows, error in ((False, BrokenPipeError(errno.EPIPE, "Broken pipe")),
                           (True, OSError(errno.EINVAL, "Invalid argument"))):
        monkeypatch.setattr(cli, "WINDOWS", windows)
        monkeypatch.setattr(sys, "stdout", Failing(error))
        assert cli.main([]) == 1
        assert capsys.readouterr().err == ""
    monkeypatch.setattr(cli, "WINDOWS", False)  # EINVAL elsewhere is a real output error: said in one line
    monkeypatch.setattr(sys, "stdout", Failing(OSError(errno.EINVAL, "Invalid argument")))
    assert cli.main([]) == 1
    assert capsys.readouterr().err == "valdrune-fingerprint: error: cannot write the output: OSError: " \
                                      "[Errno 22] Invalid argument\n"


# Linux's identifier files, each moved to a path of the test's choosing.
EXPLAIN = CLI.replace('''fp._safe_read = lambda path: files.get(path, "")''', '''import valdrune_data.cli as cli
where = dict(zip(files_moved := ["/etc/machine-id", "/var/lib/dbus/machine-id", "/sys/class/dmi/id/product_uuid"],
                 sys.argv[1:4]))
del sys.argv[1:4]
read = fp._safe_read
fp._safe_read = lambda path: read(where.get(path, path))
look_at = cli.look_at
cli.look_at = lambda path: look_at(where.get(path, path))''')


def test_the_explanation_never_misleads(tmp_path, home, monkeypatch, capsys, node_shared_by_processes):
    from valdrune_data import cli

    missing, unreadable, empty = tmp_path / "missing", tmp_path / "a-directory", tmp_path / "empty"
    unreadable.mkdir()
    empty.write_text(" \n")
    (home / ".valdrune").write_text("a file where the state directory should be")  # nothing can be stored

    def run(*args):
        return subprocess.run([sys.executable, "-c", EXPLAIN, str(missing), str(unreadable), str(empty), *args],
                              capture_output=True, text=True, cwd=tmp_path, timeout=60)

    explained = json.loads(run("--json", "--show-ids").stdout)
    outcomes = {s["source"]: (s["outcome"], s["error"] and s["error"].split(":")[0]) for s in explained["sources"]}
    assert outcomes == {"/etc/machine-id": ("missing", None), "/var/lib/dbus/machine-id": ("unreadable",
                        "IsADirectoryError" if os.name != "nt" else "PermissionError"),
                        "/sys/class/dmi/id/product_uuid": ("empty", None), "fallback file": ("found", None)}
    assert explained["identifier"] == f"fallback-{uuid.getnode()}"
    assert explained["fallback_file"]["stored"] is False
    assert "NOT stored" in run("--explain").stdout
    plain = run()
    assert plain.returncode == 0 and len(plain.stdout) == 65
    assert plain.stderr.startswith("valdrune-fingerprint: warning: the identifier could not be stored in ")
    assert len(plain.stderr.splitlines()) == 1
    (home / ".valdrune").unlink()  # stored now: no warning, and the explanation says so
    assert run().stderr == "" and json.loads(run("--json").stdout)["fallback_file"]["stored"] is True
    # An interrupt half-way through installing the wrappers leaves the module's namespace as it was.
    before = dict(vars(fp))

    def interrupted(self, name, original):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli.Observer, "wrap_linux", interrupted)
    with pytest.raises(KeyboardInterrupt):
        cli.explain(fp)
    assert vars(fp) == before
    # Usage errors (2), output errors (1, one line).
    for argv in (["--app-id", "\udcff\udcfe"], ["--show-ids"]):
        with pytest.raises(SystemExit) as exit_status:
            cli.main(argv)
        assert exit_status.value.code == 2
    capsys.readouterr()
    monkeypatch.setattr(sys, "stdout", None)
    assert cli.main([]) == 1 and capsys.readouterr().err == "valdrune-fingerprint: error: standard output is closed\n"
    if os.path.exists("/dev/full"):
        with open("/dev/full", "w") as full:
            result = subprocess.run([sys.executable, "-c", CLI, "--explain"], stdout=full, stderr=subprocess.PIPE,
                                    text=True, cwd=tmp_path, timeout=60)
        assert result.returncode == 1 and result.stderr == "valdrune-fingerprint: error: cannot write the output: " \
                                                           "OSError: [Errno 28] No space left on device\n"


def test_the_package_loads_its_submodules_on_first_use(run_python):
    result = run_python("""
        import sys, valdrune_data
        assert "valdrune_data.fingerprint" not in sys.modules
        print(valdrune_data.fingerprint.build_device_fingerprint.__name__, dir(valdrune_data))
    """)
    assert result.stdout == "build_device_fingerprint ['__version__', 'app_fingerprint', 'fingerprint']\n"


class Unsearchable(type(fp.Path())):
    """A state directory that this user cannot search: every look inside it is refused."""

    def exists(self, *args, **kwargs):
        if ".valdrune" in self.parts[:-1]:
            raise PermissionError(errno.EACCES, "Permission denied", str(self))
        return super().exists(*args, **kwargs)

    read_text = exists


class Homeless(type(fp.Path())):
    """HOME unset and a user without a password entry, as in a container run with an arbitrary uid."""

    @classmethod
    def home(cls):
        raise RuntimeError("Could not determine home directory")


@pytest.mark.parametrize("path_class", [Homeless, Unsearchable])
def test_the_command_line_works_where_the_module_does(path_class, monkeypatch, capsys):
    from valdrune_data import cli

    fp.platform = type("Linux", (), {"system": staticmethod(lambda: "Linux"), "machine": platform.machine})
    fp._is_wsl = lambda: False
    fp._linux_machine_identifier = lambda: ""
    fp.Path = path_class
    unstored = f"fallback-{uuid.getnode()}"
    assert cli.main([]) == 0
    out, err = capsys.readouterr()
    material = f"linux|{platform.machine().lower()}|{unstored}"
    assert out.strip() == hashlib.sha256(material.encode()).hexdigest()
    assert err.startswith("valdrune-fingerprint: warning: the identifier could not be stored") and err.count("\n") == 1
    assert cli.main(["--explain"]) == 0 and "NOT stored" in capsys.readouterr().out
    assert cli.main(["--json"]) == 0
    data = json.loads(capsys.readouterr().out)
    assert data["identifier"].startswith("fall") and data["fallback_file"]["stored"] is False
    assert "fallback-not-stored" in [caveat["code"] for caveat in data["caveats"]]
