"""Hostile scripts under small budgets: fork and pipe bombs, output floods, disk fills,
here-document bombs, background-job storms, huge printf widths, signals and traps.

Each run ends with its stop reason (or a normal status and message), never hands the host more
bytes on stdout and stderr together than the output budget, and the machine answers the next
run as a terminated or a live machine should.
"""
import json

import pytest

from tarnwick import _native

KIB = 1 << 10
MIB = 1 << 20

SMALL = (5_000_000, 32 * MIB, 1 * MIB, 64 * KIB)
TINY_OUTPUT = (5_000_000, 32 * MIB, 1 * MIB, 1 * KIB)
# Resumable programs pay output for every byte they write, into files too: a disk fill needs
# room in the output budget to reach the full disk.
DISK = (50_000_000, 4 * MIB, 2 * MIB, 64 * MIB)
ROOMY_OUTPUT = (500_000_000, 64 * MIB, 1 * MIB, 1 << 30)

LIVE = "live"  # the next run prints ok
ENDED = "ended"  # a budget stopped the machine: the next run answers 137 and runs nothing
EXITED = "exited"  # the shell ended (a signal): the next run answers its status and runs nothing

# name, limits, source, stop reason, exit status (None: any), text in stderr (or None), next run
BOMBS = [
    ("fork bomb", SMALL, ":(){ :|:& };:", None, 0, None, LIVE),
    ("fork bomb waited", SMALL, "f() { f | f & wait; }; f", None, 0, b"logical process limit exceeded", LIVE),
    ("pipe bomb", SMALL, "while :; do yes | cat | cat > /dev/null & done", "output_limit_exceeded", 137, None,
     ENDED),
    ("stdout flood", SMALL, "yes", "output_limit_exceeded", 137, None, ENDED),
    ("stderr flood", SMALL, "yes >&2", "output_limit_exceeded", 137, None, ENDED),
    ("printf flood", SMALL, "while :; do printf '%100000s' x; done", "output_limit_exceeded", 137, None, ENDED),
    ("not-found flood", SMALL, "while :; do nosuchcmd; done", "output_limit_exceeded", 137,
     b"nosuchcmd: command not found", ENDED),
    ("recursive alias flood", SMALL, "shopt -s expand_aliases; alias a=b b=a\nwhile :; do a; done",
     "output_limit_exceeded", 137, b"recursive alias involving a", ENDED),
    ("frame limit", SMALL, "f() { f; }; f", None, 2, b"shell continuation frame limit exceeded", LIVE),
    ("frame limit flood", TINY_OUTPUT, "f() { f; }; while :; do (f); done", "output_limit_exceeded", 137,
     b"frame limit exceeded", ENDED),
    ("background storm", TINY_OUTPUT, "i=0; while [ $i -lt 200000 ]; do sleep 100 & i=$((i+1)); done",
     "output_limit_exceeded", 137, b"logical process limit exceeded", ENDED),
    ("here-document bomb", (20_000_000, 64 * MIB, 1 * MIB, 16 * MIB),
     "x=$(head -c 3000000 /dev/zero | tr '\\0' a)\nwhile :; do cat <<EOF\n$x$x\nEOF\ndone", "cpu_exhausted", 137,
     None, ENDED),
    ("huge printf width", SMALL, "printf '%999999999d' 1", "memory_exhausted", 137, None, ENDED),
    ("huge printf star width", SMALL, "printf '%*s' 2000000000 x", "memory_exhausted", 137, None, ENDED),
    ("disk fill loop", DISK, "while :; do cat /dev/zero > /tmp/f$RANDOM; done", "cpu_exhausted", 137,
     b"cat: write error: No space left on device", ENDED),
    ("disk fill head", DISK, "while :; do head -c 1000000 /dev/zero > /tmp/f$RANDOM; done", "cpu_exhausted", 137,
     b"head: write error: No space left on device", ENDED),
    ("one write past the disk", (500_000_000, 4 * MIB, 2 * MIB, 512 * MIB),
     "head -c 70000000 /dev/zero > /tmp/f; echo rc=$?", None, 0, b"head: write error: No space left on device\n",
     LIVE),
    ("redirection on a full disk", DISK, "head -c 1900000 /dev/zero > /tmp/a; echo x > /tmp/b; echo rc=$?", None,
     0, None, LIVE),
    ("trap re-raising its signal", SMALL, "trap 'kill -TERM $$' TERM; kill -TERM $$", "cpu_exhausted", 137, None,
     ENDED),
    ("untrapped kill of the shell", SMALL, "kill $$; echo not reached", None, 143, None, EXITED),
    ("trapped kill of the shell", SMALL, "trap 'echo got' TERM; kill $$; echo after", None, 0, None, LIVE),
    ("captured output past 4 MiB", ROOMY_OUTPUT, "yes | head -c 16777216", "output_limit_exceeded", 137,
     b"tarnwick: output cut at 4 MiB", ENDED),
]


def outcome_of(env, source, stdin=b""):
    text, out, err = env.run(source, stdin)
    return json.loads(text)["outcome"], out, err


@pytest.mark.parametrize("name,limits,source,stop,status,message,after", BOMBS, ids=[b[0] for b in BOMBS])
def test_bomb(name, limits, source, stop, status, message, after):
    env = _native.NativeEnvironment(*limits)
    outcome, out, err = outcome_of(env, source)
    assert outcome["stop_reason"] == stop
    if status is not None:
        assert outcome["exit_status"] == status
    if message is not None:
        assert message in err
    assert len(out) + len(err) <= limits[3]
    assert outcome["usage"]["output_bytes"] <= limits[3]

    following, out2, err2 = outcome_of(env, "echo ok")
    if after == LIVE:
        assert (following["exit_status"], out2) == (0, b"ok\n")
    elif after == ENDED:
        assert following["stop_reason"] == outcome["stop_reason"]
        assert (following["exit_status"], out2, err2) == (137, b"", b"")
    elif after == EXITED:
        assert (following["exit_status"], following["stop_reason"], out2) == (status, None, b"")
    # Whatever the machine did, two runs together stay inside the output budget.
    assert len(out) + len(err) + len(out2) + len(err2) <= limits[3]


def test_captured_output_is_cut_at_4_mib_with_a_notice():
    env = _native.NativeEnvironment(*ROOMY_OUTPUT)
    outcome, out, err = outcome_of(env, "yes | head -c 16777216")
    assert len(out) == 4 * MIB
    assert err == b"tarnwick: output cut at 4 MiB (4194304 bytes captured)\n"
    assert outcome["stop_reason"] == "output_limit_exceeded"


def test_action_stdin_above_4_mib_is_refused_by_name():
    env = _native.NativeEnvironment(*ROOMY_OUTPUT)
    outcome, out, err = outcome_of(env, "wc -c", b"x" * (4 * MIB + 1))
    assert b"action stdin exceeds 4 MiB" in err
    assert out == b""
    outcome, out, _ = outcome_of(env, "wc -c", b"x" * (4 * MIB))
    assert out.strip() == b"4194304"


def test_signal_acts_within_the_action_that_sent_it():
    env = _native.NativeEnvironment(*SMALL)
    outcome, out, err = outcome_of(env, "trap 'echo got $?' USR1; kill -USR1 $$; echo after")
    assert (outcome["exit_status"], out) == (0, b"got 0\nafter\n")
    outcome, out, err = outcome_of(env, "echo ok")
    assert (outcome["exit_status"], outcome["stop_reason"], out) == (0, None, b"ok\n")
    # The last command of an action sends the signal: still delivered before the action ends.
    outcome, out, _ = outcome_of(env, "trap 'echo term' TERM; kill $$")
    assert (outcome["exit_status"], out) == (0, b"term\n")
    outcome, out, _ = outcome_of(env, "echo ok")
    assert (outcome["exit_status"], out) == (0, b"ok\n")


def test_messages_of_the_shell_count_as_output():
    env = _native.NativeEnvironment(*SMALL)
    outcome, _, err = outcome_of(env, "f() { f; }; f")
    assert outcome["usage"]["output_bytes"] == len(err) > 0


def test_container_action_is_cut_and_refused_the_same_way():
    import base64

    container = _native.NativeContainer(*ROOMY_OUTPUT, False)
    with pytest.raises(_native.SimulationError, match="action stdin exceeds 4 MiB"):
        container.start_execute("cat", b"x" * (4 * MIB + 1))
    action = json.loads(container.start_execute("yes | head -c 6000000", b""))["action_id"]
    for _ in range(200):
        view = json.loads(container.poll_action(action))
        if view["state"]["state"] == "complete":
            break
    assert view["state"] == {"state": "complete", "status": 137}
    output = json.loads(container.read_action_output(action))
    assert len(base64.b64decode(output["stdout_base64"])) == 4 * MIB
    assert base64.b64decode(output["stderr_base64"]) == b"tarnwick: output cut at 4 MiB (4194304 bytes captured)\n"
