// cmp: byte equality with its statuses and messages.
#include "case_fixture.h"

namespace tw::command_test {
namespace {

TEST(Cmp, StatusesAndMessages) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/a", "x\n");
    put_file(m, "/tmp/b", "x\r\n");
    put_file(m, "/tmp/c", "x\n");
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
