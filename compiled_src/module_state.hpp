// The module's process-wide state: its string and number constants, the
// standard-library functions that the store holds privately, and the helpers
// that every part of the module uses.
#pragma once

#include "pycall.hpp"

#include <array>
#include <cstdint>
#include <initializer_list>

namespace vd {

// ---- constants -------------------------------------------------------------

// clang-format off
#define VD_STRINGS(X)                                                          \
  X(Path, "Path")                                                              \
  X(read_text, "read_text")                                                    \
  X(encoding, "encoding")                                                      \
  X(utf_8, "utf-8")                                                            \
  X(strip, "strip")                                                            \
  X(lower, "lower")                                                            \
  X(subprocess, "subprocess")                                                  \
  X(run, "run")                                                                \
  X(capture_output, "capture_output")                                          \
  X(text, "text")                                                              \
  X(timeout, "timeout")                                                        \
  X(check, "check")                                                            \
  X(stdin_, "stdin")                                                           \
  X(DEVNULL, "DEVNULL")                                                        \
  X(returncode, "returncode")                                                  \
  X(stdout_, "stdout")                                                         \
  X(stderr_, "stderr")                                                         \
  X(os, "os")                                                                  \
  X(environ_, "environ")                                                       \
  X(get, "get")                                                                \
  X(WSL_DISTRO_NAME, "WSL_DISTRO_NAME")                                        \
  X(WSL_INTEROP, "WSL_INTEROP")                                                \
  X(proc_version, "/proc/version")                                             \
  X(microsoft, "microsoft")                                                    \
  X(wsl, "wsl")                                                                \
  X(home, "home")                                                              \
  X(state_dir, ".valdrune")                                                    \
  X(state_file, "device_fingerprint")                                          \
  X(exists, "exists")                                                          \
  X(mkdir, "mkdir")                                                            \
  X(parents, "parents")                                                        \
  X(exist_ok, "exist_ok")                                                      \
  X(uuid, "uuid")                                                              \
  X(uuid4, "uuid4")                                                            \
  X(getnode, "getnode")                                                        \
  X(fallback_prefix, "fallback-")                                              \
  X(hardlink_to, "hardlink_to")                                                \
  X(replace_, "replace")                                                       \
  X(with_name, "with_name")                                                    \
  X(unlink, "unlink")                                                          \
  X(missing_ok, "missing_ok")                                                  \
  X(st_mtime_, "st_mtime")                                                     \
  X(glob, "glob")                                                              \
  X(temporary_prefix, ".device_fingerprint.")                                 \
  X(temporary_suffix, ".tmp")                                                  \
  X(lock_owner_prefix, "owner.")                                               \
  X(lock_name, ".device_fingerprint.lock")                                     \
  X(lock_directory_name, ".device_fingerprint.lockdir")                        \
  X(staged_lock_prefix, ".device_fingerprint.lockdir.")                        \
  X(parent, "parent")                                                          \
  X(st_mode, "st_mode")                                                        \
  X(st_nlink, "st_nlink")                                                      \
  X(st_size, "st_size")                                                        \
  X(st_ino, "st_ino")                                                          \
  X(st_dev, "st_dev")                                                          \
  X(errno_, "errno")                                                           \
  X(winerror, "winerror")                                                      \
  X(winreg, "winreg")                                                          \
  X(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE")                                  \
  X(OpenKey, "OpenKey")                                                        \
  X(crypto_subkey, R"(SOFTWARE\Microsoft\Cryptography)")                       \
  X(QueryValueEx, "QueryValueEx")                                              \
  X(MachineGuid, "MachineGuid")                                                \
  X(dunder_enter, "__enter__")                                                 \
  X(dunder_exit, "__exit__")                                                   \
  X(dunder_mro, "__mro__")                                                     \
  X(reg, "reg.exe")                                                            \
  X(query, "query")                                                            \
  X(reg_key, R"(HKLM\SOFTWARE\Microsoft\Cryptography)")                         \
  X(reg_v, "/v")                                                               \
  X(reg_pattern, R"re(MachineGuid\s+REG_\w+\s+([A-Fa-f0-9-]+))re")             \
  X(re, "re")                                                                  \
  X(search, "search")                                                          \
  X(group, "group")                                                            \
  X(powershell, "powershell.exe")                                              \
  X(no_profile, "-NoProfile")                                                  \
  X(command, "-Command")                                                       \
  X(ps_script, R"((Get-ItemProperty 'HKLM:\SOFTWARE\Microsoft\Cryptography').MachineGuid)") \
  X(ioreg, "ioreg")                                                            \
  X(ioreg_rd1, "-rd1")                                                         \
  X(ioreg_c, "-c")                                                             \
  X(ioreg_class, "IOPlatformExpertDevice")                                     \
  X(ioreg_pattern, R"re("IOPlatformUUID"\s*=\s*"([^"]+)")re")                  \
  X(etc_machine_id, "/etc/machine-id")                                         \
  X(dbus_machine_id, "/var/lib/dbus/machine-id")                               \
  X(product_uuid, "/sys/class/dmi/id/product_uuid")                            \
  X(platform, "platform")                                                      \
  X(system, "system")                                                          \
  X(machine, "machine")                                                        \
  X(windows, "windows")                                                        \
  X(darwin, "darwin")                                                          \
  X(linux_, "linux")                                                           \
  X(separator, "|")                                                            \
  X(hashlib, "hashlib")                                                        \
  X(sha256, "sha256")                                                          \
  X(hexdigest, "hexdigest")                                                    \
  X(pathlib, "pathlib")                                                        \
  X(_safe_read, "_safe_read")                                                  \
  X(_run_command, "_run_command")                                              \
  X(_is_wsl, "_is_wsl")                                                        \
  X(_persistent_fallback_id, "_persistent_fallback_id")                        \
  X(_windows_machine_guid_from_python, "_windows_machine_guid_from_python")    \
  X(_windows_machine_guid_from_regexe, "_windows_machine_guid_from_regexe")    \
  X(_windows_machine_guid_from_powershell, "_windows_machine_guid_from_powershell") \
  X(_windows_machine_guid, "_windows_machine_guid")                            \
  X(_mac_platform_uuid, "_mac_platform_uuid")                                  \
  X(_linux_machine_identifier, "_linux_machine_identifier")                    \
  X(_primary_device_identifier, "_primary_device_identifier")                  \
  X(module_name, "valdrune_data.fingerprint")                                  \
  X(dunder_test, "__test__")                                                   \
  X(add_note, "add_note")                                                      \
  X(co_argcount, "co_argcount")                                                \
  X(co_nlocals, "co_nlocals")                                                  \
  X(co_varnames, "co_varnames")                                                \
  X(co_flags, "co_flags")
// clang-format on

struct Strings {
#define VD_DECLARE(id, literal) PyObject* id = nullptr;
  VD_STRINGS(VD_DECLARE)
#undef VD_DECLARE
};

struct Constants {
  bool strings_ready = false;  // exec step 4 done once
  bool code_ready = false;     // exec step 6 done once
  Strings s;
  PyObject* zero = nullptr;
  PyObject* one = nullptr;
  PyObject* four = nullptr;
  PyObject* eight = nullptr;         // random bytes in a temporary file's name
  PyObject* poll_seconds = nullptr;  // pause between two attempts to take a lock
  PyObject* empty_tuple = nullptr;
  PyObject* empty_bytes = nullptr;
  PyObject* empty_str = nullptr;
  PyObject* subclass_note = nullptr;
  PyObject* from_list_path = nullptr;  // ["Path"]
  // Keyword-name tuples, in the order the keywords are passed.
  PyObject* kw_encoding = nullptr;
  PyObject* kw_run = nullptr;
  PyObject* kw_mkdir = nullptr;
  PyObject* kw_missing_ok = nullptr;
  // The two constant tuples of the module.
  PyObject* exit_args = nullptr;    // (None, None, None)
  PyObject* linux_paths = nullptr;  // the candidate files of the Linux identifier
  PyTypeObject* function_type = nullptr;
  std::array<PyObject*, 12> code{};
};

// Process-wide state: one copy per process, created by the module slots.
struct State {
  int64_t interpreter_id = -1;
  PyObject* module = nullptr;   // strong, once the exec slot has recorded it
  PyObject* globals = nullptr;  // the module namespace, borrowed from `module`
  Constants c;
};
inline State g;

inline const Strings& S = g.c.s;

// `import name`: sys.modules first, else the import function with the module
// namespace as globals, a fresh dict as locals, no from-list and level 0.
// Returns null with the error set.
inline Ref import_module_or_null(PyObject* name, PyObject* from_list = nullptr) {
  if (from_list == nullptr) {
    PyObject* modules = PyImport_GetModuleDict();
    try {
      Ref found = PyDict_Check(modules) ? Ref::dict_item(modules, name) : Ref();
      if (found && found.get() != Py_None) return found;
    } catch (const PyErrorSet&) {
      return Ref();
    }
  }
  Ref locals = Ref::steal_or_null(PyDict_New());
  if (!locals) return Ref();
  return Ref::steal_or_null(PyImport_ImportModuleLevelObject(name, g.globals, locals.get(), from_list, 0));
}

inline Ref import_module(PyObject* name, PyObject* from_list = nullptr) {
  Ref module = import_module_or_null(name, from_list);
  if (!module) raise_current();
  return module;
}

inline Ref new_list(std::initializer_list<PyObject*> items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyList_SET_ITEM(list.get(), i++, Py_NewRef(item));
  return list;
}

inline Ref truediv(PyObject* left, PyObject* right) { return Ref::steal(PyNumber_TrueDivide(left, right)); }

inline Ref empty_str() { return Ref::borrow(g.c.empty_str); }

inline Ref checked(Ref value) {
  check_str_result(value.get());
  return value;
}

inline Ref make_tuple(std::initializer_list<PyObject*> items) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
  return tuple;
}

// What a guarded region absorbs, tested on the exception being raised: an
// `Exception`, except MemoryError and RecursionError. Those two say nothing
// about the machine; absorbing them would return another identifier (the next
// source's, or the unstored fallback) as if it were this machine's.
inline bool raising_ordinary_exception() noexcept {
  return PyErr_ExceptionMatches(PyExc_Exception) != 0 && PyErr_ExceptionMatches(PyExc_MemoryError) == 0 &&
         PyErr_ExceptionMatches(PyExc_RecursionError) == 0;
}

// Clears an ordinary exception being raised; rethrows anything else.
inline void absorb_ordinary_exception() {
  if (!raising_ordinary_exception()) raise_current();
  PyErr_Clear();
}

// A probe's failure: an ordinary exception absorbed, "" returned; anything
// else rethrown.
inline Ref absorbed() {
  absorb_ordinary_exception();
  return empty_str();
}

}  // namespace vd
