// The byte tools (base64, base32, the hex dump, strings) and the archive commands (gzip, gunzip,
// zcat, tar): round trips inside the machine, streams and archives made by host tools, messages,
// statuses, limits and budgets.
#include <string>

#include <fmt/format.h>

#include "case_fixture.h"

namespace tw::command_test {
namespace {

using namespace std::string_literals;

TEST(Base64, EncodeDecodeAndRefusals) {
    expect_cases({
        {"printf abc | base64", "YWJj\n"},
        {"printf ab | base64", "YWI=\n"},
        {"printf '' | base64", "\n"},
        {"head -c 100 /dev/zero | base64 | wc -c", "137\n"},
        {"printf 'YWJj\\n' | base64 -d", "abc"},
        {"printf 'YW Jj\\n' | base64 --decode", "abc"},
        {"printf YWI | base64 -d", "", 1},
        {"printf YWJ= | base64 -d", "", 1},   // nonzero bits beyond the data
        {"printf 'YQ==YQ==' | base64 -d", "", 1},
        {"printf abc | base64 -w0", "", 2, "base64: unimplemented option\n"},
        {"base64 missing", "", 1, "base64: missing: No such file or directory: missing\n"},
        {"head -c 1000 /dev/urandom > r; base64 r | base64 -d > o; cmp o r && echo same", "same\n"},
    });
}

TEST(Base32, WritesAndReadsRfc4648) {
    expect_cases({
        {"printf abc | base32", "MFRGG===\n"},
        {"printf foobar | base32", "MZXW6YTBOI======\n"},
        {"printf f | base32", "MY======\n"},
        {"printf 'MZXW6YTBOI======\\n' | base32 -d", "foobar"},
        {"printf MZXW6 | base32 -d", "", 1},
        {"printf 'MZXW6Y==' | base32 -d", "", 1},  // padding that no byte count leaves
        {"head -c 333 /dev/urandom > r; base32 r | base32 -d > o; cmp o r && echo same", "same\n"},
        {"base32 -x", "", 2, "base32: unimplemented option\n"},
        {"base32 missing", "", 1, "base32: missing: No such file or directory: missing\n"},
    });
}

TEST(HexDumpAndStrings, OutputsAndRefusedOptions) {
    expect_cases({
        {"printf '\\000\\377' | hexdump", "00ff\n"},
        {"printf 'ab' | xxd; printf '' | od", "6162\n\n"},
        {"printf hi > f; xxd f - < f", "68696869\n"},
        {"echo 6869 | xxd -r", "", 2, "xxd: unimplemented option '-r'\n"},
        {"hexdump -C f", "", 2, "hexdump: unimplemented option '-C'\n"},
        {"od --format=x1", "", 2, "od: unimplemented option '--format'\n"},
        {"xxd missing", "", 1, "hexdump: missing: No such file or directory: missing\n"},
        {"printf 'abc\\000defg\\nhijkl' | strings", "defg\nhijkl\n"},
        {"printf 'ab\\tcdef\\200ghij' | strings", "cdef\nghij\n"},
        {"strings missing", "", 1, "strings: missing: No such file or directory: missing\n"},
    });
}

// Two members written by the host's gzip -c (the second at -9), holding "hello\n" and "world\n".
const std::string kHostGzip =
    "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xcb\x48\xcd\xc9\xc9\xe7\x02\x00\x20\x30\x3a\x36\x06\x00\x00\x00"
    "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\x2b\xcf\x2f\xca\x49\xe1\x02\x00\xa8\x61\x38\xdd\x06\x00\x00\x00"s;

TEST(Gzip, RoundTripsAndHostStreams) {
    const std::string one = kHostGzip.substr(0, 26);
    expect_cases({
        {"echo hi | gzip | gunzip", "hi\n"},
        {"gunzip", "hello\nworld\n", 0, "", kHostGzip},
        {"zcat -", "hello\n", 0, "", one},
        {"head -c 300000 /dev/urandom > r; gzip -9 -c r | gzip -dc > o; cmp o r && echo same", "same\n"},
        // Header bytes: extra flags by level, unknown system, zero time; the empty member.
        {"printf '' | gzip | xxd", "1f8b08000000000000ff03000000000000000000\n"},
        {"printf '' | gzip -9 | head -c 10 | xxd; printf '' | gzip -1 | head -c 10 | xxd",
         "1f8b08000000000002ff\n1f8b08000000000004ff\n"},
        {"echo a > a; echo b > b; gzip a b; ls; cat a.gz b.gz | zcat", "a.gz\nb.gz\na\nb\n"},
    });
}

TEST(Gzip, FilesAndMessages) {
    expect_cases({
        {"echo x > a.txt; chmod 600 a.txt; gzip a.txt; ls; stat -c %a a.txt.gz; gunzip a.txt.gz; cat a.txt",
         "a.txt.gz\n644\nx\n"},
        {"echo x > a; gzip -k a; gzip -k a; echo $?; ls; gzip -kf a && echo ok", "1\na\na.gz\nok\n", 0,
         "gzip: a.gz already exists\n"},
        {"echo x | gzip > x.tgz; gunzip x.tgz; cat x.tar", "x\n"},
        {"touch x.zip; gunzip x.zip", "", 1, "gzip: x.zip: unknown suffix\n"},
        {"touch x.gz; gzip x.gz", "", 1, "gzip: x.gz already has .gz suffix\n"},
        {"gzip -0 a", "", 1, "gzip: unsupported option -0\n"},
        {"gzip --best a", "", 1, "gzip: unsupported option --best\n"},
        {"mkdir d; echo a > a; gzip d a; echo $?; ls", "1\na.gz\nd\n", 0, "gzip: d: not a regular file\n"},
        {"gzip nope", "", 1, "gzip: nope: No such file or directory: nope\n"},
        {"echo x > f.gz; zcat f.gz; echo $?; ls", "1\nf.gz\n", 0, "gzip: invalid gzip header\n"},
    });
}

TEST(Gzip, CodecErrorsAndCap) {
    const std::string good = kHostGzip.substr(0, 26);
    std::string bad_crc = good;
    bad_crc[20] ^= 1;
    std::string bad_data = good;
    bad_data[10] = '\xff';
    expect_cases({
        {"gunzip", "", 1, "gzip: invalid gzip header\n", "plain text"},
        {"gunzip", "", 1, "gzip: invalid gzip header\n", good + "\0\0"s},
        {"gunzip", "", 1, "gzip: incomplete deflate stream\n", good.substr(0, 14)},
        {"gunzip", "", 1, "gzip: corrupt gzip stream does not have a matching checksum\n", bad_crc},
        {"gunzip", "", 1, "gzip: corrupt deflate stream\n", bad_data},
        {"gunzip", "", 1, "gzip: gzip header field too long\n",
         "\x1f\x8b\x08\x08\0\0\0\0\0\x03"s + std::string(2000, 'n') + "\0"s + good.substr(10)},
        {"head -c 16777216 /dev/zero | gzip | gunzip | wc -c", "16777216\n"},
        {"head -c 16777217 /dev/zero | gzip | gunzip | wc -c", "0\n", 0,
         "gzip: decompressed output exceeds the 16 MiB limit\n"},
    });
}

}  // namespace
}  // namespace tw::command_test
