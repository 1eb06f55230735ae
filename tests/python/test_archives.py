"""Archives written inside the machine, read by the host's own tar readers."""
import io
import shutil
import subprocess
import tarfile

import pytest

LONG = "a" * 60 + "/" + "b" * 89  # through the ustar prefix field
DEEP = "c" * 100 + "/" + "d" * 100 + "/" + "e" * 99  # through an extended header

SETUP = (
    "mkdir -p /tmp/w && cd /tmp/w && mkdir -p d/sub " + LONG.rsplit("/", 1)[0] + " " + DEEP.rsplit("/", 1)[0]
    + " && echo hi > d/f && printf 'x\\000\\377' > d/sub/g && chmod 750 d/sub/g"
    + " && echo l > " + LONG + " && echo p > " + DEEP
)
EXPECTED = {"d/f": b"hi\n", "d/sub/g": b"x\x00\xff", LONG: b"l\n", DEEP: b"p\n"}


def archive(env, flags):
    _, out, err = env.run(SETUP + f" && tar -c{flags} d {LONG.split('/')[0]} {DEEP.split('/')[0]}", b"")
    assert err == b""
    return out


@pytest.mark.parametrize("flags,mode", [("", "r:"), ("z", "r:gz")])
def test_python_tarfile_reads_machine_archives(env, flags, mode):
    with tarfile.open(fileobj=io.BytesIO(archive(env, flags)), mode=mode) as t:
        for name, content in EXPECTED.items():
            assert t.extractfile(name).read() == content
        assert t.getmember("d/sub/g").mode == 0o750
        assert t.getmember("d/sub").isdir()


@pytest.mark.skipif(shutil.which("tar") is None, reason="no host tar")
def test_host_tar_extracts_machine_archives(env, tmp_path):
    (tmp_path / "a.tgz").write_bytes(archive(env, "z"))
    subprocess.run(["tar", "-xzf", "a.tgz"], cwd=tmp_path, check=True, capture_output=True)
    for name, content in EXPECTED.items():
        assert (tmp_path / name).read_bytes() == content
