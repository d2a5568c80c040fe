"""Calls every module function with every module-level name replaced by hostile values.

Run as a script (by test_hostile.py, in a child process, so that a crash fails the
test instead of ending the test run). Every call must end in a return value or a
Python exception; a SystemError counts as a failure, since it means the module
returned NULL without an exception or the like. Prints "cases N" and one line per
failure, and exits 1 if there was any.
"""

import os
import sys
import tempfile
import types

import valdrune_data.fingerprint as fp

FUNCTIONS = [
    ("_safe_read", ("/etc/hostname",)), ("_run_command", (["true"],)), ("_is_wsl", ()),
    ("_persistent_fallback_id", ()), ("_windows_machine_guid_from_python", ()),
    ("_windows_machine_guid_from_regexe", ()), ("_windows_machine_guid_from_powershell", ()),
    ("_windows_machine_guid", ()), ("_mac_platform_uuid", ()), ("_linux_machine_identifier", ()),
    ("_primary_device_identifier", ()), ("build_device_fingerprint", ()),
]
NAMES = ["platform", "os", "re", "subprocess", "uuid", "Path", "hashlib", "__builtins__",
         *(name for name, _ in FUNCTIONS)]


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom


class RaisingAttributes:
    def __getattribute__(self, name):
        raise Boom(name)


class Raising:
    """Every protocol the module uses on a value raises."""
    __bool__ = __eq__ = __ne__ = __str__ = __repr__ = __format__ = __len__ = boom
    __hash__ = object.__hash__
    __truediv__ = __contains__ = __iter__ = __call__ = __enter__ = __exit__ = boom
    lower = strip = group = hexdigest = get = boom


class WrongTypes:
    """Every protocol returns a value of the wrong type."""
    def __bool__(self): return 2  # noqa: E704
    def __eq__(self, other): return Raising()  # noqa: E704
    __ne__ = __eq__
    __hash__ = object.__hash__
    def __str__(self): return 5  # noqa: E704
    def __format__(self, spec): return b"x"  # noqa: E704
    def __truediv__(self, other): return self  # noqa: E704
    def __contains__(self, item): return Raising()  # noqa: E704
    def __iter__(self): return 3  # noqa: E704
    def __enter__(self): return self  # noqa: E704
    def __exit__(self, *a): return Raising()  # noqa: E704
    def __call__(self, *a, **k): return self  # noqa: E704
    def lower(self): return 7  # noqa: E704
    strip = group = hexdigest = lower


class StrSubclass(str):
    def strip(self, *a): return 1  # noqa: E704
    def lower(self): return b"linux"  # noqa: E704


class ListSubclass(list):
    pass


class Everything:
    """A stand-in whose every attribute is a function returning `value`."""

    def __init__(self, value):
        self._value = value

    def __getattr__(self, name):
        return lambda *a, **k: self._value

    def __call__(self, *a, **k):
        return self._value


SAMPLES = [None, 0, 1, True, b"bytes", "", "Linux", "text", StrSubclass("Linux"), ListSubclass(["x"]),
           Raising(), WrongTypes(), RaisingAttributes(), types.SimpleNamespace(), (None, None, None), [1, 2]]
DELETE = object()
HOSTILE = [DELETE, None, 42, True, b"bytes", StrSubclass("x"), ListSubclass(), Raising(), WrongTypes(),
           RaisingAttributes(), boom]
HOSTILE += [Everything(sample) for sample in SAMPLES]
HOSTILE += [(lambda sample: lambda *a, **k: sample)(sample) for sample in SAMPLES]


def main():
    home = tempfile.mkdtemp()
    os.environ["HOME"] = os.environ["USERPROFILE"] = home
    original = dict(vars(fp))
    cases = failures = 0
    for name in NAMES:
        for value in HOSTILE:
            for winreg in (None, value):
                if winreg is not None and name != "platform":
                    continue  # the stand-in winreg module is varied once, alongside platform
                sys.modules["winreg"] = winreg if winreg is not None else None
                if value is DELETE:
                    vars(fp).pop(name, None)
                else:
                    vars(fp)[name] = value
                for function, args in FUNCTIONS:
                    cases += 1
                    try:
                        original[function](*args)
                    except SystemError as exc:
                        failures += 1
                        print(f"FAIL {name}={value!r:.60} {function}: SystemError {exc}")
                    except BaseException:  # noqa: BLE001 - any Python exception is a pass
                        pass
                vars(fp).clear()
                vars(fp).update(original)
    sys.modules.pop("winreg", None)
    print("cases", cases)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
