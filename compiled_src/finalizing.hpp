// Whether the interpreter may be ending the calling thread.
//
// When the interpreter shuts down, a daemon thread that tries to take the GIL
// again is ended (see "Threads ended by the interpreter" in pyref.hpp). 3.12,
// and 3.13 before 3.13.8, end it with pthread_exit, which unwinds its stack;
// later versions hang it instead, and Windows ends a thread without unwinding
// anything. The interpreter ends a thread only after it has recorded, in one
// word of its runtime state, the thread that finalises it; the thread being
// ended has read that word itself just before. So a destructor that finds the
// word still clear knows that it is not running on an ended thread, and only a
// destructor that finds it set needs to ask the slower questions.
//
// The word is found once, when the module is created: on 3.13 through the
// table of offsets that the runtime publishes at its start for debuggers and
// profilers (checked by its cookie, its version and its build), on 3.12 at
// its place in that version's layout (checked by the values of the fields
// before it, which are fixed once the interpreter runs). Where it cannot be
// found and checked, it stays unknown and every destructor asks the slower
// questions, as if the interpreter were finalising.
#pragma once

#include <cstddef>
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#if !defined(_WIN32)
// The runtime's state, exported by every CPython for tools that read it.
extern "C" {
PyAPI_DATA(unsigned char) _PyRuntime[];  // NOLINT(bugprone-reserved-identifier,cppcoreguidelines-avoid-c-arrays)
}
#endif

namespace vd::finalizing {

using Word = std::atomic<std::uintptr_t>;

// A word that is never set, for runtimes that never unwind an ended thread.
inline const Word never{0};

// The runtime's word, `never`, or null while unknown.
inline std::atomic<const Word*> word{nullptr};

#if !defined(_WIN32)
inline const Word* runtime_word() noexcept {
  const unsigned char* runtime = _PyRuntime;
  std::size_t offset = 0;
  if (Py_Version >> 16 == 0x030D) {
    // cookie[8], version, free_threaded, then the runtime's size and the
    // finalising word's offset.
    struct Header {
      char cookie[8];  // NOLINT(cppcoreguidelines-avoid-c-arrays)
      std::uint64_t version;
      std::uint64_t free_threaded;
      std::uint64_t runtime_size;
      std::uint64_t finalizing;
    } header{};
    std::memcpy(&header, runtime, sizeof header);
#if defined(Py_GIL_DISABLED)
    constexpr std::uint64_t free_threaded = 1;
#else
    constexpr std::uint64_t free_threaded = 0;
#endif
    if (std::memcmp(header.cookie, "xdebugpy", sizeof header.cookie) != 0 || header.version >> 16 != 0x030D ||
        header.free_threaded != free_threaded || header.finalizing < sizeof header ||
        header.finalizing + sizeof(Word) > header.runtime_size || header.finalizing % alignof(Word) != 0) {
      return nullptr;
    }
    offset = static_cast<std::size_t>(header.finalizing);
  } else if (Py_Version >> 16 == 0x030C) {
    // int _initialized, preinitializing, preinitialized, core_initialized,
    // initialized; then the finalising word.
    int flags[5] = {};  // NOLINT(cppcoreguidelines-avoid-c-arrays)
    std::memcpy(flags, runtime, sizeof flags);
    if (flags[0] != 1 || flags[1] != 0 || flags[2] != 1 || flags[3] != 1 || flags[4] != 1) return nullptr;
    constexpr std::size_t align = alignof(Word);
    offset = (sizeof flags + align - 1) / align * align;
  } else {
    return nullptr;
  }
  const Word* found = reinterpret_cast<const Word*>(runtime + offset);
  return found->load(std::memory_order_relaxed) == 0 ? found : nullptr;
}
#endif

// Called when the module is created, on a thread that holds the GIL.
inline void locate() noexcept {
  const Word* found = &never;
#if !defined(_WIN32)
  if (Py_Version < 0x030D0800) found = runtime_word();
#endif
  word.store(found, std::memory_order_relaxed);
}

// True while the calling thread cannot be one that the interpreter ends.
inline bool surely_not_ended() noexcept {
  const Word* current = word.load(std::memory_order_relaxed);
  return current != nullptr && current->load(std::memory_order_relaxed) == 0;
}

}  // namespace vd::finalizing
