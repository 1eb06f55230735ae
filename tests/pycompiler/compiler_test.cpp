// Golden listings of small programs, the lowering facts of code objects, placement errors,
// the nesting limit and the host seam.
#include <gtest/gtest.h>

#include <string>

#include "pycompiler/verify.h"
#include "python/compiler/compiler.h"
#include "python/front/parser.h"

namespace tw {
namespace {

struct Compiled {
    DetachedCodeHost host;
    CodeObjectPtr code;
};

Compiled compile(std::string_view source) {
    Compiled c;
    auto tree = py_parse_source(source);
    if (!tree) {
        ADD_FAILURE() << "does not parse: " << tree.error().message;
        return c;
    }
    c.code = compile_module(*tree, c.host);
    EXPECT_EQ(verify_code(*c.code), "");
    return c;
}

std::string listing(std::string_view source) {
    Compiled c = compile(source);
    return c.code ? code_listing(*c.code, c.host) : "";
}

struct Golden {
    const char* name;
    const char* source;
    const char* listing;
};

// Jump targets, handler pops on early exits, name resolution per code kind and the hidden
// comprehension functions, instruction by instruction.
const Golden kGolden[] = {
    {"Assignments",
     "a = b = f()\nx, *y = z\n(a, *b), c = v\n*a, *b = v\nx += 1\no.a += 2\no[i] -= 3\ndel a, o.b, o[c]\nreturn 1\nbreak\ncontinue\n",
     R"(<module>
   0 LoadGlobal f
   1 Call pos 0
   2 Copy 1
   3 StoreGlobal a
   4 StoreGlobal b
   5 LoadGlobal z
   6 UnpackSequence 2 star 1
   7 StoreGlobal x
   8 StoreGlobal y
   9 LoadGlobal v
  10 UnpackSequence 2 star 0
  11 UnpackSequence 2 star 1
  12 StoreGlobal a
  13 StoreGlobal b
  14 StoreGlobal c
  15 LoadGlobal v
  16 RaiseSyntaxError "multiple starred expressions in assignment"
  17 LoadGlobal x
  18 LoadConst 1
  19 InplaceOp +
  20 StoreGlobal x
  21 LoadGlobal o
  22 Copy 1
  23 LoadAttr a
  24 LoadConst 2
  25 InplaceOp +
  26 Swap 2
  27 StoreAttr a
  28 LoadGlobal o
  29 LoadGlobal i
  30 Copy 2
  31 Copy 2
  32 LoadSubscr
  33 LoadConst 3
  34 InplaceOp -
  35 Swap 3
  36 Swap 2
  37 StoreSubscr
  38 DeleteGlobal a
  39 LoadGlobal o
  40 DeleteAttr b
  41 LoadGlobal o
  42 LoadGlobal c
  43 DeleteSubscr
  44 RaiseSyntaxError "'return' outside function"
  45 RaiseSyntaxError "'break' outside loop"
  46 RaiseSyntaxError "'continue' outside loop"
  47 Halt
)"},
    {"Branches",
     "if a:\n    b = 1\nelif c:\n    b = 2\nelse:\n    b = 3\nwhile x:\n    if y: continue\n    x -= 1\nelse:\n    z = 0\nfor i in r:\n    pass\nelse:\n    w = i\n",
     R"(<module>
   0 LoadGlobal a
   1 PopJumpIfFalse -> 5
   2 LoadConst 1
   3 StoreGlobal b
   4 Jump -> 12
   5 LoadGlobal c
   6 PopJumpIfFalse -> 10
   7 LoadConst 2
   8 StoreGlobal b
   9 Jump -> 12
  10 LoadConst 3
  11 StoreGlobal b
  12 LoadGlobal x
  13 PopJumpIfFalse -> 23
  14 LoadGlobal y
  15 PopJumpIfFalse -> 18
  16 Jump -> 12
  17 Jump -> 18
  18 LoadGlobal x
  19 LoadConst 1
  20 InplaceOp -
  21 StoreGlobal x
  22 Jump -> 12
  23 LoadConst 0
  24 StoreGlobal z
  25 LoadGlobal r
  26 GetIter
  27 ForIter -> 30
  28 StoreGlobal i
  29 Jump -> 27
  30 LoadGlobal i
  31 StoreGlobal w
  32 Halt
)"},
    {"TryExitsPopTheirHandlers",
     "for x in y:\n    try:\n        if x: break\n        continue\n    except E as e:\n        break\n    finally:\n        f()\n",
     R"(<module>
   0 LoadGlobal y
   1 GetIter
   2 ForIter -> 54
   3 StoreGlobal x
   4 SetupExcept -> 21
   5 LoadGlobal x
   6 PopJumpIfFalse -> 14
   7 PopBlock
   8 LoadGlobal f
   9 Call pos 0
  10 ExprStatement
  11 PopTop
  12 Jump -> 54
  13 Jump -> 14
  14 PopBlock
  15 LoadGlobal f
  16 Call pos 0
  17 ExprStatement
  18 Jump -> 2
  19 PopBlock
  20 Jump -> 50
  21 LoadGlobal E
  22 ExceptionMatch 1
  23 PopJumpIfFalse -> 45
  24 StoreGlobal e
  25 SetupExcept -> 35
  26 PopBlock
  27 LoadGlobal f
  28 Call pos 0
  29 ExprStatement
  30 PopExcept
  31 PopTop
  32 Jump -> 54
  33 PopBlock
  34 Jump -> 40
  35 PopTop
  36 LoadGlobal f
  37 Call pos 0
  38 ExprStatement
  39 Reraise
  40 PopExcept
  41 LoadGlobal f
  42 Call pos 0
  43 ExprStatement
  44 Jump -> 53
  45 PopTop
  46 LoadGlobal f
  47 Call pos 0
  48 ExprStatement
  49 Reraise
  50 LoadGlobal f
  51 Call pos 0
  52 ExprStatement
  53 Jump -> 2
  54 Halt
)"},
    {"ContinueLeavingTryPopsHandler",
     "while x:\n    try:\n        continue\n    except:\n        pass\n",
     R"(<module>
   0 LoadGlobal x
   1 PopJumpIfFalse -> 15
   2 SetupExcept -> 7
   3 PopBlock
   4 Jump -> 0
   5 PopBlock
   6 Jump -> 14
   7 ExceptionMatch
   8 PopJumpIfFalse -> 12
   9 PopTop
  10 PopExcept
  11 Jump -> 14
  12 PopTop
  13 Reraise
  14 Jump -> 0
  15 Halt
)"},
    {"ReturnThroughFinally",
     "def g():\n    try:\n        return 1\n    finally:\n        h()\n",
     R"(<module>
   0 MakeFunction g defaults 0
   1 StoreGlobal g
   2 Halt
g() function
   0 SetupExcept -> 9
   1 LoadConst 1
   2 PopBlock
   3 LoadName h
   4 Call pos 0
   5 ExprStatement
   6 ReturnValue
   7 PopBlock
   8 Jump -> 14
   9 PopTop
  10 LoadName h
  11 Call pos 0
  12 ExprStatement
  13 Reraise
  14 LoadName h
  15 Call pos 0
  16 ExprStatement
  17 LoadConst None
  18 ReturnValue
)"},
    {"WithAndAsyncWithExits",
     "for x in y:\n    with open(x) as f:\n        break\nasync def a():\n    async with l as m:\n        return 1\n    await z\n",
     R"(<module>
   0 LoadGlobal y
   1 GetIter
   2 ForIter -> 19
   3 StoreGlobal x
   4 LoadGlobal open
   5 LoadGlobal x
   6 Call pos 1
   7 WithEnter
   8 StoreGlobal f
   9 SetupExcept -> 17
  10 PopBlock
  11 WithExit
  12 PopTop
  13 Jump -> 19
  14 PopBlock
  15 WithExit
  16 Jump -> 18
  17 WithExceptExit
  18 Jump -> 2
  19 MakeFunction a defaults 0
  20 StoreGlobal a
  21 Halt
a() function
   0 LoadName l
   1 StoreFast 0 $__tarnwick_async_context_0
   2 LoadFast 0 $__tarnwick_async_context_0
   3 LoadAttr __aenter__
   4 Call pos 0
   5 YieldValue
   6 ResumeAwait
   7 StoreFast 1 m
   8 SetupExcept -> 32
   9 LoadConst 1
  10 PopBlock
  11 LoadFast 0 $__tarnwick_async_context_0
  12 LoadAttr __aexit__
  13 LoadConst None
  14 LoadConst None
  15 LoadConst None
  16 Call pos 3
  17 YieldValue
  18 ResumeAwait
  19 PopTop
  20 ReturnValue
  21 PopBlock
  22 LoadFast 0 $__tarnwick_async_context_0
  23 LoadAttr __aexit__
  24 LoadConst None
  25 LoadConst None
  26 LoadConst None
  27 Call pos 3
  28 YieldValue
  29 ResumeAwait
  30 PopTop
  31 Jump -> 37
  32 LoadFast 0 $__tarnwick_async_context_0
  33 AsyncWithExceptExit
  34 YieldValue
  35 ResumeAwait
  36 AsyncWithExceptResult
  37 LoadName z
  38 YieldValue
  39 ResumeAwait
  40 ExprStatement
  41 LoadConst None
  42 ReturnValue
)"},
    {"FunctionsClosuresLambda",
     "def f(a, b=1, *c, d, e=2, **k):\n    \"\"\"doc\"\"\"\n    x = a\n    def inner():\n        nonlocal x\n        x = 2\n        global g\n        g = x\n        del x\n    return inner\nh = lambda p, q=3: p + q\n",
     R"(<module>
   0 LoadConst 1
   1 LoadConst 2
   2 MakeFunction f defaults 2
   3 StoreGlobal f
   4 LoadConst 3
   5 MakeFunction <lambda> defaults 1
   6 StoreGlobal h
   7 Halt
f(a, b=, *c, kw:d, kw:e=, **k) function
   0 LoadConst 'doc'
   1 ExprStatement
   2 LoadFast 0 a
   3 StoreFast 6 x
   4 MakeFunction inner defaults 0
   5 StoreFast 7 inner
   6 LoadFast 7 inner
   7 ReturnValue
   8 LoadConst None
   9 ReturnValue
inner() function
   0 LoadConst 2
   1 StoreNonlocal x
   2 LoadName x
   3 StoreGlobal g
   4 DeleteName x
   5 LoadConst None
   6 ReturnValue
<lambda>(p, q=) function
   0 LoadFast 0 p
   1 LoadFast 1 q
   2 BinaryOp +
   3 ReturnValue
)"},
    {"ClassComprehensionsCompareFString",
     "class C(B, metaclass=M):\n    x: int\n    y: int = 0\n    def m(self): self.z: int = 0\nr = [y := i for i in s if i]\nd = {k: v for k, v in items}\ng = (x for x in g for z in x)\nq = a < b < c\nt = f\"a{x!r:>5}b\"\n",
     R"(<module>
   0 LoadGlobal B
   1 LoadGlobal M
   2 MakeClass C bases 1 metaclass annotated [x y]
   3 StoreGlobal C
   4 MakeFunction <comprehension> defaults 0
   5 LoadGlobal s
   6 GetIter
   7 Call pos 1
   8 StoreGlobal r
   9 MakeFunction <dictcomp> defaults 0
  10 LoadGlobal items
  11 GetIter
  12 Call pos 1
  13 StoreGlobal d
  14 MakeFunction <genexpr> defaults 0
  15 LoadGlobal g
  16 GetIter
  17 Call pos 1
  18 StoreGlobal g
  19 LoadGlobal a
  20 LoadGlobal b
  21 Swap 2
  22 Copy 2
  23 CompareOp <
  24 JumpIfFalseOrPop -> 28
  25 LoadGlobal c
  26 CompareOp <
  27 Jump -> 30
  28 Swap 2
  29 PopTop
  30 StoreGlobal q
  31 LoadConst ''
  32 LoadConst 'a'
  33 BinaryOp +
  34 LoadGlobal x
  35 FormatValue !r :>5
  36 BinaryOp +
  37 LoadConst 'b'
  38 BinaryOp +
  39 StoreGlobal t
  40 Halt
C class body
   0 LoadConst 0
   1 StoreName y
   2 MakeFunction m defaults 0
   3 StoreName m
   4 Halt
m(self) function
   0 LoadConst 0
   1 LoadFast 0 self
   2 StoreAttr z
   3 LoadConst None
   4 ReturnValue
<comprehension>(pos:.0) function
   0 BuildList 0
   1 StoreFast 1 $__tarnwick_comprehension_result
   2 LoadFast 0 .0
   3 ForIter -> 16
   4 StoreFast 2 i
   5 LoadFast 2 i
   6 PopJumpIfFalse -> 3
   7 LoadFast 2 i
   8 Copy 1
   9 StoreEnclosing y depth 1
  10 LoadFast 1 $__tarnwick_comprehension_result
  11 LoadAttr append
  12 Swap 2
  13 Call pos 1
  14 PopTop
  15 Jump -> 3
  16 LoadFast 1 $__tarnwick_comprehension_result
  17 ReturnValue
<dictcomp>(pos:.0) function
   0 BuildDict []
   1 StoreFast 1 $__tarnwick_comprehension_result
   2 LoadFast 0 .0
   3 ForIter -> 12
   4 UnpackSequence 2
   5 StoreFast 2 k
   6 StoreFast 3 v
   7 LoadFast 3 v
   8 LoadFast 1 $__tarnwick_comprehension_result
   9 LoadFast 2 k
  10 StoreSubscr
  11 Jump -> 3
  12 LoadFast 1 $__tarnwick_comprehension_result
  13 ReturnValue
<genexpr>(pos:.0) function
   0 LoadFast 0 .0
   1 ForIter -> 12
   2 StoreFast 1 x
   3 LoadFast 1 x
   4 GetIter
   5 ForIter -> 11
   6 StoreFast 2 z
   7 LoadFast 1 x
   8 YieldValue
   9 PopTop
  10 Jump -> 5
  11 Jump -> 1
  12 LoadConst None
  13 ReturnValue
)"},
    {"ImportsCallsDisplaysAsyncFor",
     "import os.path, a.b as c\nfrom .m import p as q, r\nfrom __future__ import annotations\nfrom s import *\n@dec1\n@dec2(k)\ndef f(): yield 1; yield from g\nassert t\nassert t, \"m\"\nraise\nraise E\nraise E from c\ns = o[1:2], o[::3], o[:]\nf(*a, k=1, **m)\no.m(x)\nl = [*a, 1], (1, 2), {**d, \"k\": v}, {1, *s}\nasync def h():\n    async for u in v:\n        break\n    else:\n        w()\n",
     R"(<module>
   0 ImportModule os.path top
   1 StoreGlobal os
   2 ImportModule a.b
   3 StoreGlobal c
   4 ImportModule .m
   5 ImportFrom p
   6 StoreGlobal q
   7 ImportFrom r
   8 StoreGlobal r
   9 PopTop
  10 ImportModule s
  11 ImportStar
  12 LoadGlobal dec1
  13 LoadGlobal dec2
  14 LoadGlobal k
  15 Call pos 1
  16 MakeFunction f defaults 0
  17 StoreGlobal f
  18 LoadGlobal f
  19 Call pos 1
  20 StoreGlobal f
  21 LoadGlobal f
  22 Call pos 1
  23 StoreGlobal f
  24 LoadGlobal t
  25 JumpIfTrueOrPop -> 29
  26 LoadConst False
  27 LoadConst None
  28 RaiseAssertionError
  29 PopTop
  30 LoadGlobal t
  31 JumpIfTrueOrPop -> 35
  32 LoadConst False
  33 LoadConst 'm'
  34 RaiseAssertionError
  35 PopTop
  36 Raise
  37 LoadGlobal E
  38 Raise 1
  39 LoadGlobal E
  40 LoadGlobal c
  41 RaiseFrom
  42 LoadGlobal o
  43 LoadConst 1
  44 LoadConst 2
  45 BuildSlice lower upper
  46 LoadSubscr
  47 LoadGlobal o
  48 LoadConst 3
  49 BuildSlice step
  50 LoadSubscr
  51 LoadGlobal o
  52 BuildSlice
  53 LoadSubscr
  54 BuildTuple 3
  55 StoreGlobal s
  56 LoadGlobal f
  57 LoadGlobal a
  58 LoadConst 1
  59 LoadGlobal m
  60 Call pos 1 flags [1 0 1] kw [k **]
  61 ExprStatement
  62 LoadGlobal o
  63 LoadMethod m
  64 LoadGlobal x
  65 CallMethod pos 2
  66 ExprStatement
  67 LoadGlobal a
  68 LoadConst 1
  69 BuildUnpacked list [1 0]
  70 LoadConst 1
  71 LoadConst 2
  72 BuildTuple 2
  73 LoadGlobal d
  74 LoadConst 'k'
  75 LoadGlobal v
  76 BuildDict [1 0]
  77 LoadConst 1
  78 LoadGlobal s
  79 BuildUnpacked set [0 1]
  80 BuildTuple 4
  81 StoreGlobal l
  82 MakeFunction h defaults 0
  83 StoreGlobal h
  84 Halt
f() function
   0 LoadConst 1
   1 YieldValue
   2 ExprStatement
   3 LoadName g
   4 GetIter
   5 LoadConst None
   6 YieldFrom -> 7
   7 ExprStatement
   8 LoadConst None
   9 ReturnValue
h() function
   0 LoadName v
   1 LoadAttr __aiter__
   2 Call pos 0
   3 StoreFast 0 $__tarnwick_async_iterator_0
   4 SetupExcept -> 14
   5 LoadFast 0 $__tarnwick_async_iterator_0
   6 LoadAttr __anext__
   7 Call pos 0
   8 YieldValue
   9 ResumeAwait
  10 PopBlock
  11 StoreFast 1 u
  12 Jump -> 25
  13 Jump -> 4
  14 LoadName StopAsyncIteration
  15 ExceptionMatch 1
  16 PopJumpIfFalse -> 23
  17 PopTop
  18 PopExcept
  19 LoadName w
  20 Call pos 0
  21 ExprStatement
  22 Jump -> 25
  23 PopTop
  24 Reraise
  25 LoadConst None
  26 ReturnValue
)"},
    {"ExitsInsideInlinedFinallyUnwindOnlyOuterRegions",
     "def f():\n    with c:\n        try:\n            return 1\n        finally:\n            return 2\nfor x in y:\n    with c:\n        try:\n            break\n        finally:\n            continue\n",
     R"(<module>
   0 MakeFunction f defaults 0
   1 StoreGlobal f
   2 LoadGlobal y
   3 GetIter
   4 ForIter -> 35
   5 StoreGlobal x
   6 LoadGlobal c
   7 WithEnter
   8 PopTop
   9 SetupExcept -> 33
  10 SetupExcept -> 21
  11 PopBlock
  12 PopBlock
  13 WithExit
  14 Jump -> 4
  15 PopBlock
  16 WithExit
  17 PopTop
  18 Jump -> 35
  19 PopBlock
  20 Jump -> 27
  21 PopTop
  22 PopExcept
  23 PopBlock
  24 WithExit
  25 Jump -> 4
  26 Reraise
  27 PopBlock
  28 WithExit
  29 Jump -> 4
  30 PopBlock
  31 WithExit
  32 Jump -> 34
  33 WithExceptExit
  34 Jump -> 4
  35 Halt
f() function
   0 LoadName c
   1 WithEnter
   2 PopTop
   3 SetupExcept -> 30
   4 SetupExcept -> 16
   5 LoadConst 1
   6 PopBlock
   7 LoadConst 2
   8 PopBlock
   9 WithExit
  10 ReturnValue
  11 PopBlock
  12 WithExit
  13 ReturnValue
  14 PopBlock
  15 Jump -> 23
  16 PopTop
  17 LoadConst 2
  18 PopExcept
  19 PopBlock
  20 WithExit
  21 ReturnValue
  22 Reraise
  23 LoadConst 2
  24 PopBlock
  25 WithExit
  26 ReturnValue
  27 PopBlock
  28 WithExit
  29 Jump -> 31
  30 WithExceptExit
  31 LoadConst None
  32 ReturnValue
)"},
    {"ElseOfInnerLoopContinuesOuterLoop",
     "while a:\n    for x in y:\n        pass\n    else:\n        continue\n",
     R"(<module>
   0 LoadGlobal a
   1 PopJumpIfFalse -> 9
   2 LoadGlobal y
   3 GetIter
   4 ForIter -> 7
   5 StoreGlobal x
   6 Jump -> 4
   7 Jump -> 0
   8 Jump -> 0
   9 Halt
)"},
    {"FinallyExitFromAClauseThatRaisedLeavesBothExceptions",
     "for x in y:\n    try:\n        a()\n    except E:\n        b()\n    finally:\n        break\n",
     R"(<module>
   0 LoadGlobal y
   1 GetIter
   2 ForIter -> 38
   3 StoreGlobal x
   4 SetupExcept -> 10
   5 LoadGlobal a
   6 Call pos 0
   7 ExprStatement
   8 PopBlock
   9 Jump -> 35
  10 LoadGlobal E
  11 ExceptionMatch 1
  12 PopJumpIfFalse -> 30
  13 PopTop
  14 SetupExcept -> 20
  15 LoadGlobal b
  16 Call pos 0
  17 ExprStatement
  18 PopBlock
  19 Jump -> 26
  20 PopTop
  21 PopExcept
  22 PopExcept
  23 PopTop
  24 Jump -> 38
  25 Reraise
  26 PopExcept
  27 PopTop
  28 Jump -> 38
  29 Jump -> 37
  30 PopTop
  31 PopExcept
  32 PopTop
  33 Jump -> 38
  34 Reraise
  35 PopTop
  36 Jump -> 38
  37 Jump -> 2
  38 Halt
)"},
};

TEST(Golden, Listings) {
    for (const Golden& g : kGolden)
        EXPECT_EQ(listing(g.source), g.listing) << g.name;
}

TEST(Module, EmptyModuleIsOneHalt) {
    Compiled c = compile("");
    ASSERT_EQ(c.code->instructions.size(), 1u);
    EXPECT_EQ(c.code->instructions[0].op, PyOpcode::Halt);
    EXPECT_EQ(c.code->positions[0], (SourceSpan{0, 0, 0, 0}));
    EXPECT_EQ(c.code->kind, CodeKind::ModuleBody);
}

TEST(Module, DocstringIsKeptAndStillExecuted) {
    Compiled c = compile("'''Module text.'''\nx = 1\n");
    ASSERT_TRUE(c.code->docstring);
    EXPECT_EQ(*c.code->docstring, "Module text.");
    EXPECT_EQ(c.code->instructions[1].op, PyOpcode::ExprStatement);
    EXPECT_FALSE(compile("x = 'no'\n").code->docstring);
    EXPECT_FALSE(compile("b'bytes'\n").code->docstring);
}

TEST(Module, EqualLiteralsAreSeparateConstantsAndSpansFollowTheSource) {
    Compiled c = compile("x = 7\ny = 7\n");
    ASSERT_EQ(c.code->constants.size(), 2u);
    EXPECT_EQ(c.code->constants[0], c.code->constants[1]);
    EXPECT_EQ(c.code->positions[0].line, 1u);
    EXPECT_EQ(c.code->positions[2].line, 2u);
    EXPECT_EQ(c.code->positions[2].column, 5u);
}

TEST(Module, SourceEntryStopsAtTheFirstSyntaxErrorAndCostsOneUnitPerByte) {
    DetachedCodeHost host;
    auto bad = compile_source("x = (\n", host);
    ASSERT_FALSE(bad);
    EXPECT_FALSE(bad.error().message.empty());
    auto good = compile_source("x = 1\n", host);
    ASSERT_TRUE(good);
    EXPECT_EQ((*good)->instructions.size(), 3u);
    EXPECT_EQ(compile_cost("x = 1\n"), 6u);
}

TEST(Lowering, ParameterFactsAndBodyFlags) {
    Compiled c = compile(
        "def f(a, b, /, c=1, *args, d, e=2, **kw): pass\n"
        "def g(*, k=1): yield k\n"
        "async def h(): pass\n"
        "def i(): pass\n"
        "def j():\n    def k(): pass\n");
    const auto& fs = c.code->functions;
    ASSERT_EQ(fs.size(), 5u);
    const CodeObject& f = *fs[0].code;
    EXPECT_EQ(f.positional_count, 3u);
    EXPECT_EQ(f.required_positional_count, 2u);
    EXPECT_EQ(f.vararg_index, 3u);
    EXPECT_EQ(f.kwarg_index, 6u);
    EXPECT_TRUE(f.has_required_kwonly);
    EXPECT_EQ(f.default_indices, (std::vector<std::uint32_t>{2, 5}));
    EXPECT_EQ(f.parameters[0].kind, ParamKind::PositionalOnly);
    EXPECT_EQ(c.host.name(f.parameters[6].symbol), "kw");
    EXPECT_EQ(f.local_names->size(), 7u);
    EXPECT_EQ(fs[0].default_count, 2u);
    EXPECT_FALSE(f.needs_scope);

    const CodeObject& g = *fs[1].code;
    EXPECT_EQ(g.positional_count, 0u);
    EXPECT_FALSE(g.vararg_index);
    EXPECT_FALSE(g.has_required_kwonly);
    EXPECT_TRUE(g.has_yield);
    EXPECT_TRUE(g.needs_scope);

    EXPECT_TRUE(fs[2].code->is_async);
    EXPECT_TRUE(fs[2].code->needs_scope);
    EXPECT_FALSE(fs[3].code->needs_scope);
    EXPECT_TRUE(fs[4].code->needs_scope);
    for (const FunctionInfo& fi : fs)
        EXPECT_EQ(fi.code->kind, CodeKind::FunctionBody);
}

// Which names of a function become slots, and how the other kinds keep their names.
TEST(Lowering, LocalSlots) {
    struct Case {
        const char* body;
        const char* locals;   // slot names in order
        const char* listing;  // instructions of the function, one per line
    } cases[] = {
        {"x = 1; del x", "x", "LoadConst 1|StoreFast 0 x|DeleteFast 0 x|"},
        {"del y", "", "DeleteName y|"},
        {"global g; g = 1; print(g)", "", "LoadConst 1|StoreGlobal g|LoadName print|LoadName g|Call pos 1|ExprStatement|"},
        {"global g; g += 1", "", "LoadName g|LoadConst 1|InplaceOp +|StoreGlobal g|"},
        {"[y := i for i in r]", "", "MakeFunction <comprehension> defaults 0|LoadName r|GetIter|Call pos 1|ExprStatement|"},
        {"for a, b in c: pass", "a b", "LoadName c|GetIter|ForIter -> 7|UnpackSequence 2|StoreFast 0 a|StoreFast 1 b|Jump -> 2|"},
        {"import os.path; from m import n", "os n",
         "ImportModule os.path top|StoreFast 0 os|ImportModule m|ImportFrom n|StoreFast 1 n|PopTop|"},
    };
    for (const Case& k : cases) {
        Compiled c = compile(std::string("def f():\n    ") + k.body + "\n");
        const CodeObject& f = *c.code->functions.at(0).code;
        std::string locals;
        for (auto s : *f.local_names)
            locals += (locals.empty() ? "" : " ") + std::string(c.host.name(s));
        EXPECT_EQ(locals, k.locals) << k.body;
        std::string body = code_listing(f, c.host);
        std::string joined;
        std::size_t line_start = body.find('\n') + 1;
        // Drop the title, the index column and the closing `return None`.
        while (line_start < body.size()) {
            std::size_t end = body.find('\n', line_start);
            std::string line = body.substr(line_start + 5, end - line_start - 5);
            if (line.find(" function") != std::string::npos)
                break;
            joined += line + "|";
            line_start = end + 1;
        }
        auto tail = joined.rfind("LoadConst None|ReturnValue|");
        ASSERT_NE(tail, std::string::npos) << k.body;
        EXPECT_EQ(joined.substr(0, tail), k.listing) << k.body;
    }
}

TEST(Lowering, ClassBodyAndEvalKeepNamesForLookup) {
    Compiled c = compile("class C:\n    x = 1\n    y = x\n    del x\n");
    const CodeObject& body = *c.code->classes.at(0).code;
    EXPECT_EQ(body.kind, CodeKind::ClassBody);
    EXPECT_EQ(body.instructions[1].op, PyOpcode::StoreName);
    EXPECT_EQ(body.instructions[2].op, PyOpcode::LoadName);
    EXPECT_EQ(body.instructions[4].op, PyOpcode::DeleteName);
    EXPECT_TRUE(body.local_names->empty());

    auto tree = py_parse_source("a + b\n");
    ASSERT_TRUE(tree);
    DetachedCodeHost host;
    auto expr = std::get<Stmt::Expr>(tree->stmt(tree->list(tree->body())[0]).node).value;
    CodeObjectPtr code = compile_eval_expression(*tree, expr, host);
    EXPECT_EQ(code_listing(*code, host), "<module>\n   0 LoadName a\n   1 LoadName b\n   2 BinaryOp +\n   3 ReturnValue\n");
    EXPECT_EQ(code->kind, CodeKind::ClassBody);
}

// Misplaced constructs become instructions that fail only when reached; the rest compiles.
TEST(Placement, MisplacedConstructsCompileToDeferredErrors) {
    struct Case {
        const char* source;
        const char* message;
    } cases[] = {
        {"return 1\n", "'return' outside function"},
        {"class C:\n    return\n", "'return' outside function"},
        {"break\n", "'break' outside loop"},
        {"continue\n", "'continue' outside loop"},
        {"for x in y: pass\nelse: break\n", "'break' outside loop"},
        {"nonlocal x\n", "nonlocal declaration at module scope"},
        {"*a, *b = v\n", "multiple starred expressions in assignment"},
        {"[*a, (b, *c)] = v\n", "multiple starred expressions in assignment"},
        {"x = *a\n", "starred expressions are only supported in calls and assignments"},
        {"yield 1\n", "'yield' outside function"},
        {"class C:\n    yield from x\n", "'yield from' outside function"},
        {"def f(): await x\n", "'await' outside async function"},
        {"async def f(): return [await x for x in y]\n", "'await' outside async function"},
        {"class C:\n    [y := i for i in r]\n", "assignment expression within a comprehension cannot be used in a class body"},
        {"class C:\n    [[y := i for i in r] for j in s]\n",
         "assignment expression within a comprehension cannot be used in a class body"},
    };
    for (const Case& k : cases) {
        Compiled c = compile(k.source);
        EXPECT_EQ(all_syntax_messages(*c.code), std::vector<std::string>{k.message}) << k.source;
    }
}

// A tree nested deeper than any parse allows: If statements, each the only statement of the
// previous one's body.
PyModuleTree nested_ifs(std::size_t levels) {
    PyTreeBuilder b;
    SourceSpan span{0, 1, 1, 1};
    StmtId inner = b.add_stmt(Stmt::Pass{}, span);
    for (std::size_t i = 0; i < levels; ++i) {
        ExprId test = b.add_expr(Expr::Name{b.intern("x")}, span);
        inner = b.add_stmt(Stmt::If{test, b.list({inner}), {}}, span);
    }
    return b.finish(b.list({inner}));
}

TEST(Nesting, TheStatementBeyondTheLimitBecomesADeferredError) {
    for (std::size_t levels : {255u, 256u, 2000u}) {
        PyModuleTree tree = nested_ifs(levels);
        DetachedCodeHost host;
        CodeObjectPtr code = compile_module(tree, host);
        EXPECT_EQ(verify_code(*code), "");
        if (levels < 256) {
            EXPECT_TRUE(code->syntax_messages.empty());
        } else {
            ASSERT_EQ(code->syntax_messages.size(), 1u);
            EXPECT_EQ(code->syntax_messages[0], "compiler structural nesting limit exceeded");
        }
    }
    // def bodies count towards the same limit.
    PyTreeBuilder b;
    SourceSpan span{0, 1, 1, 1};
    StmtId inner = b.add_stmt(Stmt::Pass{}, span);
    for (int i = 0; i < 300; ++i)
        inner = b.add_stmt(Stmt::FunctionDef{false, b.intern("f"), {}, b.list({inner})}, span);
    PyModuleTree tree = b.finish(b.list({inner}));
    DetachedCodeHost host;
    CodeObjectPtr code = compile_module(tree, host);
    const CodeObject* c = code.get();
    std::size_t depth = 0;
    while (!c->functions.empty()) {
        c = c->functions[0].code.get();
        ++depth;
    }
    EXPECT_EQ(depth, 256u);
    EXPECT_EQ(c->syntax_messages, std::vector<std::string>{"compiler structural nesting limit exceeded"});
}

// Every exit inlines the finally bodies it leaves, so nested try/finally multiplies code; the
// growth stops at the compilation's instruction limit, past which statements become deferred
// errors.
TEST(Nesting, InlinedFinallyBodiesCannotExplodeTheCode) {
    std::string source = "def f():\n";
    std::string indent = "    ";
    for (int i = 0; i < 40; ++i) {
        source += indent + "try:\n" + indent + "    return 1\n" + indent + "finally:\n";
        indent += "    ";
    }
    source += indent + "pass\n";
    Compiled c = compile(source);
    EXPECT_LE(total_instructions(*c.code), 200000u);
    auto messages = all_syntax_messages(*c.code);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0], "compiled code too large");

    // Six levels stay inside the limit and compile whole.
    source = "def f():\n";
    indent = "    ";
    for (int i = 0; i < 6; ++i) {
        source += indent + "try:\n" + indent + "    return 1\n" + indent + "finally:\n";
        indent += "    ";
    }
    source += indent + "pass\n";
    EXPECT_TRUE(all_syntax_messages(*compile(source).code).empty());
}

TEST(Scopes, NestedComprehensionsReachTheOwnerOfTheirTargets) {
    Compiled c = compile("def f():\n    global g\n    [[(y := j, g := j) for j in i] for i in r]\n");
    const CodeObject& outer = *c.code->functions[0].code->functions[0].code;
    const CodeObject& inner = *outer.functions[0].code;
    std::string text = code_listing(inner, c.host);
    EXPECT_NE(text.find("StoreEnclosing y depth 2"), std::string::npos) << text;
    EXPECT_NE(text.find("StoreGlobal g"), std::string::npos) << text;
}

// A host whose tables refuse: the compilation still finishes, with all-ones symbols and ids.
class RefusingHost final : public CodeHost {
public:
    std::uint32_t intern(std::string_view name) override {
        if (name == "bad") {
            failed_ = true;
            return kNoSymbol;
        }
        return inner.intern(name);
    }
    std::uint32_t reserve_code_id() override {
        if (++reserved > 1) {
            failed_ = true;
            return kNoCodeId;
        }
        return 0;
    }
    void store_code(std::uint32_t id, CodeObjectPtr code) override { stored.emplace_back(id, std::move(code)); }
    bool failed() const override { return failed_; }

    DetachedCodeHost inner;
    int reserved = 0;
    std::vector<std::pair<std::uint32_t, CodeObjectPtr>> stored;

private:
    bool failed_ = false;
};

TEST(Host, FailuresAreRecordedAndCompilationContinues) {
    auto tree = py_parse_source("def f(): pass\nbad = 1\nbad = 2\nok = 3\n");
    ASSERT_TRUE(tree);
    RefusingHost host;
    CodeObjectPtr code = compile_module(*tree, host);
    EXPECT_TRUE(host.failed());
    EXPECT_EQ(code->id, kNoCodeId);
    EXPECT_EQ(code->functions[0].code->id, 0u);
    ASSERT_EQ(host.stored.size(), 1u);
    EXPECT_EQ(host.stored[0].second, code->functions[0].code);
    EXPECT_EQ(code->instructions[3].a, kNoSymbol);
    EXPECT_EQ(code->instructions[5].a, kNoSymbol);
    EXPECT_NE(code->instructions[7].a, kNoSymbol);
    EXPECT_EQ(code->instructions.size(), 9u);
}

}  // namespace
}  // namespace tw
