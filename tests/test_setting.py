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
ETC_OVER = "630 600 0:60 / /etc rw,relatime - tmpfs tmpfs rw\n"  # hides the mount over /etc/machine-id
SRV_VOLUME = "640 600 254:1 /volumes /srv/volumes rw,relatime - ext4 /dev/vdb rw\n"
RUN_ID = "30 27 0:25 / /run rw,nosuid - tmpfs tmpfs rw\n31 27 0:25 /machine-id /etc/machine-id ro - tmpfs tmpfs rw\n"
DOCKER_CGROUP = f"0::/system.slice/docker-{'4f2a' * 16}.scope\n"
OLDER, NEWER = -86400, 5  # the identifier file's time against the container's start
SETTINGS = {
    # A plain machine; a placeholder in /etc/machine-id passed over for the D-Bus copy.
    "machine": ({}, {}, ROOT_EXT4, {"/etc/machine-id": "uninitialized", "/var/lib/dbus/machine-id": ID}, False,
                "machine", ["placeholder-passed-over"]),
    "docker, identifier baked into the image": (
        {"dockerenv": "", "cgroup": DOCKER_CGROUP}, {}, ROOT_OVERLAY, {"/etc/machine-id": ID}, False, "docker",
        ["identifier-in-image"]),
    # An image baked into a machine's disk: an ext4 root, the identifier older than the container.
    "docker, identifier older than the container on an ext4 root": (
        {"dockerenv": ""}, {}, ROOT_EXT4, {"/etc/machine-id": ID}, False, "docker", ["identifier-in-image"]),
    "docker, identifier written as the container started": (
        {"dockerenv": "", "cgroup": DOCKER_CGROUP}, {}, ROOT_OVERLAY, {"/etc/machine-id": ID}, False, "docker", []),
    "podman, the mount over the identifier hidden by a later one over /etc": (
        {"containerenv": ""}, {"container": "podman"}, ROOT_OVERLAY + BIND_ID + ETC_OVER, {"/etc/machine-id": ID},
        False, "podman", []),
    "systemd's transient identifier": ({}, {}, ROOT_EXT4 + RUN_ID, {"/etc/machine-id": ID}, False, "machine",
                                       ["identifier-transient"]),
    "kubernetes, the home a symbolic link to a volume": (
        {}, {"KUBERNETES_SERVICE_HOST": "10.0.0.1"}, ROOT_OVERLAY + SRV_VOLUME, {}, False, "kubernetes", []),
    "podman, identifier bind-mounted": (
        {"containerenv": 'engine="podman-5.0"\n'}, {"container": "podman"}, ROOT_OVERLAY + BIND_ID,
        {"/etc/machine-id": ID}, False, "podman", ["identifier-bind-mounted"]),
    "kubernetes, fallback on the writable layer": (
        {"cgroup": "0::/kubepods/besteffort/pod1/4f2a\n"}, {"KUBERNETES_SERVICE_HOST": "10.0.0.1"}, ROOT_OVERLAY, {},
        False, "kubernetes", ["fallback-on-writable-layer"]),
    "kubernetes, fallback on a volume, evidence unreadable": (
        {"cgroup": None}, {"KUBERNETES_SERVICE_HOST": "10.0.0.1"}, ROOT_OVERLAY + VOLUME, {}, False,
        "kubernetes", []),
    "docker, mount table unreadable": ({"dockerenv": ""}, {}, None, {"/etc/machine-id": ID}, False, "docker",
                                       ["identifier-in-image"]),
    "WSL": ({}, {"WSL_DISTRO_NAME": "Debian"}, ROOT_EXT4, {"/etc/machine-id": ID}, True, "wsl",
            ["wsl-follows-host"]),
}


def stage(tmp_path, home, monkeypatch, files, variables, mountinfo, identifiers, wsl, written=OLDER, real=None):
    """A fixture tree for the setting: marker files, variables, a mount table, identifier files and
    their times (`written`, against the container's start), and where paths really lead (`real`)."""
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
    started = 1_700_000_000.0
    times = {setting.DOCKERENV: started, setting.CONTAINERENV: started, "/etc/machine-id": started + written}
    monkeypatch.setattr(setting, "modified", lambda path: times.get(path) if os.path.exists(path) or
                        path == "/etc/machine-id" else None)
    monkeypatch.setattr(setting, "pid1_started", lambda: None)
    monkeypatch.setattr(setting.os.path, "realpath", lambda path: (real or {}).get(path, path))
    fp._safe_read = lambda path: identifiers.get(path, "")
    fp._is_wsl = lambda: wsl
    fp._run_command = lambda args: f"    MachineGuid    REG_SZ    {GUID}" if args[0] == "reg.exe" else ""
    fp.Path = type("Home", (type(fp.Path()),), {"home": classmethod(lambda cls: cls(home))})
    fp.platform = types.SimpleNamespace(system=lambda: "Linux", machine=platform.machine)


@pytest.mark.parametrize("name", SETTINGS)
def test_the_explanation_names_the_setting_and_what_it_means(name, tmp_path, home, monkeypatch):
    files, variables, mountinfo, identifiers, wsl, kind, codes = SETTINGS[name]
    real = {f"{home}/.valdrune": "/srv/volumes/home/.valdrune"} if "symbolic link" in name else None
    stage(tmp_path, home, monkeypatch, files, variables, mountinfo, identifiers, wsl,
          NEWER if "started" in name or "hidden" in name else OLDER, real)
    explanation = cli.explain(fp)
    data = json.loads(cli.render_json(explanation, False))
    assert (data["environment"]["kind"], data["environment"]["container"]) == (kind, kind not in ("machine", "wsl"))
    assert [caveat["code"] for caveat in data["caveats"]] == codes
    assert all(caveat["message"] and caveat["remedy"] for caveat in data["caveats"])
    assert data["agrees"] and len(data["environment"]["evidence"]) == len(files) - (None in files.values()) + len(
        variables) - ("WSL_DISTRO_NAME" in variables) + wsl
    if "bind-mounted" in name:
        assert data["environment"]["identifier_file"]["mounted_from"] == "/dev/vdb:/var/lib/etc ids/machine-id"
    if "identifier-in-image" in codes:  # claimed on the evidence of age, which is named
        assert "as it was last written" in data["caveats"][0]["message"] and "dockerenv (" in data["caveats"][0]["message"]
    if "started" in name or "hidden" in name:
        assert data["environment"]["identifier_file"]["origin"] == "container"
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


def test_host_processes_are_not_containers(tmp_path, monkeypatch):
    """Only the cgroup path components that container engines write name a container."""
    paths = {"/system.slice/docker-cleanup.service": None, "/system.slice/containerd.service": None,
             "/system.slice/lxcfs.service": None, "/machine.slice/machine-qemu\\x2d1\\x2dvm.scope": None,
             DOCKER_CGROUP.strip()[3:]: "docker", f"/docker/{'ab' * 32}": "docker", "/kubepods.slice/pod1": "kubernetes",
             f"/machine.slice/libpod-{'cd' * 32}.scope": "podman", "/lxc.payload.web": "lxc",
             "/machine.slice/machine-web.scope": "systemd-nspawn"}
    monkeypatch.setattr(setting, "DOCKERENV", str(tmp_path / "absent"))
    monkeypatch.setattr(setting, "CONTAINERENV", str(tmp_path / "absent"))
    for path, kind in paths.items():
        (tmp_path / "cgroup").write_text(f"0::{path}\n")
        monkeypatch.setattr(setting, "CGROUP", str(tmp_path / "cgroup"))
        assert setting.container_evidence({})[0] == ([kind] if kind else []), path


def test_the_text_output_escapes_what_the_system_holds(tmp_path, home, monkeypatch):
    forged = "podman\nwinner:        forged\x1b[2J\a"
    mountinfo = ROOT_OVERLAY + "610 600 254:1 /ids\\012winner:\\040x /etc/machine-id ro - ext4 my\\040share rw\n"
    stage(tmp_path, home, monkeypatch, {}, {"container": forged}, mountinfo, {"/etc/machine-id": ID}, False)
    explanation = cli.explain(fp)
    text = cli.render_text(explanation, False)
    assert [line for line in text.splitlines() if line.startswith("winner:")] == ["winner:        /etc/machine-id"]
    assert "\x1b" not in text and "\a" not in text and "my share:/ids\\nwinner: x" in text
    data = json.loads(cli.render_json(explanation, False))  # JSON carries the text as it is
    assert data["environment"]["evidence"] == [f"container={forged} in the environment"]
