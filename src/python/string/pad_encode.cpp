#include "python/string/pad_encode.h"

#include <fmt/format.h>
#include <utf8proc.h>

#include "base/sat.h"

namespace tw::py {

namespace {

PyStatus charge_result(Charges& charges, std::uint64_t size) {
    if (auto c = charges.charge_memory(size); !c) return c;
    return charges.charge_work(size);
}

void append_repeated(std::string& out, std::string_view unit, std::uint64_t n) {
    if (unit.size() == 1) {
        out.append(n, unit[0]);
        return;
    }
    for (std::uint64_t k = 0; k < n; ++k) out.append(unit);
}

}  // namespace

PyResult<std::string> str_pad(Charges& charges, StrText text, std::int64_t width, std::string_view fill, PadMode mode) {
    if (count_code_points(fill) != 1)
        return fail(PyError::type_error("the fill character must be exactly one character long"));
    const std::uint64_t w = width < 0 ? 0 : std::uint64_t(width);
    const std::uint64_t pad = w > text.chars ? w - text.chars : 0;
    std::uint64_t size;
    if (__builtin_mul_overflow(std::uint64_t(fill.size()), pad, &size) ||
        __builtin_add_overflow(size, std::uint64_t(text.bytes.size()), &size))
        return fail_resource(mode == PadMode::Center ? "centered string is too large" : "justified string is too large");
    if (auto c = charge_result(charges, size); !c) return fail(std::move(c.error()));
    std::uint64_t left = 0;
    if (mode == PadMode::Right) left = pad;
    else if (mode == PadMode::Center) left = pad / 2 + (pad & w & 1);
    std::string out;
    out.reserve(size);
    append_repeated(out, fill, left);
    out.append(text.bytes);
    append_repeated(out, fill, pad - left);
    return out;
}

PyResult<std::string> str_zfill(Charges& charges, StrText text, std::int64_t width) {
    const std::uint64_t w = width < 0 ? 0 : std::uint64_t(width);
    const std::uint64_t pad = w > text.chars ? w - text.chars : 0;
    if (pad == 0) return std::string(text.bytes);
    const std::uint64_t size = sat_add(text.bytes.size(), pad);
    if (auto c = charge_result(charges, size); !c) return fail(std::move(c.error()));
    std::string out;
    out.reserve(size);
    std::string_view rest = text.bytes;
    if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
        out.push_back(rest[0]);
        rest.remove_prefix(1);
    }
    out.append(pad, '0');
    out.append(rest);
    return out;
}

PyResult<std::string> str_expandtabs(Charges& charges, std::string_view text, std::int64_t tabsize) {
    const std::uint64_t tab = tabsize < 0 ? 0 : std::uint64_t(tabsize);
    std::uint64_t column = 0, length = 0;
    const auto too_long = [] { return fail(PyError::overflow_error("new string is too long")); };
    for (std::size_t p = 0; p < text.size();) {
        char32_t c = utf8_next(text, p);
        if (c == '\t') {
            if (tab == 0) continue;
            std::uint64_t n = tab - column % tab;
            if (__builtin_add_overflow(column, n, &column) || __builtin_add_overflow(length, n, &length)) return too_long();
        } else {
            if (__builtin_add_overflow(length, 1, &length)) return too_long();
            if (c == '\n' || c == '\r') column = 0;
            else if (__builtin_add_overflow(column, 1, &column)) return too_long();
        }
    }
    if (auto c = charge_result(charges, length); !c) return fail(std::move(c.error()));
    std::string out;
    out.reserve(text.size() + (length - count_code_points(text)));
    column = 0;
    for (std::size_t p = 0; p < text.size();) {
        const std::size_t at = p;
        char32_t c = utf8_next(text, p);
        if (c == '\t') {
            if (tab == 0) continue;
            std::uint64_t n = tab - column % tab;
            out.append(n, ' ');
            column += n;
        } else {
            out.append(text.substr(at, p - at));
            column = (c == '\n' || c == '\r') ? 0 : column + 1;
        }
    }
    return out;
}

PyResult<ErrorHandler> parse_error_handler(std::string_view name, bool for_encode) {
    if (name == "strict") return ErrorHandler::Strict;
    if (name == "ignore") return ErrorHandler::Ignore;
    if (name == "replace") return ErrorHandler::Replace;
    if (name == "backslashreplace") return ErrorHandler::BackslashReplace;
    if (for_encode && name == "xmlcharrefreplace") return ErrorHandler::XmlCharRefReplace;
    return fail(PyError::exception("LookupError", fmt::format("unknown error handler name '{}'", name)));
}

std::string normalize_encoding(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        else if (c == '_') c = '-';
    }
    return out;
}

PyResult<Codec> lookup_codec(std::string_view n) {
    if (n == "utf-8" || n == "utf8") return Codec::Utf8;
    if (n == "ascii" || n == "us-ascii") return Codec::Ascii;
    if (n == "latin-1" || n == "latin1" || n == "iso-8859-1" || n == "iso8859-1") return Codec::Latin1;
    return fail(PyError::value_error("unknown text encoding"));
}

std::string encode_error_character(char32_t c) {
    const auto cat = utf8proc_category(utf8proc_int32_t(c));
    const bool printable = !(cat == UTF8PROC_CATEGORY_CC || cat == UTF8PROC_CATEGORY_CF || cat == UTF8PROC_CATEGORY_CS ||
                             cat == UTF8PROC_CATEGORY_CO || cat == UTF8PROC_CATEGORY_CN || cat == UTF8PROC_CATEGORY_ZL ||
                             cat == UTF8PROC_CATEGORY_ZP || (cat == UTF8PROC_CATEGORY_ZS && c != ' '));
    const bool mark = cat == UTF8PROC_CATEGORY_MN || cat == UTF8PROC_CATEGORY_MC || cat == UTF8PROC_CATEGORY_ME;
    if (!printable || mark) return fmt::format("\\u{{{:x}}}", std::uint32_t(c));
    std::string out;
    append_code_point(out, c);
    return out;
}

PyResult<std::string> str_encode(Charges& charges, std::string_view text, std::string_view encoding,
                                 std::string_view errors) {
    auto handler = parse_error_handler(errors, true);
    if (!handler) return fail(std::move(handler.error()));
    if (auto c = charges.charge_work(text.size()); !c) return fail(std::move(c.error()));
    const std::string name = normalize_encoding(encoding);
    auto codec = lookup_codec(name);
    if (!codec) return fail(std::move(codec.error()));
    if (*codec == Codec::Utf8) return std::string(text);
    const char32_t limit = *codec == Codec::Ascii ? 0x7F : 0xFF;
    std::string out;
    out.reserve(text.size());
    for (std::size_t p = 0; p < text.size();) {
        char32_t c = utf8_next(text, p);
        if (c <= limit) {
            out.push_back(char(c));
            continue;
        }
        switch (*handler) {
            case ErrorHandler::Strict:
                return fail(PyError::exception(
                    "UnicodeEncodeError",
                    fmt::format("'{}' codec can't encode character '{}'", name, encode_error_character(c))));
            case ErrorHandler::Ignore: break;
            case ErrorHandler::Replace: out.push_back('?'); break;
            case ErrorHandler::BackslashReplace:
                if (c < 0x100) out += fmt::format("\\x{:02x}", std::uint32_t(c));
                else if (c < 0x10000) out += fmt::format("\\u{:04x}", std::uint32_t(c));
                else out += fmt::format("\\U{:08x}", std::uint32_t(c));
                break;
            case ErrorHandler::XmlCharRefReplace: out += fmt::format("&#{};", std::uint32_t(c)); break;
        }
    }
    return out;
}

PyResult<std::string> str_translate(Charges& charges, std::string_view text, TranslateTable& table) {
    if (auto c = charges.charge_work(text.size()); !c) return fail(std::move(c.error()));
    std::string out;
    out.reserve(text.size());
    for (std::size_t p = 0; p < text.size();) {
        const std::size_t at = p;
        char32_t c = utf8_next(text, p);
        auto item = table.lookup(c);
        if (!item) return fail(std::move(item.error()));
        if (std::holds_alternative<TranslateKeep>(*item)) {
            out.append(text.substr(at, p - at));
        } else if (std::holds_alternative<TranslateDelete>(*item)) {
        } else if (auto* t = std::get_if<TranslateText>(&*item)) {
            if (auto m = charges.charge_memory(t->text.size()); !m) return fail(std::move(m.error()));
            out.append(t->text);
        } else if (auto* i = std::get_if<TranslateInt>(&*item)) {
            if (!i->in_i64 || i->value < 0 || i->value > 0x10FFFF || (i->value >= 0xD800 && i->value <= 0xDFFF))
                return fail(PyError::value_error("character mapping must be in range(0x110000)"));
            append_code_point(out, char32_t(i->value));
        } else {
            return fail(PyError::type_error("character mapping must return integer, None or str"));
        }
    }
    return out;
}

}  // namespace tw::py
