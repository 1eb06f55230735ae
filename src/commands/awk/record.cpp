// The current record: splitting into fields (done when a field or NF is first read), field reads
// and assignments.
#include <fmt/format.h>

#include <array>
#include <cmath>
#include <cstring>

#include "base/sat.h"
#include "commands/awk/runtime.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::string_view kRegexMeta = "\\^$.[]|()*+?{}";

// 1 for the ASCII white-space bytes (blank, tab, line feed, vertical tab, form feed, carriage return).
constexpr auto kAsciiSpace = [] {
    std::array<std::uint8_t, 128> table{};
    for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) table[c] = 1;
    return table;
}();

}  // namespace

std::size_t awk_space_length(std::string_view t, std::size_t i) {
    const auto b = static_cast<unsigned char>(t[i]);
    if (b < 0x80) return kAsciiSpace[b];
    const std::size_t len = utf8_sequence_length(t, i);
    if (b < 0xC0 || len < 2) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(t.data() + i);
    return is_white_space(next_valid_char(p)) ? len : 0;
}

bool AwkRuntime::make_splitter(std::string_view separator, AwkSplitter& out) {
    out.source.assign(separator);
    out.pattern.reset();
    if (separator.empty() || separator == " ") {
        out.mode = AwkSplitter::Mode::Blank;
        return true;
    }
    if (separator.find_first_of(kRegexMeta) == std::string_view::npos) {
        out.mode = separator.size() == 1 ? AwkSplitter::Mode::Byte : AwkSplitter::Mode::Literal;
        out.byte = separator.front();
        return true;
    }
    if (auto it = dynamic_.find(separator); it != dynamic_.end()) {
        out.mode = AwkSplitter::Mode::Pattern;
        out.pattern.emplace(it->second);
        return true;
    }
    auto compiled = Regex::compile(separator);
    if (!compiled) {
        out.source.clear();
        out.mode = AwkSplitter::Mode::Blank;
        return fail_error(fmt::format("invalid field separator: {}", error_text(compiled.error())));
    }
    out.mode = AwkSplitter::Mode::Pattern;
    out.pattern.emplace(*compiled);
    remember_dynamic(separator, std::move(*compiled));
    return true;
}

bool AwkRuntime::prepare_record_splitter() {
    if (splitter_ready_ && record_splitter_.source == fs) return true;
    splitter_ready_ = make_splitter(fs, record_splitter_);
    return splitter_ready_;
}

void AwkRuntime::set_record_text(std::string_view text, bool borrowed) {
    if (borrowed) {
        record_ = text;
    } else {
        record_storage_.assign(text);
        record_ = record_storage_;
    }
    nfields_ = 0;
    split_done_ = false;
}

void AwkRuntime::replace_field(std::size_t n, std::string_view text) {
    std::string rebuilt;
    std::size_t size = 0;
    const std::size_t count = std::max(n, nfields_);
    for (std::size_t i = 0; i < count; ++i) size += (i + 1 == n ? text.size() : i < nfields_ ? fields_[i].size() : 0);
    rebuilt.reserve(size + (count > 0 ? (count - 1) * ofs.size() : 0));
    // Offsets of the fields in the new record.
    std::vector<std::pair<std::size_t, std::size_t>> spans(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) rebuilt += ofs;
        const std::string_view piece = i + 1 == n ? text : i < nfields_ ? fields_[i] : std::string_view{};
        spans[i] = {rebuilt.size(), piece.size()};
        rebuilt += piece;
    }
    record_storage_ = std::move(rebuilt);
    record_ = record_storage_;
    if (fields_.size() < count) fields_.resize(count);
    for (std::size_t i = 0; i < count; ++i) fields_[i] = record_.substr(spans[i].first, spans[i].second);
    nfields_ = count;
    split_done_ = true;
}

bool AwkRuntime::split_current() {
    if (split_done_) return true;
    split_done_ = true;
    std::size_t count = 0;
    if (!awk_split_text(*this, record_splitter_, record_, fields_, count)) {
        nfields_ = 0;
        return false;
    }
    std::uint64_t cost = 0;
    for (std::size_t i = 0; i < count; ++i) cost = sat_add(cost, sat_add(fields_[i].size(), 32));
    if (!adjust_memory(0, cost)) {
        nfields_ = 0;
        return false;
    }
    record_memory = cost;
    nfields_ = count;
    return true;
}

bool AwkRuntime::nf(std::uint64_t& out) {
    if (!split_current()) return false;
    out = nfields_;
    return true;
}

bool awk_split_text(AwkRuntime& rt, const AwkSplitter& s, std::string_view text,
                    std::vector<std::string_view>& storage, std::size_t& count) {
    count = 0;
    const auto put = [&](std::string_view piece) {
        if (count == storage.size()) storage.emplace_back();
        storage[count++] = piece;
    };
    switch (s.mode) {
    case AwkSplitter::Mode::Blank: {
        // ASCII bytes decide by a table; other characters are decoded.
        const std::size_t size = text.size();
        std::size_t i = 0;
        while (i < size) {
            std::size_t n;
            while (i < size && (n = awk_space_length(text, i)) != 0) i += n;
            if (i >= size) break;
            const std::size_t start = i;
            // Eight bytes at a time while none is a control, a blank or outside ASCII.
            while (i + 8 <= size) {
                std::uint64_t w;
                std::memcpy(&w, text.data() + i, 8);
                constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
                if ((((w - 0x2121212121212121ULL) & ~w) | w) & kHigh) break;
                i += 8;
            }
            while (i < size) {
                const auto b = static_cast<unsigned char>(text[i]);
                if (b < 0x80) {
                    if (kAsciiSpace[b]) break;
                    ++i;
                    continue;
                }
                if (awk_space_length(text, i) != 0) break;
                i += utf8_sequence_length(text, i);
            }
            put(text.substr(start, i - start));
        }
        return true;
    }
    case AwkSplitter::Mode::Byte: {
        const char* p = text.data();
        const char* end = p + text.size();
        while (true) {
            const void* at = std::memchr(p, s.byte, static_cast<std::size_t>(end - p));
            if (!at) break;
            const char* hit = static_cast<const char*>(at);
            put(std::string_view(p, static_cast<std::size_t>(hit - p)));
            p = hit + 1;
        }
        put(std::string_view(p, static_cast<std::size_t>(end - p)));
        return true;
    }
    case AwkSplitter::Mode::Literal: {
        std::size_t start = 0;
        while (true) {
            const std::size_t at = text.find(s.source, start);
            if (at == std::string_view::npos) break;
            put(text.substr(start, at - start));
            start = at + s.source.size();
        }
        put(text.substr(start));
        return true;
    }
    case AwkSplitter::Mode::Pattern: {
        MatchCursor cursor(*s.pattern, text, 0, EmptyAfterMatch::Skipped);
        std::size_t start = 0;
        while (true) {
            auto m = cursor.next();
            if (!m) return rt.fail_match(m.error());
            if (!*m) break;
            put(text.substr(start, (*m)->start() - start));
            start = (*m)->end();
        }
        put(text.substr(start));
        return true;
    }
    }
    return true;
}

bool awk_set_record(AwkRuntime& rt, std::string_view text, bool input_line) {
    if (!input_line && !rt.charge_cpu(text.size())) return false;
    rt.clear_fields();
    if (rt.record_memory != 0) {
        rt.adjust_memory(rt.record_memory, 0);
        rt.record_memory = 0;
    }
    if (!rt.prepare_record_splitter()) return false;
    rt.set_record_text(text, input_line);
    return true;
}

std::uint64_t awk_field_index(const AwkValue& v) { return awk_field_index(awk_to_number(v)); }

std::uint64_t awk_field_index(double x) {
    if (std::isnan(x) || x < 0) return 0;
    if (x >= 18446744073709551616.0) return kU64Max;
    return static_cast<std::uint64_t>(x);
}

bool awk_get_field(AwkRuntime& rt, std::uint64_t index, AwkValue& out) {
    if (index == 0) {
        out.set_text(rt.record());
        return true;
    }
    if (!rt.split_current()) return false;
    if (index <= rt.field_count()) out.set_text(rt.field(index));
    else out.set_uninit();
    return true;
}

bool awk_assign_field(AwkRuntime& rt, std::uint64_t n, std::string_view text) {
    if (n == 0) return awk_set_record(rt, text, false);
    if (!rt.split_current()) return false;
    const std::uint64_t nf = rt.field_count();
    std::uint64_t estimate = 0;
    for (std::uint64_t i = 1; i <= nf; ++i)
        if (i != n) estimate = sat_add(estimate, rt.field(i).size());
    estimate = sat_add(estimate, text.size());
    estimate = sat_add(estimate, sat_mul(n - 1, rt.ofs.size()));
    if (n > nf) estimate = sat_add(estimate, sat_mul(24, n - nf));
    if (!rt.sys.charge_memory(estimate)) return rt.fail_exhausted();
    if (!rt.sys.charge_cpu(estimate)) {
        rt.sys.release_memory(estimate);
        return rt.fail_exhausted();
    }
    rt.replace_field(static_cast<std::size_t>(n), text);
    rt.sys.release_memory(estimate);
    return true;
}

}  // namespace tw
