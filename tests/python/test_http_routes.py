"""route_http: validation in its fixed order, the broker's limits, argument conversion."""
import pytest

from tarnwick import _native

BODY_LIMIT = 8388608


def refused(env, *args):
    with pytest.raises(_native.SimulationError) as info:
        env.route_http(*args)
    return str(info.value)


def test_valid_routes_register(env):
    assert env.route_http("http://example.test/", None, 200, [], b"hello") is None
    env.route_http("http://example.test/*", "get", 100, [("Content-Type", "text/plain")], bytearray(b"x"))
    env.route_http("*", "PATCH", 599, (("X-A", "1"), ("X-B", "")), [1, 2])
    env.route_http("p" * 8192, None, 204, [], b"")
    env.route_http(pattern="kw", method=None, status=200, headers=[], body=b"")
    env.route_http("big", None, 200, [], b"b" * BODY_LIMIT)
    env.route_http("many", None, 200, [(f"H{i}", "v") for i in range(128)], b"")


@pytest.mark.parametrize(
    "args, message",
    [
        (("", None, 200, [], b""), "URL pattern cannot be empty"),
        (("p" * 8193, None, 200, [], b""), "URL pattern exceeds 8192 bytes"),
        (("u", "", 200, [], b""), "HTTP method must be a non-empty ASCII token"),
        (("u", "GE T", 200, [], b""), "HTTP method must be a non-empty ASCII token"),
        (("u", "GÉT", 200, [], b""), "HTTP method must be a non-empty ASCII token"),
        (("u", None, 99, [], b""), "invalid HTTP status 99"),
        (("u", None, 600, [], b""), "invalid HTTP status 600"),
        (("u", None, 200, [(f"H{i}", "v") for i in range(129)], b""), "HTTP response has more than 128 headers"),
        (("u", None, 200, [("X", "a\nb")], b""), "HTTP response header contains an invalid name or newline"),
        (("u", None, 200, [("X", "a\rb")], b""), "HTTP response header contains an invalid name or newline"),
        (("u", None, 200, [("", "v")], b""), "HTTP response header contains an invalid name or newline"),
        (("u", None, 200, [("A", "x" * 65536)], b""), "HTTP response headers exceed 65536 bytes"),
        (("u", None, 200, [], b"b" * (BODY_LIMIT + 1)), "static HTTP response body exceeds 8388608 bytes"),
        # The order of the rules: the method is checked before the status.
        (("u", "bad method", 99, [], b""), "HTTP method must be a non-empty ASCII token"),
    ],
)
def test_refusals(env, args, message):
    assert refused(env, *args) == message


def test_route_count_and_byte_limits(env):
    for i in range(1024):
        env.route_http(f"r{i}", None, 200, [], b"")
    assert refused(env, "one more", None, 200, [], b"") == "virtual HTTP route limit of 1024 reached"

    env2 = _native.NativeEnvironment(10**6, 1 << 26, 1 << 26, 1 << 20)
    for i in range(7):
        env2.route_http(f"b{i}", None, 200, [], b"x" * BODY_LIMIT)
    env2.route_http("tail", None, 200, [], b"x" * (BODY_LIMIT - 100))
    assert refused(env2, "over", None, 200, [], b"x" * 200) == "virtual HTTP route data exceeds 67108864 bytes"
    env2.route_http("fits", None, 200, [], b"")


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("u", None, 70000, [], b""), OverflowError, "argument 'status': "),
        (("u", None, -1, [], b""), OverflowError, "argument 'status': "),
        (("u", None, "200", [], b""), TypeError, "argument 'status': "),
        (("u", 5, 200, [], b""), TypeError, "argument 'method': "),
        (("u", None, 200, "X: y", b""), TypeError, "argument 'headers': "),
        (("u", None, 200, [("a", "b", "c")], b""), TypeError,
         "argument 'headers': expected tuple of length 2, but got tuple of length 3"),
        (("u", None, 200, [["a", "b"]], b""), TypeError, "argument 'headers': "),
        (("u", None, 200, [("a", 1)], b""), TypeError, "argument 'headers': "),
        (("u", None, 200, [], "body"), TypeError, "argument 'body': "),
        ((None, None, 200, [], b""), TypeError, "argument 'pattern': "),
    ],
)
def test_argument_conversion(env, args, error, message):
    with pytest.raises(error) as info:
        env.route_http(*args)
    assert type(info.value) is error
    assert str(info.value).startswith(message)
