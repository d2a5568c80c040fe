"""Runs tools/leak_script.py under valgrind and reports leaks attributed to the module's own code.

CPython 3.12 itself reports thousands of "definitely lost" blocks at exit (interned
strings are immortal, static types are not torn down), and every stack that passes
through the module names its shared object. A leak is counted as the module's own
when the lost block was allocated by a C API call that the module made directly:
the stack, walked up from the allocator, reaches the module's shared object without
first running Python code (the evaluation loop) or importing another module, and not
through interning (interned strings are immortal by design).
Usage: python tools/valgrind_leaks.py PYTHON
"""

import os
import pathlib
import re
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
NOT_OURS = ("_PyEval_EvalFrameDefault", "PyImport_", "PyUnicode_InternFromString", "PyUnicode_InternInPlace",
            "_PyUnicode_InternImmortal")


def main(python):
    with tempfile.TemporaryDirectory() as work:
        log = pathlib.Path(work) / "valgrind.log"
        subprocess.run(
            ["valgrind", "--leak-check=full", "--show-leak-kinds=definite,indirect", "--num-callers=60",
             f"--log-file={log}", python, str(HERE / "leak_script.py")],
            cwd=work, env={**os.environ, "PYTHONMALLOC": "malloc"}, check=True, stdout=subprocess.DEVNULL)
        text = log.read_text()
    records = [r for r in re.split(r"\n==\d+== \n", text) if "are definitely lost" in r or "are indirectly lost" in r]
    ours = []
    for record in records:
        for frame in re.findall(r"(?:at|by) 0x[0-9A-F]+: (.*)", record):
            if any(marker in frame for marker in NOT_OURS):
                break
            if "fingerprint" in frame:
                ours.append(record)
                break
    print(f"valgrind: {len(records)} lost-block records in the process, {len(ours)} attributed to the module")
    for record in ours:
        print(record)
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else sys.executable))
