"""Checked with `mypy --strict`: how applications call the module."""

from valdrune_data import fingerprint
from valdrune_data.fingerprint import build_device_fingerprint


def device_key(prefix: str) -> str:
    value: str = build_device_fingerprint()
    return f"{prefix}:{value[:16]}"


def first_line(path: str) -> str:
    return fingerprint._safe_read(path).partition("\n")[0]


is_wsl: bool = fingerprint._is_wsl()
output: str = fingerprint._run_command(["uname", "-s"])
print(device_key("app"), first_line("/etc/hostname"), is_wsl, output)
