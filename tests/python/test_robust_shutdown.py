"""Process lifecycle around calls: a daemon thread still inside a call while the interpreter shuts
down (when the call comes back and wants the interpreter lock, the interpreter ends that thread,
and the process must still exit cleanly), and a fork while another thread holds a machine."""
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


FORK_SCRIPT = r"""
import os, signal, threading, time
from tarnwick import NativeEnvironment

env = NativeEnvironment(10**10, 1 << 26, 1 << 26, 1 << 20)
busy = threading.Thread(target=lambda: env.run("i=0; while [ $i -lt 30000 ]; do i=$((i+1)); done", b""))
busy.start()
time.sleep(0.05)
pid = os.fork()
if pid == 0:
    signal.alarm(20)
    try:
        env.run("echo child", b"")
        os.write(1, b"child ran\n")
    except Exception as error:
        os.write(1, f"child: {type(error).__name__}: {error}\n".encode())
    try:
        env.terminated
    except Exception as error:
        os.write(1, f"child: {type(error).__name__}: {error}\n".encode())
    fresh = NativeEnvironment(10**9, 1 << 26, 1 << 26, 1 << 20)
    os.write(1, b"child fresh: " + fresh.run("echo ok", b"")[1])
    os._exit(0)
busy.join()
_, status = os.waitpid(pid, 0)
os.write(1, f"child status {status}\n".encode() + b"parent: " + env.run("echo ok", b"")[1])
"""


def test_a_machine_busy_in_another_thread_at_fork_is_poisoned_in_the_child():
    # The thread that held the machine's lock does not exist in the child: the machine reports
    # its lock poisoned there instead of waiting forever; new machines in the child work, and
    # the parent goes on as before.
    done = subprocess.run([sys.executable, "-c", FORK_SCRIPT], capture_output=True, timeout=60, env=dict(os.environ))
    assert done.returncode == 0, (done.stdout, done.stderr)
    assert done.stdout.decode().splitlines() == [
        "child: SimulationError: tarnwick environment lock is poisoned",
        "child: SimulationError: tarnwick environment lock is poisoned",
        "child fresh: ok",
        "child status 0",
        "parent: ok",
    ]
