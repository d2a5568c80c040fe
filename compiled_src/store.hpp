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

namespace vd {

inline constexpr double kStaleTemporarySeconds = 60.0;  // a temporary file this old was left by a killed writer
inline constexpr double kLockWaitSeconds = 2.0;         // longest wait for a lock that a living writer holds
inline constexpr double kStaleLockSeconds = 3.0;        // age, or wait, after which a lock directory is taken over
inline constexpr double kReplaceRetrySeconds = 1.0;     // longest retry of a replace that another process blocks

// The stored identifier: the file's text, stripped.
inline Ref read_stored_identifier(PyObject* target_file) {
  Ref text = call_method_kw(target_file, S.read_text, {}, {S.utf_8}, g.c.kw_encoding);
  return checked(call_method(text.get(), S.strip));
}

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

// The kernel lock's call: flock(fd, operation) or locking(fd, mode, length).
inline void call_lock(PyObject* fd, PyObject* trailing) {
  std::array<PyObject*, 4> argv{nullptr, fd};
  const Py_ssize_t n = PyTuple_GET_SIZE(trailing);
  for (Py_ssize_t i = 0; i < n && i < 2; ++i) argv[static_cast<std::size_t>(2 + i)] = PyTuple_GET_ITEM(trailing, i);
  const auto nargs = static_cast<std::size_t>(1 + std::min<Py_ssize_t>(n, 2));
  Ref::steal(PyObject_Vectorcall(g.p.lock, argv.data() + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// ---- temporary files -------------------------------------------------------

// Sixteen hexadecimal digits from the operating system's random source.
inline Ref random_token() {
  constexpr std::size_t kBytes = 8;
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

// A writer's temporary file: a path beside the fallback file with a random
// name of its own, so that no two writers (processes or threads) ever share
// one, holding the whole new identifier. Where locks are flock's, the writer
// keeps it open under an exclusive lock until it has removed it: a temporary
// file that is not locked, and not empty, belongs to a writer that was killed.
// (Windows cannot rename a file that is open: there it is closed at once, and
// only age tells.)
struct Temporary {
  Ref path;  // made by the namespace's Path (`with_name`, unlike `/`, does not intern the name)
  Ref fd;    // open and locked while the writer lives
};

inline void close_temporary(Temporary& temporary) {
  if (temporary.fd) quietly([&] { call(g.p.close, temporary.fd.get()); });
  temporary.fd = Ref();
}

// Removes our own temporary file (while it is still locked), then closes it;
// an ordinary failure to remove it is ignored.
inline void discard_temporary(Temporary& temporary) {
  quietly([&] { call_method_kw(temporary.path.get(), S.unlink, {}, {Py_True}, g.c.kw_missing_ok); });
  close_temporary(temporary);
}

inline Temporary write_temporary(PyObject* target_file, PyObject* value) {
  Temporary temporary;
  Ref name = Ref::steal(PyUnicode_FromFormat(".%U.%U.tmp", S.state_file, random_token().get()));
  temporary.path = call_method(target_file, S.with_name, name.get());
  temporary.fd = call(g.p.open, temporary.path.get(), g.p.create_flags, g.p.file_mode);
  try {
    // A clean-up that probes the new, empty file holds its lock for a moment:
    // then the lock is tried again. Without kernel locks, age tells.
    for (int attempt = 0; g.p.lock_is_flock && attempt < 5; ++attempt) {
      try {
        call_lock(temporary.fd.get(), g.p.lock_args);
        break;
      } catch (const PyErrorSet&) {
        const bool busy = raising_errno_in(g.p.busy_errnos);
        absorb_ordinary_exception();
        if (!busy) break;
      }
      pause();
    }
    Ref data = Ref::steal(PyUnicode_AsUTF8String(value));
    while (PyBytes_GET_SIZE(data.get()) > 0) {
      const Py_ssize_t written = PyLong_AsSsize_t(call(g.p.write, temporary.fd.get(), data.get()).get());
      if (written < 0) raise_current();
      data = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data.get()) + written,
                                                  PyBytes_GET_SIZE(data.get()) - written));
    }
    if (!g.p.lock_is_flock) close_temporary(temporary);
  } catch (const PyErrorSet&) {
    discard_temporary(temporary);
    throw;
  }
  return temporary;
}

// Whether another writer's temporary file was left by a killed writer: it
// is not locked and holds text (an empty one may be a writer's that has not
// locked it yet), or it is older than a minute.
inline bool left_by_killed_writer(PyObject* entry, PyObject* status, double limit) {
  if (as_seconds(getattr(status, S.st_mtime_).get()) < limit) return true;
  if (!g.p.lock_is_flock) return false;
  Ref fd = call(g.p.open, entry, g.p.read_flags);
  bool abandoned = false;
  try {
    call_lock(fd.get(), g.p.lock_args);
    const int written = PyObject_RichCompareBool(getattr(call(g.p.fstat, fd.get()).get(), S.st_size).get(),
                                                 g.c.zero, Py_GT);
    if (written < 0) raise_current();
    abandoned = written == 1;
  } catch (const PyErrorSet&) {
    if (!raising_errno_in(g.p.busy_errnos)) {
      quietly([&] { call(g.p.close, fd.get()); });
      throw;
    }
    PyErr_Clear();  // its writer lives
  }
  call(g.p.close, fd.get());
  return abandoned;
}

// Removes the temporary files that killed writers left in the state
// directory: those still linked to the stored file (a writer killed between
// publishing and removing its temporary file: the stored file then has a
// second link) and those whose writer is gone. Every ordinary failure is
// ignored: this is housekeeping.
inline void remove_leftovers(PyObject* target_dir, PyObject* target_file) {
  try {
    Ref stored = Ref::steal_or_null(PyObject_Vectorcall(g.p.stat, &target_file, 1, nullptr));
    if (!stored) absorb_ordinary_exception();
    const double limit = wall_clock_now() - kStaleTemporarySeconds;
    Ref entries = Ref::steal(PyObject_GetIter(call_method(target_dir, S.glob, S.temporary_pattern).get()));
    while (Ref entry = Ref::steal_or_null(PyIter_Next(entries.get()))) {
      try {
        Ref status = call(g.p.lstat, entry.get());
        if ((stored && same_file(status.get(), stored.get())) ||
            left_by_killed_writer(entry.get(), status.get(), limit)) {
          call(g.p.unlink, entry.get());
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
  Ref path;            // the lock file, or the lock directory
  Ref fd;              // the open lock file, for a kernel lock
  bool directory = false;
};

// Unlocks and closes a kernel lock; with `remove`, removes the lock file first,
// while still holding it (the next holder checks that it locked the file that
// the path names). Windows refuses to remove an open file: it stays.
inline void release_kernel_lock(HeldLock& held, bool remove) {
  if (remove) quietly([&] { call(g.p.unlink, held.path.get()); });
  quietly([&] { call_lock(held.fd.get(), g.p.unlock_args); });
  quietly([&] { call(g.p.close, held.fd.get()); });
  held.fd = Ref();
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
        quietly([&] { call(g.p.close, fd.get()); });
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

// Takes the kernel lock, waiting a few seconds at most for a living holder.
// Returns false, with nothing held, where the file system has no kernel locks.
inline bool take_kernel_lock(HeldLock& held) {
  const double started = monotonic_now();
  auto give_up_if_late = [&] {
    if (monotonic_now() - started < kLockWaitSeconds) return;
    if (held.fd) call(g.p.close, held.fd.get());
    held.fd = Ref();
    PyErr_Format(PyExc_TimeoutError, "the lock %R is held by another process", held.path.get());
    raise_current();
  };
  for (;;) {
    give_up_if_late();
    held.fd = open_lock_file(held.path.get());
    for (;;) {
      try {
        call_lock(held.fd.get(), g.p.lock_args);
        break;
      } catch (const PyErrorSet&) {
        const bool unsupported = raising_errno_in(g.p.unsupported_errnos);
        if (!unsupported && !raising_errno_in(g.p.busy_errnos)) {
          quietly([&] { call(g.p.close, held.fd.get()); });
          throw;
        }
        PyErr_Clear();
        if (unsupported) {  // the lock file is no lock here: removed again
          release_kernel_lock(held, true);
          return false;
        }
      }
      give_up_if_late();
      pause();
    }
    // The holder before us may have removed the lock file as it released it:
    // the lock is ours only if the path still names the file we locked.
    PyObject* path = held.path.get();
    Ref named = Ref::steal_or_null(PyObject_Vectorcall(g.p.lstat, &path, 1, nullptr));
    if (!named) {
      if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
        release_kernel_lock(held, false);
        raise_current();
      }
      PyErr_Clear();
    } else if (same_file(named.get(), call(g.p.fstat, held.fd.get()).get())) {
      return true;
    }
    release_kernel_lock(held, false);
  }
}

// The lock where the file system refuses kernel locks: a directory, which
// every file system creates atomically. One older than a few seconds, or
// waited for that long, is taken over. Something of that name that is not a
// directory, or that cannot be removed, fails the store at once.
inline void take_directory_lock(HeldLock& held, PyObject* target_file) {
  held.path = call_method(target_file, S.with_name, S.lock_directory_name);
  held.directory = true;
  const double started = monotonic_now();
  for (;;) {
    try {
      call(g.p.mkdir, held.path.get());
      return;
    } catch (const PyErrorSet&) {
      if (PyErr_ExceptionMatches(PyExc_FileExistsError) == 0) throw;
      PyErr_Clear();
    }
    PyObject* path = held.path.get();
    Ref status = Ref::steal_or_null(PyObject_Vectorcall(g.p.lstat, &path, 1, nullptr));
    if (!status) {
      if (PyErr_ExceptionMatches(PyExc_FileNotFoundError) == 0) raise_current();
      PyErr_Clear();
      continue;  // released meanwhile: try again at once
    }
    if (file_type(status.get()) != kDirectory) {
      PyErr_Format(PyExc_FileExistsError, "%R is in the place of the lock", held.path.get());
      raise_current();
    }
    const double age = wall_clock_now() - as_seconds(getattr(status.get(), S.st_mtime_).get());
    if (age >= kStaleLockSeconds || monotonic_now() - started >= kStaleLockSeconds) {
      call(g.p.rmdir, held.path.get());  // abandoned: taken over, or the store fails at once
      continue;
    }
    pause();
  }
}

inline HeldLock take_lock(PyObject* target_file) {
  HeldLock held;
  if (g.p.lock != nullptr) {
    held.path = call_method(target_file, S.with_name, S.lock_name);
    if (take_kernel_lock(held)) return held;
  }
  take_directory_lock(held, target_file);
  return held;
}

inline void release_lock(HeldLock& held) {
  if (held.directory) {
    quietly([&] { call(g.p.rmdir, held.path.get()); });
  } else {
    release_kernel_lock(held, true);
  }
}

// Runs `body` (which returns a Ref) holding the lock; releases it on every way out.
template <typename Body>
Ref under_lock(PyObject* target_file, Body&& body) {
  HeldLock held = take_lock(target_file);
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

// Windows refuses to replace a file that another process has open (a reader,
// a virus scanner) with a sharing violation, which passes: the replace is
// retried for a moment before the store gives up.
inline bool raising_sharing_violation() {
  if (PyErr_ExceptionMatches(PyExc_PermissionError) == 0) return false;
  Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
  Ref code = Ref::steal_or_null(PyObject_GetAttr(exc.get(), S.winerror));
  constexpr long kAccessDenied = 5;
  constexpr long kSharingViolation = 32;
  const long number = code && PyLong_CheckExact(code.get()) ? PyLong_AsLong(code.get()) : 0;
  PyErr_Clear();
  PyErr_SetRaisedException(exc.release());
  return number == kAccessDenied || number == kSharingViolation;
}

inline void replace_retrying(PyObject* temporary, PyObject* target_file) {
  double started = -1.0;
  for (;;) {
    try {
      call_method(temporary, S.replace_, target_file);
      return;
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
