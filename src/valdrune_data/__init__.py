"""Device fingerprinting; the work is done by the compiled submodule ``fingerprint``.

``valdrune_data.fingerprint.build_device_fingerprint()`` gives the machine's fingerprint;
``app_fingerprint(app_id)`` gives a per-application one that other applications cannot
compute or match. Importing the package itself imports nothing else: the compiled module and
the package metadata are loaded on first use.
"""

TYPE_CHECKING = False  # not `typing.TYPE_CHECKING`: importing typing would double the import time
if TYPE_CHECKING:
    from valdrune_data import fingerprint as fingerprint
    from valdrune_data._keyed import app_fingerprint as app_fingerprint

    __version__: str

__all__ = ["__version__", "app_fingerprint", "fingerprint"]


def __dir__() -> list[str]:
    return sorted(__all__)


def __getattr__(name: str) -> object:
    if name == "fingerprint":
        import importlib

        return importlib.import_module("valdrune_data.fingerprint")
    if name == "app_fingerprint":
        from valdrune_data._keyed import app_fingerprint

        return app_fingerprint
    if name == "__version__":
        from importlib import metadata

        try:
            return metadata.version("valdrune-data")
        except metadata.PackageNotFoundError:  # a source tree that was never installed
            return "0+unknown"
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
