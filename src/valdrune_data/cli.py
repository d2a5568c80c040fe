"""The command line: print this machine's fingerprint, or explain where it comes from.

``--explain`` does not select a source itself: it watches the compiled module select one. The
module looks its functions up in its namespace at each use, so wrappers put there for the
duration of one ``_primary_device_identifier()`` call see every source it tries, in order,
and what each one answered; the winner reported is the value that call returned.
"""

from __future__ import annotations

import argparse
import errno
import hashlib
import json
import os
import sys
import unicodedata
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from types import ModuleType
from typing import Any

import valdrune_data
from valdrune_data import _keyed, app_fingerprint, setting

LINUX_FILES = ("/etc/machine-id", "/var/lib/dbus/machine-id", "/sys/class/dmi/id/product_uuid")
FALLBACK = "fallback file"
WINDOWS = sys.platform == "win32"
# Each system's sources, for display, in the order the module tries them.
ROWS = {
    "windows": ("registry (winreg)", "reg.exe", "powershell.exe", FALLBACK),
    "darwin": ("ioreg", FALLBACK),
    "linux under WSL": ("reg.exe", "powershell.exe", *LINUX_FILES, FALLBACK),
    "linux": (*LINUX_FILES, FALLBACK),
}
# The module's readers, by the source each one reads.
READERS = {
    "_windows_machine_guid_from_python": "registry (winreg)",
    "_windows_machine_guid_from_regexe": "reg.exe",
    "_windows_machine_guid_from_powershell": "powershell.exe",
    "_mac_platform_uuid": "ioreg",
    "_persistent_fallback_id": FALLBACK,
}


@dataclass
class Source:
    name: str
    outcome: str = "not tried"  # found, empty, missing, unreadable, rejected, failed or not tried
    value: str | None = None  # what it found (or what was rejected)
    error: str | None = None


@dataclass
class Explanation:
    system: str
    machine: str
    wsl: bool | None
    sources: list[Source]
    winner: str | None
    identifier: str
    fallback_file: str | None  # None where the user has no home directory
    fallback_file_exists: bool | None  # None where it cannot be told
    fallback_stored: bool | None  # whether the fallback identifier in use is the stored one; None if not in use
    fingerprint: str
    agrees: bool
    app_fingerprint: str | None = None
    notes: list[str] = field(default_factory=list)
    environment: setting.Environment = field(default_factory=lambda: setting.Environment("machine", False))
    caveats: list[setting.Caveat] = field(default_factory=list)


class Observer:
    """Records, while installed in the module's namespace, what each source answered."""

    def __init__(self, fp: ModuleType) -> None:
        self.fp = fp
        self.seen: dict[str, Source] = {}
        self.wsl: bool | None = None
        self.reading: Source | None = None  # the command reader now running
        self.in_linux_files = False

    def source(self, name: str) -> Source:
        return self.seen.setdefault(name, Source(name))

    @contextmanager
    def installed(self) -> Iterator[None]:
        namespace = vars(self.fp)
        wrappers: dict[str, Callable[[str, Any], Callable[..., Any]]] = {
            "_is_wsl": self.wrap_is_wsl, "_linux_machine_identifier": self.wrap_linux,
            "_safe_read": self.wrap_safe_read, "_run_command": self.wrap_run_command}
        wrappers.update({name: self.wrap_reader for name in READERS})
        saved: dict[str, Any] = {}
        try:  # an interrupt at any point, even half-way through installing, restores every original
            for name, wrap in wrappers.items():
                if name in namespace:
                    saved[name] = original = namespace[name]
                    namespace[name] = wrap(name, original)
            yield
        finally:
            namespace.update(saved)

    def wrap_is_wsl(self, name: str, original: Callable[[], Any]) -> Callable[[], Any]:
        def is_wsl() -> Any:
            self.wsl = bool(result := original())
            return result
        return is_wsl

    def wrap_reader(self, name: str, original: Callable[[], Any]) -> Callable[[], Any]:
        def reader() -> Any:
            source = self.source(READERS[name])
            outer, self.reading = self.reading, source
            try:
                result = original()
            except Exception as exc:
                source.outcome, source.error = "failed", f"{type(exc).__name__}: {exc}"
                raise
            finally:
                self.reading = outer
            if result:
                source.outcome, source.value = "found", str(result)
            elif source.outcome != "rejected":
                source.outcome = "empty"
            return result
        return reader

    def wrap_run_command(self, name: str, original: Callable[[list[str]], Any]) -> Callable[[list[str]], Any]:
        def run_command(args: list[str]) -> Any:
            output = original(args)
            if self.reading is not None and output:
                # The command printed something; unless the reader returns it, it was passed over.
                self.reading.outcome, self.reading.value = "rejected", str(output)
            return output
        return run_command

    def wrap_linux(self, name: str, original: Callable[[], Any]) -> Callable[[], Any]:
        def linux_machine_identifier() -> Any:
            self.in_linux_files = True
            try:
                result = original()
            finally:
                self.in_linux_files = False
            for source in self.seen.values():
                if source.name in LINUX_FILES and source.outcome == "found" and source.value != result:
                    source.outcome = "rejected"  # text the module passed over (a placeholder)
            return result
        return linux_machine_identifier

    def wrap_safe_read(self, name: str, original: Callable[[str], Any]) -> Callable[[str], Any]:
        def safe_read(path: str) -> Any:
            try:
                value = original(path)
            except Exception as exc:
                if self.in_linux_files:
                    self.source(path).outcome, self.source(path).error = "failed", f"{type(exc).__name__}: {exc}"
                raise
            if self.in_linux_files:
                source = self.source(path)
                if value:
                    source.outcome, source.value = "found", str(value)
                else:
                    source.outcome, source.error = look_at(path)
            return value
        return safe_read


def look_at(path: str) -> tuple[str, str | None]:
    """Why a file gave no text, for display only: missing, unreadable (with the error) or empty."""
    try:
        with open(path, "rb") as file:
            data = file.read()
        text = data.decode("utf-8")
    except FileNotFoundError:
        return "missing", None
    except (OSError, UnicodeDecodeError) as exc:
        return "unreadable", f"{type(exc).__name__}: {exc}"
    if text.strip():
        return "unreadable", "read nothing, though the file now holds text"
    return "empty", None


def fallback_target(fp: ModuleType) -> Any | None:
    """The fallback file's path; None where the user has no home directory (HOME unset and no
    password entry), where the module returns its unstored identifier."""
    try:
        return fp.Path.home() / ".valdrune" / "device_fingerprint"
    except (OSError, RuntimeError, KeyError):
        return None


def guarded(look: Callable[[], bool]) -> bool | None:
    """What a look at the file system says; None where it cannot be told (a state directory that
    this user cannot search, say)."""
    try:
        return bool(look())
    except (OSError, UnicodeError, ValueError):
        return None


def is_stored(fp: ModuleType, identifier: str) -> bool:
    """Whether the fallback file holds `identifier`, so that later runs give the same one."""
    target = fallback_target(fp)
    return target is not None and guarded(
        lambda: target.read_text(encoding="utf-8").strip() == identifier) is True


def explain(fp: ModuleType) -> Explanation:
    system = fp.platform.system().lower()
    machine = fp.platform.machine().lower()
    observer = Observer(fp)
    with observer.installed():
        identifier = fp._primary_device_identifier()
    row = ROWS.get("linux under WSL" if system == "linux" and observer.wsl else system, (FALLBACK,))
    sources = [observer.seen.get(name, Source(name)) for name in row]
    sources += [source for name, source in observer.seen.items() if name not in row]
    winner = next((source for source in sources if source.outcome == "found"), None)
    notes = []
    if winner is None or winner.value != identifier:
        notes.append(f"the module returned an identifier that no observed source gave ({winner and winner.name})")
    fingerprint = fp.build_device_fingerprint()
    material = _keyed.material(system, machine, identifier)
    agrees = not notes and hashlib.sha256(material.encode("utf-8")).hexdigest() == fingerprint
    if not notes and not agrees:
        notes.append("build_device_fingerprint() gave another fingerprint than the observed selection")
    target = fallback_target(fp)
    stored = is_stored(fp, identifier) if winner is not None and winner.name == FALLBACK else None
    winner_name = winner.name if winner else None
    directory = str(target.parent) if target is not None else None
    home = str(target.parent.parent) if target is not None else None
    environment = setting.detect(system, observer.wsl, winner_name, directory)
    rejected = [(source.name, source.value or "") for source in sources if source.outcome == "rejected"]
    caveats = setting.caveats(environment, winner_name, observer.wsl, stored, directory, home, rejected)
    return Explanation(system, machine, observer.wsl, sources, winner_name, identifier,
                       str(target) if target is not None else None,
                       guarded(target.exists) if target is not None else None,
                       stored, fingerprint, agrees, notes=notes, environment=environment, caveats=caveats)


def mask(value: str | None, show: bool) -> str | None:
    if value is None or show:
        return value
    return value[:4] + "*" * max(0, len(value) - 4)


def render_text(explanation: Explanation, show: bool) -> str:
    wsl = {None: "not checked", True: "yes", False: "no"}[explanation.wsl]
    width = max(len(source.name) for source in explanation.sources)
    lines = [f"system:        {explanation.system}", f"machine:       {explanation.machine}",
             f"WSL detected:  {wsl}", "sources, in the order the module tries them:"]
    for source in explanation.sources:
        detail = source.error or mask(source.value, show) or ""
        lines.append(f"  {source.name:<{width}}  {source.outcome:<9}  {detail}".rstrip())
    environment = explanation.environment
    lines.append(f"setting:       {environment.kind}")
    lines += [f"  evidence: {evidence}" for evidence in environment.evidence]
    origin = environment.identifier_file
    if origin is not None and origin["origin"] == "container":
        lines.append(f"  identifier: {origin['path']} is this container's own, {origin['evidence']}")
    for caveat in explanation.caveats:
        lines += [f"caveat:        {caveat.message}", f"  remedy: {caveat.remedy}"]
    exists = {True: "present", False: "absent", None: "cannot be looked at"}[explanation.fallback_file_exists]
    if explanation.fallback_file is None:
        exists = "no home directory"
    if explanation.fallback_stored is False:
        exists += "; the identifier in use is NOT stored there, and changes once it can be"
    lines += [f"winner:        {explanation.winner or 'none'}",
              f"identifier:    {mask(explanation.identifier, show)}",
              f"fallback file: {explanation.fallback_file or 'none'} ({exists})",
              f"fingerprint:   {explanation.fingerprint}"]
    if explanation.app_fingerprint is not None:
        lines.append(f"app fingerprint: {explanation.app_fingerprint}")
    return "\n".join(visible(line) for line in lines)


def visible(text: str) -> str:
    """`text` with its control characters escaped, so that what the system holds (a mount root, a
    variable, a path) can neither start a line of its own nor reach the terminal as a command."""
    return "".join(char if unicodedata.category(char) not in ("Cc", "Cf", "Zl", "Zp")
                   else char.encode("unicode_escape").decode("ascii") for char in text)


def render_json(explanation: Explanation, show: bool) -> str:
    data = {
        "system": explanation.system, "machine": explanation.machine, "wsl": explanation.wsl,
        "sources": [{"source": s.name, "outcome": s.outcome, "value": mask(s.value, show), "error": s.error}
                    for s in explanation.sources],
        "winner": explanation.winner, "identifier": mask(explanation.identifier, show),
        "fallback_file": {"path": explanation.fallback_file, "exists": explanation.fallback_file_exists,
                          "stored": explanation.fallback_stored},
        "fingerprint": explanation.fingerprint, "app_fingerprint": explanation.app_fingerprint,
        "agrees": explanation.agrees, "notes": explanation.notes,
        "environment": {"kind": explanation.environment.kind, "container": explanation.environment.container,
                        "evidence": explanation.environment.evidence,
                        "identifier_file": explanation.environment.identifier_file,
                        "fallback_directory": explanation.environment.fallback_directory},
        "caveats": [{"code": c.code, "message": c.message, "remedy": c.remedy} for c in explanation.caveats],
    }
    return json.dumps(data, indent=2)


def parser(prog: str | None) -> argparse.ArgumentParser:
    result = argparse.ArgumentParser(
        prog=prog, description="Print this machine's device fingerprint (SHA-256, 64 hexadecimal characters).")
    result.add_argument("--app-id", metavar="ID",
                        help="print the per-application fingerprint for this application id instead")
    result.add_argument("--explain", action="store_true",
                        help="show which identifier sources were tried, what each gave, and which one won")
    result.add_argument("--json", action="store_true", help="the explanation as one JSON object, for scripts")
    result.add_argument("--show-ids", action="store_true",
                        help="with --explain: show identifiers in full (by default all but 4 characters are masked)")
    result.add_argument("--version", action="version", version=f"%(prog)s {valdrune_data.__version__}")
    return result


def say(name: str, text: str) -> None:
    """One line on standard error, if there is one."""
    if sys.stderr is not None:
        print(visible(f"{name}: {text}"), file=sys.stderr, flush=True)


def reader_gone(exc: OSError) -> bool:
    """A closed pipe (``| head``): EPIPE on POSIX, EINVAL from a pipe on Windows."""
    return isinstance(exc, BrokenPipeError) or (WINDOWS and exc.errno == errno.EINVAL)


def emit(name: str, text: str) -> bool:
    """Prints `text`. On failure says so in one line (nothing, if the reader has gone) and
    returns False; the output is then sent nowhere, so the interpreter's flush at exit stays quiet."""
    if sys.stdout is None:
        say(name, "error: standard output is closed")
        return False
    try:
        print(text, flush=True)
        return True
    except OSError as exc:
        if not reader_gone(exc):
            say(name, f"error: cannot write the output: {type(exc).__name__}: {exc}")
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):  # not a file (a stand-in stream): nothing buffered to flush there
            pass
        return False


def text_any_console_can_take() -> None:
    """Characters the console's encoding lacks (a home path, an identifier) are written escaped."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")


def main(argv: Sequence[str] | None = None, prog: str | None = "valdrune-fingerprint") -> int:
    text_any_console_can_take()
    command_line = parser(prog)
    arguments = command_line.parse_args(argv)
    if arguments.app_id is not None:
        if arguments.app_id == "":
            command_line.error("--app-id must not be empty")
        try:
            arguments.app_id.encode("utf-8")
        except UnicodeEncodeError:
            command_line.error("--app-id must be text that can be encoded as UTF-8")
    if arguments.show_ids and not (arguments.explain or arguments.json):
        command_line.error("--show-ids goes with --explain or --json")
    name = prog or "valdrune-fingerprint"
    try:
        from valdrune_data import fingerprint as fp

        if not (arguments.explain or arguments.json):
            fallback = FallbackWatch(fp)
            with fallback.installed():
                result = app_fingerprint(arguments.app_id) if arguments.app_id is not None else \
                    fp.build_device_fingerprint()
            if not emit(name, result):
                return 1
            if fallback.not_stored and fallback.unstored is not None:
                say(name, f"warning: the identifier could not be stored in {fallback.unstored}; "
                          "this fingerprint will change once that directory is writable")
            elif fallback.not_stored:
                say(name, "warning: the identifier could not be stored, as this user has no home directory; "
                          "this fingerprint will change once it has one")
            return 0
        explanation = explain(fp)
        explanation.app_fingerprint = app_fingerprint(arguments.app_id) if arguments.app_id is not None else None
    except Exception as exc:  # noqa: BLE001 - one line on stderr, no traceback
        say(name, f"error: {type(exc).__name__}: {exc}")
        return 1
    render = render_json if arguments.json else render_text
    if not emit(name, render(explanation, arguments.show_ids)):
        return 1
    for note in explanation.notes:
        say(name, f"the explanation disagrees with the module: {note}")
    return 0 if explanation.agrees else 1


class FallbackWatch:
    """Watches, while installed, whether the fingerprint rests on a fallback identifier that was not stored."""

    def __init__(self, fp: ModuleType) -> None:
        self.fp = fp
        self.not_stored = False  # whether the identifier in use is a fallback identifier that was not stored
        self.unstored: str | None = None  # the state directory it was not stored in; None with no home directory

    @contextmanager
    def installed(self) -> Iterator[None]:
        namespace = vars(self.fp)
        original = namespace.get("_persistent_fallback_id")
        if original is None:
            yield
            return

        def persistent_fallback_id() -> Any:
            value = original()
            if isinstance(value, str) and value and not is_stored(self.fp, value):
                target = fallback_target(self.fp)
                self.unstored = str(target.parent) if target is not None else None
                self.not_stored = True
            return value

        try:
            namespace["_persistent_fallback_id"] = persistent_fallback_id
            yield
        finally:
            namespace["_persistent_fallback_id"] = original
