#include "commands/util/options.h"
#include "base/utf8.h"

#include <fmt/format.h>

namespace tw {

char32_t utf8_next_char(std::string_view text, std::size_t& pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b0 = byte(pos);
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    std::size_t length = 0;
    char32_t c = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) { length = 2; c = b0 & 0x1F; min = 0x80; }
    else if ((b0 & 0xF0) == 0xE0) { length = 3; c = b0 & 0x0F; min = 0x800; }
    else if ((b0 & 0xF8) == 0xF0) { length = 4; c = b0 & 0x07; min = 0x10000; }
    if (length == 0 || pos + length > text.size()) {
        ++pos;
        return 0xFFFD;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char b = byte(pos + i);
        if ((b & 0xC0) != 0x80) {
            ++pos;
            return 0xFFFD;
        }
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++pos;
        return 0xFFFD;
    }
    pos += length;
    return c;
}


namespace {

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

std::string char_text(char32_t c) {
    std::string s;
    utf8_append(s, c);
    return s;
}

}  // namespace

CommandArgs CommandArgs::parse(std::span<const std::string> args) {
    CommandArgs result;
    bool ended = false;
    for (const std::string& arg : args) {
        const std::string_view a = arg;
        if (ended) {
            result.operands.push_back(a);
        } else if (a == "--") {
            ended = true;
        } else if (a.starts_with("--")) {
            const std::string_view rest = a.substr(2);
            const std::size_t eq = rest.find('=');
            if (eq == std::string_view::npos) result.long_options.emplace_back(rest, std::string_view());
            else result.long_options.emplace_back(rest.substr(0, eq), rest.substr(eq + 1));
        } else if (a.size() > 1 && a[0] == '-' && !is_ascii_digit(a[1])) {
            std::size_t pos = 1;
            while (pos < a.size()) result.flags.push_back(utf8_next_char(a, pos));
        } else {
            result.operands.push_back(a);
        }
    }
    return result;
}

bool CommandArgs::has_flag(char32_t flag) const {
    for (char32_t f : flags)
        if (f == flag) return true;
    return false;
}

std::optional<std::string_view> CommandArgs::long_value(std::string_view name) const {
    std::optional<std::string_view> value;
    for (const auto& [n, v] : long_options)
        if (n == name) value = v;
    return value;
}

bool ScannedOptions::has(int id) const {
    for (const ScannedOption& o : options)
        if (o.id == id) return true;
    return false;
}

std::optional<std::string_view> ScannedOptions::last_value(int id) const {
    std::optional<std::string_view> value;
    for (const ScannedOption& o : options)
        if (o.id == id && o.value) value = o.value;
    return value;
}

Result<ScannedOptions, std::string> scan_options(std::span<const std::string> args,
                                                 std::span<const OptionSpec> table) {
    ScannedOptions result;
    bool ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (ended || a == "-" || !a.starts_with('-')) {
            result.operands.push_back(a);
            continue;
        }
        if (a == "--") {
            ended = true;
            continue;
        }
        if (a.starts_with("--")) {
            const std::string_view rest = a.substr(2);
            const std::size_t eq = rest.find('=');
            const std::string_view name = rest.substr(0, eq);
            const OptionSpec* spec = nullptr;
            for (const OptionSpec& row : table)
                if (row.long_name == name) {
                    spec = &row;
                    break;
                }
            if (spec == nullptr) return std::unexpected(fmt::format("unsupported option '--{}'", name));
            std::optional<std::string_view> attached;
            if (eq != std::string_view::npos) attached = rest.substr(eq + 1);
            switch (spec->value) {
            case OptionValue::None:
                if (attached) return std::unexpected(fmt::format("option '--{}' does not take an argument", name));
                result.options.push_back({spec->id, std::nullopt});
                break;
            case OptionValue::Required:
                if (!attached) {
                    if (i + 1 >= args.size())
                        return std::unexpected(fmt::format("option '--{}' requires an argument", name));
                    attached = std::string_view(args[++i]);
                }
                result.options.push_back({spec->id, attached});
                break;
            case OptionValue::Optional: result.options.push_back({spec->id, attached}); break;
            }
            continue;
        }
        // A cluster of short letters.
        std::size_t pos = 1;
        while (pos < a.size()) {
            const char32_t letter = utf8_next_char(a, pos);
            const OptionSpec* spec = nullptr;
            for (const OptionSpec& row : table)
                if (row.short_name != 0 && row.short_name == letter) {
                    spec = &row;
                    break;
                }
            if (spec == nullptr) return std::unexpected(fmt::format("unsupported option '-{}'", char_text(letter)));
            if (spec->value == OptionValue::None) {
                result.options.push_back({spec->id, std::nullopt});
                continue;
            }
            if (pos < a.size()) {
                result.options.push_back({spec->id, a.substr(pos)});
            } else if (spec->value == OptionValue::Required) {
                if (i + 1 >= args.size())
                    return std::unexpected(fmt::format("option '-{}' requires an argument", char_text(letter)));
                result.options.push_back({spec->id, std::string_view(args[++i])});
            } else {
                result.options.push_back({spec->id, std::nullopt});
            }
            break;
        }
    }
    return result;
}

}  // namespace tw
