"""Per-call cost of the module beside a plain-Python equivalent and beside the bare standard-library work.

    python bench/bench.py [--quick] [--callgrind]

For each function's common path on this machine it reports the best time per call
(timeit, several repeats, minimum) of the module, of bench/reference.py (the same
steps in plain Python) and, for build_device_fingerprint, of the floor: the same
standard-library operations written inline with no function structure. It also
times argument errors and traceback entries, and the import. With --callgrind it
counts instructions under valgrind (repeatable on a noisy machine) and reports the
share spent in the module's own shared object.
HOME is pointed at a temporary directory, where the fallback file is created.
"""

import argparse
import atexit
import hashlib
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import timeit

HERE = pathlib.Path(__file__).resolve().parent
os.environ["HOME"] = tempfile.mkdtemp(prefix="bench-home-")
atexit.register(shutil.rmtree, os.environ["HOME"], ignore_errors=True)
sys.path.insert(0, str(HERE))

import reference  # noqa: E402

import valdrune_data.fingerprint as fp  # noqa: E402

Path = pathlib.Path


def floor():
    """build_device_fingerprint's standard-library work on Linux, inline."""
    system = platform.system().lower()
    machine = platform.machine().lower()
    system_again = platform.system().lower()
    system_again == "windows" or system_again == "darwin" or system_again == "linux"  # noqa: B015
    os.environ.get("WSL_DISTRO_NAME") or os.environ.get("WSL_INTEROP")  # noqa: B018
    try:
        version_text = Path("/proc/version").read_text(encoding="utf-8").strip()
    except Exception:
        version_text = ""
    version_text = version_text.lower()
    "microsoft" in version_text or "wsl" in version_text  # noqa: B015
    identifier = ""
    for path in ("/etc/machine-id", "/var/lib/dbus/machine-id", "/sys/class/dmi/id/product_uuid"):
        try:
            identifier = Path(path).read_text(encoding="utf-8").strip()
        except Exception:
            identifier = ""
        if identifier:
            break
    return hashlib.sha256("|".join([system, machine, identifier]).encode("utf-8")).hexdigest()


def best(statement, number, repeat):
    return min(timeit.repeat(statement, number=number, repeat=repeat)) / number


CASES = [
    # label, module call, reference call, calls per repeat
    ("build_device_fingerprint()", lambda: fp.build_device_fingerprint(),
     lambda: reference.build_device_fingerprint(), 2000),
    ("_primary_device_identifier()", lambda: fp._primary_device_identifier(),
     lambda: reference._primary_device_identifier(), 2000),
    ("_linux_machine_identifier()", lambda: fp._linux_machine_identifier(),
     lambda: reference._linux_machine_identifier(), 2000),
    ("_is_wsl()", lambda: fp._is_wsl(), lambda: reference._is_wsl(), 2000),
    ("_safe_read(existing)", lambda: fp._safe_read("/proc/version"),
     lambda: reference._safe_read("/proc/version"), 4000),
    ("_safe_read(missing)", lambda: fp._safe_read("/nonexistent/file"),
     lambda: reference._safe_read("/nonexistent/file"), 4000),
    ("_persistent_fallback_id()", lambda: fp._persistent_fallback_id(),
     lambda: reference._persistent_fallback_id(), 2000),
    ("_windows_machine_guid_from_python()", lambda: fp._windows_machine_guid_from_python(),
     lambda: reference._windows_machine_guid_from_python(), 200),
    ("_mac_platform_uuid() (no ioreg)", lambda: fp._mac_platform_uuid(),
     lambda: reference._mac_platform_uuid(), 200),
    ("_run_command(['true'])", lambda: fp._run_command(["true"]), lambda: reference._run_command(["true"]), 20),
]


def attempt(function, *args):
    try:
        function(*args)
    except BaseException:  # noqa: BLE001
        pass


def error_cases():
    saved_os = fp.os

    def name_error():
        del fp.os
        try:
            attempt(fp._is_wsl)
        finally:
            fp.os = saved_os

    return [
        ("argument error, no arguments expected: _is_wsl(1)", lambda: attempt(fp._is_wsl, 1)),
        ("argument type error: _safe_read(None)", lambda: attempt(fp._safe_read, None)),
        ("argument count error + traceback entry: _safe_read()", lambda: attempt(fp._safe_read)),
        ("NameError + traceback entry: _is_wsl() without os", name_error),
        ("baseline: Python function raising TypeError", lambda: attempt(lambda: int(None))),
    ]


def import_cost(statement, runs):
    code = f"import time; t = time.perf_counter(); {statement}; print(time.perf_counter() - t)"
    times = [float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                                  cwd=tempfile.gettempdir()).stdout) for _ in range(runs)]
    return min(times)


CALLGRIND_SETUP = """
import atexit, os, shutil, sys, tempfile
os.environ["HOME"] = tempfile.mkdtemp()
atexit.register(shutil.rmtree, os.environ["HOME"], ignore_errors=True)
sys.path.insert(0, {bench!r})
import bench, reference
import valdrune_data.fingerprint as fp
fp._persistent_fallback_id()
def name_error():
    saved = fp.os
    del fp.os
    try:
        fp._is_wsl()
    except NameError:
        pass
    fp.os = saved
target = {target}
for _ in range(20):
    target()
for _ in range({n}):
    target()
"""
def annotate(target, n):
    """callgrind_annotate's output for `n` calls of `target` (after a warm-up)."""
    script = CALLGRIND_SETUP.format(bench=str(HERE), target=target, n=n)
    with tempfile.TemporaryDirectory() as work:
        out = pathlib.Path(work) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c",
                        script], cwd=work, check=True, capture_output=True)
        return subprocess.run(["callgrind_annotate", "--threshold=100", str(out)], capture_output=True, text=True,
                              check=True).stdout


def counts(text):
    """(total instructions, instructions in the module's own shared object)."""
    total = int(re.search(r"([\d,]+) \([^)]*\)\s+PROGRAM TOTALS", text).group(1).replace(",", ""))
    module_so = pathlib.Path(fp.__file__).name
    own = sum(int(match.group(1).replace(",", "")) for match in
              re.finditer(r"^\s*([\d,]+) \([^)]*\)\s+(.*)$", text, re.M) if module_so in match.group(2))
    return total, own


def callgrind(calls):
    """Instructions per call (the difference between `calls` calls and none), repeatable under load."""
    results = {}
    for label, target in [("module", "fp.build_device_fingerprint"), ("plain Python", "reference.build_device_fingerprint"),
                          ("inline floor", "bench.floor"), ("NameError path", "name_error")]:
        base = counts(annotate(target, 0))
        loaded = counts(annotate(target, calls))
        results[label] = [(b - a) / calls for a, b in zip(base, loaded)]
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    parser.add_argument("--callgrind", action="store_true", help="also count instructions under valgrind")
    options = parser.parse_args()
    repeat = 5 if options.quick else 15
    fp._persistent_fallback_id()
    print(f"Python {sys.version.split()[0]} on {platform.machine()}, {os.cpu_count()} cores; best of {repeat}")
    print(f"\n{'path':44} {'module':>10} {'plain Py':>10} {'ratio':>7}")
    for label, module_call, reference_call, number in CASES:
        if options.quick:
            number = max(number // 4, 5)
        ours = best(module_call, number, repeat)
        theirs = best(reference_call, number, repeat)
        print(f"{label:44} {ours * 1e6:8.2f}us {theirs * 1e6:8.2f}us {ours / theirs:7.3f}")
    number = 500 if options.quick else 2000
    base = best(floor, number, repeat)
    ours = best(fp.build_device_fingerprint, number, repeat)
    print(f"\nbuild_device_fingerprint() vs the inline floor: {ours * 1e6:.2f}us / {base * 1e6:.2f}us "
          f"= {ours / base:.3f}x")
    print()
    for label, function in error_cases():
        print(f"{label:56} {best(function, 20000 if not options.quick else 5000, repeat) * 1e6:6.3f}us")
    runs = 10 if options.quick else 30
    stdlib = import_cost("import hashlib, os, platform, re, subprocess, uuid, pathlib", runs)
    module = import_cost("import valdrune_data.fingerprint", runs)
    print(f"\nimport: module {module * 1e3:.2f}ms, its seven standard modules alone {stdlib * 1e3:.2f}ms, "
          f"ratio {module / stdlib:.3f}")
    if options.callgrind:
        results = callgrind(200 if options.quick else 1000)
        module = results["module"][0]
        print("\ncallgrind, instructions per call of build_device_fingerprint():")
        for label in ("module", "plain Python", "inline floor"):
            total, _ = results[label]
            print(f"  {label:14} {total:10,.0f}  ({total / module:.3f} of the module's)")
        total, own = results["module"]
        print(f"  in the module's own shared object: {own:,.0f} ({100 * own / total:.2f}% of the call)")
        total, own = results["NameError path"]
        print(f"_is_wsl() raising NameError: {total:,.0f} instructions per call, {own:,.0f} in the module "
              f"(the C++ unwinder runs in libgcc_s, outside it)")


if __name__ == "__main__":
    main()
