"""A daemon thread still inside a call while the interpreter shuts down: when the call comes back
and wants the interpreter lock, the interpreter ends that thread, and the process must still exit
cleanly."""
import os
import subprocess
import sys

import pytest

SCRIPT = r"""
import os, threading, time, builtins
from tarnwick import NativeContainer, NativeEnvironment

LOOP = "i=0; while [ $i -lt 30000 ]; do i=$((i+1)); done"
machine = {kind}

def call():
    {call}
    os.write(1, b"returned before shutdown\n")

class SlowTeardown:
    # Keeps the interpreter in its finalization while the call comes back.
    def __del__(self):
        os.write(1, b"teardown\n")
        time.sleep(1.5)

builtins.slow_teardown = SlowTeardown()
threading.Thread(target=call, daemon=True).start()
time.sleep(0.02)
"""

CASES = {
    "environment run": ("NativeEnvironment(10**10, 1 << 26, 1 << 26, 1 << 20)", "machine.run(LOOP, b'')"),
    "container poll": (
        "NativeContainer(10**10, 1 << 26, 1 << 26, 1 << 20, False)",
        "[machine.poll_action(0) for _ in iter(int, 1)] if machine.start_execute(LOOP + '; sleep 1000; ' + LOOP, b'') "
        "else None",
    ),
}


@pytest.mark.parametrize("kind,call", CASES.values(), ids=list(CASES))
def test_a_call_returning_during_shutdown_does_not_crash_the_process(kind, call):
    script = SCRIPT.format(kind=kind, call=call)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60, env=dict(os.environ))
    assert done.returncode == 0, (done.returncode, done.stdout, done.stderr)
    assert b"teardown\n" in done.stdout
