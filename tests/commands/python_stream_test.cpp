// Line iteration over the standard streams from Python: a stream is its own iterator, next()
// reads one line (waiting for input that is not written yet) and ends with StopIteration.
#include "case_fixture.h"

namespace tw::command_test {
namespace {

TEST(PythonStreams, NextAndIter) {
    expect_cases({
        {"python3 -c 'import sys\nprint(iter(sys.stdin) is sys.stdin, sys.stdin.__iter__() is sys.stdin)\n"
         "print(repr(next(sys.stdin)), repr(sys.stdin.__next__()), repr(type(sys.stdin).__next__(sys.stdin)))\n"
         "print(repr(next(sys.stdin, 0)), next(sys.stdin, 0))\n"
         "try:\n  next(sys.stdin)\nexcept StopIteration as e:\n  print(\"stop\", e.args)'",
         "True True\n'a\\n' 'b\\n' 'c\\n'\n'd' 0\nstop ()\n", 0, "", "a\nb\nc\nd"},
        // A for loop after next() goes on from the next line.
        {"python3 -c 'import sys\nnext(sys.stdin)\nfor l in sys.stdin: print(l.strip())'", "2\n3\n", 0, "",
         "1\n2\n3\n"},
        {"python3 -c 'import sys\ntry:\n  next(sys.stdout)\nexcept ValueError as e:\n  print(e)'",
         "only standard input is readable\n"},
        {"python3 -c 'import sys\ntry:\n  sys.stdin.__next__(1)\nexcept TypeError as e:\n  print(e)'",
         "stream.__next__() expected 0..=0 positional arguments, got 1\n"},
    });
}

TEST(PythonStreams, NextWaitsForInput) {
    // Lines written later by a slow writer: each next() waits for its line, the default comes at
    // the end of input.
    expect_cases({
        {"(sleep 1; printf 'x\\n'; sleep 1; printf 'y\\nz'; sleep 1) | python3 -c 'import sys\n"
         "print(repr(next(sys.stdin)))\nprint(repr(sys.stdin.__next__()))\nprint(repr(next(sys.stdin, 5)))\n"
         "print(next(sys.stdin, 5))'",
         "'x\\n'\n'y\\n'\n'z'\n5\n"},
    });
}

}  // namespace
}  // namespace tw::command_test
