#include <gtest/gtest.h>

#include "kernel/meter.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/vm/exceptions.h"
#include "python/vm/exec_state.h"
#include "python/vm/raise.h"

namespace tw::py {
namespace {

struct Raise : ::testing::Test {
    Interpreter in;
    ResourceMeter meter{MachineLimits{1'000'000, 8 << 20, 0, 0}};
    Value cls(std::string_view name) { return intern_static_definition(StaticDefinition::of_exception(name)); }
    std::string pending_name() { return exception_type_name(in, *in.state.pending_exception).value_or("-"); }
};

TEST_F(Raise, OperandsAndBareRaise) {
    in.state.values.push_back(cls("ValueError"));
    EXPECT_TRUE(raise_exception(in, meter, true, nullptr).is_raised_marker());
    EXPECT_EQ(pending_name(), "ValueError");
    EXPECT_TRUE(in.state.values.empty());

    Value instance = new_exception(in, meter, "KeyError", {Value::try_inline_str("k")}).value();
    in.state.values.push_back(instance);
    EXPECT_TRUE(raise_exception(in, meter, true, nullptr).is_raised_marker());
    EXPECT_EQ(*in.state.pending_exception, instance);

    in.state.values.push_back(Value::from_int(5));
    EXPECT_EQ(raise_exception(in, meter, true, nullptr).message(), "exceptions must derive from BaseException");
    EXPECT_EQ(raise_exception(in, meter, true, nullptr).message(), "invalid bytecode stack effect");

    EXPECT_EQ(raise_exception(in, meter, false, nullptr).message(), "No active exception to reraise");
    in.state.active_exceptions.push_back(instance);
    EXPECT_TRUE(raise_exception(in, meter, false, nullptr).is_raised_marker());
    EXPECT_EQ(*in.state.pending_exception, instance);
}

TEST_F(Raise, Causes) {
    in.state.values = {cls("ValueError"), Value::from_int(5)};
    PyError bad = raise_exception_from(in, meter, nullptr);
    EXPECT_EQ(bad.message(), "exception causes must derive from BaseException");
    EXPECT_EQ(bad.detail()->class_name, "TypeError");
    in.state.values = {cls("ValueError"), Value::none()};
    EXPECT_TRUE(raise_exception_from(in, meter, nullptr).is_raised_marker());
    EXPECT_EQ(pending_name(), "ValueError");
    in.state.values = {cls("OSError"), cls("KeyError")};
    EXPECT_TRUE(raise_exception_from(in, meter, nullptr).is_raised_marker());
    EXPECT_EQ(pending_name(), "OSError");
}

}  // namespace
}  // namespace tw::py
