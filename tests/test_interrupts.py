"""A real SIGINT while a command runs: it leaves the runner as KeyboardInterrupt and no child stays behind."""

import os

import pytest

SCRIPT = r"""
import os, signal, sys, threading, time, traceback
import valdrune_data.fingerprint as fp
# A runner started with SIGINT ignored (nohup, a background job) passes that on: Python then
# installs no handler of its own. This test is about the interrupt, so it asks for one.
signal.signal(signal.SIGINT, signal.default_int_handler)
pid_file = sys.argv[1]
child = [sys.executable, "-c", f"import os, time; open({pid_file!r}, 'w').write(str(os.getpid())); time.sleep(30)"]

def interrupt():
    while not (os.path.exists(pid_file) and open(pid_file).read()):
        time.sleep(0.01)
    os.kill(os.getpid(), signal.SIGINT)

threading.Thread(target=interrupt, daemon=True).start()
started = time.monotonic()
try:
    print("returned", repr(fp._run_command(child)))
except KeyboardInterrupt as exc:
    entries = [(f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__) if f.filename.startswith("compiled")]
    print("interrupted", entries)
print("elapsed", round(time.monotonic() - started, 2))
# subprocess kills the child on the interrupt; it may not have reaped it yet
pid = int(open(pid_file).read())
deadline = time.monotonic() + 3
while True:
    try:
        ended = os.waitpid(pid, os.WNOHANG)[0] == pid
    except ChildProcessError:  # reaped already
        ended = True
    if ended or time.monotonic() > deadline:
        break
    time.sleep(0.01)
print("child", "dead" if ended else "running")
"""


@pytest.mark.slow
@pytest.mark.skipif(os.name == "nt", reason="os.kill delivers SIGINT only on POSIX systems")
def test_sigint_during_a_command(run_python, tmp_path):
    pid_file = tmp_path / "child.pid"
    result = run_python(SCRIPT.replace("sys.argv[1]", repr(str(pid_file))))
    assert "interrupted [(21, 'valdrune_data.fingerprint._run_command')]" in result.stdout, result.stdout
    assert float(result.stdout.split("elapsed")[1].split()[0]) < 10
    assert "child dead" in result.stdout
