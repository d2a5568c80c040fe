"""The per-application fingerprint: a keyed hash of the same material the device fingerprint hashes."""

from __future__ import annotations

import hashlib
import hmac


def material(system: str, machine: str, identifier: str) -> str:
    """The text that ``build_device_fingerprint()`` hashes, from its three parts (system and
    machine already lowercased): ``"<system>|<machine>|<identifier>"``."""
    return "|".join([system, machine, identifier])


def fingerprint_material() -> str:
    """This machine's fingerprint material.

    It is assembled from the compiled module's own namespace, looked up at each call, so the
    identifier comes from the module's selection, and replacements of its attributes apply.
    """
    from valdrune_data import fingerprint as fp

    return material(fp.platform.system().lower(), fp.platform.machine().lower(), fp._primary_device_identifier())


def app_fingerprint(app_id: str) -> str:
    """This machine's fingerprint for one application: 64 lowercase hexadecimal characters.

    HMAC-SHA256 keyed with the fingerprint material, over ``app_id`` (UTF-8). Applications
    with different ids get unrelated values, so neither can match the other's records, and
    nobody who can read the machine's identifier files can compute an application's value
    without its id. Use a fixed random string as ``app_id`` (for example one made once with
    ``secrets.token_hex(16)`` and kept in the application), not the application's name alone.
    """
    if not isinstance(app_id, str):
        raise TypeError(f"app_id must be a str, not {type(app_id).__name__}")
    if not app_id:
        raise ValueError("app_id must not be empty")
    key = fingerprint_material().encode("utf-8")
    return hmac.new(key, app_id.encode("utf-8"), hashlib.sha256).hexdigest()
