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
// What the store uses of os and time is held privately (store_os.hpp); the
// operations on the fallback file itself go through the namespace's `Path`.
#pragma once

#include "file_lock.hpp"
#include "store_os.hpp"
#include "temporaries.hpp"

namespace vd {

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
