"""The fallback store's lock, randomness and housekeeping, against stalled, killed and hostile neighbours."""

import errno
import os
import pathlib
import signal
import subprocess
import sys
import time
import types
import uuid

import pytest

import valdrune_data.fingerprint as fp

try:
    import fcntl
except ImportError:  # Windows
    fcntl = None

FALLBACK = f"fallback-{uuid.getnode()}"
LOCK = ".device_fingerprint.lock"

# Repairs an empty stored file, stalling under the lock until told to go on (a line on stdin).
STALLING_REPAIRER = """
import pathlib, sys
import valdrune_data.fingerprint as fp
class Stalling(type(pathlib.Path())):
    def replace(self, target):
        print("holding", flush=True)
        sys.stdin.readline()
        return super().replace(target)
fp.Path = Stalling
print(fp._persistent_fallback_id(), flush=True)
"""


def timed(call):
    started = time.monotonic()
    result = call()
    return result, time.monotonic() - started


@pytest.fixture
def empty_store(home):
    target = home / ".valdrune" / "device_fingerprint"
    target.parent.mkdir()
    target.write_text("")
    return target


def stalling_repairer(tmp_path):
    holder = subprocess.Popen([sys.executable, "-c", STALLING_REPAIRER], cwd=tmp_path, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "holding\n"
    return holder


@pytest.mark.slow
def test_a_living_holder_keeps_the_lock_and_a_killed_one_frees_it_at_once(empty_store, tmp_path):
    holder = stalling_repairer(tmp_path)
    try:
        time.sleep(3.2)  # older than any age after which a lock could pass for abandoned
        value, waited = timed(fp._persistent_fallback_id)
        assert value == FALLBACK and 1.5 < waited < 4  # waited a bounded time, then failed as a store fails
        assert empty_store.read_text() == ""
        holder.stdin.write("go\n")
        holder.stdin.flush()
        stored = holder.stdout.readline().strip()
    finally:
        holder.kill()
        holder.communicate()
    assert empty_store.read_text() == stored and fp._persistent_fallback_id() == stored
    # A holder killed while it holds the lock: the kernel releases it, the next store goes ahead at once.
    empty_store.write_text("")
    holder = stalling_repairer(tmp_path)
    holder.kill()
    holder.communicate()
    value, waited = timed(fp._persistent_fallback_id)
    assert waited < 1 and empty_store.read_text() == value and value != stored
    listing = sorted(p.name for p in empty_store.parent.iterdir())
    if os.name == "nt":  # without flock on temporaries, the killed holder's is removed once a minute old
        listing = [name for name in listing if not name.endswith(".tmp")]
    assert listing in (["device_fingerprint"], [LOCK, "device_fingerprint"])  # a killed holder leaves its lock file


def obstacle(kind, path):
    if kind == "full directory":
        path.mkdir()
        (path / "something").write_text("not ours")
    elif kind == "symlink":
        path.symlink_to(path.parent / "device_fingerprint")
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "empty directory":  # an older version's lock, left by a killed writer: ours, removed
        path.mkdir()


@pytest.mark.parametrize("kind", ["full directory", "symlink", "fifo", "empty directory"])
def test_a_lock_that_can_never_be_taken_fails_the_store_at_once(empty_store, kind):
    if kind in ("symlink", "fifo") and os.name == "nt":
        pytest.skip("symlinks and FIFOs need privileges or do not exist on Windows")
    obstacle(kind, empty_store.parent / LOCK)
    value, waited = timed(fp._persistent_fallback_id)
    assert waited < 0.5
    if kind == "empty directory":
        assert empty_store.read_text() == value != FALLBACK
    else:
        assert value == FALLBACK and empty_store.read_text() == ""
        assert os.path.lexists(empty_store.parent / LOCK)  # not ours: left alone


# Kernel locks refused (ENOLCK, as some network file systems answer): the lock directory stands in.
NO_KERNEL_LOCKS = """
import errno, fcntl, os, sys, time
def refuse(fd, operation):
    raise OSError(errno.ENOLCK, "No locks available")
fcntl.flock = refuse
import valdrune_data.fingerprint as fp
state = sys.argv[1]
lock = os.path.join(state, ".device_fingerprint.lockdir")
os.mkdir(lock)
os.utime(lock, (time.time() - 10,) * 2)  # left by a killed writer
started = time.monotonic()
print(fp._persistent_fallback_id(), round(time.monotonic() - started, 2), sorted(os.listdir(state)))
open(os.path.join(state, "device_fingerprint"), "w").close()
open(lock, "w").close()  # not a directory: not a lock at all
started = time.monotonic()
print(fp._persistent_fallback_id(), round(time.monotonic() - started, 2))
"""


@pytest.mark.skipif(os.name == "nt", reason="stands in for fcntl, which Windows does not have")
def test_without_kernel_locks_a_lock_directory_stands_in(empty_store, run_python, node_shared_by_processes):
    script = NO_KERNEL_LOCKS.replace("sys.argv[1]", repr(str(empty_store.parent)))
    first, second = run_python(script).stdout.splitlines()
    value, seconds, listing = first.split(" ", 2)
    assert len(value) == 36 and float(seconds) < 0.5 and listing == "['device_fingerprint']"
    value, seconds = second.split()
    assert value == FALLBACK and float(seconds) < 0.5


# Windows refuses, for a moment, to open a lock file that its last holder is removing ("access denied"
# while the removal is pending): that lock is busy, not broken.
LOCK_FILE_BEING_REMOVED = """
import os, sys, time
real_open, refused = os.open, []
class SharingViolation(PermissionError):
    winerror = 32
def opening(path, flags, mode=0o777, *, dir_fd=None):
    if str(path).endswith(".device_fingerprint.lock") and len(refused) < REFUSALS:
        refused.append(path)
        raise SharingViolation(13, "Access denied")
    return real_open(path, flags, mode, dir_fd=dir_fd)
os.open = opening
import valdrune_data.fingerprint as fp
started = time.monotonic()
print(fp._persistent_fallback_id(), len(refused), round(time.monotonic() - started, 2))
"""


@pytest.mark.parametrize("refusals, stored", [(20, True), (10**9, False)])
def test_a_lock_file_that_is_being_removed_is_waited_for(empty_store, run_python, refusals, stored):
    value, tries, seconds = run_python(LOCK_FILE_BEING_REMOVED.replace("REFUSALS", str(refusals))).stdout.split()
    if stored:  # taken once it opens, within the wait
        assert empty_store.read_text() == value and len(value) == 36 and tries == "20" and float(seconds) < 2
    else:  # the bounded wait of a held lock, then a failed store
        assert value.startswith("fallback-") and empty_store.read_text() == "" and 1.5 < float(seconds) < 4


def test_temporary_names_come_from_randomness_the_module_holds_itself(home, monkeypatch):
    # Neither the namespace's os (as stood in for WSL detection) nor the os module itself decides.
    fp.os = types.SimpleNamespace(environ={})
    monkeypatch.setattr(os, "urandom", lambda n, urandom=os.urandom: 42 if n == 8 else urandom(n))
    value = fp._persistent_fallback_id()
    assert len(value) == 36 and (home / ".valdrune" / "device_fingerprint").read_text() == value


@pytest.mark.skipif(not hasattr(os, "link"), reason="needs hard links")
def test_temporaries_of_killed_writers_are_removed_without_scanning_on_every_call(home):
    state = home / ".valdrune"
    state.mkdir()
    target = state / "device_fingerprint"
    target.write_text("3f2504e0-4f89-11d3-9a0c-0305e82c3301")
    linked, alive, dead = (state / f".device_fingerprint.{token}.tmp"
                           for token in ("1111111111111111", "2222222222222222", "3333333333333333"))
    alive.write_text("a writer that is still publishing")
    dead.write_text("a writer killed before publishing")
    with open(alive) as writing:
        if fcntl is not None:  # a living writer holds its temporary file locked
            fcntl.flock(writing, fcntl.LOCK_EX)
        assert fp._persistent_fallback_id() == target.read_text()
        assert alive.exists() and dead.exists()  # one link: nothing looked at
        os.link(target, linked)  # a writer killed between publishing and removing its temporary file
        assert fp._persistent_fallback_id() == target.read_text()
    left = [alive.name, "device_fingerprint"] if fcntl is not None else [alive.name, dead.name, "device_fingerprint"]
    assert sorted(p.name for p in state.iterdir()) == left  # without kernel locks, only age tells
    assert os.stat(target).st_nlink == 1


class SharingViolation(PermissionError):
    """What Windows raises when another process has the file open."""

    winerror = 32


@pytest.mark.parametrize("refusals, stored", [(5, True), (10_000, False)])
def test_a_replace_that_another_process_blocks_is_retried_for_a_moment(empty_store, refusals, stored):
    calls = []

    class Blocked(type(pathlib.Path())):
        def hardlink_to(self, target):
            raise PermissionError(errno.EPERM, "no links here")

        def replace(self, target):
            calls.append(time.monotonic())
            if len(calls) <= refusals:
                raise SharingViolation(errno.EACCES, "The process cannot access the file")
            return super().replace(target)

    fp.Path = Blocked
    value, waited = timed(fp._persistent_fallback_id)
    assert (empty_store.read_text() == value) is stored and (value == FALLBACK) is not stored
    assert waited < 2
    left = sorted(p.name for p in empty_store.parent.iterdir())
    assert left == ([LOCK] if os.name == "nt" else []) + ["device_fingerprint"]  # Windows keeps the lock file


NO_LOCKS_CALL = """
import errno, fcntl
def refuse(fd, operation):
    raise OSError(errno.ENOLCK, "No locks available")
fcntl.flock = refuse
import valdrune_data.fingerprint as fp
print("waiting", flush=True)
print(fp._persistent_fallback_id())
"""


def lock_directory(state, token, lock=".device_fingerprint.lockdir"):
    """Takes the lock directory as a holder does: made whole with its owner entry, renamed into place."""
    staged = state / f"{lock}.{token}"
    staged.mkdir()
    (staged / f"owner.{token}").write_text("")
    os.rename(staged, state / lock)


@pytest.mark.slow
@pytest.mark.skipif(os.name == "nt", reason="stands in for fcntl, which Windows does not have")
def test_a_lock_directory_is_taken_over_only_from_the_owner_a_waiter_saw(empty_store, tmp_path):
    state, stored = empty_store.parent, "3f2504e0-4f89-11d3-9a0c-0305e82c3301"
    lock = state / ".device_fingerprint.lockdir"
    lock_directory(state, "a" * 16)  # a holder that dies under it
    os.utime(lock, (time.time() + 60,) * 2)  # never old by its age: only how long the waiter saw it counts
    waiter = subprocess.Popen([sys.executable, "-c", NO_LOCKS_CALL], cwd=tmp_path, stdout=subprocess.PIPE, text=True)
    try:
        assert waiter.stdout.readline() == "waiting\n"
        time.sleep(1.5)
        # Another waiter takes the dead holder's lock over and a new holder takes it at once: the
        # first waiter has waited long enough for the old owner (3 s by the time the new holder is
        # done), but not for the new one (1.8 s). The owner changes in one step: a lock directory
        # left empty for a moment is free, and the waiter may rightly take it (as a slow emulated
        # stand-in gave it time to), which no real holder would then overwrite.
        os.rename(lock / f"owner.{'a' * 16}", lock / f"owner.{'b' * 16}")
        time.sleep(1.8)
        empty_store.write_text(stored)  # the new holder stores, then releases the lock
        (lock / f"owner.{'b' * 16}").unlink()
        try:
            lock.rmdir()
        except OSError:  # the waiter took the emptied lock at once: it finds the identifier stored
            pass
        waited = waiter.communicate(timeout=60)[0].split()[-1]
    finally:
        waiter.kill()
        waiter.communicate()
    assert waited == stored == empty_store.read_text()
    # A holder killed under the lock directory: taken over after a few seconds, and removed.
    empty_store.write_text("")
    lock_directory(state, "c" * 16)
    result = subprocess.run([sys.executable, "-c", NO_LOCKS_CALL], cwd=tmp_path, capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.split()[-1] == empty_store.read_text() != stored and len(stored) == 36
    assert sorted(p.name for p in state.iterdir()) == ["device_fingerprint"]


@pytest.mark.skipif(not hasattr(os, "mkfifo") or fcntl is None, reason="needs FIFOs and flock")
def test_only_the_modules_own_temporaries_are_touched_and_nothing_blocks(home):
    state = home / ".valdrune"
    state.mkdir()
    target = state / "device_fingerprint"
    fifo = state / ".device_fingerprint.0123456789abcdef.tmp"
    os.mkfifo(fifo)  # opened for reading, it would block for ever
    users = state / ".device_fingerprint.notes.tmp"
    users.write_text("the user's own file")
    empty = state / ".device_fingerprint.fedcba9876543210.tmp"
    empty.write_text("")  # a writer killed between creating its temporary file and locking it
    value, waited = timed(fp._persistent_fallback_id)  # a first store: cleans up
    assert target.read_text() == value and waited < 5  # nothing blocks
    assert sorted(p.name for p in state.iterdir()) == sorted([fifo.name, users.name, target.name])
    os.link(target, state / ".device_fingerprint.aaaaaaaaaaaaaaaa.tmp")  # a killed writer's second link
    value, waited = timed(fp._persistent_fallback_id)  # the reading path looks: still nothing blocks
    assert value == target.read_text() and waited < 5 and os.stat(target).st_nlink == 1
    assert sorted(p.name for p in state.iterdir()) == sorted([fifo.name, users.name, target.name])


@pytest.mark.skipif(not hasattr(signal, "setitimer") or not os.path.isdir("/proc/self/fd"),
                    reason="needs interval timers and /proc/self/fd")
def test_an_interrupted_lock_wait_leaves_no_descriptor_open(empty_store, tmp_path):
    class Timeout(Exception):
        pass

    raised = []

    def interrupt(signum, frame):
        raise raised[-1]

    holder = stalling_repairer(tmp_path)
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        before = len(os.listdir("/proc/self/fd"))
        for exception in [Timeout, KeyboardInterrupt] * 5:  # absorbed as a failed store, or propagated
            raised.append(exception)
            signal.setitimer(signal.ITIMER_REAL, 0.1)
            try:
                assert fp._persistent_fallback_id() == FALLBACK and exception is Timeout
            except KeyboardInterrupt:
                assert exception is KeyboardInterrupt
        assert len(os.listdir("/proc/self/fd")) == before
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        holder.kill()
        holder.communicate()


WRITE_RETURNS = """
import os, sys, time
os.write = lambda fd, data: int(sys.argv[1])  # replaced before the module holds it
import valdrune_data.fingerprint as fp
started = time.monotonic()
print(fp._persistent_fallback_id(), time.monotonic() - started < 5)
"""


@pytest.mark.parametrize("result", [-1, 0, 10_000])
def test_what_a_replaced_os_write_returns_is_checked(home, result, node_shared_by_processes):
    run = subprocess.run([sys.executable, "-c", WRITE_RETURNS, str(result)], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == [FALLBACK, "True"]
    assert sorted(p.name for p in (home / ".valdrune").iterdir()) == []  # its temporary file removed


def no_locks_waiters(tmp_path, count):
    waiters = [subprocess.Popen([sys.executable, "-c", NO_LOCKS_CALL], cwd=tmp_path, stdout=subprocess.PIPE, text=True)
               for _ in range(count)]
    for waiter in waiters:
        assert waiter.stdout.readline() == "waiting\n"
    return waiters


@pytest.mark.slow
@pytest.mark.skipif(os.name == "nt", reason="stands in for fcntl, which Windows does not have")
def test_a_lock_directory_is_judged_by_the_waiters_own_clock_alone(empty_store, tmp_path, scaled):
    state, stored = empty_store.parent, "3f2504e0-4f89-11d3-9a0c-0305e82c3301"
    lock = state / ".device_fingerprint.lockdir"
    # A living holder whose lock looks old by its time stamp (installed after a long queue, or
    # stamped by a file server whose clock lags ours): nobody takes it over while it stores.
    lock_directory(state, "a" * 16)
    os.utime(lock, (time.time() - 60,) * 2)
    waiters = no_locks_waiters(tmp_path, scaled(4, 3))
    try:
        waiters[0].kill()  # killed while it waits: it leaves nothing behind
        time.sleep(1.5)
        empty_store.write_text(stored)
        (lock / f"owner.{'a' * 16}").unlink()
        lock.rmdir()
        results = {waiter.communicate(timeout=60)[0].strip() for waiter in waiters[1:]}
    finally:
        for waiter in waiters:
            waiter.kill()
            waiter.communicate()
    assert results == {stored} == {empty_store.read_text()}
    # A dead holder's aged lock, queued behind by several waiters: one waiter takes over after seeing
    # the owner for a few seconds, and every one returns what it stored.
    empty_store.write_text("")
    lock_directory(state, "b" * 16)
    os.utime(lock, (time.time() - 60,) * 2)
    started = time.monotonic()
    waiters = no_locks_waiters(tmp_path, scaled(6, 3))
    try:
        results = {waiter.communicate(timeout=60)[0].strip() for waiter in waiters}
    finally:
        for waiter in waiters:
            waiter.kill()
            waiter.communicate()
    assert results == {empty_store.read_text()} and len(results.pop()) == 36
    assert time.monotonic() - started > 3  # the dead owner was watched for the whole stale interval
    # The staged directory of a waiter killed in the middle of an attempt: the next waiter that sees
    # it for the stale interval removes it once it holds the lock. (The temporary file of the waiter
    # killed first stays until it is a minute old: without kernel locks only its age tells.)
    empty_store.write_text("")
    lock_directory(state, "c" * 16)
    staged = state / f".device_fingerprint.lockdir.{'d' * 16}"
    staged.mkdir()
    (staged / f"owner.{'d' * 16}").write_text("")
    result = subprocess.run([sys.executable, "-c", NO_LOCKS_CALL], cwd=tmp_path, capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.split()[-1] == empty_store.read_text()
    assert sorted(p.name for p in state.iterdir() if not p.name.endswith(".tmp")) == ["device_fingerprint"]


# Repairs an empty stored file, then stalls before it releases the lock (a slow disk, a descheduled process).
STALLING_AFTER_REPAIR = """
import pathlib, sys
import valdrune_data.fingerprint as fp
class Stalling(type(pathlib.Path())):
    stalled = False
    def replace(self, target):
        if not Stalling.stalled:  # a replace that Windows refuses for a moment is retried: stall once
            Stalling.stalled = True
            print("holding", flush=True)
            sys.stdin.readline()
        result = super().replace(target)
        print("stored", flush=True)
        sys.stdin.readline()
        return result
fp.Path = Stalling
print(fp._persistent_fallback_id(), flush=True)
"""

WAITER = """
import valdrune_data.fingerprint as fp
print("waiting", flush=True)
print(fp._persistent_fallback_id(), flush=True)
"""


@pytest.mark.slow
def test_a_waiter_returns_the_identifier_stored_meanwhile_without_the_lock(empty_store, tmp_path, scaled):
    holder = subprocess.Popen([sys.executable, "-c", STALLING_AFTER_REPAIR], cwd=tmp_path, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    waiters = []
    try:
        assert holder.stdout.readline() == "holding\n"
        waiters = [subprocess.Popen([sys.executable, "-c", WAITER], cwd=tmp_path, stdout=subprocess.PIPE, text=True)
                   for _ in range(scaled(4, 2))]
        assert all(waiter.stdout.readline() == "waiting\n" for waiter in waiters)
        time.sleep(0.5)  # the waiters queue behind the holder, the file still empty
        holder.stdin.write("go\n")
        holder.stdin.flush()
        assert holder.stdout.readline() == "stored\n"
        results = {waiter.communicate(timeout=60)[0].strip() for waiter in waiters}
        holder.stdin.write("go\n")
        holder.stdin.flush()
        stored = holder.communicate(timeout=60)[0].strip()
    finally:
        for process in [holder, *waiters]:
            process.kill()
            process.communicate()
    assert stored == empty_store.read_text() and len(stored) == 36
    # Each waiter returned the stored identifier while the holder still held the lock, not the
    # unstored fallback after a full wait.
    assert results == {stored}
