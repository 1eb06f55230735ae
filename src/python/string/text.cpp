#include "python/string/text.h"

#include <cstring>

#include "base/utf8.h"

namespace tw::py {

std::uint64_t count_code_points(std::string_view s) {
    std::uint64_t n = 0;
    for (unsigned char c : s) n += !utf8_is_continuation(c);
    return n;
}

std::u32string decode_code_points(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    for (std::size_t p = 0; p < s.size();) out.push_back(utf8_next(s, p));
    return out;
}

void append_code_point(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(char(c));
        return;
    }
    utf8_append(out, c);
}

std::size_t StrText::byte_offset(std::uint64_t index) const {
    if (ascii()) return index;
    if (index >= chars) return bytes.size();
    if (index <= chars / 2) {
        std::size_t p = 0;
        for (std::uint64_t k = 0; k < index; ++k) {
            ++p;
            while (p < bytes.size() && utf8_is_continuation(static_cast<unsigned char>(bytes[p]))) ++p;
        }
        return p;
    }
    std::size_t p = bytes.size();
    for (std::uint64_t k = chars; k > index; --k) {
        --p;
        while (p > 0 && utf8_is_continuation(static_cast<unsigned char>(bytes[p]))) --p;
    }
    return p;
}

CodePointIndex::CodePointIndex(StrText text) : text_(text) {
    if (text.ascii()) return;
    checkpoints_.reserve(text.chars / 64 + 1);
    std::uint64_t k = 0;
    for (std::size_t p = 0; p < text.bytes.size(); ++p) {
        if (utf8_is_continuation(static_cast<unsigned char>(text.bytes[p]))) continue;
        if (k % 64 == 0) checkpoints_.push_back(p);
        ++k;
    }
}

std::size_t CodePointIndex::byte_offset(std::uint64_t index) const {
    if (text_.ascii()) return index;
    if (index >= text_.chars) return text_.bytes.size();
    std::size_t p = checkpoints_[index / 64];
    for (std::uint64_t k = index % 64; k > 0; --k) {
        ++p;
        while (utf8_is_continuation(static_cast<unsigned char>(text_.bytes[p]))) ++p;
    }
    return p;
}

char32_t CodePointIndex::at(std::uint64_t index) const {
    std::size_t p = byte_offset(index);
    return utf8_next(text_.bytes, p);
}

bool is_str_whitespace(char32_t c) {
    if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || c == 0x20;
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::size_t find_bytes(std::string_view hay, std::string_view needle, std::size_t from) {
    if (from > hay.size()) return kNotFound;
    if (needle.empty()) return from;
    if (needle.size() == 1) {
        const void* hit = std::memchr(hay.data() + from, needle[0], hay.size() - from);
        return hit ? std::size_t(static_cast<const char*>(hit) - hay.data()) : kNotFound;
    }
    const void* hit = ::memmem(hay.data() + from, hay.size() - from, needle.data(), needle.size());
    return hit ? std::size_t(static_cast<const char*>(hit) - hay.data()) : kNotFound;
}

std::size_t rfind_bytes(std::string_view hay, std::string_view needle, std::size_t end) {
    if (end > hay.size()) end = hay.size();
    if (needle.size() > end) return kNotFound;
    if (needle.size() == 1) {
        const void* hit = ::memrchr(hay.data(), needle[0], end);
        return hit ? std::size_t(static_cast<const char*>(hit) - hay.data()) : kNotFound;
    }
    return hay.substr(0, end).rfind(needle);
}

std::uint64_t count_bytes(std::string_view hay, std::string_view needle, std::uint64_t limit) {
    std::uint64_t n = 0;
    for (std::size_t p = 0; n < limit;) {
        p = find_bytes(hay, needle, p);
        if (p == kNotFound) break;
        ++n;
        p += needle.size();
    }
    return n;
}

Window search_bounds(std::uint64_t length, SearchBounds bounds) {
    const auto n = std::int64_t(length);
    std::int64_t start = 0, end = n;
    if (bounds.start) start = *bounds.start >= 0 ? *bounds.start : std::max<std::int64_t>(n + *bounds.start, 0);
    if (bounds.end) end = *bounds.end >= 0 ? std::min(*bounds.end, n) : std::max<std::int64_t>(n + *bounds.end, 0);
    Window w;
    w.start = std::uint64_t(start);
    w.end = std::uint64_t(end);
    w.exists = end >= start && start <= n;
    return w;
}

}  // namespace tw::py
