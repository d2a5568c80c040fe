"""Per-call cost of the module beside a plain-Python equivalent and beside the bare standard-library work.

    python bench/bench.py [--quick] [--callgrind | --callgrind-only | --gate RATIO] [--threads N]

For each function's common path on this machine it reports the best time per call
(timeit, several repeats, minimum) of the module, of bench/reference.py (the same
steps in plain Python) and, for build_device_fingerprint, of the floor: the same
standard-library operations written inline with no function structure. It also
times argument errors and traceback entries, and the import. With --callgrind it
counts instructions under valgrind (repeatable on a noisy machine) and reports the
share spent in the module's own shared object. With --threads N it reports how
build_device_fingerprint's throughput scales from 1 to N threads, beside the plain-Python
equivalent's (on a free-threaded build the threads run at once; with a GIL they take turns).
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
os.environ["HOME"] = os.environ["USERPROFILE"] = tempfile.mkdtemp(prefix="bench-home-")
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
os.environ["HOME"] = os.environ["USERPROFILE"] = tempfile.mkdtemp()
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
for warm in {targets}:
    for _ in range(50):
        eval(warm)()
target = {target}
for _ in range({n}):
    target()
"""
# path -> (module, plain Python, inline floor or None): expressions evaluated in the setup above
CALLGRIND_TARGETS = {
    "build_device_fingerprint()": ("fp.build_device_fingerprint", "reference.build_device_fingerprint", "bench.floor"),
    "_safe_read('/etc/machine-id')": ("lambda: fp._safe_read('/etc/machine-id')",
                                      "lambda: reference._safe_read('/etc/machine-id')", None),
    "_is_wsl()": ("fp._is_wsl", "reference._is_wsl", None),
    "_is_wsl() raising NameError": ("name_error", None, None),
}
SEEDS = (0, 1, 2, 3)  # PYTHONHASHSEED values; the seed alone moves a count by a few hundred
# The size of the environment moves where the interpreter's objects lie, and with it which names collide in
# its caches keyed by address (by up to 0.2% of a call): each seed runs with an environment of its own size.
LAYOUT_PADDING = 700


def callgrind_run(target, n, seed):
    """(total instructions, instructions in the module's shared object) of one run under callgrind."""
    expressions = [e for row in CALLGRIND_TARGETS.values() for e in row if e]
    script = CALLGRIND_SETUP.format(bench=str(HERE), targets=expressions, target=target, n=n)
    with tempfile.TemporaryDirectory() as work:
        out = pathlib.Path(work) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c",
                        script], cwd=work, check=True, capture_output=True,
                       env={**os.environ, "PYTHONHASHSEED": str(seed), "BENCH_LAYOUT": "x" * (LAYOUT_PADDING * seed)})
        text = subprocess.run(["callgrind_annotate", "--threshold=100", str(out)], capture_output=True, text=True,
                              check=True).stdout
    total = int(re.search(r"([\d,]+) \([^)]*\)\s+PROGRAM TOTALS", text).group(1).replace(",", ""))
    module_so = pathlib.Path(fp.__file__).name
    own = sum(int(match.group(1).replace(",", "")) for match in
              re.finditer(r"^\s*([\d,]+) \([^)]*\)\s+(.*)$", text, re.M) if module_so in match.group(2))
    return total, own


def callgrind(calls, targets=None):
    """Instructions per call of each target, averaged over SEEDS, each with a layout of its own: each seed's run
    of `calls` calls minus its run of none (both after the same warm-up), so that interpreter start-up and the
    warm-up cancel out."""
    from concurrent.futures import ThreadPoolExecutor

    targets = CALLGRIND_TARGETS if targets is None else targets
    jobs = {(seed, None): (None, 0, seed) for seed in SEEDS}
    for row in targets.values():
        for expression in filter(None, row):
            jobs.update({(seed, expression): (expression, calls, seed) for seed in SEEDS})
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        futures = {key: pool.submit(callgrind_run, target or "lambda: None", n, seed)
                   for key, (target, n, seed) in jobs.items()}
        runs = {key: future.result() for key, future in futures.items()}
    per_call = {}
    for row in targets.values():
        for expression in filter(None, row):
            samples = [[(b - a) / calls for a, b in zip(runs[(seed, None)], runs[(seed, expression)])]
                       for seed in SEEDS]
            per_call[expression] = [sum(values) / len(SEEDS) for values in zip(*samples)]
    return per_call


def report_callgrind(calls):
    per_call = callgrind(calls)
    print(f"\ncallgrind, instructions per call ({calls} calls after 50 warm-up calls, "
          f"mean of PYTHONHASHSEED={','.join(map(str, SEEDS))}, each with an environment of its own size):")
    print(f"{'path':32} {'module':>9} {'in .so':>7} {'plain Py':>9} {'ratio':>6} {'floor':>9} {'ratio':>6}")
    for label, (module, plain, floor_expression) in CALLGRIND_TARGETS.items():
        ours, own = per_call[module]
        line = f"{label:32} {ours:9,.0f} {own:7,.0f}"
        if plain:
            line += f" {per_call[plain][0]:9,.0f} {ours / per_call[plain][0]:6.3f}"
        if floor_expression:
            line += f" {per_call[floor_expression][0]:9,.0f} {ours / per_call[floor_expression][0]:6.3f}"
        print(line)


def gate(limit, calls=200):
    """Fails (exit 1) where build_device_fingerprint() costs more than `limit` times the instructions of its
    plain-Python equivalent: instruction counts, which a busy machine does not move."""
    module, plain, _ = CALLGRIND_TARGETS["build_device_fingerprint()"]
    per_call = callgrind(calls, {"build_device_fingerprint()": (module, plain, None)})
    ratio = per_call[module][0] / per_call[plain][0]
    verdict = "ok" if ratio <= limit else "FAILED"
    print(f"{verdict}: Python {sys.version.split()[0]}, build_device_fingerprint() {per_call[module][0]:,.0f} "
          f"instructions per call, plain Python {per_call[plain][0]:,.0f}: ratio {ratio:.4f} (limit {limit})")
    return 0 if ratio <= limit else 1


def throughput(function, threads, seconds):
    """Calls per second of `function` made by `threads` threads at once for about `seconds`."""
    import threading

    counts, start, stop = [0] * threads, threading.Barrier(threads + 1), threading.Event()

    def work(index):
        start.wait()
        while not stop.is_set():
            for _ in range(50):
                function()
            counts[index] += 50

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = timeit.default_timer()
    stop.wait(seconds)
    stop.set()
    for worker in workers:
        worker.join()
    return sum(counts) / (timeit.default_timer() - began)


def report_threads(threads, seconds):
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    fp._persistent_fallback_id()
    print(f"Python {sys.version.split()[0]} on {platform.machine()}, {os.cpu_count()} cores, GIL "
          f"{'enabled' if gil else 'disabled'}: build_device_fingerprint() calls per second")
    print(f"{'':10} {'1 thread':>10} {f'{threads} threads':>11} {'scaling':>8}")
    for label, function in (("module", fp.build_device_fingerprint), ("plain Py", reference.build_device_fingerprint)):
        one, many = throughput(function, 1, seconds), throughput(function, threads, seconds)
        print(f"{label:10} {one:10,.0f} {many:11,.0f} {many / one:8.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    parser.add_argument("--callgrind", action="store_true", help="also count instructions under valgrind")
    parser.add_argument("--callgrind-only", action="store_true", help="only count instructions under valgrind")
    parser.add_argument("--threads", type=int, metavar="N", help="only the scaling from 1 to N threads")
    parser.add_argument("--gate", type=float, metavar="RATIO",
                        help="only the instruction ratio of build_device_fingerprint(); exit 1 above RATIO")
    options = parser.parse_args()
    if options.gate:
        sys.exit(gate(options.gate))
    if options.threads:
        report_threads(options.threads, 1.0 if options.quick else 3.0)
        return
    if options.callgrind_only:
        print(f"Python {sys.version.split()[0]} on {platform.machine()}")
        report_callgrind(200)
        return
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
        report_callgrind(200)

if __name__ == "__main__":
    main()
