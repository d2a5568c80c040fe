// Thin throwing wrappers over the C API's attribute, call and truth protocols.
// Each returns an owned `Ref` or throws `PyErrorSet` (see pyref.hpp).
#pragma once

#include "pyref.hpp"

#include <array>
#include <initializer_list>

namespace vd {

inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// callable(*args): positional arguments only.
template <typename... Args>
Ref call(PyObject* callable, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> argv{nullptr, args...};
  return Ref::steal(PyObject_Vectorcall(callable, argv.data() + 1,
                                        sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **dict(zip(kwnames, kwvalues))), with `kwnames` a
// prebuilt tuple whose order is the order in which the keywords are passed.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional,
                   std::initializer_list<PyObject*> kwvalues, PyObject* kwnames) {
  std::array<PyObject*, 8> argv{};
  std::size_t n = 1;
  for (PyObject* arg : positional) argv[n++] = arg;
  for (PyObject* arg : kwvalues) argv[n++] = arg;
  return Ref::steal(PyObject_Vectorcall(callable, argv.data() + 1,
                                        positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// self.name(*args): the method-call protocol (attribute look-up, then call).
template <typename... Args>
Ref call_method(PyObject* self, PyObject* name, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> argv{self, args...};
  return Ref::steal(PyObject_VectorcallMethod(name, argv.data(), argv.size(), nullptr));
}

// self.name(*positional, **keywords) with a prebuilt keyword-name tuple.
inline Ref call_method_kw(PyObject* self, PyObject* name, std::initializer_list<PyObject*> positional,
                          std::initializer_list<PyObject*> kwvalues, PyObject* kwnames) {
  std::array<PyObject*, 8> argv{self};
  std::size_t n = 1;
  for (PyObject* arg : positional) argv[n++] = arg;
  for (PyObject* arg : kwvalues) argv[n++] = arg;
  return Ref::steal(PyObject_VectorcallMethod(name, argv.data(), 1 + positional.size(), kwnames));
}

// The truth value, as `if obj:` takes it.
inline bool truth(PyObject* obj) {
  const int result = PyObject_IsTrue(obj);
  if (result < 0) raise_current();
  return result != 0;
}

inline bool contains(PyObject* container, PyObject* item) {
  const int result = PySequence_Contains(container, item);
  if (result < 0) raise_current();
  return result != 0;
}

// The check made before a value annotated "str" is returned: exactly a str,
// or None; anything else (a subclass of str included) is a TypeError.
// Returns false with the TypeError set.
inline bool str_result_ok(PyObject* value) noexcept {
  if (PyUnicode_CheckExact(value) || value == Py_None) return true;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value)->tp_name);
  return false;
}

inline void check_str_result(PyObject* value) {
  if (!str_result_ok(value)) raise_current();
}

}  // namespace vd
