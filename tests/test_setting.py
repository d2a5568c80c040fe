"""The setting that --explain reports: containers, identifiers baked into an image or bind-mounted, where the
fallback file lives, WSL; from fixture trees, and for real in a mount namespace of its own."""

import hashlib
import json
import os
import platform
import shutil
import subprocess
import sys
import types

import pytest

import valdrune_data.fingerprint as fp
from valdrune_data import cli, setting

pytestmark = pytest.mark.skipif(os.name != "posix", reason="the setting is read from Linux paths")

ID = "0123456789abcdef0123456789abcdef"
GUID = "5f1c3ae0-7e5e-4a9b-9d7a-22b7e4a1c0de"
ROOT_EXT4 = "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n22 27 0:21 / /proc rw - proc proc rw\n"
ROOT_OVERLAY = "600 500 0:50 / / rw,relatime master:1 - overlay overlay rw,lowerdir=/l,upperdir=/u,workdir=/w\n"
BIND_ID = "610 600 254:1 /var/lib/etc\\040ids/machine-id /etc/machine-id ro,relatime - ext4 /dev/vdb rw\n"
VOLUME = "620 600 254:1 /volumes/home {home} rw,relatime - ext4 /dev/vdb rw\n"  # the home on a volume
SETTINGS = {
    # A plain machine; a placeholder in /etc/machine-id passed over for the D-Bus copy.
    "machine": ({}, {}, ROOT_EXT4, {"/etc/machine-id": "uninitialized", "/var/lib/dbus/machine-id": ID}, False,
                "machine", ["placeholder-passed-over"]),
    "docker, identifier baked into the image": (
        {"dockerenv": "", "cgroup": "0::/system.slice/docker-4f2a.scope\n"}, {}, ROOT_OVERLAY,
        {"/etc/machine-id": ID}, False, "docker", ["identifier-in-image"]),
    "podman, identifier bind-mounted": (
        {"containerenv": 'engine="podman-5.0"\n'}, {"container": "podman"}, ROOT_OVERLAY + BIND_ID,
        {"/etc/machine-id": ID}, False, "podman", ["identifier-bind-mounted"]),
    "kubernetes, fallback on the writable layer": (
        {"cgroup": "0::/kubepods/besteffort/pod1/4f2a\n"}, {"KUBERNETES_SERVICE_HOST": "10.0.0.1"}, ROOT_OVERLAY, {},
        False, "kubernetes", ["fallback-on-writable-layer"]),
    "kubernetes, fallback on a volume, evidence unreadable": (
        {"cgroup": None}, {"KUBERNETES_SERVICE_HOST": "10.0.0.1"}, ROOT_OVERLAY + VOLUME, {}, False,
        "kubernetes", []),
    "docker, mount table unreadable": ({"dockerenv": ""}, {}, None, {"/etc/machine-id": ID}, False, "docker", []),
    "WSL": ({}, {"WSL_DISTRO_NAME": "Debian"}, ROOT_EXT4, {"/etc/machine-id": ID}, True, "wsl",
            ["wsl-follows-host"]),
}


@pytest.mark.parametrize("name", SETTINGS)
def test_the_explanation_names_the_setting_and_what_it_means(name, tmp_path, home, monkeypatch):
    files, variables, mountinfo, identifiers, wsl, kind, codes = SETTINGS[name]
    for variable in ("container", "KUBERNETES_SERVICE_HOST"):
        monkeypatch.delenv(variable, raising=False)
    for variable, value in variables.items():
        monkeypatch.setenv(variable, value)
    for attribute in ("dockerenv", "containerenv", "cgroup", "mountinfo"):
        path = tmp_path / attribute
        content = mountinfo.format(home=home) if attribute == "mountinfo" and mountinfo else files.get(attribute)
        if content is not None:
            path.write_text(content)
        elif attribute in files or attribute == "mountinfo":
            path.mkdir()  # there, but unreadable as a file
        monkeypatch.setattr(setting, attribute.upper(), str(path))
    monkeypatch.setattr(setting.os.path, "realpath", lambda path: path)  # the fixture's paths are not this system's
    fp._safe_read = lambda path: identifiers.get(path, "")
    fp._is_wsl = lambda: wsl
    fp._run_command = lambda args: f"    MachineGuid    REG_SZ    {GUID}" if args[0] == "reg.exe" else ""
    fp.Path = type("Home", (type(fp.Path()),), {"home": classmethod(lambda cls: cls(home))})
    fp.platform = types.SimpleNamespace(system=lambda: "Linux", machine=platform.machine)
    explanation = cli.explain(fp)
    data = json.loads(cli.render_json(explanation, False))
    assert (data["environment"]["kind"], data["environment"]["container"]) == (kind, kind not in ("machine", "wsl"))
    assert [caveat["code"] for caveat in data["caveats"]] == codes
    assert all(caveat["message"] and caveat["remedy"] for caveat in data["caveats"])
    assert data["agrees"] and len(data["environment"]["evidence"]) == len(files) - (None in files.values()) + len(
        variables) - ("WSL_DISTRO_NAME" in variables) + wsl
    if "bind-mounted" in name:
        assert data["environment"]["identifier_file"]["mounted_from"] == "/dev/vdb:/var/lib/etc ids/machine-id"
    text = cli.render_text(explanation, False)
    assert text.index("sources,") < text.index(f"setting:       {kind}")
    assert text.count("caveat:") == len(codes) and text.count("  remedy: ") == len(codes)
    assert ID not in text and GUID not in text  # identifiers stay masked


BIND_MOUNTED = """
set -e
mount --bind "$1" /etc/machine-id
exec "$2" -m valdrune_data --json --show-ids
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="mount namespaces are Linux's")
def test_a_bind_mounted_identifier_for_real(tmp_path, home):
    if os.geteuid() != 0 or shutil.which("unshare") is None or shutil.which("mount") is None:
        pytest.skip("needs root and the unshare and mount commands")
    if not os.path.isfile("/etc/machine-id"):
        pytest.skip("no /etc/machine-id to mount over")
    probe = subprocess.run(["unshare", "--mount", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"a private mount namespace is not allowed here: {probe.stderr.strip()}")
    other = tmp_path / "other-machine-id"
    other.write_text(ID + "\n")
    result = subprocess.run(["unshare", "--mount", "sh", "-c", BIND_MOUNTED, "sh", str(other), sys.executable],
                            capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    material = f"{platform.system().lower()}|{platform.machine().lower()}|{ID}"
    assert (data["winner"], data["identifier"]) == ("/etc/machine-id", ID)
    assert data["fingerprint"] == hashlib.sha256(material.encode()).hexdigest()
    assert data["environment"]["identifier_file"]["origin"] == "bind-mounted"
    assert "identifier-bind-mounted" in [caveat["code"] for caveat in data["caveats"]]
