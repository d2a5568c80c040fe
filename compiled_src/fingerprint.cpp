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

#include "module_setup.hpp"
#include "module_state.hpp"
#include "pyfunction.hpp"
#include "python_semantics.hpp"
#include "store.hpp"

namespace vd {
namespace {

// The source line that a traceback entry reports for each step, by function
// and by the call that the step makes.
namespace line {
namespace safe_read {
enum : int { read_text = 14, };
}
namespace run_command {
enum : int { run = 21, returncode = 24, output = 26, };
}
namespace is_wsl {
enum : int { environment = 30, proc_version = 32, markers = 33, };
}
namespace persistent_fallback_id {
enum : int { home = 37, state_dir = 38, state_file = 39, exists = 41, read_text = 42, mkdir = 43, uuid4 = 44, store = 45, getnode = 48, };
}
namespace machine_guid_from_python {
enum : int { import_winreg = 53, open_key = 57, query = 58, convert = 59, };
}
namespace machine_guid_from_regexe {
enum : int { run = 65, search = 66, };
}
namespace machine_guid_from_powershell {
enum : int { run = 71, command = 72, strip = 79, };
}
namespace windows_machine_guid {
enum : int { chain = 83, };
}
namespace mac_platform_uuid {
enum : int { run = 87, search = 88, };
}
namespace linux_machine_identifier {
enum : int { read = 98, usable = 99, found = 100, none_found = 101, };
}
namespace primary_device_identifier {
enum : int { system = 105, is_windows = 106, windows_chain = 107, is_darwin = 108, darwin_chain = 109, is_linux = 110, is_wsl = 111, wsl_chain = 112, linux_chain = 113, other_chain = 114, };
}
namespace build_device_fingerprint {
enum : int { parts = 118, system = 119, machine = 120, identifier = 121, join = 123, hash = 124, };
}
}  // namespace line

// ---- 1. _safe_read ---------------------------------------------------------

// The guarded region is written as a chain of steps that stop at the first
// null, without throwing: a missing file is this function's common failure,
// and absorbing it should cost no more than the failed open itself.
Ref _safe_read(Frame& f, PyObject* path) {
  f.at(line::safe_read::read_text);
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
  return absorbed();
}

// ---- 2. _run_command -------------------------------------------------------

Ref _run_command(Frame& f, PyObject* args) {
  Ref completed;
  try {
    f.at(line::run_command::run);
    Ref run = getattr(f.global(S.subprocess).get(), S.run);
    // The child gets no standard input: it must not consume the caller's.
    Ref devnull = getattr(f.global(S.subprocess).get(), S.DEVNULL);
    completed = call_kw(run.get(), {args}, {Py_True, Py_True, g.c.four, Py_False, devnull.get()}, g.c.kw_run);
  } catch (const PyErrorSet&) {
    return absorbed();
  }
  f.at(line::run_command::returncode);
  Ref returncode = getattr(completed.get(), S.returncode);
  if (truth(Ref::steal(PyObject_RichCompare(returncode.get(), g.c.zero, Py_NE)).get())) return empty_str();
  f.at(line::run_command::output);
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
    f.at(line::is_wsl::environment);
    Ref environment = getattr(f.global(S.os).get(), S.environ_);
    if (truth(call_method(environment.get(), S.get, variable).get())) return Ref::borrow(Py_True);
  }
  f.at(line::is_wsl::proc_version);
  Ref version_text = call_method(call(f.global(S._safe_read).get(), S.proc_version).get(), S.lower);
  f.at(line::is_wsl::markers);
  const bool wsl = contains(version_text.get(), S.microsoft) || contains(version_text.get(), S.wsl);
  return Ref::borrow(wsl ? Py_True : Py_False);
}

// ---- 4. _persistent_fallback_id --------------------------------------------

// The handler: the exception being raised (an ordinary one, else it
// propagates) gets this function's entry and is handled while the unstored
// identifier is made from the network node number.
Ref unstored_fallback(Frame& f) {
  f.add_traceback();
  if (!raising_ordinary_exception()) raise_current();
  Ref handled = Ref::steal(PyErr_GetRaisedException());
  HandlingScope scope(handled.get());
  f.at(line::persistent_fallback_id::getnode);
  Ref node = call_method(f.global(S.uuid).get(), S.getnode);
  return Ref::steal(PyUnicode_Concat(S.fallback_prefix, format_field(node.get()).get()));
}

Ref _persistent_fallback_id(Frame& f, PyObject*) {
  f.at(line::persistent_fallback_id::home);
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
  f.at(line::persistent_fallback_id::state_dir);
  Ref target_dir = truediv(home.get(), S.state_dir);
  f.at(line::persistent_fallback_id::state_file);
  Ref target_file = truediv(target_dir.get(), S.state_file);
  try {
    f.at(line::persistent_fallback_id::exists);
    if (truth(call_method(target_file.get(), S.exists).get())) {
      f.at(line::persistent_fallback_id::read_text);
      Ref stored = read_stored_identifier(target_file.get());
      // An empty file (left by an interrupted write of an older version) is an
      // identifier that every machine in that state would share: repair it.
      if (!is_empty_str(stored.get())) {
        remove_leftovers_if_linked(target_dir.get(), target_file.get());
        return stored;
      }
    }
    f.at(line::persistent_fallback_id::mkdir);
    call_method_kw(target_dir.get(), S.mkdir, {}, {Py_True, Py_True}, g.c.kw_mkdir);
    f.at(line::persistent_fallback_id::uuid4);
    Ref value = Ref::steal(PyObject_Str(call_method(f.global(S.uuid).get(), S.uuid4).get()));
    f.at(line::persistent_fallback_id::store);
    return store_new_identifier(target_dir.get(), target_file.get(), value.get());
  } catch (const PyErrorSet&) {
    return unstored_fallback(f);
  }
}

// ---- 5. _windows_machine_guid_from_python ----------------------------------

// The `with` block: query the value and convert it, with the key open.
Ref query_machine_guid(Frame& f, PyObject* winreg, PyObject* key) {
  f.at(line::machine_guid_from_python::query);
  Ref value = unpack_two_first(call(getattr(winreg, S.QueryValueEx).get(), key, S.MachineGuid).get());
  f.at(line::machine_guid_from_python::convert);
  Ref text = Ref::steal(PyObject_Str(truth(value.get()) ? value.get() : g.c.empty_str));
  return call_method(text.get(), S.strip);
}

Ref _windows_machine_guid_from_python(Frame& f, PyObject*) {
  f.at(line::machine_guid_from_python::import_winreg);
  Ref winreg = import_module_or_null(S.winreg);  // fails on every system but Windows: no C++ throw
  if (!winreg) {
    return absorbed();
  }
  try {
    f.at(line::machine_guid_from_python::open_key);
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
      f.at(line::machine_guid_from_python::open_key);
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
    f.at(line::machine_guid_from_python::open_key);
    Ref exit_result = Ref::steal(PyObject_Call(exit.get(), g.c.exit_args, nullptr));
    return result;
  } catch (const PyErrorSet&) {
    return absorbed();
  }
}

// ---- 6. _windows_machine_guid_from_regexe ----------------------------------

// `re.search(pattern, text)`, then group 1 stripped, or "" when nothing matches.
// The step after the search reports the line below it.
Ref search_group_one(Frame& f, PyObject* pattern, PyObject* text, int search_line) {
  f.at(search_line);
  Ref match = call(getattr(f.global(S.re).get(), S.search).get(), pattern, text);
  f.at(search_line + 1);
  if (!truth(match.get())) return empty_str();
  return checked(call_method(call_method(match.get(), S.group, g.c.one).get(), S.strip));
}

Ref _windows_machine_guid_from_regexe(Frame& f, PyObject*) {
  f.at(line::machine_guid_from_regexe::run);
  Ref run = f.global(S._run_command);
  Ref text = call(run.get(), new_list({S.reg, S.query, S.reg_key, S.reg_v, S.MachineGuid}).get());
  return search_group_one(f, S.reg_pattern, text.get(), line::machine_guid_from_regexe::search);
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
  f.at(line::machine_guid_from_powershell::run);
  Ref run = f.global(S._run_command);
  f.at(line::machine_guid_from_powershell::command);
  Ref command = new_list({S.powershell, S.no_profile, S.command, S.ps_script});
  f.at(line::machine_guid_from_powershell::run);
  Ref text = call(run.get(), command.get());
  f.at(line::machine_guid_from_powershell::strip);
  Ref guid = checked(call_method(text.get(), S.strip));
  // Only a GUID-shaped answer is an identifier: a warning that the command
  // printed instead (on standard error, with status 0) would be the same text
  // on every machine that prints it.
  if (PyUnicode_CheckExact(guid.get()) && !is_guid_shaped(guid.get())) return empty_str();
  return guid;
}

// ---- 8. _windows_machine_guid ----------------------------------------------

Ref _windows_machine_guid(Frame& f, PyObject*) {
  f.at(line::windows_machine_guid::chain);
  return first_truthy(f, {S._windows_machine_guid_from_python, S._windows_machine_guid_from_regexe,
                          S._windows_machine_guid_from_powershell});
}

// ---- 9. _mac_platform_uuid -------------------------------------------------

Ref _mac_platform_uuid(Frame& f, PyObject*) {
  f.at(line::mac_platform_uuid::run);
  Ref run = f.global(S._run_command);
  Ref text = call(run.get(), new_list({S.ioreg, S.ioreg_rd1, S.ioreg_c, S.ioreg_class}).get());
  return search_group_one(f, S.ioreg_pattern, text.get(), line::mac_platform_uuid::search);
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
    f.at(line::linux_machine_identifier::read);
    Ref value = call(f.global(S._safe_read).get(), path);
    f.at(line::linux_machine_identifier::usable);
    if (truth(value.get()) && !is_placeholder(value.get())) {
      f.at(line::linux_machine_identifier::found);
      return checked(std::move(value));
    }
  }
  f.at(line::linux_machine_identifier::none_found);
  return empty_str();
}

// ---- 11. _primary_device_identifier ----------------------------------------

Ref _primary_device_identifier(Frame& f, PyObject*) {
  f.at(line::primary_device_identifier::system);
  Ref system = call_method(call_method(f.global(S.platform).get(), S.system).get(), S.lower);
  f.at(line::primary_device_identifier::is_windows);
  if (equal(system.get(), S.windows)) {
    f.at(line::primary_device_identifier::windows_chain);
    return first_truthy(f, {S._windows_machine_guid, S._persistent_fallback_id});
  }
  f.at(line::primary_device_identifier::is_darwin);
  if (equal(system.get(), S.darwin)) {
    f.at(line::primary_device_identifier::darwin_chain);
    return first_truthy(f, {S._mac_platform_uuid, S._persistent_fallback_id});
  }
  f.at(line::primary_device_identifier::is_linux);
  if (equal(system.get(), S.linux_)) {
    f.at(line::primary_device_identifier::is_wsl);
    if (truth(call(f.global(S._is_wsl).get()).get())) {
      f.at(line::primary_device_identifier::wsl_chain);
      return first_truthy(f, {S._windows_machine_guid_from_regexe, S._windows_machine_guid_from_powershell,
                              S._linux_machine_identifier, S._persistent_fallback_id});
    }
    f.at(line::primary_device_identifier::linux_chain);
    return first_truthy(f, {S._linux_machine_identifier, S._persistent_fallback_id});
  }
  f.at(line::primary_device_identifier::other_chain);
  return first_truthy(f, {S._persistent_fallback_id});
}

// ---- 12. build_device_fingerprint ------------------------------------------

Ref build_device_fingerprint(Frame& f, PyObject*) {
  f.at(line::build_device_fingerprint::system);
  Ref system = call_method(call_method(f.global(S.platform).get(), S.system).get(), S.lower);
  f.at(line::build_device_fingerprint::machine);
  Ref machine = call_method(call_method(f.global(S.platform).get(), S.machine).get(), S.lower);
  f.at(line::build_device_fingerprint::identifier);
  Ref identifier = call(f.global(S._primary_device_identifier).get());
  f.at(line::build_device_fingerprint::parts);
  Ref parts = new_list({system.get(), machine.get(), identifier.get()});
  f.at(line::build_device_fingerprint::join);
  Ref raw = Ref::steal(PyUnicode_Join(S.separator, parts.get()));
  f.at(line::build_device_fingerprint::hash);
  Ref sha256 = getattr(f.global(S.hashlib).get(), S.sha256);
  Ref encoded = Ref::steal(PyUnicode_AsUTF8String(raw.get()));
  return checked(call_method(call(sha256.get(), encoded.get()).get(), S.hexdigest));
}

// ---- the function table ----------------------------------------------------

constexpr std::array<FunctionDef, 12> kFunctions = numbered<12>({{
    {.name = "_safe_read", .qualified_name = "valdrune_data.fingerprint._safe_read", .def_line = 12, .varnames = {"path"}, .vectorcall = function_vectorcall<_safe_read>, .param = Param::Str, .param_name = "path", .param_annotation = "str"},
    {.name = "_run_command", .qualified_name = "valdrune_data.fingerprint._run_command", .def_line = 19, .varnames = {"args", "completed"}, .vectorcall = function_vectorcall<_run_command>, .param = Param::List, .param_name = "args", .param_annotation = "list[str]"},
    {.name = "_is_wsl", .qualified_name = "valdrune_data.fingerprint._is_wsl", .def_line = 29, .return_annotation = "bool", .varnames = {"version_text"}, .vectorcall = function_vectorcall<_is_wsl>},
    {.name = "_persistent_fallback_id", .qualified_name = "valdrune_data.fingerprint._persistent_fallback_id", .def_line = 36, .varnames = {"home", "target_dir", "target_file", "value"}, .vectorcall = function_vectorcall<_persistent_fallback_id>},
    {.name = "_windows_machine_guid_from_python", .qualified_name = "valdrune_data.fingerprint._windows_machine_guid_from_python", .def_line = 51, .varnames = {"winreg", "key", "value", "_"}, .vectorcall = function_vectorcall<_windows_machine_guid_from_python>},
    {.name = "_windows_machine_guid_from_regexe", .qualified_name = "valdrune_data.fingerprint._windows_machine_guid_from_regexe", .def_line = 64, .varnames = {"text", "match"}, .vectorcall = function_vectorcall<_windows_machine_guid_from_regexe>},
    {.name = "_windows_machine_guid_from_powershell", .qualified_name = "valdrune_data.fingerprint._windows_machine_guid_from_powershell", .def_line = 70, .varnames = {"text"}, .vectorcall = function_vectorcall<_windows_machine_guid_from_powershell>},
    {.name = "_windows_machine_guid", .qualified_name = "valdrune_data.fingerprint._windows_machine_guid", .def_line = 82, .vectorcall = function_vectorcall<_windows_machine_guid>},
    {.name = "_mac_platform_uuid", .qualified_name = "valdrune_data.fingerprint._mac_platform_uuid", .def_line = 86, .varnames = {"text", "match"}, .vectorcall = function_vectorcall<_mac_platform_uuid>},
    {.name = "_linux_machine_identifier", .qualified_name = "valdrune_data.fingerprint._linux_machine_identifier", .def_line = 92, .varnames = {"path", "value"}, .vectorcall = function_vectorcall<_linux_machine_identifier>},
    {.name = "_primary_device_identifier", .qualified_name = "valdrune_data.fingerprint._primary_device_identifier", .def_line = 104, .varnames = {"system"}, .vectorcall = function_vectorcall<_primary_device_identifier>},
    {.name = "build_device_fingerprint", .qualified_name = "valdrune_data.fingerprint.build_device_fingerprint", .def_line = 117, .varnames = {"parts", "raw"}, .vectorcall = function_vectorcall<build_device_fingerprint>},
}});

// ---- initialisation --------------------------------------------------------

int exec_module(PyObject* module) { return module_exec(module, kFunctions); }

// What the module supports. Interpreters that share the main GIL reach the
// create slot, which admits only the first of them (the state is
// process-wide); CPython refuses interpreters with a GIL of their own before
// that. Without the GIL (free-threaded builds), the module is safe: every
// look-up takes a strong reference, the function objects' fields change inside
// critical sections, and the process-wide state is written only while the
// import system initialises the module.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
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
