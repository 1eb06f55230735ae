"""The module surface and the call path: binding texts, exceptions, threads."""
import importlib.util
import sys
import threading
import time

import pytest

from tarnwick import _native
from conftest import ROOMY


def test_module_contents_and_exception_hierarchy():
    names = {n for n in dir(_native) if not n.startswith("__")}
    assert {"NativeEnvironment", "SimulationError", "PackageConflictError"} <= names
    assert issubclass(_native.SimulationError, Exception)
    assert issubclass(_native.PackageConflictError, _native.SimulationError)
    assert _native.SimulationError.__module__ == "tarnwick._native"
    assert _native.SimulationError.__doc__ == "An adapter or simulator operation could not be completed."
    assert _native.PackageConflictError.__doc__ == "A package destination conflicts with existing virtual content."
    with pytest.raises(_native.SimulationError):
        raise _native.PackageConflictError("caught as its base")


def test_docstrings_and_text_signatures():
    cls = _native.NativeEnvironment
    assert cls.__doc__ == "One persistent simulated machine owned by Python."
    assert cls.__text_signature__ == "(cpu, memory, disk, output, real_time=False)"
    expected = {
        "run": ("($self, source, stdin)",
                "Execute one shell action and return JSON metadata plus byte-preserving output streams."),
        "create_shell": ("($self)", "Create an idle shell with its own process state over the shared virtual machine."),
        "run_shell": ("($self, pid, source, stdin)", "Execute one action in a selected persistent shell session."),
        "write_file": ("($self, path, data, mode)", "Write one byte string into the simulated filesystem."),
        "read_file": ("($self, path)", "Read one simulated file as exact bytes."),
        "mkdir": ("($self, path, parents)", "Create a directory in the simulated filesystem."),
        "route_http": ("($self, pattern, method, status, headers, body)",
                       "Register one static response in the simulated HTTP broker."),
    }
    for name, (signature, doc) in expected.items():
        method = getattr(cls, name)
        assert (method.__text_signature__, method.__doc__) == (signature, doc), name


def test_a_second_module_object_shares_the_types():
    spec = importlib.util.find_spec("tarnwick._native")
    second = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(second)
    assert second is not _native
    assert second.NativeEnvironment is _native.NativeEnvironment
    assert second.SimulationError is _native.SimulationError
    assert second.PackageConflictError is _native.PackageConflictError


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: e.run("echo"), "NativeEnvironment.run() missing 1 required positional argument: 'stdin'"),
        (lambda e: e.run(), "NativeEnvironment.run() missing 2 required positional arguments: 'source' and 'stdin'"),
        (lambda e: e.run_shell(),
         "NativeEnvironment.run_shell() missing 3 required positional arguments: 'pid', 'source', and 'stdin'"),
        (lambda e: e.run("a", b"", 1), "NativeEnvironment.run() takes 2 positional arguments but 3 were given"),
        (lambda e: e.read_file("a", "b"), "NativeEnvironment.read_file() takes 1 positional arguments but 2 were given"),
        (lambda e: e.run("a", b"", shell=1), "NativeEnvironment.run() got an unexpected keyword argument 'shell'"),
        (lambda e: e.run("a", b"", source="b"), "NativeEnvironment.run() got multiple values for argument 'source'"),
        (lambda e: _native.NativeEnvironment(1, 2, 3, 4, True, 6),
         "NativeEnvironment.__new__() takes from 4 to 5 positional arguments but 6 were given"),
        (lambda e: _native.NativeEnvironment(1, 2, 3),
         "NativeEnvironment.__new__() missing 1 required positional argument: 'output'"),
        (lambda e: e.create_shell(1), None),
    ],
)
def test_binding_errors(env, call, message):
    with pytest.raises(TypeError) as info:
        call(env)
    if message is not None:
        assert str(info.value) == message


def test_keywords_and_str_stdin(env):
    assert env.run(source="echo kw", stdin=b"") [1] == b"kw\n"
    assert env.run_shell(stdin=b"", source="echo kw2", pid=1234)[1] == b"kw2\n"
    with pytest.raises(TypeError) as info:
        env.run("cat", "text")
    assert str(info.value) == "argument 'stdin': a str is not accepted where a sequence is expected"


@pytest.mark.parametrize(
    "args, error",
    [((-1, 0, 0, 0), OverflowError), ((1 << 64, 0, 0, 0), OverflowError), (("1", 0, 0, 0), TypeError),
     ((1, 1, 1, 1, object()), TypeError)],
)
def test_constructor_conversions(args, error):
    with pytest.raises(error) as info:
        _native.NativeEnvironment(*args)
    assert str(info.value).startswith("argument '")


def test_full_range_limits():
    env = _native.NativeEnvironment(2**64 - 1, 2**64 - 1, 2**64 - 1, 2**64 - 1)
    assert '"limits":{"cpu":18446744073709551615,' in env.run("true", b"")[0]


def test_no_worker_outlives_a_call(env):
    env.run("echo", b"")
    # A joined thread may stay listed for a moment while the kernel tears it down.
    for _ in range(1000):
        if worker_threads() == 0:
            break
        time.sleep(0.001)
    assert worker_threads() == 0


def run_many(env, label, rounds, results):
    for i in range(rounds):
        _, out, _ = env.run(f"i=0; while [ $i -lt 200 ]; do i=$((i+1)); done; echo {label}{i}", b"")
        results.append(out)


def test_two_threads_on_one_machine_are_served_one_after_the_other(env):
    results = []
    threads = [threading.Thread(target=run_many, args=(env, label, 5, results)) for label in "ab"]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(results) == sorted([f"a{i}\n".encode() for i in range(5)] + [f"b{i}\n".encode() for i in range(5)])


def worker_threads():
    import os
    count = 0
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                count += f.read().strip() == "tarnwick-python"
        except OSError:
            pass
    return count


def test_two_machines_progress_at_the_same_time():
    # Each host thread runs a long action in its own machine. With the interpreter lock released
    # during operations, both workers are alive at once and this thread keeps running meanwhile.
    envs = [_native.NativeEnvironment(*ROOMY) for _ in range(2)]
    done = threading.Event()
    results = []

    def long_run(env):
        while not done.is_set():
            results.append(env.run("i=0; while [ $i -lt 3000 ]; do i=$((i+1)); done; echo $i", b"")[1])

    threads = [threading.Thread(target=long_run, args=(e,)) for e in envs]
    for t in threads:
        t.start()
    seen = 0
    try:
        for _ in range(100000):
            seen = max(seen, worker_threads())
            if seen == 2:
                break
    finally:
        done.set()
        for t in threads:
            t.join()
    assert seen == 2
    assert set(results) == {b"3000\n"}
