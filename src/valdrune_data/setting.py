"""The setting a fingerprint was taken in, for ``--explain``: a container (and which kind), WSL or a
plain machine; how the winning Linux identifier file got there (bind-mounted, or baked into the
image); whether the fallback file lives on a container's writable layer or on a volume; and what
each of these means for the fingerprint, with one remedy each.

Everything comes from what Linux shows any unprivileged process. Every read is guarded: a file
that is missing, unreadable or malformed gives less evidence, never an error. The paths read are
module attributes, so that tests can point them at fixture trees.
"""

from __future__ import annotations

import os
import re
from datetime import datetime, timezone
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

DOCKERENV = "/.dockerenv"
CONTAINERENV = "/run/.containerenv"
CGROUP = "/proc/self/cgroup"
MOUNTINFO = "/proc/self/mountinfo"
PID1_STAT = "/proc/1/stat"
PROC_STAT = "/proc/stat"

# Container kinds by the cgroup path components that their engines write, in the order they are
# recognised: a host's own services (docker-cleanup.service, containerd.service, lxcfs.service) and
# a virtual machine's process in machine.slice are none of them.
_ID = "[0-9a-f]{64}"
CGROUP_KINDS = (
    (r"kubepods([.-][^/]*)?", "kubernetes"),
    (rf"libpod-{_ID}(\.scope)?", "podman"),
    (rf"docker-{_ID}\.scope|docker/{_ID}", "docker"),
    (rf"cri-containerd-{_ID}\.scope", "containerd"),
    (r"lxc\.payload\.[^/]+|lxc/[^/]+", "lxc"),
    (r"machine\.slice/machine-(?!qemu\\x2d)[^/]+\.scope", "systemd-nspawn"),
)
# The kind a container's engine gives itself in the `container` variable.
VARIABLE_KINDS = {"docker": "docker", "podman": "podman", "oci": "podman", "lxc": "lxc", "lxc-libvirt": "lxc",
                  "systemd-nspawn": "systemd-nspawn"}
# When several kinds have evidence, the outermost orchestration is named.
PRECEDENCE = ("kubernetes", "podman", "docker", "containerd", "lxc", "systemd-nspawn", "container")
IMAGE_FILE_SYSTEMS = frozenset({"overlay", "aufs", "fuse-overlayfs"})


@dataclass(frozen=True)
class Mount:
    mount_point: str
    root: str  # the path, within the mounted file system, that is mounted here
    fs_type: str
    source: str
    mount_id: str = ""
    parent_id: str = ""
    device: str = ""  # major:minor of the mounted file system


@dataclass
class Environment:
    kind: str  # "machine", "wsl", or a container kind: "docker", "podman", "kubernetes", ...
    container: bool
    evidence: list[str] = field(default_factory=list)
    identifier_file: dict[str, str] | None = None  # how the winning Linux file got there
    fallback_directory: dict[str, str] | None = None  # where the fallback file lives


@dataclass(frozen=True)
class Caveat:
    code: str
    message: str
    remedy: str


def read_text(path: str) -> str | None:
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.read(1 << 20)
    except (OSError, ValueError):
        return None


def exists(path: str) -> bool:
    try:
        return os.path.lexists(path)
    except (OSError, ValueError):
        return False


def unescape(field_text: str) -> str:
    """Mount table fields write space, tab, newline and backslash as octal escapes."""
    return re.sub(r"\\([0-7]{3})", lambda match: chr(int(match[1], 8)), field_text)


def read_mounts(path: str | None = None) -> list[Mount]:
    """The mount table of this process, in order; lines that do not parse are skipped."""
    mounts = []
    for line in (read_text(path or MOUNTINFO) or "").splitlines():
        parts = line.split()
        try:
            separator = parts.index("-", 6)
            mounts.append(Mount(unescape(parts[4]), unescape(parts[3]), parts[separator + 1],
                                unescape(parts[separator + 2]) if len(parts) > separator + 2 else "",
                                parts[0], parts[1], parts[2]))
        except (ValueError, IndexError):
            continue
    return mounts


def covering_mount(path: str, mounts: Sequence[Mount]) -> Mount | None:
    """The mount that `path` is on, found as the kernel finds it: from the root mount down through
    the mount tree, component by component, each time to the mount on top at that point. A mount
    that a later mount over one of its parents hides is never reached."""
    def on_top(mount: Mount, point: str) -> Mount:
        while True:
            above = [other for other in mounts if other.parent_id == mount.mount_id and other.mount_point == point
                     and other is not mount]
            if not above:
                return mount
            mount = above[-1]

    roots = [mount for mount in mounts if mount.mount_point == "/"]
    if not roots:
        return None
    found = on_top(roots[0], "/")
    prefix = ""
    for component in [part for part in path.split("/") if part]:
        prefix += "/" + component
        children = [mount for mount in mounts if mount.parent_id == found.mount_id and mount.mount_point == prefix]
        if children:
            found = on_top(children[-1], prefix)
    return found


def container_evidence(environ: Mapping[str, str]) -> tuple[list[str], list[str]]:
    """(kinds, evidence): every sign of a container, each named."""
    kinds, evidence = [], []
    if exists(DOCKERENV):
        kinds.append("docker")
        evidence.append(f"{DOCKERENV} exists")
    if exists(CONTAINERENV):
        kinds.append("podman")
        evidence.append(f"{CONTAINERENV} exists")
    variable = environ.get("container")
    if variable:
        kinds.append(VARIABLE_KINDS.get(variable, "container"))
        evidence.append(f"container={variable} in the environment")
    if environ.get("KUBERNETES_SERVICE_HOST"):
        kinds.append("kubernetes")
        evidence.append("KUBERNETES_SERVICE_HOST in the environment")
    for line in (read_text(CGROUP) or "").splitlines():
        cgroup_path = line.split(":", 2)[-1]
        kind = next((kind for pattern, kind in CGROUP_KINDS if re.search(rf"(^|/)(?:{pattern})(/|$)", cgroup_path)),
                    None)
        if kind is not None:
            kinds.append(kind)
            evidence.append(f"cgroup {cgroup_path} in {CGROUP}")
            break
    return kinds, evidence


def modified(path: str) -> float | None:
    try:
        return os.stat(path).st_mtime
    except (OSError, ValueError):
        return None


def pid1_started() -> float | None:
    """When this PID namespace's first process started (boot time plus its start in clock ticks)."""
    boot = next((line.split()[1] for line in (read_text(PROC_STAT) or "").splitlines()
                 if line.startswith("btime ")), None)
    fields = (read_text(PID1_STAT) or "").rpartition(")")[2].split()
    try:
        return int(boot or "") + int(fields[19]) / os.sysconf("SC_CLK_TCK")
    except (ValueError, IndexError, OSError, AttributeError):
        return None


def when(seconds: float) -> str:
    return datetime.fromtimestamp(seconds, timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def container_start() -> tuple[str, float] | None:
    """What shows when this container started, and that time: its engine's marker file, which the
    engine makes as it creates the container, else its first process."""
    for marker in (DOCKERENV, CONTAINERENV):
        if (stamp := modified(marker)) is not None:
            return marker, stamp
    started = pid1_started()
    return ("PID 1 started", started) if started is not None else None


def real_path(path: str) -> str:
    try:
        return os.path.realpath(path)
    except (OSError, ValueError):
        return path


def identifier_origin(path: str, mounts: Sequence[Mount], container: bool) -> dict[str, str] | None:
    """How the Linux identifier file at `path` got there: bind-mounted (systemd's transient
    /run/machine-id among them), part of the container's image, or written by this container.
    The mount is the one the file is actually reached through; "image" is claimed only on
    evidence of age: the file is older than the container."""
    resolved = real_path(path)
    mount = covering_mount(resolved, mounts)
    if mount is not None and mount.mount_point == resolved:
        origin = {"path": path, "origin": "bind-mounted", "mount_point": resolved,
                  "mounted_from": f"{mount.source}:{mount.root}", "fs_type": mount.fs_type}
        run = covering_mount("/run", mounts)
        if mount.root == "/machine-id" and run is not None and run.device == mount.device:
            origin["origin"] = "transient"  # systemd's /run/machine-id over an empty, read-only file
        return origin
    start, written = container_start() if container else None, modified(resolved)
    if start is None or written is None:
        return None
    marker, started = start
    if written < started:
        return {"path": path, "origin": "image",
                "evidence": f"last written {when(written)}, before {marker} ({when(started)})"}
    return {"path": path, "origin": "container",
            "evidence": f"written {when(written)}, after {marker} ({when(started)})"}


def fallback_location(directory: str, mounts: Sequence[Mount], container: bool) -> dict[str, str] | None:
    """Whether the fallback file's directory is on the container's writable layer or on a volume,
    judged where the directory really is (a home that is a symbolic link to a volume is on it)."""
    resolved = real_path(directory)
    mount = covering_mount(resolved, mounts)
    if not container or mount is None:
        return None
    if mount.mount_point == "/" and mount.fs_type in IMAGE_FILE_SYSTEMS:
        return {"path": directory, "on": "writable layer", "fs_type": mount.fs_type}
    return {"path": directory, "on": "volume", "mount_point": mount.mount_point, "fs_type": mount.fs_type}


def detect(system: str, wsl: bool | None, winner: str | None, fallback_directory: str | None,
           environ: Mapping[str, str] | None = None) -> Environment:
    """The setting, from the evidence on this machine. Only Linux is looked at for containers."""
    if system != "linux":
        return Environment("machine", False)
    kinds, evidence = container_evidence(os.environ if environ is None else environ)
    kind = next((kind for kind in PRECEDENCE if kind in kinds), "machine")
    if wsl:
        evidence.append("WSL detected by the module")
        if kind == "machine":
            kind = "wsl"
    environment = Environment(kind, bool(kinds), evidence)
    mounts = read_mounts()
    if winner is not None and winner.startswith("/"):
        environment.identifier_file = identifier_origin(winner, mounts, environment.container)
    if winner == "fallback file" and fallback_directory is not None:
        environment.fallback_directory = fallback_location(fallback_directory, mounts, environment.container)
    return environment


def caveats(environment: Environment, winner: str | None, wsl: bool | None, fallback_stored: bool | None,
            fallback_directory: str | None, home: str | None, rejected: Sequence[tuple[str, str]]) -> list[Caveat]:
    """What the setting means for the fingerprint, each with one remedy; only where there is evidence."""
    found = []
    origin = environment.identifier_file
    if origin is not None and origin["origin"] == "image":
        found.append(Caveat(
            "identifier-in-image",
            f"{origin['path']} is part of the {environment.kind} image, as it was {origin['evidence']}: every "
            "container started from this image has this fingerprint",
            f"build the image with an empty {origin['path']}, or run systemd-machine-id-setup when the container "
            "starts"))
    if origin is not None and origin["origin"] == "transient":
        found.append(Caveat(
            "identifier-transient",
            f"{origin['path']} is systemd's /run/machine-id, mounted over an empty, read-only {origin['path']}: "
            "this machine's own identifier, but made anew at every boot, and this fingerprint with it",
            f"make {origin['path']} writable at boot, or run systemd-machine-id-setup --commit, so that the "
            "identifier is kept"))
    if origin is not None and origin["origin"] == "bind-mounted":
        found.append(Caveat(
            "identifier-bind-mounted",
            f"{origin['path']} is mounted from {origin['mounted_from']}: this is the fingerprint of the machine "
            "whose file is mounted",
            f"mount nothing over {origin['path']} if this system should have a fingerprint of its own"))
    location = environment.fallback_directory
    if location is not None and location["on"] == "writable layer":
        found.append(Caveat(
            "fallback-on-writable-layer",
            f"the fallback file is on the {environment.kind} container's writable layer: every new container gets "
            "a new fingerprint",
            f"keep the home directory ({home}) on a volume"))
    if winner == "fallback file" and fallback_stored is False:
        found.append(Caveat(
            "fallback-not-stored",
            f"the identifier could not be stored in {fallback_directory}: this fingerprint changes once it can be",
            f"make {fallback_directory} writable for this user") if fallback_directory is not None else Caveat(
            "fallback-not-stored",
            "the identifier could not be stored: this user has no home directory, and this fingerprint changes "
            "once it has one",
            "set HOME to a directory that this user can write"))
    if wsl and winner in ("reg.exe", "powershell.exe"):
        found.append(Caveat(
            "wsl-follows-host",
            "the fingerprint follows the Windows host: every WSL distribution on it agrees",
            "use app_fingerprint() with an id per distribution where distributions must be told apart"))
    for source, value in rejected:
        found.append(Caveat(
            "placeholder-passed-over",
            f"{source} holds {value!r}, a placeholder that the module passes over",
            f"give {source} a real identifier (systemd-machine-id-setup)" if source.startswith("/")
            else f"repair what {source} reports"))
    return found
