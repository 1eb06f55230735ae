// The standard stream objects, the sys module's facts, tables and hooks, and the ways the python
// command finds its program (-m, /dev/stdin) and its input (uv run).
#include "case_fixture.h"

namespace tw::command_test {
namespace {

// Runs the Python file text with the action's input, in a fresh machine.
Ran run_script(const std::string& script, const std::string& input = {}) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/t.py", script);
    return run_in(m, "python3 /tmp/t.py", input);
}

TEST(PythonStreams, WritesAndFacts) {
    Ran r = run_script(
        "import sys\n"
        "print(sys.stdout.write(42), sys.stdout.write('\\u00e9\\n'))\n"
        "sys.stderr.write('to err\\n')\n"
        "for s in (sys.stdin, sys.stdout, sys.stderr):\n"
        "    print(s.fileno(), s.readable(), s.writable(), s.isatty(), s.seekable(), s.flush(),\n"
        "          s.name, s.mode, s.encoding, s.errors, s.closed)\n"
        "for probe in (lambda: sys.stdout.buffer, lambda: sys.stdin.write('x'), lambda: sys.stdout.read(),\n"
        "              lambda: sys.stdin.read(None), lambda: sys.stdout.write()):\n"
        "    try:\n"
        "        probe()\n"
        "    except Exception as e:\n"
        "        print(type(e).__name__, e)\n"
        "import _io\n"
        "print(isinstance(sys.stdout, _io.TextIOBase), sys.__stdout__ is sys.stdout)\n");
    EXPECT_EQ(r.out,
              "42\u00e9\n2 2\n"
              "0 True False False False None <stdin> r utf-8 strict False\n"
              "1 False True False False None <stdout> w utf-8 strict False\n"
              "2 False True False False None <stderr> w utf-8 backslashreplace False\n"
              "AttributeError only sys.stdin models a binary buffer\n"
              "ValueError standard input is not writable\n"
              "ValueError only standard input is readable\n"
              "TypeError stream size must be an integer\n"
              "TypeError stream.write() expected 1..=1 positional arguments, got 0\n"
              "True True\n");
    EXPECT_EQ(r.err, "to err\n");
}

TEST(PythonStreams, Reads) {
    expect_cases({
        // Sizes count characters; the binary buffer answers bytes.
        {"python3 -c 'import sys; print(repr(sys.stdin.read(2)), sys.stdin.buffer.read())'", "'\u00e9\u20ac' b'x\\n'\n", 0,
         "", "\u00e9\u20acx\n"},
        {"python3 -c 'import sys; print(repr(sys.stdin.readline(1)), repr(sys.stdin.readline()), sys.stdin.readlines(),"
         " repr(sys.stdin.read()))'",
         "'a' 'b\\n' ['c\\n', 'd'] ''\n", 0, "", "ab\nc\nd"},
        {"python3 -c 'import sys; print(repr(sys.stdin.read(-1)), repr(sys.stdin.readline()))'", "'x' ''\n", 0, "",
         "x"},
        {"python3 -c 'import sys; print(sys.stdin.buffer.readlines())'", "[b'\\xff\\n', b'z']\n", 0, "", "\xff\nz"},
        // A line before the broken byte still reads.
        {"python3 -c 'import sys; print(repr(sys.stdin.readline())); sys.stdin.read()'", "'ok\\n'\n", 1,
         "Traceback (most recent call last):\n  File \"<string>\", line 1, in <module>\n"
         "ValueError: standard input is not valid UTF-8\n",
         "ok\n\xff"},
    });
}

TEST(PythonStreams, ReadsWaitForInputArrivingInPieces) {
    // Each writer pauses between its pieces: the reader suspends, and no piece is lost or split.
    expect_cases({
        {"(printf 'a'; sleep 1; printf 'b\\nc'; sleep 1; printf 'd\\n') | "
         "python3 -c 'import sys; print(repr(sys.stdin.readline()), repr(sys.stdin.read(2)), sys.stdin.readlines())'",
         "'ab\\n' 'cd' ['\\n']\n"},
        {"(echo 1; sleep 1; echo 2) | python3 -c 'import sys; print(sys.stdin.readlines(), repr(sys.stdin.read()))'",
         "['1\\n', '2\\n'] ''\n"},
        // A character split across two writes is joined, not refused.
        {"(printf '\\303'; sleep 1; printf '\\251') | python3 -c 'import sys; print(sys.stdin.read())'",
         "\u00e9\n"},
    });
}

TEST(PythonStreams, WritesAreChargedToTheOutputBudget) {
    MachineLimits limits = kRoomyLimits;
    limits.output = 4096;
    Machine m = fresh_machine(limits);
    Ran r = run_in(m, "python3 -c 'import sys\nwhile True: sys.stdout.write(\"x\" * 100)'");
    EXPECT_LE(r.out.size() + r.err.size(), 4096u);
    EXPECT_EQ(m.meter.stop_reason(), StopReason::output_limit_exceeded);
}

TEST(PythonSys, ExitStatuses) {
    expect_cases({
        {"python3 -c 'import sys; sys.exit()'; echo $?", "0\n"},
        {"python3 -c 'import sys; sys.exit(None)'; echo $?", "0\n"},
        {"python3 -c 'import sys; sys.exit(3)'; echo $?", "3\n"},
        {"python3 -c 'import sys; sys.exit(True)'; echo $?", "1\n"},
        {"python3 -c 'import sys; sys.exit(2**40)'; echo $?", "1\n"},
        {"python3 -c 'import sys; sys.exit([1])'; echo $?", "1\n", 0, "[1]\n"},
        {"python3 -c 'import sys; sys.exit(1, 2)'", "", 1,
         "Traceback (most recent call last):\n  File \"<string>\", line 1, in <module>\n"
         "TypeError: sys.exit() expected 0..=1 positional arguments, got 2\n"},
    });
}

TEST(PythonSys, RecordsAndFacts) {
    Ran r = run_script(
        "import sys\n"
        "v = sys.version_info\n"
        "print(v, v.major, v[:2], v >= (3, 8), isinstance(v, tuple), v.n_fields, type(v).__name__)\n"
        "print(sys.flags.dont_write_bytecode, sys.flags.int_max_str_digits, sys.flags.gil, len(sys.flags))\n"
        "print(sys.float_info.mant_dig, sys.int_info, sys.hash_info.modulus, sys.thread_info)\n"
        "print(sys.implementation)\n"
        "print(len(sys.builtin_module_names), len(sys.stdlib_module_names), 'json' in sys.stdlib_module_names)\n"
        "print(sys.orig_argv, sys.maxsize, sys.hexversion, sys.getrefcount(1), sys.getsizeof(''), sys.getsizeof(0))\n"
        "print(type(sys.float_info)([1] * 11).radix)\n"
        "try:\n"
        "    v.major = 4\n"
        "except AttributeError:\n"
        "    print('read-only')\n");
    EXPECT_EQ(r.out,
              "sys.version_info(major=3, minor=14, micro=0, releaselevel='final', serial=0) 3 (3, 14) True True 5 "
              "version_info\n"
              "1 4300 1 21\n"
              "53 sys.int_info(bits_per_digit=30, sizeof_digit=4, default_max_str_digits=4300, "
              "str_digits_check_threshold=640) 2305843009213693951 sys.thread_info(name='pthread', "
              "lock='mutex+cond', version=None)\n"
              "namespace(_multiarch='x86_64-linux-gnu', cache_tag=None, hexversion=51249392, name='tarnwick', "
              "supports_isolated_interpreters=False, version=sys.version_info(major=3, minor=14, micro=0, "
              "releaselevel='final', serial=0))\n"
              "17 62 True\n"
              "['/usr/bin/python3.14', '/tmp/t.py'] 9223372036854775807 51249392 2 41 28\n"
              "1\n"
              "read-only\n");
    EXPECT_EQ(r.err, "");
}

TEST(PythonSys, ModuleTableIsLive) {
    Ran r = run_script(
        "import sys, heapq\n"
        "print(sys.modules['sys'] is sys, 'heapq' in sys.modules, sys.modules[__name__].__name__)\n"
        "sys.modules['alias'] = heapq\n"
        "import alias\n"
        "print(alias is heapq, sys.modules.get('alias') is heapq, sys.modules.setdefault('alias') is heapq)\n"
        "print(sys.modules.pop('alias') is heapq, 'alias' in sys.modules, sys.modules.pop('alias', 7))\n"
        "print(len(sys.modules) == len(list(sys.modules)) == len(sys.modules.copy()))\n"
        "for probe in (lambda: sys.modules.__delitem__('absent'), lambda: sys.modules.__setitem__(1, sys),\n"
        "              lambda: sys.modules.__setitem__('x', 1)):\n"
        "    try:\n"
        "        probe()\n"
        "    except (KeyError, TypeError) as e:\n"
        "        print(type(e).__name__, e)\n");
    EXPECT_EQ(r.out,
              "True True __main__\n"
              "True True True\n"
              "True False 7\n"
              "True\n"
              "KeyError 'absent'\n"
              "TypeError module names must be strings\n"
              "TypeError sys.modules values must be modules\n");
    EXPECT_EQ(r.err, "");
}

TEST(PythonSys, ExceptionsFramesAndHooks) {
    Ran r = run_script(
        "import sys\n"
        "print(sys.exc_info(), sys.exception())\n"
        "try:\n"
        "    1 / 0\n"
        "except ZeroDivisionError as e:\n"
        "    t, v, tb = sys.exc_info()\n"
        "    print(t.__name__, v is e, sys.exception() is e)\n"
        "print(sys._getframemodulename(), sys._getframemodulename(depth=-5), sys._getframemodulename(99))\n"
        "for probe in (lambda: sys._getframemodulename(1, depth=1), lambda: sys._getframemodulename(x=1),\n"
        "              lambda: sys._getframemodulename('a'), lambda: sys._getframe(),\n"
        "              lambda: sys.setrecursionlimit(0), lambda: sys.set_int_max_str_digits(100),\n"
        "              lambda: sys.set_int_max_str_digits(5000)):\n"
        "    try:\n"
        "        probe()\n"
        "    except Exception as e:\n"
        "        print(type(e).__name__, e)\n"
        "sys.setrecursionlimit(500)\n"
        "print(sys.getrecursionlimit(), sys.get_int_max_str_digits(), sys.intern('s'), sys.getdefaultencoding())\n"
        "sys.excepthook(ValueError, ValueError('bad'), None)\n"
        "sys.excepthook(KeyError, KeyError(), None)\n"
        "sys.displayhook(None)\n"
        "sys.displayhook('shown')\n");
    EXPECT_EQ(r.out,
              "(None, None, None) None\n"
              "ZeroDivisionError True True\n"
              "__main__ __main__ None\n"
              "TypeError _getframemodulename() takes at most 1 argument (2 given)\n"
              "TypeError _getframemodulename() got an unexpected keyword argument 'x'\n"
              "TypeError 'str' object cannot be interpreted as an integer\n"
              "ValueError call stack is not deep enough\n"
              "ValueError recursion limit must be greater or equal than 1\n"
              "ValueError maxdigits must be 0 or larger than 640\n"
              "NotImplementedError tarnwick fixes int_max_str_digits at 4300\n"
              "500 4300 s utf-8\n"
              "'shown'\n");
    EXPECT_EQ(r.err, "ValueError: bad\nKeyError\n");
}

TEST(PythonSys, InteractiveModeEchoesOnlyItsOwnStatements) {
    // Expression statements of imported modules and of called functions stay silent.
    Machine m = fresh_machine();
    put_file(m, "/tmp/quiet.py", "'module text'\n");
    run_in(m, "cd /tmp && python3");
    Ran r = run_in(m, "import sys, quiet; sys.stdout.write('w\\n')");
    EXPECT_EQ(r.out, "w\n2\n>>> ");
    r = run_in(m, "def f():\n    5\n    return 6\n");
    r = run_in(m, "f()");
    EXPECT_EQ(r.out, "6\n>>> ");
}

TEST(PythonModules, DashMRunsModulesAndCommands) {
    Machine m = fresh_machine();
    put_file(m, "/w/tool.py", "import sys\nprint(__name__, sys.argv, sys.path[0])\n");
    put_file(m, "/w/pkg/__init__.py", "");
    put_file(m, "/w/pkg/__main__.py", "print('package', __name__)\n");
    put_file(m, "/w/pkg/sub.py", "print('sub', __name__)\n");
    Ran r = run_in(m, "cd /w && python3 -m tool a -V && python3 -m pkg && python3 -m pkg.sub");
    EXPECT_EQ(r.out, "__main__ ['/w/tool.py', 'a', '-V'] /w\npackage __main__\nsub __main__\n");
    EXPECT_EQ(r.status, 0);
    // Modules that are neither files nor stored, and names that are no module names, are refused.
    r = run_in(m, "cd /w && python3 -m nosuch; python3 -m ../tool");
    EXPECT_EQ(r.err,
              "python: unsupported by minimal shim: module nosuch\npython: unsupported by minimal shim: module ../tool\n");
    EXPECT_EQ(r.status, 2);
    // The package installer answers the same through python -m.
    r = run_in(m, "pip install numpy && pip list > /tmp/a && python3 -m pip list > /tmp/b && cmp /tmp/a /tmp/b && cat /tmp/b");
    EXPECT_EQ(r.out, "numpy 0.0.0\n");
    r = run_in(m, "python3 -m pip install nosuchpkg");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.err.empty());
}

TEST(PythonModules, ProgramAndInputFromStandardInput) {
    expect_cases({
        {"echo 'import sys; print(sys.argv)' | python3 /dev/stdin x", "['/dev/stdin', 'x']\n"},
        {"echo 'print(5)' | uv run python", "5\n"},
        {"echo hey | uv run python -c 'print(input())'", "hey\n"},
        {"echo hey | uvx python -c 'import sys; print(sys.stdin.read().upper(), end=\"\")'", "HEY\n"},
        // Only the launcher's run takes the input; other uv commands leave it to the next reader.
        {"echo left | { uv pip install numpy > /dev/null 2>&1; cat; }", "left\n"},
    });
}

}  // namespace
}  // namespace tw::command_test
