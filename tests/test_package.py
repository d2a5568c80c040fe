"""The package around the compiled module: the per-application fingerprint, the command line, the metadata."""

import hashlib
import hmac
import inspect
import json
import os
import pathlib
import platform
import pydoc
import shutil
import subprocess
import sys
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
    assert explained["fallback_file"] == {"path": str(home / ".valdrune" / "device_fingerprint"), "exists": False}
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
    assert "build_device_fingerprint() -> 'str'" in pydoc.plain(pydoc.render_doc(fp))
    # From the project root the installed package is imported: the source tree does not shadow it.
    if (ROOT / "pyproject.toml").exists():
        where = subprocess.run([sys.executable, "-c", "import valdrune_data.fingerprint as f; print(f.__file__)"],
                               cwd=ROOT, capture_output=True, text=True)
        assert where.stdout.strip() == fp.__file__, where.stderr
