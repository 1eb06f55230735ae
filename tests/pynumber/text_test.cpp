// Format specifications, number parsing and hashing against the host's python3.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "pynumber/table.h"
#include "python/number/format_spec.h"
#include "python/number/hash.h"
#include "python/number/number.h"
#include "python/number/parse.h"

namespace tw::py {
namespace {

using testing::decode_int;
using testing::decode_text;
using testing::encode_float_bits;
using testing::encode_int;
using testing::read_table;
using testing::unhex;

double decode_float(const std::string& f) {
    if (f == "f:nan") return std::nan("");
    const std::uint64_t bits = std::stoull(f.substr(2), nullptr, 16);
    double x;
    std::memcpy(&x, &bits, 8);
    return x;
}

std::string encode_error(const PyError& e) {
    if (e.kind() == ErrorKindTag::Resource) return "!Resource: " + std::string(e.message());
    return "!" + std::string(e.detail()->class_name) + ": " + std::string(e.message());
}

std::string format_any(const std::string& value, const std::string& spec) {
    FormatResult<std::string> r;
    if (value.starts_with("u:")) r = py_format_str(unhex(value.substr(2)), spec);
    else if (value.starts_with("b:")) r = format_integer(tw::BigInt(value[2] == '1'), spec, "bool");
    else if (value.starts_with("f:")) r = format_float(decode_float(value), spec);
    else if (value.starts_with("c:")) {
        const std::size_t comma = value.find(',');
        r = format_complex(decode_float("f:" + value.substr(2, comma - 2)), decode_float("f:" + value.substr(comma + 1)),
                           spec);
    } else {
        r = format_integer(decode_int(value), spec, "int");
    }
    if (!r) return "!" + std::string(r.error().exception) + ": " + r.error().message;
    if (r->size() > 198) return "h:" + std::to_string(r->size()) + ":" + std::to_string(py_hash_str(*r));
    return "s:" + *r;
}

TEST(FormatSpec, EveryFieldMatchesHostPython) {
    const auto rows = read_table("format.txt");
    ASSERT_GT(rows.size(), 1000u);
    int failures = 0;
    for (const auto& row : rows) {
        const std::string spec = unhex(row.fields[1]);
        const std::string got = format_any(row.fields[0], spec);
        if (got != row.fields[2] && ++failures <= 30)
            ADD_FAILURE() << "format.txt:" << row.line << ": format(" << row.fields[0].substr(0, 40) << ", '" << spec
                          << "')\n  want " << row.fields[2] << "\n  got  " << got;
    }
    EXPECT_EQ(failures, 0);
}

TEST(NumberParse, IntOfEveryBaseMatchesHostPython) {
    int failures = 0;
    for (const auto& row : read_table("int_parse.txt")) {
        const std::string text = decode_text(row.fields[0]);
        auto r = py_int_parse(text, std::stoll(row.fields[1]));
        std::string got = r ? encode_int(*r) : encode_error(r.error());
        if (!r && r.error().message().size() > 200) got = "!ValueError: " + std::string(r.error().message().substr(0, 60)) + "...";
        const std::string& want = row.fields[2];
        if (got != want && ++failures <= 20)
            ADD_FAILURE() << "int_parse.txt:" << row.line << ": int(" << text.substr(0, 40) << ", " << row.fields[1]
                          << ")\n  want " << want.substr(0, 120) << "\n  got  " << got.substr(0, 120);
    }
    EXPECT_EQ(failures, 0);
}

TEST(NumberParse, FloatTextMatchesHostPython) {
    for (const auto& row : read_table("float_parse.txt")) {
        const std::string text = unhex(row.fields[0]);
        auto r = py_float_from_text(text);
        const std::string got = r ? "f:" + encode_float_bits(*r) : "error";
        const std::string want = row.fields[1].starts_with("!") ? "error" : row.fields[1];
        EXPECT_EQ(got, want) << "float('" << text << "')";
    }
}

TEST(NumberParse, FloatPrefixReader) {
    auto p = py_float_parse("1e5j", 0);
    EXPECT_TRUE(p.found);
    EXPECT_EQ(p.value, 100000.0);
    EXPECT_EQ(p.end, 3u);
    p = py_float_parse("-InFiNiTy", 0);
    EXPECT_TRUE(p.found && std::isinf(p.value) && p.value < 0 && p.end == 9);
    p = py_float_parse("infinit", 0);
    EXPECT_EQ(p.end, 3u);
    p = py_float_parse("1_0", 0);
    EXPECT_EQ(p.end, 1u);
    p = py_float_parse("1e+", 0);
    EXPECT_EQ(p.end, 1u);
    EXPECT_FALSE(py_float_parse("+.", 0).found);
    p = py_float_parse("x.5y", 1);
    EXPECT_TRUE(p.found && p.value == 0.5 && p.end == 3);
}

std::vector<std::int64_t> lanes_of(const std::string& list) {
    std::vector<std::int64_t> out;
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        out.push_back(std::stoll(list.substr(start, comma - start)));
        start = comma + 1;
    }
    return out;
}

TEST(Hashing, NumbersStringsAndContainersMatchHostPython) {
    for (const auto& row : read_table("hash.txt")) {
        const std::string& v = row.fields[0];
        std::int64_t got;
        if (v.starts_with("u:")) got = py_hash_str(unhex(v.substr(2)));
        else if (v.starts_with("y:")) got = py_hash_bytes(unhex(v.substr(2)));
        else if (v.starts_with("n:")) got = kNoneHash;
        else if (v.starts_with("b:")) got = py_hash_int(v[2] == '1');
        else if (v.starts_with("f:")) got = py_hash_float(decode_float(v));
        else if (v.starts_with("c:")) {
            const std::size_t comma = v.find(',');
            got = py_hash_complex(decode_float("f:" + v.substr(2, comma - 2)), decode_float("f:" + v.substr(comma + 1)));
        } else if (v.starts_with("T:")) got = py_hash_tuple_lanes(lanes_of(v.substr(2)));
        else if (v.starts_with("F:")) got = py_hash_frozenset_lanes(lanes_of(v.substr(2)));
        else {
            const tw::BigInt i = decode_int(v);
            got = i.to_i64() ? py_hash_int(*i.to_i64()) : py_hash_bigint(i.raw());
            EXPECT_EQ(py_hash_bigint(i.raw()), std::stoll(row.fields[1])) << v;
        }
        EXPECT_EQ(got, std::stoll(row.fields[1])) << "hash.txt:" << row.line << ": " << v;
    }
}

TEST(Hashing, FixedValues) {
    EXPECT_EQ(py_hash_str("abc"), -4594863902769663758);
    EXPECT_EQ(py_hash_bytes("abc"), -4594863902769663758);
    const std::int64_t pair[] = {py_hash_int(1), py_hash_int(2)};
    EXPECT_EQ(py_hash_tuple_lanes(pair), -3550055125485641917);
    EXPECT_EQ(py_hash_tuple_lanes({}), 5740354900026072187);
    const std::int64_t slice[] = {py_hash_int(1), py_hash_int(2), py_hash_int(3)};
    EXPECT_EQ(py_hash_slice_lanes(slice), -2340833382717974474);
    const std::int64_t one_three[] = {py_hash_int(1), py_hash_int(3), kNoneHash};
    EXPECT_EQ(py_hash_tuple_lanes(one_three), 3985224588053030672);
    const std::int64_t empty_range[] = {py_hash_int(0), kNoneHash, kNoneHash};
    EXPECT_EQ(py_hash_tuple_lanes(empty_range), 2676694398852732306);
    EXPECT_EQ(py_hash_frozenset_lanes({}), 133146708735736);
    EXPECT_EQ(py_hash_float(0.5), 1152921504606846976);
    EXPECT_EQ(py_hash_complex(1, 2), 2000007);
    EXPECT_EQ(py_hash_int(std::numeric_limits<std::int64_t>::min()), -4);
}

TEST(Hashing, IdentityRange) {
    const std::int64_t a = py_identity_from_bytes(std::string("\x01\x01\0\0\0\0\0\0\0", 9));
    const std::int64_t b = py_identity_from_bytes(std::string("\x02\0\0\0\0\0\0\xf0\x3f", 9));
    EXPECT_NE(a, b);
    for (std::int64_t id : {a, b}) {
        EXPECT_GE(id, 0x500000000000);
        EXPECT_LE(id, 0x5FFFFFFFFFF0);
        EXPECT_EQ(id % 16, 0);
    }
}

TEST(NumberParse, DigitBound) {
    EXPECT_EQ(py_int_decimal_digits_bound(0), 1u);
    EXPECT_EQ(py_int_decimal_digits_bound(4), 2u);
    EXPECT_GE(py_int_decimal_digits_bound(333), 101u);
    EXPECT_EQ(py_int_decimal_digits_bound(~std::uint64_t(0)), 184467440737096u);
}

}  // namespace
}  // namespace tw::py
