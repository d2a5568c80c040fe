"""Device fingerprinting; the work is done by the compiled submodule ``fingerprint``."""
