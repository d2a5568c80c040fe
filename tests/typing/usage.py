"""Checked with `mypy --strict`: how applications call the module."""

import valdrune_data
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

keyed: str = valdrune_data.app_fingerprint("3f9c2a71e0b4d8a6")
version: str = valdrune_data.__version__
print(keyed, version)
