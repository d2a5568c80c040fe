"""Reference leaks: every function's success and error paths, called many times, leave no blocks behind."""

import gc
import pathlib
import subprocess
import sys
import types

import pytest

import valdrune_data
import valdrune_data.fingerprint as fp

CALLS = 3000
BOUND = 30  # blocks; a leak of one object per call would show thousands


class Key:
    def __init__(self, exit_result=False):
        self.exit_result = exit_result

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return self.exit_result


def winreg_module(query, exit_result=False):
    module = types.ModuleType("winreg")
    module.HKEY_LOCAL_MACHINE = 0
    module.OpenKey = lambda root, sub: Key(exit_result)
    module.QueryValueEx = query
    return module


def raising(exc_type):
    def f(*args, **kwargs):
        raise exc_type  # a new instance each time: a reused one collects tracebacks
    return f


def completed(returncode=0, stdout="out\n", stderr=""):
    return types.SimpleNamespace(returncode=returncode, stdout=stdout, stderr=stderr)


def subprocess_returning(result):
    return types.SimpleNamespace(run=lambda *a, **k: result, DEVNULL=subprocess.DEVNULL)


class Subclass(str):
    pass


class NoLinks(type(pathlib.Path())):
    def hardlink_to(self, target):
        raise PermissionError(1, "Operation not permitted")


def lazy_module(**attributes):
    module = types.ModuleType("lazy")
    module.__getattr__ = attributes.__getitem__
    return module


# name -> (namespace replacements, extra sys.modules entries, call)
PATHS = {
    "safe_read_ok": ({}, {}, lambda h: fp._safe_read(str(h / "file"))),
    "safe_read_missing": ({}, {}, lambda h: fp._safe_read(str(h / "missing"))),
    "safe_read_undecodable": ({}, {}, lambda h: fp._safe_read(str(h / "binary"))),
    "safe_read_no_path": ({"Path": None}, {}, lambda h: fp._safe_read("x")),
    "safe_read_interrupt": ({"Path": raising(KeyboardInterrupt)}, {}, lambda h: fp._safe_read("x")),
    "safe_read_type": ({}, {}, lambda h: fp._safe_read(None)),
    "safe_read_subclass_note": ({}, {}, lambda h: fp._safe_read(Subclass("x"))),
    "safe_read_count": ({}, {}, lambda h: fp._safe_read("a", "b")),
    "safe_read_multiple": ({}, {}, lambda h: fp._safe_read("a", path="b")),
    "safe_read_unexpected": ({}, {}, lambda h: fp._safe_read(other="b")),
    "run_ok": ({"subprocess": subprocess_returning(completed())}, {}, lambda h: fp._run_command(["x"])),
    "run_stderr": ({"subprocess": subprocess_returning(completed(stdout="", stderr="e"))}, {},
                   lambda h: fp._run_command(["x"])),
    "run_status": ({"subprocess": subprocess_returning(completed(returncode=2))}, {},
                   lambda h: fp._run_command(["x"])),
    "run_raises": ({"subprocess": types.SimpleNamespace(run=raising(OSError), DEVNULL=subprocess.DEVNULL)}, {},
                   lambda h: fp._run_command(["x"])),
    "run_interrupt": ({"subprocess": types.SimpleNamespace(run=raising(KeyboardInterrupt), DEVNULL=subprocess.DEVNULL)}, {},
                      lambda h: fp._run_command(["x"])),
    "run_bad_output": ({"subprocess": subprocess_returning(completed(stdout=b"x"))}, {},
                       lambda h: fp._run_command(["x"])),
    "run_type": ({}, {}, lambda h: fp._run_command(("x",))),
    "is_wsl_file": ({"_safe_read": lambda p: "Linux version 6.1 microsoft"}, {}, lambda h: fp._is_wsl()),
    "is_wsl_env": ({"os": types.SimpleNamespace(environ={"WSL_INTEROP": "1"})}, {}, lambda h: fp._is_wsl()),
    "is_wsl_no_os": ({"os": None}, {}, lambda h: fp._is_wsl()),
    "fallback_read": ({}, {}, lambda h: fp._persistent_fallback_id()),
    "fallback_blocked": ({"Path": type("P", (), {"home": staticmethod(lambda: pathlib.Path("/dev/null"))})}, {},
                         lambda h: fp._persistent_fallback_id()),
    "fallback_no_home": ({"Path": type("P", (), {"home": staticmethod(raising(RuntimeError))})}, {},
                         lambda h: fp._persistent_fallback_id()),
    "fallback_handler_fails": ({"Path": type("P", (), {"home": staticmethod(lambda: pathlib.Path("/dev/null"))}),
                                "uuid": None}, {}, lambda h: fp._persistent_fallback_id()),
    # a fixed stand-in identifier, so that nothing but the module's own work varies
    "fallback_create": ({"uuid": types.SimpleNamespace(uuid4=lambda: "5a0c9f8e-2b7d-4c1a-9e3f-6d8b0a2c4e1f")}, {}, lambda h: ((h / ".valdrune" / "device_fingerprint").unlink(missing_ok=True),
                                           fp._persistent_fallback_id())),
    "fallback_repair": ({}, {}, lambda h: ((h / ".valdrune").mkdir(exist_ok=True),
                                           (h / ".valdrune" / "device_fingerprint").write_text(" "),
                                           fp._persistent_fallback_id())),
    "fallback_no_link": ({"Path": NoLinks}, {}, lambda h: ((h / ".valdrune" / "device_fingerprint").unlink(
        missing_ok=True), fp._persistent_fallback_id())),
    "fallback_lock_obstacle": ({}, {}, lambda h: ((h / ".valdrune" / ".device_fingerprint.lock" / "x").mkdir(
        parents=True, exist_ok=True), (h / ".valdrune" / "device_fingerprint").write_text(""),
        fp._persistent_fallback_id())),
    "fallback_linked_leftover": ({}, {}, lambda h: ((h / ".valdrune").mkdir(exist_ok=True),
                                                    (h / ".valdrune" / "device_fingerprint").write_text("id"),
                                                    (h / ".valdrune" / ".device_fingerprint.aaaaaaaaaaaaaaaa.tmp").hardlink_to(
                                                        h / ".valdrune" / "device_fingerprint"),
                                                    fp._persistent_fallback_id())),
    "fallback_dead_writer": ({}, {}, lambda h: ((h / ".valdrune").mkdir(exist_ok=True),
                                                (h / ".valdrune" / "device_fingerprint").unlink(missing_ok=True),
                                                (h / ".valdrune" / ".device_fingerprint.bbbbbbbbbbbbbbbb.tmp").write_text("x"),
                                                fp._persistent_fallback_id())),
    "linux_placeholder": ({"_safe_read": lambda p: "uninitialized"}, {}, lambda h: fp._linux_machine_identifier()),
    "powershell_warning": ({"_run_command": lambda a: "WARNING: could not read registry"}, {},
                           lambda h: fp._windows_machine_guid_from_powershell()),
    "module_getattr": ({"platform": lazy_module(system=lambda: "Linux", machine=lambda: "x86_64"),
                        "_primary_device_identifier": lambda: "id"}, {}, lambda h: fp.build_device_fingerprint()),
    "no_vectorcall": ({"_is_wsl": max, "platform": types.SimpleNamespace(system=lambda: "Linux")}, {},
                      lambda h: fp._primary_device_identifier()),
    "app_fingerprint": ({"_primary_device_identifier": lambda: "id"}, {}, lambda h: valdrune_data.app_fingerprint("a")),
    "winreg_ok": ({}, {"winreg": winreg_module(lambda k, n: ("guid", 1))},
                  lambda h: fp._windows_machine_guid_from_python()),
    "winreg_fails": ({}, {"winreg": winreg_module(raising(OSError))},
                     lambda h: fp._windows_machine_guid_from_python()),
    "winreg_swallowed": ({}, {"winreg": winreg_module(raising(OSError), exit_result=True)},
                         lambda h: fp._windows_machine_guid_from_python()),
    "winreg_interrupt": ({}, {"winreg": winreg_module(raising(KeyboardInterrupt))},
                         lambda h: fp._windows_machine_guid_from_python()),
    "winreg_missing": ({}, {"winreg": None}, lambda h: fp._windows_machine_guid_from_python()),
    "regexe_match": ({"_run_command": lambda a: "MachineGuid REG_SZ ab-12"}, {},
                     lambda h: fp._windows_machine_guid_from_regexe()),
    "regexe_none": ({"_run_command": lambda a: ""}, {}, lambda h: fp._windows_machine_guid_from_regexe()),
    "regexe_error": ({"_run_command": lambda a: None}, {}, lambda h: fp._windows_machine_guid_from_regexe()),
    "powershell": ({"_run_command": lambda a: " guid "}, {}, lambda h: fp._windows_machine_guid_from_powershell()),
    "powershell_bad": ({"_run_command": lambda a: 5}, {}, lambda h: fp._windows_machine_guid_from_powershell()),
    "windows_chain": ({"_windows_machine_guid_from_python": lambda: None,
                       "_windows_machine_guid_from_regexe": lambda: "",
                       "_windows_machine_guid_from_powershell": lambda: "g"}, {},
                      lambda h: fp._windows_machine_guid()),
    "mac": ({"_run_command": lambda a: '"IOPlatformUUID" = "U"'}, {}, lambda h: fp._mac_platform_uuid()),
    "mac_args": ({}, {}, lambda h: fp._mac_platform_uuid(1)),
    "mac_kwargs": ({}, {}, lambda h: fp._mac_platform_uuid(x=1)),
    "linux_id": ({"_safe_read": lambda p: "" if p.startswith("/etc") else "id"}, {},
                 lambda h: fp._linux_machine_identifier()),
    "linux_id_bad": ({"_safe_read": lambda p: b"id"}, {}, lambda h: fp._linux_machine_identifier()),
    "linux_id_name_error": ({"_safe_read": None}, {}, lambda h: fp._linux_machine_identifier()),
    "primary_wsl": ({"platform": types.SimpleNamespace(system=lambda: "Linux"), "_is_wsl": lambda: True,
                     "_windows_machine_guid_from_regexe": lambda: "",
                     "_windows_machine_guid_from_powershell": lambda: "", "_linux_machine_identifier": lambda: "",
                     "_persistent_fallback_id": lambda: "f"}, {}, lambda h: fp._primary_device_identifier()),
    "primary_other": ({"platform": types.SimpleNamespace(system=lambda: "Other"),
                       "_persistent_fallback_id": lambda: True}, {}, lambda h: fp._primary_device_identifier()),
    "fingerprint": ({"_primary_device_identifier": lambda: "id"}, {}, lambda h: fp.build_device_fingerprint()),
    "fingerprint_real": ({}, {}, lambda h: fp.build_device_fingerprint()),
    "fingerprint_surrogate": ({"_primary_device_identifier": lambda: "\udc80"}, {},
                              lambda h: fp.build_device_fingerprint()),
    "fingerprint_none": ({"_primary_device_identifier": lambda: None}, {}, lambda h: fp.build_device_fingerprint()),
}
DELETED = None  # a replacement of None above means: delete the name


def call(path, home):
    try:
        path(home)
    except BaseException:  # noqa: BLE001 - every error path is measured too
        pass


@pytest.mark.parametrize("name", list(PATHS))
def test_no_blocks_leak(name, home, monkeypatch, scaled):
    replacements, modules, path = PATHS[name]
    (home / "file").write_text("content\n")
    (home / "binary").write_bytes(b"\xff\xfe")
    for key, value in replacements.items():
        if value is DELETED:
            monkeypatch.delitem(vars(fp), key)
        else:
            monkeypatch.setitem(vars(fp), key, value)
    for key, value in modules.items():
        monkeypatch.setitem(sys.modules, key, value)
    slow = {"fallback_create", "fallback_repair", "fallback_no_link", "safe_read_ok", "fingerprint_real"}
    calls = CALLS // 10 if name in slow else scaled(CALLS, CALLS // 3)  # a leak still shows 1,000 blocks
    for _ in range(200):
        call(path, home)
    deltas = []
    for _ in range(3):  # as in a refleak run: a leak grows in every round, a cache settles
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(calls):
            call(path, home)
        gc.collect()
        deltas.append(sys.getallocatedblocks() - before)
    assert min(deltas) < BOUND, deltas


def test_objects_passed_in_and_returned_keep_their_counts():
    identifier = "".join(["device", "-identifier"])  # a fresh, non-interned str
    argument = ["x"]
    fp._linux_machine_identifier = lambda: identifier
    fp._persistent_fallback_id = lambda: identifier
    fp.subprocess = subprocess_returning(completed(stdout=identifier))
    counts = sys.getrefcount(identifier), sys.getrefcount(argument)
    for _ in range(1000):
        fp._primary_device_identifier()
        fp._run_command(argument)
    assert (sys.getrefcount(identifier), sys.getrefcount(argument)) == counts
