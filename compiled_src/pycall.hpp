// Thin throwing wrappers over the C API's attribute, call and truth protocols.
// Each returns an owned `Ref` or throws `PyErrorSet` (see pyref.hpp).
#pragma once

#include "namespaces.hpp"
#include "pyref.hpp"

#include <array>
#include <initializer_list>

namespace vd {

// Shortcuts that skip the generic protocols where they cannot differ from
// them; set up by the module's exec slot (and forgotten with its interpreter).
struct FastPaths {
  // No attribute of the module type (or of object) has a name without a
  // leading underscore, so such a name on an exact module can only be found in
  // the module's namespace: checked at initialisation.
  bool module_namespace = false;
  // str.strip and str.lower, by their interned names, as the type's method
  // descriptors: the methods that `s.strip()` finds on an exact str (the type
  // is immutable and an exact str has no instance dict).
  std::array<PyObject*, 2> str_method_names{};
  std::array<PyObject*, 2> str_methods{};
};
inline FastPaths fast;

namespace detail {

// A public name in an exact module's namespace: 1 with the object found
// there (a new reference), 0 for "look it up the generic way" (a miss goes
// on to the module's __getattr__ and AttributeError), -1 with an error set.
inline int module_entry(PyObject* obj, PyObject* name, PyObject** found) {
  *found = nullptr;
  if (!fast.module_namespace || !PyModule_CheckExact(obj) || PyUnicode_GET_LENGTH(name) == 0 ||
      PyUnicode_READ_CHAR(name, 0) == '_') {
    return 0;
  }
  return namespace_get_ref(PyModule_GetDict(obj), name, found);
}

inline PyObject* str_method_or_null(PyObject* self, PyObject* name) noexcept {
  if (!PyUnicode_CheckExact(self)) return nullptr;
  for (std::size_t i = 0; i < fast.str_methods.size(); ++i) {
    if (fast.str_method_names[i] == name) return fast.str_methods[i];
  }
  return nullptr;
}

}  // namespace detail

// callable(*args, **kwargs) in the vectorcall convention. The callee's own
// vectorcall slot is called directly where its type has one; a callable
// without one (a METH_VARARGS builtin, a class without vectorcall) takes
// PyObject_Vectorcall, which goes through tp_call.
inline PyObject* vectorcall_or_null(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                                    PyObject* kwnames) {
  vectorcallfunc function = PyVectorcall_Function(callable);
  if (function == nullptr) return PyObject_Vectorcall(callable, args, nargsf, kwnames);
  PyObject* result = function(callable, args, nargsf, kwnames);
  if (result == nullptr && !PyErr_Occurred()) {
    PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", callable);
  }
  return result;
}

// self.name(*args) in the vectorcall convention, `args[0]` being self and
// `nargsf` counting it; null with the error set.
inline PyObject* method_call_or_null(PyObject* name, PyObject* const* args, std::size_t nargsf,
                                     PyObject* kwnames) {
  PyObject* self = args[0];
  if (PyObject* method = detail::str_method_or_null(self, name)) {
    return vectorcall_or_null(method, args, nargsf, kwnames);
  }
  PyObject* function = nullptr;
  const int entry = detail::module_entry(self, name, &function);
  if (entry < 0) return nullptr;
  if (entry > 0) {
    Ref held = Ref::steal_or_null(function);
    const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)) - 1;
    return vectorcall_or_null(function, args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
  }
  return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
}

inline Ref getattr(PyObject* obj, PyObject* name) {
  PyObject* found = nullptr;
  const int entry = detail::module_entry(obj, name, &found);
  if (entry < 0) raise_current();
  return Ref::steal(entry > 0 ? found : PyObject_GetAttr(obj, name));
}

// callable(*args): positional arguments only.
template <typename... Args>
Ref call(PyObject* callable, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> argv{nullptr, args...};
  return Ref::steal(vectorcall_or_null(callable, argv.data() + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       nullptr));
}

// The arguments of a vectorcall with keywords, after one free slot: `first`
// (a callable's slot, which the callee may use; or `self`), the positional
// arguments, then the keyword values.
struct KeywordArgs {
  std::array<PyObject*, 8> argv{};
  std::size_t positional = 0;
  KeywordArgs(PyObject* first, std::initializer_list<PyObject*> args, std::initializer_list<PyObject*> kwvalues)
      : argv{first}, positional(args.size()) {
    std::size_t n = 1;
    for (PyObject* arg : args) argv[n++] = arg;
    for (PyObject* arg : kwvalues) argv[n++] = arg;
  }
};

// callable(*positional, **dict(zip(kwnames, kwvalues))), with `kwnames` a
// prebuilt tuple whose order is the order in which the keywords are passed.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional,
                   std::initializer_list<PyObject*> kwvalues, PyObject* kwnames) {
  KeywordArgs args(nullptr, positional, kwvalues);
  return Ref::steal(vectorcall_or_null(callable, args.argv.data() + 1, args.positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       kwnames));
}

// self.name(*args): the method-call protocol (attribute look-up, then call).
template <typename... Args>
Ref call_method(PyObject* self, PyObject* name, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> argv{self, args...};
  return Ref::steal(method_call_or_null(name, argv.data(), argv.size(), nullptr));
}

// self.name(*positional, **keywords), the keyword names in `kwnames`.
inline Ref call_method_kw(PyObject* self, PyObject* name, std::initializer_list<PyObject*> positional,
                          std::initializer_list<PyObject*> kwvalues, PyObject* kwnames) {
  KeywordArgs args(self, positional, kwvalues);
  return Ref::steal(method_call_or_null(name, args.argv.data(), 1 + args.positional, kwnames));
}

// The truth value, as `if obj:` takes it.
inline bool truth(PyObject* obj) {
  const int result = PyObject_IsTrue(obj);
  if (result < 0) raise_current();
  return result != 0;
}

// `left == right`, then its truth value. Two exact str compare equal exactly
// when their characters do, which is what str.__eq__ would answer.
inline bool equal(PyObject* left, PyObject* right) {
  if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) return PyUnicode_Compare(left, right) == 0;
  return truth(Ref::steal(PyObject_RichCompare(left, right, Py_EQ)).get());
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
