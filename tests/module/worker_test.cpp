// The call path without Python: the worker thread, fault texts and the poisonable lock.
#include <gtest/gtest.h>

#include <pthread.h>

#include <stdexcept>
#include <string>

#include "base/panic.h"
#include "module/worker.h"

namespace tw {
namespace {

TEST(Worker, RunsOnANamedThreadWithAnEightMebibyteStack) {
    std::string name;
    std::size_t stack = 0;
    pthread_t caller = pthread_self();
    bool other_thread = false;
    auto r = run_on_worker<int>([&]() -> Result<int, std::string> {
        char buffer[32] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name = buffer;
        pthread_attr_t attributes;
        pthread_getattr_np(pthread_self(), &attributes);
        pthread_attr_getstacksize(&attributes, &stack);
        pthread_attr_destroy(&attributes);
        other_thread = !pthread_equal(caller, pthread_self());
        return 42;
    });
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, 42);
    EXPECT_EQ(name, "tarnwick-python");
    EXPECT_EQ(stack, kWorkerStackBytes);
    EXPECT_TRUE(other_thread);
}

TEST(Worker, ErrorValuesPassThrough) {
    auto r = run_on_worker<int>([]() -> Result<int, std::string> { return std::unexpected(std::string("no")); });
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "no");
}

TEST(Worker, FaultsBecomeText) {
    struct Case {
        std::function<void()> body;
        std::string text;
    };
    const Case cases[] = {
        {[] { panic("broken invariant"); }, "tarnwick operation panicked: broken invariant"},
        {[] { expect(false, "checked"); }, "tarnwick operation panicked: checked"},
        {[] { unreachable("state"); }, "tarnwick operation panicked: internal error: entered unreachable code: state"},
        {[] { throw std::runtime_error("escaped"); }, "tarnwick operation panicked: escaped"},
        {[] { throw 7; }, "tarnwick operation panicked"},
    };
    for (const Case& c : cases) {
        auto r = run_on_worker<void>([&]() -> Result<void, std::string> {
            c.body();
            return {};
        });
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), c.text);
    }
}

TEST(PoisonableMutex, AFailureWhileHeldPoisonsForGood) {
    PoisonableMutex mutex;
    auto ok = run_locked_on_worker<int>(mutex, "poisoned", []() -> Result<int, std::string> { return 1; });
    EXPECT_EQ(ok, 1);
    // A fault inside the worker is an error value; the lock stays usable.
    auto fault = run_locked_on_worker<int>(mutex, "poisoned", []() -> Result<int, std::string> { panic("x"); });
    EXPECT_EQ(fault.error(), "tarnwick operation panicked: x");
    EXPECT_FALSE(mutex.poisoned());

    // An exception unwinding through the holder on the calling thread poisons it.
    try {
        auto guard = mutex.lock();
        ASSERT_TRUE(guard.has_value());
        throw std::runtime_error("holder failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(mutex.poisoned());
    EXPECT_FALSE(mutex.lock().has_value());
    auto refused = run_locked_on_worker<int>(mutex, "tarnwick environment lock is poisoned",
                                             []() -> Result<int, std::string> { return 1; });
    EXPECT_EQ(refused.error(), "tarnwick environment lock is poisoned");
}

}  // namespace
}  // namespace tw
