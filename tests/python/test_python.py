"""Python inside the machine from the host: run_python, python3 in a shell action, and the
interactive mode a shell enters when it runs python3 with no program."""
import json

from tarnwick import _native
from conftest import ROOMY, as_dict, run


def python(env, source, argv=(), stdin=b""):
    text, out, err = env.run_python(source, list(argv), stdin)
    return as_dict(json.loads(text, object_pairs_hook=lambda pairs: pairs)), out, err


def test_run_python_reads_stdin_and_reports_metadata(env):
    md, out, err = python(env, "print(input())", stdin=b"hi\n")
    assert (out, err) == (b"hi\n", b"")
    assert md["outcome"]["exit_status"] == 0
    assert md["commands"] == ["python3.14"]
    # Everything the interpreter charged is given back when the program ends.
    assert md["outcome"]["usage"]["memory_current"] == 0


def test_run_python_source_and_argv_reach_python_unchanged(env):
    source = "import_ = '$HOME \"q\" \\'s\\''; print(import_); print(1); print(2)"
    md, out, err = python(env, source, ["a", "b"])
    assert out == b"$HOME \"q\" 's'\n1\n2\n"
    md, out, err = python(env, "raise SystemExit(4)")
    assert md["outcome"]["exit_status"] == 4


def test_run_python_failures(env):
    md, out, err = python(env, "print(1/0)")
    assert md["outcome"]["exit_status"] == 1
    assert err.endswith(b"ZeroDivisionError: division by zero\n")
    md, out, err = python(env, "x = (")
    assert md["outcome"]["exit_status"] == 2
    assert err.startswith(b"python: unsupported by minimal shim: ")


def test_python3_in_a_shell_pipeline(env):
    _, out, err = run(env, "printf '1\\n2\\n' | python3 -c 'print(int(input()) * 10)' | cat")
    assert (out, err) == (b"10\n", b"")


def test_repl_mode_of_a_session():
    env = _native.NativeEnvironment(*ROOMY)
    pid = env.create_shell()
    before = as_dict(run(env, "true", pid=pid)[0])["outcome"]["usage"]["memory_current"]
    _, out, _ = run(env, "python3", pid=pid)
    assert out.endswith(b">>> ")
    # run_python does not look at the session's interactive state.
    _, out, _ = python(env, "print('direct')")
    assert out == b"direct\n"
    assert run(env, "x = 2", pid=pid)[1] == b">>> "
    md, out, _ = run(env, "x * 21", pid=pid)
    assert out == b"42\n>>> "
    assert as_dict(md)["commands"] == ["python:repl"]
    md, out, _ = run(env, "exit()", pid=pid)
    assert (out, as_dict(md)["outcome"]["exit_status"]) == (b"", 0)
    assert as_dict(md)["outcome"]["usage"]["memory_current"] == before
    assert run(env, "echo shell", pid=pid)[1] == b"shell\n"


def test_repl_echo_is_bounded_by_the_output_budget():
    env = _native.NativeEnvironment(10**9, 1 << 26, 1 << 26, 2048)
    run(env, "python3")
    md, out, err = run(env, "for i in range(10**6): i")
    o = as_dict(md)["outcome"]
    assert o["exit_status"] == 137 and o["stop_reason"] == "output_limit_exceeded"
    assert len(out) + len(err) <= 2048


def test_sys_argv_and_stdin_in_shell_actions(env):
    assert run(env, 'python3 -c "import sys; print(sys.argv)"')[1] == b"['-c']\n"
    _, out, err = run(env, "seq 5 | python3 -c 'import sys; print(sum(int(l) for l in sys.stdin))' | cat")
    assert (out, err) == (b"15\n", b"")
    assert python(env, "import sys; print(sys.argv)", ["a", "b"])[1] == b"['-c', 'a', 'b']\n"
