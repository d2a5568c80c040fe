// Look-ups in module namespaces, remembered until a namespace changes.
//
// Every function looks up its globals, and the attributes of the modules it
// uses, at the moment of use: replacing one changes what the next call does.
// With a GIL, a value found in a dict stays in it, and alive, until the dict
// changes, and a dict watcher (public API since 3.12) is told of every change
// to a watched dict before it is made: adding, replacing or deleting an entry,
// clearing, updating from another dict, deallocating. So a look-up can be
// remembered as a borrowed pointer until then. Any change to any watched dict
// forgets every remembered look-up: module namespaces rarely change once
// imported, and a change costs one increment.
//
// Free-threaded builds look up every time: another thread may change a dict
// between the check and the use. So does an interpreter whose watcher slots
// are all taken.
#pragma once

#include "pyref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace vd {

struct NamespaceCache {
  struct Entry {
    PyObject* dict = nullptr;
    PyObject* name = nullptr;
    PyObject* value = nullptr;  // borrowed from `dict`
    std::uint64_t generation = 0;
  };
  int watcher = -1;              // the interpreter's watcher id, -1 for none
  std::uint64_t generation = 1;  // entries of an older generation are forgotten
  std::array<Entry, 64> entries{};
};
inline NamespaceCache namespaces;

namespace detail {

inline int namespace_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  ++namespaces.generation;
  return 0;
}

inline std::size_t namespace_slot(PyObject* dict, PyObject* name) noexcept {
  const auto mixed = (reinterpret_cast<std::uintptr_t>(name) >> 4) ^ (reinterpret_cast<std::uintptr_t>(dict) >> 6);
  return static_cast<std::size_t>(mixed) % std::tuple_size_v<decltype(NamespaceCache::entries)>;
}

}  // namespace detail

// Registers the watcher in the current interpreter (exec slot). Without one
// (free-threaded, or no slot left), look-ups are not remembered.
inline void watch_namespaces() noexcept {
  namespaces = NamespaceCache{};
#if !defined(Py_GIL_DISABLED)
  namespaces.watcher = PyDict_AddWatcher(detail::namespace_changed);
  if (namespaces.watcher < 0) PyErr_Clear();
#endif
}

// dict[name] as a strong reference in `*found`: 1 found, 0 absent, -1 with an
// error set (as dict_get_ref). `name` is one of the module's interned names.
inline int namespace_get_ref(PyObject* dict, PyObject* name, PyObject** found) noexcept {
#if defined(Py_GIL_DISABLED)
  return dict_get_ref(dict, name, found);
#else
  if (namespaces.watcher < 0) return dict_get_ref(dict, name, found);
  NamespaceCache::Entry& entry = namespaces.entries[detail::namespace_slot(dict, name)];
  if (entry.dict == dict && entry.name == name && entry.generation == namespaces.generation) {
    *found = Py_NewRef(entry.value);
    return 1;
  }
  // A key's __eq__ run by the look-up may change a watched dict: the entry
  // then belongs to the generation before, and is forgotten.
  const std::uint64_t before = namespaces.generation;
  const int present = dict_get_ref(dict, name, found);
  if (present <= 0) return present;
  if (PyDict_Watch(namespaces.watcher, dict) == 0) {
    entry = {dict, name, *found, before};
  } else {
    PyErr_Clear();
  }
  return 1;
#endif
}

}  // namespace vd
