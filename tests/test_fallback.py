"""The persisted fallback identifier: creation, reuse, failures, and concurrent first runs."""

import os
import pathlib
import re
import subprocess
import sys
import uuid

import pytest

import valdrune_data.fingerprint as fp

UUID_TEXT = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
FALLBACK = f"fallback-{uuid.getnode()}"
PathClass = type(pathlib.Path())  # PosixPath or WindowsPath


def state_file(home):
    return home / ".valdrune" / "device_fingerprint"


def test_first_call_creates_the_file_and_later_calls_read_it(home):
    first = fp._persistent_fallback_id()
    target = state_file(home)
    assert UUID_TEXT.fullmatch(first)
    assert target.read_bytes() == first.encode("ascii")  # 36 bytes, no newline
    umask = os.umask(0)
    os.umask(umask)
    assert target.stat().st_mode & 0o777 == 0o666 & ~umask  # a plain write's mode
    before = target.stat()
    assert fp._persistent_fallback_id() == first
    after = target.stat()
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    assert sorted(p.name for p in target.parent.iterdir()) == ["device_fingerprint"]


def test_missing_home_is_created_with_the_state_directory(home, move_home):
    move_home(home / "not" / "yet")
    value = fp._persistent_fallback_id()
    assert state_file(home / "not" / "yet").read_text() == value


@pytest.mark.parametrize(
    "content, expected",
    [("  3f2504e0-4f89-11d3-9a0c-0305e82c3301\n", "3f2504e0-4f89-11d3-9a0c-0305e82c3301"),
     ("SOMETHING Else, of any length\t", "SOMETHING Else, of any length")],
)
def test_existing_file_is_returned_stripped_and_never_rewritten(home, content, expected):
    target = state_file(home)
    target.parent.mkdir()
    target.write_text(content)
    assert fp._persistent_fallback_id() == expected
    assert target.read_text() == content


@pytest.mark.parametrize("obstacle", ["undecodable", "directory", "blocked_state_dir"])
def test_unreadable_or_unwritable_state_gives_the_unstored_fallback(home, obstacle):
    target = state_file(home)
    if obstacle == "undecodable":
        target.parent.mkdir()
        target.write_bytes(b"\xff\xfe\xfa")
    elif obstacle == "directory":
        target.mkdir(parents=True)
    else:
        (home / ".valdrune").write_text("a file where the directory should be")
    snapshot = sorted(str(p) for p in home.rglob("*"))
    assert fp._persistent_fallback_id() == FALLBACK
    assert fp._persistent_fallback_id() == FALLBACK
    assert sorted(str(p) for p in home.rglob("*")) == snapshot


NO_HOME = """
import os, pwd, uuid
import valdrune_data.fingerprint as fp
uuid.getnode()  # everything imported and known before the interpreter's own files become unreadable
os.setuid(54321)  # a uid without a passwd entry, as containers run with an arbitrary uid have
print(fp._persistent_fallback_id())
"""


def test_no_home_directory_at_all_gives_the_unstored_fallback(entries, node_shared_by_processes):
    # No home is a file that can be neither read nor written: the unstored identifier, not an error.
    class NoHome(PathClass):
        @classmethod
        def home(cls):
            raise RuntimeError("Could not determine home directory.")

    fp.Path = NoHome
    assert fp._persistent_fallback_id() == FALLBACK
    NoHome.home = classmethod(lambda cls: (_ for _ in ()).throw(KeyboardInterrupt))
    with pytest.raises(KeyboardInterrupt) as excinfo:  # an interrupt is never absorbed
        fp._persistent_fallback_id()
    assert entries(excinfo.value) == [(37, "valdrune_data.fingerprint._persistent_fallback_id")]
    if os.name != "posix" or os.geteuid() != 0:
        return  # for real: HOME unset and a uid that the password database does not know
    env = {name: value for name, value in os.environ.items() if name != "HOME"}
    result = subprocess.run([sys.executable, "-c", NO_HOME], env=env, capture_output=True, text=True, timeout=60,
                            cwd="/")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == FALLBACK


def test_interrupt_is_not_absorbed_and_keeps_the_callers_handled_exception(entries):
    class Interrupting(PathClass):
        def exists(self, **kwargs):
            raise KeyboardInterrupt

    fp.Path = Interrupting
    with pytest.raises(KeyboardInterrupt) as excinfo:
        fp._persistent_fallback_id()
    assert entries(excinfo.value) == [(41, "valdrune_data.fingerprint._persistent_fallback_id")]
    try:
        raise ValueError("outer")
    except ValueError as outer:
        fp.Path = pathlib.Path
        (pathlib.Path.home() / ".valdrune").write_text("blocks the directory")
        assert fp._persistent_fallback_id() == FALLBACK
        assert sys.exception() is outer


def test_handler_errors_carry_the_absorbed_failure_as_context(home, entries):
    (home / ".valdrune").write_text("blocks the directory")
    del fp.uuid
    with pytest.raises(NameError, match="name 'uuid' is not defined") as excinfo:
        fp._persistent_fallback_id()
    assert entries(excinfo.value) == [(48, "valdrune_data.fingerprint._persistent_fallback_id")]
    context = excinfo.value.__context__
    assert isinstance(context, OSError) and entries(context)[-1][0] == 43


@pytest.mark.parametrize(
    "node, text",
    [(17, "17"), ("node", "node"), (2.5, "2.5"), (True, "True")],
)
def test_fallback_text_formats_the_node_like_an_fstring(home, node, text):
    state_file(home).mkdir(parents=True)
    fp.uuid = type("U", (), {"getnode": staticmethod(lambda: node)})
    assert fp._persistent_fallback_id() == "fallback-" + text


def test_first_writer_wins_when_the_name_appears_meanwhile(home):
    target = state_file(home)

    class Late(PathClass):
        def exists(self, **kwargs):
            if self.name == "device_fingerprint":
                self.parent.mkdir(exist_ok=True)
                self.write_text("written-by-another-process\n")  # appears after the test below
                return False
            return super().exists(**kwargs)

    fp.Path = Late
    assert fp._persistent_fallback_id() == "written-by-another-process"
    assert target.read_text() == "written-by-another-process\n"
    assert [p.name for p in target.parent.iterdir()] == ["device_fingerprint"]


@pytest.mark.parametrize("existing", [False, True])
def test_exclusive_create_where_links_are_refused(home, existing):
    target = state_file(home)

    class NoLinks(PathClass):
        def hardlink_to(self, target):
            if existing:
                self.write_text("stored-first")
            raise PermissionError(1, "Operation not permitted")

    fp.Path = NoLinks
    value = fp._persistent_fallback_id()
    assert value == ("stored-first" if existing else target.read_text())
    assert UUID_TEXT.fullmatch(target.read_text()) or existing
    left = sorted(p.name for p in target.parent.iterdir())
    # Windows cannot remove the lock file while it is open: it stays, empty, where the lock was
    # taken. An identifier stored first is returned without the lock.
    locked = os.name == "nt" and not existing
    assert left == ([".device_fingerprint.lock"] if locked else []) + ["device_fingerprint"]


def test_temporary_file_is_removed_when_publishing_is_interrupted(home):
    class Interrupted(PathClass):
        def hardlink_to(self, target):
            raise KeyboardInterrupt

    fp.Path = Interrupted
    with pytest.raises(KeyboardInterrupt):
        fp._persistent_fallback_id()
    assert list((home / ".valdrune").iterdir()) == []


@pytest.mark.slow
@pytest.mark.parametrize("processes", [16, 64])
def test_processes_racing_the_first_run_agree(home, race, processes, scaled):
    results = race(scaled(processes, min(processes, 24)), 50)  # at most 24 under an emulator
    assert len(results) == 1, results  # never an empty, partial or second identifier
    (value,) = results
    assert UUID_TEXT.fullmatch(value) and state_file(home).read_text() == value
    assert [p.name for p in state_file(home).parent.iterdir()] == ["device_fingerprint"]
