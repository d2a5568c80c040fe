// Traceback entries for exceptions that leave the module's functions.
//
// An entry is a frame object whose code names the source file, the dotted
// function name and, as its first line, the line of the failing statement.
// The code objects are made on first use and kept for the life of the process,
// one per (owner, line); threads that make one at once keep the first stored
// (a compare-and-swap), so none is lost or released twice. The frame is made
// afresh for each entry.
#pragma once

#include "pyref.hpp"

#include <array>
#include <atomic>
#include <frameobject.h>

namespace vd {

inline constexpr const char* kSourceFile = "compiled_src/fingerprint";

class TracebackEntries {
 public:
  static constexpr int kOwners = 13;  // 0 for initialisation, then one per function
  static constexpr int kLines = 128;  // every line of the source unit

  // Adds an entry for `line` of `owner` (named `qualified_name`) to the
  // exception being raised. Never fails: if the entry cannot be made, the
  // exception is left as it was, without it.
  void add(int owner, const char* qualified_name, int line, PyObject* globals) noexcept {
    if (owner < 0 || owner >= kOwners || line <= 0 || line >= kLines || globals == nullptr) return;
    Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
    if (!exc) return;
    std::atomic<PyObject*>& slot = codes_[static_cast<std::size_t>(owner)][static_cast<std::size_t>(line)];
    PyObject* code = slot.load(std::memory_order_acquire);
    if (code == nullptr) {
      code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, qualified_name, line));
      PyObject* stored = nullptr;
      if (code != nullptr && !slot.compare_exchange_strong(stored, code, std::memory_order_acq_rel)) {
        Py_DECREF(code);
        code = stored;
      }
    }
    Ref frame;
    if (code != nullptr) {
      frame = Ref::steal_or_null(reinterpret_cast<PyObject*>(
          PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr)));
    }
    if (!frame) {
      PyErr_Clear();
      PyErr_SetRaisedException(exc.release());
      return;
    }
    PyErr_SetRaisedException(exc.release());
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
  }

  // Forgets every code object without touching it (they died with their interpreter).
  void forget() noexcept {
    for (auto& row : codes_) {
      for (auto& slot : row) slot.store(nullptr, std::memory_order_relaxed);
    }
  }

 private:
  std::array<std::array<std::atomic<PyObject*>, kLines>, kOwners> codes_{};
};

}  // namespace vd
