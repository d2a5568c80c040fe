"""Exercises every function's common and error paths, for a leak checker run over the whole process."""

import os
import pathlib
import sys
import tempfile
import types

import valdrune_data.fingerprint as fp

home = tempfile.mkdtemp()
os.environ["HOME"] = os.environ["USERPROFILE"] = home
saved = dict(vars(fp))


def attempt(function, *args):
    try:
        function(*args)
    except BaseException:  # noqa: BLE001
        pass


for _ in range(20):
    attempt(fp.build_device_fingerprint)
    attempt(fp._safe_read, "/proc/version")
    attempt(fp._safe_read, "/nonexistent")
    attempt(fp._safe_read, None)
    attempt(fp._safe_read)
    attempt(fp._run_command, ["true"])
    attempt(fp._run_command, ["/nonexistent"])
    attempt(fp._is_wsl)
    attempt(fp._persistent_fallback_id)
    attempt(fp._windows_machine_guid)
    attempt(fp._mac_platform_uuid)
    attempt(fp._linux_machine_identifier, 1)
    fp.platform = types.SimpleNamespace(system=lambda: "Other", machine=lambda: "m")
    attempt(fp.build_device_fingerprint)
    fp.Path = type("P", (), {"home": staticmethod(lambda: pathlib.Path("/dev/null"))})
    attempt(fp._persistent_fallback_id)
    del fp.uuid
    attempt(fp._persistent_fallback_id)
    fp._primary_device_identifier = lambda: "\udc80"
    attempt(fp.build_device_fingerprint)
    sys.modules["winreg"] = types.SimpleNamespace(HKEY_LOCAL_MACHINE=0, OpenKey=lambda *a: 1 / 0)
    attempt(fp._windows_machine_guid_from_python)
    del sys.modules["winreg"]
    vars(fp).clear()
    vars(fp).update(saved)
print("done")
