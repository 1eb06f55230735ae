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


// GNU tar --format=ustar (gzipped) of a tree d holding f ("hi\n"), sub/g (binary, mode 755) and a
// 131-byte path that only fits through the prefix field.
const std::string kHostTgz =
    "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xed\xd7\xdd\x0e\x82\x20\x18\x06\x60\x8e\xbb\x0a\xef\x00\x41\xd0\x9b\xe8"
    "\x26\x72\x58\x79\xa2\xcd\x9f\xad\xbb\x2f\xac\xa3\x68\x83\x9c\x40\xb1\xde\xe7\x04\x37\xdd\x3e\xe1\xf5\x1b\xa8\x28"
    "\x09\x2e\xd7\x2a\x29\x1f\xa3\x66\x8e\xef\xd7\x8c\x71\x91\x93\x4c\x86\x7f\x35\x42\xe6\x71\x3a\x0c\xba\xfc\xd0\xf7"
    "\x93\xed\x39\xd7\x7d\x73\x72\x89\x50\x74\xbf\xc1\x67\x1f\xcf\xea\xfc\x39\xe7\x45\x85\xfc\x63\xe8\xbc\xb0\xd7\x58"
    "\xd6\xa3\x14\xc2\x92\xbf\x7c\xcd\x5f\x30\x9e\x33\x92\x45\x59\xc4\x50\xf9\x6f\x6b\x2c\xbf\x73\xb4\x50\x4d\x73\xd9"
    "\x45\xab\x06\xbf\x46\xd1\x63\xf0\x1a\xee\xfe\x2f\xcc\xfd\x5f\x24\xdf\xff\x89\x38\xb7\xe8\xfe\x7f\xa6\xe8\x38\xd7"
    "\x81\xff\x01\x56\x9f\xff\xf4\xf6\x5f\x30\x9c\xff\x62\x78\xe6\x7f\x0a\x5a\xc3\x9d\x7f\x69\xe6\x9f\xfe\xf9\x2f\x11"
    "\x75\xdb\x91\xdb\xf5\xdb\x6f\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x3e\xdd\x01\x81\x40\x2f\xed\x00\x28"
    "\x00\x00"s;
// Python's tarfile in ustar format (gzipped): p/q.txt holding "python\n".
const std::string kPythonTgz =
    "\x1f\x8b\x08\x00\x5a\xc0\x1b\x6b\x02\xff\xed\xcd\x3d\x0e\x82\x40\x18\x04\xd0\xaf\xe6\x14\x9c\x40\x36\x84\xc8\x79"
    "\xe8\xa8\xe4\xc7\x35\xd1\xdb\xb3\x58\x19\x7b\x4c\x88\xef\x35\x33\x99\x66\xe6\x66\xb9\xe4\x67\x8e\x23\xa5\xe2\xda"
    "\x75\xef\x2c\xbe\xb3\xe8\x3f\xfa\xbe\xf7\x6d\x6a\xa3\x4e\xf1\x03\x8f\x7b\x1e\xd6\x72\x19\xff\x69\x7e\xe5\x71\xba"
    "\x55\x01\x00\x00\x00\x00\x00\x00\x00\x00\xc0\xb9\x6c\x69\xcd\x3a\x4b\x00\x28\x00\x00"s;

TEST(Tar, CreateListExtract) {
    expect_cases({
        {"mkdir -p d && echo hi > d/f && tar czf a.tgz d && rm -r d && tar xzf a.tgz && cat d/f", "hi\n"},
        {"mkdir -p d/b; touch d/a d/b/c; tar cvf a.tar d; tar tvf a.tar", "d\nd/a\nd/b\nd/b/c\nd\nd/a\nd/b\nd/b/c\n"},
        {"mkdir -p d out; echo x > d/f; chmod 700 d/f; tar -cf - d | tar -x -C out; cat out/d/f; stat -c %a out/d/f",
         "x\n700\n"},
        {"mkdir -p s/t; echo y > s/t/u; tar -C s -czf a.tgz t; mkdir o; tar -xzf a.tgz -C o; cat o/t/u", "y\n"},
        {"cd /work; touch f; tar -cf /tmp/a.tar .; tar -tf /tmp/a.tar", ".\nf\n"},
        {"touch f; tar -cf a.tar f f; tar -tf a.tar", "f\n"},
        {"touch e; printf x > f; tar -cf - e | wc -c; tar -cf - f | wc -c", "1536\n2048\n"},
    });
}

TEST(Tar, UsageMessages) {
    expect_cases({
        {"tar -f a.tar", "", 2, "tar: one of -c, -t, or -x is required\n"},
        {"tar -ct", "", 2, "tar: only one of -c, -t, or -x may be used\n"},
        {"tar -fcv a.tar", "", 2, "tar: archive name must follow f as a separate argument\n"},
        {"tar -cf", "", 2, "tar: f requires an archive name\n"},
        {"tar -c -C", "", 2, "tar: -C requires an argument\n"},
        {"tar -cq", "", 2, "tar: unsupported option -q\n"},
        {"tar --file=a -c", "", 2, "tar: unsupported option --file=a\n"},
        {"tar out.tar cvf", "", 2, "tar: one of -c, -t, or -x is required\n"},
        {"tar -cf a.tar", "", 2, "tar: refusing to create an empty archive\n"},
        {"touch f; tar -cf a.tar f -v", "", 2, "tar: -v: No such file or directory: /tmp/-v\n"},
        {"touch f; tar -tf a.tar -C f", "", 2, "tar: /tmp/f: not a directory\n"},
        {"tar -tf nope.tar", "", 2, "tar: nope.tar: No such file or directory: nope.tar\n"},
        {"tar -cf a.tar /usr/bin/ls", "", 2, "tar: /usr/bin/ls: native executables cannot be archived\n"},
    });
}

TEST(Tar, HostArchivesExtractByteForByte) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/host.tgz", kHostTgz);
    put_file(m, "/tmp/py.tgz", kPythonTgz);
    Ran r = run_in(m, "tar -tzf host.tgz && tar -xzf host.tgz && tar -xzf py.tgz && stat -c %a d/sub/g");
    const std::string long_path = "d/" + std::string(60, 'L') + "/" + std::string(70, 'n');
    EXPECT_EQ(r.out, "d\nd/" + std::string(60, 'L') + "\n" + long_path + "\nd/f\nd/sub\nd/sub/g\n755\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(file_contents(m, "/tmp/d/f"), "hi\n");
    EXPECT_EQ(file_contents(m, "/tmp/d/sub/g"), "bin\0\xffx"s);
    EXPECT_EQ(file_contents(m, "/tmp/" + long_path), "deep\n");
    EXPECT_EQ(file_contents(m, "/tmp/p/q.txt"), "python\n");
}

TEST(Tar, LongNamesRoundTrip) {
    // 150 bytes go through the prefix field; 300 bytes through an extended header.
    const std::string mid = std::string(60, 'a') + "/" + std::string(89, 'b');
    const std::string deep = std::string(100, 'c') + "/" + std::string(100, 'd') + "/" + std::string(99, 'e');
    for (const std::string& p : {mid, deep}) {
        SCOPED_TRACE(p.size());
        Ran r = run(fmt::format("mkdir -p $(dirname {0}); echo v > {0}; tar -cf a.tar {0}; rm -r {1}; "
                                "tar -xvf a.tar; cat {0}", p, p.substr(0, p.find('/'))));
        EXPECT_EQ(r.out, fmt::format("{0}\nv\n", p));
        EXPECT_EQ(r.err, "");
    }
}

// A 512-byte ustar header for one member, with its checksum.
std::string tar_header(const std::string& name, char type, std::size_t size, const std::string& link = "") {
    std::string h(512, '\0');
    h.replace(0, name.size(), name);
    h.replace(100, 7, "0000644");
    h.replace(124, 11, fmt::format("{:011o}", size));
    h.replace(148, 8, "        ");
    h[156] = type;
    h.replace(157, link.size(), link);
    h.replace(257, 6, "ustar\0"s);
    unsigned sum = 0;
    for (unsigned char c : h) sum += c;
    h.replace(148, 7, fmt::format("{:06o}", sum) + "\0"s);
    return h;
}

std::string tar_member(const std::string& name, const std::string& content) {
    std::string m = tar_header(name, '0', content.size()) + content;
    m.append((512 - content.size() % 512) % 512, '\0');
    return m;
}

TEST(Tar, BadArchivesChangeNothing) {
    const std::string end(1024, '\0');
    const std::string good = tar_member("ok/a", "1\n");
    std::string bad_sum = tar_member("ok/b", "2\n");
    bad_sum[0] = 'X';
    const std::string pax_comment = "17 comment=hello\n";
    const std::string pax_path = "16 path=abc.txt\n";
    auto pad = [](std::string s) { return s.append((512 - s.size() % 512) % 512, '\0'); };
    struct Bad {
        std::string archive;
        std::string err;
    };
    const Bad bads[] = {
        {good + tar_member("../x", "x") + end, "tar: unsafe archive path: ../x\n"},
        {good + tar_member("a//b", "x") + end, "tar: unsafe archive path: a//b\n"},
        {good + tar_member("/etc/x", "x") + end, "tar: archive contains an invalid path\n"},
        {good + bad_sum + end, "tar: invalid header checksum\n"},
        {good, "tar: archive is truncated or lacks an end marker\n"},
        {good + tar_header("ok/h", '1', 0) + end, "tar: unsupported entry type for ok/h\n"},
        {good + tar_header("ok/l", '2', 0, "a") + end, "tar: extracting symbolic links is not supported\n"},
        {good + tar_header("g", 'g', pax_path.size()) + pad(pax_path) + end, "tar: unsupported PAX global key: path\n"},
        {good + tar_header("x", 'x', 6) + pad("6 a=b\n") + end, "tar: unsupported entry type for x\n"},
        {good + tar_member("ok/c", std::string(1000, 'c')).substr(0, 1024) , "tar: truncated archive entry\n"},
    };
    for (const Bad& b : bads) {
        Machine m = fresh_machine();
        put_file(m, "/tmp/bad.tar", b.archive);
        Ran r = run_in(m, "tar -xf bad.tar; echo $?; ls");
        EXPECT_EQ(r.out, "2\nbad.tar\n") << b.err;
        EXPECT_EQ(r.err, b.err);
    }
    // A global header holding only a comment is accepted and makes no entry; one zero block ends.
    Machine m = fresh_machine();
    put_file(m, "/tmp/ok.tar", tar_header("g", 'g', pax_comment.size()) + pad(pax_comment) + good + std::string(512, '\0'));
    EXPECT_EQ(run_in(m, "tar -xvf ok.tar && cat ok/a").out, "ok/a\n1\n");
}

TEST(Tar, ExtractionBeyondTheDiskBudgetChangesNothing) {
    MachineLimits limits = kRoomyLimits;
    limits.disk = 3 << 20;
    Machine m = fresh_machine(limits);
    put_file(m, "/tmp/big.tar",
             tar_member("x/small", "s") + tar_member("x/big", std::string(2 << 20, 'b')) + std::string(1024, '\0'));
    Ran r = run_in(m, "tar -xf big.tar; echo $?; ls");
    EXPECT_EQ(r.out, "2\nbig.tar\n");
    EXPECT_EQ(r.err, "tar: extraction failed: No space left on device\n");
    EXPECT_EQ(file_contents(m, "/tmp/x/small"), "<missing>");
}

TEST(Tar, SymlinkParentIsRefused) {
    expect_cases({
        {"mkdir real; ln -s real l; mkdir -p s/l; touch s/l/f; tar -C s -cf a.tar l; tar -xf a.tar; echo $?; ls real",
         "2\n", 0, "tar: refusing to extract through symbolic-link parent: /tmp/l/f\n"},
    });
}


// Python's zipfile: z/a.txt ("hello hello hello hello\n", deflated, mode 640).
const std::string kHostZip =
    "\x50\x4b\x03\x04\x14\x00\x00\x00\x08\x00\x00\x00\x21\x00\x00\x88\x59\x0b\x0b\x00\x00\x00\x18\x00\x00\x00\x07\x00"
    "\x00\x00\x7a\x2f\x61\x2e\x74\x78\x74\xcb\x48\xcd\xc9\xc9\x57\xc8\x40\x27\xb9\x00\x50\x4b\x01\x02\x14\x03\x14\x00"
    "\x00\x00\x08\x00\x00\x00\x21\x00\x00\x88\x59\x0b\x0b\x00\x00\x00\x18\x00\x00\x00\x07\x00\x00\x00\x00\x00\x00\x00"
    "\x00\x00\x00\x00\xa0\x81\x00\x00\x00\x00\x7a\x2f\x61\x2e\x74\x78\x74\x50\x4b\x05\x06\x00\x00\x00\x00\x01\x00\x01"
    "\x00\x35\x00\x00\x00\x30\x00\x00\x00\x00\x00"s;
// Python's zipfile, stored: ok.txt ("fine\n") and then ../evil.
const std::string kEvilZip =
    "\x50\x4b\x03\x04\x14\x00\x00\x00\x00\x00\x00\x00\x21\x00\xaf\x5d\x68\x2c\x05\x00\x00\x00\x05\x00\x00\x00\x06\x00"
    "\x00\x00\x6f\x6b\x2e\x74\x78\x74\x66\x69\x6e\x65\x0a\x50\x4b\x03\x04\x14\x00\x00\x00\x00\x00\x00\x00\x21\x00\x3e"
    "\x06\x3a\x18\x04\x00\x00\x00\x04\x00\x00\x00\x07\x00\x00\x00\x2e\x2e\x2f\x65\x76\x69\x6c\x62\x61\x64\x0a\x50\x4b"
    "\x01\x02\x14\x03\x14\x00\x00\x00\x00\x00\x00\x00\x21\x00\xaf\x5d\x68\x2c\x05\x00\x00\x00\x05\x00\x00\x00\x06\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xa0\x81\x00\x00\x00\x00\x6f\x6b\x2e\x74\x78\x74\x50\x4b\x01\x02\x14\x03"
    "\x14\x00\x00\x00\x00\x00\x00\x00\x21\x00\x3e\x06\x3a\x18\x04\x00\x00\x00\x04\x00\x00\x00\x07\x00\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00\xa0\x81\x29\x00\x00\x00\x2e\x2e\x2f\x65\x76\x69\x6c\x50\x4b\x05\x06\x00\x00\x00\x00\x02"
    "\x00\x02\x00\x69\x00\x00\x00\x52\x00\x00\x00\x00\x00"s;

TEST(Zip, RoundTripsAndListings) {
    expect_cases({
        {"mkdir -p d/sub; printf hello > d/a; echo b > d/sub/b; zip -r a.zip d && unzip -l a.zip && unzip -Z1 a.zip",
         "        0  d/\n        5  d/a\n        0  d/sub/\n        2  d/sub/b\nd/\nd/a\nd/sub/\nd/sub/b\n"},
        {"mkdir d; echo x > d/f; chmod 600 d/f; zip -qr a.zip d; unzip -d out a.zip && cat out/d/f; stat -c %a out/d/f",
         "x\n600\n"},
        {"echo x > f; zip a.zip f; rm f; unzip a.zip -o; cat f", "x\n"},
        {"zip a.zip; echo $?", "12\n", 0, "zip: nothing to do\n"},
        {"zip", "", 2, "zip: missing archive path\n"},
        {"zip -x a.zip f", "", 2, "zip: unsupported option: -x\n"},
        {"zip a.zip -", "", 2, "zip: unsupported option: -\n"},
        {"mkdir d; zip a.zip d; echo $?; ls", "2\nd\n", 0, "zip: d: is a directory (use -r)\n"},
        {"touch f; ln -s f l; zip a.zip l", "", 2, "zip: l: symbolic links are not supported\n"},
        {"mkdir d; ln -s x d/l; zip -r a.zip d", "", 2, "zip: /tmp/d/l: unsupported symbolic link\n"},
        {"touch a.zip; unzip a.zip b", "", 2, "unzip: member selection is not supported: b\n"},
        {"unzip -x a.zip", "", 2, "unzip: unsupported option: -x\n"},
        {"unzip", "", 2, "unzip: missing archive path\n"},
        {"unzip a.zip -d", "", 2, "unzip: -d requires a directory\n"},
        {"echo x > a.zip; unzip a.zip", "", 2, "unzip: a.zip: missing end-of-central-directory record\n"},
    });
}

TEST(Zip, HostArchivesAndRefusedMembers) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/host.zip", kHostZip);
    put_file(m, "/tmp/evil.zip", kEvilZip);
    Ran r = run_in(m, "unzip host.zip && stat -c %a z/a.txt; unzip -d out evil.zip; echo $?; ls");
    EXPECT_EQ(r.out, "640\n2\nevil.zip\nhost.zip\nz\n");
    EXPECT_EQ(r.err, "unzip: evil.zip: unsafe archive path: ../evil\n");
    EXPECT_EQ(file_contents(m, "/tmp/z/a.txt"), "hello hello hello hello\n");

    // An absolute member name is refused the same way, and so is a wrong CRC; nothing is written.
    std::string absolute = kEvilZip;
    for (std::size_t at = absolute.find("../evil"); at != std::string::npos; at = absolute.find("../evil", at + 1))
        absolute.replace(at, 7, "/tmp/ev");
    std::string bad_crc = kHostZip;
    bad_crc[kHostZip.find("PK\x01\x02") + 16] ^= 1;  // the central CRC
    put_file(m, "/tmp/abs.zip", absolute);
    put_file(m, "/tmp/crc.zip", bad_crc);
    r = run_in(m, "rm -r z; unzip abs.zip; unzip crc.zip; ls");
    EXPECT_EQ(r.out, "abs.zip\ncrc.zip\nevil.zip\nhost.zip\n");
    EXPECT_EQ(r.err, "unzip: abs.zip: unsafe archive path: /tmp/ev\nunzip: crc.zip: z/a.txt: size or CRC mismatch\n");
}

TEST(Zip, SymbolicLinksInTheWayAreRefused) {
    expect_cases({
        {"mkdir d; echo x > d/f; zip -r a.zip d; rm -r d; mkdir real; ln -s real d; unzip a.zip; echo $?; ls real",
         "2\n", 0, "unzip: symbolic-link destination is not allowed: /tmp/d\n"},
        {"echo x > f; zip a.zip f; mkdir real; ln -s real o; unzip -d o a.zip; echo $?; ls real", "2\n", 0,
         "unzip: symbolic-link parent is not allowed: /tmp/o\n"},
    });
}


std::string leb(std::uint32_t v) {
    std::string out;
    do {
        const auto b = static_cast<char>(v & 0x7F);
        v >>= 7;
        out += v ? static_cast<char>(b | 0x80) : b;
    } while (v);
    return out;
}

std::string wasm_name(const std::string& n) { return leb(n.size()) + n; }

// A Wasm object whose linking section holds `table` (the symbol-table payload, count first).
std::string wasm_object(const std::string& table) {
    const std::string linking = wasm_name("linking") + leb(2) + "\x08"s + leb(table.size()) + table;
    return "\0asm\1\0\0\0"s + "\0"s + leb(linking.size()) + linking;
}

// Defines the function f and the data d, imports g and holds the local s.
const std::string kObjectFD = wasm_object(leb(4) + "\0\0\0"s + wasm_name("f") + "\x01\0"s + wasm_name("d") + "\0\0\x04"s +
                                          "\0\x10\x01"s + "\0\x02\x02"s + wasm_name("s"));
const std::string kObjectH = wasm_object(leb(1) + "\0\0\0"s + wasm_name("h"));

TEST(Ar, IndexAndMembers) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/a.o", kObjectFD);
    put_file(m, "/tmp/b.o", kObjectH);
    put_file(m, "/tmp/notes.txt", "text");
    put_file(m, "/tmp/linked.wasm", "\0asm\1\0\0\0"s);
    Ran r = run_in(m, "mkdir src; cp b.o src/b.o; ar rc lib.a a.o src/b.o && ar -rcs lib2.a a.o b.o && cmp lib.a lib2.a && "
                      "ranlib lib.a && cmp lib.a lib2.a && ar s lib2.a && cmp lib.a lib2.a && echo same");
    EXPECT_EQ(r.out, "same\n");
    EXPECT_EQ(r.err, "");
    // Index: the symbols f and d at a.o's header, h at b.o's; members padded to even offsets.
    const std::string index = "\0\0\0\3"s + "\0\0\0\x5a"s + "\0\0\0\x5a"s + "\0\0\0"s + std::string(1, char(0x5a + 60 + 42)) + "f\0d\0h\0"s;
    std::string expected = "!<arch>\n"s + fmt::format("{:<16}{:<12}{:<6}{:<6}{:<8}{:<10}`\n", "/", 0, 0, 0, 100644, 22) + index +
                           fmt::format("{:<16}{:<12}{:<6}{:<6}{:<8}{:<10}`\n", "a.o/", 0, 0, 0, 100644, kObjectFD.size()) +
                           kObjectFD + (kObjectFD.size() % 2 ? "\n" : "") +
                           fmt::format("{:<16}{:<12}{:<6}{:<6}{:<8}{:<10}`\n", "b.o/", 0, 0, 0, 100644, kObjectH.size()) +
                           kObjectH + (kObjectH.size() % 2 ? "\n" : "");
    ASSERT_EQ(kObjectFD.size(), 42u);
    EXPECT_EQ(file_contents(m, "/tmp/lib.a"), expected);

    // Replacing a member keeps its place; failures leave the archive as it was.
    put_file(m, "/tmp/a.o", kObjectH);
    r = run_in(m, "ar rc lib.a a.o && ar rc lib.a notes.txt; ar rc lib.a linked.wasm; ar rc lib.a objectfile_abc.o; "
                  "ar rc lib.a; ar t lib.a; ar; ar rc; ranlib; ranlib a b");
    EXPECT_EQ(r.err,
              "ar: member is not a supported WebAssembly object\n"
              "ar: Wasm object has no linking symbol table\n"
              "ar: unsupported member name 'objectfile_abc.o'\n"
              "ar: expected at least one object\n"
              "ar: unsupported operation 't'\n"
              "ar: expected operation and archive\n"
              "ar: expected archive path\n"
              "ranlib: expected one archive path\n"
              "ranlib: expected one archive path\n");
    const std::string lib = file_contents(m, "/tmp/lib.a");
    EXPECT_EQ(lib.find("a.o/"), 8 + 60 + 16);  // index now: count, two offsets, "h", "h"
    EXPECT_LT(lib.find("a.o/"), lib.find("b.o/"));
}

TEST(Ar, SymbolNamesAreChargedToTheMemoryBudget) {
    // 100000 defined functions with 16-byte names: 1.8 MB of object, far more once held as a list.
    std::string table = leb(100000);
    for (int i = 0; i < 100000; ++i) table += "\0\0"s + leb(i) + wasm_name(fmt::format("symbol_{:09}", i));
    MachineLimits limits = kRoomyLimits;
    limits.memory = 4 << 20;
    Machine m = fresh_machine(limits);
    put_file(m, "/tmp/big.o", wasm_object(table));
    Ran r = run_in(m, "ar rc lib.a big.o; echo $?");
    EXPECT_EQ(r.out, "") << r.err;
    EXPECT_EQ(r.status, 137);
    EXPECT_EQ(file_contents(m, "/tmp/lib.a"), "<missing>");
}

}  // namespace
}  // namespace tw::command_test
