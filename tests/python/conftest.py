import json

import pytest

from tarnwick import _native

ROOMY = (10**9, 1 << 26, 1 << 26, 1 << 20)


@pytest.fixture
def env():
    return _native.NativeEnvironment(*ROOMY)


def run(env, source, stdin=b"", pid=None):
    """One host run; the metadata parsed (members kept in order)."""
    if pid is None:
        text, out, err = env.run(source, stdin)
    else:
        text, out, err = env.run_shell(pid, source, stdin)
    return json.loads(text, object_pairs_hook=lambda pairs: pairs), out, err


def as_dict(pairs):
    """Ordered pairs from run() as nested dicts, for reading members."""
    if isinstance(pairs, list) and all(isinstance(p, tuple) and len(p) == 2 for p in pairs) and pairs:
        return {k: as_dict(v) for k, v in pairs}
    if isinstance(pairs, list):
        return [as_dict(v) for v in pairs]
    return pairs


def outcome(env, source, stdin=b"", pid=None):
    metadata, out, err = run(env, source, stdin, pid)
    return as_dict(metadata), out, err
