"""Packs the package's Python files, a build of the module made for another system (Windows under
Wine, aarch64 under QEMU) and the project's metadata (as scikit-build-core prepares it) into a wheel
with the given tag, which pip on that system installs as any other.
Usage: python tools/pack_wheel.py MODULE TAG OUT_DIR   (run where scikit-build-core is installed;
MODULE is installed under its own file name, e.g. fingerprint.cp313-win_amd64.pyd)"""

import base64
import contextlib
import hashlib
import os
import pathlib
import sys
import tempfile
import zipfile

from scikit_build_core.build import prepare_metadata_for_build_wheel

ROOT = pathlib.Path(__file__).resolve().parent.parent


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main(module: str, tag: str, out_dir: str) -> int:
    package = ROOT / "src" / "valdrune_data"
    files = {f"valdrune_data/{path.name}": path.read_bytes() for path in sorted(package.iterdir()) if path.is_file()
             and path.suffix not in (".so", ".pyd", ".pyc")}
    files[f"valdrune_data/{pathlib.Path(module).name}"] = pathlib.Path(module).read_bytes()
    with tempfile.TemporaryDirectory() as work:
        previous = os.getcwd()
        os.chdir(ROOT)
        try:
            with contextlib.redirect_stdout(sys.stderr):  # the wheel's path alone goes to standard output
                dist_info = pathlib.Path(work) / prepare_metadata_for_build_wheel(work)
        finally:
            os.chdir(previous)
        for path in sorted(dist_info.rglob("*")):
            if path.is_file() and path.name not in ("WHEEL", "RECORD"):
                files[f"{dist_info.name}/{path.relative_to(dist_info).as_posix()}"] = path.read_bytes()
        files[f"{dist_info.name}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: tools/pack_wheel.py\n"
                                            f"Root-Is-Purelib: false\nTag: {tag}\n").encode()
        record = [record_line(name, data) for name, data in files.items()] + [f"{dist_info.name}/RECORD,,"]
        files[f"{dist_info.name}/RECORD"] = ("\n".join(record) + "\n").encode()
        name, version = dist_info.name[: -len(".dist-info")].rsplit("-", 1)
    wheel = pathlib.Path(out_dir) / f"{name}-{version}-{tag}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for member, data in files.items():
            archive.writestr(member, data)
    print(wheel)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
