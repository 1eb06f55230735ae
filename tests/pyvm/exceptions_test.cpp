#include <gtest/gtest.h>

#include "kernel/meter.h"
#include "kernel/scheduler.h"
#include "python/heap/heap.h"
#include "python/vm/exceptions.h"
#include "python/vm/exec_state.h"

namespace tw::py {
namespace {

struct Exceptions : ::testing::Test {
    Interpreter in;
    ResourceMeter meter{MachineLimits{1'000'000, 8 << 20, 0, 0}};

    Value str(std::string s) { return new_str(in.heap, std::move(s), &in, meter).value(); }
    Value exc(std::string_view cls, std::vector<Value> args) { return new_exception(in, meter, cls, std::move(args)).value(); }
    std::string text(Value v) { return exception_str(in, v).value(); }
};

TEST_F(Exceptions, Texts) {
    struct Case {
        const char* cls;
        std::vector<Value> args;
        const char* text;
    } cases[] = {
        {"ValueError", {}, ""},
        {"ValueError", {Value::try_inline_str("x")}, "x"},
        {"ValueError", {Value::from_int(1), Value::from_int(2)}, "(1, 2)"},
        {"ValueError", {Value::from_float(1.0), Value::from_bool(true), Value::none()}, "(1.0, True, None)"},
        {"ValueError", {Value::try_inline_str("a"), Value::try_inline_str("b")}, "('a', 'b')"},
        {"KeyError", {Value::try_inline_str("k")}, "'k'"},
        {"KeyError", {Value::try_inline_str("k"), Value::from_int(1)}, "('k', 1)"},
        {"OSError", {Value::from_int(2), Value::try_inline_str("msg"), Value::none()}, "[Errno 2] msg"},
        {"OSError",
         {Value::from_int(2), Value::try_inline_str("msg"), Value::try_inline_str("f"), Value::none(),
          Value::try_inline_str("g")},
         "[Errno 2] msg: 'f' -> 'g'"},
        {"OSError",
         {Value::from_int(2), Value::try_inline_str("m"), Value::none(), Value::none(), Value::try_inline_str("g")},
         "[Errno 2] m"},
        {"OSError",
         {Value::from_int(2), Value::try_inline_str("m"), Value::none(), Value::none(), Value::none(), Value::none()},
         "(2, 'm', None, None, None, None)"},
    };
    for (Case& c : cases) EXPECT_EQ(text(exc(c.cls, c.args)), c.text) << c.text;
}

TEST_F(Exceptions, OsErrorsBecomeTheirErrnoClass) {
    auto passed = error_to_pending_exception(in, meter, PyError::os_error(2, "No such file or directory", "/x"));
    EXPECT_FALSE(passed.has_value());
    Value e = propagate_pending_exception(in, meter, PyError::raised()).value();
    EXPECT_FALSE(in.state.pending_exception.has_value());
    EXPECT_EQ(exception_type_name(in, e).value(), "FileNotFoundError");
    EXPECT_EQ(text(e), "[Errno 2] No such file or directory: '/x'");
    EXPECT_TRUE(value_is_exception_type(in, e, "OSError").value());
    EXPECT_FALSE(value_is_exception_type(in, e, "ValueError").value());
    ASSERT_FALSE(error_to_pending_exception(in, meter, PyError::os_error(2, "No such file or directory")));
    EXPECT_EQ(text(*in.state.pending_exception), "[Errno 2] No such file or directory");

    EXPECT_EQ(errno_exception_class(13), "PermissionError");
    EXPECT_EQ(errno_exception_class(1), "PermissionError");
    EXPECT_EQ(errno_exception_class(108), "BrokenPipeError");
    EXPECT_EQ(errno_exception_class(5), "OSError");
}

TEST_F(Exceptions, OnlyExceptionsBecomePending) {
    in.state.pending_exception.reset();
    for (PyError& e : [] {
             std::vector<PyError> v;
             v.push_back(PyError::exit(3));
             v.push_back(PyError::suspended(WaitReason::timer(5)));
             v.push_back(PyError::unsupported("x"));
             return v;
         }()) {
        auto kind = e.kind();
        auto passed = error_to_pending_exception(in, meter, std::move(e));
        ASSERT_TRUE(passed.has_value());
        EXPECT_EQ(passed->kind(), kind);
        EXPECT_FALSE(in.state.pending_exception.has_value());
    }
    EXPECT_EQ(PyError::exit(3).message(), "Python callable requested exit");
    EXPECT_EQ(PyError::exit(3).detail()->code, 3);
    auto missing = propagate_pending_exception(in, meter, PyError::raised());
    EXPECT_EQ(missing.error().message(), "exception unwound without a pending exception");
    EXPECT_EQ(new_exception(in, meter, "NoSuchError", {}).error().message(), "exception type NoSuchError is not registered");
    ASSERT_TRUE(set_pending_exception_by_name(in, meter, "AxisError", {}));
    EXPECT_TRUE(pending_exception_is_instance(in, "IndexError"));
    EXPECT_TRUE(pending_exception_is_instance(in, "ValueError"));
    EXPECT_FALSE(pending_exception_is_instance(in, "KeyError"));
}

TEST_F(Exceptions, NameMatching) {
    EXPECT_TRUE(exception_name_is_subclass("MyError", "Exception"));
    EXPECT_TRUE(exception_name_is_subclass("MyError", "BaseException"));
    EXPECT_FALSE(exception_name_is_subclass("MyError", "ValueError"));
    EXPECT_TRUE(exception_name_is_subclass("AxisError", "IndexError"));
    EXPECT_TRUE(exception_name_is_subclass("FileNotFoundError", "OSError"));
    EXPECT_FALSE(exception_name_is_subclass("KeyboardInterrupt", "Exception"));
}

TEST_F(Exceptions, SelfReferenceIsARecursionError) {
    Value a = exc("ValueError", {Value::none()});
    Value b = exc("ValueError", {a});
    std::get<ExceptionPayload>(in.heap.slot_mut(a).value()->object).args[0] = b;
    auto r = exception_str(in, a);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().detail()->class_name, "RecursionError");
    EXPECT_EQ(r.error().message(), "maximum recursion depth exceeded while getting the str of an object");
}

}  // namespace
}  // namespace tw::py
