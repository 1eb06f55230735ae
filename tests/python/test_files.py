"""write_file, read_file and mkdir: exact bytes, the filesystem's refusals, argument types."""
import pytest

from tarnwick import _native
from conftest import outcome

ALL_BYTES = bytes(range(256)) * 17


def test_round_trip_of_arbitrary_bytes(env):
    env.write_file("/tmp/all.bin", ALL_BYTES, 0o644)
    assert env.read_file("/tmp/all.bin") == ALL_BYTES
    env.write_file("/tmp/empty", b"", 0o644)
    assert env.read_file("/tmp/empty") == b""
    # The shell sees the same bytes.
    assert env.run("cat /tmp/all.bin", b"")[1] == ALL_BYTES
    # Any bytes-like sequence of ints.
    env.write_file("/tmp/ba", bytearray(b"\x00ba"), 0o600)
    env.write_file("/tmp/list", [104, 105], 0o600)
    assert (env.read_file("/tmp/ba"), env.read_file("/tmp/list")) == (b"\x00ba", b"hi")


def test_overwrite_and_relative_paths(env):
    env.write_file("/tmp/f", b"first version", 0o644)
    env.write_file("/tmp/./x/../f", b"2nd", 0o600)
    assert env.read_file("tmp/f") == b"2nd"  # relative to the default shell's directory, /


def test_files_written_by_the_shell_are_read_back(env):
    env.run("printf 'a\\0b' > /tmp/from-shell", b"")
    assert env.read_file("/tmp/from-shell") == b"a\x00b"


def test_disk_usage_follows_writes(env):
    md, _, _ = outcome(env, "true")
    before = md["outcome"]["usage"]["disk_current"]
    env.write_file("/tmp/d", b"x" * 1000, 0o644)
    md, _, _ = outcome(env, "true")
    assert md["outcome"]["usage"]["disk_current"] == before + 1000 + 256
    assert md["outcome"]["usage"]["disk_peak"] >= before + 1256
    assert md["invocations"][0]["argv"] == ["true"]  # file transfer logs nothing


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: e.write_file("/missing/b.txt", b"", 0o644), "No such file or directory: /missing"),
        (lambda e: e.write_file("a/b.txt", b"", 0o644), "No such file or directory: /a"),
        (lambda e: e.write_file("/tmp", b"", 0o644), "Is a directory: /tmp"),
        (lambda e: e.write_file("/proc/x", b"", 0o644), "Read-only filesystem: /proc/x"),
        (lambda e: e.write_file("/dev/null", b"", 0o644), "Read-only filesystem: /dev/null"),
        (lambda e: e.write_file("/tmp/" + "n" * 256, b"", 0o644), "File name too long: /tmp/" + "n" * 256),
        (lambda e: e.read_file("/tmp"), "Is a directory: /tmp"),
        (lambda e: e.read_file("/nope"), "No such file or directory: /nope"),
        (lambda e: e.read_file("/usr/bin/echo"), "Invalid argument: opaque native executable: /usr/bin/echo"),
        (lambda e: e.mkdir("/tmp", False), "File exists: /tmp"),
        (lambda e: e.mkdir("/no/such", False), "No such file or directory: /no"),
        (lambda e: e.mkdir("/proc/d", True), "Read-only filesystem: /proc/d"),
    ],
)
def test_filesystem_refusals(env, call, message):
    with pytest.raises(_native.SimulationError) as info:
        call(env)
    assert str(info.value) == message


def test_mkdir(env):
    env.mkdir("/work/a", False)
    env.mkdir("/work/b/c/d", True)
    env.mkdir("/work/b/c/d", True)  # an existing directory is fine with parents
    env.write_file("/work/b/c/d/f", b"deep", 0o644)
    assert env.read_file("/work/b/c/d/f") == b"deep"
    env.write_file("/work/file", b"", 0o644)
    with pytest.raises(_native.SimulationError, match="^Not a directory: "):
        env.mkdir("/work/file/sub", True)


def test_no_space_left():
    env = _native.NativeEnvironment(10**6, 1 << 26, 1000, 1 << 20)
    env.write_file("/tmp/small", b"x" * 500, 0o644)
    with pytest.raises(_native.SimulationError) as info:
        env.write_file("/tmp/big", b"x" * 600, 0o644)
    assert str(info.value) == "No space left on device"
    with pytest.raises(_native.SimulationError):
        env.read_file("/tmp/big")  # nothing was written
    env.write_file("/tmp/small", b"x" * 700, 0o644)  # replacing gives back the old size first


def test_symlink_is_replaced_not_followed(env):
    env.write_file("/tmp/target", b"target", 0o644)
    md, _, _ = outcome(env, "ln -s /tmp/target /tmp/link")
    if md["outcome"]["exit_status"] == 127:
        pytest.skip("ln is not available in this build")
    assert env.read_file("/tmp/link") == b"target"
    env.write_file("/tmp/link", b"new", 0o644)
    assert env.read_file("/tmp/target") == b"target"
    assert env.read_file("/tmp/link") == b"new"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda e: e.write_file("/tmp/s", "text", 0o644), TypeError, "argument 'data': "),
        (lambda e: e.write_file("/tmp/s", [256], 0o644), OverflowError, "argument 'data': "),
        (lambda e: e.write_file("/tmp/s", [-1], 0o644), OverflowError, "argument 'data': "),
        (lambda e: e.write_file("/tmp/s", ["a"], 0o644), TypeError, "argument 'data': "),
        (lambda e: e.write_file("/tmp/s", 5, 0o644), TypeError, "argument 'data': "),
        (lambda e: e.write_file("/tmp/s", b"", -1), OverflowError, "argument 'mode': "),
        (lambda e: e.write_file("/tmp/s", b"", 1 << 32), OverflowError, "argument 'mode': "),
        (lambda e: e.write_file(b"/tmp/s", b"", 0o644), TypeError, "argument 'path': "),
        (lambda e: e.write_file("/tmp/\ud800", b"", 0o644), ValueError, "argument 'path': "),
        (lambda e: e.read_file(None), TypeError, "argument 'path': "),
        (lambda e: e.mkdir("/tmp/m", object()), TypeError, "argument 'parents': "),
    ],
)
def test_argument_types(env, call, error, message):
    with pytest.raises(error) as info:
        call(env)
    assert type(info.value) is error
    assert str(info.value).startswith(message)


def test_parents_accepts_objects_with_bool(env):
    env.mkdir("/work/p1/q", 1)

    class Truthy:
        def __bool__(self):
            return True

    env.mkdir("/work/p2/q", Truthy())
    env.write_file("/work/p2/q/f", b"ok", 0o644)
    assert env.read_file("/work/p2/q/f") == b"ok"


def test_mode_accepts_any_u32(env):
    env.write_file("/tmp/m", b"", 0o100644)
    env.write_file("/tmp/m2", b"", 0xFFFFFFFF)
