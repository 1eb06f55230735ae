#include <fmt/format.h>
#include <gtest/gtest.h>

#include "commands/text/checksum.h"
#include "case_fixture.h"

namespace tw {
namespace {

using command_test::expect_cases;
using command_test::fresh_machine;
using command_test::run;
using command_test::run_in;

constexpr const char* kMd5Abc = "900150983cd24fb0d6963f7d28e17f72";

TEST(ChecksumDigestText, KnownDigests) {
    EXPECT_EQ(checksum_digest_text("md5", "abc"), kMd5Abc);
    EXPECT_EQ(checksum_digest_text("sha1", "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(checksum_digest_text("sha256", "abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(checksum_digest_text("sha512", "abc"),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d44"
              "23643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(checksum_digest_text("sha256", ""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    // The POSIX cksum CRC, as GNU cksum prints it.
    EXPECT_EQ(checksum_digest_text("crc32", "hello"), "3287646509 5");
    EXPECT_EQ(checksum_digest_text("crc32", "hello\n"), "3015617425 6");
    EXPECT_EQ(checksum_digest_text("crc32", ""), "4294967295 0");
    EXPECT_EQ(checksum_digest_text("sha3", "abc"), "");
}

TEST(ChecksumCommand, DigestsOfStdinAndOperands) {
    auto r = run("printf 'b\\na\\n' | sha256sum");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "aea8a04c2f293417e499bf5de2def8ebb1ed40264d128a67180ea56fbe4600ff  -\n");

    Machine m = fresh_machine();
    run_in(m, "printf abc > a; printf hello > h");
    r = run_in(m, "md5sum a missing a");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, fmt::format("{0}  a\n{0}  a\n", kMd5Abc));
    EXPECT_EQ(r.err, "md5sum: missing: No such file or directory: missing\n");

    r = run_in(m, "cksum h; cksum < h");
    EXPECT_EQ(r.out, "3287646509 5 h\n3287646509 5\n");
    // "-" names a file in digest mode.
    r = run_in(m, "echo x | md5sum -");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "md5sum: -: No such file or directory: -\n");
}

TEST(ChecksumCommand, StandardInputArrivingInPieces) {
    // 13890 bytes through a pipe: several reads before the digest is taken.
    auto r = run("i=0; while [ $i -lt 3000 ]; do echo $i; i=$((i+1)); done | sha256sum");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "b88f23c76864a47af84ae2846870bec0bcb3196f7bc4380b8aaaacad60055279  -\n");
}

// Hashed as it arrives, chunk by chunk, standard input gives the digest of the whole input.
TEST(ChecksumCommand, EveryAlgorithmOverInputInPieces) {
    std::string bytes;
    for (int i = 0; i < 20011; ++i) bytes += static_cast<char>((i * 7919) % 251);
    Machine m = fresh_machine();
    command_test::put_file(m, "/tmp/in", bytes);
    for (const char* algorithm : {"md5", "sha1", "sha256", "sha512", "crc32"}) {
        const std::string name = std::string(algorithm) == "crc32" ? "cksum" : fmt::format("{}sum", algorithm);
        auto r = run_in(m, fmt::format("cat /tmp/in | {}", name));
        EXPECT_EQ(r.status, 0) << name;
        const std::string digest = checksum_digest_text(algorithm, bytes);
        EXPECT_EQ(r.out, name == "cksum" ? digest + "\n" : digest + "  -\n");
        r = run_in(m, fmt::format("{} < /tmp/in", name));
        EXPECT_EQ(r.out, name == "cksum" ? digest + "\n" : digest + "  -\n");
    }
}

TEST(ChecksumCommand, OptionErrorsNameTheAlgorithm) {
    expect_cases({
        {"md5sum -x f", "", 2, "md5sum: unimplemented option\n"},
        {"cksum -x f", "", 2, "cksum: unimplemented option\n"},
        {"sha256sum --quiet -c f", "", 2, "sha256sum: unimplemented option\n"},
        {"sha1sum --tag f", "", 2, "sha1sum: unimplemented option\n"},
    });
    // b and t and their long forms change nothing.
    auto r = run("printf abc | md5sum -b -t --binary --text");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fmt::format("{}  -\n", kMd5Abc));
}

TEST(ChecksumCommand, CheckModeReportsEveryLine) {
    Machine m = fresh_machine();
    run_in(m, "printf abc > a; printf hello > h");
    struct Case {
        const char* source;
        int status;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        // Each digest command verifies its own list, with -c and with --check.
        {"md5sum a h > l; md5sum -c l", 0, "a: OK\nh: OK\n", ""},
        {"sha1sum a > l; sha1sum --check l", 0, "a: OK\n", ""},
        {"sha256sum h > l; sha256sum -c < l", 0, "h: OK\n", ""},
        {"sha512sum a > l; sha512sum -c - < l", 0, "a: OK\n", ""},
        {"cksum a h > l; cksum -c l", 0, "a: OK\nh: OK\n", ""},
        {"cksum a > l; cksum --check l", 0, "a: OK\n", ""},
        // A changed file, a list from another algorithm, upper-case digits.
        {"printf abd > a2; printf '900150983cd24fb0d6963f7d28e17f72  a2\\n' > l; md5sum -c l", 1, "a2: FAILED\n", ""},
        {"sha1sum a > l; md5sum -c l", 1, "a: FAILED\n", ""},
        {"printf '900150983CD24FB0D6963F7D28E17F72  a\\n' > l; md5sum -c l", 1, "a: FAILED\n", ""},
        // Binary-mode marker, CRLF list, file names with spaces.
        {"printf '900150983cd24fb0d6963f7d28e17f72 *a\\r\\n' > l; md5sum -c l", 0, "a: OK\n", ""},
        {"printf abc > 'my a'; md5sum 'my a' > l; md5sum -c l", 0, "my a: OK\n", ""},
        // Malformed lines and missing files go on to the next line.
        {"printf 'nodigest\\n\\n900150983cd24fb0d6963f7d28e17f72  \\n900150983cd24fb0d6963f7d28e17f72  a\\n' > l; "
         "md5sum -c l",
         1, "a: OK\n", "md5sum: malformed checksum line\nmd5sum: malformed checksum line\nmd5sum: malformed checksum line\n"},
        {"printf '907060870 5\\n' > l; cksum -c l", 1, "", "cksum: l: no properly formatted checksum lines found\n"},
        {"printf '0 0  gone\\n' > l; cksum -c l", 1, "", "cksum: gone: No such file or directory: gone\n"},
        {"md5sum -c nolist a", 1, "",
         "md5sum: nolist: No such file or directory: nolist\nmd5sum: a: no properly formatted checksum lines found\n"},
        // A list without one valid line fails, also when it is empty or standard input.
        {": > e; sha1sum -c e", 1, "", "sha1sum: e: no properly formatted checksum lines found\n"},
        {"echo junk | md5sum -c", 1, "", "md5sum: 'standard input': no properly formatted checksum lines found\n"},
    };
    for (const Case& c : cases) {
        auto r = run_in(m, c.source);
        EXPECT_EQ(r.status, c.status) << c.source;
        EXPECT_EQ(r.out, c.out) << c.source;
        EXPECT_EQ(r.err, c.err) << c.source;
    }
}

TEST(ChecksumCommand, RefusedCpuChargeEndsWithExhaustedStatus) {
    MachineLimits limits = command_test::kRoomyLimits;
    limits.cpu = 5'000'000;
    Machine m = fresh_machine(limits);
    auto made = run_in(m, "printf '%03000000d' 0 > big");
    ASSERT_EQ(made.status, 0) << made.err;
    // Reading the file is affordable; digesting its three million bytes is not.
    auto counted = run_in(m, "wc -c big");
    ASSERT_EQ(counted.out, "3000000 big\n");
    auto r = run_in(m, "sha256sum big");
    EXPECT_EQ(r.status, 137);
    EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace tw
