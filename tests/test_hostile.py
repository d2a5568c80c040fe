"""Hostile replacements and generated inputs: the module must answer with a value or a Python exception."""

import pathlib
import re
import subprocess
import sys

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import valdrune_data.fingerprint as fp

CAMPAIGN = pathlib.Path(__file__).with_name("hostile_campaign.py")


def test_hostile_replacements_never_crash(tmp_path):
    result = subprocess.run([sys.executable, str(CAMPAIGN)], cwd=tmp_path, capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    assert int(re.search(r"cases (\d+)", result.stdout).group(1)) > 10_000


def reference_read(path):
    try:
        return pathlib.Path(path).read_text(encoding="utf-8").strip()
    except Exception:  # noqa: BLE001
        return ""


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.binary(max_size=64) | st.text(max_size=32).map(lambda t: t.encode("utf-8", "surrogatepass")))
def test_safe_read_agrees_with_pathlib(tmp_path, data):
    target = tmp_path / "file"
    target.write_bytes(data)
    assert fp._safe_read(str(target)) == reference_read(target)


ALPHABET = st.sampled_from(list("MachineGuidREG_SZ IOPlatformUUID\"=\t\n-{}aF09xyz\\"))


@settings(max_examples=400, deadline=None)
@given(text=st.text(ALPHABET, max_size=80) | st.builds(
    lambda pre, kind, value, post: f"{pre}MachineGuid{kind}{value}{post}",
    st.text(ALPHABET, max_size=10), st.sampled_from(["    REG_SZ    ", " REG_ ", "\tREG_SZ\t", " reg_sz "]),
    st.text(ALPHABET, max_size=40), st.text(ALPHABET, max_size=10)))
def test_command_readers_agree_with_re_search(text):
    fp._run_command = lambda args: text
    match = re.search(r"MachineGuid\s+REG_\w+\s+([A-Fa-f0-9-]+)", text)
    assert fp._windows_machine_guid_from_regexe() == (match.group(1).strip() if match else "")
    match = re.search(r'"IOPlatformUUID"\s*=\s*"([^"]+)"', text)
    assert fp._mac_platform_uuid() == (match.group(1).strip() if match else "")
    guid_shaped = re.fullmatch(r"[0-9A-Fa-f-]*", text.strip())
    assert fp._windows_machine_guid_from_powershell() == (text.strip() if guid_shaped else "")
