// The small native modules where they differ from the host's python3 on purpose (messages of
// their own, warnings on standard error, charges), and the argument checks the native modules
// share, driven through a test module `_checks`.
#include <gtest/gtest.h>

#include <string>

#include "pyvm/program_fixture.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/stdlib/native_checks.h"
#include "python/vm/call.h"

namespace tw::py {
namespace {

PyResult<Value> no_args(NativeRuntime&, NativeCall call) {
    if (auto ok = native_expect_no_args(call, "time.time"); !ok) return fail(std::move(ok.error()));
    return Value::none();
}

PyResult<Value> bytes_like(NativeRuntime& rt, NativeCall call) {
    auto bytes = py_expect_bytes_like(rt, call.positional.at(0));
    if (!bytes) return fail(std::move(bytes.error()));
    return rt.new_bytes(std::move(*bytes));
}

PyResult<Value> dict_arg(NativeRuntime& rt, NativeCall call) { return py_expect_dict(rt, call.positional.at(0)); }

// The sequence's kind and a copy of its items.
PyResult<Value> sequence(NativeRuntime& rt, NativeCall call) {
    auto seq = py_expect_sequence(rt, call.positional.at(0));
    if (!seq) return fail(std::move(seq.error()));
    auto items = py_sequence_items(rt, *seq);
    if (!items) return fail(std::move(items.error()));
    auto kind = rt.new_str(seq->kind == SequenceArg::Kind::List ? "list" : "tuple");
    if (!kind) return kind;
    auto copy = rt.new_list(std::move(*items));
    if (!copy) return copy;
    return rt.new_tuple({*kind, *copy});
}

const NativeFunction kFunctions[] = {
    {"_checks", "no_args", &no_args},
    {"_checks", "bytes_like", &bytes_like},
    {"_checks", "dict_arg", &dict_arg},
    {"_checks", "sequence", &sequence},
};
const NativeModule kModule{"_checks", kFunctions, {}};

struct Case {
    const char* name;
    const char* program;
    const char* out;
};

// Each program prints one line per call: its result, or the exception's type and message.
const Case kCheckCases[] = {
    {"no arguments",
     "import _checks as c\nfor call in (lambda: c.no_args(), lambda: c.no_args(1), lambda: c.no_args(x=1), lambda: c.no_args(1, x=1)):\n"
     "    try:\n        print(call())\n    except TypeError as e:\n        print(e)\n",
     "None\ntime.time() expected 0..=0 positional arguments, got 1\ntime.time() does not accept keyword arguments\n"
     "time.time() expected 0..=0 positional arguments, got 1\n"},
    {"bytes-like values",
     "import _checks as c\nfor v in (b'ab', bytearray(b'cd'), 'ef', 3):\n    try:\n        print(c.bytes_like(v))\n    except TypeError as e:\n        print(e)\n",
     "b'ab'\nb'cd'\nexpected a bytes-like object, got str\nexpected a bytes-like object, got int\n"},
    {"dicts",
     "import _checks as c\nfrom collections import defaultdict\nd, dd = {1: 2}, defaultdict(list)\nprint(c.dict_arg(d) is d, c.dict_arg(dd) is dd)\n"
     "for v in ([1], None, 'x'):\n    try:\n        c.dict_arg(v)\n    except TypeError as e:\n        print(e)\n",
     "True True\nexpected dict, got list\nexpected dict, got NoneType\nexpected dict, got str\n"},
    {"sequences",
     "import _checks as c\nprint(c.sequence([1, 'a']), c.sequence((2,)), c.sequence([]), c.sequence(()))\n"
     "for v in ({}, None, 5, 'ab', {1}, b''):\n    try:\n        c.sequence(v)\n    except TypeError as e:\n        print(e)\n",
     "('list', [1, 'a']) ('tuple', [2]) ('list', []) ('tuple', [])\nexpected a sequence, got Dict\n"
     "expected a sequence, got None\nexpected a sequence, got Int\nexpected a sequence, got String\n"
     "expected a sequence, got Set\nexpected a sequence, got Bytes\n"},
};

class NativeChecks : public ::testing::TestWithParam<Case> {};

TEST_P(NativeChecks, Messages) {
    Machine machine = Machine::build({.cpu = 50'000'000, .memory = 256 << 20, .disk = 1 << 20, .output = 1 << 20});
    Interpreter in;
    (void)in.heap.insert_module("_checks", intern_static_definition(StaticDefinition::of_module(&kModule)));
    ProgramRun r = run_program_on(machine, in, GetParam().program);
    EXPECT_EQ(r.out, GetParam().out) << r.err << r.message;
}

INSTANTIATE_TEST_SUITE_P(Calls, NativeChecks, ::testing::ValuesIn(kCheckCases), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
});

// Messages of the native halves and of the companions that the host words differently.
TEST(SmallModules, OwnMessages) {
    expect_matches_host(
        "import _dataclasses, _unicodedata, _tarnwick_warnings, dataclasses, warnings\n"
        "from collections import defaultdict\n"
        "from typing import TypeVar\n"
        "calls = (lambda: _dataclasses.mark_dataclass(3), lambda: _dataclasses.mark_dataclass(),\n"
        "         lambda: _unicodedata.normalize('NFX', 'a'), lambda: _unicodedata.normalize('NFC', b'a'),\n"
        "         lambda: _unicodedata.normalize(form='NFC', text='a'), lambda: _tarnwick_warnings.caller('1'),\n"
        "         lambda: dataclasses.fields(3), lambda: defaultdict(), lambda: TypeVar(3),\n"
        "         lambda: warnings.simplefilter('bogus'), lambda: warnings.simplefilter('error', int),\n"
        "         lambda: warnings.filterwarnings('error', lineno=-1))\n"
        "for call in calls:\n"
        "    try:\n"
        "        call()\n"
        "    except Exception as e:\n"
        "        print(type(e).__name__, e)\n"
        "print(TypeVar('T', int, str, bound=int), _tarnwick_warnings.caller(0), _tarnwick_warnings.caller(-5))\n",
        "TypeError expected a class\n"
        "TypeError mark_dataclass() expected 1..=1 positional arguments, got 0\n"
        "ValueError invalid normalization form\n"
        "TypeError expected a string, got bytes\n"
        "TypeError unicodedata.normalize() expected 2..=2 positional arguments, got 0\n"
        "TypeError expected an integer index, got str\n"
        "NotImplementedError dataclasses.fields is not implemented\n"
        "TypeError defaultdict() expected 1..=1 positional arguments, got 0\n"
        "TypeError TypeVar name must be a string\n"
        "ValueError invalid action: 'bogus'\n"
        "TypeError category must be a Warning subclass\n"
        "ValueError lineno must be an int >= 0\n"
        "~T None None\n");
}

// What warn() shows and remembers, by action; the record of catch_warnings and its misuse.
TEST(SmallModules, WarningsByAction) {
    ProgramRun r = run_program(
        "import warnings\n"
        "warnings.warn('top level')\n"
        "warnings.warn('top level')\n"
        "def f():\n"
        "    warnings.warn('deprecated thing', DeprecationWarning, stacklevel=2)\n"
        "f()\n"
        "f()\n"
        "warnings.warn(UserWarning('as instance'))\n"
        "warnings.warn('pending', PendingDeprecationWarning)\n"
        "with warnings.catch_warnings(record=True) as log:\n"
        "    warnings.simplefilter('always')\n"
        "    warnings.warn('one')\n"
        "    warnings.warn('one')\n"
        "    warnings.warn('two', RuntimeWarning)\n"
        "print(len(log), [str(w.message) for w in log], [w.category.__name__ for w in log], log[0].lineno, log[0].filename)\n"
        "warnings.filterwarnings('error', message='boom')\n"
        "try:\n"
        "    warnings.warn('BOOM here')\n"
        "except UserWarning as e:\n"
        "    print('raised', e)\n"
        "warnings.filterwarnings('ignore', message='qu.et')\n"
        "warnings.warn('quiet please')\n"
        "warnings.resetwarnings()\n"
        "warnings.simplefilter('once')\n"
        "for i in range(3):\n"
        "    warnings.warn('once only')\n"
        "warnings.simplefilter('module')\n"
        "for i in range(2):\n"
        "    warnings.warn('per module')\n"
        "warnings.warn('per module')\n"
        "print(warnings.formatwarning('msg', UserWarning, 'file.py', 3, '  code  '), end='')\n"
        "c = warnings.catch_warnings()\n"
        "for step in (lambda: c.__exit__(None, None, None), c.__enter__, c.__enter__):\n"
        "    try:\n"
        "        step()\n"
        "    except RuntimeError as e:\n"
        "        print(e)\n");
    EXPECT_EQ(r.out,
              "3 ['one', 'one', 'two'] ['UserWarning', 'UserWarning', 'RuntimeWarning'] 12 <string>\n"
              "raised BOOM here\n"
              "file.py:3: UserWarning: msg\n  code\n"
              "Cannot exit catch_warnings() without entering first\n"
              "Cannot enter catch_warnings() twice\n")
        << r.err << r.message;
    EXPECT_EQ(r.err,
              "<string>:2: UserWarning: top level\n"
              "<string>:3: UserWarning: top level\n"
              "<string>:6: DeprecationWarning: deprecated thing\n"
              "<string>:7: DeprecationWarning: deprecated thing\n"
              "<string>:8: UserWarning: as instance\n"
              "<string>:26: UserWarning: once only\n"
              "<string>:29: UserWarning: per module\n");
}

// A warning raised at the top level of a script names the script's path and the call's line; a
// stack level past the outermost frame reports ("sys", 1).
TEST(SmallModules, WarningLocations) {
    ProgramRun r = run_program("import warnings\n\nwarnings.warn('hi')\nwarnings.warn('far', stacklevel=5)\n", 50'000'000,
                               {"/tmp/w.py"});
    EXPECT_EQ(r.err, "/tmp/w.py:3: UserWarning: hi\nsys:1: UserWarning: far\n") << r.message;
}

// Normalization is charged 32 units per byte of the text, and 16 bytes of memory per character
// of the output's estimate, before any work: a text whose decompositions would outgrow the memory
// budget is refused without being normalized.
TEST(SmallModules, NormalizeChargesBeforeWork) {
    auto cost = [](std::size_t n) {
        return run_program("import unicodedata\nunicodedata.normalize('NFD', 'e' * " + std::to_string(n) + ")\n").cpu;
    };
    const std::uint64_t small = cost(10), large = cost(10'010);
    EXPECT_GE(large - small, 32u * 10'000u);
    // 18 characters of decomposition each: 18M characters estimated, beyond 256 MiB at 16 bytes.
    ProgramRun r = run_program("import unicodedata\nunicodedata.normalize('NFKD', '\\ufdfa' * 1000000)\nprint('done')\n",
                               500'000'000);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 137) << r.err << r.message;
    EXPECT_LT(r.cpu, 200'000'000u);
}

// The max-heap family, which the host's python3 may not have yet.
TEST(SmallModules, MaxHeaps) {
    expect_matches_host(
        "import heapq\n"
        "h = [3, 9, 1, 7, 5]\n"
        "heapq.heapify_max(h)\n"
        "heapq.heappush_max(h, 8)\n"
        "print(h[0], [heapq.heappop_max(h) for _ in range(3)], heapq.heapreplace_max(h, 4), heapq.heappushpop_max(h, 6))\n"
        "print(heapq.heappushpop_max(h, 0), sorted(h), heapq.heappushpop_max([], 2))\n"
        "for call in (lambda: heapq.heappop_max([]), lambda: heapq.heapreplace_max([], 1), lambda: heapq.heapreplace([], 1)):\n"
        "    try:\n"
        "        call()\n"
        "    except IndexError as e:\n"
        "        print(e)\n",
        "9 [9, 8, 7] 5 6\n4 [0, 1, 3] 2\nindex out of range\nindex out of range\nindex out of range\n");
}

TEST(SmallModules, ImportTogether) {
    ProgramRun r = run_program("import dataclasses, heapq, typing, enum, unicodedata, warnings, collections\nprint('ok')\n");
    EXPECT_EQ(r.out, "ok\n") << r.err << r.message;
}

}  // namespace
}  // namespace tw::py
