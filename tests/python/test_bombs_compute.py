"""CPU and memory bombs: whatever a script does, the host spends time in proportion to the CPU
units charged, and memory near the memory budget.

Each bomb runs in a fresh interpreter, so that its peak resident size is its own."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import tarnwick

MIB = 1 << 20

# Host seconds allowed per million CPU units charged, and the floor of every time bound (a busy
# CI machine with two cores may stall a run for a moment).
SECONDS_PER_MILLION = 0.1
TIME_FLOOR = 1.5
# Resident memory allowed beyond the interpreter and the fresh machine, besides 1.5 times the
# memory budget: allocator slack and the machine's own bounded tables.
RSS_SLACK = 16 * MIB

RUNNER = textwrap.dedent(
    """
    import json, resource, sys, time
    from tarnwick import _native

    def hwm():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    cpu, memory, source = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    env = _native.NativeEnvironment(cpu, memory, 64 << 20, 1 << 30)
    env.run("true", b"")
    base = hwm()
    start = time.process_time()
    meta, out, err = env.run(source, b"")
    seconds = time.process_time() - start
    peak = hwm()
    terminated = env.terminated
    after_meta, after_out, after_err = env.run("echo ok", b"")
    print(json.dumps({
        "meta": json.loads(meta), "seconds": seconds, "base": base, "peak": peak,
        "terminated": terminated, "err": err[-300:].decode(errors="replace"),
        "after": json.loads(after_meta), "after_out": after_out.decode(), "after_err": after_err.decode(),
    }))
    """
)


def run_bomb(source, cpu, memory):
    package_dir = os.path.dirname(os.path.dirname(os.path.abspath(tarnwick.__file__)))
    env = dict(os.environ, PYTHONPATH=package_dir)
    done = subprocess.run(
        [sys.executable, "-c", RUNNER, str(cpu), str(memory), source],
        capture_output=True, text=True, timeout=120, env=env,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


LONG = 's=$(printf "%020000d" 0); '

# name, source, CPU budget, memory budget, stop reason (None: the run ends by itself), status
BOMBS = [
    ("busy loop", "while :; do :; done", 20_000_000, 32 * MIB, "cpu_exhausted", 137),
    ("arithmetic for", "for ((;;)); do :; done", 20_000_000, 32 * MIB, "cpu_exhausted", 137),
    ("append one byte", "r=; for ((i=0;;i--)); do r+=x; done", 20_000_000, 32 * MIB, "cpu_exhausted", 137),
    ("doubling", "x=a; while :; do x=$x$x; done", 10**9, 32 * MIB, "memory_exhausted", 137),
    ("array growth", "a=(); i=0; while :; do a[i]=x; i=$((i+1)); done", 10**9, 8 * MIB, "memory_exhausted", 137),
    ("substring", LONG + "while :; do t=${s:1}; done", 20_000_000, 32 * MIB, "cpu_exhausted", 137),
    ("long case subject", LONG + "while :; do case $s in *1*) ;; esac; done", 20_000_000, 32 * MIB,
     "cpu_exhausted", 137),
    ("long case pattern", LONG + "p=$s; while :; do case $s in *$p*1) ;; esac; done", 20_000_000, 32 * MIB,
     "cpu_exhausted", 137),
    ("replace all", LONG + "while :; do t=${s//0/y}; done", 20_000_000, 32 * MIB, "cpu_exhausted", 137),
    ("backtracking removal", LONG + "while :; do t=${s%%*1*}; t=${s//*1/x}; done", 20_000_000, 32 * MIB,
     "cpu_exhausted", 137),
    ("case conversion", LONG + "while :; do t=${s^^} u=${#s}; done", 20_000_000, 32 * MIB, "cpu_exhausted", 137),
    ("nested substitutions", LONG + "while :; do t=${s:-${s:-${s:-$s}}}; done", 20_000_000, 32 * MIB,
     "cpu_exhausted", 137),
    ("array copy", "a=(); for ((i=0;i<5000;i++)); do a[i]=$i; done; while :; do b=(\"${a[@]}\"); done",
     20_000_000, 32 * MIB, "cpu_exhausted", 137),
    ("many arguments", 'set -- $(seq 1 5000); f() { :; }; while :; do f "$@"; shift 0; done', 20_000_000,
     32 * MIB, "cpu_exhausted", 137),
    ("arithmetic text", "s=1; for ((i=0;i<12;i++)); do s=\"$s+$s\"; done; while :; do : $((s)); done",
     20_000_000, 32 * MIB, "cpu_exhausted", 137),
    ("recursive arithmetic", "a=b+b b=c+c c=d+d d=e+e e=f+f f=g+g g=h+h h=i+i i=j+j j=k+k k=l+l l=m+m "
     "m=n+n n=o+o o=p+p p=q+q q=r+r r=s+s s=t+t t=u+u u=v+v v=w+w w=x+x x=1; echo $((a))",
     20_000_000, 32 * MIB, "cpu_exhausted", 137),
    ("regular expression backtracking",
     's=$(printf "%030d" 0); while :; do [[ ${s}1 =~ ^(0|0)*$ ]]; done', 20_000_000, 32 * MIB, "cpu_exhausted", 137),
    ("shifting", "set -- $(seq 1 3000); while shift; do :; done", 20_000_000, 32 * MIB, None, 0),
    ("deep recursion", "f() { f; }; f", 20_000_000, 32 * MIB, None, 2),
]


@pytest.mark.parametrize("name,source,cpu,memory,stop,status", BOMBS, ids=[b[0] for b in BOMBS])
def test_bomb_is_bounded(name, source, cpu, memory, stop, status):
    r = run_bomb(source, cpu, memory)
    outcome = r["meta"]["outcome"]
    usage = outcome["usage"]
    assert outcome["stop_reason"] == stop, r["err"]
    assert outcome["exit_status"] == status, r["err"]

    allowed = max(TIME_FLOOR, SECONDS_PER_MILLION * usage["cpu_used"] / 1e6)
    assert r["seconds"] <= allowed, (r["seconds"], usage["cpu_used"])
    assert r["peak"] - r["base"] <= 1.5 * memory + RSS_SLACK, (r["peak"] - r["base"]) / MIB

    after = r["after"]["outcome"]
    if stop is None:
        assert not r["terminated"]
        assert (after["exit_status"], r["after_out"]) == (0, "ok\n")
    else:
        # A machine whose budget ran out stays terminated: nothing more runs or is charged.
        assert r["terminated"]
        assert (after["exit_status"], after["stop_reason"], r["after_out"]) == (137, stop, "")
        assert after["usage"]["cpu_used"] == usage["cpu_used"]
