"""NativeContainer driven as an agent host drives it: start an action, poll it, answer the tool
calls its programs post, read its output; plus the container's limits and refusals."""
import base64
import json

import pytest

from tarnwick import NativeContainer, SimulationError

ROOMY = (10**9, 1 << 26, 1 << 26, 1 << 20)
ENDPOINT = "http://tools.tarnwick/tools"


def post(body, flags="-s"):
    return f"curl {flags} -X POST -d '{body}' {ENDPOINT}"


@pytest.fixture
def box():
    return NativeContainer(*ROOMY, False)


def b64(text):
    return base64.b64decode(text)


class Host:
    """A minimal agent host: one action at a time, every tool call answered by `answer`."""

    def __init__(self, container, answer=None):
        self.c = container
        self.answer = answer or (lambda call: ({"echo": call["arguments"]}, None))
        self.calls = []

    def run(self, source, stdin=b"", polls=100):
        view = json.loads(self.c.start_execute(source, stdin))
        action = view["action_id"]
        out, err = b"", b""
        for _ in range(polls):
            if view["state"]["state"] == "complete":
                break
            view = json.loads(self.c.poll_action(action))
            for call in view["tool_calls"]:
                self.calls.append(call)
                result, error = self.answer(call)
                self.c.respond_tool_call(
                    call["request_id"], None if result is None else json.dumps(result), error
                )
            chunk = json.loads(self.c.read_action_output(action))
            out += b64(chunk["stdout_base64"])
            err += b64(chunk["stderr_base64"])
        last = json.loads(self.c.read_action_output(action))
        assert last["stdout_closed"] and last["stderr_closed"]
        assert last["stdout_base64"] == last["stderr_base64"] == ""
        return view, out, err


def test_sleep_then_echo_completes_with_closed_streams(box):
    started = json.loads(box.start_execute("sleep 1; echo x", b""))
    assert started["kind"] == "action" and started["state"] == {"state": "running"}
    action = started["action_id"]
    view = started
    for _ in range(10):
        view = json.loads(box.poll_action(action))
        if view["state"]["state"] == "complete":
            break
    assert view["state"] == {"state": "complete", "status": 0}
    assert view["outcome"]["exit_status"] == 0
    output = box.read_action_output(action)
    assert output == (
        '{"kind":"action_output","action_id":0,"stdout_base64":"eAo=","stderr_base64":"",'
        '"stdout_closed":true,"stderr_closed":true}'
    )


def test_agent_loop_answers_tool_calls(box):
    host = Host(box)
    body = '{"tool":"t","arguments":{"b":2,"a":1}}'
    view, out, err = host.run(f"{post(body)}; echo; echo done")
    assert view["state"] == {"state": "complete", "status": 0}
    assert [(c["request_id"], c["tool"], c["arguments"]) for c in host.calls] == [(0, "t", {"b": 2, "a": 1})]
    assert out == b'{"result":{"echo":{"b":2,"a":1}}}\ndone\n'
    assert err == b""
    # The request is in the action's network log, answered with 200.
    (logged,) = view["network_requests"]
    assert (logged["method"], logged["url"], logged["response_status"]) == ("POST", ENDPOINT, 200)


def test_tool_call_is_reported_once_and_blocks_until_answered(box):
    action = json.loads(box.start_execute(post('{"tool":"lookup","arguments":{"q":"x"}}'), b""))["action_id"]
    first = box.poll_action(action)
    assert '"tool_calls":[{"request_id":0,"tool":"lookup","arguments":{"q":"x"}}]' in first
    view = json.loads(first)
    assert view["state"] == {"state": "blocked", "reason": {"kind": "host_http", "request_id": 0}}
    again = json.loads(box.poll_action(action))
    assert again["tool_calls"] == [] and again["state"]["state"] == "blocked"
    # A result that is not JSON is refused before anything is sent; the call stays open.
    with pytest.raises(SimulationError):
        box.respond_tool_call(0, "{not json", None)
    with pytest.raises(SimulationError, match="^supply one object result or one error$"):
        box.respond_tool_call(0, None, None)
    with pytest.raises(SimulationError, match="^supply one object result or one error$"):
        box.respond_tool_call(0, "[1]", None)
    assert box.respond_tool_call(0, None, "no such tool") is None
    with pytest.raises(SimulationError, match="^host request 0 cannot be completed$"):
        box.respond_tool_call(0, "{}", None)
    view = json.loads(box.poll_action(action))
    assert view["state"] == {"state": "complete", "status": 0}
    assert b64(json.loads(box.read_action_output(action))["stdout_base64"]) == b'{"error":"no such tool"}'


def test_sixteen_pending_tool_calls_at_most(box):
    # Seventeen background posts: sixteen wait for the host, one is refused by the endpoint.
    jobs = "; ".join(post(f'{{"tool":"t{i}","arguments":{{}}}}', "-sS") + " &" for i in range(17))
    host = Host(box, answer=lambda call: ({"tool": call["tool"]}, None))
    view, out, err = host.run(jobs + " wait; echo all done")
    assert view["state"]["state"] == "complete"
    assert len(host.calls) == 16
    assert len({c["request_id"] for c in host.calls}) == 16
    assert err.count(b"host request limit reached") == 1
    assert out.count(b'{"result":{"tool":"t') == 16
    assert out.endswith(b"all done\n")


def test_appending_is_not_offered_but_stdin_is_read_to_its_end(box):
    host = Host(box)
    view, out, _ = host.run("cat; echo end", b"given bytes\n")
    assert out == b"given bytes\nend\n"


def test_cancel_and_drop(box):
    # Not polled yet: the action has not run at all (polls would let the virtual clock run).
    action = json.loads(box.start_execute("sleep 100; echo never", b""))["action_id"]
    with pytest.raises(SimulationError, match="^action 0 is still active$"):
        box.drop_action(action)
    with pytest.raises(SimulationError, match="^session already has an active foreground action$"):
        box.start_execute("true", b"")
    assert box.cancel_action(action) is None
    with pytest.raises(SimulationError, match="^action 0 is complete$"):
        box.cancel_action(action)
    output = json.loads(box.read_action_output(action))
    assert b"never" not in b64(output["stdout_base64"]) and output["stdout_closed"]
    assert box.drop_action(action) is None
    with pytest.raises(SimulationError, match="^action 0 does not exist$"):
        box.drop_action(action)
    # The session goes on.
    view, out, _ = Host(box).run("echo again")
    assert view["action_id"] == 1 and out == b"again\n"


def test_retained_action_limit(box):
    host = Host(box)
    for _ in range(64):
        host.run("true")
    with pytest.raises(SimulationError, match=r"^session retained-action limit exceeded \(64\)$"):
        box.start_execute("true", b"")
    box.drop_action(10)
    assert json.loads(box.start_execute("true", b""))["action_id"] == 64


def test_poll_refusals(box):
    with pytest.raises(SimulationError, match="^action 5 does not exist$"):
        box.poll_action(5)
    with pytest.raises(SimulationError, match="^action 5 does not exist$"):
        box.display_frame(5)
    with pytest.raises(OverflowError):
        box.poll_action(-1)


def test_files_relative_to_work(box):
    box.write_file("a.txt", b"alpha", 0o600)
    assert box.read_file("/work/a.txt") == b"alpha"
    view, out, _ = Host(box).run("pwd; cat a.txt")
    assert out == b"/work\nalpha"
    box.mkdir("deep/er", 0o7777)
    box.write_file("/tmp/outside", b"o", 0o644)
    assert box.read_file("/tmp/outside") == b"o"  # these three methods are not confined
    with pytest.raises(SimulationError, match="^invalid directory mode$"):
        box.mkdir("x", 0o10000)
    with pytest.raises(SimulationError, match="^invalid file mode$"):
        box.write_file("x", b"", 4096)
    with pytest.raises(SimulationError, match="^container path contains NUL$"):
        box.read_file("a\0b")
    with pytest.raises(SimulationError):
        box.read_file("x")  # never created


def test_snapshot_workspace(box):
    assert box.snapshot_workspace() == "[]"
    box.write_file("a-b", b"hi", 0o755)
    box.write_file("a/x", b"", 0o644)
    box.mkdir("a", 0o700)
    box.write_file("/workspace/f", b"no", 0o644)
    assert box.snapshot_workspace() == (
        '[{"type":"directory","path":"a","mode":448},'
        '{"type":"file","path":"a-b","mode":493,"data_base64":"aGk="},'
        '{"type":"file","path":"a/x","mode":420,"data_base64":""}]'
    )
    box.start_execute("sleep 5", b"")
    with pytest.raises(SimulationError, match="^workspace snapshot requires a quiescent container$"):
        box.snapshot_workspace()


def test_clock_mode_and_display(box):
    assert box.clock_mode() == "virtual"
    assert NativeContainer(*ROOMY, True).clock_mode() == "real_time"
    action = json.loads(box.start_execute("sleep 5", b""))["action_id"]
    assert box.display_frame(action) is None
    with pytest.raises(SimulationError, match="^InvalidArgument$"):
        box.inject_key(action, 0, True)
    box.inject_key(action, 65, True)
    box.cancel_action(action)
    with pytest.raises(SimulationError, match=f"^action {action} is not active$"):
        box.inject_key(action, 65, False)


def test_constructor_takes_every_argument():
    with pytest.raises(TypeError):
        NativeContainer(*ROOMY)
    assert NativeContainer(cpu=1, memory=1 << 20, disk=1 << 20, output=1, real_time=False).clock_mode() == "virtual"


def test_cancel_a_program_waiting_for_the_host(box):
    action = json.loads(box.start_execute(post('{"tool":"t","arguments":{}}') + "; echo after", b""))["action_id"]
    assert len(json.loads(box.poll_action(action))["tool_calls"]) == 1
    box.cancel_action(action)
    with pytest.raises(SimulationError, match="^host request 0 does not exist$"):
        box.respond_tool_call(0, "{}", None)
    view, out, _ = Host(box).run("echo next")
    assert out == b"next\n"
    # A new call after the cancelled one gets the next identity.
    view, out, _ = Host(box).run(post('{"tool":"u","arguments":{}}'))
    assert out == b'{"result":{"echo":{}}}'


def test_a_terminated_machine_completes_every_new_action_at_once():
    box = NativeContainer(2000, 1 << 26, 1 << 26, 1 << 20, False)
    action = json.loads(box.start_execute("while true; do :; done", b""))["action_id"]
    view = json.loads(box.poll_action(action))
    assert view["state"] == {"state": "complete", "status": 137}
    assert view["outcome"]["stop_reason"] == "cpu_exhausted"
    assert json.loads(box.start_execute("echo hi", b"x"))["state"] == {"state": "complete", "status": 137}

    box = NativeContainer(*ROOMY, False)
    Host(box).run("exit 3")
    assert json.loads(box.start_execute("echo hi", b""))["state"] == {"state": "complete", "status": 3}


def test_real_time_container_waits_for_the_host_clock():
    box = NativeContainer(*ROOMY, True)
    action = json.loads(box.start_execute("sleep 0.02; echo rt", b""))["action_id"]
    view = json.loads(box.poll_action(action))
    # In real time a poll does not jump the clock: the sleeper is reported blocked on its timer.
    while view["state"]["state"] != "complete":
        assert view["state"]["state"] in ("running", "blocked")
        view = json.loads(box.poll_action(action))
    assert b64(json.loads(box.read_action_output(action))["stdout_base64"]) == b"rt\n"
