// The module's function object type.
//
// A function object pairs a static `FunctionDef` (name, `def` line, parameter,
// C++ body) with the attributes that Python code expects of a function:
// `__name__`, `__qualname__`, `__module__`, `__doc__`, `__annotations__`,
// `__globals__`, `__code__`, `__defaults__`, `__kwdefaults__`, a writable
// `__dict__`, weak references, binding as a method, and pickling by name.
//
// Calls go through vectorcall. The entry point binds and checks the argument,
// runs the body, and turns a thrown `PyErrorSet` into a null return with one
// traceback entry at the line the body had reached (`Frame::line`).
#pragma once

#include "pycall.hpp"
#include "stack.hpp"
#include "traceback.hpp"

#include <array>
#include <exception>
#include <new>

namespace vd {

enum class Param { None, Str, List };

struct Frame;
using Body = Ref (*)(Frame&, PyObject* arg);

// One row of the function table. Rows name their fields; a function without
// a parameter leaves the parameter's three fields out, and the table numbers
// its rows (`owner`, see `numbered`).
struct FunctionDef {
  const char* name = nullptr;
  const char* qualified_name = nullptr;  // module name and function name joined by a dot
  int def_line = 0;
  const char* return_annotation = "str";
  std::array<const char*, 4> varnames{};  // the code object's local names, unused ones null
  vectorcallfunc vectorcall = nullptr;    // function_vectorcall<body>
  Param param = Param::None;
  const char* param_name = nullptr;
  const char* param_annotation = nullptr;
  int owner = 0;  // index into the traceback table, 1 to 12: the row's place in the table

  [[nodiscard]] constexpr int nvarnames() const noexcept {
    int n = 0;
    while (n < static_cast<int>(varnames.size()) && varnames[static_cast<std::size_t>(n)] != nullptr) ++n;
    return n;
  }
};

// The table with each row's `owner` set to its place, from 1.
template <std::size_t N>
constexpr std::array<FunctionDef, N> numbered(std::array<FunctionDef, N> table) {
  for (std::size_t i = 0; i < N; ++i) table[i].owner = static_cast<int>(i + 1);
  return table;
}

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* annotations;
  PyObject* globals;
  PyObject* code;
  PyObject* param_name;
  PyObject* dict;
  PyObject* weakreflist;
};

// Process-wide pieces the entry points need; filled by the module's exec slot.
struct Runtime {
  TracebackEntries tracebacks;
  PyObject* builtins = nullptr;       // the builtins module
  PyObject* add_note = nullptr;       // "add_note"
  PyObject* subclass_note = nullptr;  // the note for rejected subclass instances
};
inline Runtime runtime;

// Module-level name resolution at the moment of use: the module namespace,
// then the builtins module, else NameError. Returns null with the error set.
inline Ref lookup_global_or_null(PyObject* globals, PyObject* name) {
  PyObject* found = nullptr;
  const int present = namespace_get_ref(globals, name, &found);
  if (present > 0) return Ref::steal_or_null(found);
  if (present < 0) return Ref();
  if (PyObject* builtin = PyObject_GetAttr(runtime.builtins, name)) return Ref::steal_or_null(builtin);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
  PyErr_Clear();
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
  if (PyObject_SetAttrString(exc.get(), "name", name) < 0) PyErr_Clear();
  PyErr_SetRaisedException(exc.release());
  return Ref();
}

inline Ref lookup_global(PyObject* globals, PyObject* name) {
  Ref found = lookup_global_or_null(globals, name);
  if (!found) raise_current();
  return found;
}

// The state of one running call: which function, and the source line of the
// step in progress (the line a traceback entry reports).
struct Frame {
  FunctionObject* function = nullptr;
  int line = 0;
  bool traceback_added = false;

  void at(int source_line) noexcept {
    line = source_line;
    traceback_added = false;
  }
  [[nodiscard]] Ref global(PyObject* name) const { return lookup_global(function->globals, name); }
  [[nodiscard]] Ref global_or_null(PyObject* name) const {
    return lookup_global_or_null(function->globals, name);
  }
  // Adds the entry for the current line now (for exceptions that go on to a
  // handler inside the function, or that need a further entry beneath).
  void add_traceback() noexcept {
    runtime.tracebacks.add(function->def->owner, function->def->qualified_name, line, function->globals);
    traceback_added = true;
  }
};

namespace detail {

// Entering a module function: the C stack left on this thread, then the
// interpreter's recursion limit.
inline bool enter_recursive_call() noexcept {
  if (stack::left() == 0) {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object (the C stack is nearly full)");
    return false;
  }
  return Py_EnterRecursiveCall(" while calling a Python object") == 0;
}

inline void leave_recursive_call() noexcept { Py_LeaveRecursiveCall(); }

inline PyObject* bind_single(const FunctionDef& def, PyObject* param_name, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* value = nargs == 1 ? args[0] : nullptr;
  if (nargs <= 1 && kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, i);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
        return nullptr;
      }
      if (key != param_name && PyUnicode_Compare(key, param_name) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
        return nullptr;
      }
      if (value != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, key);
        return nullptr;
      }
      value = args[nargs + i];
    }
  }
  if (value != nullptr) return value;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name,
               "exactly", static_cast<Py_ssize_t>(1), "", nargs);
  return nullptr;
}

// The exact-type test of `path` (str) and `args` (list).
inline bool check_type(const FunctionDef& def, PyObject* value) noexcept {
  const bool is_str = def.param == Param::Str;
  if (is_str ? PyUnicode_CheckExact(value) : PyList_CheckExact(value)) return true;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               def.param_name, is_str ? "str" : "list", Py_TYPE(value)->tp_name);
  if (is_str ? PyUnicode_Check(value) : PyList_Check(value)) {
    Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
    Ref added = Ref::steal_or_null(PyObject_CallMethodOneArg(exc.get(), runtime.add_note, runtime.subclass_note));
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
  }
  return false;
}

}  // namespace detail

// The entry point of one function, with its body compiled into it: nested
// calls through replaced names (module, Python, module, ...) then cost one
// C frame of the module's per level, not three.
// Not `noexcept`: a thread that the interpreter ends while the body runs
// Python code must unwind through here (see pyref.hpp); every other C++
// exception stops here.
template <Body body>
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  using namespace detail;
  auto* self = reinterpret_cast<FunctionObject*>(callable);
  const FunctionDef& def = *self->def;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Frame frame{self, def.def_line};
  PyObject* arg = nullptr;
  if (def.param == Param::None) {
    // Raised before the function is entered: no traceback entry.
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() %s", def.name, "takes no keyword arguments");
      return nullptr;
    }
    if (nargs != 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", def.name, "takes no arguments", nargs);
      return nullptr;
    }
  } else {
    arg = bind_single(def, self->param_name, args, nargs, kwnames);
    if (arg == nullptr) {
      frame.add_traceback();
      return nullptr;
    }
    if (!check_type(def, arg)) return nullptr;
  }
  if (!enter_recursive_call()) return nullptr;
  PyObject* result = nullptr;
  try {
    result = body(frame, arg).release();
  } catch (const PyErrorSet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception&) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in valdrune_data.fingerprint");
  }
  leave_recursive_call();
  if (result == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    if (!frame.traceback_added) frame.add_traceback();
  }
  return result;
}

namespace detail {

// ---- the type's slots ------------------------------------------------------

inline FunctionObject* as_function(PyObject* obj) noexcept { return reinterpret_cast<FunctionObject*>(obj); }

inline int function_traverse(PyObject* obj, visitproc visit, void* arg) {
  FunctionObject* f = as_function(obj);
  Py_VISIT(Py_TYPE(obj));
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->doc);
  Py_VISIT(f->annotations);
  Py_VISIT(f->globals);
  Py_VISIT(f->code);
  Py_VISIT(f->param_name);
  Py_VISIT(f->dict);
  return 0;
}

inline int function_clear(PyObject* obj) {
  FunctionObject* f = as_function(obj);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->code);
  Py_CLEAR(f->param_name);
  Py_CLEAR(f->dict);
  return 0;
}

inline void function_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyObject_GC_UnTrack(obj);
  if (as_function(obj)->weakreflist != nullptr) PyObject_ClearWeakRefs(obj);
  function_clear(obj);
  type->tp_free(obj);
  Py_DECREF(type);
}

// A field's value as a strong reference, read inside the object's critical
// section (a setter on another thread may be replacing it).
inline PyObject* read_field(PyObject* obj, PyObject* const& field) {
  PyObject* value = nullptr;
  VD_BEGIN_CRITICAL_SECTION(obj);
  value = Py_NewRef(field != nullptr ? field : Py_None);
  VD_END_CRITICAL_SECTION();
  return value;
}

inline PyObject* function_repr(PyObject* obj) {
  Ref qualname = Ref::steal_or_null(read_field(obj, as_function(obj)->qualname));
  return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), obj);
}

// Bound as a method when found on an instance, like a Python function.
inline PyObject* function_descr_get(PyObject* obj, PyObject* instance, PyObject*) {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(obj);
  return PyMethod_New(obj, instance);
}

inline PyObject* function_reduce(PyObject* obj, PyObject*) { return read_field(obj, as_function(obj)->qualname); }

inline PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

template <std::size_t Offset>
PyObject* get_field(PyObject* obj, void*) {
  return read_field(obj, *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + Offset));
}

// Replaces a field inside the object's critical section; the old value is
// released after it, since releasing may run arbitrary code.
inline void replace_field(PyObject* obj, PyObject*& field, PyObject* value) {
  PyObject* old = nullptr;
  VD_BEGIN_CRITICAL_SECTION(obj);
  old = field;
  field = Py_NewRef(value);
  VD_END_CRITICAL_SECTION();
  Py_XDECREF(old);
}

// Setters for __name__ and __qualname__ (a str) and __annotations__ (a dict).
template <std::size_t Offset, bool IsDict>
int set_field(PyObject* obj, PyObject* value, void*) {
  const bool ok = value != nullptr && (IsDict ? PyDict_Check(value) : PyUnicode_Check(value));
  if (!ok) {
    PyErr_SetString(PyExc_TypeError, IsDict ? "__annotations__ must be set to a dict object"
                                            : "value must be set to a string object");
    return -1;
  }
  replace_field(obj, *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + Offset), value);
  return 0;
}

inline int set_doc(PyObject* obj, PyObject* value, void*) {
  replace_field(obj, as_function(obj)->doc, value != nullptr ? value : Py_None);
  return 0;
}

}  // namespace detail

inline PyTypeObject* make_function_type(PyObject* module) {
  using namespace detail;
  static PyMemberDef members[] = {
      {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
      {"__code__", Py_T_OBJECT_EX, offsetof(FunctionObject, code), Py_READONLY, nullptr},
      {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
      {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
      {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr},
  };
  static PyGetSetDef getset[] = {
      {"__name__", get_field<offsetof(FunctionObject, name)>, set_field<offsetof(FunctionObject, name), false>,
       nullptr, nullptr},
      {"__qualname__", get_field<offsetof(FunctionObject, qualname)>,
       set_field<offsetof(FunctionObject, qualname), false>, nullptr, nullptr},
      {"__doc__", get_field<offsetof(FunctionObject, doc)>, set_doc, nullptr, nullptr},
      {"__annotations__", get_field<offsetof(FunctionObject, annotations)>,
       set_field<offsetof(FunctionObject, annotations), true>, nullptr, nullptr},
      {"__defaults__", get_none, nullptr, nullptr, nullptr},
      {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
      {"__closure__", get_none, nullptr, nullptr, nullptr},
      {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static PyMethodDef methods[] = {
      {"__reduce__", function_reduce, METH_NOARGS, nullptr},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
      {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
      {Py_tp_members, members},
      {Py_tp_getset, getset},
      {Py_tp_methods, methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      "valdrune_data.fingerprint.compiled_function",
      sizeof(FunctionObject),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
          Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  return reinterpret_cast<PyTypeObject*>(Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr)).release());
}

// Creates the function object for `def`; every reference argument is borrowed.
// `__module__` is not stored per function: it is the type's own, the module's
// name, so that `type(f).__module__` is that string too; assigning it on a
// function stores the new value in the function's `__dict__`.
inline Ref make_function(PyTypeObject* type, const FunctionDef& def, PyObject* globals, PyObject* code,
                         PyObject* annotations) {
  Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
  Ref param = def.param_name != nullptr ? Ref::steal(PyUnicode_InternFromString(def.param_name)) : Ref();
  auto* f = PyObject_GC_New(FunctionObject, type);
  if (f == nullptr) raise_current();
  f->vectorcall = def.vectorcall;
  f->def = &def;
  f->qualname = name.copy().release();
  f->name = name.release();
  f->doc = Py_NewRef(Py_None);
  f->annotations = Py_NewRef(annotations);
  f->globals = Py_NewRef(globals);
  f->code = Py_NewRef(code);
  f->param_name = param.release();
  f->dict = nullptr;
  f->weakreflist = nullptr;
  PyObject_GC_Track(f);
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace vd
