"""Choosing the device identifier by system, and the public fingerprint."""

import hashlib
import platform
import re
import threading
import types

import pytest

import valdrune_data.fingerprint as fp

SOURCES = ["_windows_machine_guid", "_mac_platform_uuid", "_windows_machine_guid_from_regexe",
           "_windows_machine_guid_from_powershell", "_linux_machine_identifier", "_persistent_fallback_id"]


def fake_platform(system, machine="x86_64"):
    return types.SimpleNamespace(system=lambda: system, machine=lambda: machine)


@pytest.fixture
def sources():
    """Replaces every source with a stand-in returning results[name]; records the calls."""
    calls = []
    results = {name: "" for name in SOURCES}
    results["_persistent_fallback_id"] = "fallback-id"
    results["_is_wsl"] = False
    for name in [*SOURCES, "_is_wsl"]:
        setattr(fp, name, lambda name=name: calls.append(name) or results[name])
    return types.SimpleNamespace(calls=calls, results=results)


@pytest.mark.parametrize(
    "system, wsl, found, expected, calls",
    [
        ("Windows", None, {"_windows_machine_guid": "win"}, "win", ["_windows_machine_guid"]),
        ("Windows", None, {"_windows_machine_guid": None}, "fallback-id",
         ["_windows_machine_guid", "_persistent_fallback_id"]),
        ("Darwin", None, {"_mac_platform_uuid": "mac"}, "mac", ["_mac_platform_uuid"]),
        ("Darwin", None, {}, "fallback-id", ["_mac_platform_uuid", "_persistent_fallback_id"]),
        ("Linux", False, {"_linux_machine_identifier": "lin", "_windows_machine_guid_from_regexe": "x"}, "lin",
         ["_is_wsl", "_linux_machine_identifier"]),
        ("LINUX", 1, {"_windows_machine_guid_from_regexe": "reg"}, "reg",
         ["_is_wsl", "_windows_machine_guid_from_regexe"]),
        ("Linux", True, {"_linux_machine_identifier": "lin"}, "lin",
         ["_is_wsl", "_windows_machine_guid_from_regexe", "_windows_machine_guid_from_powershell",
          "_linux_machine_identifier"]),
        ("Linux", True, {"_windows_machine_guid_from_powershell": "ps"}, "ps",
         ["_is_wsl", "_windows_machine_guid_from_regexe", "_windows_machine_guid_from_powershell"]),
        ("FreeBSD", None, {"_linux_machine_identifier": "lin"}, "fallback-id", ["_persistent_fallback_id"]),
        ("", None, {}, "fallback-id", ["_persistent_fallback_id"]),
    ],
)
def test_dispatch_by_system(sources, system, wsl, found, expected, calls):
    fp.platform = fake_platform(system)
    sources.results.update(found, _is_wsl=wsl)
    assert fp._primary_device_identifier() == expected
    assert sources.calls == calls


@pytest.mark.parametrize("last", ["", None])
def test_last_candidate_is_returned_whatever_its_value(sources, last):
    fp.platform = fake_platform("Plan9")
    sources.results["_persistent_fallback_id"] = last
    assert fp._primary_device_identifier() is last


@pytest.mark.parametrize(
    "system, source, line",
    [("Windows", "_windows_machine_guid", 107), ("Darwin", "_mac_platform_uuid", 109),
     ("Linux", "_linux_machine_identifier", 113), ("Haiku", "_persistent_fallback_id", 114)],
)
def test_truthy_non_str_result_is_rejected(sources, entries, system, source, line):
    fp.platform = fake_platform(system)
    sources.results[source] = True
    with pytest.raises(TypeError, match="^Expected str, got bool$") as excinfo:
        fp._primary_device_identifier()
    assert entries(excinfo.value) == [(line, "valdrune_data.fingerprint._primary_device_identifier")]
    assert "_persistent_fallback_id" not in sources.calls or source == "_persistent_fallback_id"


def test_selection_errors_stop_at_once(sources, entries):
    fp.platform = fake_platform("Linux")
    sources.results["_is_wsl"] = True
    fp._windows_machine_guid_from_regexe = lambda: 1 / 0
    with pytest.raises(ZeroDivisionError) as excinfo:
        fp._primary_device_identifier()
    assert entries(excinfo.value) == [(112, "valdrune_data.fingerprint._primary_device_identifier")]
    assert "_persistent_fallback_id" not in sources.calls
    fp._is_wsl = lambda: 1 / 0
    with pytest.raises(ZeroDivisionError) as excinfo:
        fp._primary_device_identifier()
    assert entries(excinfo.value)[0][0] == 111

    class Weird(str):
        def __eq__(self, other):
            if other == "darwin":
                raise LookupError
            return False

        __hash__ = str.__hash__

    fp.platform = types.SimpleNamespace(system=lambda: types.SimpleNamespace(lower=lambda: Weird("x")))
    with pytest.raises(LookupError) as excinfo:
        fp._primary_device_identifier()
    assert entries(excinfo.value)[0][0] == 108
    fp.platform = types.SimpleNamespace(system=lambda: 42)
    with pytest.raises(AttributeError) as excinfo:
        fp._primary_device_identifier()
    assert entries(excinfo.value)[0][0] == 105


# ---- build_device_fingerprint ---------------------------------------------------


def expected_fingerprint(*parts):
    return hashlib.sha256("|".join(parts).encode("utf-8")).hexdigest()


def test_fingerprint_end_to_end_on_this_machine():
    value = fp.build_device_fingerprint()
    identifier = fp._primary_device_identifier()
    assert re.fullmatch(r"[0-9a-f]{64}", value)
    assert value == expected_fingerprint(platform.system().lower(), platform.machine().lower(), identifier)
    assert fp.build_device_fingerprint() == value


@pytest.mark.parametrize(
    "system, machine, identifier, material",
    [
        ("Linux", "x86_64", "ID", "linux|x86_64|ID"),
        ("LINUX", "X86_64", "ab|cd", "linux|x86_64|ab|cd"),
        ("Linux", "", "", "linux||"),
        ("Darwin", "arm64", "ÿ-é", "darwin|arm64|ÿ-é"),
    ],
)
def test_fingerprint_material(system, machine, identifier, material):
    fp.platform = fake_platform(system, machine)
    fp._primary_device_identifier = lambda: identifier
    assert fp.build_device_fingerprint() == hashlib.sha256(material.encode("utf-8")).hexdigest()


def test_fingerprint_evaluation_order_and_failures(entries):
    order = []
    fp.platform = types.SimpleNamespace(system=lambda: order.append("system") or "S",
                                        machine=lambda: order.append("machine") or "M")
    fp._primary_device_identifier = lambda: order.append("identifier") or "I"
    fp.build_device_fingerprint()
    assert order == ["system", "machine", "identifier"]
    name = "valdrune_data.fingerprint.build_device_fingerprint"
    fp._primary_device_identifier = lambda: None
    with pytest.raises(TypeError) as excinfo:
        fp.build_device_fingerprint()
    assert entries(excinfo.value) == [(123, name)]
    fp._primary_device_identifier = lambda: "\udc80"
    with pytest.raises(UnicodeEncodeError) as excinfo:
        fp.build_device_fingerprint()
    assert entries(excinfo.value) == [(124, name)]
    fp._primary_device_identifier = lambda: "I"
    fp.hashlib = types.SimpleNamespace(sha256=lambda data: types.SimpleNamespace(hexdigest=lambda: data))
    with pytest.raises(TypeError, match="^Expected str, got bytes$") as excinfo:
        fp.build_device_fingerprint()
    assert entries(excinfo.value) == [(124, name)]
    fp.platform = types.SimpleNamespace(system=lambda: "S", machine=None)
    with pytest.raises(TypeError) as excinfo:
        fp.build_device_fingerprint()
    assert entries(excinfo.value) == [(120, name)]


def test_threads_agree():
    results = set()

    def work():
        for _ in range(1000):
            results.add(fp.build_device_fingerprint())

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {fp.build_device_fingerprint()}
