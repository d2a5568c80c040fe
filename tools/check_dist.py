"""Builds the sdist and, from the sdist alone, the wheel; checks what each holds and that the wheel works.

`python -m build` makes the sdist, unpacks it in a temporary directory and builds the
wheel from that, each in a fresh isolated build environment. The wheel is then
installed into a new virtual environment (outside the source tree) and imported.
Usage: python tools/check_dist.py   (the interpreter must have `build` installed)
"""

import pathlib
import shutil
import subprocess
import sys
import tarfile
import tempfile
import venv
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent


def main():
    with tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        dist = work / "dist"
        subprocess.run([sys.executable, "-m", "build", "--outdir", str(dist), str(ROOT)], check=True,
                       stdout=subprocess.DEVNULL)
        (sdist,) = dist.glob("*.tar.gz")
        (wheel,) = dist.glob("*.whl")
        with tarfile.open(sdist) as archive:
            sdist_names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
        with zipfile.ZipFile(wheel) as archive:
            wheel_names = set(archive.namelist())
        problems = []
        python_files = ["__init__.py", "__main__.py", "_keyed.py", "cli.py", "fingerprint.pyi", "py.typed", "setting.py"]
        # The sources, and what `make test` needs in an unpacked sdist: the Makefile, its tools, the suite.
        for needed in ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "Makefile", "requirements-dev.txt",
                       "compiled_src/fingerprint.cpp", "compiled_src/pyref.hpp", "tools/find-python",
                       "tests/conftest.py", "tests/test_module.py", "tests/hostile_campaign.py",
                       "tests/typing/usage.py", *[f"src/valdrune_data/{name}" for name in python_files]]:
            if needed not in sdist_names:
                problems.append(f"sdist lacks {needed}")
        package = {name for name in wheel_names if not name.startswith("valdrune_data-")}
        if not any(name.endswith(".dist-info/licenses/LICENSE") for name in wheel_names):
            problems.append("wheel lacks the licence file")
        extension = [name for name in package if name.startswith("valdrune_data/fingerprint.") and
                     name.endswith((".so", ".pyd"))]
        expected = {f"valdrune_data/{name}" for name in python_files}
        if len(extension) != 1:
            problems.append(f"wheel holds {len(extension)} extension modules")
        if package != expected | set(extension):
            problems.append(f"wheel holds unexpected files: {sorted(package - expected - set(extension))}, "
                            f"lacks {sorted(expected - package)}")
        env = work / "venv"
        venv.create(env, with_pip=True)
        python = env / "bin" / "python"
        subprocess.run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", str(wheel)],
                       check=True)
        printed = subprocess.run([python, "-P", "-c", "from valdrune_data.fingerprint import "
                                  "build_device_fingerprint as f; print(len(f()))"],
                                 cwd=work, capture_output=True, text=True, check=True).stdout.strip()
        if printed != "64":
            problems.append(f"installed wheel printed {printed!r}")
        keyed = subprocess.run([env / "bin" / "valdrune-fingerprint", "--app-id", "x"], cwd=work,
                               capture_output=True, text=True)
        if keyed.returncode != 0 or len(keyed.stdout.strip()) != 64:
            problems.append(f"valdrune-fingerprint --app-id x: exit {keyed.returncode}, {keyed.stdout!r}")
        print(f"sdist {sdist.name}: {len(sdist_names)} files; wheel {wheel.name}: {sorted(package)}")
        for problem in problems:
            print("PROBLEM:", problem)
        shutil.rmtree(env)
        return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
