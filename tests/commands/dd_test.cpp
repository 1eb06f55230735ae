// dd: operand parsing, the copy range, writing at an offset, and the report.
#include <string>

#include "commands/files/dd_operands.h"
#include "case_fixture.h"

namespace tw::command_test {
namespace {

TEST(DdOperands, SizesAndNumbers) {
    const std::pair<const char*, std::uint64_t> sizes[] = {
        {"512", 512}, {"1k", 1024}, {"1K", 1024}, {"2b", 1024}, {"10c", 10}, {"1M", 1 << 20}, {"1G", 1 << 30}, {"+4", 4},
    };
    for (const auto& [text, value] : sizes) EXPECT_EQ(dd_parse_size(text), value) << text;
    const std::pair<const char*, const char*> refused[] = {
        {"1m", "invalid number \"1m\""},
        {"1g", "invalid number \"1g\""},
        {"k", "invalid number \"\""},
        {"0", "block size must be greater than zero"},
        {"0k", "block size must be greater than zero"},
        {"17179869184G", "invalid number \"17179869184G\""},
        {"1 ", "invalid number \"1 \""},
    };
    for (const auto& [text, message] : refused) EXPECT_EQ(dd_parse_size(text).error(), message) << text;
    EXPECT_EQ(dd_parse_number("0"), 0u);
    EXPECT_EQ(dd_parse_number("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(dd_parse_number("18446744073709551616").error(), "invalid number \"18446744073709551616\"");
    EXPECT_EQ(dd_parse_number("-1").error(), "invalid number \"-1\"");
    EXPECT_EQ(dd_quote("a\"b\\c\n"), "\"a\\\"b\\\\c\\n\"");
}

TEST(Dd, CopiesAndReports) {
    Ran r = run("printf hello | dd bs=2");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "hello");
    EXPECT_EQ(r.err, "2+1 records in\n2+1 records out\n5 bytes copied\n");

    struct Case {
        const char* source;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {"printf 0123456789 | dd bs=3 skip=1 count=2", "345678", "2+0 records in\n2+0 records out\n6 bytes copied\n"},
        {"printf 0123456789 | dd ibs=4 obs=3 skip=1", "456789", "1+1 records in\n2+0 records out\n6 bytes copied\n"},
        {"printf abc | dd bs=1 skip=10", "", "0+0 records in\n0+0 records out\n0 bytes copied\n"},
        {"printf abc | dd status=none", "abc", ""},
        {"printf abc | dd status=noxfer", "abc", "0+1 records in\n0+1 records out\n"},
        {"printf abc | dd of=/dev/null", "", "0+1 records in\n0+1 records out\n3 bytes copied\n"},
    };
    for (const Case& c : cases) {
        Ran ran = run(c.source);
        EXPECT_EQ(ran.status, 0) << c.source;
        EXPECT_EQ(ran.out, c.out) << c.source;
        EXPECT_EQ(ran.err, c.err) << c.source;
    }
}

TEST(Dd, Refusals) {
    const std::pair<const char*, const char*> cases[] = {
        {"dd conv=sync", "dd: unsupported conversion \"sync\"\n"},
        {"dd conv=notrunc,sync", "dd: unsupported conversion \"notrunc,sync\"\n"},
        {"dd status=progress", "dd: unsupported status \"progress\"\n"},
        {"dd --help", "dd: unsupported option \"--help\"\n"},
        {"dd bogus", "dd: unrecognized operand \"bogus\"\n"},
        {"dd iflag=x", "dd: unrecognized operand \"iflag=x\"\n"},
        {"dd bs=0", "dd: block size must be greater than zero\n"},
        {"dd bs=1x", "dd: invalid number \"1x\"\n"},
        {"dd count=-1", "dd: invalid number \"-1\"\n"},
        {"dd seek=1 < /dev/null", "dd: seek requires an output file\n"},
        {"dd if=/dev/zero", "dd: reading /dev/zero requires count= to keep the operation bounded\n"},
        {"dd if=nope", "dd: failed to open nope: No such file or directory: nope\n"},
        {"dd if=/dev/zero count=1 of=/tmp", "dd: failed to open /tmp: Is a directory\n"},
        {"dd if=/dev/zero count=1 skip=36028797018963968", "dd: input offset is too large\n"},
        {"dd if=/dev/zero count=36028797018963968", "dd: input size is too large\n"},
        {"dd if=/dev/zero count=1 of=f seek=36028797018963968", "dd: output offset is too large\n"},
    };
    for (const auto& [source, err] : cases) {
        Ran r = run(source);
        EXPECT_EQ(r.status, 1) << source;
        EXPECT_EQ(r.err, err) << source;
        EXPECT_EQ(r.out, "") << source;
    }
}

TEST(Dd, WritesAtOffsets) {
    Machine m = fresh_machine();
    Ran zero = run_in(m, "dd if=/dev/zero bs=1k count=2 of=z status=none");
    EXPECT_EQ(zero.status, 0) << zero.err;
    EXPECT_EQ(file_contents(m, "/tmp/z"), std::string(2048, '\0'));
    EXPECT_EQ(m.vfs.node("/tmp/z")->mode & 0777, 0666u);

    // Without conv=notrunc the bytes before the offset stay and the file ends after the copy.
    put_file(m, "/tmp/f", "12345678", 0600);
    EXPECT_EQ(run_in(m, "printf XY | dd of=f bs=4 seek=1 status=none").status, 0);
    EXPECT_EQ(file_contents(m, "/tmp/f"), "1234XY");
    EXPECT_EQ(m.vfs.node("/tmp/f")->mode & 0777, 0600u);
    put_file(m, "/tmp/f", "12345678", 0600);
    EXPECT_EQ(run_in(m, "printf XY | dd of=f bs=4 seek=1 conv=notrunc status=none").status, 0);
    EXPECT_EQ(file_contents(m, "/tmp/f"), "1234XY78");
    // Beyond the end the gap is zero-filled; a new file starts with zeros before the offset.
    EXPECT_EQ(run_in(m, "printf Q | dd of=f bs=2 seek=5 conv=notrunc status=none").status, 0);
    EXPECT_EQ(file_contents(m, "/tmp/f"), std::string("1234XY78\0\0Q", 11));
    EXPECT_EQ(run_in(m, "printf Q | dd of=g bs=2 seek=1 status=none").status, 0);
    EXPECT_EQ(file_contents(m, "/tmp/g"), std::string("\0\0Q", 3));
    // Reading a file with skip and count.
    EXPECT_EQ(run_in(m, "dd if=f bs=2 skip=1 count=2 status=none").out, "34XY");
}

TEST(Dd, MemoryIsReleased) {
    Machine m = fresh_machine();
    const std::uint64_t before = m.meter.memory_current();
    EXPECT_EQ(run_in(m, "dd if=/dev/zero bs=1M count=4 of=big status=none").status, 0);
    EXPECT_EQ(m.meter.memory_current(), before);
    Machine small = fresh_machine({.cpu = 1'000'000'000, .memory = 1 << 20, .disk = 1 << 26, .output = 1 << 20});
    Ran refused = run_in(small, "dd if=/dev/zero bs=1M count=4 of=big");
    // The refusal stops the machine's meter, so the run ends with 137 after dd's message.
    EXPECT_EQ(refused.status, 137);
    EXPECT_EQ(refused.err, "dd: memory limit exceeded\n");
}

}  // namespace
}  // namespace tw::command_test
