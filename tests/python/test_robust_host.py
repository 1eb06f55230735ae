"""The host side under stress: many Python threads on one machine and on many machines, machines
released while in use, every budget running out inside shell scripts and container actions, the
metadata JSON for any bytes, and the memory accounting after thousands of short actions."""
import base64
import gc
import json
import threading

import pytest

from tarnwick import NativeContainer, NativeEnvironment, SimulationError

ROOMY = (10**9, 1 << 26, 1 << 26, 1 << 20)


def run_threads(target, count):
    errors = []

    def guarded(i):
        try:
            target(i)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(repr(error))

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


def complete(box, view):
    action = view["action_id"]
    for _ in range(1000):
        if view["state"]["state"] == "complete":
            return view
        view = json.loads(box.poll_action(action))
        for call in view["tool_calls"]:
            box.respond_tool_call(call["request_id"], '{"ok":true}', None)
    raise AssertionError("action did not complete")


# ---- threads ----


def test_threads_sharing_one_environment_are_served_one_at_a_time():
    env = NativeEnvironment(*ROOMY)

    def work(i):
        for j in range(20):
            metadata, out, err = env.run(f"echo {i}-{j}; x=$(({j}+1)); echo $x", b"")
            assert out == f"{i}-{j}\n{j + 1}\n".encode() and err == b""
            json.loads(metadata)
            env.write_file(f"/tmp/f{i}", bytes([i]) * j, 0o644)
            assert env.read_file(f"/tmp/f{i}") == bytes([i]) * j
            assert env.terminated is False

    run_threads(work, 8)


def test_threads_on_separate_machines_run_side_by_side():
    def work(i):
        env = NativeEnvironment(*ROOMY)
        box = NativeContainer(*ROOMY, False)
        for _ in range(5):
            assert env.run("for n in 1 2 3; do echo $n; done", b"")[1] == b"1\n2\n3\n"
            view = complete(box, json.loads(box.start_execute("echo $((6*7))", b"")))
            output = json.loads(box.read_action_output(view["action_id"]))
            assert base64.b64decode(output["stdout_base64"]) == b"42\n"
            box.drop_action(view["action_id"])

    run_threads(work, 6)


def test_threads_racing_on_one_container_see_only_documented_refusals():
    box = NativeContainer(*ROOMY, False)
    allowed = ("session already has an active foreground action", "session retained-action limit exceeded (64)")

    def work(i):
        for _ in range(15):
            try:
                view = json.loads(box.start_execute(f"echo {i}", b""))
            except SimulationError as error:
                assert str(error) in allowed
                continue
            view = complete(box, view)
            box.read_action_output(view["action_id"])
            box.drop_action(view["action_id"])

    run_threads(work, 6)
    view = complete(box, json.loads(box.start_execute("echo last", b"")))
    assert view["state"] == {"state": "complete", "status": 0}


def test_a_machine_released_by_python_while_another_thread_runs_on_it():
    for _ in range(4):
        holder = [NativeEnvironment(*ROOMY)]
        done = []

        def use(env):
            _, out, _ = env.run("i=0; while [ $i -lt 3000 ]; do i=$((i+1)); done; echo $i", b"")
            done.append(out)

        thread = threading.Thread(target=use, args=(holder[0],))
        thread.start()
        holder.clear()
        gc.collect()
        thread.join()
        assert done == [b"3000\n"]


def test_the_interpreter_lock_is_free_during_a_long_run():
    env = NativeEnvironment(*ROOMY)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)
            stop.wait(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        env.run("i=0; while [ $i -lt 20000 ]; do i=$((i+1)); done", b"")
    finally:
        stop.set()
        thread.join()
    assert ticks


# ---- budgets ----

SCRIPTS = {
    "arithmetic loop": "i=0; while :; do i=$((i+1)); done",
    "yes": "yes",
    "growing variable": "x=a; while :; do x=$x$x; done",
    "appending to a file": "while :; do printf %0100d 0 >> /tmp/f; done",
    "pipeline loop": "while :; do echo a | cat; done",
    "substitution loop": "while :; do v=$(echo hi); done",
}
STOPS = {"cpu_exhausted", "memory_exhausted", "output_limit_exceeded"}


@pytest.mark.parametrize("script", SCRIPTS.values(), ids=list(SCRIPTS))
@pytest.mark.parametrize("budget", range(4), ids=["cpu", "memory", "disk", "output"])
@pytest.mark.parametrize("amount", [2000, 300000])
def test_a_budget_running_out_in_a_script_ends_the_run_with_137(script, budget, amount):
    limits = [2 * 10**7, 1 << 26, 1 << 26, 1 << 20]
    limits[budget] = amount
    env = NativeEnvironment(*limits)
    metadata, out, err = env.run(script, b"")
    outcome = json.loads(metadata)["outcome"]
    assert outcome["exit_status"] == 137
    assert outcome["stop_reason"] in STOPS
    assert len(out) + len(err) <= limits[3]
    # The machine is terminated: every later run ends at once with 137, and the files can still
    # be read and written.
    assert env.terminated is True
    later = json.loads(env.run("echo after", b"")[0])["outcome"]
    assert later["exit_status"] == 137 and later["stop_reason"] == outcome["stop_reason"]
    if budget != 2:  # a full disk refuses the write, as it should
        env.write_file("/tmp/note", b"n", 0o644)
        assert env.read_file("/tmp/note") == b"n"


@pytest.mark.parametrize("script", [
    "i=0; while :; do i=$((i+1)); done",
    "yes",
    "while :; do sleep 1; echo x; done",
    "while :; do curl -s -X POST -d '{\"tool\":\"t\",\"arguments\":{}}' http://tools.tarnwick/tools; done",
], ids=["loop", "yes", "sleep", "tool calls"])
@pytest.mark.parametrize("budget", [0, 1, 3], ids=["cpu", "memory", "output"])
def test_a_budget_running_out_during_polls_completes_the_action_with_137(script, budget):
    limits = [2 * 10**7, 1 << 26, 1 << 26, 1 << 20]
    limits[budget] = {0: 300000, 1: 3000, 3: 5000}[budget]
    box = NativeContainer(*limits, False)
    view = complete(box, json.loads(box.start_execute(script, b"")))
    assert view["state"] == {"state": "complete", "status": 137}
    assert view["outcome"]["stop_reason"] in STOPS
    output = json.loads(box.read_action_output(view["action_id"]))
    assert output["stdout_closed"] and output["stderr_closed"]
    # Later actions complete at once with 137; the container keeps answering.
    later = json.loads(box.start_execute("echo after", b""))
    assert later["state"] == {"state": "complete", "status": 137}
    box.drop_action(later["action_id"])
    assert box.snapshot_workspace() == "[]"


# ---- metadata JSON ----

AWKWARD = [
    "$(printf '\\377\\001') arg",
    "echo $(printf '\\377\\376\\001\\037\\177\"\\\\')",
    "X=$(printf '\\355\\240\\200') env",
    "curl -s \"http://x/$(printf '\\377\\001\\042')\" -H \"$(printf 'A\\001: \\377')\"",
    "curl -s 'http://h\u00e9/\u2028' -H 'X: \u2029'",
    "$(printf '\\300\\200\\355\\277\\277')",
    "'\\u0000' \"$(printf '\\t\\r\\b\\f')\"",
]


@pytest.mark.parametrize("source", AWKWARD)
def test_metadata_is_valid_json_for_any_bytes(source):
    env = NativeEnvironment(*ROOMY)
    env.route_http("http://h\u00e9/*", None, 200, [("X-A", "\u00ff\"\\")], b"\xff")
    metadata, _, _ = env.run(source, b"")
    metadata.encode("utf-8")  # no lone surrogates
    pairs = json.loads(metadata, object_pairs_hook=lambda p: p)
    assert [key for key, _ in pairs] == [
        "outcome", "unsupported", "dropped_unsupported", "commands", "dropped_commands",
        "unsupported_commands", "partial_commands", "invocations", "dropped_invocations",
        "network_requests", "dropped_network_requests",
    ]


# ---- memory accounting ----

SHORT = ["echo hi", "echo a | cat", "x=$(echo y)", "f() { echo $1; }; f z", "cat", "(echo sub)",
         "echo x > /tmp/a; cat /tmp/a", "true &", "wait", "printf '%s\\n' a b | head -n 1", "false",
         "syntax error (", "no-such-command"]


def test_thousands_of_runs_leave_no_memory_charged():
    env = NativeEnvironment(10**12, 1 << 26, 1 << 26, 1 << 30)
    current = []
    for i in range(2000):
        metadata, _, _ = env.run(SHORT[i % len(SHORT)], b"input")
        current.append(json.loads(metadata)["outcome"]["usage"]["memory_current"])
    # Each source leaves the same charge every time it comes round: nothing accumulates.
    cycle = current[len(SHORT):2 * len(SHORT)]
    assert all(value == cycle[i % len(SHORT)] for i, value in enumerate(current[len(SHORT):]))
    assert current[-1] == 0


def test_thousands_of_container_actions_leave_no_memory_charged():
    box = NativeContainer(10**12, 1 << 26, 1 << 26, 1 << 30, False)
    current = []
    for i in range(1500):
        view = complete(box, json.loads(box.start_execute(SHORT[i % len(SHORT)], b"input")))
        box.read_action_output(view["action_id"])
        box.drop_action(view["action_id"])
        current.append(view["outcome"]["usage"]["memory_current"])
    for _ in range(200):  # cancelled before their first poll
        action = json.loads(box.start_execute("sleep 100", b""))["action_id"]
        box.cancel_action(action)
        box.drop_action(action)
    last = complete(box, json.loads(box.start_execute("true", b"")))
    cycle = current[len(SHORT):2 * len(SHORT)]
    assert all(value == cycle[i % len(SHORT)] for i, value in enumerate(current[len(SHORT):]))
    assert last["outcome"]["usage"]["memory_current"] == 0
