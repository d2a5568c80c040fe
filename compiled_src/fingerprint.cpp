// valdrune_data.fingerprint: a stable per-machine fingerprint.
//
// build_device_fingerprint() hashes the lowercased system name, the lowercased
// machine type and the operating system's own identifier of the machine (or a
// random identifier persisted under the user's home). Every access to the
// operating system goes through the Python standard library, reached through
// the module namespace at the moment of use, so that replacing a module
// attribute changes what the next call does.
//
// The twelve functions below stand in the order in which they are bound into
// the module. Each sets `f.at(line)` before a step; the line is what a
// traceback entry reports when that step raises.

#include "pyfunction.hpp"
#include "module_state.hpp"
#include "store.hpp"

#include <cstdio>

namespace vd {
namespace {

// `expr or expr or ...` over calls of module functions, by name: the first
// truthy result, else the last result whatever it is; only that one checked.
Ref first_truthy(Frame& f, std::initializer_list<PyObject*> names) {
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
Ref type_mro(PyObject* type) {
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
Ref lookup_special(PyObject* obj, PyObject* name) {
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
Ref unpack_two_first(PyObject* value) {
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

// ---- 1. _safe_read ---------------------------------------------------------

// The guarded region is written as a chain of steps that stop at the first
// null, without throwing: a missing file is this function's common failure,
// and absorbing it should cost no more than the failed open itself.
Ref _safe_read(Frame& f, PyObject* path) {
  f.at(14);
  Ref path_class = f.global_or_null(S.Path);
  Ref path_obj = path_class ? Ref::steal_or_null(vectorcall_or_null(path_class.get(), &path, 1, nullptr)) : Ref();
  Ref text;
  if (path_obj) {
    std::array<PyObject*, 2> argv{path_obj.get(), S.utf_8};
    text = Ref::steal_or_null(method_call_or_null(S.read_text, argv.data(), 1, g.c.kw_encoding));
  }
  PyObject* text_arg = text.get();
  Ref stripped = text ? Ref::steal_or_null(method_call_or_null(S.strip, &text_arg, 1, nullptr)) : Ref();
  if (stripped && str_result_ok(stripped.get())) return stripped;
  if (!raising_ordinary_exception()) raise_current();
  PyErr_Clear();
  return empty_str();
}

// ---- 2. _run_command -------------------------------------------------------

Ref _run_command(Frame& f, PyObject* args) {
  Ref completed;
  try {
    f.at(21);
    Ref run = getattr(f.global(S.subprocess).get(), S.run);
    // The child gets no standard input: it must not consume the caller's.
    Ref devnull = getattr(f.global(S.subprocess).get(), S.DEVNULL);
    completed = call_kw(run.get(), {args}, {Py_True, Py_True, g.c.four, Py_False, devnull.get()}, g.c.kw_run);
  } catch (const PyErrorSet&) {
    if (!raising_ordinary_exception()) throw;
    PyErr_Clear();
    return empty_str();
  }
  f.at(24);
  Ref returncode = getattr(completed.get(), S.returncode);
  if (truth(Ref::steal(PyObject_RichCompare(returncode.get(), g.c.zero, Py_NE)).get())) return empty_str();
  f.at(26);
  Ref output = getattr(completed.get(), S.stdout_);
  if (!truth(output.get())) {
    output = getattr(completed.get(), S.stderr_);
    if (!truth(output.get())) output = empty_str();
  }
  return checked(call_method(output.get(), S.strip));
}

// ---- 3. _is_wsl ------------------------------------------------------------

Ref _is_wsl(Frame& f, PyObject*) {
  for (PyObject* variable : {S.WSL_DISTRO_NAME, S.WSL_INTEROP}) {
    f.at(30);
    Ref environment = getattr(f.global(S.os).get(), S.environ_);
    if (truth(call_method(environment.get(), S.get, variable).get())) return Ref::borrow(Py_True);
  }
  f.at(32);
  Ref version_text = call_method(call(f.global(S._safe_read).get(), S.proc_version).get(), S.lower);
  f.at(33);
  const bool wsl = contains(version_text.get(), S.microsoft) || contains(version_text.get(), S.wsl);
  return Ref::borrow(wsl ? Py_True : Py_False);
}

// ---- 4. _persistent_fallback_id --------------------------------------------

// f"{value}": a str unchanged, an int or float by its repr, else format().
Ref format_field(PyObject* value) {
  if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
  if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) return Ref::steal(PyObject_Repr(value));
  return Ref::steal(PyObject_Format(value, g.c.empty_str));
}

// The handler: the exception being raised (an ordinary one, else it
// propagates) gets this function's entry and is handled while the unstored
// identifier is made from the network node number.
Ref unstored_fallback(Frame& f) {
  f.add_traceback();
  if (!raising_ordinary_exception()) raise_current();
  Ref handled = Ref::steal(PyErr_GetRaisedException());
  HandlingScope scope(handled.get());
  f.at(48);
  Ref node = call_method(f.global(S.uuid).get(), S.getnode);
  return Ref::steal(PyUnicode_Concat(S.fallback_prefix, format_field(node.get()).get()));
}

Ref _persistent_fallback_id(Frame& f, PyObject*) {
  f.at(37);
  Ref path_class = f.global(S.Path);
  // No home directory at all (HOME unset and a user without a passwd entry, as
  // containers run with an arbitrary uid have) is a file that can be neither
  // read nor written: the unstored identifier, not an error.
  Ref home;
  try {
    home = call_method(path_class.get(), S.home);
  } catch (const PyErrorSet&) {
    return unstored_fallback(f);
  }
  f.at(38);
  Ref target_dir = truediv(home.get(), S.state_dir);
  f.at(39);
  Ref target_file = truediv(target_dir.get(), S.state_file);
  try {
    f.at(41);
    if (truth(call_method(target_file.get(), S.exists).get())) {
      f.at(42);
      Ref stored = read_stored_identifier(target_file.get());
      // An empty file (left by an interrupted write of an older version) is an
      // identifier that every machine in that state would share: repair it.
      if (!is_empty_str(stored.get())) {
        remove_leftovers_if_linked(target_dir.get(), target_file.get());
        return stored;
      }
    }
    f.at(43);
    call_method_kw(target_dir.get(), S.mkdir, {}, {Py_True, Py_True}, g.c.kw_mkdir);
    f.at(44);
    Ref value = Ref::steal(PyObject_Str(call_method(f.global(S.uuid).get(), S.uuid4).get()));
    f.at(45);
    return store_new_identifier(target_dir.get(), target_file.get(), value.get());
  } catch (const PyErrorSet&) {
    return unstored_fallback(f);
  }
}

// ---- 5. _windows_machine_guid_from_python ----------------------------------

// The `with` block: query the value and convert it, with the key open.
Ref query_machine_guid(Frame& f, PyObject* winreg, PyObject* key) {
  f.at(58);
  Ref value = unpack_two_first(call(getattr(winreg, S.QueryValueEx).get(), key, S.MachineGuid).get());
  f.at(59);
  Ref text = Ref::steal(PyObject_Str(truth(value.get()) ? value.get() : g.c.empty_str));
  return call_method(text.get(), S.strip);
}

Ref _windows_machine_guid_from_python(Frame& f, PyObject*) {
  f.at(53);
  Ref winreg = import_module_or_null(S.winreg);  // fails on every system but Windows: no C++ throw
  if (!winreg) {
    if (!raising_ordinary_exception()) raise_current();
    PyErr_Clear();
    return empty_str();
  }
  try {
    f.at(57);
    Ref open_key = getattr(winreg.get(), S.OpenKey);
    Ref manager = call(open_key.get(), getattr(winreg.get(), S.HKEY_LOCAL_MACHINE).get(), S.crypto_subkey);
    Ref enter = lookup_special(manager.get(), S.dunder_enter);
    Ref exit = enter ? lookup_special(manager.get(), S.dunder_exit) : Ref();
    if (!exit) {
      PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                   Py_TYPE(manager.get())->tp_name, enter ? " (missed __exit__ method)" : "");
      raise_current();
    }
    Ref key = call(enter.get());
    Ref result;
    try {
      result = query_machine_guid(f, winreg.get(), key.get());
    } catch (const PyErrorSet&) {
      f.add_traceback();
      Ref exc = Ref::steal(PyErr_GetRaisedException());
      f.at(57);
      bool suppressed = false;
      {
        HandlingScope scope(exc.get());
        Ref traceback = Ref::steal_or_null(PyException_GetTraceback(exc.get()));
        Ref exit_result = call(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                               traceback ? traceback.get() : Py_None);
        suppressed = truth(exit_result.get());
      }
      if (suppressed) return Ref::borrow(Py_None);
      PyErr_SetRaisedException(exc.release());
      throw;
    }
    f.at(57);
    Ref exit_result = Ref::steal(PyObject_Call(exit.get(), g.c.exit_args, nullptr));
    return result;
  } catch (const PyErrorSet&) {
    if (!raising_ordinary_exception()) throw;
    PyErr_Clear();
    return empty_str();
  }
}

// ---- 6. _windows_machine_guid_from_regexe ----------------------------------

// `re.search(pattern, text)`, then group 1 stripped, or "" when nothing matches.
Ref search_group_one(Frame& f, PyObject* pattern, PyObject* text, int search_line) {
  f.at(search_line);
  Ref match = call(getattr(f.global(S.re).get(), S.search).get(), pattern, text);
  f.at(search_line + 1);
  if (!truth(match.get())) return empty_str();
  return checked(call_method(call_method(match.get(), S.group, g.c.one).get(), S.strip));
}

Ref _windows_machine_guid_from_regexe(Frame& f, PyObject*) {
  f.at(65);
  Ref run = f.global(S._run_command);
  Ref text = call(run.get(), new_list({S.reg, S.query, S.reg_key, S.reg_v, S.MachineGuid}).get());
  return search_group_one(f, S.reg_pattern, text.get(), 66);
}

// ---- 7. _windows_machine_guid_from_powershell ------------------------------

// Hexadecimal digits and hyphens only, as the `reg` pattern accepts.
bool is_guid_shaped(PyObject* text) noexcept {
  for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(text); ++i) {
    const Py_UCS4 ch = PyUnicode_READ_CHAR(text, i);
    const bool hex = (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
    if (!hex && ch != '-') return false;
  }
  return true;
}

Ref _windows_machine_guid_from_powershell(Frame& f, PyObject*) {
  f.at(71);
  Ref run = f.global(S._run_command);
  f.at(72);
  Ref command = new_list({S.powershell, S.no_profile, S.command, S.ps_script});
  f.at(71);
  Ref text = call(run.get(), command.get());
  f.at(79);
  Ref guid = checked(call_method(text.get(), S.strip));
  // Only a GUID-shaped answer is an identifier: a warning that the command
  // printed instead (on standard error, with status 0) would be the same text
  // on every machine that prints it.
  if (PyUnicode_CheckExact(guid.get()) && !is_guid_shaped(guid.get())) return empty_str();
  return guid;
}

// ---- 8. _windows_machine_guid ----------------------------------------------

Ref _windows_machine_guid(Frame& f, PyObject*) {
  f.at(83);
  return first_truthy(f, {S._windows_machine_guid_from_python, S._windows_machine_guid_from_regexe,
                          S._windows_machine_guid_from_powershell});
}

// ---- 9. _mac_platform_uuid -------------------------------------------------

Ref _mac_platform_uuid(Frame& f, PyObject*) {
  f.at(87);
  Ref run = f.global(S._run_command);
  Ref text = call(run.get(), new_list({S.ioreg, S.ioreg_rd1, S.ioreg_c, S.ioreg_class}).get());
  return search_group_one(f, S.ioreg_pattern, text.get(), 88);
}

// ---- 10. _linux_machine_identifier -----------------------------------------

// Values that many machines share, which identify none: systemd's
// "uninitialized" in an image that has not booted yet, and a UUID of all
// zeros or all F (firmware that never set one), hyphens and case as printed.
bool is_placeholder(PyObject* value) noexcept {
  if (!PyUnicode_CheckExact(value)) return false;
  if (PyUnicode_CompareWithASCIIString(value, "uninitialized") == 0) return true;
  Py_UCS4 digit = 0;
  for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(value); ++i) {
    Py_UCS4 ch = PyUnicode_READ_CHAR(value, i);
    if (ch == '-') continue;
    if (ch == 'F') ch = 'f';
    if ((ch != '0' && ch != 'f') || (digit != 0 && ch != digit)) return false;
    digit = ch;
  }
  return digit != 0;
}

Ref _linux_machine_identifier(Frame& f, PyObject*) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(g.c.linux_paths); ++i) {
    PyObject* path = PyTuple_GET_ITEM(g.c.linux_paths, i);
    f.at(98);
    Ref value = call(f.global(S._safe_read).get(), path);
    f.at(99);
    if (truth(value.get()) && !is_placeholder(value.get())) {
      f.at(100);
      return checked(std::move(value));
    }
  }
  f.at(101);
  return empty_str();
}

// ---- 11. _primary_device_identifier ----------------------------------------

Ref _primary_device_identifier(Frame& f, PyObject*) {
  f.at(105);
  Ref system = call_method(call_method(f.global(S.platform).get(), S.system).get(), S.lower);
  f.at(106);
  if (equal(system.get(), S.windows)) {
    f.at(107);
    return first_truthy(f, {S._windows_machine_guid, S._persistent_fallback_id});
  }
  f.at(108);
  if (equal(system.get(), S.darwin)) {
    f.at(109);
    return first_truthy(f, {S._mac_platform_uuid, S._persistent_fallback_id});
  }
  f.at(110);
  if (equal(system.get(), S.linux_)) {
    f.at(111);
    if (truth(call(f.global(S._is_wsl).get()).get())) {
      f.at(112);
      return first_truthy(f, {S._windows_machine_guid_from_regexe, S._windows_machine_guid_from_powershell,
                              S._linux_machine_identifier, S._persistent_fallback_id});
    }
    f.at(113);
    return first_truthy(f, {S._linux_machine_identifier, S._persistent_fallback_id});
  }
  f.at(114);
  return first_truthy(f, {S._persistent_fallback_id});
}

// ---- 12. build_device_fingerprint ------------------------------------------

Ref build_device_fingerprint(Frame& f, PyObject*) {
  f.at(119);
  Ref system = call_method(call_method(f.global(S.platform).get(), S.system).get(), S.lower);
  f.at(120);
  Ref machine = call_method(call_method(f.global(S.platform).get(), S.machine).get(), S.lower);
  f.at(121);
  Ref identifier = call(f.global(S._primary_device_identifier).get());
  f.at(118);
  Ref parts = new_list({system.get(), machine.get(), identifier.get()});
  f.at(123);
  Ref raw = Ref::steal(PyUnicode_Join(S.separator, parts.get()));
  f.at(124);
  Ref sha256 = getattr(f.global(S.hashlib).get(), S.sha256);
  Ref encoded = Ref::steal(PyUnicode_AsUTF8String(raw.get()));
  return checked(call_method(call(sha256.get(), encoded.get()).get(), S.hexdigest));
}

// ---- the function table ----------------------------------------------------

#define VD_NO_PARAM Param::None, nullptr, nullptr
const std::array<FunctionDef, 12> kFunctions{{
    {"_safe_read", "valdrune_data.fingerprint._safe_read", 1, 12, Param::Str, "path", "str", "str",
     {"path"}, 1, function_vectorcall<_safe_read>},
    {"_run_command", "valdrune_data.fingerprint._run_command", 2, 19, Param::List, "args", "list[str]", "str",
     {"args", "completed"}, 2, function_vectorcall<_run_command>},
    {"_is_wsl", "valdrune_data.fingerprint._is_wsl", 3, 29, VD_NO_PARAM, "bool", {"version_text"}, 1, function_vectorcall<_is_wsl>},
    {"_persistent_fallback_id", "valdrune_data.fingerprint._persistent_fallback_id", 4, 36, VD_NO_PARAM, "str",
     {"home", "target_dir", "target_file", "value"}, 4, function_vectorcall<_persistent_fallback_id>},
    {"_windows_machine_guid_from_python", "valdrune_data.fingerprint._windows_machine_guid_from_python", 5, 51,
     VD_NO_PARAM, "str", {"winreg", "key", "value", "_"}, 4, function_vectorcall<_windows_machine_guid_from_python>},
    {"_windows_machine_guid_from_regexe", "valdrune_data.fingerprint._windows_machine_guid_from_regexe", 6, 64,
     VD_NO_PARAM, "str", {"text", "match"}, 2, function_vectorcall<_windows_machine_guid_from_regexe>},
    {"_windows_machine_guid_from_powershell", "valdrune_data.fingerprint._windows_machine_guid_from_powershell", 7,
     70, VD_NO_PARAM, "str", {"text"}, 1, function_vectorcall<_windows_machine_guid_from_powershell>},
    {"_windows_machine_guid", "valdrune_data.fingerprint._windows_machine_guid", 8, 82, VD_NO_PARAM, "str", {}, 0,
     function_vectorcall<_windows_machine_guid>},
    {"_mac_platform_uuid", "valdrune_data.fingerprint._mac_platform_uuid", 9, 86, VD_NO_PARAM, "str",
     {"text", "match"}, 2, function_vectorcall<_mac_platform_uuid>},
    {"_linux_machine_identifier", "valdrune_data.fingerprint._linux_machine_identifier", 10, 92, VD_NO_PARAM, "str",
     {"path", "value"}, 2, function_vectorcall<_linux_machine_identifier>},
    {"_primary_device_identifier", "valdrune_data.fingerprint._primary_device_identifier", 11, 104, VD_NO_PARAM,
     "str", {"system"}, 1, function_vectorcall<_primary_device_identifier>},
    {"build_device_fingerprint", "valdrune_data.fingerprint.build_device_fingerprint", 12, 117, VD_NO_PARAM, "str",
     {"parts", "raw"}, 2, function_vectorcall<build_device_fingerprint>},
}};
#undef VD_NO_PARAM

// ---- initialisation --------------------------------------------------------

// The code object of a function: file, name and first line from the table,
// argument count, local names and plain-function flags; bytecode, line table
// and stack size come from the interpreter's own empty code object, so that
// the object stays valid on every interpreter version.
Ref make_code(const FunctionDef& def) {
  Ref tmpl = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, def.name, def.def_line)));
  Ref varnames = Ref::steal(PyTuple_New(def.nvarnames));
  for (int i = 0; i < def.nvarnames; ++i) {
    PyTuple_SET_ITEM(varnames.get(), i, Ref::steal(PyUnicode_InternFromString(def.varnames[static_cast<std::size_t>(i)])).release());
  }
  Ref argcount = Ref::steal(PyLong_FromLong(def.param == Param::None ? 0 : 1));
  Ref nlocals = Ref::steal(PyLong_FromLong(def.nvarnames));
  Ref flags = Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
  Ref kwnames = make_tuple({S.co_argcount, S.co_nlocals, S.co_varnames, S.co_flags});
  Ref replace = getattr(tmpl.get(), S.replace_);
  return call_kw(replace.get(), {}, {argcount.get(), nlocals.get(), varnames.get(), flags.get()}, kwnames.get());
}

Ref make_annotations(const FunctionDef& def) {
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
bool module_type_has_public_attributes() {
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

void set_up_fast_paths() {
  const std::array<PyObject*, 2> names{S.strip, S.lower};
  for (std::size_t i = 0; i < names.size(); ++i) {
    fast.str_methods[i] = getattr(reinterpret_cast<PyObject*>(&PyUnicode_Type), names[i]).release();
    fast.str_method_names[i] = names[i];
  }
  fast.module_namespace = !module_type_has_public_attributes();
}

// The string and integer constants (exec step 4); made once per process.
void create_constants() {
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
void create_tuples_and_code(PyObject* module) {
  Constants& c = g.c;
  c.exit_args = make_tuple({Py_None, Py_None, Py_None}).release();
  c.linux_paths = make_tuple({S.etc_machine_id, S.dbus_machine_id, S.product_uuid}).release();
  c.function_type = make_function_type(module);
  for (std::size_t i = 0; i < kFunctions.size(); ++i) c.code[i] = make_code(kFunctions[i]).release();
}

// The store's own standard-library functions, imported here and never looked
// up in the namespace (see `Private`).
void import_private_functions() {
  Private& p = g.p;
  auto take = [](PyObject* module, const char* name) {
    return Ref::steal(PyObject_GetAttrString(module, name)).release();
  };
  auto number = [](PyObject* module, const char* name) -> long {
    Ref value = Ref::steal_or_null(PyObject_GetAttrString(module, name));
    if (!value) {
      PyErr_Clear();  // not on this system
      return -1;
    }
    const long result = PyLong_AsLong(value.get());
    if (result == -1 && PyErr_Occurred()) raise_current();
    return result;
  };
  auto numbers = [&](PyObject* module, std::initializer_list<const char*> names) {
    Ref list = Ref::steal(PyList_New(0));
    for (const char* name : names) {
      const long value = number(module, name);
      if (value >= 0 && PyList_Append(list.get(), Ref::steal(PyLong_FromLong(value)).get()) < 0) raise_current();
    }
    return Ref::steal(PyList_AsTuple(list.get())).release();
  };
  Ref os = Ref::steal(PyImport_ImportModule("os"));
  p.urandom = take(os.get(), "urandom");
  p.open = take(os.get(), "open");
  p.close = take(os.get(), "close");
  p.fstat = take(os.get(), "fstat");
  p.stat = take(os.get(), "stat");
  p.lstat = take(os.get(), "lstat");
  p.unlink = take(os.get(), "unlink");
  p.rmdir = take(os.get(), "rmdir");
  p.mkdir = take(os.get(), "mkdir");
  p.write = take(os.get(), "write");
  p.rename = take(os.get(), "rename");
  p.listdir = take(os.get(), "listdir");
  p.sep = take(os.get(), "sep");
  if (!PyUnicode_CheckExact(p.sep) || PyUnicode_GET_LENGTH(p.sep) != 1) {
    PyErr_SetString(PyExc_ImportError, "os.sep is not a one-character str");
    raise_current();
  }
  auto flags = [&](std::initializer_list<const char*> names) {
    long value = 0;
    for (const char* name : names) value |= std::max(number(os.get(), name), 0L);
    return Ref::steal(PyLong_FromLong(value)).release();
  };
  p.open_flags = flags({"O_RDWR", "O_CREAT", "O_NOFOLLOW", "O_BINARY"});
  p.create_flags = flags({"O_WRONLY", "O_CREAT", "O_EXCL", "O_NOFOLLOW", "O_BINARY"});
  p.read_flags = flags({"O_RDONLY", "O_NONBLOCK", "O_NOFOLLOW", "O_BINARY"});
  p.file_mode = Ref::steal(PyLong_FromLong(0666)).release();
  Ref time = Ref::steal(PyImport_ImportModule("time"));
  p.monotonic = take(time.get(), "monotonic");
  p.wall_clock = take(time.get(), "time");
  p.sleep = take(time.get(), "sleep");
  Ref errno_module = Ref::steal(PyImport_ImportModule("errno"));
  p.busy_errnos = numbers(errno_module.get(), {"EAGAIN", "EWOULDBLOCK", "EACCES", "EDEADLK"});
  p.unsupported_errnos = numbers(errno_module.get(), {"ENOLCK", "EOPNOTSUPP", "ENOTSUP", "ENOSYS"});
  auto lock_operation = [&](PyObject* module, std::initializer_list<const char*> names, bool with_length) {
    long operation = 0;
    for (const char* name : names) operation |= number(module, name);
    Ref code = Ref::steal(PyLong_FromLong(operation));
    return (with_length ? make_tuple({code.get(), g.c.one}) : make_tuple({code.get()})).release();
  };
  // A missing module raises ImportError (ModuleNotFoundError): the next is tried.
  Ref fcntl = Ref::steal_or_null(PyImport_ImportModule("fcntl"));
  Ref msvcrt = fcntl ? Ref() : (PyErr_Clear(), Ref::steal_or_null(PyImport_ImportModule("msvcrt")));
  if (fcntl) {
    p.lock = take(fcntl.get(), "flock");
    p.lock_is_flock = true;
    p.lock_args = lock_operation(fcntl.get(), {"LOCK_EX", "LOCK_NB"}, false);
    p.unlock_args = lock_operation(fcntl.get(), {"LOCK_UN"}, false);
  } else if (msvcrt) {
    p.lock = take(msvcrt.get(), "locking");
    p.lock_args = lock_operation(msvcrt.get(), {"LK_NBLCK"}, true);
    p.unlock_args = lock_operation(msvcrt.get(), {"LK_UNLCK"}, true);
  } else {
    PyErr_Clear();  // no kernel locks here: the lock directory stands in
  }
}

void set_global(PyObject* name, PyObject* value) {
  if (PyDict_SetItem(g.globals, name, value) < 0) raise_current();
}

// `from pathlib import Path` (exec line 9).
Ref import_path_class() {
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
constexpr const char* kOwnerMark = "valdrune_data.fingerprint";

bool state_belongs_to(PyInterpreterState* interpreter) {
  PyObject* dict = PyInterpreterState_GetDict(interpreter);
  if (dict == nullptr) return true;  // no such dict: nothing to tell
  Ref key = Ref::steal(PyUnicode_FromString(kOwnerMark));
  const int marked = PyDict_Contains(dict, key.get());
  if (marked < 0) raise_current();
  return marked != 0;
}

// Everything the state refers to died with the old interpreter: drop it all
// without touching it, so that this import builds a fresh module.
void forget_finalised_interpreter() noexcept {
  g = State{};
  runtime.tracebacks.forget();
  runtime.builtins = runtime.add_note = runtime.subclass_note = nullptr;
  fast = FastPaths{};
}

void mark_owner(PyInterpreterState* interpreter) {
  PyObject* dict = PyInterpreterState_GetDict(interpreter);
  if (dict != nullptr && PyDict_SetItemString(dict, kOwnerMark, Py_True) < 0) raise_current();
}

// The module slots are not `noexcept`: the imports they run execute Python
// code, which a thread ended by the interpreter unwinds through.
PyObject* module_create(PyObject* spec, PyModuleDef*) {
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

void module_exec_steps(PyObject* module, int& line) {
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
    create_tuples_and_code(module);
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
  for (std::size_t i = 0; i < kFunctions.size(); ++i) {
    const FunctionDef& def = kFunctions[i];
    line = def.def_line;
    Ref annotations = make_annotations(def);
    Ref function = make_function(g.c.function_type, def, g.globals, g.c.code[i], annotations.get());
    set_global(reinterpret_cast<FunctionObject*>(function.get())->name, function.get());
  }
  // 9. __test__.
  line = 1;
  set_global(S.dunder_test, Ref::steal(PyDict_New()).get());
  // The store's private functions.
  if (!g.p.ready) {
    import_private_functions();
    g.p.ready = true;
  }
  // The interpreter that owns the state.
  mark_owner(PyInterpreterState_Get());
}

int module_exec(PyObject* module) {
  // 1. A second execution on the same module is a no-op.
  if (g.module != nullptr) {
    if (g.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'fingerprint' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  int line = 0;  // stays 0 until the namespace and the string constants exist
  try {
    module_exec_steps(module, line);
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

// What the module supports. Interpreters that share the main GIL reach the
// create slot, which admits only the first of them (the state is
// process-wide); CPython refuses interpreters with a GIL of their own before
// that. Without the GIL (free-threaded builds), the module is safe: every
// look-up takes a strong reference, the function objects' fields change inside
// critical sections, and the process-wide state is written only while the
// import system initialises the module.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "fingerprint", nullptr, 0, module_methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vd

PyMODINIT_FUNC PyInit_fingerprint(void) { return PyModuleDef_Init(&vd::module_def); }
