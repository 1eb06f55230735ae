// Control flow of idiomatic programs: generators and coroutines, iteration, exception matching,
// with statements, assert, rich comparison and containment.
#include <gtest/gtest.h>

#include <string>

#include "kernel/scheduler.h"
#include "python/front/definitions.h"
#include "python/vm/namespace.h"
#include "pyvm/program_fixture.h"

namespace tw::py {
namespace {

// A dispatched program whose __main__ holds `stdin` (the text stream) and `stdin_bytes` (the byte
// stream), reading descriptor 0 of the machine.
struct StdinProgram {
    Machine machine = Machine::build({.cpu = 5'000'000, .memory = 64 << 20, .disk = 1 << 20, .output = 1 << 20});
    Interpreter in;
    std::uint32_t input = 0;
    CodeObjectPtr code;
    std::vector<std::string> argv{"-c"};
    std::string out, err;

    explicit StdinProgram(std::string_view source) {
        input = *machine.open_descriptions.insert_open_input();
        EXPECT_TRUE(machine.install_active_descriptor(0, input).has_value());
        std::vector<std::pair<std::string, Value>> attrs{
            {"__name__", Value::try_inline_str("__main__")},
            {"stdin", intern_static_definition(StaticDefinition::of_stream(0))},
            {"stdin_bytes", intern_static_definition(StaticDefinition::of_stream(3))}};
        auto module = new_module_object(in, machine.meter, "__main__", attrs);
        EXPECT_TRUE(module.has_value());
        EXPECT_TRUE(in.heap.insert_module("__main__", module->module).has_value());
        code = compile_module_source(in.heap, machine.meter, source).value().value();
    }
    MainModuleStep step() {
        for (;;) {
            MainModuleStep s = run_main_module(in, code, machine, argv, {}, {.dispatched = true}, out, err);
            if (s.kind != MainModuleStep::Kind::NotFinished) return s;
        }
    }
};

TEST(Semantics, ForOverStdinWaitsForEachLine) {
    // The loop runs inside a generator consumed by another loop: the whole program waits.
    StdinProgram p("def lines():\n    for line in stdin:\n        yield line.strip()\n"
                   "for l in lines():\n    print('got', l)\nprint('end')\n");
    MainModuleStep s = p.step();
    ASSERT_EQ(s.kind, MainModuleStep::Kind::Blocked);
    EXPECT_EQ(*s.wait, WaitReason::input_readable(p.input));
    ASSERT_TRUE(p.machine.append_input(p.input, "one\ntw"));
    EXPECT_EQ(p.step().kind, MainModuleStep::Kind::Blocked);
    EXPECT_EQ(p.out, "got one\n");
    ASSERT_TRUE(p.machine.append_input(p.input, "o\n"));
    EXPECT_EQ(p.step().kind, MainModuleStep::Kind::Blocked);
    ASSERT_TRUE(p.machine.close_input(p.input));
    s = p.step();
    ASSERT_EQ(s.kind, MainModuleStep::Kind::Finished);
    EXPECT_EQ(s.exit.kind, MainModuleExit::Kind::Success);
    EXPECT_EQ(p.out, "got one\ngot two\nend\n");
    EXPECT_EQ(p.err, "");
}

TEST(Semantics, YieldFromStdinWaitsToo) {
    StdinProgram p("def lines():\n    yield from stdin\nfor l in lines():\n    print(repr(l))\n");
    ASSERT_EQ(p.step().kind, MainModuleStep::Kind::Blocked);
    ASSERT_TRUE(p.machine.append_input(p.input, "a\n"));
    ASSERT_EQ(p.step().kind, MainModuleStep::Kind::Blocked);
    ASSERT_TRUE(p.machine.append_input(p.input, "b"));
    ASSERT_TRUE(p.machine.close_input(p.input));
    ASSERT_EQ(p.step().kind, MainModuleStep::Kind::Finished);
    EXPECT_EQ(p.out, "'a\\n'\n'b'\n");
}

TEST(Semantics, StdinByteLinesAndNativeConsumers) {
    StdinProgram p("for b in stdin_bytes:\n    print(b)\n");
    ASSERT_TRUE(p.machine.append_input(p.input, "a\xff\nb"));
    ASSERT_TRUE(p.machine.close_input(p.input));
    ASSERT_EQ(p.step().kind, MainModuleStep::Kind::Finished);
    EXPECT_EQ(p.out, "b'a\\xff\\n'\nb'b'\n");
}

TEST(Semantics, BuiltinsConsumingStdinWaitForEachPiece) {
    // Each program gets its input in three pieces; the builtin's loop waits for each of them.
    struct Case {
        const char* source;
        const char* out;
    } const cases[] = {
        {"print(sum(len(l) for l in stdin))\n", "9\n"},
        {"print(list(l for l in stdin))\n", "['1\\n', '2\\n', '3\\n', '4 5']\n"},
        {"print(list(stdin), list(stdin))\n", "['1\\n', '2\\n', '3\\n', '4 5'] []\n"},
        {"print(tuple(stdin_bytes))\n", "(b'1\\n', b'2\\n', b'3\\n', b'4 5')\n"},
        {"def words():\n    for l in stdin:\n        yield from l.split()\n"
         "print(sorted(words(), reverse=True), end=' ')\nprint('|'.join(words()))\n",
         "['5', '4', '3', '2', '1'] \n"},
        {"print(max((len(l) for l in stdin), default=0), dict(enumerate(stdin)))\n", "3 {}\n"},
        {"print(*(l.strip() for l in stdin), sep='+')\n", "1+2+3+4 5\n"},
    };
    for (const Case& c : cases) {
        StdinProgram p(c.source);
        ASSERT_EQ(p.step().kind, MainModuleStep::Kind::Blocked) << c.source;
        ASSERT_TRUE(p.machine.append_input(p.input, "1\n2"));
        ASSERT_EQ(p.step().kind, MainModuleStep::Kind::Blocked) << c.source;
        ASSERT_TRUE(p.machine.append_input(p.input, "\n3\n4 5"));
        ASSERT_EQ(p.step().kind, MainModuleStep::Kind::Blocked) << c.source;
        ASSERT_TRUE(p.machine.close_input(p.input));
        MainModuleStep s = p.step();
        ASSERT_EQ(s.kind, MainModuleStep::Kind::Finished) << c.source;
        EXPECT_EQ(s.exit.kind, MainModuleExit::Kind::Success) << c.source << s.exit.message << p.err;
        EXPECT_EQ(p.out, c.out) << c.source;
    }
}

TEST(Semantics, CoroutineResumesWithSchedulerOutcomes) {
    ProgramRun r = run_program(
        "async def child():\n    return 1\n"
        "async def main():\n    v = await 'sleep'\n    print('woke with', v)\n"
        "    try:\n        await 'fail'\n    except KeyError as e:\n        print('injected', e)\n    return v * 2\n"
        "c = main()\nprint(c.send(None))\nprint(c.send((True, 21)))\n"
        "try:\n    c.send((False, KeyError('k')))\nexcept StopIteration as e:\n    print('result', e.value)\n"
        "d = main()\nd.send(None)\ntry:\n    d.send(5)\nexcept BaseException:\n    print('unreachable')\n");
    EXPECT_EQ(r.out, "sleep\nwoke with 21\nfail\ninjected 'k'\nresult 42\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.message.find("invalid coroutine scheduler outcome"), std::string::npos) << r.message;
}

TEST(Semantics, AsyncWithAwaitsEnterAndExit) {
    // Each await hands its awaitable to the scheduler (here the program itself) and resumes with
    // an (ok, payload) outcome.
    ProgramRun r = run_program(
        "class M:\n    async def __aenter__(self):\n        return 'm'\n"
        "    async def __aexit__(self, t, v, tb):\n        print('aexit', t.__name__ if t else None)\n        return True\n"
        "async def body(fail):\n    async with M() as m:\n        print('in', m)\n        if fail:\n            raise ValueError('x')\n"
        "    return 'done'\n"
        "def drive(coro):\n    outcome = None\n    while True:\n        try:\n            awaited = coro.send(outcome)\n"
        "        except StopIteration as e:\n            return e.value\n"
        "        try:\n            outcome = (True, awaited.send(None))\n        except StopIteration as e:\n"
        "            outcome = (True, e.value)\n"
        "print(drive(body(False)))\nprint(drive(body(True)))\n");
    EXPECT_EQ(r.out, "in m\naexit None\ndone\nin m\naexit ValueError\ndone\n") << r.err << r.message;
}

TEST(Semantics, GeneratorEdgeCases) {
    ProgramRun r = run_program(
        "def chain(n):\n    if n == 0:\n        yield 1\n        return\n    yield from chain(n - 1)\n"
        "try:\n    list(chain(300))\nexcept RecursionError as e:\n    print(e)\nprint(list(chain(200)))\n"
        "class UserError(Exception):\n    pass\n"
        "def g():\n    try:\n        yield 1\n    except UserError as e:\n        yield 'caught ' + str(e)\n"
        "x = g()\nnext(x)\nprint(x.throw(UserError))\ny = g()\nnext(y)\nprint(y.throw(UserError('u')))\n"
        "try:\n    g().throw(5)\nexcept TypeError as e:\n    print(e)\n");
    EXPECT_EQ(r.out,
              "maximum recursion depth exceeded\n[1]\ncaught \ncaught u\n"
              "exceptions must be classes or instances deriving from BaseException, not int\n")
        << r.err << r.message;
}

TEST(Semantics, ExceptMatchingRefusesNonExceptionClasses) {
    for (const char* spec : {"42", "object", "C", "(ValueError, 3)"}) {
        ProgramRun r = run_program(std::string("class C:\n    pass\ntry:\n    raise KeyError\nexcept ") + spec +
                                   ":\n    pass\nexcept BaseException:\n    print('caught')\n");
        EXPECT_EQ(r.out, "") << spec;
        EXPECT_NE(r.message.find("catching classes that do not inherit from BaseException is not allowed"),
                  std::string::npos)
            << spec << r.message;
    }
    ProgramRun nested = run_program(
        "try:\n    {}['k']\nexcept (ValueError, (TypeError, KeyError)):\n    print('nested')\n");
    EXPECT_EQ(nested.out, "nested\n");
}

TEST(Semantics, WithProtocolErrorsNameTheMissingMethod) {
    ProgramRun r = run_program(
        "class OnlyExit:\n    def __exit__(self, *a):\n        pass\n"
        "for m in (5, OnlyExit()):\n    try:\n        with m:\n            pass\n    except TypeError as e:\n        print(e)\n");
    EXPECT_EQ(r.out,
              "'int' object does not support the context manager protocol (missed __exit__ method)\n"
              "'OnlyExit' object does not support the context manager protocol (missed __enter__ method)\n");
}

TEST(Semantics, AssertMessagesBecomeText) {
    ProgramRun r = run_program(
        "for msg in (None, '', 42, 'why'):\n    try:\n        assert 0, msg\n    except AssertionError as e:\n"
        "        print(e.args)\n");
    EXPECT_EQ(r.out, "()\n()\n('42',)\n('why',)\n");
}

TEST(Semantics, IndexTooLargeNamesInt) {
    ProgramRun r = run_program(
        "class Big:\n    def __index__(self):\n        return 2 ** 70\ntry:\n    [1][Big()]\nexcept IndexError as e:\n"
        "    print(e)\n");
    EXPECT_EQ(r.out, "cannot fit 'int' into an index-sized integer\n");
}

}  // namespace
}  // namespace tw::py
