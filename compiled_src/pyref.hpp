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
//   one (it increments). Borrowed pointers from dict look-ups must be turned
//   into a `Ref` before any Python code can run, since that code may drop the
//   last other reference.
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
// again is ended with pthread_exit, which unwinds its stack with a "forced
// unwind" exception. That unwinding must pass through the module's frames
// untouched: no handler catches it (there is no `catch (...)`: handlers name
// PyErrorSet or std::exception), the entry points that call into Python are
// not `noexcept` (a forced unwind leaving a `noexcept` function ends the
// process), and no destructor may touch the C API while it runs,
// since the thread no longer has a thread state. From the moment shutdown
// starts (`note_shutdown_started`, called from an atexit callback on the
// shutting-down thread), destructors on any other thread leave their
// references alone: at worst a thread that is about to die leaks them.
#pragma once

#include <cstddef>
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <thread>
#include <utility>

namespace vd {

struct PyErrorSet final {};

namespace detail {
inline std::atomic<bool> shutdown_started{false};
inline std::thread::id shutdown_thread;  // written before `shutdown_started`
}  // namespace detail

// Called on the thread that finalises the interpreter, before daemon threads
// can be ended; `reset` when a new interpreter has imported the module.
inline void note_shutdown_started(bool started = true) noexcept {
  detail::shutdown_thread = started ? std::this_thread::get_id() : std::thread::id();
  detail::shutdown_started.store(started, std::memory_order_release);
}

// Whether this thread may still use the C API in a destructor.
inline bool c_api_usable() noexcept {
  if (!detail::shutdown_started.load(std::memory_order_acquire)) [[likely]] return true;
  return detail::shutdown_thread == std::this_thread::get_id();
}

// Throws the policy exception; the caller has already set a Python error.
[[noreturn]] inline void raise_current() { throw PyErrorSet{}; }

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
    if (obj_ != nullptr && c_api_usable()) Py_DECREF(obj_);
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
