// The python command run from the shell: programs from -c, files and standard input, argv,
// refusals, tracebacks and statuses, pipelines, and the interactive mode.
#include "case_fixture.h"

#include "python/mod/python_command.h"

namespace tw::command_test {
namespace {

TEST(PythonCommand, ProgramsAndStatuses) {
    expect_cases({
        {"python3 -c 'print(1, 2, sep=\"-\")'", "1-2\n"},
        {"python -c 'print(\"$0\")' ; echo $?", "$0\n0\n"},
        {"python3 --version; python3.14 -V", "Python 3.14.0\nPython 3.14.0\n"},
        {"echo 'print(1/0)' | python3", "", 1,
         "Traceback (most recent call last):\n  File \"<stdin>\", line 1, in <module>\n"
         "ZeroDivisionError: division by zero\n"},
        {"python3 -c 'exit(3)'; echo $?", "3\n"},
        {"python3 -c 'raise SystemExit(\"bye\")'", "", 1, "bye\n"},
        {"python3 -u x", "", 2, "python: unsupported by minimal shim: option -u\n"},
        {"python3 -m nosuch", "", 2, "python: unsupported by minimal shim: module nosuch\n"},
        {"python3 -m", "", 1},
        {"python3 -c", "", 2, "python: argument expected for the -c option\n"},
        {"python3 missing.py", "", 2,
         "python: can't open file \"missing.py\": No such file or directory: missing.py\n"},
    });
}

TEST(PythonCommand, SysModule) {
    expect_cases({
        {"python3 -c \"import sys; print(sys.argv)\"", "['-c']\n"},
        {"python3 -c 'import sys; print(sys.argv[1:], sys.version_info[:2], sys.platform)' x y",
         "['x', 'y'] (3, 14) linux\n"},
        {"seq 5 | python3 -c 'import sys; print(sum(int(l) for l in sys.stdin))' | cat", "15\n"},
        // A writer that produces its lines over several steps: the builtins wait for each of them.
        {"(echo 1; sleep 1; echo 2; sleep 1; echo 3) | python3 -c 'import sys; print(sum(int(l) for l in sys.stdin))'",
         "6\n"},
        {"(echo b; sleep 1; echo a) | python3 -c 'import sys; print(list(l.strip() for l in sys.stdin), sorted(sys.stdin))'",
         "['b', 'a'] []\n"},
        {"(echo 1; sleep 1; echo 2) | python3 -c 'import sys\ndef g():\n    for l in sys.stdin: yield l\n"
         "it = g()\nprint(next(it), end=\"\")\nprint(next(it), next(it, \"end\"))'",
         "1\n2\n end\n"},
        {"(echo 1; sleep 1; echo 2) | python3 -c 'import sys\ndef g():\n    for l in sys.stdin: yield l.strip()\n"
         "a, b = g()\nprint(a, b, [*g()])'",
         "1 2 []\n"},
        {"python3 -c 'import sys\nfor line in sys.stdin: print(line.upper(), end=\"\")'", "A\nB\n", 0, "",
         "a\nb\n"},
        {"python3 -c 'import sys; print(1); sys.exit(3)'; echo $?", "1\n3\n"},
        {"python3 -c 'import sys; sys.exit(\"bye\")'", "", 1, "bye\n"},
        {"python3 -c 'import heapq\nh = [5, 1, 4, 2]\nheapq.heapify(h)\nheapq.heappush(h, 0)\n"
         "print([heapq.heappop(h) for _ in range(5)], heapq.nsmallest(2, [3, 1, 2]))'",
         "[0, 1, 2, 4, 5] [1, 2]\n"},
        // A comparison that raises leaves the list as it was, swaps made before it included.
        {"python3 -c 'import heapq\nclass K:\n  def __lt__(s, o): raise TypeError(\"no\")\n"
         "h = [5, 4, K(), 2, 1]\ntry:\n  heapq.heapify(h)\nexcept TypeError:\n  print(h[:2], h[3:])'",
         "[5, 4] [2, 1]\n"},
        {"python3 -c 'from typing import TypeVar, Any, Final, cast\n"
         "print(TypeVar(\"T\", int, bound=int), Any, Final, cast(int, 3))'",
         "~T typing.Any Final 3\n"},
        {"python3 -c 'from collections import defaultdict\nd = defaultdict(list)\nd[1].append(2)\nprint(d[1], len(d))'",
         "[2] 1\n"},
        {"python3 -c 'from collections import defaultdict; defaultdict(None)'", "", 1,
         "Traceback (most recent call last):\n  File \"<string>\", line 1, in <module>\n"
         "TypeError: expected a callable, got NoneType\n"},
        {"python3 -c 'import heapq; heapq.heappop([])'", "", 1,
         "Traceback (most recent call last):\n  File \"<string>\", line 1, in <module>\nIndexError: index out of range\n"},
    });
    Machine m = fresh_machine();
    put_file(m, "/tmp/d/script.py", "import sys\nprint(sys.argv, sys.path[0])\n");
    Ran r = run_in(m, "cd /tmp && python3 d/script.py a b");
    EXPECT_EQ(r.out, "['d/script.py', 'a', 'b'] /tmp/d\n");
}

TEST(PythonCommand, SyntaxErrorsAreRefused) {
    Ran r = run("python3 -c 'x = (1'");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.starts_with("python: unsupported by minimal shim: ")) << r.err;
    EXPECT_NE(r.err.find("at line 1, column"), std::string::npos) << r.err;
}

TEST(PythonCommand, ScriptsAndStandardInput) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/script.py", "print('script', 6 * 7)\nprint(input())\n");
    Ran r = run_in(m, "cd /tmp && python3 script.py a b", "line\n");
    EXPECT_EQ(r.out, "script 42\nline\n");
    EXPECT_EQ(r.status, 0);
    r = run_in(m, "printf 'print(2+3)' | python3 - x");
    EXPECT_EQ(r.out, "5\n");
    r = run_in(m, "printf 'a\\nb\\n' | python3 -c 'print(input()); print(input())' | cat");
    EXPECT_EQ(r.out, "a\nb\n");
}

TEST(PythonCommand, VirtualEnvironments) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/it's/.venv/bin/pip", "kept\n");
    Ran r = run_in(m, "cd \"/tmp/it's\" && python3 -m venv --clear .venv && cat .venv/bin/activate .venv/bin/python");
    EXPECT_EQ(r.out,
              "VIRTUAL_ENV='/tmp/it'\\''s/.venv'; export VIRTUAL_ENV; PATH=\"$VIRTUAL_ENV/bin:$PATH\"; export PATH\n"
              "#!tarnwick-python\n");
    EXPECT_EQ(file_contents(m, "/tmp/it's/.venv/bin/pip"), "kept\n");
    EXPECT_EQ(run_in(m, "python3 -m venv --clear").status, 1);
    EXPECT_EQ(run_in(m, "cd \"/tmp/it's\" && .venv/bin/python -c 'print(6 * 7)'").out, "42\n");
}

TEST(PythonCommand, InputArrivingInPiecesSuspendsTheProgram) {
    // The reader waits on a pipe whose writer sleeps between lines: the machine keeps running.
    Ran r = run("(echo 1; sleep 1; echo 2) | python3 -c 'print(int(input()) + int(input()))'");
    EXPECT_EQ(r.out, "3\n");
    EXPECT_EQ(r.status, 0);
    r = run("python3 -c 'print(input())' < /dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("EOFError: EOF when reading a line"), std::string::npos) << r.err;
}

TEST(PythonCommand, ManyLinesFlowThroughAPipe) {
    Ran r = run("python3 -c 'for i in range(20000): print(i)' | tail -1");
    EXPECT_EQ(r.out, "19999\n");
    r = run("python3 -c 'for i in range(100000): print(i)' | head -2");
    EXPECT_EQ(r.out, "0\n1\n");
}

TEST(PythonCommand, EndlessProgramStopsAtTheCpuBudget) {
    MachineLimits limits = kRoomyLimits;
    limits.cpu = 2'000'000;
    Machine m = fresh_machine(limits);
    Ran r = run_in(m, "python3 -c 'print(1)\nwhile True: pass'");
    EXPECT_EQ(r.status, 137);
    EXPECT_EQ(m.meter.stop_reason(), StopReason::cpu_exhausted);
}

TEST(PythonCommand, CopiedRunsGoOnIndependently) {
    Machine m = fresh_machine();
    std::string out, err;
    const std::vector<std::string> argv{"python3", "-c", "x = 0\nfor i in range(300000): x += i\nprint(x)"};
    py::PythonCommandResult r = py::python_command(m, argv, {}, out, err);
    ASSERT_TRUE(r.run);
    ASSERT_EQ(py::step_python_run(*r.run, m, false).kind, py::PythonStep::Kind::Yield);
    py::PythonRunPtr copy = py::clone_python_run(*r.run);
    for (py::PythonRun* run : {r.run.get(), copy.get()}) {
        py::PythonStep s;
        while ((s = py::step_python_run(*run, m, false)).kind == py::PythonStep::Kind::Yield) {}
        EXPECT_EQ(s.kind, py::PythonStep::Kind::Exited);
        EXPECT_EQ(s.status, 0);
        std::string o, e;
        py::take_python_output(*run, o, e);
        EXPECT_EQ(o, "44999850000\n");
    }
    std::int32_t status = py::run_python_sync(m, std::vector<std::string>{"python3", "-c", "print('sync')"}, out, err);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "sync\n");
}

TEST(PythonCommand, InteractiveMode) {
    Machine m = fresh_machine();
    Ran r = run_in(m, "python3");
    EXPECT_EQ(r.out, "Python 3.14.0 (tarnwick)\nType exit() or quit() to return to the shell.\n>>> ");
    EXPECT_EQ(r.status, 0);
    r = run_in(m, "x = 2");
    EXPECT_EQ(r.out, ">>> ");
    r = run_in(m, "x * 21");
    EXPECT_EQ(r.out, "42\n>>> ");
    r = run_in(m, "1/0");
    EXPECT_NE(r.err.find("ZeroDivisionError"), std::string::npos);
    EXPECT_EQ(r.out, ">>> ");
    r = run_in(m, "x = (");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.starts_with("python: unsupported by minimal REPL: ")) << r.err;
    r = run_in(m, "exit()");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    r = run_in(m, "echo back in the shell");
    EXPECT_EQ(r.out, "back in the shell\n");
}

TEST(PythonCommand, InteractiveEchoIsChargedToTheOutputBudget) {
    MachineLimits limits = kRoomyLimits;
    limits.output = 4096;
    Machine m = fresh_machine(limits);
    run_in(m, "python3");
    Ran r = run_in(m, "for i in range(1000000): i");
    EXPECT_EQ(r.status, 137);
    EXPECT_LE(r.out.size() + r.err.size(), 4096u);
    EXPECT_EQ(m.meter.stop_reason(), StopReason::output_limit_exceeded);
}

}  // namespace
}  // namespace tw::command_test
