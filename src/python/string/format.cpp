#include "python/string/format.h"

#include <charconv>

namespace tw::py {

namespace {

PyError value_error(const char* message) { return PyError::value_error(message); }

// An unsigned decimal with an optional leading "+"; nothing for other texts and for values
// beyond 64 bits.
std::optional<std::uint64_t> field_index(std::string_view name) {
    if (name.starts_with('+')) name.remove_prefix(1);
    if (name.empty()) return std::nullopt;
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), v);
    if (ec != std::errc() || end != name.data() + name.size()) return std::nullopt;
    return v;
}

}  // namespace

PyResult<std::string> str_format(Charges& charges, std::string_view tmpl, FormatArguments& args) {
    std::string out;
    std::uint64_t next_auto = 0;
    bool used_auto = false, used_manual = false;
    std::size_t p = 0;
    while (p < tmpl.size()) {
        if (auto c = charges.charge_work(1); !c) return fail(std::move(c.error()));
        const char c = tmpl[p];
        if (c == '}') {
            if (p + 1 < tmpl.size() && tmpl[p + 1] == '}') {
                out.push_back('}');
                p += 2;
                continue;
            }
            return fail(value_error("single '}' in format string"));
        }
        if (c != '{') {
            // A literal code point (one work unit each).
            std::size_t q = p;
            utf8_next(tmpl, q);
            out.append(tmpl.substr(p, q - p));
            p = q;
            continue;
        }
        if (p + 1 < tmpl.size() && tmpl[p + 1] == '{') {
            out.push_back('{');
            p += 2;
            continue;
        }
        const std::size_t close = tmpl.find_first_of("{}", p + 1);
        if (close == std::string_view::npos || tmpl[close] == '{')
            return fail(value_error("unmatched '{' in format string"));
        std::string_view field = tmpl.substr(p + 1, close - p - 1);
        p = close + 1;

        std::string_view spec;
        if (std::size_t colon = field.find(':'); colon != std::string_view::npos) {
            spec = field.substr(colon + 1);
            field = field.substr(0, colon);
        }
        std::string_view name = field;
        char32_t conversion = 0;
        if (std::size_t bang = field.find('!'); bang != std::string_view::npos) {
            name = field.substr(0, bang);
            std::string_view conv = field.substr(bang + 1);
            if (conv.empty()) return fail(value_error("unknown format conversion"));
            std::size_t q = 0;
            const char32_t cp = utf8_next(conv, q);
            if (cp != 'r' && cp != 's' && cp != 'a') return fail(value_error("unknown format conversion"));
            if (q != conv.size()) return fail(value_error("invalid format conversion"));
            conversion = cp;
        }

        PyResult<std::string> piece;
        if (name.empty()) {
            if (used_manual)
                return fail(value_error("cannot switch from manual field specification to automatic field numbering"));
            if (next_auto >= args.positional_count()) return fail(value_error("replacement index out of range"));
            used_auto = true;
            piece = args.format_positional(next_auto++, conversion, spec);
        } else if (auto index = field_index(name)) {
            if (used_auto)
                return fail(value_error("cannot switch from automatic field numbering to manual field specification"));
            if (*index >= args.positional_count()) return fail(value_error("replacement index out of range"));
            used_manual = true;
            piece = args.format_positional(*index, conversion, spec);
        } else {
            piece = args.format_named(name, conversion, spec);
        }
        if (!piece) return fail(std::move(piece.error()));
        out.append(*piece);
    }
    if (auto c = charges.charge_memory(out.size()); !c) return fail(std::move(c.error()));
    return out;
}

}  // namespace tw::py
