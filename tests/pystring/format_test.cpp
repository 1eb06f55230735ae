// str.format templates and printf-style formatting over small fake argument sources.
#include <gtest/gtest.h>

#include <map>

#include <fmt/format.h>

#include "pystring/fixture.h"
#include "python/number/format_spec.h"
#include "python/string/format.h"
#include "python/string/percent_format.h"

namespace tw::py {
namespace {

// Positional and keyword arguments that are plain texts; a field shows "<text|conversion|spec>"
// unless both are empty.
struct TextArguments final : FormatArguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string, std::less<>> named;

    static std::string show(const std::string& v, char32_t conv, std::string_view spec) {
        if (!conv && spec.empty()) return v;
        return fmt::format("<{}|{}|{}>", v, conv ? char(conv) : '-', spec);
    }
    std::uint64_t positional_count() const override { return positional.size(); }
    PyResult<std::string> format_positional(std::uint64_t i, char32_t conv, std::string_view spec) override {
        return show(positional.at(i), conv, spec);
    }
    PyResult<std::string> format_named(std::string_view name, char32_t conv, std::string_view spec) override {
        auto it = named.find(name);
        if (it == named.end()) return fail(PyError::exception("KeyError", std::string(name)));
        return show(it->second, conv, spec);
    }
};

struct FormatCase {
    const char* tmpl;
    std::vector<std::string> positional;
    const char* expected;  // the text, or "!Class: message"
};

TEST(StrFormat, Templates) {
    const FormatCase cases[] = {
        {"{}{}", {"1", "2"}, "12"},
        {"{1}{0}", {"a", "b"}, "ba"},
        {"{{}}", {}, "{}"},
        {"{}", {"1", "2"}, "1"},
        {"{x}\u00e9{+0}", {"p"}, "1\u00e9p"},
        {"{}{1}", {"1", "2"}, "!ValueError: cannot switch from automatic field numbering to manual field specification"},
        {"{0}{}", {"1", "2"}, "!ValueError: cannot switch from manual field specification to automatic field numbering"},
        {"{2}", {"1"}, "!ValueError: replacement index out of range"},
        {"{}", {}, "!ValueError: replacement index out of range"},
        {"{99999999999999999999999}", {}, "!KeyError: 99999999999999999999999"},
        {"{y}", {}, "!KeyError: y"},
        {"{0.real}", {"1"}, "!KeyError: 0.real"},
        {"{x[0]}", {}, "!KeyError: x[0]"},
        {"{!r}", {"a"}, "<a|r|>"},
        {"{0!s:>5}", {"a"}, "<a|s|>5>"},
        {"{:>5}", {"a"}, "<a|-|>5>"},
        {"{!x}", {"1"}, "!ValueError: unknown format conversion"},
        {"{!rr}", {"1"}, "!ValueError: invalid format conversion"},
        {"{!}", {"1"}, "!ValueError: unknown format conversion"},
        {"{:{}}", {"1", "5"}, "!ValueError: unmatched '{' in format string"},
        {"a}", {}, "!ValueError: single '}' in format string"},
        {"{", {}, "!ValueError: unmatched '{' in format string"},
    };
    for (const FormatCase& c : cases) {
        TextArguments args;
        args.positional = c.positional;
        args.named = {{"x", "1"}};
        CountingCharges ch;
        auto r = str_format(ch, c.tmpl, args);
        std::string got = r ? *r : fmt::format("!{}: {}", r.error().detail()->class_name, r.error().message());
        EXPECT_EQ(got, c.expected) << c.tmpl;
    }
}

TEST(StrFormat, ChargesOneUnitPerStepAndTheOutputAtTheEnd) {
    TextArguments args;
    args.positional = {"xyz"};
    CountingCharges ch;
    EXPECT_EQ(ok(str_format(ch, "\u00e9{{{}}}", args)), "\u00e9{xyz}");
    EXPECT_EQ(ch.work_total, 4u);  // é, {{, the field, }}
    EXPECT_EQ(ch.memory_total, 7u);
    CountingCharges refuse;
    refuse.work_limit = 2;
    EXPECT_FALSE(str_format(refuse, "abc", args).has_value());
}

// Values: ints and floats inline; inline strs; None; registered kind 1 a list "[1, 2]"; the right
// operand is a mapping {'a': 1} unless `tuple_operand` or `str_operand`.
struct FakePercent final : PercentArguments {
    bool tuple_operand = false, str_operand = false;

    PyResult<Value> lookup_key(std::string_view key) override {
        if (key == "a") return Value::from_int(1);
        return fail(PyError::exception("KeyError", std::string(key)));
    }
    bool operand_is_str_or_tuple() const override { return tuple_operand || str_operand; }
    PyResult<std::string> to_str(Value v) override {
        if (v.is_int()) return std::to_string(v.as_int());
        if (v.is_float()) return float_shortest_text(v.as_float(), false);
        if (v.is_inline_str()) return std::string(v.inline_str());
        if (v.is_none()) return std::string("None");
        return std::string("[1, 2]");
    }
    PyResult<std::string> repr(Value v) override {
        if (v.is_inline_str()) return fmt::format("'{}'", v.inline_str());
        return to_str(v);
    }
    std::string type_name(Value v) override {
        if (v.is_int()) return "int";
        if (v.is_float()) return "float";
        if (v.is_bool()) return "bool";
        if (v.is_inline_str()) return "str";
        if (v.is_none()) return "NoneType";
        return "list";
    }
    PyResult<std::optional<tw::BigInt>> integer(Value v) override {
        if (v.is_int()) return std::optional(tw::BigInt(v.as_int()));
        if (v.is_bool()) return std::optional(tw::BigInt(v.as_bool() ? 1 : 0));
        return std::optional<tw::BigInt>();
    }
    PyResult<std::optional<std::string>> str_text(Value v) override {
        if (v.is_inline_str()) return std::optional(std::string(v.inline_str()));
        return std::optional<std::string>();
    }
    PyResult<std::optional<double>> real(Value v) override {
        if (v.is_float()) return std::optional(v.as_float());
        if (v.is_int()) return std::optional(double(v.as_int()));
        return std::optional<double>();
    }
};

Value s(std::string_view t) { return Value::try_inline_str(t); }

struct PercentCase {
    const char* tmpl;
    std::vector<Value> args;
    const char* expected;
};

TEST(StrPercent, Conversions) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const PercentCase cases[] = {
        {"a%%b", {}, "a%b"},
        {"%s", {}, "!TypeError: not enough arguments for format string"},
        {"%s", {Value::from_int(1), Value::from_int(2)}, "!TypeError: not all arguments converted during string formatting"},
        {"", {Value::from_int(5)}, "!TypeError: not all arguments converted during string formatting"},
        {"%s", {Value::registered(1, 0)}, "[1, 2]"},
        {"%(a)s", {Value::registered(2, 0)}, "1"},
        {"%(b)s", {Value::registered(2, 0)}, "!KeyError: b"},
        {"%(a", {Value::registered(2, 0)}, "!ValueError: incomplete format key"},
        {"%5s|%-5s|", {s("ab"), s("cd")}, "   ab|cd   |"},
        {"%.2s", {s("abcd")}, "ab"},
        {"%.2s|%3s", {s("\u00e9\u65e5x"), s("\u00e9")}, "\u00e9\u65e5|  \u00e9"},
        {"%05s", {s("a")}, "    a"},
        {"%r %a", {s("a"), s("\u00e9")}, "'a' '\u00e9'"},
        {"%d|%d|%i|%u", {Value::from_float(3.9), Value::from_float(-3.9), Value::from_bool(true), Value::from_int(-7)}, "3|-3|1|-7"},
        {"%d", {s("x")}, "!TypeError: %d format: a real number is required, not str"},
        {"%x", {Value::from_float(3.0)}, "!TypeError: %x format: an integer is required, not float"},
        {"%#x|%#X|%#o|%x", {Value::from_int(255), Value::from_int(255), Value::from_int(8), Value::from_int(-255)}, "0xff|0XFF|0o10|-ff"},
        {"%+d|% d|%05d|%-05d|%.3d|%+#08x", {Value::from_int(5), Value::from_int(5), Value::from_int(-42), Value::from_int(42), Value::from_int(7), Value::from_int(255)},
         "+5| 5|-0042|42   |007|+0x000ff"},
        {"%c%c|%3c", {Value::from_int(65), s("\u00e9"), Value::from_int(0x65E5)}, "A\u00e9|  \u65e5"},
        {"%c", {s("ab")}, "!TypeError: %c requires an int or a unicode character, not a string of length 2"},
        {"%c", {Value::from_float(1.0)}, "!TypeError: %c requires an int or a unicode character, not float"},
        {"%c", {Value::from_int(0x110000)}, "!OverflowError: %c arg not in range(0x110000)"},
        {"%c", {Value::from_int(0xD800)}, "!OverflowError: %c arg not in range(0x110000)"},
        {"%*d", {Value::from_int(3), Value::from_int(4)}, "!ValueError: unsupported format character '*' (0x2a) at index 1"},
        {"\u00e9%y", {Value::from_int(1)}, "!ValueError: unsupported format character 'y' (0x79) at index 2"},
        {"abc%", {}, "!ValueError: incomplete format"},
        {"%.2f|%e|%-8.3g|%+.1F|%08.2f", {Value::from_int(1), Value::from_float(1234.5), Value::from_float(0.5), Value::from_float(2.25), Value::from_float(-3.14159)},
         "1.00|1.234500e+03|0.5     |+2.2|-0003.14"},
        {"%f", {s("x")}, "!TypeError: must be real number, not str"},
        {"%d", {Value::from_float(nan)}, "!ValueError: cannot convert float NaN to integer"},
        {"%d", {Value::from_float(-std::numeric_limits<double>::infinity())}, "!OverflowError: cannot convert float infinity to integer"},
        {"%d", {Value::from_float(1e20)}, "100000000000000000000"},
        {"%99999999999999999999d", {Value::from_int(1)}, "!resource: format width is too large"},
    };
    for (const PercentCase& c : cases) {
        FakePercent host;
        CountingCharges ch;
        auto r = str_percent_format(ch, c.tmpl, c.args, host);
        std::string got = r ? *r
                            : fmt::format("!{}: {}", r.error().detail()->class_name.empty() ? "resource" : r.error().detail()->class_name,
                                          r.error().message());
        EXPECT_EQ(got, c.expected) << c.tmpl;
    }
}

TEST(StrPercent, KeysNeedAMappingAndWidthsAreChargedFirst) {
    FakePercent host;
    host.tuple_operand = true;
    CountingCharges ch;
    const Value one[] = {s("x")};
    expect_error(str_percent_format(ch, "%(a)s", one, host), "TypeError", "format requires a mapping");
    // Without a key the mapping is one unconsumed argument; with a key it is not.
    FakePercent mapping;
    const Value map[] = {Value::registered(2, 0)};
    expect_error(str_percent_format(ch, "x", map, mapping), "TypeError", "not all arguments converted during string formatting");
    EXPECT_EQ(ok(str_percent_format(ch, "%(a)s%(a)d", map, mapping)), "11");

    // The width is charged as memory and work before the argument is read.
    CountingCharges refuse;
    refuse.memory_limit = 1000;
    const Value none[] = {Value::none()};
    EXPECT_FALSE(str_percent_format(refuse, "%5000s", none, host).has_value());
    CountingCharges c2;
    EXPECT_EQ(ok(str_percent_format(c2, "a%3s", none, host)), "aNone");
    EXPECT_EQ(c2.work_total, 2u + 3);
}

}  // namespace
}  // namespace tw::py
