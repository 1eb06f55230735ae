#include "python/string/bytes_ops.h"

#include <algorithm>
#include <bitset>

#include <fmt/format.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "python/string/pad_encode.h"

namespace tw::py {

namespace {

bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr char kHexDigits[] = "0123456789abcdef";

void append_byte_escape(std::string& out, unsigned char b) {
    out += "\\x";
    out.push_back(kHexDigits[b >> 4]);
    out.push_back(kHexDigits[b & 15]);
}

// The length of the valid UTF-8 sequence at i, or 0.
std::size_t valid_utf8_at(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = b(0);
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (b(1) < lo || b(1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(k) < 0x80 || b(k) > 0xBF) return 0;
    return n;
}

}  // namespace

PyResult<std::string> bytes_decode(Charges& charges, std::string_view bytes, std::string_view encoding,
                                   std::string_view errors) {
    auto handler = parse_error_handler(errors, false);
    if (!handler) return fail(std::move(handler.error()));
    if (auto c = charges.charge_work(bytes.size()); !c) return fail(std::move(c.error()));
    auto codec = lookup_codec(normalize_encoding(encoding));
    if (!codec) return fail(std::move(codec.error()));
    std::string out;
    switch (*codec) {
        case Codec::Utf8:
            if (utf8_valid(bytes)) return std::string(bytes);
            if (*handler == ErrorHandler::Strict)
                return fail(PyError::exception("UnicodeDecodeError", "invalid UTF-8 byte sequence"));
            if (*handler == ErrorHandler::Replace) return utf8_lossy(bytes);
            out.reserve(bytes.size());
            for (std::size_t i = 0; i < bytes.size();) {
                if (std::size_t n = valid_utf8_at(bytes, i)) {
                    out.append(bytes.substr(i, n));
                    i += n;
                    continue;
                }
                if (*handler == ErrorHandler::BackslashReplace) append_byte_escape(out, static_cast<unsigned char>(bytes[i]));
                ++i;
            }
            return out;
        case Codec::Ascii:
            out.reserve(bytes.size());
            for (unsigned char b : bytes) {
                if (b < 0x80) {
                    out.push_back(char(b));
                    continue;
                }
                switch (*handler) {
                    case ErrorHandler::Strict:
                        return fail(PyError::exception("UnicodeDecodeError",
                                                       fmt::format("'ascii' codec can't decode byte 0x{:02x}", b)));
                    case ErrorHandler::Replace: out += "\xEF\xBF\xBD"; break;
                    case ErrorHandler::BackslashReplace: append_byte_escape(out, b); break;
                    default: break;
                }
            }
            return out;
        case Codec::Latin1:
            out.reserve(bytes.size() * 2);
            for (unsigned char b : bytes) append_code_point(out, b);
            return out;
    }
    return out;
}

PyResult<std::string> bytes_hex(Charges& charges, std::string_view bytes) {
    if (auto c = charges.charge_memory(sat_mul(2, bytes.size())); !c) return fail(std::move(c.error()));
    if (auto c = charges.charge_work(bytes.size()); !c) return fail(std::move(c.error()));
    std::string out(bytes.size() * 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        out[2 * i] = kHexDigits[b >> 4];
        out[2 * i + 1] = kHexDigits[b & 15];
    }
    return out;
}

PyResult<std::string> bytes_fromhex(Charges& charges, std::string_view text) {
    if (auto c = charges.charge_work(text.size()); !c) return fail(std::move(c.error()));
    std::string out;
    out.reserve(text.size() / 2);
    for (std::size_t p = 0; p < text.size();) {
        const auto c = static_cast<unsigned char>(text[p]);
        if (c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20) {
            ++p;
            continue;
        }
        const int hi = hex_value(c);
        const int lo = p + 1 < text.size() ? hex_value(static_cast<unsigned char>(text[p + 1])) : -1;
        if (hi < 0 || lo < 0)
            return fail(PyError::value_error(
                fmt::format("non-hexadecimal number found in fromhex() arg at position {}", hi < 0 ? p : p + 1)));
        out.push_back(char(hi << 4 | lo));
        p += 2;
    }
    return out;
}

PyResult<std::int64_t> bytes_find(Charges& charges, std::string_view hay, std::string_view sub, SearchBounds bounds,
                                  bool raise) {
    Window w = search_bounds(hay.size(), bounds);
    const std::uint64_t span = w.end > w.start ? w.end - w.start : 0;
    if (auto c = charges.charge_work(sat_add(span, sub.size())); !c) return fail(std::move(c.error()));
    std::int64_t result = -1;
    if (w.end >= w.start && w.end - w.start >= sub.size()) {
        std::size_t at = find_bytes(hay.substr(0, w.end), sub, w.start);
        if (at != kNotFound) result = std::int64_t(at);
    }
    if (result < 0 && raise) return fail(PyError::value_error("subsection not found"));
    return result;
}

PyResult<std::int64_t> bytes_count(Charges& charges, std::string_view hay, std::string_view sub, SearchBounds bounds) {
    Window w = search_bounds(hay.size(), bounds);
    if (sub.empty()) return w.start <= w.end ? std::int64_t(w.end - w.start + 1) : 0;
    if (w.start >= w.end) return 0;
    // One unit per position tried: the positions skipped by a match are not tried.
    std::string_view window = hay.substr(w.start, w.end - w.start);
    std::uint64_t count = 0, tried = 0;
    for (std::size_t pos = 0; pos + sub.size() <= window.size();) {
        std::size_t at = find_bytes(window, sub, pos);
        const std::size_t last = window.size() - sub.size();
        tried += (at == kNotFound ? last + 1 : at + 1) - pos;
        if (at == kNotFound) break;
        ++count;
        pos = at + sub.size();
    }
    if (auto c = charges.charge_work(tried); !c) return fail(std::move(c.error()));
    return std::int64_t(count);
}

PyResult<bool> bytes_affix_match(Charges& charges, std::string_view hay, std::span<const Affix> candidates,
                                 SearchBounds bounds, bool at_end) {
    Window w = search_bounds(hay.size(), bounds);
    const bool ok = w.start <= w.end;
    std::string_view window = ok ? hay.substr(w.start, w.end - w.start) : std::string_view();
    for (const Affix& a : candidates) {
        if (a.wrong_type)
            return fail(PyError::type_error(fmt::format("a bytes-like object is required, not '{}'", *a.wrong_type)));
        if (auto c = charges.charge_work(a.text.size()); !c) return fail(std::move(c.error()));
        if (ok && (at_end ? window.ends_with(a.text) : window.starts_with(a.text))) return true;
    }
    return false;
}

PyError bytes_join_item_error(std::uint64_t index, std::string_view type_name) {
    return PyError::type_error(fmt::format("sequence item {}: expected a bytes-like object, {} found", index, type_name));
}

PyResult<std::array<std::string_view, 3>> bytes_partition(Charges& charges, std::string_view bytes, std::string_view sep,
                                                          bool from_right) {
    if (sep.empty()) return fail(PyError::value_error("empty separator"));
    if (auto c = charges.charge_work(bytes.size()); !c) return fail(std::move(c.error()));
    return str_partition(bytes, sep, from_right);
}

PyResult<std::string> bytes_center(Charges& charges, std::string_view bytes, std::int64_t width, std::string_view fill) {
    if (fill.size() != 1) return fail(PyError::type_error("center() argument 2 must be a byte string of length 1"));
    const std::uint64_t w = width < 1 ? 0 : std::uint64_t(width);
    const std::uint64_t pad = w > bytes.size() ? w - bytes.size() : 0;
    const std::uint64_t total = pad + bytes.size();
    if (auto c = charges.charge_memory(total); !c) return fail(std::move(c.error()));
    if (auto c = charges.charge_work(total); !c) return fail(std::move(c.error()));
    const std::uint64_t left = pad / 2 + (pad & w & 1);
    std::string out;
    out.reserve(total);
    out.append(left, fill[0]).append(bytes).append(pad - left, fill[0]);
    return out;
}

PyResult<std::string_view> bytes_strip(Charges& charges, std::string_view bytes, std::optional<std::string_view> chars,
                                       StripSide side) {
    if (auto c = charges.charge_work(bytes.size()); !c) return fail(std::move(c.error()));
    std::bitset<256> set;
    if (chars) {
        for (unsigned char c : *chars) set.set(c);
    } else {
        for (unsigned char c : std::string_view("\t\n\v\f\r ")) set.set(c);
    }
    std::size_t b = 0, e = bytes.size();
    if (side != StripSide::Right)
        while (b < e && set.test(static_cast<unsigned char>(bytes[b]))) ++b;
    if (side != StripSide::Left)
        while (e > b && set.test(static_cast<unsigned char>(bytes[e - 1]))) --e;
    return bytes.substr(b, e - b);
}

PyResult<std::vector<std::string_view>> bytes_split(Charges& charges, std::string_view bytes,
                                                    std::optional<std::string_view> sep, std::int64_t maxsplit) {
    if (sep && sep->empty()) return fail(PyError::value_error("empty separator"));
    if (auto c = charges.charge_work(bytes.size()); !c) return fail(std::move(c.error()));
    const std::uint64_t limit = maxsplit < 0 ? ~std::uint64_t(0) : std::uint64_t(maxsplit);
    std::vector<std::string_view> parts;
    auto part = [&](std::string_view v) -> PyStatus {
        if (auto c = charges.charge_memory(sat_add(v.size(), 16)); !c) return c;
        parts.push_back(v);
        return {};
    };
    std::size_t p = 0;
    if (!sep) {
        for (std::uint64_t made = 0;;) {
            while (p < bytes.size() && is_ascii_space(static_cast<unsigned char>(bytes[p]))) ++p;
            if (p >= bytes.size()) break;
            if (made == limit) {
                if (auto c = part(bytes.substr(p)); !c) return fail(std::move(c.error()));
                break;
            }
            std::size_t e = p;
            while (e < bytes.size() && !is_ascii_space(static_cast<unsigned char>(bytes[e]))) ++e;
            if (auto c = part(bytes.substr(p, e - p)); !c) return fail(std::move(c.error()));
            ++made;
            p = e;
        }
        return parts;
    }
    for (std::uint64_t cuts = 0; cuts < limit; ++cuts) {
        std::size_t at = find_bytes(bytes, *sep, p);
        if (at == kNotFound) break;
        if (auto c = part(bytes.substr(p, at - p)); !c) return fail(std::move(c.error()));
        p = at + sep->size();
    }
    if (auto c = part(bytes.substr(p)); !c) return fail(std::move(c.error()));
    return parts;
}

PyResult<std::vector<std::string_view>> bytes_splitlines(Charges& charges, std::string_view bytes, bool keepends) {
    if (auto c = charges.charge_work(bytes.size()); !c) return fail(std::move(c.error()));
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t p = 0; p < bytes.size();) {
        const char c = bytes[p];
        if (c != '\n' && c != '\r') {
            ++p;
            continue;
        }
        const std::size_t end = p;
        p += (c == '\r' && p + 1 < bytes.size() && bytes[p + 1] == '\n') ? 2 : 1;
        std::string_view line = bytes.substr(start, (keepends ? p : end) - start);
        if (auto m = charges.charge_memory(sat_add(line.size(), 16)); !m) return fail(std::move(m.error()));
        lines.push_back(line);
        start = p;
    }
    if (start < bytes.size()) {
        if (auto m = charges.charge_memory(sat_add(bytes.size() - start, 16)); !m) return fail(std::move(m.error()));
        lines.push_back(bytes.substr(start));
    }
    return lines;
}

PyResult<std::string> bytes_case(Charges& charges, std::string_view bytes, bool upper) {
    if (auto c = charges.charge_memory(bytes.size()); !c) return fail(std::move(c.error()));
    if (auto c = charges.charge_work(bytes.size()); !c) return fail(std::move(c.error()));
    std::string out(bytes);
    for (char& c : out) {
        if (upper && c >= 'a' && c <= 'z') c = char(c - 32);
        else if (!upper && c >= 'A' && c <= 'Z') c = char(c + 32);
    }
    return out;
}

PyResult<std::string> bytes_replace(Charges& charges, std::string_view bytes, std::string_view old,
                                    std::string_view with, std::int64_t count) {
    if (auto c = charges.charge_work(bytes.size()); !c) return fail(std::move(c.error()));
    const std::uint64_t limit = count < 0 ? ~std::uint64_t(0) : std::uint64_t(count);
    const std::uint64_t matches =
        old.empty() ? std::min<std::uint64_t>(limit, sat_add(bytes.size(), 1)) : count_bytes(bytes, old, limit);
    std::uint64_t size = bytes.size() - matches * old.size(), added;
    if (__builtin_mul_overflow(matches, std::uint64_t(with.size()), &added) || __builtin_add_overflow(size, added, &size))
        return fail_resource("replaced bytes are too large");
    if (auto c = charges.charge_memory(size); !c) return fail(std::move(c.error()));
    if (auto c = charges.charge_work(size); !c) return fail(std::move(c.error()));
    std::string out;
    out.reserve(size);
    std::size_t p = 0;
    for (std::uint64_t k = 0; k < matches; ++k) {
        if (old.empty()) {
            out.append(with);
            if (p < bytes.size()) out.push_back(bytes[p++]);
            continue;
        }
        std::size_t at = find_bytes(bytes, old, p);
        out.append(bytes.substr(p, at - p)).append(with);
        p = at + old.size();
    }
    out.append(bytes.substr(p));
    return out;
}

}  // namespace tw::py
