// The lock for the stores that must replace a file: a kernel lock (flock on
// POSIX systems, msvcrt.locking on Windows) on ".device_fingerprint.lock"
// beside the fallback file, which the kernel releases when its holder dies;
// where the file system refuses kernel locks, a lock directory, taken over
// after a waiter has seen the same owner for a few seconds. A waiter returns
// the identifier that another writer stores meanwhile.
#pragma once

#include "store_os.hpp"

#include <array>
#include <cstddef>
#include <utility>

namespace vd {

inline constexpr double kLockWaitSeconds = 2.0;   // longest wait for a lock that a living writer holds
inline constexpr double kStaleLockSeconds = 3.0;  // how long a waiter sees one owner before it takes over
inline constexpr double kLookSeconds = 0.1;       // how often a waiter looks at the stored file's status

// ---- the lock ---------------------------------------------------------------

struct HeldLock {
  Ref path;            // the lock file, or the lock directory (a str)
  Ref fd;              // the open lock file, for a kernel lock
  Ref owner;           // the owner entry in the lock directory
  bool directory = false;
};

// A waiter for the lock. Publishing is one atomic step, so the stored file can
// be read without the lock: the waiter reads it as it starts to wait, again
// whenever the file has changed since (another writer has replaced it), and
// once more when the wait gives up; an identifier found there ends the wait.
// Between two attempts it only looks at the file's status, and only every
// tenth of a second: on Windows an open file cannot be replaced, and a status
// query opens the file too (under Wine in a way that blocks a replace), so
// waiters that looked at every attempt would keep the holder from storing.
struct LockWait {
  PyObject* target_file = nullptr;
  double started = 0.0;  // on the monotonic clock
  double looked = 0.0;   // when the stored file's status was last looked at
  Ref stored;            // the identifier found stored, which ends the wait
  Ref status;            // the stored file's status when it was last read, or null

  explicit LockWait(PyObject* target) : target_file(target), started(monotonic_now()), looked(started) {}
};

enum class Taken { lock, stored, no_kernel_locks };

// The stored file's status, or null where it cannot be had.
inline Ref stored_status(PyObject* target_file) {
  try {
    return call(store_os.stat, target_file);
  } catch (const PyErrorSet&) {
    absorb_ordinary_exception();
    return Ref();
  }
}

// Whether two statuses are of one unchanged file: the same file, size and time.
inline bool unchanged(PyObject* before, PyObject* now) {
  return same_file(before, now) && equal(getattr(before, S.st_size).get(), getattr(now, S.st_size).get()) &&
         equal(getattr(before, S.st_mtime_).get(), getattr(now, S.st_mtime_).get());
}

// The stored identifier, read once without the lock; false where there is none
// yet (absent, empty, or unreadable for now).
inline bool found_stored(LockWait& wait) {
  wait.status = stored_status(wait.target_file);
  if (!wait.status) return false;
  try {
    Ref stored = read_stored_once(wait.target_file);
    if (is_empty_str(stored.get())) return false;
    wait.stored = std::move(stored);
    return true;
  } catch (const PyErrorSet&) {
    absorb_ordinary_exception();
    return false;
  }
}

// Between two attempts: a pause, then, once a tenth of a second has passed
// since the last look, a look at the stored file's status, and a read where it
// has changed.
inline bool pause_and_look(LockWait& wait) {
  pause();
  const double when = monotonic_now();
  if (when - wait.looked < kLookSeconds) return false;
  wait.looked = when;
  Ref now = stored_status(wait.target_file);
  if (!now || (wait.status && unchanged(wait.status.get(), now.get()))) return false;
  return found_stored(wait);
}

[[noreturn]] inline void raise_lock_timeout(PyObject* path) {
  PyErr_Format(PyExc_TimeoutError, "the lock %R is held by another process", path);
  raise_current();
}

// The end of a bounded wait: the stored identifier if there is one now, else TimeoutError.
inline Taken give_up(LockWait& wait, PyObject* lock_path) {
  if (found_stored(wait)) return Taken::stored;
  raise_lock_timeout(lock_path);
}

// Unlocks and closes a kernel lock; with `remove`, removes the lock file first,
// while still holding it (the next holder checks that it locked the file that
// the path names). Windows refuses to remove an open file: it stays.
inline void release_kernel_lock(HeldLock& held, bool remove) {
  if (remove) quietly([&] { call(store_os.unlink, held.path.get()); });
  quietly([&] { call_lock(held.fd.get(), store_os.unlock_args); });
  close_quietly(held.fd);
}

// Whether Windows refuses to open the lock file for now: its last holder is
// removing it (a file with a removal pending cannot be opened until every
// handle on it is closed), or another process has it open in a conflicting
// way. A directory in its place is not that.
inline bool lock_file_busy(PyObject* lock_path) {
  if (!raising_sharing_violation()) return false;
  bool directory = false;
  quietly([&] {
    Ref status = lstat_or_null(lock_path);
    directory = status && file_type(status.get()) == kDirectory;
  });
  return !directory;
}

// Opens the lock file, or returns null where Windows refuses it for now (see
// lock_file_busy). Only a regular file of that name is ours: anything else
// in its place (a directory with something in it, a symlink, a device) fails
// the store at once. An empty directory is the lock of an older version of
// this module, left by a killed writer: it is removed, once.
inline Ref open_lock_file(PyObject* lock_path) {
  for (int attempt = 0;; ++attempt) {
    try {
      Ref fd = call(store_os.open, lock_path, store_os.open_flags, store_os.file_mode);
      try {
        if (file_type(call(store_os.fstat, fd.get()).get()) != kRegularFile) {
          PyErr_Format(PyExc_OSError, "the lock %R is not a regular file", lock_path);
          raise_current();
        }
      } catch (const PyErrorSet&) {
        close_quietly(fd);
        throw;
      }
      return fd;
    } catch (const PyErrorSet&) {
      if (lock_file_busy(lock_path)) {
        PyErr_Clear();
        return Ref();
      }
      const bool directory = PyErr_ExceptionMatches(PyExc_IsADirectoryError) != 0 ||
                             PyErr_ExceptionMatches(PyExc_PermissionError) != 0;
      if (attempt > 0 || !directory) throw;
      Ref pending = Ref::steal(PyErr_GetRaisedException());
      try {
        call(store_os.rmdir, lock_path);
        continue;
      } catch (const PyErrorSet&) {
        absorb_ordinary_exception();
      }
      PyErr_SetRaisedException(pending.release());
      throw;
    }
  }
}

// Waits for the kernel lock on the open lock file, a few seconds at most.
inline Taken wait_for_kernel_lock(HeldLock& held, LockWait& wait) {
  for (;;) {
    try {
      call_lock(held.fd.get(), store_os.lock_args);
      return Taken::lock;
    } catch (const PyErrorSet&) {
      if (raising_errno_in(store_os.unsupported_errnos)) {
        PyErr_Clear();
        return Taken::no_kernel_locks;
      }
      if (!raising_lock_held()) throw;
      PyErr_Clear();
    }
    if (monotonic_now() - wait.started >= kLockWaitSeconds) return give_up(wait, held.path.get());
    if (pause_and_look(wait)) return Taken::stored;
  }
}

// Takes the kernel lock, waiting a few seconds at most for a living holder.
// Holds nothing unless the lock is taken: the lock file is closed on every
// other way out, an interrupted wait included.
inline Taken take_kernel_lock(HeldLock& held, LockWait& wait) {
  for (;;) {
    if (monotonic_now() - wait.started >= kLockWaitSeconds) return give_up(wait, held.path.get());
    held.fd = open_lock_file(held.path.get());
    if (!held.fd) {  // its last holder is removing it (Windows): as busy as a held lock
      if (pause_and_look(wait)) return Taken::stored;
      continue;
    }
    try {
      const Taken taken = wait_for_kernel_lock(held, wait);
      if (taken != Taken::lock) {  // with no kernel locks here, the lock file is no lock: removed again
        release_kernel_lock(held, taken == Taken::no_kernel_locks);
        return taken;
      }
      // The holder before us may have removed the lock file as it released it:
      // the lock is ours only if the path still names the file we locked.
      Ref named = lstat_or_null(held.path.get());
      if (named && same_file(named.get(), call(store_os.fstat, held.fd.get()).get())) return Taken::lock;
    } catch (const PyErrorSet&) {
      if (held.fd) release_kernel_lock(held, false);
      throw;
    }
    release_kernel_lock(held, false);
  }
}

// ---- the lock directory -----------------------------------------------------
//
// Where the file system refuses kernel locks, the lock is a directory
// ".device_fingerprint.lockdir" that holds one entry, "owner.<token>", the
// holder's own random name. Each attempt makes it whole under a name of its own
// (".device_fingerprint.lockdir.<token>") and renames it into place: a rename
// never replaces a directory that has something in it, so it succeeds only
// where there is no lock (or an empty directory: a takeover half done, or an
// older version's lock). A refused attempt removes its staged directory at
// once, so a waiter keeps none while it waits.
//
// A lock directory cannot tell a stalled holder from a dead one, and no clock
// but the waiter's own is trusted (a file's time may come from another
// machine's clock): a waiter takes a lock over only once it has itself seen the
// same owner entry for a few seconds on its monotonic clock. A lock installed a
// moment ago is therefore never old, whatever its time stamps say. The waiter
// removes only that owner's entry, and then the directory only if it is empty:
// a waiter that comes second, or a lock that changed hands meanwhile, finds the
// entry gone or the directory full and waits again.
//
// A staged directory outlives its attempt only where its waiter was killed in
// the middle of one. By the same rule, one that a waiter has seen for a few
// seconds is abandoned, and the waiter removes it once it holds the lock.

inline constexpr double kLongestDirectoryWait = 4 * kStaleLockSeconds;

// The entry of the module's own shape in `directory`, or null: the empty str
// where it is empty, null where it is gone. Anything else there raises
// FileExistsError.
inline Ref sole_owner_entry(PyObject* directory) {
  Ref names = Ref::steal_or_null(PyObject_Vectorcall(store_os.listdir, &directory, 1, nullptr));
  if (!names) {
    if (PyErr_ExceptionMatches(PyExc_FileNotFoundError) == 0) raise_current();
    PyErr_Clear();
    return Ref();
  }
  Ref iterator = Ref::steal(PyObject_GetIter(names.get()));
  Ref owner = Ref::steal_or_null(PyIter_Next(iterator.get()));
  if (!owner) {
    if (PyErr_Occurred()) raise_current();
    return empty_str();
  }
  Ref more = Ref::steal_or_null(PyIter_Next(iterator.get()));
  if (more || PyErr_Occurred() || !has_token_shape(owner.get(), S.lock_owner_prefix, g.c.empty_str)) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_FileExistsError, "%R holds something that is not a lock", directory);
    raise_current();
  }
  return owner;
}

// Removes the directory `directory` and its owner entry `owner` (a name, or the
// empty str); an ordinary failure is ignored.
inline void remove_lock_directory(PyObject* directory, PyObject* owner) {
  if (owner != nullptr && PyUnicode_GET_LENGTH(owner) > 0) {
    quietly([&] { call(store_os.unlink, join_name(directory, owner).get()); });
  }
  quietly([&] { call(store_os.rmdir, directory); });
}

// One attempt: our lock directory, made whole under a name of its own and
// renamed into place. Returns our owner entry's name once the lock is ours;
// else null, with the refusal in `refused` and nothing of ours left behind.
inline Ref try_directory_lock(PyObject* lock_path, Ref& refused) {
  Ref token = random_token();
  Ref staged = Ref::steal(PyUnicode_FromFormat("%U.%U", lock_path, token.get()));
  Ref owner_name = Ref::steal(PyUnicode_FromFormat("%U%U", S.lock_owner_prefix, token.get()));
  call(store_os.mkdir, staged.get());
  try {
    call(store_os.close, call(store_os.open, join_name(staged.get(), owner_name.get()).get(), store_os.create_flags,
                         store_os.file_mode).get());
    call(store_os.rename, staged.get(), lock_path);
    return owner_name;
  } catch (const PyErrorSet&) {
    const bool rename_refused = PyErr_ExceptionMatches(PyExc_OSError) != 0;
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    remove_lock_directory(staged.get(), owner_name.get());
    PyErr_SetRaisedException(pending.release());
    if (!rename_refused) raise_current();
    refused = Ref::steal(PyErr_GetRaisedException());
    return Ref();
  }
}

// What a waiter has seen, each thing since when (monotonic): the lock's owner
// entry, and the staged directories of other waiters.
struct Seen {
  // At most this many staged directories are watched at once; more are
  // watched once the first are gone.
  static constexpr std::size_t kWatched = 8;
  struct Staged {
    Ref name;
    double since = 0.0;
  };

  Ref owner;
  double owner_since = 0.0;
  std::array<Staged, kWatched> staged{};
  std::size_t nstaged = 0;

  // Whether `owner` has been the lock's owner for the stale interval.
  bool owner_stale(PyObject* current, double now) {
    if (!owner || !equal(current, owner.get())) {
      owner = Ref::borrow(current);
      owner_since = now;
    }
    return now - owner_since >= kStaleLockSeconds;
  }

  // Notes the staged directories now in `state` (names only: each attempt makes a new one).
  void look_at_staged(PyObject* state, double now) {
    std::array<Staged, kWatched> present{};
    std::size_t npresent = 0;
    Ref names = call(store_os.listdir, state);
    Ref iterator = Ref::steal(PyObject_GetIter(names.get()));
    while (Ref name = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
      if (npresent == kWatched || !has_token_shape(name.get(), S.staged_lock_prefix, g.c.empty_str)) continue;
      double since = now;
      for (std::size_t i = 0; i < nstaged; ++i) {
        if (equal(staged[i].name.get(), name.get())) since = staged[i].since;
      }
      present[npresent++] = Staged{std::move(name), since};
    }
    if (PyErr_Occurred()) raise_current();
    staged = std::move(present);
    nstaged = npresent;
  }

  // Under the lock: removes the staged directories seen for the stale interval.
  void remove_abandoned_staged(PyObject* state, double now) {
    for (std::size_t i = 0; i < nstaged; ++i) {
      if (now - staged[i].since < kStaleLockSeconds) continue;
      Ref directory = join_name(state, staged[i].name.get());
      quietly([&] { remove_lock_directory(directory.get(), sole_owner_entry(directory.get()).get()); });
    }
  }
};

// Takes the lock directory, waiting for its holder and taking over an
// abandoned lock as said above. Returns our owner entry's name, or null where
// the stored identifier was found meanwhile.
inline Ref wait_for_directory_lock(PyObject* state, PyObject* lock_path, LockWait& wait) {
  Seen seen;
  for (int vacant = 0;;) {
    Ref refused;
    if (Ref owner_name = try_directory_lock(lock_path, refused)) {
      quietly([&] { seen.remove_abandoned_staged(state, monotonic_now()); });
      return owner_name;
    }
    Ref status = lstat_or_null(lock_path);
    if (!status) {  // released meanwhile: try again at once, but never for ever
      if (++vacant > 3) {
        PyErr_SetRaisedException(refused.release());
        raise_current();
      }
      continue;
    }
    if (file_type(status.get()) != kDirectory) {
      PyErr_Format(PyExc_FileExistsError, "%R is in the place of the lock", lock_path);
      raise_current();
    }
    Ref owner = sole_owner_entry(lock_path);
    if (!owner) continue;
    const double now = monotonic_now();
    quietly([&] { seen.look_at_staged(state, now); });
    if (seen.owner_stale(owner.get(), now)) {
      if (PyUnicode_GET_LENGTH(owner.get()) > 0) {
        try {
          call(store_os.unlink, join_name(lock_path, owner.get()).get());
        } catch (const PyErrorSet&) {
          if (PyErr_ExceptionMatches(PyExc_FileNotFoundError) == 0) throw;
          PyErr_Clear();  // another waiter took it over first
          continue;
        }
      }
      quietly([&] { call(store_os.rmdir, lock_path); });  // full again (a new holder's) or gone: no matter
      continue;
    }
    if (now - wait.started >= kLongestDirectoryWait) {
      give_up(wait, lock_path);
      return Ref();
    }
    if (pause_and_look(wait)) return Ref();
  }
}

inline Taken take_directory_lock(HeldLock& held, LockWait& wait) {
  held.directory = true;
  held.path = fs_text(call_method(wait.target_file, S.with_name, S.lock_directory_name).get());
  Ref state = fs_text(getattr(wait.target_file, S.parent).get());
  Ref owner_name = wait_for_directory_lock(state.get(), held.path.get(), wait);
  if (!owner_name) return Taken::stored;
  held.owner = join_name(held.path.get(), owner_name.get());
  return Taken::lock;
}

// Takes the lock, or finds the identifier stored while it waits.
inline Taken take_lock(HeldLock& held, LockWait& wait) {
  if (store_os.lock != nullptr) {
    held.path = call_method(wait.target_file, S.with_name, S.lock_name);
    const Taken taken = take_kernel_lock(held, wait);
    if (taken != Taken::no_kernel_locks) return taken;
  }
  return take_directory_lock(held, wait);
}

// A lock directory is removed only while it still holds our owner entry: one
// that was taken over while we stalled is the new holder's.
inline void release_lock(HeldLock& held) {
  if (held.directory) {
    bool ours = false;
    quietly([&] {
      call(store_os.unlink, held.owner.get());
      ours = true;
    });
    if (ours) quietly([&] { call(store_os.rmdir, held.path.get()); });
  } else {
    release_kernel_lock(held, true);
  }
}

// Runs `body` (which returns a Ref) holding the lock, and releases it on every
// way out; returns instead the identifier that another writer stored while
// this one waited.
template <typename Body>
Ref under_lock(PyObject* target_file, Body&& body) {
  HeldLock held;
  LockWait wait(target_file);
  if (found_stored(wait) || take_lock(held, wait) == Taken::stored) return std::move(wait.stored);
  Ref result;
  try {
    result = body();
  } catch (const PyErrorSet&) {
    release_lock(held);
    throw;
  }
  release_lock(held);
  return result;
}

}  // namespace vd
