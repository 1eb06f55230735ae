// The dispatch loop's fast paths (plain calls, cached loads and stores, iterators stepped in
// place, strs appended in place) against the general paths: the same results and charges.
#include <gtest/gtest.h>

#include "pyvm/program_fixture.h"

namespace tw::py {
namespace {

struct CallCase {
    const char* name;
    const char* source;
    const char* out;
    const char* failure = "";  // the start of a failure that is no Python exception
};

const CallCase kCalls[] = {
    {"keyword-only defaults are filled for an exact positional call",
     "def f(a, *, b=2):\n    return a + b\nprint(f(1), f(1, b=5))\n", "3 6\n"},
    {"a required keyword-only parameter is reported when missing",
     "def g(a, *, b):\n    return a\ntry:\n    g(1)\nexcept TypeError as e:\n    print(e)\n",
     "g() missing 1 required keyword-only argument: 'b'\n"},
    {"methods, plain functions stored on instances and nested calls",
     "class C:\n    def m(self, x):\n        return x + 1\nc = C()\nc.f = lambda y: y * 3\n"
     "print(c.m(1), c.f(2), C.m(c, 3), c.m(c.m(c.m(0))))\n",
     "2 6 4 3\n"},
    {"arity errors keep their messages",
     "def h(a, b):\n    return a\nfor args in [(1,), (1, 2, 3)]:\n    try:\n        h(*args)\n"
     "    except TypeError as e:\n        print(e)\ntry:\n    h(1)\nexcept TypeError as e:\n    print(e)\n",
     "h() missing 1 required positional argument: 'b'\nh() takes 2 positional arguments but 3 were given\n"
     "h() missing 1 required positional argument: 'b'\n"},
    {"closures and defaults take the general path",
     "def outer(k):\n    def inner(x, y=10):\n        return x + y + k\n    return inner\nf = outer(100)\n"
     "print(f(1), f(1, 2))\n",
     "111 103\n"},
    {"an instance attribute shadows a method once the method load is cached",
     "class C:\n    def m(self):\n        return 1\na = C()\nb = C()\nb.x = 0\nout = []\n"
     "for i in range(4):\n    o = a if i % 2 == 0 else b\n    out.append(o.m())\n    if i == 1:\n"
     "        b.m = lambda: 2\nprint(out)\n",
     "[1, 1, 1, 2]\n"},
    {"iterating a list that changes, and a tuple",
     "l = [1, 2, 3, 4]\nfor x in l:\n    print(x)\n    del l[0]\nm = [1]\nfor x in m:\n    if x < 3:\n"
     "        m.append(x + 1)\nprint(m, [y for y in (5, 6)])\n",
     "1\n3\n[1, 2, 3] [5, 6]\n"},
    {"names rebound in a loop at module level, in a class body and through global",
     "n = 0\nfor i in range(5):\n    n = n + i\nclass K:\n    n = 1\n    for i in range(3):\n        n = n * 2\n"
     "def bump():\n    global n\n    for i in range(3):\n        n = n + 100\nbump()\nprint(n, K.n, i)\n",
     "310 8 4\n"},
    {"module-level names fall back to the builtins until the module binds them",
     "print(len('abc'))\ntry:\n    nosuch\nexcept NameError as e:\n    print(e)\nlen = lambda x: 7\nprint(len('a'))\n"
     "del len\nprint(len('ab'))\n",
     "3\nname 'nosuch' is not defined\n7\n2\n"},
    {"a callee's locals start unbound beyond its parameters",
     "def f(a):\n    if a:\n        b = 1\n    return b\nprint(f(1))\ntry:\n    f(0)\nexcept Exception:\n    print('caught')\n",
     "1\n", "local variable referenced before assignment in f"},
};

TEST(FastPaths, EveryCallShapeBindsAsCPythonDoes) {
    for (const CallCase& c : kCalls) {
        ProgramRun r = run_program(c.source);
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_TRUE(r.message.starts_with(c.failure)) << c.name << ": " << r.message << r.err;
        EXPECT_EQ(r.status, *c.failure ? 2 : 0) << c.name;
    }
}

// `s += "..."` appends in place only while the variable holds the str's only reference.
TEST(FastPaths, AppendingToAStrKeepsEveryOtherReferenceAndTheCharges) {
    const char* source = R"PY(s = "x" * 20
for i in range(3):
    s += "ab"
t = s
s += "cd"
keep = []
for i in range(2):
    s += "é"
    keep.append(s)
class A:
    def __iadd__(self, o):
        global seen
        seen = s
        return self
a = A()
for i in range(2):
    s += "!"
    a += "q"
s += "?"
g = "g" * 20
class K:
    g += "ab"
def f():
    u = "u" * 20
    for i in range(3):
        u += "ab"
    v = u
    u += "!"
    return v, u
print(t, keep, seen, s, len(s), g, K.g, f())
)PY";
    ProgramRun r = run_program(source);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "xxxxxxxxxxxxxxxxxxxxababab ['xxxxxxxxxxxxxxxxxxxxabababcdé', 'xxxxxxxxxxxxxxxxxxxxabababcdéé'] "
              "xxxxxxxxxxxxxxxxxxxxabababcdéé!! xxxxxxxxxxxxxxxxxxxxabababcdéé!!? 33 gggggggggggggggggggg "
              "ggggggggggggggggggggab ('uuuuuuuuuuuuuuuuuuuuababab', 'uuuuuuuuuuuuuuuuuuuuababab!')\n");
    // The same joins written as `s = s + ...` make new strs every time: the charges are equal.
    ProgramRun appended = run_program("s = 'x' * 40\nfor i in range(500):\n    s += 'abc'\nprint(len(s))\n");
    ProgramRun joined = run_program("s = 'x' * 40\nfor i in range(500):\n    s = s + 'abc'\nprint(len(s))\n");
    EXPECT_EQ(appended.out, "1540\n");
    EXPECT_EQ(joined.out, "1540\n");
    EXPECT_EQ(appended.cpu, joined.cpu);
}

}  // namespace
}  // namespace tw::py
