"""NativeEnvironment.run end to end: the 3-tuple, the metadata JSON text, budgets and the
terminated machine."""
import json

import pytest

from tarnwick import _native
from conftest import ROOMY, as_dict, outcome, run


def test_echo_hi_returns_metadata_and_exact_streams():
    env = _native.NativeEnvironment(10**6, 1 << 26, 1 << 26, 1 << 20)
    text, out, err = env.run("echo hi", b"")
    assert (type(text), out, err) == (str, b"hi\n", b"")
    # Compact: no whitespace outside strings.
    assert " " not in text and "\n" not in text
    md = json.loads(text, object_pairs_hook=lambda pairs: pairs)
    assert [k for k, _ in md] == [
        "outcome", "unsupported", "dropped_unsupported", "commands", "dropped_commands",
        "unsupported_commands", "partial_commands", "invocations", "dropped_invocations",
        "network_requests", "dropped_network_requests",
    ]
    o = dict(md)["outcome"]
    assert [k for k, _ in o] == ["exit_status", "stop_reason", "limits", "usage", "command_usage",
                                 "cost_model_version"]
    assert [k for k, _ in dict(o)["limits"]] == ["cpu", "memory", "disk", "output"]
    assert [k for k, _ in dict(o)["usage"]] == ["cpu_used", "memory_current", "memory_peak", "disk_current",
                                                "disk_peak", "output_bytes"]
    assert text.startswith('{"outcome":{"exit_status":0,"stop_reason":null,'
                           '"limits":{"cpu":1000000,"memory":67108864,"disk":67108864,"output":1048576},')
    assert text.endswith(',"cost_model_version":2},"unsupported":[],"dropped_unsupported":0,"commands":["echo"],'
                         '"dropped_commands":0,"unsupported_commands":[],"partial_commands":[],'
                         '"invocations":[{"sequence":0,"pid":1234,"argv":["echo","hi"],"trust":"real",'
                         '"status":0,"cpu":25,"disk_delta":0}],"dropped_invocations":0,'
                         '"network_requests":[],"dropped_network_requests":0}')
    usage = as_dict(dict(o)["usage"])
    assert usage["output_bytes"] == 3
    assert usage["cpu_used"] >= len("echo hi")  # the parse alone charges the source length


def test_streams_keep_their_bytes(env):
    md, out, err = outcome(env, "cat; printf 'e\\001r' >&2", b"a\x00\xff\r\n")
    assert out == b"a\x00\xff\r\n"
    assert err == b"e\x01r"
    assert md["outcome"]["exit_status"] == 0


def test_stdin_accepts_bytearray_and_int_sequences(env):
    assert env.run("cat", bytearray(b"xy"))[1] == b"xy"
    assert env.run("cat", [120])[1] == b"x"
    assert env.run("cat", (0, 255))[1] == b"\x00\xff"


def test_argv_escaping_in_the_json(env):
    text, out, _ = env.run("printf '%s' \"q\\\"b\\\\s\" $'t\\tn\\nc\\001d\\177' é", b"")
    assert '"argv":["printf","%s","q\\"b\\\\s","t\\tn\\nc\\u0001d\x7f","é"]' in text
    assert out == 'q"b\\st\tn\nc\x01d\x7fé'.encode()


def test_syntax_error_status_2_and_dollar_question_in_next_action(env):
    md, out, err = outcome(env, "echo x; if")
    assert md["outcome"]["exit_status"] == 2
    assert out == b""
    assert err.startswith(b"tarnwick: syntax error: ")
    assert md["invocations"] == [] and md["commands"] == []
    assert env.run("echo $?", b"")[1] == b"2\n"


def test_command_usage_sums_and_stays_across_runs(env):
    md, _, _ = outcome(env, "echo a; echo b")
    usage = md["outcome"]["command_usage"]
    assert [u["command"] for u in usage] == ["echo"]
    assert usage[0]["cpu"] == sum(i["cpu"] for i in md["invocations"])
    md2, _, _ = outcome(env, "printf x")
    assert [u["command"] for u in md2["outcome"]["command_usage"]] == ["echo", "printf"]
    assert md2["outcome"]["command_usage"][0] == usage[0]
    assert [i["argv"][0] for i in md2["invocations"]] == ["printf"]


def test_exit_terminates_the_machine_for_good(env):
    assert env.terminated is False
    md, out, err = outcome(env, "echo before; exit 3; echo after")
    assert (md["outcome"]["exit_status"], out, err) == (3, b"before\n", b"")
    assert env.terminated is True
    md, out, err = outcome(env, "echo again")
    assert (md["outcome"]["exit_status"], out, err) == (3, b"", b"")
    assert md["invocations"] == [] and md["commands"] == []
    assert md["outcome"]["stop_reason"] is None
    # Files still move in and out of a terminated machine.
    env.write_file("/tmp/t", b"still", 0o644)
    assert env.read_file("/tmp/t") == b"still"


def test_cpu_budget_smaller_than_the_source():
    env = _native.NativeEnvironment(5, 1 << 26, 1 << 26, 1 << 20)
    md, out, err = outcome(env, "echo this source is longer than five")
    assert (md["outcome"]["exit_status"], md["outcome"]["stop_reason"], out, err) == (137, "cpu_exhausted", b"", b"")
    assert md["outcome"]["usage"]["cpu_used"] == 5
    assert env.terminated is True
    md, out, err = outcome(env, "echo")
    assert (md["outcome"]["exit_status"], md["outcome"]["stop_reason"], out, err) == (137, "cpu_exhausted", b"", b"")
    assert all(md[k] == 0 for k in md if k.startswith("dropped_"))


def test_budget_running_out_mid_run_ends_in_order():
    env = _native.NativeEnvironment(3000, 1 << 26, 1 << 26, 1 << 20)
    md, out, _ = outcome(env, "while true; do echo tick; done")
    assert md["outcome"]["exit_status"] == 137
    assert md["outcome"]["stop_reason"] == "cpu_exhausted"
    assert md["outcome"]["usage"]["cpu_used"] == 3000
    assert out.startswith(b"tick\n")
    assert env.terminated


def test_output_budget():
    env = _native.NativeEnvironment(10**9, 1 << 26, 1 << 26, 10)
    md, out, _ = outcome(env, "echo 0123456789abcdef")
    assert md["outcome"]["stop_reason"] == "output_limit_exceeded"
    assert md["outcome"]["exit_status"] == 137
    assert len(out) <= 10
    assert env.terminated


def test_memory_budget():
    env = _native.NativeEnvironment(10**9, 100, 1 << 26, 1 << 20)
    md, out, _ = outcome(env, "echo hi")
    assert (md["outcome"]["exit_status"], md["outcome"]["stop_reason"], out) == (137, "memory_exhausted", b"")


def test_unknown_command_is_an_ordinary_status(env):
    md, out, err = outcome(env, "no-such-command")
    assert md["outcome"]["exit_status"] == 127
    assert err == b"no-such-command: command not found\n"
    assert env.terminated is False


def test_real_time_machine_runs(env):
    rt = _native.NativeEnvironment(*ROOMY, real_time=True)
    assert rt.run("echo rt", b"")[1] == b"rt\n"
    assert _native.NativeEnvironment(*ROOMY, False).run("echo vt", b"")[1] == b"vt\n"


def test_unsupported_commands_listed_once_in_byte_order(env):
    md, _, err = outcome(env, "systemctl; systemctl start x; docker; systemctl")
    assert md["unsupported_commands"] == ["docker", "systemctl"]
    assert md["partial_commands"] == []
    assert err == (b"systemctl: not implemented in tarnwick\n" * 2 + b"docker: not implemented in tarnwick\n"
                   + b"systemctl: not implemented in tarnwick\n")
    first = md["invocations"][0]
    assert first["trust"] == "unsupported"
    assert first["unsupported_reason"] == "not implemented in tarnwick"
    assert "unsupported_reason" not in outcome(env, "echo")[0]["invocations"][0]


def test_invalid_utf8_in_argv_still_gives_readable_json(env):
    text, out, _ = env.run("printf '%s' $'a\\xffb'", b"")
    assert out == b"a\xffb"
    assert '"argv":["printf","%s","a\ufffdb"]' in text
