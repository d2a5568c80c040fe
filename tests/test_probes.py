"""Probing primitives and the Linux identifier: file read, command runner, WSL test, machine-id."""

import locale
import os
import pathlib
import subprocess
import sys
import time
import types

import pytest

import valdrune_data.fingerprint as fp

# What text mode makes of two bytes that are not UTF-8: nothing where the locale's encoding is UTF-8,
# two characters where it maps every byte (a Windows ANSI code page).
try:
    LOCALE_TEXT = b"\xff\xfe".decode(locale.getpreferredencoding(False)).strip()
except UnicodeDecodeError:
    LOCALE_TEXT = ""

# ---- _safe_read --------------------------------------------------------------


@pytest.mark.parametrize(
    "data, expected",
    [(b"abc\n", "abc"), (b"  a b  \n\n", "a b"), (b"", ""), (b" \n \t\n", ""),
     (b"\xef\xbb\xbfid\n", "\ufeffid"), (b"line1\r\nline2\r\n", "line1\nline2"), (b"\xff\xfeid", "")],
)
def test_safe_read_returns_stripped_text_or_empty(tmp_path, data, expected):
    target = tmp_path / "f"
    target.write_bytes(data)
    assert fp._safe_read(str(target)) == expected


def test_safe_read_absorbs_ordinary_failures(tmp_path):
    assert fp._safe_read(str(tmp_path / "missing")) == ""
    assert fp._safe_read(str(tmp_path)) == ""
    assert fp._safe_read("") == ""
    del fp.Path
    assert fp._safe_read(str(tmp_path)) == ""
    fp.Path = lambda path: types.SimpleNamespace(read_text=lambda **kw: types.SimpleNamespace(strip=lambda: b"x"))
    assert fp._safe_read("/x") == ""  # the result check fails inside the guarded region


def test_safe_read_calls_path_read_text_strip_in_order(recorder):
    text = types.SimpleNamespace(strip=recorder("value"))
    path_obj = types.SimpleNamespace(read_text=recorder(text))
    fp.Path = recorder(path_obj)
    assert fp._safe_read("/some/file") == "value"
    assert fp.Path.calls == [(("/some/file",), {})]
    assert path_obj.read_text.calls == [((), {"encoding": "utf-8"})]
    assert text.strip.calls == [((), {})]


def test_safe_read_lets_interrupts_through(entries):
    fp.Path = lambda path: (_ for _ in ()).throw(KeyboardInterrupt)
    with pytest.raises(KeyboardInterrupt) as excinfo:
        fp._safe_read("/x")
    assert entries(excinfo.value) == [(14, "valdrune_data.fingerprint._safe_read")]


# ---- _run_command ------------------------------------------------------------


def script(tmp_path, name, body):
    path = tmp_path / name
    path.write_text(f"import sys, time\n{body}\n")
    return [sys.executable, str(path)]


@pytest.mark.parametrize(
    "body, expected",
    [
        ("print('x'); print('warning', file=sys.stderr)", "x"),
        ("print(' err', file=sys.stderr)", "err"),
        ("print(); print('err', file=sys.stderr)", ""),  # chosen before stripping
        ("print('text'); sys.exit(1)", ""),
        ("sys.exit(0)", ""),
        ("print('  both ends  ')", "both ends"),
        ("sys.stdout.buffer.write(b'\\xff\\xfe')", LOCALE_TEXT),  # undecodable in UTF-8; a Windows code page maps it
        ("import os, signal; os.kill(os.getpid(), signal.SIGTERM)", ""),
    ],
)
def test_run_command_output_and_status(tmp_path, body, expected):
    assert fp._run_command(script(tmp_path, "prog.py", body)) == expected


@pytest.mark.parametrize("args", [[], ["no-such-program-anywhere"], [sys.executable, 3.5], [None]])
def test_run_command_absorbs_failures_to_start(args):
    assert fp._run_command(args) == ""


@pytest.mark.slow
def test_run_command_time_limit_ends_the_child(tmp_path):
    pid_file = tmp_path / "pid"
    args = script(tmp_path, "sleeper.py", f"import os; open({str(pid_file)!r}, 'w').write(str(os.getpid()))\n"
                                          "sys.stdout.flush(); time.sleep(10)")
    started = time.monotonic()
    assert fp._run_command(args) == ""
    elapsed = time.monotonic() - started
    assert 3.5 < elapsed < 8
    pid = int(pid_file.read_text())
    if os.name != "nt":  # on Windows os.kill would terminate whatever process has that number now
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)


def test_run_command_calls_run_with_the_exact_keywords(recorder):
    completed = types.SimpleNamespace(returncode=0, stdout=" out ", stderr="")
    fp.subprocess = types.SimpleNamespace(run=recorder(completed), DEVNULL=subprocess.DEVNULL)
    args = ["prog", "arg"]
    assert fp._run_command(args) == "out"
    ((call_args, kwargs),) = fp.subprocess.run.calls
    assert call_args[0] is args
    assert list(kwargs.items()) == [("capture_output", True), ("text", True), ("timeout", 4), ("check", False),
                                    ("stdin", subprocess.DEVNULL)]
    assert type(kwargs["timeout"]) is int


def test_run_command_guard_covers_only_the_call(recorder, entries):
    del fp.subprocess
    assert fp._run_command(["x"]) == ""
    fp.subprocess = types.SimpleNamespace()  # no run attribute
    assert fp._run_command(["x"]) == ""

    class BadStatus:
        def __ne__(self, other):
            raise ValueError("status")

    fp.subprocess = types.SimpleNamespace(DEVNULL=subprocess.DEVNULL, run=recorder(types.SimpleNamespace(returncode=BadStatus())))
    with pytest.raises(ValueError) as excinfo:
        fp._run_command(["x"])
    assert entries(excinfo.value) == [(24, "valdrune_data.fingerprint._run_command")]
    fp.subprocess = types.SimpleNamespace(DEVNULL=subprocess.DEVNULL, run=recorder(types.SimpleNamespace(returncode=0, stdout=b"x")))
    with pytest.raises(TypeError, match="Expected str, got bytes") as excinfo:
        fp._run_command(["x"])
    assert entries(excinfo.value) == [(26, "valdrune_data.fingerprint._run_command")]
    fp.subprocess = types.SimpleNamespace(run=recorder(raises=KeyboardInterrupt()), DEVNULL=subprocess.DEVNULL)
    with pytest.raises(KeyboardInterrupt) as excinfo:
        fp._run_command(["x"])
    assert entries(excinfo.value) == [(21, "valdrune_data.fingerprint._run_command")]


# ---- _is_wsl -----------------------------------------------------------------


@pytest.fixture
def clean_wsl_env(monkeypatch):
    monkeypatch.delenv("WSL_DISTRO_NAME", raising=False)
    monkeypatch.delenv("WSL_INTEROP", raising=False)
    return monkeypatch


@pytest.mark.parametrize(
    "env, version, expected, reads",
    [
        ({"WSL_DISTRO_NAME": "Ubuntu"}, "", True, False),
        ({"WSL_INTEROP": "/run/WSL/1_interop"}, "", True, False),
        ({"WSL_DISTRO_NAME": ""}, "Linux version 5.15.90.1-Microsoft-standard", True, True),
        ({}, "Linux version 6.6 (gcc) #1 SMP WSL2", True, True),
        ({}, "Linux version 6.1.0-13-amd64 (debian-kernel@lists.debian.org)", False, True),
        ({}, "", False, True),
    ],
)
def test_is_wsl(clean_wsl_env, recorder, env, version, expected, reads):
    for name, value in env.items():
        clean_wsl_env.setenv(name, value)
    fp._safe_read = recorder(version)
    assert fp._is_wsl() is expected
    assert fp._safe_read.calls == ([(("/proc/version",), {})] if reads else [])


def test_is_wsl_errors_propagate_with_their_line(clean_wsl_env, entries):
    fp._safe_read = lambda path: None
    with pytest.raises(AttributeError) as excinfo:
        fp._is_wsl()
    assert entries(excinfo.value) == [(32, "valdrune_data.fingerprint._is_wsl")]
    del fp.os
    with pytest.raises(NameError, match="'os'") as excinfo:
        fp._is_wsl()
    assert entries(excinfo.value) == [(30, "valdrune_data.fingerprint._is_wsl")]


# ---- _linux_machine_identifier -----------------------------------------------

PATHS = ["/etc/machine-id", "/var/lib/dbus/machine-id", "/sys/class/dmi/id/product_uuid"]


@pytest.mark.parametrize(
    "contents, expected, read",
    [
        ({PATHS[0]: "0123456789abcdef0123456789abcdef"}, "0123456789abcdef0123456789abcdef", 1),
        ({PATHS[0]: "", PATHS[1]: "dbus-id"}, "dbus-id", 2),
        ({PATHS[2]: "4C4C4544-0042-3510-8052-B4C04F4E4E32"}, "4C4C4544-0042-3510-8052-B4C04F4E4E32", 3),
        ({PATHS[0]: None, PATHS[1]: 0}, "", 3),
        ({}, "", 3),
    ],
)
def test_linux_machine_identifier(contents, expected, read):
    seen = []
    fp._safe_read = lambda path: seen.append(path) or contents.get(path, "")
    assert fp._linux_machine_identifier() == expected
    assert seen == PATHS[:read]


def test_linux_machine_identifier_rejects_truthy_non_str(entries):
    seen = []
    fp._safe_read = lambda path: seen.append(path) or b"bytes-id"
    with pytest.raises(TypeError, match="^Expected str, got bytes$") as excinfo:
        fp._linux_machine_identifier()
    assert seen == PATHS[:1]
    assert entries(excinfo.value) == [(100, "valdrune_data.fingerprint._linux_machine_identifier")]
    del fp._safe_read
    with pytest.raises(NameError) as excinfo:
        fp._linux_machine_identifier()
    assert entries(excinfo.value)[0][0] == 98


def test_linux_machine_identifier_with_real_files(tmp_path, monkeypatch):
    real_path = pathlib.Path
    files = {PATHS[0]: tmp_path / "machine-id"}
    files[PATHS[0]].write_text("abc123\n")
    fp.Path = lambda path: real_path(files.get(path, tmp_path / "absent"))
    assert fp._linux_machine_identifier() == "abc123"
