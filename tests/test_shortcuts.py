"""The call helpers' shortcuts (module namespaces, str methods, direct vectorcall, str equality) must never
answer differently from the generic protocols they skip."""

import hashlib
import types

import pytest

import valdrune_data.fingerprint as fp


class Shouting(str):
    """A str subclass whose methods and equality differ from str's."""

    def lower(self):
        return Shouting("LINUX-LOWERED")

    def strip(self, *chars):
        return "stripped by the subclass"

    def __eq__(self, other):
        return other == "linux"  # whatever its own text

    __hash__ = str.__hash__


def test_shortcuts_fall_back_wherever_the_generic_protocol_could_differ():
    # A METH_VARARGS builtin has no vectorcall slot: called through tp_call, it raises, it does not crash.
    is_wsl, fp._is_wsl = fp._is_wsl, max
    fp.platform = types.SimpleNamespace(system=lambda: "Linux", machine=lambda: "x86_64")
    with pytest.raises(TypeError, match="max expected at least 1 argument"):
        fp._primary_device_identifier()

    # A module answering through __getattr__, and a module subclass whose property shadows its namespace.
    lazy = types.ModuleType("lazy_platform")
    lazy.__getattr__ = lambda name: {"system": lambda: "Plan9", "machine": lambda: "MIPS"}[name]
    fp.platform = lazy
    fp._persistent_fallback_id = lambda: "stored"
    assert fp.build_device_fingerprint() == hashlib.sha256(b"plan9|mips|stored").hexdigest()

    class Overriding(types.ModuleType):
        @property
        def machine(self):
            return lambda: "from-the-property"

    special = Overriding("special_platform")
    special.system, special.__dict__["machine"] = (lambda: "Plan9"), (lambda: "from-the-namespace")
    fp.platform = special
    assert fp.build_device_fingerprint() == hashlib.sha256(b"plan9|from-the-property|stored").hexdigest()

    # str subclasses keep their own lower, strip and __eq__.
    fp._safe_read = lambda path: Shouting("Linux version 6.1 Microsoft WSL2")
    fp.os = types.SimpleNamespace(environ={})
    assert is_wsl() is False  # its lower() gives "LINUX-LOWERED", which holds neither "microsoft" nor "wsl"
    fp.subprocess = types.SimpleNamespace(DEVNULL=-3, run=lambda *a, **k: types.SimpleNamespace(
        returncode=0, stdout=Shouting(" out "), stderr=""))
    assert fp._run_command(["x"]) == "stripped by the subclass"
    fp.platform = types.SimpleNamespace(system=lambda: Shouting("x"), machine=lambda: "m")
    fp._is_wsl = lambda: False
    fp._linux_machine_identifier = lambda: "from-linux"
    assert fp._primary_device_identifier() == "from-linux"  # "LINUX-LOWERED" equals "linux" by its __eq__

    # An attribute of the instance shadows the method its class defines.
    class Output:
        def strip(self):
            return "the class's strip"

    output = Output()
    output.strip = lambda: "abcd-1234"
    fp._run_command = lambda args: output
    assert fp._windows_machine_guid_from_powershell() == "abcd-1234"
