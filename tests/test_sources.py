"""Windows and macOS identifier sources, with stand-in programs on PATH and a stand-in winreg."""

import os
import sys
import types

import pytest

import valdrune_data.fingerprint as fp

GUID = "6f1e4b52-8c0d-4a3e-9b7f-2d5c8e1a0f34"


def reg_output(line, newline="\n"):
    return newline.join(["", r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography", line, "", ""])


def fake_program(bin_dir, name, stdout, status=0):
    bin_dir(name, f"""
        import sys
        with open(__file__ + ".args", "w") as log:
            log.write(repr(sys.argv[1:]))
        sys.stdout.write({stdout!r})
        sys.exit({status})
    """)


def logged_args(bin_dir, name):
    return (bin_dir(name + ".probe", "").parent / (name + ".args")).read_text()


# ---- _windows_machine_guid_from_regexe -------------------------------------


@pytest.mark.parametrize(
    "output, status, expected",
    [
        (reg_output(f"    MachineGuid    REG_SZ    {GUID}"), 0, GUID),
        (reg_output(f"    MachineGuid    REG_SZ    {GUID.upper()}", "\r\n"), 0, GUID.upper()),
        (reg_output(f"    machineguid    REG_SZ    {GUID}"), 0, ""),
        (reg_output(f"    MachineGuid    REG_SZ    {{{GUID}}}"), 0, ""),
        (reg_output(f"    MachineGuid    REG_SZ    {GUID}xyz-1"), 0, GUID),
        (reg_output(f"    MachineGuid    REG_SZ    {GUID}"), 1, ""),
        ("", 0, ""),
    ],
)
def test_regexe_reader(bin_dir, output, status, expected):
    fake_program(bin_dir, "reg.exe", output, status)
    assert fp._windows_machine_guid_from_regexe() == expected
    assert logged_args(bin_dir, "reg.exe") == repr(["query", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "/v",
                                                     "MachineGuid"])


def test_command_readers_without_the_programs(monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path))
    assert fp._mac_platform_uuid() == ""
    if os.name == "nt":  # Windows starts System32's reg.exe and powershell.exe whatever PATH says, and has winreg
        return
    assert fp._windows_machine_guid_from_regexe() == ""
    assert fp._windows_machine_guid_from_powershell() == ""
    assert fp._windows_machine_guid_from_python() == ""  # no winreg here either
    assert fp._windows_machine_guid() == ""


def test_regexe_reader_literals_and_errors(recorder, entries):
    fp._run_command = recorder(f"MachineGuid REG_SZ {GUID}")
    fp.re = types.SimpleNamespace(search=recorder(None))
    assert fp._windows_machine_guid_from_regexe() == ""
    ((command,), _), = fp._run_command.calls
    assert type(command) is list and [len(arg) for arg in command] == [7, 5, 36, 2, 11]
    ((pattern, text), kwargs), = fp.re.search.calls
    assert pattern == r"MachineGuid\s+REG_\w+\s+([A-Fa-f0-9-]+)" and len(pattern) == 39
    assert text == f"MachineGuid REG_SZ {GUID}" and kwargs == {}
    fp.re = types.SimpleNamespace(search=lambda p, t: types.SimpleNamespace(group=lambda n: b"x"))
    with pytest.raises(TypeError, match="Expected str, got bytes") as excinfo:
        fp._windows_machine_guid_from_regexe()
    assert entries(excinfo.value) == [(67, "valdrune_data.fingerprint._windows_machine_guid_from_regexe")]
    fp._run_command = recorder(None)
    del fp.re
    with pytest.raises(NameError) as excinfo:
        fp._windows_machine_guid_from_regexe()
    assert entries(excinfo.value)[0][0] == 66


# ---- _windows_machine_guid_from_powershell ---------------------------------


@pytest.mark.parametrize("output, status, expected", [(f"{GUID}\r\n", 0, GUID), ("  not a guid \n", 0, ""),
                                                      (GUID, 1, "")])
def test_powershell_reader(bin_dir, output, status, expected):
    fake_program(bin_dir, "powershell.exe", output, status)
    assert fp._windows_machine_guid_from_powershell() == expected
    assert logged_args(bin_dir, "powershell.exe") == repr(
        ["-NoProfile", "-Command", r"(Get-ItemProperty 'HKLM:\SOFTWARE\Microsoft\Cryptography').MachineGuid"])


def test_powershell_reader_result_check(recorder, entries):
    fp._run_command = recorder(types.SimpleNamespace(strip=lambda: 7))
    with pytest.raises(TypeError, match="Expected str, got int") as excinfo:
        fp._windows_machine_guid_from_powershell()
    assert entries(excinfo.value) == [(79, "valdrune_data.fingerprint._windows_machine_guid_from_powershell")]
    ((command,), _), = fp._run_command.calls
    assert [len(arg) for arg in command] == [14, 10, 8, 70]
    del fp._run_command
    with pytest.raises(NameError) as excinfo:
        fp._windows_machine_guid_from_powershell()
    assert entries(excinfo.value)[0][0] == 71


# ---- _windows_machine_guid_from_python -------------------------------------


class Key:
    def __init__(self, log, exit_result=False, exit_raises=None):
        self.log, self.exit_result, self.exit_raises = log, exit_result, exit_raises

    def __enter__(self):
        self.log.append("enter")
        return self

    def __exit__(self, *exc_info):
        self.log.append(("exit", exc_info[0], sys.exception()))
        if self.exit_raises is not None:
            raise self.exit_raises
        return self.exit_result


@pytest.fixture
def winreg(monkeypatch):
    log = []
    module = types.ModuleType("winreg")
    module.HKEY_LOCAL_MACHINE = object()
    module.log = log
    module.key = Key(log)

    def open_key(*args):
        log.append(("open", args))
        return module.key

    module.OpenKey = open_key
    monkeypatch.setitem(sys.modules, "winreg", module)
    return module


@pytest.mark.parametrize(
    "value, expected",
    [((f" {GUID} ", 1), GUID), ((1234, 4), "1234"), ((0, 4), ""), ((b"raw", 3), "b'raw'"), (("", 1), "")],
)
def test_winreg_reader_values(winreg, value, expected):
    winreg.QueryValueEx = lambda key, name: (winreg.log.append(("query", key, name)), value)[1]
    assert fp._windows_machine_guid_from_python() == expected
    assert winreg.log == [("open", (winreg.HKEY_LOCAL_MACHINE, r"SOFTWARE\Microsoft\Cryptography")), "enter",
                          ("query", winreg.key, "MachineGuid"), ("exit", None, None)]
    assert "winreg" not in vars(fp)


@pytest.mark.parametrize("failure", [(1, 2, 3), OSError(2, "missing"), "unpack-one"])
def test_winreg_reader_failures_close_the_key_and_give_empty(winreg, failure):
    def query(key, name):
        if isinstance(failure, Exception):
            raise failure
        return ("only",) if failure == "unpack-one" else failure

    winreg.QueryValueEx = query
    assert fp._windows_machine_guid_from_python() == ""
    assert winreg.log[-1][0] == "exit" and issubclass(winreg.log[-1][1], Exception)
    assert winreg.log[-1][2] is not None  # the failure is being handled while __exit__ runs


def test_winreg_reader_exit_outcomes(winreg, entries):
    winreg.QueryValueEx = lambda key, name: (GUID, 1)
    winreg.key = Key(winreg.log, exit_raises=RuntimeError("close failed"))
    assert fp._windows_machine_guid_from_python() == ""  # normal exit failed: result discarded
    winreg.QueryValueEx = lambda key, name: 1 / 0
    winreg.key = Key(winreg.log, exit_result=True)
    assert fp._windows_machine_guid_from_python() is None  # exception swallowed by __exit__
    winreg.QueryValueEx = lambda key, name: (_ for _ in ()).throw(KeyboardInterrupt)
    winreg.key = Key(winreg.log)
    with pytest.raises(KeyboardInterrupt) as excinfo:
        fp._windows_machine_guid_from_python()
    name = "valdrune_data.fingerprint._windows_machine_guid_from_python"
    assert entries(excinfo.value) == [(57, name), (58, name)]
    winreg.key = object()
    assert fp._windows_machine_guid_from_python() == ""  # not a context manager


# ---- _windows_machine_guid --------------------------------------------------


@pytest.mark.parametrize(
    "results, expected, called",
    [(("py", "reg", "ps"), "py", 1), (("", "reg", "ps"), "reg", 2), ((None, "", ""), "", 3),
     (("", "", "ps"), "ps", 3)],
)
def test_windows_machine_guid_tries_readers_in_order(results, expected, called):
    calls = []
    for name, result in zip(["python", "regexe", "powershell"], results):
        setattr(fp, f"_windows_machine_guid_from_{name}", lambda n=name, r=result: calls.append(n) or r)
    assert fp._windows_machine_guid() == expected
    assert calls == ["python", "regexe", "powershell"][:called]


def test_windows_machine_guid_checks_only_the_returned_value(entries):
    fp._windows_machine_guid_from_python = lambda: 0
    fp._windows_machine_guid_from_regexe = lambda: b"guid"
    with pytest.raises(TypeError, match="Expected str, got bytes") as excinfo:
        fp._windows_machine_guid()
    assert entries(excinfo.value) == [(83, "valdrune_data.fingerprint._windows_machine_guid")]


# ---- _mac_platform_uuid -----------------------------------------------------

IOREG = """+-o J314sAP  <class IOPlatformExpertDevice, id 0x100000242, registered, matched, active, busy 0 (0 ms), retain 37>
    {{
      "IOPolledInterface" = "AppleARMWatchdogTimerHibernateHandler is not serializable"
      "IOPlatformSerialNumber" = "C02XK1ZZJGH5"
      "IOPlatformUUID"{sep}"{uuid}"
      "model" = <"MacBookPro18,3">
    }}
"""
MAC_UUID = "9D4C2A1E-7B3F-5E8D-A6C0-1F2E3D4C5B6A"


@pytest.mark.parametrize(
    "sep, uuid, expected",
    [(" = ", MAC_UUID, MAC_UUID), ("=", MAC_UUID.lower(), MAC_UUID.lower()), (" \t=\t  ", MAC_UUID, MAC_UUID),
     (" = ", "   ", ""), (" = ", "", "")],
)
def test_mac_platform_uuid(bin_dir, sep, uuid, expected):
    fake_program(bin_dir, "ioreg", IOREG.format(sep=sep, uuid=uuid))
    assert fp._mac_platform_uuid() == expected
    assert logged_args(bin_dir, "ioreg") == repr(["-rd1", "-c", "IOPlatformExpertDevice"])


def test_mac_platform_uuid_first_match_and_failures(bin_dir, recorder, entries):
    fp._run_command = recorder('"IOPlatformUUID" = "first"\n"IOPlatformUUID" = "second"')
    assert fp._mac_platform_uuid() == "first"
    ((command,), _), = fp._run_command.calls
    assert command == ["ioreg", "-rd1", "-c", "IOPlatformExpertDevice"]
    fp._run_command = recorder(None)
    with pytest.raises(TypeError) as excinfo:
        fp._mac_platform_uuid()
    assert entries(excinfo.value) == [(88, "valdrune_data.fingerprint._mac_platform_uuid")]
    fake_program(bin_dir, "ioreg", IOREG.format(sep=" = ", uuid=MAC_UUID), status=1)
    del fp._run_command
    with pytest.raises(NameError) as excinfo:
        fp._mac_platform_uuid()
    assert entries(excinfo.value)[0][0] == 87
    with pytest.raises(TypeError, match=r"_mac_platform_uuid\(\) takes no arguments \(1 given\)"):
        fp._mac_platform_uuid(1)
