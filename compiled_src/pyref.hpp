// Owning references and the one error policy of the module.
//
// Ownership rules
// ---------------
// * A `Ref` owns exactly one strong reference, or nothing. It is never copied
//   implicitly; it moves. Its destructor releases what it owns, so a function
//   that leaves through an exception releases every temporary it made.
// * `Ref::steal(p)` takes over a *new* reference returned by the C API. A null
//   `p` means the API call failed with a Python exception set: `steal` throws
//   `PyErrorSet` at once, so the caller never sees a null `Ref` by accident.
// * `Ref::borrow(p)` takes a *borrowed* reference and turns it into an owned
//   one (it increments), for pointers that nothing else can release meanwhile
//   (an argument, an item of a tuple held). Dict look-ups never borrow: without
//   a GIL another thread may replace the entry and free the object before the
//   borrower takes it up, so they go through `Ref::dict_item`.
// * `release()` hands the reference to the caller (for returning to CPython).
// * Plain `PyObject*` parameters are borrowed for the duration of the call.
//
// Error policy
// ------------
// A thrown `PyErrorSet` means exactly one thing: a Python exception is set in
// the thread state. Code that detects an error from the C API throws it; code
// that sets an error itself (PyErr_Format) throws it right after. Every entry
// point that CPython calls (vectorcall, module slots) catches it, lets no other
// C++ exception out (but the forced unwind below), adds a traceback entry where the behaviour asks for one, and returns the
// C API's error value. Nothing else is thrown across the module, except
// `std::bad_alloc` from the standard library, which entry points turn into
// MemoryError.
//
// Threads ended by the interpreter
// --------------------------------
// When the interpreter shuts down, a daemon thread that tries to take the GIL
// again is ended. 3.12, and 3.13 before 3.13.8, end it with pthread_exit on
// Linux and macOS, which unwinds its stack with a "forced unwind" exception;
// later versions hang it instead, and Windows ends a thread without unwinding
// anything. That unwinding must pass through the module's frames untouched: no
// handler catches it (there is no `catch (...)`: handlers name PyErrorSet or
// std::exception), the entry points that call into Python are not `noexcept`
// (a forced unwind leaving a `noexcept` function ends the process), and no
// destructor may touch the C API while it runs, since the thread no longer has
// a thread state: it was detached to wait for the GIL when the interpreter
// ended it. So a destructor uses the C API only on a thread that has a thread
// state attached, which it asks the interpreter through the exported API
// (Py_IsFinalizing, then PyThreadState_GetUnchecked; 3.12's _Py_IsFinalizing
// and _PyThreadState_UncheckedGet); on any
// other it leaves its references alone: a thread that is about to die leaks
// them. The thread that finalises the interpreter keeps its thread state, and
// releases all it holds. This rests on nothing a program can change (an atexit
// callback can be cleared or run early; the thread state cannot).
#pragma once

#include <cstddef>
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

namespace vd {

struct PyErrorSet final {};

#if PY_VERSION_HEX < 0x030D0000 && defined(__GNUC__) && !defined(_WIN32)
// A build for 3.12 can be loaded into a later interpreter, which warns (the
// exec slot's version check) and no longer has these two functions: the
// references are weak, so that loading does not fail on them.
// NOLINTNEXTLINE(bugprone-reserved-identifier,readability-redundant-declaration): redeclared weak
extern "C" __attribute__((weak)) int _Py_IsFinalizing(void);
// NOLINTNEXTLINE(bugprone-reserved-identifier,readability-redundant-declaration): redeclared weak
extern "C" __attribute__((weak)) PyThreadState* _PyThreadState_UncheckedGet(void);
#endif

// Whether this thread may use the C API in a destructor: it has a thread
// state attached (see "Threads ended by the interpreter" above). The
// interpreter ends threads only once it is finalising, so until then the
// answer is yes without asking for the thread's state; after that, only a
// thread that the interpreter is ending has none.
inline bool c_api_usable() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() == 0 || PyThreadState_GetUnchecked() != nullptr;
#elif defined(__GNUC__) && !defined(_WIN32)
  if (&_Py_IsFinalizing != nullptr) [[likely]] {
    return _Py_IsFinalizing() == 0 || _PyThreadState_UncheckedGet() != nullptr;
  }
  // A later interpreter than this build's: it stops being initialised before it ends any thread.
  return Py_IsInitialized() != 0;
#else
  return _Py_IsFinalizing() == 0 || _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// Throws the policy exception; the caller has already set a Python error.
[[noreturn]] inline void raise_current() { throw PyErrorSet{}; }

// dict[key] as a strong reference in `*found`: 1 found, 0 absent, -1 with an
// error set. Without a GIL, a borrowed result could be freed by another thread
// before it is taken up: free-threaded builds use PyDict_GetItemRef. With one,
// nothing runs between the look-up and taking the reference, and the borrowed
// look-up costs less.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** found) noexcept {
#if defined(Py_GIL_DISABLED)
  return PyDict_GetItemRef(dict, key, found);
#else
  *found = Py_XNewRef(PyDict_GetItemWithError(dict, key));
  if (*found != nullptr) return 1;
  return PyErr_Occurred() != nullptr ? -1 : 0;
#endif
}

// Critical sections on one object, where the build has no GIL to serialise
// changes of an object's fields; nothing to do where it has one (3.12).
#if PY_VERSION_HEX < 0x030D0000
#define VD_BEGIN_CRITICAL_SECTION(obj) { static_cast<void>(obj);
#define VD_END_CRITICAL_SECTION() }
#else
#define VD_BEGIN_CRITICAL_SECTION(obj) static_cast<void>(obj); Py_BEGIN_CRITICAL_SECTION(obj)
#define VD_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#endif

class Ref {
 public:
  constexpr Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(std::move(*this));
    obj_ = std::exchange(other.obj_, nullptr);
    return *this;
  }
  ~Ref() {
    if (obj_ != nullptr && c_api_usable()) [[likely]] Py_DECREF(obj_);
  }

  // Takes a new reference; throws PyErrorSet if the API call returned null.
  static Ref steal(PyObject* obj) {
    if (obj == nullptr) raise_current();
    return Ref(obj);
  }
  // Takes a new reference that may legitimately be null (no error implied).
  static Ref steal_or_null(PyObject* obj) noexcept { return Ref(obj); }
  // Adds a reference to a borrowed pointer (which may be null).
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  // dict[key], or null where the key is absent (see dict_get_ref).
  static Ref dict_item(PyObject* dict, PyObject* key) {
    PyObject* found = nullptr;
    if (dict_get_ref(dict, key, &found) < 0) raise_current();
    return Ref(found);
  }

  [[nodiscard]] PyObject* get() const noexcept { return obj_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  [[nodiscard]] Ref copy() const noexcept { return borrow(obj_); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Makes `exc` the exception being handled (what `sys.exception()` reports and
// what becomes the `__context__` of anything raised meanwhile), and restores
// the previously handled exception when the scope ends, on every way out.
class HandlingScope {
 public:
  explicit HandlingScope(PyObject* exc) noexcept : previous_(Ref::steal_or_null(PyErr_GetHandledException())) {
    PyErr_SetHandledException(exc);
  }
  HandlingScope(const HandlingScope&) = delete;
  HandlingScope& operator=(const HandlingScope&) = delete;
  HandlingScope(HandlingScope&&) = delete;
  HandlingScope& operator=(HandlingScope&&) = delete;
  ~HandlingScope() {
    if (c_api_usable()) PyErr_SetHandledException(previous_.get());
  }

 private:
  Ref previous_;
};

}  // namespace vd
