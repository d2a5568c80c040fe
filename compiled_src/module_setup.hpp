// The module's creation and execution: its constants, code objects and
// function objects, the standard modules it imports into its namespace, the
// store's own functions, and the rule that one interpreter at a time owns the
// process-wide state (a new one only after the old one was finalised).
#pragma once

#include "module_state.hpp"
#include "pyfunction.hpp"
#include "store.hpp"

#include <array>
#include <cstdio>

namespace vd {

// The code object of a function: file, name and first line from the table,
// argument count, local names and plain-function flags; bytecode, line table
// and stack size come from the interpreter's own empty code object, so that
// the object stays valid on every interpreter version.
inline Ref make_code(const FunctionDef& def) {
  Ref tmpl = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, def.name, def.def_line)));
  Ref varnames = Ref::steal(PyTuple_New(def.nvarnames()));
  for (int i = 0; i < def.nvarnames(); ++i) {
    PyTuple_SET_ITEM(varnames.get(), i, Ref::steal(PyUnicode_InternFromString(def.varnames[static_cast<std::size_t>(i)])).release());
  }
  Ref argcount = Ref::steal(PyLong_FromLong(def.param == Param::None ? 0 : 1));
  Ref nlocals = Ref::steal(PyLong_FromLong(def.nvarnames()));
  Ref flags = Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
  Ref kwnames = make_tuple({S.co_argcount, S.co_nlocals, S.co_varnames, S.co_flags});
  Ref replace = getattr(tmpl.get(), S.replace_);
  return call_kw(replace.get(), {}, {argcount.get(), nlocals.get(), varnames.get(), flags.get()}, kwnames.get());
}

inline Ref make_annotations(const FunctionDef& def) {
  Ref annotations = Ref::steal(PyDict_New());
  auto set = [&](const char* key, const char* value) {
    Ref k = Ref::steal(PyUnicode_InternFromString(key));
    Ref v = Ref::steal(PyUnicode_InternFromString(value));
    if (PyDict_SetItem(annotations.get(), k.get(), v.get()) < 0) raise_current();
  };
  if (def.param_name != nullptr) set(def.param_name, def.param_annotation);
  set("return", def.return_annotation);
  return annotations;
}

// Whether a name without a leading underscore can be an attribute of the
// module type itself (or of object): if none is, such a name on an exact
// module is found only in its namespace.
inline bool module_type_has_public_attributes() {
  for (PyTypeObject* type : {&PyModule_Type, &PyBaseObject_Type}) {
    Ref dict = Ref::steal(PyType_GetDict(type));
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(dict.get(), &position, &key, &value)) {
      if (!PyUnicode_Check(key) || PyUnicode_GET_LENGTH(key) == 0 || PyUnicode_READ_CHAR(key, 0) != '_') return true;
    }
  }
  return false;
}

inline void set_up_fast_paths() {
  const std::array<PyObject*, 2> names{S.strip, S.lower};
  for (std::size_t i = 0; i < names.size(); ++i) {
    fast.str_methods[i] = getattr(reinterpret_cast<PyObject*>(&PyUnicode_Type), names[i]).release();
    fast.str_method_names[i] = names[i];
  }
  fast.module_namespace = !module_type_has_public_attributes();
  watch_namespaces();
}

// The string and integer constants (exec step 4); made once per process.
inline void create_constants() {
  Constants& c = g.c;
#define VD_CREATE(id, literal) c.s.id = Ref::steal(PyUnicode_InternFromString(literal)).release();
  VD_STRINGS(VD_CREATE)
#undef VD_CREATE
  c.zero = Ref::steal(PyLong_FromLong(0)).release();
  c.one = Ref::steal(PyLong_FromLong(1)).release();
  c.four = Ref::steal(PyLong_FromLong(4)).release();
  c.eight = Ref::steal(PyLong_FromLong(8)).release();
  c.poll_seconds = Ref::steal(PyFloat_FromDouble(0.01)).release();
  c.empty_tuple = Ref::steal(PyTuple_New(0)).release();
  c.empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0)).release();
  c.empty_str = Ref::steal(PyUnicode_New(0, 0)).release();
  c.subclass_note = Ref::steal(PyUnicode_FromString(
      "Note: subclasses of built-in types are rejected here, more strictly than PEP 484 requires.")).release();
  c.from_list_path = new_list({c.s.Path}).release();
  c.kw_encoding = make_tuple({c.s.encoding}).release();
  c.kw_run = make_tuple({c.s.capture_output, c.s.text, c.s.timeout, c.s.check, c.s.stdin_}).release();
  c.kw_mkdir = make_tuple({c.s.parents, c.s.exist_ok}).release();
  c.kw_missing_ok = make_tuple({c.s.missing_ok}).release();
  runtime.add_note = c.s.add_note;
  runtime.subclass_note = c.subclass_note;
  set_up_fast_paths();
}

// The constant tuples, the function type and the code objects (exec step 6).
inline void create_tuples_and_code(PyObject* module, const std::array<FunctionDef, 12>& functions) {
  Constants& c = g.c;
  c.exit_args = make_tuple({Py_None, Py_None, Py_None}).release();
  c.linux_paths = make_tuple({S.etc_machine_id, S.dbus_machine_id, S.product_uuid}).release();
  c.function_type = make_function_type(module);
  for (std::size_t i = 0; i < functions.size(); ++i) c.code[i] = make_code(functions[i]).release();
}

inline void set_global(PyObject* name, PyObject* value) {
  if (PyDict_SetItem(g.globals, name, value) < 0) raise_current();
}

// `from pathlib import Path` (exec line 9).
inline Ref import_path_class() {
  PyObject* modules = PyImport_GetModuleDict();
  Ref pathlib = PyDict_Check(modules) ? Ref::dict_item(modules, S.pathlib) : Ref();
  if (pathlib && pathlib.get() != Py_None) {
    Ref probe = Ref::steal_or_null(PyObject_GetAttr(pathlib.get(), S.Path));
    if (!probe) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
      PyErr_Clear();
      pathlib = Ref();
    }
  } else {
    pathlib = Ref();
  }
  if (!pathlib) pathlib = import_module(S.pathlib, g.c.from_list_path);
  if (Ref path = Ref::steal_or_null(PyObject_GetAttr(pathlib.get(), S.Path))) return path;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
  PyErr_Clear();
  Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", S.pathlib, S.Path));
  if (Ref found = PyDict_Check(modules) ? Ref::dict_item(modules, full_name.get()) : Ref()) return found;
  PyErr_Format(PyExc_ImportError, "cannot import name %S", S.Path);
  raise_current();
}

// The key under which the exec slot marks the interpreter that owns the
// module's state. The interpreter's dict dies with the interpreter, so an
// interpreter that lacks the mark while the state exists is a new one that an
// embedding application initialised after finalising the old one (it gets the
// same identifier).
inline constexpr const char* kOwnerMark = "valdrune_data.fingerprint";

inline bool state_belongs_to(PyInterpreterState* interpreter) {
  PyObject* dict = PyInterpreterState_GetDict(interpreter);
  if (dict == nullptr) return true;  // no such dict: nothing to tell
  Ref key = Ref::steal(PyUnicode_FromString(kOwnerMark));
  const int marked = PyDict_Contains(dict, key.get());
  if (marked < 0) raise_current();
  return marked != 0;
}

// Everything the state refers to died with the old interpreter: drop it all
// without touching it, so that this import builds a fresh module.
inline void forget_finalised_interpreter() noexcept {
  g = State{};
  store_os = StoreOs{};
  runtime.tracebacks.forget();
  runtime.builtins = runtime.add_note = runtime.subclass_note = nullptr;
  fast = FastPaths{};
  namespaces = NamespaceCache{};
}

inline void mark_owner(PyInterpreterState* interpreter) {
  PyObject* dict = PyInterpreterState_GetDict(interpreter);
  if (dict != nullptr && PyDict_SetItemString(dict, kOwnerMark, Py_True) < 0) raise_current();
}

// The module slots are not `noexcept`: the imports they run execute Python
// code, which a thread ended by the interpreter unwinds through.
inline PyObject* module_create(PyObject* spec, PyModuleDef*) {
  try {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const int64_t current = PyInterpreterState_GetID(interpreter);
    if (current == -1) raise_current();
    if (g.interpreter_id == current && g.module != nullptr && !state_belongs_to(interpreter)) {
      forget_finalised_interpreter();
    }
    if (g.interpreter_id == -1) {
      g.interpreter_id = current;
    } else if (g.interpreter_id != current) {
      PyErr_SetString(PyExc_ImportError,
                      "Interpreter change detected - this module can only be loaded into one interpreter per "
                      "process.");
      raise_current();
    }
    if (g.module != nullptr) return Py_NewRef(g.module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    PyObject* dict = PyModule_GetDict(module.get());
    struct Copy {
      const char* from;
      const char* to;
      bool none_copied;
    };
    static constexpr std::array<Copy, 4> copies{{
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    }};
    for (const Copy& copy : copies) {
      Ref value = Ref::steal_or_null(PyObject_GetAttrString(spec, copy.from));
      if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
        PyErr_Clear();
        continue;
      }
      if (value.get() == Py_None && !copy.none_copied) continue;
      if (PyDict_SetItemString(dict, copy.to, value.get()) < 0) raise_current();
    }
    return module.release();
  } catch (const PyErrorSet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

inline void module_exec_steps(PyObject* module, int& line, const std::array<FunctionDef, 12>& functions) {
  // 2. Record the module and its namespace; bind __builtins__.
  g.module = Py_NewRef(module);
  g.globals = PyModule_GetDict(module);
  if (runtime.builtins == nullptr) runtime.builtins = Ref::steal(PyImport_ImportModule("builtins")).release();
  if (PyDict_SetItemString(g.globals, "__builtins__", runtime.builtins) < 0) raise_current();
  // 3. Version check.
  const int major = static_cast<int>((Py_Version >> 24) & 0xff);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
  if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "valdrune_data.fingerprint", "does not match", major, minor);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) raise_current();
  }
  // 4. Constants.
  if (!g.c.strings_ready) {
    create_constants();
    g.c.strings_ready = true;
  }
  line = 1;
  // 5. Register in sys.modules unless an entry of that name exists.
  PyObject* modules = PyImport_GetModuleDict();
  const int present = PyDict_Contains(modules, S.module_name);
  if (present < 0) raise_current();
  if (present == 0 && PyDict_SetItem(modules, S.module_name, module) < 0) raise_current();
  // 6. Constant tuples and code objects.
  if (!g.c.code_ready) {
    create_tuples_and_code(module, functions);
    g.c.code_ready = true;
  }
  // 7. Imports.
  const std::array<PyObject*, 6> plain{S.hashlib, S.os, S.platform, S.re, S.subprocess, S.uuid};
  for (std::size_t i = 0; i < plain.size(); ++i) {
    line = 3 + static_cast<int>(i);
    set_global(plain[i], import_module(plain[i]).get());
  }
  line = 9;
  set_global(S.Path, import_path_class().get());
  // 8. The functions, in table order.
  for (std::size_t i = 0; i < functions.size(); ++i) {
    const FunctionDef& def = functions[i];
    line = def.def_line;
    Ref annotations = make_annotations(def);
    Ref function = make_function(g.c.function_type, def, g.globals, g.c.code[i], annotations.get());
    set_global(reinterpret_cast<FunctionObject*>(function.get())->name, function.get());
  }
  // 9. __test__.
  line = 1;
  set_global(S.dunder_test, Ref::steal(PyDict_New()).get());
  // The store's private functions.
  if (!store_os.ready) {
    load_store_os();
    store_os.ready = true;
  }
  // The interpreter that owns the state.
  mark_owner(PyInterpreterState_Get());
}

inline int module_exec(PyObject* module, const std::array<FunctionDef, 12>& functions) {
  // 1. A second execution on the same module is a no-op.
  if (g.module != nullptr) {
    if (g.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'fingerprint' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  int line = 0;  // stays 0 until the namespace and the string constants exist
  try {
    module_exec_steps(module, line, functions);
    return 0;
  } catch (const PyErrorSet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  if (line > 0 && PyErr_Occurred()) runtime.tracebacks.add(0, "init valdrune_data.fingerprint", line, g.globals);
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init valdrune_data.fingerprint");
  Py_CLEAR(g.module);
  g.globals = nullptr;
  return -1;
}

}  // namespace vd
