// The fallback file's store: publishing a new identifier so that the first
// writer wins, the lock for the stores that must replace a file, and the
// removal of what killed writers leave behind.
//
// A new identifier is written whole to a temporary file of its own beside the
// fallback file, then published in one step: a hard link under the final name
// (which fails if the name is taken), or, where the file system refuses links
// and when an empty file is repaired, a rename under the lock. Readers see no
// file or the whole identifier, never part of one.
//
// The lock is a kernel lock (flock on POSIX systems, msvcrt.locking on
// Windows) on ".device_fingerprint.lock" beside the fallback file. The kernel
// releases it when its holder dies, so a living holder keeps it however long it
// stalls, and a killed one never blocks anybody. Where the file system refuses
// kernel locks, a lock directory stands in; it cannot tell a stalled holder
// from a dead one, so it is taken over after a few seconds.
//
// What the store uses of os and time is held privately (see `Private`); the
// operations on the fallback file itself go through the namespace's `Path`.
#pragma once

#include "module_state.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace vd {

inline constexpr double kStaleTemporarySeconds = 60.0;  // a temporary file this old was left by a killed writer
inline constexpr double kLockWaitSeconds = 2.0;         // longest wait for a lock that a living writer holds
inline constexpr double kStaleLockSeconds = 3.0;        // how long a waiter sees one owner before it takes over
inline constexpr double kReplaceRetrySeconds = 1.0;     // longest retry of a step that another process blocks


inline bool is_empty_str(PyObject* value) noexcept {
  return PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) == 0;
}

// Runs `action`, ignoring an ordinary failure. An exception already being
// raised stays set, unless `action` is interrupted (KeyboardInterrupt and the
// like), which then propagates instead, with that exception as its context.
template <typename Action>
void quietly(Action&& action) {
  Ref pending = Ref::steal_or_null(PyErr_GetRaisedException());
  try {
    action();
  } catch (const PyErrorSet&) {
    if (!raising_ordinary_exception()) {
      if (pending) {
        Ref interruption = Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(interruption.get(), pending.release());
        PyErr_SetRaisedException(interruption.release());
      }
      throw;
    }
    PyErr_Clear();
  }
  if (pending) PyErr_SetRaisedException(pending.release());
}


inline double as_seconds(PyObject* value) {
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) raise_current();
  return seconds;
}

inline double monotonic_now() { return as_seconds(call(g.p.monotonic).get()); }
inline double wall_clock_now() { return as_seconds(call(g.p.wall_clock).get()); }
inline void pause() { call(g.p.sleep, g.c.poll_seconds); }

// Windows refuses to open, replace or remove a file that another process has
// open in a conflicting way (a reader, a writer removing its temporary link,
// a virus scanner) with a sharing violation or "access denied", which pass:
// such a step is retried for a moment before the call gives up. Opening a
// file goes through the C runtime, which reports both as EACCES without a
// Windows error code: on Windows that counts too (elsewhere EACCES is final).
inline bool raising_sharing_violation() {
  if (PyErr_ExceptionMatches(PyExc_PermissionError) == 0) return false;
  Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
  Ref code = Ref::steal_or_null(PyObject_GetAttr(exc.get(), S.winerror));
  constexpr long kAccessDenied = 5;
  constexpr long kSharingViolation = 32;
  const long number = code && PyLong_CheckExact(code.get()) ? PyLong_AsLong(code.get()) : 0;
  bool transient = number == kAccessDenied || number == kSharingViolation;
#if defined(_WIN32)
  constexpr long kRuntimeAccessDenied = 13;  // the C runtime's EACCES
  if (!code || code.get() == Py_None) {
    Ref error = Ref::steal_or_null(PyObject_GetAttr(exc.get(), S.errno_));
    transient = error && PyLong_CheckExact(error.get()) && PyLong_AsLong(error.get()) == kRuntimeAccessDenied;
  }
#endif
  PyErr_Clear();
  PyErr_SetRaisedException(exc.release());
  return transient;
}

// Runs `step` (which returns a Ref), again for a moment while Windows reports
// a sharing violation; then, or on any other failure, the failure propagates.
template <typename Step>
Ref retrying_sharing_violations(Step&& step) {
  double started = -1.0;
  for (;;) {
    try {
      return step();
    } catch (const PyErrorSet&) {
      if (!raising_sharing_violation()) throw;
    }
    Ref refused = Ref::steal(PyErr_GetRaisedException());
    const double now = monotonic_now();
    if (started < 0) started = now;
    if (now - started >= kReplaceRetrySeconds) {
      PyErr_SetRaisedException(refused.release());
      raise_current();
    }
    pause();
  }
}

// The stored identifier: the file's text, stripped.
inline Ref read_stored_identifier(PyObject* target_file) {
  return retrying_sharing_violations([&] {
    Ref text = call_method_kw(target_file, S.read_text, {}, {S.utf_8}, g.c.kw_encoding);
    return checked(call_method(text.get(), S.strip));
  });
}

inline long file_type(PyObject* status) {
  const long mode = PyLong_AsLong(getattr(status, S.st_mode).get());
  if (mode == -1 && PyErr_Occurred()) raise_current();
  return mode & 0170000L;
}
inline constexpr long kRegularFile = 0100000L;
inline constexpr long kDirectory = 0040000L;

// Whether two stat results are of one file.
inline bool same_file(PyObject* left, PyObject* right) {
  return equal(getattr(left, S.st_ino).get(), getattr(right, S.st_ino).get()) &&
         equal(getattr(left, S.st_dev).get(), getattr(right, S.st_dev).get());
}

// Whether the exception being raised is an OSError whose errno is one of
// `errnos`. The exception stays set.
inline bool raising_errno_in(PyObject* errnos) {
  if (errnos == nullptr || PyErr_ExceptionMatches(PyExc_OSError) == 0) return false;
  Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
  Ref number = Ref::steal_or_null(PyObject_GetAttr(exc.get(), S.errno_));
  const int found = number ? PySequence_Contains(errnos, number.get()) : 0;
  PyErr_Clear();
  PyErr_SetRaisedException(exc.release());
  return found == 1;
}

// Whether the exception being raised by a non-blocking lock attempt means that
// another process holds the lock. flock says so by its errno; msvcrt.locking
// refuses with EACCES on Windows, EDEADLOCK in some runtimes and no errno at
// all under Wine, so there any refusal but "no locks here" means "held".
inline bool raising_lock_held() {
  if (PyErr_ExceptionMatches(PyExc_OSError) == 0) return false;
  if (g.p.lock_is_flock) return raising_errno_in(g.p.busy_errnos);
  return !raising_errno_in(g.p.unsupported_errnos);
}

// The kernel lock's call: flock(fd, operation) or locking(fd, mode, length).
inline void call_lock(PyObject* fd, PyObject* trailing) {
  std::array<PyObject*, 4> argv{nullptr, fd};
  const Py_ssize_t n = PyTuple_GET_SIZE(trailing);
  for (Py_ssize_t i = 0; i < n && i < 2; ++i) argv[static_cast<std::size_t>(2 + i)] = PyTuple_GET_ITEM(trailing, i);
  const auto nargs = static_cast<std::size_t>(1 + std::min<Py_ssize_t>(n, 2));
  Ref::steal(PyObject_Vectorcall(g.p.lock, argv.data() + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Tries the kernel lock once: true if taken, false if another process holds it.
inline bool try_lock(PyObject* fd) {
  try {
    call_lock(fd, g.p.lock_args);
    return true;
  } catch (const PyErrorSet&) {
    if (!raising_lock_held()) throw;
    PyErr_Clear();
    return false;
  }
}

inline void close_quietly(Ref& fd) {
  if (fd) quietly([&] { call(g.p.close, fd.get()); });
  fd = Ref();
}

// os.lstat(path), or null where nothing is there.
inline Ref lstat_or_null(PyObject* path) {
  Ref status = Ref::steal_or_null(PyObject_Vectorcall(g.p.lstat, &path, 1, nullptr));
  if (!status) {
    if (PyErr_ExceptionMatches(PyExc_FileNotFoundError) == 0) raise_current();
    PyErr_Clear();
  }
  return status;
}

// "directory<sep>name", for the private os functions.
inline Ref join_name(PyObject* directory, PyObject* name) {
  return Ref::steal(PyUnicode_FromFormat("%U%U%U", directory, g.p.sep, name));
}

// The path of `path` as a str, for the private os functions.
inline Ref fs_text(PyObject* path) {
  Ref text = Ref::steal(PyOS_FSPath(path));
  if (!PyUnicode_CheckExact(text.get())) {
    PyErr_Format(PyExc_TypeError, "expected a str path, got %.200s", Py_TYPE(text.get())->tp_name);
    raise_current();
  }
  return text;
}

// ---- temporary files -------------------------------------------------------

inline constexpr Py_ssize_t kTokenLength = 16;

// Sixteen hexadecimal digits from the operating system's random source.
inline Ref random_token() {
  constexpr std::size_t kBytes = kTokenLength / 2;
  Ref bytes = call(g.p.urandom, g.c.eight);
  if (!PyBytes_CheckExact(bytes.get()) || PyBytes_GET_SIZE(bytes.get()) != static_cast<Py_ssize_t>(kBytes)) {
    PyErr_SetString(PyExc_RuntimeError, "os.urandom(8) gave no 8 bytes");
    raise_current();
  }
  static constexpr std::array<char, 16> kDigits{'0', '1', '2', '3', '4', '5', '6', '7',
                                                '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  std::array<char, 2 * kBytes> text{};
  const char* data = PyBytes_AS_STRING(bytes.get());
  for (std::size_t i = 0; i < kBytes; ++i) {
    const auto byte = static_cast<unsigned char>(data[i]);
    text[2 * i] = kDigits[byte >> 4U];
    text[2 * i + 1] = kDigits[byte & 15U];
  }
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Whether `name` is `prefix`, a token of `random_token` and `suffix`: the names
// the module gives its own files. Nothing else in the state directory is ever
// removed by it.
inline bool has_token_shape(PyObject* name, PyObject* prefix, PyObject* suffix) {
  if (!PyUnicode_CheckExact(name)) return false;
  const Py_ssize_t start = PyUnicode_GET_LENGTH(prefix);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  if (length != start + kTokenLength + PyUnicode_GET_LENGTH(suffix)) return false;
  if (PyUnicode_Tailmatch(name, prefix, 0, length, -1) != 1 || PyUnicode_Tailmatch(name, suffix, 0, length, 1) != 1) {
    PyErr_Clear();
    return false;
  }
  for (Py_ssize_t i = start; i < start + kTokenLength; ++i) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(name, i);
    const bool digit = c >= '0' && c <= '9';
    const bool letter = c >= 'a' && c <= 'f';
    if (!digit && !letter) return false;
  }
  return true;
}

// A writer's temporary file: a path beside the fallback file with a random
// name of its own, so that no two writers (processes or threads) ever share
// one, holding the whole new identifier. Where locks are flock's, the writer
// keeps it open under an exclusive lock until it has removed it: a temporary
// file that is not locked belongs to a writer that was killed, or to one that
// has not locked it yet, which finds it removed and starts again. (Windows
// cannot rename a file that is open: there it is closed at once, and only age
// tells.)
struct Temporary {
  Ref path;  // made by the namespace's Path (`with_name`, unlike `/`, does not intern the name)
  Ref fd;    // open and locked while the writer lives
};

inline void close_temporary(Temporary& temporary) { close_quietly(temporary.fd); }

// Removes our own temporary file, then closes it: with flock, while it is
// still locked. Windows cannot remove a file that is open: there it is closed
// first. An ordinary failure to remove it is ignored.
inline void discard_temporary(Temporary& temporary) {
  if (!g.p.lock_is_flock) close_temporary(temporary);
  quietly([&] { call_method_kw(temporary.path.get(), S.unlink, {}, {Py_True}, g.c.kw_missing_ok); });
  close_temporary(temporary);
}

// Whether the temporary file's path still names the file that its writer has open.
inline bool still_named(const Temporary& temporary) {
  Ref named = lstat_or_null(temporary.path.get());
  return named && same_file(named.get(), call(g.p.fstat, temporary.fd.get()).get());
}

// Creates the temporary file and, with flock, locks it. A clean-up that takes
// the new file for a killed writer's holds its lock for a moment and removes
// it: the lock is tried again, and a file removed meanwhile is made anew.
inline Temporary create_temporary(PyObject* target_file) {
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    Temporary temporary;
    Ref name = Ref::steal(PyUnicode_FromFormat("%U%U%U", S.temporary_prefix, random_token().get(), S.temporary_suffix));
    temporary.path = call_method(target_file, S.with_name, name.get());
    temporary.fd = call(g.p.open, temporary.path.get(), g.p.create_flags, g.p.file_mode);
    if (!g.p.lock_is_flock) return temporary;
    try {
      for (int tries = 0; tries < 5; ++tries) {
        try {
          if (try_lock(temporary.fd.get())) break;
        } catch (const PyErrorSet&) {
          absorb_ordinary_exception();  // no kernel locks on this file system: age tells
          break;
        }
        pause();
      }
      if (still_named(temporary)) return temporary;
    } catch (const PyErrorSet&) {
      discard_temporary(temporary);
      throw;
    }
    close_temporary(temporary);
    if (attempt == kAttempts) {
      PyErr_Format(PyExc_FileNotFoundError, "the temporary file %R was removed before it was written",
                   temporary.path.get());
      raise_current();
    }
  }
}

// Writes all of `data` to `fd`. What os.write returns is checked like any value
// from Python: an int from 1 to the bytes left, else the write has failed.
inline void write_all(PyObject* fd, Ref data) {
  while (PyBytes_GET_SIZE(data.get()) > 0) {
    const Py_ssize_t left = PyBytes_GET_SIZE(data.get());
    Ref result = call(g.p.write, fd, data.get());
    const Py_ssize_t written = PyLong_CheckExact(result.get()) ? PyLong_AsSsize_t(result.get()) : -1;
    if (written == -1 && PyErr_Occurred()) raise_current();
    if (written < 1 || written > left) {
      PyErr_Format(PyExc_OSError, "os.write returned %R for %zd bytes", result.get(), left);
      raise_current();
    }
    data = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data.get()) + written, left - written));
  }
}

inline Temporary write_temporary(PyObject* target_file, PyObject* value) {
  Temporary temporary = create_temporary(target_file);
  try {
    write_all(temporary.fd.get(), Ref::steal(PyUnicode_AsUTF8String(value)));
    if (!g.p.lock_is_flock) close_temporary(temporary);
  } catch (const PyErrorSet&) {
    discard_temporary(temporary);
    throw;
  }
  return temporary;
}

// Removes another writer's temporary file if that writer is gone: when it is
// older than a minute, or with flock when nobody holds its lock. Only a
// regular file is ever opened (a FIFO would block the open), and only without
// blocking; it is removed while its lock is held, so that a writer that has
// just created it finds it gone (see `create_temporary`).
inline void remove_if_abandoned(PyObject* entry, PyObject* status, double limit) {
  if (file_type(status) != kRegularFile) return;  // not ours
  if (as_seconds(getattr(status, S.st_mtime_).get()) < limit) {
    call(g.p.unlink, entry);
    return;
  }
  if (!g.p.lock_is_flock) return;
  Ref fd = call(g.p.open, entry, g.p.read_flags);
  try {
    Ref opened = call(g.p.fstat, fd.get());
    if (file_type(opened.get()) == kRegularFile && same_file(opened.get(), status) && try_lock(fd.get())) {
      call(g.p.unlink, entry);
    }
  } catch (const PyErrorSet&) {
    close_quietly(fd);
    throw;
  }
  call(g.p.close, fd.get());
}

// Removes the temporary files that killed writers left in the state
// directory: those still linked to the stored file (a writer killed between
// publishing and removing its temporary file: the stored file then has a
// second link) and those whose writer is gone. Only names of the module's own
// shape are looked at. Every ordinary failure is ignored: this is housekeeping.
inline void remove_leftovers(PyObject* target_dir, PyObject* target_file) {
  try {
    Ref stored = Ref::steal_or_null(PyObject_Vectorcall(g.p.stat, &target_file, 1, nullptr));
    if (!stored) absorb_ordinary_exception();
    const double limit = wall_clock_now() - kStaleTemporarySeconds;
    Ref directory = fs_text(target_dir);
    Ref names = Ref::steal(PyObject_GetIter(call(g.p.listdir, directory.get()).get()));
    while (Ref name = Ref::steal_or_null(PyIter_Next(names.get()))) {
      if (!has_token_shape(name.get(), S.temporary_prefix, S.temporary_suffix)) continue;
      try {
        Ref entry = join_name(directory.get(), name.get());
        Ref status = call(g.p.lstat, entry.get());
        if (stored && same_file(status.get(), stored.get())) {
          call(g.p.unlink, entry.get());
        } else {
          remove_if_abandoned(entry.get(), status.get(), limit);
        }
      } catch (const PyErrorSet&) {
        absorb_ordinary_exception();  // gone meanwhile, or not ours to remove: leave it
      }
    }
    if (PyErr_Occurred()) raise_current();
  } catch (const PyErrorSet&) {
    absorb_ordinary_exception();
  }
}

// On the reading path: the directory is looked at only when the stored file
// has a second link, which a killed writer left (one stat, no directory scan).
inline void remove_leftovers_if_linked(PyObject* target_dir, PyObject* target_file) {
  try {
    Ref status = call(g.p.stat, target_file);
    const int linked = PyObject_RichCompareBool(getattr(status.get(), S.st_nlink).get(), g.c.one, Py_GT);
    if (linked < 0) raise_current();
    if (linked == 1) remove_leftovers(target_dir, target_file);
  } catch (const PyErrorSet&) {
    absorb_ordinary_exception();
  }
}

// ---- the lock ---------------------------------------------------------------

struct HeldLock {
  Ref path;            // the lock file, or the lock directory (a str)
  Ref fd;              // the open lock file, for a kernel lock
  Ref owner;           // the owner entry in the lock directory
  bool directory = false;
};

// A waiter for the lock. Publishing is one atomic step, so the stored file can
// be read without the lock: between two attempts the waiter looks at it, and an
// identifier that another writer has stored meanwhile ends the wait. So does
// one found there when the wait gives up.
struct LockWait {
  PyObject* target_file = nullptr;
  double started = 0.0;  // on the monotonic clock
  Ref stored;            // the identifier found stored, which ends the wait
};

enum class Taken { lock, stored, no_kernel_locks };

// The stored identifier, read once without the lock; false where there is none
// yet (absent, empty, or unreadable for now).
inline bool found_stored(LockWait& wait) {
  try {
    if (!truth(call_method(wait.target_file, S.exists).get())) return false;
    Ref text = call_method_kw(wait.target_file, S.read_text, {}, {S.utf_8}, g.c.kw_encoding);
    Ref stored = checked(call_method(text.get(), S.strip));
    if (is_empty_str(stored.get())) return false;
    wait.stored = std::move(stored);
    return true;
  } catch (const PyErrorSet&) {
    absorb_ordinary_exception();
    return false;
  }
}

// Between two attempts: a pause, then a look at the stored file.
inline bool pause_and_look(LockWait& wait) {
  pause();
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
  if (remove) quietly([&] { call(g.p.unlink, held.path.get()); });
  quietly([&] { call_lock(held.fd.get(), g.p.unlock_args); });
  close_quietly(held.fd);
}

// Opens the lock file. Only a regular file of that name is ours: anything else
// in its place (a directory with something in it, a symlink, a device) fails
// the store at once. An empty directory is the lock of an older version of
// this module, left by a killed writer: it is removed, once.
inline Ref open_lock_file(PyObject* lock_path) {
  for (int attempt = 0;; ++attempt) {
    try {
      Ref fd = call(g.p.open, lock_path, g.p.open_flags, g.p.file_mode);
      try {
        if (file_type(call(g.p.fstat, fd.get()).get()) != kRegularFile) {
          PyErr_Format(PyExc_OSError, "the lock %R is not a regular file", lock_path);
          raise_current();
        }
      } catch (const PyErrorSet&) {
        close_quietly(fd);
        throw;
      }
      return fd;
    } catch (const PyErrorSet&) {
      const bool directory = PyErr_ExceptionMatches(PyExc_IsADirectoryError) != 0 ||
                             PyErr_ExceptionMatches(PyExc_PermissionError) != 0;
      if (attempt > 0 || !directory) throw;
      Ref pending = Ref::steal(PyErr_GetRaisedException());
      try {
        call(g.p.rmdir, lock_path);
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
      call_lock(held.fd.get(), g.p.lock_args);
      return Taken::lock;
    } catch (const PyErrorSet&) {
      if (raising_errno_in(g.p.unsupported_errnos)) {
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
    try {
      const Taken taken = wait_for_kernel_lock(held, wait);
      if (taken != Taken::lock) {  // with no kernel locks here, the lock file is no lock: removed again
        release_kernel_lock(held, taken == Taken::no_kernel_locks);
        return taken;
      }
      // The holder before us may have removed the lock file as it released it:
      // the lock is ours only if the path still names the file we locked.
      Ref named = lstat_or_null(held.path.get());
      if (named && same_file(named.get(), call(g.p.fstat, held.fd.get()).get())) return Taken::lock;
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
  Ref names = Ref::steal_or_null(PyObject_Vectorcall(g.p.listdir, &directory, 1, nullptr));
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
    quietly([&] { call(g.p.unlink, join_name(directory, owner).get()); });
  }
  quietly([&] { call(g.p.rmdir, directory); });
}

// One attempt: our lock directory, made whole under a name of its own and
// renamed into place. Returns our owner entry's name once the lock is ours;
// else null, with the refusal in `refused` and nothing of ours left behind.
inline Ref try_directory_lock(PyObject* lock_path, Ref& refused) {
  Ref token = random_token();
  Ref staged = Ref::steal(PyUnicode_FromFormat("%U.%U", lock_path, token.get()));
  Ref owner_name = Ref::steal(PyUnicode_FromFormat("%U%U", S.lock_owner_prefix, token.get()));
  call(g.p.mkdir, staged.get());
  try {
    call(g.p.close, call(g.p.open, join_name(staged.get(), owner_name.get()).get(), g.p.create_flags,
                         g.p.file_mode).get());
    call(g.p.rename, staged.get(), lock_path);
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
  Ref owner;
  double owner_since = 0.0;
  std::vector<std::pair<Ref, double>> staged;

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
    std::vector<std::pair<Ref, double>> present;
    Ref names = call(g.p.listdir, state);
    Ref iterator = Ref::steal(PyObject_GetIter(names.get()));
    while (Ref name = Ref::steal_or_null(PyIter_Next(iterator.get()))) {
      if (!has_token_shape(name.get(), S.staged_lock_prefix, g.c.empty_str)) continue;
      double since = now;
      for (const auto& [known, known_since] : staged) {
        if (equal(known.get(), name.get())) since = known_since;
      }
      present.emplace_back(std::move(name), since);
    }
    if (PyErr_Occurred()) raise_current();
    staged = std::move(present);
  }

  // Under the lock: removes the staged directories seen for the stale interval.
  void remove_abandoned_staged(PyObject* state, double now) {
    for (const auto& [name, since] : staged) {
      if (now - since < kStaleLockSeconds) continue;
      Ref directory = join_name(state, name.get());
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
          call(g.p.unlink, join_name(lock_path, owner.get()).get());
        } catch (const PyErrorSet&) {
          if (PyErr_ExceptionMatches(PyExc_FileNotFoundError) == 0) throw;
          PyErr_Clear();  // another waiter took it over first
          continue;
        }
      }
      quietly([&] { call(g.p.rmdir, lock_path); });  // full again (a new holder's) or gone: no matter
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
  if (g.p.lock != nullptr) {
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
      call(g.p.unlink, held.owner.get());
      ours = true;
    });
    if (ours) quietly([&] { call(g.p.rmdir, held.path.get()); });
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
  LockWait wait{target_file, monotonic_now(), Ref()};
  if (take_lock(held, wait) == Taken::stored) return std::move(wait.stored);
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

// ---- publishing -------------------------------------------------------------

inline void replace_retrying(PyObject* temporary, PyObject* target_file) {
  retrying_sharing_violations([&] { return call_method(temporary, S.replace_, target_file); });
}

// Under the lock: the stored identifier if the file now holds one, else ours,
// moved into place in one step (a rename).
inline Ref replace_under_lock(PyObject* target_file, PyObject* temporary, PyObject* value) {
  return under_lock(target_file, [&]() -> Ref {
    if (truth(call_method(target_file, S.exists).get())) {
      Ref stored = read_stored_identifier(target_file);
      if (!is_empty_str(stored.get())) return stored;
    }
    replace_retrying(temporary, target_file);
    return Ref::borrow(value);
  });
}

// Publishes `value` (already complete in `temporary`) as the stored identifier
// unless another one is stored first, and returns the one stored. A hard link
// publishes it under the final name only if that name is still free; where
// links are refused, and where the stored file is empty, the lock decides.
inline Ref publish_identifier(PyObject* target_file, PyObject* temporary, PyObject* value) {
  try {
    call_method(target_file, S.hardlink_to, temporary);
    return Ref::borrow(value);
  } catch (const PyErrorSet&) {
    if (PyErr_ExceptionMatches(PyExc_FileExistsError) != 0) {
      PyErr_Clear();
      Ref stored = read_stored_identifier(target_file);
      if (!is_empty_str(stored.get())) return stored;
    } else {
      absorb_ordinary_exception();  // the file system refuses links
    }
  }
  return replace_under_lock(target_file, temporary, value);
}

// Stores a new identifier so that the first writer wins, and returns the one
// stored. The temporary file gets the process's default permissions, as a
// plain write would; it is removed on every way out, and what killed writers
// left is removed after publishing.
inline Ref store_new_identifier(PyObject* target_dir, PyObject* target_file, PyObject* value) {
  Temporary temporary = write_temporary(target_file, value);
  Ref stored;
  try {
    stored = publish_identifier(target_file, temporary.path.get(), value);
  } catch (const PyErrorSet&) {
    discard_temporary(temporary);
    throw;
  }
  discard_temporary(temporary);
  remove_leftovers(target_dir, target_file);
  return stored;
}

}  // namespace vd
