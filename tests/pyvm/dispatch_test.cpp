#include <gtest/gtest.h>

#include <string>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/vm/compile.h"
#include "python/vm/dispatch.h"
#include "python/vm/exceptions.h"
#include "python/vm/namespace.h"

namespace tw::py {
namespace {

struct Program {
    explicit Program(std::uint64_t cpu = 10'000'000) : machine(Machine::build({.cpu = cpu, .memory = 64 << 20, .disk = 1 << 20, .output = 1 << 20})) {}

    // Compiles `source` as the module of a fresh entry frame; the CPU used so far is zeroed out
    // of `cpu_before`.
    void load(std::string_view source) {
        auto compiled = compile_module_source(in.heap, machine.meter, source);
        ASSERT_TRUE(compiled && *compiled);
        globals = bind_locals(in, machine.meter, std::nullopt, nullptr, {}, {}).value();
        enter(**compiled, std::nullopt);
    }
    void enter(CodeObjectPtr code, std::optional<std::uint64_t> locals_base) {
        FrameDescriptor d{locals_base, globals, globals, Value::absent(), false, false};
        in.state.frames.push_back(in.state.new_frame(std::move(code), 0, in.state.values.size(), d, FrameKind::entry()).value());
        cpu_before = machine.meter.cpu_used();
    }
    // Runs slices until one ends otherwise than Pending.
    SliceResult run() {
        RuntimeContext ctx{machine, {}, {}, in.heap, in.state, out, err, in.heap.root_depth(), false, false, &in, &in};
        for (;;) {
            SliceResult r = run_slice(ctx);
            ++slices;
            if (!r || r->kind != StepOutcome::Pending) return r;
        }
    }
    Value global(std::string_view name) {
        auto v = namespace_get_str(in.heap, globals, name).value();
        return v.value_or(Value::absent());
    }
    std::uint64_t instructions() const { return machine.meter.cpu_used() - cpu_before; }

    Machine machine;
    Interpreter in;
    Value globals;
    std::string out, err;
    std::uint64_t cpu_before = 0;
    int slices = 0;
};

TEST(Dispatch, ModuleRunsAcrossSlicesChargingEachInstructionOnce) {
    Program r;
    r.load("x = 2\ny = x * 21 + 0\nwhile x < 1000:\n    x = x + x\nz = 7 // -2, 7 % -2\n");
    auto result = r.run();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind, StepOutcome::Halt);
    EXPECT_EQ(r.global("y"), Value::from_int(42));
    EXPECT_EQ(r.global("x"), Value::from_int(1024));
    EXPECT_GT(r.slices, 1);
    // Every instruction ran exactly once: the loop body 10 times, the rest once.
    const CodeObject& code = *r.in.state.frames.back().code;
    EXPECT_EQ(r.in.state.frames.back().ip, code.instructions.size() - 1);
}

TEST(Dispatch, ArithmeticFastPathsAndHalt) {
    Program r;
    r.load("a = 7 // -2\nh = not -x if (x := 0) == 0 else 0\nb = 7 % -2\nc = 1 / 4\nd = 2.5 * 2\ne = 3 < 4\nf = 9223372036854775807 - 1\nif e:\n    g = 1\nelse:\n    g = 2\n");
    auto result = r.run();
    ASSERT_TRUE(result) << result.error().error.message();
    EXPECT_EQ(result->kind, StepOutcome::Halt);
    EXPECT_EQ(r.global("a"), Value::from_int(-4));
    EXPECT_EQ(r.global("b"), Value::from_int(-1));
    EXPECT_EQ(r.global("c"), Value::from_float(0.25));
    EXPECT_EQ(r.global("d"), Value::from_float(5.0));
    EXPECT_EQ(r.global("e"), Value::from_bool(true));
    EXPECT_EQ(r.global("f"), Value::from_int(9223372036854775806));
    EXPECT_EQ(r.global("g"), Value::from_int(1));
    EXPECT_EQ(r.global("h"), Value::from_bool(true));
    EXPECT_EQ(r.instructions(), r.in.state.frames.back().code->instructions.size() - 3);  // both else branches are skipped
}

TEST(Dispatch, CpuLimitStopsAfterExactlyTheBudget) {
    Program probe;
    probe.load("while 1: pass\n");
    std::uint64_t compile = probe.cpu_before;
    Program r(compile + 10);
    r.load("while 1: pass\n");
    auto result = r.run();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind, StepOutcome::Exit);
    EXPECT_EQ(result->status, 137);
    EXPECT_EQ(r.instructions(), 10u);
    EXPECT_EQ(r.machine.meter.cpu_used(), compile + 10);
    EXPECT_EQ(r.machine.meter.stop_reason(), StopReason::cpu_exhausted);
}

TEST(Dispatch, ATimedOutProcessEndsWith124AndRunsNothing) {
    Program r;
    r.load("x = 1\nwhile 1: x = x + 1\n");
    // Some slices run; then `timeout` marks the process and the next slice ends the program.
    RuntimeContext ctx{r.machine, {}, {}, r.in.heap, r.in.state, r.out, r.err, r.in.heap.root_depth(), false, false, &r.in, &r.in};
    ASSERT_EQ(run_slice(ctx)->kind, StepOutcome::Pending);
    r.machine.states.active_mut().timed_out = true;
    const std::uint64_t cpu = r.machine.meter.cpu_used();
    const Value x = r.global("x");
    auto result = run_slice(ctx);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind, StepOutcome::Exit);
    EXPECT_EQ(result->status, 124);
    EXPECT_EQ(r.machine.meter.cpu_used(), cpu);
    EXPECT_EQ(r.global("x"), x);
    EXPECT_FALSE(r.machine.meter.stop_reason());
}

TEST(Dispatch, ErrorsLeaveTheSliceWithTheirPosition) {
    struct Case {
        const char* source;
        const char* message;
        std::uint64_t line;
    };
    for (const Case& c : {Case{"x = 1\ny = 1 // 0\n", "division by zero", 2},
                          Case{"x = 1.0 / 0\n", "division by zero", 1},
                          Case{"x = 1\n\ny = z\n", "name 'z' is not defined", 3}}) {
        Program r;
        r.load(c.source);
        auto result = r.run();
        ASSERT_FALSE(result) << c.source;
        // The error became the pending exception on its way out.
        EXPECT_TRUE(result.error().error.is_raised_marker());
        ASSERT_TRUE(r.in.state.pending_exception);
        EXPECT_EQ(exception_str(r.in, *r.in.state.pending_exception).value(), c.message);
        EXPECT_EQ(result.error().position.line, c.line);
    }
}

TEST(Dispatch, FastLocalsAndFallingOffTheCode) {
    auto code = std::make_shared<CodeObject>();
    code->instructions = {{PyOpcode::LoadConst, 0, 0, 0}, {PyOpcode::StoreFast, 0, 1, 0}, {PyOpcode::LoadFast, 0, 1, 0},
                          {PyOpcode::ReturnValue, 0, 0, 0}};
    code->constants = {CodeConstant{.kind = ConstantKind::Int, .int_value = 5}};
    code->positions.resize(4);
    Program r;
    r.globals = bind_locals(r.in, r.machine.meter, std::nullopt, nullptr, {}, {}).value();
    r.in.state.locals = {Value::absent(), Value::absent()};
    r.enter(code, 0);
    auto result = r.run();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind, StepOutcome::Return);
    EXPECT_EQ(result->value, Value::from_int(5));

    // Reading the slot before it is bound; then a body whose last instruction falls through.
    code->instructions = {{PyOpcode::LoadFast, 0, 0, 0}};
    Program unbound;
    unbound.globals = bind_locals(unbound.in, unbound.machine.meter, std::nullopt, nullptr, {}, {}).value();
    unbound.in.state.locals = {Value::absent()};
    unbound.enter(code, 0);
    auto failed = unbound.run();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().error.message(), "local variable referenced before assignment");

    code->instructions = {{PyOpcode::LoadConst, 0, 0, 0}};
    Program off;
    off.globals = bind_locals(off.in, off.machine.meter, std::nullopt, nullptr, {}, {}).value();
    off.enter(code, std::nullopt);
    failed = off.run();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().error.message(), "instruction pointer left the code object");
    EXPECT_EQ(off.instructions(), 2u);
}

}  // namespace
}  // namespace tw::py
