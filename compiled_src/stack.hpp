// How much C stack the calling thread has left.
//
// Calls that nest through replaced names (module, Python, module, ...) grow
// the C stack by several hundred bytes a level. Before 3.14 the interpreter's
// recursion limit counts levels, not bytes, so on a thread with a small stack
// (256 KiB is common for threads that an application sizes itself) such a
// chain overflows the stack long before the limit. Each call of a module
// function therefore checks the bytes left below it against a margin, which
// covers everything one level and the work at the bottom of the chain can use,
// and raises RecursionError where too few are left. From 3.14 on the
// interpreter checks the stack too, but only close to its end, and inside the
// standard library's code it then reports a RecursionError raised while an
// `except` clause is matched as ignored and lets the original exception
// through, which the module would absorb as an ordinary failure: there the
// module's margin is wider than the interpreter's, so that its calls stop
// first.
//
// The stack's bounds come from the platform, once per thread: pthread on Linux
// and macOS, the thread's limits on Windows. Where they cannot be had, there
// is no check beyond the interpreter's; nor is there where the caller runs on
// a stack of its own (a fiber, a coroutine library's stack, an embedding
// application's makecontext): a frame outside the thread's bounds says that
// they are not this stack's, never that it is full.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
extern "C" __declspec(dllimport) void __stdcall GetCurrentThreadStackLimits(std::uintptr_t* low_limit,
                                                                            std::uintptr_t* high_limit);
#elif defined(__APPLE__) || defined(__linux__)
#include <pthread.h>
#endif

// glibc gave these two functions new symbol versions in 2.32 and 2.34 (when
// libpthread moved into libc) without changing them: both versions name the
// same code. Binding to the first versions keeps the module loadable on every
// glibc that the manylinux wheels promise, not only on 2.34 and later.
#if defined(__linux__) && defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__linux__) && defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

namespace vd::stack {

#if PY_VERSION_HEX >= 0x030E0000
// 3.14 stops up to 64 KiB before the end (twice its stack margin): the module
// stops another 64 KiB before that, at most half the stack.
inline constexpr std::uintptr_t kMargin = std::uintptr_t{128} * 1024;
inline constexpr std::uintptr_t kShareOfStack = 2;
#else
inline constexpr std::uintptr_t kMargin = std::uintptr_t{64} * 1024;
inline constexpr std::uintptr_t kShareOfStack = 4;
#endif

struct Bounds {
  std::uintptr_t low = 0;     // the lowest usable address; 0 where unknown
  std::uintptr_t high = 0;    // one past the highest
  std::uintptr_t margin = 0;  // kMargin, or less on a small stack
};

inline Bounds query_bounds() noexcept {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
#if defined(_WIN32)
  GetCurrentThreadStackLimits(&low, &high);
#elif defined(__APPLE__)
  high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(pthread_self()));
  low = high - pthread_get_stacksize_np(pthread_self());
#elif defined(__linux__)
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    void* address = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &address, &size) == 0) {
      low = reinterpret_cast<std::uintptr_t>(address);
      high = low + size;
    }
    pthread_attr_destroy(&attributes);
  }
#endif
  if (low == 0 || high <= low) return {};
  const std::uintptr_t share = (high - low) / kShareOfStack;
  return {low, high, share < kMargin ? share : kMargin};
}

// What a thread knows of its stack: zero-initialised thread-local data, so
// that each access is one look-up of the thread's block, with no guard
// variable or wrapper function; filled on the thread's first call.
struct ThreadStack {
  Bounds bounds;
  bool queried = false;
};

// Out of line, so that the common path saves no registers for it.
#if defined(__GNUC__)
[[gnu::noinline, gnu::cold]]
#endif
inline void query(ThreadStack& stack) noexcept {
  stack.bounds = query_bounds();
  stack.queried = true;
}

// The bytes left below the caller's frame, or SIZE_MAX where unknown (no
// bounds, or a frame outside them: another stack than the thread's).
inline std::size_t left() noexcept {
  thread_local ThreadStack this_thread;
  ThreadStack& stack = this_thread;
  if (!stack.queried) [[unlikely]] query(stack);
  const Bounds bounds = stack.bounds;
  char here = 0;
  const auto address = reinterpret_cast<std::uintptr_t>(&here);
  if (address < bounds.low || address >= bounds.high) return SIZE_MAX;
  return address > bounds.low + bounds.margin ? static_cast<std::size_t>(address - bounds.low - bounds.margin) : 0;
}

}  // namespace vd::stack
