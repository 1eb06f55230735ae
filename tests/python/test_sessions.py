"""Persistent shell sessions: create_shell and run_shell."""
import pytest

from tarnwick import _native
from conftest import outcome


def test_session_keeps_its_variables_apart_from_the_default_shell(env):
    pid = env.create_shell()
    assert isinstance(pid, int) and pid != 1234
    assert env.run_shell(pid, "x=session; f() { echo fn-$1; }", b"")[1] == b""
    assert env.run_shell(pid, "echo $x; f y", b"")[1] == b"session\nfn-y\n"
    assert env.run("echo \"[$x]\"", b"")[1] == b"[]\n"
    env.run("x=default", b"")
    assert env.run_shell(pid, "echo $x", b"")[1] == b"session\n"
    md, out, _ = outcome(env, "echo $$", pid=pid)
    assert out == f"{pid}\n".encode()
    assert [i["pid"] for i in md["invocations"]] == [pid]


def test_session_keeps_its_working_directory(env):
    pid = env.create_shell()
    md, _, _ = outcome(env, "cd /tmp", pid=pid)
    if md["outcome"]["exit_status"] == 127:
        pytest.skip("cd is not available in this build")
    assert env.run_shell(pid, "pwd", b"")[1] == b"/tmp\n"
    assert env.run("pwd", b"")[1] == b"/\n"
    # The host's file methods resolve relative paths against the default shell's directory.
    env.write_file("rel.txt", b"r", 0o644)
    assert env.run_shell(pid, "cat /rel.txt", b"")[1] == b"r"


def test_two_sessions_in_any_order(env):
    a, b = env.create_shell(), env.create_shell()
    assert a != b
    env.run_shell(b, "v=b", b"")
    env.run_shell(a, "v=a", b"")
    assert env.run_shell(b, "echo $v", b"")[1] == b"b\n"
    assert env.run_shell(a, "echo $v", b"")[1] == b"a\n"


def test_session_stdin_and_status(env):
    pid = env.create_shell()
    md, out, err = outcome(env, "cat; false", b"in\x00put", pid=pid)
    assert (out, err, md["outcome"]["exit_status"]) == (b"in\x00put", b"", 1)
    assert env.run_shell(pid, "echo $?", b"")[1] == b"1\n"


def test_exit_ends_a_session_but_not_the_machine(env):
    pid = env.create_shell()
    md, out, _ = outcome(env, "echo bye; exit 4", pid=pid)
    assert (md["outcome"]["exit_status"], out) == (4, b"bye\n")
    assert env.terminated is False
    with pytest.raises(_native.SimulationError) as info:
        env.run_shell(pid, "echo", b"")
    assert str(info.value) == f"shell session {pid} is not idle"
    assert env.run("echo still", b"")[1] == b"still\n"
    assert env.create_shell() != pid


def test_run_shell_with_the_default_shell_pid_is_run(env):
    env.run("y=1", b"")
    assert env.run_shell(1234, "echo $y", b"")[1] == b"1\n"
    md, _, _ = outcome(env, "exit 3", pid=1234)
    assert md["outcome"]["exit_status"] == 3
    assert env.terminated is True


def test_unknown_session(env):
    with pytest.raises(_native.SimulationError, match="^shell session 999 is not idle$"):
        env.run_shell(999, "echo", b"")


def test_no_sessions_from_an_exited_default_shell(env):
    env.run("exit 0", b"")
    with pytest.raises(_native.SimulationError) as info:
        env.create_shell()
    assert str(info.value) == "shell sessions can be created only from an idle default shell"


def test_session_runs_on_a_stopped_meter_report_137():
    env = _native.NativeEnvironment(200, 1 << 26, 1 << 26, 1 << 20)
    pid = env.create_shell()
    md, out, _ = outcome(env, "while true; do :; done", pid=pid)
    assert (md["outcome"]["exit_status"], md["outcome"]["stop_reason"]) == (137, "cpu_exhausted")
    md, out, _ = outcome(env, "echo", pid=pid)
    assert (md["outcome"]["exit_status"], out) == (137, b"")
    assert env.run("echo", b"")[1] == b""


def test_negative_pid_is_an_overflow_error(env):
    with pytest.raises(OverflowError) as info:
        env.run_shell(-1, "echo", b"")
    assert str(info.value).startswith("argument 'pid': ")
    with pytest.raises(OverflowError, match="^argument 'pid': "):
        env.run_shell(1 << 32, "echo", b"")
