// Every case of cases.txt (written by gen_cases.py from the host python3) run through the string
// algorithms: results and exception classes must agree.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <variant>

#include "python/string/bytes_ops.h"
#include "python/string/case.h"
#include "python/string/pad_encode.h"
#include "python/string/search.h"
#include "python/string/split_join.h"
#include "pystring/fixture.h"

namespace tw::py {
namespace {

struct Field {
    char kind = 'n';  // s b i n B T L E
    std::string text;  // s, b: the bytes; E: the class
    std::int64_t number = 0;
    std::vector<Field> items;
};

std::string unhex(std::string_view h) {
    std::string out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(char(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
    return out;
}

Field parse_field(std::string_view f) {
    Field r;
    r.kind = f[0];
    std::string_view body = f.size() > 2 ? f.substr(2) : std::string_view();
    switch (r.kind) {
        case 's': case 'b': r.text = unhex(body); break;
        case 'i': case 'B': r.number = std::stoll(std::string(body)); break;
        case 'E': r.text = body; break;
        case 'T': case 'L': {
            if (body.empty()) break;
            std::size_t p = 0;
            while (true) {
                std::size_t q = body.find('|', p);
                r.items.push_back(parse_field(body.substr(p, q == std::string_view::npos ? q : q - p)));
                if (q == std::string_view::npos) break;
                p = q + 1;
            }
            break;
        }
        default: break;
    }
    return r;
}

bool operator==(const Field& a, const Field& b) {
    return a.kind == b.kind && a.text == b.text && a.number == b.number && a.items == b.items;
}

std::string show(const Field& f) {
    std::string s(1, f.kind);
    s += ":";
    if (f.kind == 'i' || f.kind == 'B') s += std::to_string(f.number);
    else s += f.text;
    for (auto& i : f.items) s += "|" + show(i);
    return s;
}

Field str_field(std::string_view v, bool bytes) { return {bytes ? 'b' : 's', std::string(v), 0, {}}; }
Field int_field(std::int64_t v) { return {'i', {}, v, {}}; }
Field bool_field(bool v) { return {'B', {}, v, {}}; }
Field list_field(const std::vector<std::string_view>& views, bool bytes, char kind = 'L') {
    Field f{kind, {}, 0, {}};
    for (auto v : views) f.items.push_back(str_field(v, bytes));
    return f;
}

template <class T>
Field from_result(PyResult<T> r, auto convert) {
    if (!r) return {'E', std::string(r.error().detail() ? r.error().detail()->class_name : "raised"), 0, {}};
    return convert(*r);
}

std::optional<std::int64_t> opt_int(const std::vector<Field>& a, std::size_t i) {
    if (i >= a.size() || a[i].kind == 'n') return std::nullopt;
    return a[i].number;
}

std::vector<Affix> affixes(const Field& f) {
    std::vector<Affix> out;
    if (f.kind == 'T')
        for (auto& i : f.items) out.push_back(Affix::of(i.text));
    else
        out.push_back(Affix::of(f.text));
    return out;
}

// A translation table over a list of fields: None deletes, a str replaces, an int is a code point.
class ListTable final : public TranslateTable {
public:
    explicit ListTable(const std::vector<Field>& items) : items_(items) {}
    PyResult<TranslateItem> lookup(char32_t c) override {
        if (c >= items_.size()) return TranslateItem(TranslateKeep{});
        const Field& f = items_[c];
        if (f.kind == 'n') return TranslateItem(TranslateDelete{});
        if (f.kind == 's') return TranslateItem(TranslateText{f.text});
        if (f.kind == 'i') return TranslateItem(TranslateInt{f.number});
        return TranslateItem(TranslateOther{});
    }

private:
    const std::vector<Field>& items_;
};

Field run_str(const std::string& m, const std::vector<Field>& a) {
    CountingCharges ch;
    const std::string& s = a[0].text;
    const StrText t = StrText::of(s);
    auto as_str = [](const std::string& v) { return str_field(v, false); };
    auto as_int = [](std::int64_t v) { return int_field(v); };
    auto as_bool = [](bool v) { return bool_field(v); };
    SearchBounds b{opt_int(a, 2), opt_int(a, 3)};
    if (m == "find" || m == "rfind" || m == "index" || m == "rindex") {
        FindMode mode = m == "find" ? FindMode::Find : m == "rfind" ? FindMode::RFind : m == "index" ? FindMode::Index : FindMode::RIndex;
        return from_result(str_find(ch, t, a[1].text, b, mode), as_int);
    }
    if (m == "count") return from_result(str_count(ch, t, a[1].text, b), as_int);
    if (m == "startswith" || m == "endswith") {
        auto c = affixes(a[1]);
        return from_result(str_affix_match(ch, t, c, b, m == "endswith", m), as_bool);
    }
    if (m == "partition" || m == "rpartition")
        return from_result(str_partition(s, a[1].text, m == "rpartition"), [](auto arr) {
            return list_field({arr[0], arr[1], arr[2]}, false, 'T');
        });
    if (m == "removeprefix" || m == "removesuffix") {
        auto r = str_remove_affix(s, a[1].text, m == "removesuffix");
        return str_field(r ? *r : std::string_view(s), false);
    }
    if (m == "split" || m == "rsplit") {
        std::optional<std::string_view> sep;
        if (a.size() > 1 && a[1].kind == 's') sep = a[1].text;
        std::int64_t k = a.size() > 2 ? a[2].number : -1;
        auto r = m == "split" ? str_split(s, sep, k) : str_rsplit(s, sep, k);
        return from_result(std::move(r), [](const StrPieces& p) { return list_field(p.views, false); });
    }
    if (m == "replace") return from_result(str_replace(ch, s, a[1].text, a[2].text, a[3].number), as_str);
    if (m == "strip" || m == "lstrip" || m == "rstrip") {
        std::optional<std::string_view> chars;
        if (a[1].kind == 's') chars = a[1].text;
        StripSide side = m == "strip" ? StripSide::Both : m == "lstrip" ? StripSide::Left : StripSide::Right;
        return from_result(str_strip(ch, s, chars, side), [](std::string_view v) { return str_field(v, false); });
    }
    if (m == "ljust" || m == "rjust" || m == "center") {
        PadMode mode = m == "ljust" ? PadMode::Left : m == "rjust" ? PadMode::Right : PadMode::Center;
        return from_result(str_pad(ch, t, a[1].number, a[2].text, mode), as_str);
    }
    if (m == "zfill") return from_result(str_zfill(ch, t, a[1].number), as_str);
    if (m == "expandtabs") return from_result(str_expandtabs(ch, s, a[1].number), as_str);
    if (m == "encode")
        return from_result(str_encode(ch, s, a[1].text, a[2].text), [](const std::string& v) { return str_field(v, true); });
    if (m == "splitlines")
        return from_result(str_splitlines(ch, s, a[1].number != 0), [](const auto& v) { return list_field(v, false); });
    if (m == "translate") {
        ListTable table(a[1].items);
        return from_result(str_translate(ch, s, table), as_str);
    }
    if (m == "join") {
        Joiner j = str_joiner(s);
        for (auto& i : a[1].items) EXPECT_TRUE(j.add(ch, i.text));
        return from_result(j.finish(ch), as_str);
    }
    static const std::pair<const char*, CaseMap> maps[] = {{"lower", CaseMap::Lower}, {"upper", CaseMap::Upper},
                                                           {"title", CaseMap::Title}, {"capitalize", CaseMap::Capitalize},
                                                           {"swapcase", CaseMap::SwapCase}};
    for (auto& [name, map] : maps)
        if (m == name) return from_result(str_case_map(ch, s, map), as_str);
    static const std::pair<const char*, StrPredicate> preds[] = {
        {"isalnum", StrPredicate::IsAlnum}, {"isalpha", StrPredicate::IsAlpha}, {"isdigit", StrPredicate::IsDigit},
        {"isdecimal", StrPredicate::IsDecimal}, {"isnumeric", StrPredicate::IsNumeric}, {"isspace", StrPredicate::IsSpace},
        {"isascii", StrPredicate::IsAscii}, {"islower", StrPredicate::IsLower}, {"isupper", StrPredicate::IsUpper},
        {"istitle", StrPredicate::IsTitle}, {"isidentifier", StrPredicate::IsIdentifier}};
    for (auto& [name, p] : preds)
        if (m == name) return from_result(str_predicate(ch, s, p), as_bool);
    ADD_FAILURE() << "no str method " << m;
    return {};
}

Field run_bytes(const std::string& m, const std::vector<Field>& a) {
    CountingCharges ch;
    const std::string& s = a[0].text;
    auto as_bytes = [](std::string_view v) { return str_field(v, true); };
    auto as_int = [](std::int64_t v) { return int_field(v); };
    SearchBounds b{opt_int(a, 2), opt_int(a, 3)};
    if (m == "find" || m == "index") return from_result(bytes_find(ch, s, a[1].text, b, m == "index"), as_int);
    if (m == "count") return from_result(bytes_count(ch, s, a[1].text, b), as_int);
    if (m == "startswith" || m == "endswith") {
        auto c = affixes(a[1]);
        return from_result(bytes_affix_match(ch, s, c, b, m == "endswith"), [](bool v) { return bool_field(v); });
    }
    if (m == "partition" || m == "rpartition")
        return from_result(bytes_partition(ch, s, a[1].text, m == "rpartition"), [](auto arr) {
            return list_field({arr[0], arr[1], arr[2]}, true, 'T');
        });
    if (m == "split") {
        std::optional<std::string_view> sep;
        if (a[1].kind == 'b') sep = a[1].text;
        return from_result(bytes_split(ch, s, sep, a[2].number), [](const auto& v) { return list_field(v, true); });
    }
    if (m == "replace") return from_result(bytes_replace(ch, s, a[1].text, a[2].text, a[3].number), as_bytes);
    if (m == "strip" || m == "lstrip" || m == "rstrip") {
        std::optional<std::string_view> chars;
        if (a[1].kind == 'b') chars = a[1].text;
        StripSide side = m == "strip" ? StripSide::Both : m == "lstrip" ? StripSide::Left : StripSide::Right;
        return from_result(bytes_strip(ch, s, chars, side), as_bytes);
    }
    if (m == "center") return from_result(bytes_center(ch, s, a[1].number, a[2].text), as_bytes);
    if (m == "splitlines")
        return from_result(bytes_splitlines(ch, s, a[1].number != 0), [](const auto& v) { return list_field(v, true); });
    if (m == "upper" || m == "lower") return from_result(bytes_case(ch, s, m == "upper"), as_bytes);
    if (m == "hex") return from_result(bytes_hex(ch, s), [](const std::string& v) { return str_field(v, false); });
    if (m == "decode")
        return from_result(bytes_decode(ch, s, a[1].text, a[2].text), [](const std::string& v) { return str_field(v, false); });
    if (m == "join") {
        Joiner j = bytes_joiner(s);
        for (auto& i : a[1].items) EXPECT_TRUE(j.add(ch, i.text));
        return from_result(j.finish(ch), as_bytes);
    }
    ADD_FAILURE() << "no bytes method " << m;
    return {};
}

TEST(StringDifferential, AgreesWithHostPython) {
    std::ifstream in(TW_PYSTRING_CASES "/cases.txt");
    ASSERT_TRUE(in) << "cases.txt missing";
    std::string line;
    std::size_t cases = 0, failures = 0;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream ss(line);
        for (std::string f; std::getline(ss, f, '\t');) fields.push_back(f);
        const std::string& method = fields[0];
        std::vector<Field> args;
        std::size_t k = 1;
        for (; fields[k] != "=>"; ++k) args.push_back(parse_field(fields[k]));
        const Field expected = parse_field(fields[k + 1]);
        Field got;
        if (method == "fromhex") {
            CountingCharges ch;
            got = from_result(bytes_fromhex(ch, args[0].text), [](const std::string& v) { return str_field(v, true); });
        } else {
            got = args[0].kind == 'b' ? run_bytes(method, args) : run_str(method, args);
        }
        ++cases;
        if (!(got == expected) && ++failures <= 40)
            ADD_FAILURE() << line << "\n  got " << show(got) << "\n  want " << show(expected);
    }
    EXPECT_GT(cases, 10000u);
    EXPECT_EQ(failures, 0u);
}

}  // namespace
}  // namespace tw::py
