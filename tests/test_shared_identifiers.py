"""One machine, one identifier: the WSL registry route, placeholder identifiers, and a fallback file that is
never left empty and is repaired when it is."""

import hashlib
import os
import platform
import random
import re
import subprocess
import sys
import time

import pytest

import valdrune_data.fingerprint as fp

GUID = "6f1e4b52-8c0d-4a3e-9b7f-2d5c8e1a0f34"
MACHINE_ID = "4c4c4544004d3510804cb4c04f4a3432"
UUID_TEXT = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")


def test_wsl_reads_the_host_guid_through_reg_exe(bin_dir, monkeypatch, tmp_path):
    monkeypatch.setenv("WSL_DISTRO_NAME", "Ubuntu")
    fp.platform = type("P", (), {"system": staticmethod(lambda: "Linux"), "machine": staticmethod(lambda: "x86_64")})
    ran = tmp_path / "ran"
    bin_dir("reg.exe", f"""
        import sys
        assert sys.argv[1:] == ["query", r"HKLM\\SOFTWARE\\Microsoft\\Cryptography", "/v", "MachineGuid"], sys.argv
        print(r"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography")
        print("    MachineGuid    REG_SZ    {GUID}")
    """)
    bin_dir("powershell.exe", f"open({str(ran)!r}, 'w').write('powershell')\nprint('{GUID}')\n")
    assert fp._primary_device_identifier() == GUID
    assert not ran.exists()
    # A PowerShell that only warns on standard error (status 0) answers nothing.
    bin_dir("powershell.exe", "import sys\nsys.stderr.write('WARNING: could not read registry\\n')\n")
    assert fp._windows_machine_guid_from_powershell() == ""


def test_placeholders_fall_through_and_real_identifiers_keep_their_fingerprint():
    files = {"/etc/machine-id": "uninitialized", "/var/lib/dbus/machine-id": "uninitialized",
             "/sys/class/dmi/id/product_uuid": "00000000-0000-0000-0000-000000000000"}
    fp._safe_read = lambda path: files.get(path, "")
    assert fp._linux_machine_identifier() == ""
    for placeholder in ("FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF", "ffffffffffffffffffffffffffffffff"):
        files["/sys/class/dmi/id/product_uuid"] = placeholder
        assert fp._linux_machine_identifier() == ""
    files["/sys/class/dmi/id/product_uuid"] = "4C4C4544-004D-3510-804C-B4C04F4A3432"
    assert fp._linux_machine_identifier() == "4C4C4544-004D-3510-804C-B4C04F4A3432"  # text unchanged
    files["/var/lib/dbus/machine-id"] = MACHINE_ID
    assert fp._linux_machine_identifier() == MACHINE_ID
    files["/etc/machine-id"] = MACHINE_ID
    fp._is_wsl = lambda: False
    material = f"{platform.system().lower()}|{platform.machine().lower()}|{MACHINE_ID}"
    if platform.system() == "Linux":
        assert fp.build_device_fingerprint() == hashlib.sha256(material.encode()).hexdigest()


WRITER = """
import os, pathlib, sys
import valdrune_data.fingerprint as fp
if sys.argv[2] == "no-link":
    def refuse(self, target):
        raise PermissionError(1, "Operation not permitted")
    pathlib.Path.hardlink_to = refuse
print("ready", flush=True)
for i in range(100_000):
    os.environ["HOME"] = os.environ["USERPROFILE"] = os.path.join(sys.argv[1], str(i))
    fp._persistent_fallback_id()
"""


@pytest.mark.slow
@pytest.mark.parametrize("route", ["link", "no-link"])
def test_killed_writers_never_leave_an_empty_or_partial_file(tmp_path, route, scaled):
    chooser = random.Random(20261208)
    files = []
    # At least 60 kills, and on until the kills have fallen among more than 100 stores: a slow
    # build (a sanitizer's, or one under emulation) stores less between two kills. Under an
    # emulator, where each writer takes seconds to start, 20 kills among more than 40 stores.
    kills, stores = scaled(60, 20), scaled(100, 40)
    for kill in range(600):
        if kill >= kills and len(files) > stores:
            break
        base = tmp_path / str(kill)
        writer = subprocess.Popen([sys.executable, "-c", WRITER, str(base), route], cwd=tmp_path,
                                  stdout=subprocess.PIPE, text=True)
        assert writer.stdout.readline() == "ready\n"
        time.sleep(chooser.uniform(0.001, 0.03))
        writer.kill()  # SIGKILL; TerminateProcess on Windows
        writer.communicate()
        files = list(tmp_path.glob("*/*/.valdrune/device_fingerprint"))
    assert len(files) > stores
    contents = {path.read_text() for path in files}
    assert all(UUID_TEXT.fullmatch(text) for text in contents), [t for t in contents if not UUID_TEXT.fullmatch(t)]


@pytest.mark.slow
def test_racing_repairers_of_an_empty_file_agree_and_a_stale_lock_is_taken_over(home, race, scaled):
    target = home / ".valdrune" / "device_fingerprint"
    target.parent.mkdir()
    target.write_text(" \n")
    results = race(scaled(64, 24), 20)  # 24 racers under an emulator, where each takes seconds to start
    assert len(results) == 1 and UUID_TEXT.fullmatch(target.read_text()) and target.read_text() in results
    kept = [".device_fingerprint.lock"] if os.name == "nt" else []  # Windows cannot remove the open lock file
    assert sorted(p.name for p in target.parent.iterdir()) == kept + ["device_fingerprint"]
    # A repairer killed while holding the lock delays the next one by a few seconds at most.
    target.write_text("")
    (target.parent / ".device_fingerprint.lock").unlink(missing_ok=True)  # the lock file Windows keeps
    (target.parent / ".device_fingerprint.lock").mkdir()
    started = time.monotonic()
    value = fp._persistent_fallback_id()
    assert time.monotonic() - started < 5
    assert UUID_TEXT.fullmatch(value) and target.read_text() == value
    assert sorted(os.listdir(target.parent)) == kept + ["device_fingerprint"]
