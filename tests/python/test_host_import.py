"""mount and mount_package_tree: host trees copied in as one transaction, git history through the
host's git, package trees laid over the filesystem without changing what is there."""
import json
import os
import shutil
import subprocess

import pytest

from tarnwick import _native
from conftest import ROOMY, outcome

HAVE_GIT = shutil.which("git") is not None
needs_git = pytest.mark.skipif(not HAVE_GIT, reason="no host git")


def make_tree(root, files):
    """files: relative path -> bytes, or (bytes, mode); a path ending in / is a directory."""
    for rel, content in files.items():
        path = root / rel
        if rel.endswith("/"):
            path.mkdir(parents=True, exist_ok=True)
            continue
        path.parent.mkdir(parents=True, exist_ok=True)
        data, mode = content if isinstance(content, tuple) else (content, 0o644)
        path.write_bytes(data)
        os.chmod(path, mode)
    return root


def state(env):
    """What a failed import must leave exactly as it was: every node below the places the tests
    touch, with modes and bytes, and the disk figures."""
    _, out, _ = env.run("find /srv /usr/bin /opt -exec ls -ld {} + 2>&1 | sort; find /srv -type f -exec cat {} +", b"")
    md, _, _ = outcome(env, "true")
    usage = md["outcome"]["usage"]
    return out, usage["disk_current"]


def put(env, path, data, mode=0o644):
    env.mkdir(path.rsplit("/", 1)[0], True)
    env.write_file(path, data, mode)


def mount(env, host, dest):
    return json.loads(env.mount(str(host), dest))


# ---- host tree import ----


def test_tree_order_modes_and_skipped_names(env, tmp_path):
    host = make_tree(tmp_path / "h", {
        "a": b"A", "b/c": (b"C", 0o4755), "b/.git/x": b"", "d/e/f/.git/": None, "d/e/f/g": b"G",
        "target": b"a file named target", "sub/target/x": b"", "node_modules/m": b"", "x\\y": b"slash",
    })
    os.chmod(host / "d", 0o700)
    put(env, "/srv/app/old", b"kept", 0o600)
    env.mkdir("/srv/app/b", False)
    env.run("chmod 711 /srv/app", b"")
    meta = mount(env, host, "/srv/app/")
    assert meta == {"files": 5, "skipped_directories": [".git", "node_modules", "target"]}
    _, out, _ = env.run("cd /srv/app && find . | sort && stat -c '%a %n' . b b/c d old && cat x/y", b"")
    assert out.decode().split("\n") == [
        ".", "./a", "./b", "./b/c", "./d", "./d/e", "./d/e/f", "./d/e/f/g", "./old", "./sub", "./target", "./x",
        "./x/y", "711 .", "755 b", "4755 b/c", "700 d", "600 old", "slash",
    ]
    # A second mount overwrites the files and takes the host's modes again; nothing is deleted.
    (host / "a").write_bytes(b"A2")
    os.chmod(host / "a", 0o640)
    env.run("chmod 600 /srv/app/b/c", b"")
    mount(env, host, "/srv/app")
    _, out, _ = env.run("stat -c '%a %n' /srv/app/a /srv/app/b/c /srv/app/old; cat /srv/app/a", b"")
    assert out == b"640 /srv/app/a\n4755 /srv/app/b/c\n600 /srv/app/old\nA2"


def test_mount_at_the_root(env, tmp_path):
    host = make_tree(tmp_path / "h", {"srv/x/y": b"Y"})
    assert env.mount(str(host), "/") == '{"files":1,"skipped_directories":[]}'
    assert env.read_file("/srv/x/y") == b"Y"


def fifo(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    os.mkfifo(path)


@pytest.mark.parametrize("case", ["venv_link", "deep_link", "fifo", "relative", "missing", "not_dir", "large", "occupied", "escape"])
def test_refusals_leave_the_filesystem_unchanged(tmp_path, case):
    env = _native.NativeEnvironment(10**9, 1 << 26, 1 << 20, 1 << 20)
    put(env, "/srv/app/keep", b"before")
    host = make_tree(tmp_path / "h", {"a/1": b"one", "a/2": b"two", "b": b"bee"})
    dest = "/srv/app"
    if case == "venv_link":
        os.symlink("a", host / "venv")
        message = f"refusing host symlink {host}/venv"
    elif case == "deep_link":
        (host / "z").mkdir()
        os.symlink("/etc/passwd", host / "z" / "y")
        message = f"refusing host symlink {host}/z/y"
    elif case == "fifo":
        fifo(host / "zz" / "pipe")
        message = f"unsupported host file type: {host}/zz/pipe"
    elif case == "relative":
        dest = "srv/app"
        message = "VFS destination root must be an absolute safe path"
    elif case == "missing":
        host = tmp_path / "nowhere"
        message = f"cannot resolve host root {host}: No such file or directory (os error 2)"
    elif case == "not_dir":
        host = host / "b"
        message = f"host root is not a directory: {host}"
    elif case == "large":
        (host / "zbig").write_bytes(b"x" * ((1 << 20) + 1))
        message = f"host file is larger than the configured VFS: {host}/zbig"
    elif case == "escape":
        (host / "zz").mkdir()
        (host / "zz" / "..\\..\\evil").write_bytes(b"a backslash is a separator inside")
        message = f"host path escapes the destination: {host}/zz/..\\..\\evil"
    else:
        env.mkdir("/srv/app/b", False)  # a directory where the host has a file
        message = f"cannot import {host}/b: Is a directory: /srv/app/b"
    before = state(env)
    with pytest.raises(_native.SimulationError) as error:
        env.mount(str(host), dest)
    assert str(error.value) == message
    assert state(env) == before


def test_disk_budget_exhausted_midway(tmp_path):
    env = _native.NativeEnvironment(10**9, 1 << 26, 1 << 20, 1 << 20)
    host = make_tree(tmp_path / "h", {f"f{i}": b"x" * 200_000 for i in range(8)})
    before = state(env)
    with pytest.raises(_native.SimulationError, match=r"^cannot import .*/f\d: No space left on device$"):
        env.mount(str(host), "/srv")
    assert state(env) == before


def test_mount_argument_errors(env):
    with pytest.raises(TypeError):
        env.mount("/tmp")
    with pytest.raises(TypeError):
        env.mount(b"/tmp", "/x")


# ---- package tree import ----


def stub_path(env):
    _, out, _ = env.run("ls /usr/bin | grep -x cowsay || ls /usr/bin | grep -x tr", b"")
    return "/usr/bin/" + out.decode().split()[0]


def test_package_tree_twice_and_modes(env, tmp_path):
    host = make_tree(tmp_path / "p", {
        "opt/pkg/.venv/bin/python": (b"#!py", 0o755), "opt/pkg/lib/m.py": (b"m", 0o644),
        "opt/pkg/target/t": b"t", "opt/pkg/__pycache__/c": b"c",
    })
    assert env.mount_package_tree(str(host)) is None
    after_first = state(env)
    env.mount_package_tree(str(host), "/")  # everything already in place: nothing is written
    assert state(env) == after_first
    assert env.read_file("/opt/pkg/.venv/bin/python") == b"#!py"
    assert env.read_file("/opt/pkg/__pycache__/c") == b"c"
    # An existing file with more permission than the package asks for is in place.
    env.run("chmod 755 /opt/pkg/lib/m.py", b"")
    env.mount_package_tree(str(host))
    # Missing execute bits are a conflict.
    env.run("chmod 644 /opt/pkg/.venv/bin/python", b"")
    before = state(env)
    with pytest.raises(_native.PackageConflictError) as error:
        env.mount_package_tree(str(host))
    assert str(error.value) == (
        "Invalid argument: package import would overwrite an incompatible VFS node: /opt/pkg/.venv/bin/python")
    assert state(env) == before


def test_builtin_stub_replacement(env, tmp_path):
    tool = stub_path(env)
    host = make_tree(tmp_path / "p", {"usr/bin/" + tool.rsplit("/", 1)[1]: (b"#!/bin/sh\necho replaced\n", 0o755)})
    with pytest.raises(_native.PackageConflictError, match="incompatible VFS node: " + tool):
        env.mount_package_tree(str(host), "/", [])
    env.mount_package_tree(str(host), replace_builtin_tools=[tool, tool, "/no/such/tool"])
    assert env.read_file(tool) == b"#!/bin/sh\necho replaced\n"
    env.mount_package_tree(str(host))  # now a regular file with the same bytes: in place


@pytest.mark.parametrize("case", ["git_deep", "git_root", "link_parent", "dir_on_file", "file_on_dir"])
def test_package_refusals(env, tmp_path, case):
    host = make_tree(tmp_path / "p", {"srv/pkg/a/b": b"B"})
    conflict, dest = True, "/"
    if case == "git_deep":
        (host / "srv/pkg/a/.git").mkdir()
        message, conflict = "verified package staging tree contains Git metadata", False
    elif case == "git_root":
        (host / ".git").write_bytes(b"gitdir: elsewhere")
        message, conflict = "verified package staging tree contains Git metadata", False
    elif case == "link_parent":
        env.run("mkdir -p /tmp/real /srv && ln -s /tmp/real /srv/pkg", b"")
        message = "Invalid argument: package destination has a non-directory ancestor: /srv/pkg/inner"
        dest = "/srv/pkg/inner"
    elif case == "dir_on_file":
        env.mkdir("/srv/pkg", True)
        env.write_file("/srv/pkg/a", b"file", 0o644)
        message = "Invalid argument: package import would overwrite an incompatible VFS node: /srv/pkg/a"
    else:
        env.mkdir("/srv/pkg/a/b", True)
        message = "Invalid argument: package import would overwrite an incompatible VFS node: /srv/pkg/a/b"
    before = state(env)
    with pytest.raises(_native.SimulationError) as error:
        env.mount_package_tree(str(host), dest)
    assert str(error.value) == message
    assert isinstance(error.value, _native.PackageConflictError) == conflict
    assert state(env) == before


def test_replacement_list_bound_and_types(env, tmp_path):
    with pytest.raises(_native.SimulationError) as error:
        env.mount_package_tree(str(tmp_path / "not-even-there"), "/", ["/x"] * 200_001)
    assert str(error.value) == "package tool replacement list exceeds its bound"
    assert not isinstance(error.value, _native.PackageConflictError)
    make_tree(tmp_path / "p", {"srv/f": b"f"})
    env.mount_package_tree(str(tmp_path / "p"), "/", ["/x"] * 200_000)
    with pytest.raises(TypeError):
        env.mount_package_tree(str(tmp_path / "p"), "/", "/usr/bin/tr")


# ---- git history ----


def git(repo, *args, input=None):
    env = {"PATH": os.environ["PATH"], "GIT_AUTHOR_NAME": "Ann", "GIT_AUTHOR_EMAIL": "ann@example.org",
           "GIT_COMMITTER_NAME": "Ann", "GIT_COMMITTER_EMAIL": "ann@example.org", "HOME": str(repo),
           "GIT_CONFIG_NOSYSTEM": "1"}
    return subprocess.run(["git", *args], cwd=repo, env=env, input=input, check=True, capture_output=True).stdout


def new_repo(path, commits, branch="main"):
    """A repository whose i-th commit sets f to "i\\n"; the constant file and an executable stay."""
    path.mkdir()
    git(path, "init", "-q", "-b", branch)
    stream = []
    for i in range(commits):
        data = f"{i}\n".encode()
        stream.append(b"commit refs/heads/%s\nmark :%d\nauthor Ann <ann@example.org> %d +0200\n"
                      b"committer Ann <ann@example.org> %d +0000\ndata 4\nc%03d\n" % (
                          branch.encode(), i + 1, 1700000000 + i, 1700000000 + i, i))
        if i:
            stream.append(b"from :%d\n" % i)
        else:
            stream.append(b"M 100644 inline const\ndata 6\nconst\nM 100755 inline bin/run\ndata 3\nrun\n")
        stream.append(b"M 100644 inline f\ndata %d\n%s\n" % (len(data), data))
    git(path, "fast-import", "--quiet", input=b"".join(stream))
    git(path, "checkout", "-q", "-f", branch)
    return path


def machine_tree(env, dest, name):
    """A stored tree file (index or commit tree): path -> (blob id, mode)."""
    tree = {}
    for line in env.read_file(f"{dest}/.git/{name}").decode().splitlines():
        fields = line.split("\t")
        tree[bytes.fromhex(fields[0]).decode()] = (fields[1], fields[2] if len(fields) > 2 else "100644")
    return tree


def host_tree(repo):
    tree = {}
    for line in git(repo, "ls-tree", "-r", "HEAD").decode().splitlines():
        meta, path = line.split("\t")
        mode, _, blob = meta.split()
        tree[path] = (blob, mode)
    return tree


def parents(env, dest, commit):
    text = env.read_file(f"{dest}/.git/commits/{commit}.commit").decode()
    return [line.split()[1] for line in text.split("\n\n")[0].splitlines() if line.startswith("parent ")]


@needs_git
@pytest.mark.parametrize("commits,kept", [(600, 512), (3, 3)])
def test_history_is_bounded_and_blob_ids_match(env, tmp_path, commits, kept):
    repo = new_repo(tmp_path / "r", commits)
    assert mount(env, repo, "/srv/r") == {"files": 3, "skipped_directories": [".git"]}
    _, out, _ = env.run("cd /srv/r && git status && ls .git/commits | grep -c commit && cat .git/HEAD", b"")
    assert out.decode().split("\n")[1:] == ["nothing to commit, working tree clean", str(kept), "ref: refs/heads/main", ""]
    head = env.read_file("/srv/r/.git/refs/heads/main").decode().strip()
    index = machine_tree(env, "/srv/r", "index")
    assert index == host_tree(repo) == machine_tree(env, "/srv/r", f"commits/{head}.tree")
    assert index["bin/run"][1] == "100755"
    _, objects, _ = env.run("ls /srv/r/.git/objects", b"")
    assert len(objects.split()) == kept + 2  # each kept version of f, const and bin/run
    # Walk back to the oldest imported commit: a root (its host parent was not selected).
    chain = [head]
    while parents(env, "/srv/r", chain[-1]):
        [parent] = parents(env, "/srv/r", chain[-1])
        chain.append(parent)
    assert len(chain) == kept
    assert env.read_file(f"/srv/r/.git/commits/{chain[-1]}.commit").startswith(
        b"author Ann <ann@example.org> %d +0000\n\nc%03d" % (1700000000 + commits - kept, commits - kept))


@needs_git
def test_detached_head_merge_and_symlink(env, tmp_path):
    repo = new_repo(tmp_path / "r", 2)
    git(repo, "checkout", "-q", "-b", "side", "HEAD~1")
    os.symlink("const", repo / "link")
    git(repo, "add", "link")
    git(repo, "commit", "-qm", "side")
    git(repo, "checkout", "-q", "main")
    git(repo, "merge", "-q", "--no-edit", "side")
    git(repo, "checkout", "-q", "--detach")
    os.remove(repo / "link")  # a host symlink in the work tree would be refused by the copy
    mount(env, repo, "/srv/r")
    head = env.read_file("/srv/r/.git/HEAD").decode()
    assert head.endswith("\n") and len(head) == 41
    assert len(parents(env, "/srv/r", head.strip())) == 2
    link_id, link_mode = machine_tree(env, "/srv/r", "index")["link"]
    assert link_mode == "120000"
    assert env.read_file(f"/srv/r/.git/objects/{link_id}") == b"const"


@needs_git
@pytest.mark.parametrize("case", ["submodule", "unborn", "bare_marker", "bad_author"])
def test_history_refusals_leave_the_machine_unchanged(env, tmp_path, case):
    repo = tmp_path / "r"
    if case == "submodule":
        new_repo(repo, 1)
        blob = git(repo, "rev-parse", "HEAD").decode().strip()
        git(repo, "update-index", "--add", "--cacheinfo", f"160000,{blob},deps/sub")
        git(repo, "commit", "-qm", "sub")
        message = "submodule at deps/sub is unsupported by this spike"
    elif case == "unborn":
        repo.mkdir()
        git(repo, "init", "-q")
        (repo / "f").write_bytes(b"f")
        message = "host git rev-parse --verify HEAD^{commit} failed: fatal: Needed a single revision"
    elif case == "bare_marker":
        repo.mkdir()
        git(repo, "init", "-q", "--bare", ".git")
        git(repo, "config", "core.bare", "true")
        message = "bare Git repositories are unsupported by this spike"
    else:
        new_repo(repo, 1)
        tree = git(repo, "rev-parse", "HEAD^{tree}").decode().strip()
        bad = git(repo, "hash-object", "-t", "commit", "-w", "--literally", "--stdin",
                  input=f"tree {tree}\nauthor Ann 1700000000 +0000\n\nbad\n".encode()).decode().strip()
        git(repo, "update-ref", "refs/heads/main", bad)
        message = f"commit {bad} has an invalid author"
    put(env, "/srv/r/keep", b"before")
    before = state(env)
    with pytest.raises(_native.SimulationError) as error:
        env.mount(str(repo), "/srv/r")
    assert str(error.value) == message
    assert state(env) == before


@needs_git
def test_host_git_ignores_the_callers_environment_and_config(env, tmp_path, monkeypatch):
    repo = new_repo(tmp_path / "r", 1)
    home = tmp_path / "home"
    home.mkdir()
    (home / ".gitconfig").write_bytes(b"this is not a config file\n")
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(home))
    monkeypatch.setenv("GIT_DIR", str(tmp_path / "elsewhere"))
    monkeypatch.setenv("GIT_CONFIG_PARAMETERS", "'core.bare'='true'")
    mount(env, repo, "/srv/r")
    assert machine_tree(env, "/srv/r", "index") == host_tree(repo)
