// A writer's temporary files beside the fallback file: made under a random
// name, written whole and, where locks are flock's, kept locked while the
// writer lives; and the removal of those that killed writers left behind.
#pragma once

#include "store_os.hpp"

namespace vd {

inline constexpr double kStaleTemporarySeconds = 60.0;  // a temporary file this old was left by a killed writer

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
  if (!store_os.lock_is_flock) close_temporary(temporary);
  quietly([&] { call_method_kw(temporary.path.get(), S.unlink, {}, {Py_True}, g.c.kw_missing_ok); });
  close_temporary(temporary);
}

// Whether the temporary file's path still names the file that its writer has open.
inline bool still_named(const Temporary& temporary) {
  Ref named = lstat_or_null(temporary.path.get());
  return named && same_file(named.get(), call(store_os.fstat, temporary.fd.get()).get());
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
    temporary.fd = call(store_os.open, temporary.path.get(), store_os.create_flags, store_os.file_mode);
    if (!store_os.lock_is_flock) return temporary;
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
    Ref result = call(store_os.write, fd, data.get());
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
    if (!store_os.lock_is_flock) close_temporary(temporary);
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
    call(store_os.unlink, entry);
    return;
  }
  if (!store_os.lock_is_flock) return;
  Ref fd = call(store_os.open, entry, store_os.read_flags);
  try {
    Ref opened = call(store_os.fstat, fd.get());
    if (file_type(opened.get()) == kRegularFile && same_file(opened.get(), status) && try_lock(fd.get())) {
      call(store_os.unlink, entry);
    }
  } catch (const PyErrorSet&) {
    close_quietly(fd);
    throw;
  }
  call(store_os.close, fd.get());
}

// Removes the temporary files that killed writers left in the state
// directory: those still linked to the stored file (a writer killed between
// publishing and removing its temporary file: the stored file then has a
// second link) and those whose writer is gone. Only names of the module's own
// shape are looked at. Every ordinary failure is ignored: this is housekeeping.
inline void remove_leftovers(PyObject* target_dir, PyObject* target_file) {
  try {
    Ref stored = Ref::steal_or_null(PyObject_Vectorcall(store_os.stat, &target_file, 1, nullptr));
    if (!stored) absorb_ordinary_exception();
    const double limit = wall_clock_now() - kStaleTemporarySeconds;
    Ref directory = fs_text(target_dir);
    Ref names = Ref::steal(PyObject_GetIter(call(store_os.listdir, directory.get()).get()));
    while (Ref name = Ref::steal_or_null(PyIter_Next(names.get()))) {
      if (!has_token_shape(name.get(), S.temporary_prefix, S.temporary_suffix)) continue;
      try {
        Ref entry = join_name(directory.get(), name.get());
        Ref status = call(store_os.lstat, entry.get());
        if (stored && same_file(status.get(), stored.get())) {
          call(store_os.unlink, entry.get());
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
    Ref status = call(store_os.stat, target_file);
    const int linked = PyObject_RichCompareBool(getattr(status.get(), S.st_nlink).get(), g.c.one, Py_GT);
    if (linked < 0) raise_current();
    if (linked == 1) remove_leftovers(target_dir, target_file);
  } catch (const PyErrorSet&) {
    absorb_ordinary_exception();
  }
}

}  // namespace vd
