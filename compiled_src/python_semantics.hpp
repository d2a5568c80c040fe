// Python's semantics where the module's functions need them written out: an
// `or` chain over calls, the special-method look-up of a `with` statement, the
// unpacking of two values, an f-string's replacement field.
#pragma once

#include "module_state.hpp"
#include "pyfunction.hpp"

#include <initializer_list>
#include <utility>

namespace vd {

// `expr or expr or ...` over calls of module functions, by name: the first
// truthy result, else the last result whatever it is; only that one checked.
inline Ref first_truthy(Frame& f, std::initializer_list<PyObject*> names) {
  std::size_t left = names.size();
  for (PyObject* name : names) {
    Ref result = call(f.global(name).get());
    if (--left == 0 || truth(result.get())) return checked(std::move(result));
  }
  return empty_str();  // not reached: every chain names at least one function
}

// The type's method resolution order, held: a look-up may run code that
// replaces it, and without a GIL another thread may assign `__bases__` and
// free the tuple that `tp_mro` points at between reading and holding it. The
// getter of `type.__mro__` (from the type of types itself, which no metaclass
// overrides) hands it out under the type's own lock.
inline Ref type_mro(PyObject* type) {
  Ref type_dict = Ref::steal(PyType_GetDict(&PyType_Type));
  Ref getter = Ref::dict_item(type_dict.get(), S.dunder_mro);
  if (!getter || Py_TYPE(getter.get())->tp_descr_get == nullptr) {
    PyErr_SetString(PyExc_SystemError, "type.__mro__ has no getter");
    raise_current();
  }
  Ref mro = Ref::steal(
      Py_TYPE(getter.get())->tp_descr_get(getter.get(), type, reinterpret_cast<PyObject*>(Py_TYPE(type))));
  return PyTuple_CheckExact(mro.get()) ? std::move(mro) : Ref();  // None before the type is ready
}

// The special-method look-up of a `with` statement: on the type, then bound.
inline Ref lookup_special(PyObject* obj, PyObject* name) {
  Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  Ref mro = type_mro(type.get());
  const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro.get()) : 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
    Ref found = Ref::dict_item(dict.get(), name);
    if (!found) continue;
    if (descrgetfunc bind = Py_TYPE(found.get())->tp_descr_get) {
      return Ref::steal(bind(found.get(), obj, type.get()));
    }
    return found;
  }
  return Ref();
}

// `first, second = value`, keeping the first item.
inline Ref unpack_two_first(PyObject* value) {
  if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
    if (n == 2) return Ref::steal(PySequence_GetItem(value, 0));  // a list may change meanwhile
    if (n < 2) {
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
    } else {
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
    }
    raise_current();
  }
  Ref it = Ref::steal(PyObject_GetIter(value));
  Ref items[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    items[i] = Ref::steal_or_null(PyIter_Next(it.get()));
    if (!items[i]) {
      if (PyErr_Occurred()) raise_current();
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
      raise_current();
    }
  }
  Ref extra = Ref::steal_or_null(PyIter_Next(it.get()));
  if (extra) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    raise_current();
  }
  if (PyErr_Occurred()) raise_current();
  return std::move(items[0]);
}

// f"{value}": a str unchanged, an int or float by its repr, else format().
inline Ref format_field(PyObject* value) {
  if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
  if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) return Ref::steal(PyObject_Repr(value));
  return Ref::steal(PyObject_Format(value, g.c.empty_str));
}

}  // namespace vd
