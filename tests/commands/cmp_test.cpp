// cmp: byte equality with its statuses and messages.
#include "run_fixture.h"

namespace tw::command_test {
namespace {

TEST(Cmp, StatusesAndMessages) {
    Machine m = fresh_machine();
    ASSERT_TRUE(m.vfs.write_file("/tmp/a", "x\n", 0644).has_value());
    ASSERT_TRUE(m.vfs.write_file("/tmp/b", "x\r\n", 0644).has_value());
    ASSERT_TRUE(m.vfs.write_file("/tmp/c", "x\n", 0644).has_value());
    struct Case {
        const char* source;
        int status;
        const char* err;
    };
    const Case cases[] = {
        {"cmp a c", 0, ""},
        {"cmp -s a b", 1, "a b differ\n"},
        {"cmp a", 2, ""},
        {"cmp nope a", 2, "cmp: nope: No such file or directory: nope\n"},
        {"cmp a c extra", 0, ""},
    };
    for (const Case& c : cases) {
        Ran r = run_in(m, c.source);
        EXPECT_EQ(r.status, c.status) << c.source;
        EXPECT_EQ(r.err, c.err) << c.source;
        EXPECT_EQ(r.out, "") << c.source;
    }
}

}  // namespace
}  // namespace tw::command_test
