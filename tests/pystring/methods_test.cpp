// The str, bytes and bytearray method rows over a real runtime: argument checks, result values
// and kinds, and bytearray mutation of the heap object.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "pynumber/runtime_fixture.h"
#include "python/number/values.h"
#include "python/types/string_types.h"
#include "python/vm/exec_state.h"
#include "python/vm/str_formatting.h"

namespace tw::py {
namespace {

struct Runtime : testing::Runtime {
    Value str(std::string t) { return strarg::make_str(rt, std::move(t)).value(); }
    Value bytes(std::string b, bool bytearray = false) { return strarg::make_bytes(rt, std::move(b), bytearray).value(); }
    std::string content(Value v) { return strarg::bytes_of(rt, v).value().value_or("<not bytes>"); }
    const std::vector<Value>& items(Value v) { return *sequence_items(in.heap.get(v).value()->object); }
    // The texts of a list of str, bytes or bytearray values.
    std::vector<std::string> texts(Value list) {
        std::vector<std::string> out;
        for (const Value& v : items(list)) out.push_back(text(v) != "<not a str>" ? text(v) : content(v));
        return out;
    }
    PyResult<Value> call(const NativeClass& cls, std::string_view name, Value self, std::vector<Value> positional = {},
                         std::vector<std::pair<std::string, Value>> keywords = {}) {
        return testing::Runtime::call(cls, name, self, NativeCall{std::move(positional), std::move(keywords)});
    }
    std::string error(const PyResult<Value>& r) {
        if (r) return "<no error>";
        return fmt::format("{}: {}", r.error().detail()->class_name, r.error().message());
    }
};

Value I(std::int64_t v) { return Value::from_int(v); }

TEST(StrRows, ResultsAndChecks) {
    Runtime r;
    const NativeClass& S = str_native_class();
    EXPECT_EQ(r.texts(*r.call(S, "split", r.str("a,b"), {r.str(",")})), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(r.texts(*r.call(S, "split", r.str("  a b  "))), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(r.text(*r.call(S, "upper", r.str("\u00df"))), "SS");
    EXPECT_EQ(r.text(*r.call(S, "zfill", r.str("-42"), {I(5)})), "-0042");
    EXPECT_EQ(*r.call(S, "find", r.str("\u00e4bc\u00e4bc\u00e4bc\u00e4bc"), {r.str("c"), I(-4)}), I(8));
    EXPECT_EQ(*r.call(S, "startswith", r.str("abc"), {r.str("")}), Value::from_bool(true));
    const Value abc = r.str("abc");
    EXPECT_EQ(*r.call(S, "removeprefix", abc, {r.str("x")}), abc);
    EXPECT_EQ(r.content(*r.call(S, "encode", r.str("\u00e9"), {r.str("Latin_1")})), "\xe9");
    EXPECT_EQ(r.content(*r.call(S, "encode", r.str("\u00e9"), {}, {{"errors", r.str("xmlcharrefreplace")}, {"encoding", r.str("ascii")}})),
              "&#233;");
    EXPECT_EQ(r.text(*r.call(S, "expandtabs", r.str("a\tb"), {}, {{"tabsize", I(2)}})), "a b");
    EXPECT_EQ(r.texts(*r.call(S, "splitlines", r.str("a\r\nb"), {}, {{"keepends", Value::from_bool(true)}})),
              (std::vector<std::string>{"a\r\n", "b"}));
    auto parts = r.texts(*r.call(S, "rpartition", r.str("abc"), {r.str("x")}));
    EXPECT_EQ(parts, (std::vector<std::string>{"", "", "abc"}));

    const tw::BigInt huge = tw::BigInt(1).pow(1) * tw::BigInt(std::int64_t(1) << 62) * tw::BigInt(256);
    const Value big = new_int_value(number_env(r.rt), huge).value();
    const std::pair<PyResult<Value>, const char*> errors[] = {
        {r.call(S, "find", abc), "TypeError: str search() expected 1..=3 positional arguments, got 0"},
        {r.call(S, "rstrip", abc, {I(1), I(2)}), "TypeError: str.strip() expected 0..=1 positional arguments, got 2"},
        {r.call(S, "find", abc, {r.str("a")}, {{"start", I(0)}}), "TypeError: str search() does not accept keyword arguments"},
        {r.call(S, "upper", abc, {I(1)}), "TypeError: str.upper() expected 0..=0 positional arguments, got 1"},
        {r.call(S, "find", I(1), {r.str("a")}), "TypeError: expected a string, got int"},
        {r.call(S, "find", abc, {r.str("a"), big}), "TypeError: slice indices must be integers or None or have an __index__ method"},
        {r.call(S, "index", abc, {r.str("z")}), "ValueError: substring not found"},
        {r.call(S, "startswith", abc, {I(1)}), "TypeError: startswith first arg must be str or a tuple of str, not int"},
        {r.call(S, "removeprefix", abc, {I(1)}), "TypeError: removeprefix() argument must be str, not int"},
        {r.call(S, "expandtabs", abc, {Value::none()}), "TypeError: 'NoneType' object cannot be interpreted as an integer"},
        {r.call(S, "expandtabs", abc, {I(1)}, {{"tabsize", I(2)}}), "TypeError: expandtabs() got multiple values for argument 'tabsize'"},
        {r.call(S, "expandtabs", abc, {}, {{"size", I(2)}}), "TypeError: expandtabs() keyword argument size is not implemented"},
        {r.call(S, "encode", abc, {}, {{"errors", abc}, {"errors", abc}}), "TypeError: str.encode() got multiple values for keyword errors"},
        {r.call(S, "ljust", abc, {Value::from_float(1.0)}), "TypeError: width must be an integer"},
        {r.call(S, "split", abc, {Value::none(), Value::none()}), "TypeError: maxsplit must be an integer"},
        {r.call(S, "replace", abc, {r.str("a"), r.str("b"), big}), "TypeError: replace count must be an integer"},
        {r.call(S, "splitlines", abc, {}, {{"x", I(1)}}), "TypeError: str.splitlines() keyword argument x is not implemented"},
    };
    for (const auto& [result, message] : errors) EXPECT_EQ(r.error(result), message);
    const Value tuple = strarg::make_tuple(r.rt, {r.str("x"), I(1)}).value();
    EXPECT_EQ(r.error(r.call(S, "startswith", abc, {tuple})), "TypeError: tuple for startswith must only contain str, not int");
    const Value tuple2 = strarg::make_tuple(r.rt, {r.str("a"), I(1)}).value();
    EXPECT_EQ(*r.call(S, "startswith", abc, {tuple2}), Value::from_bool(true));
}

TEST(BytesRows, ResultsKindsAndChecks) {
    Runtime r;
    const NativeClass& B = bytes_native_class();
    const NativeClass& BA = bytearray_native_class();
    EXPECT_EQ(r.text(*r.call(B, "decode", r.bytes("\xff"), {r.str("utf-8"), r.str("replace")})), "\ufffd");
    EXPECT_EQ(r.text(*r.call(B, "hex", r.bytes("\x01\xfe"))), "01fe");
    const Value stripped = *r.call(BA, "strip", r.bytes(" x ", true));
    EXPECT_TRUE(strarg::is_bytearray(r.rt, stripped));
    EXPECT_EQ(r.content(stripped), "x");
    EXPECT_EQ(r.texts(*r.call(B, "split", r.bytes("a,b,,c"), {r.bytes(","), I(1)})), (std::vector<std::string>{"a", "b,,c"}));
    EXPECT_EQ(r.error(r.call(B, "find", I(3), {r.bytes("a")})), "TypeError: expected a bytes-like object, got int");
    EXPECT_EQ(r.error(r.call(B, "startswith", r.bytes("abc"), {r.str("a")})),
              "TypeError: startswith first arg must be bytes or a tuple of bytes, not str");
    EXPECT_EQ(r.error(r.call(B, "split", r.bytes("abc"), {}, {{"sep", r.bytes(",")}})),
              "TypeError: bytes.split() does not accept keyword arguments");
    EXPECT_EQ(r.error(r.call(B, "decode", r.bytes("x"), {r.str("cp1252")})), "ValueError: unknown text encoding");
}

TEST(ByteArrayRows, MutateTheHeapObject) {
    Runtime r;
    const NativeClass& BA = bytearray_native_class();
    const Value ba = r.bytes("ab", true);
    const std::uint64_t size0 = modeled_size_of(r.in.heap, ba).value();
    EXPECT_EQ(*r.call(BA, "append", ba, {I('c')}), Value::none());
    EXPECT_EQ(*r.call(BA, "extend", ba, {r.bytes("de")}), Value::none());
    const Value list = strarg::make_list(r.rt, {I('f'), Value::from_bool(true)}).value();
    EXPECT_EQ(*r.call(BA, "extend", ba, {list}), Value::none());
    EXPECT_EQ(*r.call(BA, "insert", ba, {I(-100), I('<')}), Value::none());
    EXPECT_EQ(*r.call(BA, "pop", ba), I(1));
    EXPECT_EQ(r.content(ba), "<abcdef");
    EXPECT_EQ(modeled_size_of(r.in.heap, ba).value(), size0 + 5);
    const std::pair<PyResult<Value>, const char*> errors[] = {
        {r.call(BA, "append", ba, {r.str("x")}), "TypeError: 'str' object cannot be interpreted as an integer"},
        {r.call(BA, "append", ba, {I(256)}), "ValueError: byte must be in range(0, 256)"},
        {r.call(BA, "append", ba, {I(-1)}), "ValueError: byte must be in range(0, 256)"},
        {r.call(BA, "append", r.bytes("x"), {I(1)}), "TypeError: expected a bytearray"},
        {r.call(BA, "remove", ba, {I('z')}), "ValueError: value not found in bytearray"},
        {r.call(BA, "pop", r.bytes("", true)), "IndexError: pop from empty bytearray"},
    };
    for (const auto& [result, message] : errors) EXPECT_EQ(r.error(result), message);
    EXPECT_EQ(r.content(ba), "<abcdef");
    const Value copy = *r.call(BA, "copy", ba);
    EXPECT_EQ(*r.call(BA, "clear", ba), Value::none());
    EXPECT_EQ(r.content(ba), "");
    EXPECT_EQ(r.content(copy), "<abcdef");
    EXPECT_EQ(modeled_size_of(r.in.heap, ba).value(), size0 - 2);
}

TEST(BytesSlots, ItemsSlicesConcatAndRepeat) {
    Runtime r;
    auto err = [&](const PyResult<std::optional<Value>>& v) {
        return v ? std::string("<no error>") : fmt::format("{}: {}", v.error().detail()->class_name, v.error().message());
    };
    const Value b = r.bytes("abc");
    const Value ba = r.bytes("abcdef", true);
    EXPECT_EQ(**bytes_len(r.rt, ba), I(6));
    EXPECT_EQ(**bytes_getitem(r.rt, b, I(-1)), I('c'));
    EXPECT_EQ(err(bytes_getitem(r.rt, b, I(5))), "IndexError: index out of range");
    EXPECT_EQ(err(bytes_getitem(r.rt, ba, I(6))), "IndexError: bytearray index out of range");
    EXPECT_FALSE(*bytes_getitem(r.rt, b, r.str("x")));
    const Value twice = **bytes_repeat(r.rt, I(2), r.bytes("ab", true));
    EXPECT_TRUE(strarg::is_bytearray(r.rt, twice));
    EXPECT_EQ(r.content(twice), "abab");
    EXPECT_EQ(r.content(**bytes_repeat(r.rt, b, I(-1))), "");
    EXPECT_FALSE(*bytes_repeat(r.rt, b, Value::from_float(2.0)));
    const Value huge = new_int_value(number_env(r.rt), tw::BigInt(std::int64_t(1) << 62) * tw::BigInt(64)).value();
    EXPECT_EQ(err(bytes_repeat(r.rt, b, huge)), "OverflowError: sequence repeat is too large");
    EXPECT_EQ(r.content(**bytes_concat(r.rt, b, ba)), "abcabcdef");
    EXPECT_FALSE(*bytes_concat(r.rt, b, I(1)));

    // ba[10] = 300 reports the byte range before the index.
    EXPECT_EQ(err(bytearray_setitem(r.rt, ba, I(10), I(300))), "ValueError: byte must be in range(0, 256)");
    EXPECT_EQ(err(bytearray_setitem(r.rt, ba, I(0), r.str("x"))), "ValueError: byte must be in range(0, 256)");
    EXPECT_EQ(err(bytearray_setitem(r.rt, ba, I(10), I(1))), "IndexError: bytearray index out of range");
    EXPECT_EQ(err(bytearray_setitem(r.rt, b, I(0), I(1))), "TypeError: expected a bytearray");
    ASSERT_TRUE(bytearray_setitem(r.rt, ba, I(0), I('A')));
    auto slice = [&](Value start, Value stop, Value step) {
        return r.in.heap.allocate_object(SlicePayload{start, stop, step}, r.ctx.roots, r.machine.meter).value();
    };
    const Value none = Value::none();
    ASSERT_TRUE(bytearray_setitem(r.rt, ba, slice(I(1), I(3), none), r.bytes("xyz")));
    EXPECT_EQ(r.content(ba), "Axyzdef");
    ASSERT_TRUE(bytearray_setitem(r.rt, ba, slice(none, none, I(-2)), r.bytes("1234")));
    EXPECT_EQ(r.content(ba), "4x3z2e1");
    EXPECT_EQ(err(bytearray_setitem(r.rt, ba, slice(none, none, I(2)), r.bytes("12"))),
              "ValueError: attempt to assign sequence of size 2 to extended slice of size 4");
    EXPECT_EQ(err(bytearray_setitem(r.rt, ba, slice(none, none, I(0)), r.bytes(""))), "ValueError: slice step cannot be zero");
    ASSERT_TRUE(bytearray_delitem(r.rt, ba, slice(none, none, I(2))));
    EXPECT_EQ(r.content(ba), "xze");
    ASSERT_TRUE(bytearray_delitem(r.rt, ba, I(-1)));
    EXPECT_EQ(r.content(ba), "xz");
    EXPECT_EQ(err(bytearray_delitem(r.rt, ba, I(2))), "IndexError: bytearray index out of range");
}

TEST(StrFormatting, FormatAndPercentThroughTheProtocols) {
    Runtime r;
    const NativeClass& F = str_format_native_class();
    EXPECT_EQ(r.text(*r.call(F, "format", r.str("{:>5}|"), {r.str("a")})), "    a|");
    EXPECT_EQ(r.text(*r.call(F, "format", r.str("{1}{0!r}{x:05.1f}{y!a}"), {r.str("\u00e9"), I(2)},
                             {{"x", Value::from_float(2.25)}, {"y", r.str("\u00e9")}})),
              "2'\u00e9'002.2'\\xe9'");
    EXPECT_EQ(r.error(r.call(F, "format", r.str("{z}"))), "KeyError: z");
    EXPECT_EQ(r.error(r.call(F, "format", r.str("{:d}"), {r.str("a")})).substr(0, 11), "ValueError:");

    auto percent = [&](std::string tmpl, Value operand) -> std::string {
        auto v = str_percent_slot(r.rt, r.str(std::move(tmpl)), operand);
        if (!v) return fmt::format("{}: {}", v.error().detail()->class_name, v.error().message());
        return *v ? r.text(**v) : "<not applicable>";
    };
    EXPECT_EQ(percent("%05d", I(-42)), "-0042");
    EXPECT_EQ(percent("%s|%r|%.2f|%x", strarg::make_tuple(r.rt, {r.str("a"), r.str("b"), I(1), I(255)}).value()), "a|'b'|1.00|ff");
    const Value list = strarg::make_list(r.rt, {I(1), I(2)}).value();
    EXPECT_EQ(percent("%s", list), "[1, 2]");
    EXPECT_EQ(percent("%s", strarg::make_tuple(r.rt, {strarg::make_tuple(r.rt, {I(1), I(2)}).value()}).value()), "(1, 2)");
    EXPECT_EQ(percent("%(a)s", r.str("x")), "TypeError: format requires a mapping");
    EXPECT_EQ(percent("%d", Value::from_float(-3.9)), "-3");
    EXPECT_EQ(percent("%d %s", I(1)), "TypeError: not enough arguments for format string");
    EXPECT_FALSE(*str_percent_slot(r.rt, I(1), I(2)));
}

}  // namespace
}  // namespace tw::py
