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


class Answer:
    """A callable that only the namespace holding it keeps alive."""

    def __init__(self, text):
        self.text = text

    def __call__(self):
        return self.text


def test_remembered_look_ups_follow_every_change_of_a_namespace(monkeypatch):
    # Globals and module attributes found by one call are remembered for the next, until their namespace
    # changes: each kind of change below, to the module's own namespace and to a module it calls, must reach
    # the next call, and no object freed by the change may be used (AddressSanitizer sees it where this
    # test's answers would not).
    import platform

    def expected(machine, identifier):
        system = platform.system().lower()
        return hashlib.sha256(f"{system}|{machine}|{identifier}".encode()).hexdigest()

    fp._primary_device_identifier = Answer("first")
    for _ in range(3):
        fp.build_device_fingerprint()
    monkeypatch.setattr(platform, "machine", lambda: "M1")
    assert fp.build_device_fingerprint() == expected("m1", "first")
    vars(platform).update(machine=lambda: "M2")
    assert fp.build_device_fingerprint() == expected("m2", "first")
    del platform.machine
    with pytest.raises(AttributeError, match="machine"):
        fp.build_device_fingerprint()
    vars(platform).setdefault("machine", lambda: "M3")
    assert fp.build_device_fingerprint() == expected("m3", "first")

    # The module's own namespace: the remembered Answer is freed by its replacement.
    fp._primary_device_identifier = Answer("second")
    assert fp.build_device_fingerprint() == expected("m3", "second")
    vars(fp).pop("_primary_device_identifier")
    with pytest.raises(NameError, match="_primary_device_identifier"):
        fp.build_device_fingerprint()
    vars(fp)["_primary_device_identifier"] = Answer("third")
    assert fp.build_device_fingerprint() == expected("m3", "third")

    # A module replaced by another whose namespace may take the freed one's place in memory.
    for round_ in range(20):
        stand_in = types.ModuleType("stand_in_platform")
        stand_in.system, stand_in.machine = (lambda: "Plan9"), (lambda r=round_: f"Arch{r}")
        fp.platform = stand_in
        del stand_in
        fp._primary_device_identifier = Answer(f"round {round_}")
        assert fp.build_device_fingerprint() == \
            hashlib.sha256(f"plan9|arch{round_}|round {round_}".encode()).hexdigest()
