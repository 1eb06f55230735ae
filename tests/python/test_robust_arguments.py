"""A careless or hostile host: wrong argument types and values for every method, keyword use,
unknown identities and paths no name can hold. Every refusal is an ordinary Python error with a
fixed text; the object stays usable afterwards."""
import json

import pytest

from tarnwick import NativeContainer, NativeEnvironment, SimulationError

ROOMY = (10**9, 1 << 26, 1 << 26, 1 << 20)
STR_FOR_SEQUENCE = "a str is not accepted where a sequence is expected"


@pytest.fixture
def env():
    return NativeEnvironment(*ROOMY)


@pytest.fixture
def box():
    return NativeContainer(*ROOMY, False)


def refusal(call):
    with pytest.raises(Exception) as caught:
        call()
    return type(caught.value), str(caught.value)


# (call on an environment `e` and a container `c`, error type, message)
CASES = [
    (lambda e, c: e.run(None, b""), TypeError, "argument 'source': expected str, got NoneType"),
    (lambda e, c: e.run(b"echo", b""), TypeError, "argument 'source': expected str, got bytes"),
    (lambda e, c: e.run("cat", "text"), TypeError, f"argument 'stdin': {STR_FOR_SEQUENCE}"),
    (lambda e, c: e.run("cat", None), TypeError, "argument 'stdin': 'NoneType' object is not a sequence"),
    (lambda e, c: e.run("cat", [256]), OverflowError, "argument 'stdin': int too big to convert"),
    (lambda e, c: e.run("cat", [-1]), OverflowError, "argument 'stdin': can't convert negative int to unsigned"),
    (lambda e, c: e.run("\udc80", b""), ValueError,
     "argument 'source': 'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    (lambda e, c: e.run_shell(-1, "x", b""), OverflowError, "argument 'pid': can't convert negative int to unsigned"),
    (lambda e, c: e.run_shell(2**32, "x", b""), OverflowError, "argument 'pid': int too big to convert"),
    (lambda e, c: e.run_shell(1.5, "x", b""), TypeError, "argument 'pid': 'float' object cannot be interpreted as an integer"),
    (lambda e, c: e.run_shell(99, "x", b""), SimulationError, "shell session 99 is not idle"),
    (lambda e, c: e.write_file("/tmp/f", b"", -1), OverflowError, "argument 'mode': can't convert negative int to unsigned"),
    (lambda e, c: e.mkdir("/tmp/d", "yes"), TypeError, "argument 'parents': 'str' object cannot be interpreted as a bool"),
    (lambda e, c: e.route_http("http://x/", None, 2**16, [], b""), OverflowError, "argument 'status': int too big to convert"),
    (lambda e, c: e.route_http("http://x/", None, 200, "ab", b""), TypeError, f"argument 'headers': {STR_FOR_SEQUENCE}"),
    (lambda e, c: e.route_http("http://x/", None, 200, [("a",)], b""), TypeError,
     "argument 'headers': expected tuple of length 2, but got tuple of length 1"),
    (lambda e, c: e.run(source="x", stdin=b"", extra=1), TypeError,
     "NativeEnvironment.run() got an unexpected keyword argument 'extra'"),
    (lambda e, c: e.run("x", source="y"), TypeError, "NativeEnvironment.run() got multiple values for argument 'source'"),
    (lambda e, c: e.run_shell(), TypeError,
     "NativeEnvironment.run_shell() missing 3 required positional arguments: 'pid', 'source', and 'stdin'"),
    (lambda e, c: NativeEnvironment(1, 2, 3, 4, False, 6), TypeError,
     "NativeEnvironment.__new__() takes from 4 to 5 positional arguments but 6 were given"),
    (lambda e, c: NativeContainer(1, 2, 3, 4), TypeError,
     "NativeContainer.__new__() missing 1 required positional argument: 'real_time'"),
    (lambda e, c: c.poll_action(-1), OverflowError, "argument 'action_id': can't convert negative int to unsigned"),
    (lambda e, c: c.poll_action(2**64), OverflowError, "argument 'action_id': int too big to convert"),
    (lambda e, c: c.poll_action(2**64 - 1), SimulationError, "action 18446744073709551615 does not exist"),
    (lambda e, c: c.read_action_output(7), SimulationError, "action 7 does not exist"),
    (lambda e, c: c.cancel_action(7), SimulationError, "action 7 does not exist"),
    (lambda e, c: c.drop_action(7), SimulationError, "action 7 does not exist"),
    (lambda e, c: c.display_frame(7), SimulationError, "action 7 does not exist"),
    (lambda e, c: c.inject_key(7, 1, True), SimulationError, "action 7 is not active"),
    (lambda e, c: c.inject_key(0, 2**32, True), OverflowError, "argument 'code': int too big to convert"),
    (lambda e, c: c.respond_tool_call(0, "{", None), SimulationError, "expected a member name at byte 1"),
    (lambda e, c: c.respond_tool_call(0, None, None), SimulationError, "supply one object result or one error"),
    (lambda e, c: c.respond_tool_call(5, "{}", None), SimulationError, "host request 5 does not exist"),
    (lambda e, c: c.respond_tool_call(0, b"{}", None), TypeError, "argument 'result_json': expected str, got bytes"),
    (lambda e, c: c.write_file("a\0b", b"", 0o644), SimulationError, "container path contains NUL"),
    (lambda e, c: c.mkdir("d", 0o10000), SimulationError, "invalid directory mode"),
    (lambda e, c: c.start_execute("x", "text"), TypeError, f"argument 'stdin': {STR_FOR_SEQUENCE}"),
]


@pytest.mark.parametrize("call,kind,message", CASES)
def test_refusals_are_plain_errors_with_fixed_texts(env, box, call, kind, message):
    got_kind, got_message = refusal(lambda: call(env, box))
    assert (got_kind, got_message) == (kind, message)
    # Nothing was left half done: both objects still work.
    assert env.run("echo ok", b"")[1] == b"ok\n"
    assert json.loads(box.start_execute("true", b""))["kind"] == "action"


def test_bytes_likes_are_accepted_for_byte_arguments(env):
    for stdin in (b"ab", bytearray(b"ab"), memoryview(b"ab"), [97, 98], (97, 98), range(97, 99)):
        assert env.run("cat", stdin)[1] == b"ab"


def test_a_sequence_claiming_an_absurd_length_fails_on_its_items(env):
    # The claimed length is never trusted for an allocation: the conversion fails as Python code
    # would, with the error of the offending item.
    with pytest.raises(OverflowError, match="argument 'stdin': int too big to convert"):
        env.run("cat", range(2**62))

    class Liar:
        def __len__(self):
            return 2**62

        def __getitem__(self, index):
            if index > 2:
                raise IndexError(index)
            return 65

    with pytest.raises(IndexError):
        env.run("cat", Liar())
    assert env.run("echo ok", b"")[1] == b"ok\n"


def test_conversion_hooks_that_raise_pass_their_error_through(env):
    class Interrupting:
        def __index__(self):
            raise KeyboardInterrupt

    class Refusing:
        def __bool__(self):
            raise ValueError("no truth here")

    with pytest.raises(KeyboardInterrupt):
        env.run_shell(Interrupting(), "x", b"")
    with pytest.raises(ValueError, match="^argument 'parents': no truth here$"):
        env.mkdir("/tmp/d", Refusing())


@pytest.mark.parametrize("path", ["a\0b", "/tmp/x\0", "\0"])
def test_environment_file_methods_refuse_nul_in_paths(env, path):
    message = "Invalid argument: path contains NUL"
    for call in (lambda: env.write_file(path, b"x", 0o644), lambda: env.read_file(path),
                 lambda: env.mkdir(path, True), lambda: env.mkdir(path, False)):
        with pytest.raises(SimulationError) as caught:
            call()
        assert str(caught.value) == message
    # No node with such a name was made.
    assert env.run("for f in /* /tmp/*; do case $f in *x*) echo $f;; esac; done", b"")[1] == b""


def test_unicode_paths_round_trip(env, box):
    env.write_file("/tmp/\u00e9t\u00e9 \u2603.txt", b"snow", 0o644)
    assert env.read_file("/tmp/\u00e9t\u00e9 \u2603.txt") == b"snow"
    assert env.run("cat '/tmp/\u00e9t\u00e9 \u2603.txt'", b"")[1] == b"snow"
    box.write_file("\u00fc/\u00df", b"x", 0o600)
    assert box.read_file("/work/\u00fc/\u00df") == b"x"


def test_a_method_called_on_the_wrong_class_is_refused(env, box):
    with pytest.raises(TypeError):
        NativeEnvironment.run(box, "echo", b"")
    with pytest.raises(TypeError):
        NativeContainer.poll_action(env, 0)
