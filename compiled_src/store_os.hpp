// What the fallback file's store uses of the operating system, and the small
// steps built on it that its parts share: clocks and pauses, quiet and retried
// steps, file identities, the kernel lock's call, and the random tokens that
// name the store's own files.
#pragma once

#include "module_state.hpp"

#include <algorithm>
#include <array>

namespace vd {

inline constexpr double kReplaceRetrySeconds = 1.0;  // longest retry of a step that another process blocks

// What the store uses of the standard library, imported privately at
// initialisation and never looked up in the namespace: no replacement of a
// module attribute can change whether a store succeeds, or feed it a value of
// another type.
struct StoreOs {
  bool ready = false;
  PyObject* urandom = nullptr;    // os.urandom
  PyObject* open = nullptr;       // os.open
  PyObject* close = nullptr;      // os.close
  PyObject* fstat = nullptr;      // os.fstat
  PyObject* stat = nullptr;       // os.stat
  PyObject* lstat = nullptr;      // os.lstat
  PyObject* unlink = nullptr;     // os.unlink
  PyObject* rmdir = nullptr;      // os.rmdir
  PyObject* mkdir = nullptr;      // os.mkdir
  PyObject* write = nullptr;      // os.write
  PyObject* rename = nullptr;     // os.rename
  PyObject* listdir = nullptr;    // os.listdir
  PyObject* sep = nullptr;        // os.sep, a one-character str
  PyObject* open_flags = nullptr;    // the lock file: O_RDWR | O_CREAT
  PyObject* create_flags = nullptr;  // a temporary file: O_WRONLY | O_CREAT | O_EXCL
  PyObject* read_flags = nullptr;    // another writer's temporary file: O_RDONLY | O_NONBLOCK
                                     // (each with O_NOFOLLOW and O_BINARY where there are)
  PyObject* file_mode = nullptr;   // 0o666, less the umask
  PyObject* monotonic = nullptr;  // time.monotonic
  PyObject* wall_clock = nullptr;  // time.time
  PyObject* sleep = nullptr;      // time.sleep
  // The kernel lock: fcntl.flock(fd, *lock_args) on POSIX systems,
  // msvcrt.locking(fd, *lock_args) on Windows; null where there is neither.
  PyObject* lock = nullptr;
  PyObject* lock_args = nullptr;
  PyObject* unlock_args = nullptr;
  bool lock_is_flock = false;  // a temporary file can stay open, locked, while it is published
                               // (else msvcrt.locking: any refusal of a non-blocking attempt means
                               // "held", whatever errno it carries: EACCES, EDEADLOCK, or none under Wine)
  PyObject* busy_errnos = nullptr;         // the lock is held by another process
  PyObject* unsupported_errnos = nullptr;  // the file system has no kernel locks
};
inline StoreOs store_os;

// Imports the store's own standard-library functions, once per interpreter
// that owns the module.
inline void load_store_os() {
  StoreOs& p = store_os;
  auto take = [](PyObject* module, const char* name) {
    return Ref::steal(PyObject_GetAttrString(module, name)).release();
  };
  auto number = [](PyObject* module, const char* name) -> long {
    Ref value = Ref::steal_or_null(PyObject_GetAttrString(module, name));
    if (!value) {
      PyErr_Clear();  // not on this system
      return -1;
    }
    const long result = PyLong_AsLong(value.get());
    if (result == -1 && PyErr_Occurred()) raise_current();
    return result;
  };
  auto numbers = [&](PyObject* module, std::initializer_list<const char*> names) {
    Ref list = Ref::steal(PyList_New(0));
    for (const char* name : names) {
      const long value = number(module, name);
      if (value >= 0 && PyList_Append(list.get(), Ref::steal(PyLong_FromLong(value)).get()) < 0) raise_current();
    }
    return Ref::steal(PyList_AsTuple(list.get())).release();
  };
  Ref os = Ref::steal(PyImport_ImportModule("os"));
  p.urandom = take(os.get(), "urandom");
  p.open = take(os.get(), "open");
  p.close = take(os.get(), "close");
  p.fstat = take(os.get(), "fstat");
  p.stat = take(os.get(), "stat");
  p.lstat = take(os.get(), "lstat");
  p.unlink = take(os.get(), "unlink");
  p.rmdir = take(os.get(), "rmdir");
  p.mkdir = take(os.get(), "mkdir");
  p.write = take(os.get(), "write");
  p.rename = take(os.get(), "rename");
  p.listdir = take(os.get(), "listdir");
  p.sep = take(os.get(), "sep");
  if (!PyUnicode_CheckExact(p.sep) || PyUnicode_GET_LENGTH(p.sep) != 1) {
    PyErr_SetString(PyExc_ImportError, "os.sep is not a one-character str");
    raise_current();
  }
  auto flags = [&](std::initializer_list<const char*> names) {
    long value = 0;
    for (const char* name : names) value |= std::max(number(os.get(), name), 0L);
    return Ref::steal(PyLong_FromLong(value)).release();
  };
  p.open_flags = flags({"O_RDWR", "O_CREAT", "O_NOFOLLOW", "O_BINARY"});
  p.create_flags = flags({"O_WRONLY", "O_CREAT", "O_EXCL", "O_NOFOLLOW", "O_BINARY"});
  p.read_flags = flags({"O_RDONLY", "O_NONBLOCK", "O_NOFOLLOW", "O_BINARY"});
  p.file_mode = Ref::steal(PyLong_FromLong(0666)).release();
  Ref time = Ref::steal(PyImport_ImportModule("time"));
  p.monotonic = take(time.get(), "monotonic");
  p.wall_clock = take(time.get(), "time");
  p.sleep = take(time.get(), "sleep");
  Ref errno_module = Ref::steal(PyImport_ImportModule("errno"));
  p.busy_errnos = numbers(errno_module.get(), {"EAGAIN", "EWOULDBLOCK", "EACCES", "EDEADLK"});
  p.unsupported_errnos = numbers(errno_module.get(), {"ENOLCK", "EOPNOTSUPP", "ENOTSUP", "ENOSYS"});
  auto lock_operation = [&](PyObject* module, std::initializer_list<const char*> names, bool with_length) {
    long operation = 0;
    for (const char* name : names) operation |= number(module, name);
    Ref code = Ref::steal(PyLong_FromLong(operation));
    return (with_length ? make_tuple({code.get(), g.c.one}) : make_tuple({code.get()})).release();
  };
  // A missing module raises ImportError (ModuleNotFoundError): the next is tried.
  Ref fcntl = Ref::steal_or_null(PyImport_ImportModule("fcntl"));
  Ref msvcrt = fcntl ? Ref() : (PyErr_Clear(), Ref::steal_or_null(PyImport_ImportModule("msvcrt")));
  if (fcntl) {
    p.lock = take(fcntl.get(), "flock");
    p.lock_is_flock = true;
    p.lock_args = lock_operation(fcntl.get(), {"LOCK_EX", "LOCK_NB"}, false);
    p.unlock_args = lock_operation(fcntl.get(), {"LOCK_UN"}, false);
  } else if (msvcrt) {
    p.lock = take(msvcrt.get(), "locking");
    p.lock_args = lock_operation(msvcrt.get(), {"LK_NBLCK"}, true);
    p.unlock_args = lock_operation(msvcrt.get(), {"LK_UNLCK"}, true);
  } else {
    PyErr_Clear();  // no kernel locks here: the lock directory stands in
  }
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

inline double monotonic_now() { return as_seconds(call(store_os.monotonic).get()); }
inline double wall_clock_now() { return as_seconds(call(store_os.wall_clock).get()); }
inline void pause() { call(store_os.sleep, g.c.poll_seconds); }

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

// The stored identifier: the file's text, stripped; once, and again for a
// moment while Windows reports a sharing violation.
inline Ref read_stored_once(PyObject* target_file) {
  Ref text = call_method_kw(target_file, S.read_text, {}, {S.utf_8}, g.c.kw_encoding);
  return checked(call_method(text.get(), S.strip));
}
inline Ref read_stored_identifier(PyObject* target_file) {
  return retrying_sharing_violations([&] { return read_stored_once(target_file); });
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
  if (store_os.lock_is_flock) return raising_errno_in(store_os.busy_errnos);
  return !raising_errno_in(store_os.unsupported_errnos);
}

// The kernel lock's call: flock(fd, operation) or locking(fd, mode, length).
inline void call_lock(PyObject* fd, PyObject* trailing) {
  std::array<PyObject*, 4> argv{nullptr, fd};
  const Py_ssize_t n = PyTuple_GET_SIZE(trailing);
  for (Py_ssize_t i = 0; i < n && i < 2; ++i) argv[static_cast<std::size_t>(2 + i)] = PyTuple_GET_ITEM(trailing, i);
  const auto nargs = static_cast<std::size_t>(1 + std::min<Py_ssize_t>(n, 2));
  Ref::steal(PyObject_Vectorcall(store_os.lock, argv.data() + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Tries the kernel lock once: true if taken, false if another process holds it.
inline bool try_lock(PyObject* fd) {
  try {
    call_lock(fd, store_os.lock_args);
    return true;
  } catch (const PyErrorSet&) {
    if (!raising_lock_held()) throw;
    PyErr_Clear();
    return false;
  }
}

inline void close_quietly(Ref& fd) {
  if (fd) quietly([&] { call(store_os.close, fd.get()); });
  fd = Ref();
}

// os.lstat(path), or null where nothing is there.
inline Ref lstat_or_null(PyObject* path) {
  Ref status = Ref::steal_or_null(PyObject_Vectorcall(store_os.lstat, &path, 1, nullptr));
  if (!status) {
    if (PyErr_ExceptionMatches(PyExc_FileNotFoundError) == 0) raise_current();
    PyErr_Clear();
  }
  return status;
}

// "directory<sep>name", for the private os functions.
inline Ref join_name(PyObject* directory, PyObject* name) {
  return Ref::steal(PyUnicode_FromFormat("%U%U%U", directory, store_os.sep, name));
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

inline constexpr Py_ssize_t kTokenLength = 16;

// Sixteen hexadecimal digits from the operating system's random source.
inline Ref random_token() {
  constexpr std::size_t kBytes = kTokenLength / 2;
  Ref bytes = call(store_os.urandom, g.c.eight);
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

}  // namespace vd
