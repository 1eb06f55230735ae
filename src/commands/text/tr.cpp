#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/text/line_commands.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::string_view kLower = "abcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kUpper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";

char32_t escaped(char32_t c) {
    switch (c) {
    case 'n': return '\n';
    case 't': return '\t';
    case 'r': return '\r';
    default: return c;
    }
}

// What translation does to one character: the index of its first place in set 1, if any.
class CharTable {
public:
    static constexpr std::uint32_t kAbsent = UINT32_MAX;

    void add_first(char32_t c, std::uint32_t index) {
        if (c < 128) {
            if (ascii_[c] == kAbsent) ascii_[c] = index;
        } else {
            other_.try_emplace(c, index);
        }
    }
    std::uint32_t find(char32_t c) const {
        if (c < 128) return ascii_[c];
        auto it = other_.find(c);
        return it == other_.end() ? kAbsent : it->second;
    }

private:
    std::array<std::uint32_t, 128> ascii_ = filled();
    std::unordered_map<char32_t, std::uint32_t> other_;

    static std::array<std::uint32_t, 128> filled() {
        std::array<std::uint32_t, 128> a;
        a.fill(kAbsent);
        return a;
    }
};

}  // namespace

namespace {

// A set operand with its classes replaced: the characters, and for each whether it came from a
// class (such a character is itself only, never an escape or the end of a range).
struct SetText {
    std::u32string chars;
    std::vector<bool> literal;
};

// The characters of a class name, in ascending order; empty for an unknown name.
std::string class_characters(std::string_view name) {
    const auto collect = [](auto predicate) {
        std::string out;
        for (int c = 0; c < 128; ++c)
            if (predicate(c)) out += static_cast<char>(c);
        return out;
    };
    const auto upper = [](int c) { return c >= 'A' && c <= 'Z'; };
    const auto lower = [](int c) { return c >= 'a' && c <= 'z'; };
    const auto digit = [](int c) { return c >= '0' && c <= '9'; };
    const auto graph = [](int c) { return c > 32 && c < 127; };
    if (name == "digit") return collect(digit);
    if (name == "lower") return std::string(kLower);
    if (name == "upper") return std::string(kUpper);
    if (name == "alpha") return std::string(kLower) + std::string(kUpper);
    if (name == "space") return " \t\n\r";
    if (name == "alnum") return collect([&](int c) { return digit(c) || upper(c) || lower(c); });
    if (name == "blank") return " \t";
    if (name == "cntrl") return collect([](int c) { return c < 32 || c == 127; });
    if (name == "graph") return collect(graph);
    if (name == "print") return collect([&](int c) { return c == ' ' || graph(c); });
    if (name == "punct") return collect([&](int c) { return graph(c) && !digit(c) && !upper(c) && !lower(c); });
    if (name == "xdigit") return collect([&](int c) { return digit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); });
    return {};
}

// The characters of a set operand after class replacement, before escapes and ranges.
SetText set_characters(std::string_view operand) {
    SetText set;
    std::size_t pos = 0;
    while (pos < operand.size()) {
        if (operand.substr(pos).starts_with("[:")) {
            const std::size_t close = operand.find(":]", pos + 2);
            if (close != std::string_view::npos) {
                const std::string members = class_characters(operand.substr(pos + 2, close - pos - 2));
                if (!members.empty()) {
                    for (char c : members) {
                        set.chars.push_back(static_cast<unsigned char>(c));
                        set.literal.push_back(true);
                    }
                    pos = close + 2;
                    continue;
                }
            }
        }
        set.chars.push_back(utf8_next_char(operand, pos));
        set.literal.push_back(false);
    }
    return set;
}

// Walks the expanded set: `single(c)` for one character, `range(first, last)` for an inclusive
// range of scalar values (first <= last).
template <typename Single, typename Range>
void walk_set(const SetText& set, Single single, Range range) {
    const std::u32string& chars = set.chars;
    const auto plain = [&](std::size_t i) { return !set.literal[i]; };
    std::size_t p = 0;
    while (p < chars.size()) {
        if (plain(p) && chars[p] == '\\' && p + 1 < chars.size()) {
            single(plain(p + 1) ? escaped(chars[p + 1]) : chars[p + 1]);
            p += 2;
        } else if (plain(p) && p + 2 < chars.size() && plain(p + 1) && chars[p + 1] == '-' && plain(p + 2)) {
            if (chars[p] <= chars[p + 2]) range(chars[p], chars[p + 2]);
            p += 3;
        } else {
            single(chars[p]);
            p += 1;
        }
    }
}

// The number of scalar values from first to last, both included, without the surrogates.
std::uint64_t range_size(char32_t first, char32_t last) {
    std::uint64_t n = static_cast<std::uint64_t>(last) - first + 1;
    const char32_t lo = std::max<char32_t>(first, 0xD800), hi = std::min<char32_t>(last, 0xDFFF);
    if (lo <= hi) n -= static_cast<std::uint64_t>(hi) - lo + 1;
    return n;
}

std::uint64_t expanded_size(const SetText& chars) {
    std::uint64_t n = 0;
    walk_set(chars, [&](char32_t) { ++n; }, [&](char32_t first, char32_t last) { n += range_size(first, last); });
    return n;
}

std::u32string expand(const SetText& chars) {
    std::u32string set;
    walk_set(
        chars, [&](char32_t c) { set.push_back(c); },
        [&](char32_t first, char32_t last) {
            for (char32_t c = first; c <= last; ++c) {
                if (c == 0xD800) c = 0xE000;
                if (c > last) break;
                set.push_back(c);
            }
        });
    return set;
}

// Sets up to this many bytes when expanded are built before their charge to see whether the
// translation can be streamed; the charge is then taken as for any set, once the input is in.
constexpr std::uint64_t kStreamedSetBytes = 4096;

// The byte map of translating set 1 to set 2 when both are ASCII (a character of set 1 becomes
// the character of set 2 at the place of its first occurrence, or the last one of set 2): bytes
// above 0x7F map to themselves. Nothing when a set holds any other character.
std::optional<std::array<char, 256>> ascii_byte_table(const std::u32string& set1, const std::u32string& set2) {
    const auto ascii = [](char32_t c) { return c < 0x80; };
    if (set2.empty() || !std::ranges::all_of(set1, ascii) || !std::ranges::all_of(set2, ascii)) return std::nullopt;
    std::array<char, 256> table;
    for (unsigned b = 0; b < 256; ++b) table[b] = static_cast<char>(b);
    std::array<bool, 128> seen{};
    for (std::size_t i = 0; i < set1.size(); ++i) {
        const char32_t c = set1[i];
        if (seen[c]) continue;
        seen[c] = true;
        table[c] = static_cast<char>(i < set2.size() ? set2[i] : set2.back());
    }
    return table;
}

// Writes the bytes of `in` through `map` to `out`. A map that moves one run of bytes by a fixed
// amount and keeps the rest (a-z to A-Z) is applied sixteen bytes at a time.
void map_bytes(const std::array<char, 256>& map, std::string_view in, char* out) {
    int lo = -1, hi = -1, delta = 0;
    bool shift = true;
    for (int b = 0; b < 256 && shift; ++b) {
        const int d = static_cast<unsigned char>(map[b]) - b;
        if (d == 0) continue;
        if (lo < 0) {
            lo = b;
            delta = d;
        } else if (b != hi + 1 || d != delta) {
            shift = false;
        }
        hi = b;
    }
    std::size_t i = 0;
    const std::size_t n = in.size();
#if defined(__SSE2__)
    if (shift && lo >= 0) {
        const __m128i low = _mm_set1_epi8(static_cast<char>(lo));
        const __m128i span = _mm_set1_epi8(static_cast<char>(hi - lo));
        const __m128i add = _mm_set1_epi8(static_cast<char>(delta));
        for (; i + 16 <= n; i += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in.data() + i));
            const __m128i offset = _mm_sub_epi8(x, low);
            const __m128i inside = _mm_cmpeq_epi8(_mm_min_epu8(offset, span), offset);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_add_epi8(x, _mm_and_si128(inside, add)));
        }
    }
#endif
    const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
    for (; i < n; ++i) out[i] = map[bytes[i]];
}

// Appends `in` translated through `map` to `out`, invalid UTF-8 replaced.
void translate_ascii(const std::array<char, 256>& map, std::string_view in, Bytes& out) {
    const std::size_t at = out.size();
    out.resize(at + in.size());
    map_bytes(map, in, out.data() + at);
    if (utf8_valid(std::string_view(out).substr(at))) return;
    std::string replaced = utf8_lossy(std::string_view(out).substr(at));
    out.resize(at);
    out += replaced;
}

// The fold state of a streamed translation: the byte map, the bytes its sets were charged at,
// then the bytes of a character cut by the end of what has arrived (they wait for the rest).
constexpr std::size_t kStreamHeader = 256 + sizeof(std::uint64_t);

void stream_translation(NativeStep& step, NativeInvocation& invocation, CommandIo& io, Bytes& fold) {
    std::array<char, 256> table;
    std::memcpy(table.data(), fold.data(), table.size());
    Bytes& out = command_stream_out(invocation, io);
    const bool pending = command_fold_stdin(step, invocation, io, [&](std::string_view bytes) {
        if (fold.size() == kStreamHeader) {
            const std::size_t cut = utf8_incomplete_tail(bytes);
            translate_ascii(table, bytes.substr(0, cut), out);
            fold.append(bytes.substr(cut));
            return;
        }
        fold += bytes;
        const std::string_view held = std::string_view(fold).substr(kStreamHeader);
        const std::size_t cut = utf8_incomplete_tail(held);
        translate_ascii(table, held.substr(0, cut), out);
        fold.erase(kStreamHeader, cut);
    });
    if (pending) return;
    std::uint64_t set_bytes = 0;
    std::memcpy(&set_bytes, fold.data() + table.size(), sizeof set_bytes);
    if (!invocation.sys.charge_memory(set_bytes)) {
        fold.clear();
        step = NativeStep::finished(invocation.sys.exhausted_status());
        return;
    }
    translate_ascii(table, std::string_view(fold).substr(kStreamHeader), out);
    fold.clear();
    invocation.sys.release_memory(set_bytes);
    step = NativeStep::finished(0);
}

}  // namespace

std::u32string tr_expand_set(std::string_view operand) { return expand(set_characters(operand)); }

void tr_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    // A streamed translation under way carries its byte map: the arguments were checked and the
    // sets built when it began.
    if (invocation.live_input != nullptr && invocation.live_input->folded.size() >= kStreamHeader) {
        stream_translation(step, invocation, io, invocation.live_input->folded);
        return;
    }
    const CommandArgs args = CommandArgs::parse(invocation.args);
    bool complement = false, del = false, squeeze = false;
    for (char32_t f : args.flags) {
        if (f == 'c') complement = true;
        else if (f == 'd') del = true;
        else if (f == 's') squeeze = true;
        else {
            push_message(io.err, "tr", "unimplemented option");
            step = NativeStep::finished(2);
            return;
        }
    }
    const std::size_t n = args.operands.size();
    const bool count_ok = del ? n == 1 : squeeze ? (n == 1 || n == 2) : n == 2;
    if (!count_ok) {
        push_message(io.err, "tr", "missing or extra operand");
        step = NativeStep::finished(1);
        return;
    }
    // Ranges can make a short operand a large set: its memory is charged before it is built.
    const SetText chars1 = set_characters(args.operands[0]);
    const SetText chars2 = n == 2 ? set_characters(args.operands[1]) : chars1;
    const std::uint64_t set_bytes =
        sat_mul(sat_add(expanded_size(chars1), expanded_size(chars2)), sizeof(char32_t));

    // A plain translation between small ASCII sets maps each byte to one byte: the input is
    // translated and written as it arrives. Bytes above 0x7F are kept and ASCII bytes stay ASCII,
    // so replacing invalid UTF-8 in the result gives what replacing it in the input would.
    if (!del && !squeeze && !complement && set_bytes <= kStreamedSetBytes) {
        if (auto table = ascii_byte_table(expand(chars1), expand(chars2))) {
            Bytes local;
            Bytes& fold = command_fold_state(invocation, local);
            fold.assign(std::string_view(table->data(), table->size()));
            fold.append(reinterpret_cast<const char*>(&set_bytes), sizeof set_bytes);
            stream_translation(step, invocation, io, fold);
            return;
        }
    }

    if (auto s = command_read_stdin(invocation, io)) {
        step = *s;
        return;
    }
    if (!invocation.sys.charge_memory(set_bytes)) {
        step = NativeStep::finished(invocation.sys.exhausted_status());
        return;
    }
    const std::u32string set1 = expand(chars1);
    const std::u32string set2 = n == 2 ? expand(chars2) : set1;
    CharTable first_index;
    for (std::size_t i = 0; i < set1.size(); ++i) first_index.add_first(set1[i], static_cast<std::uint32_t>(i));

    std::string storage;
    const std::string_view text = valid_utf8_view(io.in, storage);
    // Every output character is an input character or a character of set 2 standing for one, so
    // the output is at most the input times the longest encoding in set 2.
    std::size_t widest = 1;
    for (char32_t c : set2) widest = std::max<std::size_t>(widest, c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4);
    const std::size_t base = io.out.size();
    io.out.resize_and_overwrite(base + text.size() * widest, [&](char* buffer, std::size_t) {
        char* w = buffer + base;
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        const auto* end = p + text.size();
        auto put = [&](char32_t r) {
            if (r < 0x80) {
                *w++ = static_cast<char>(r);
                return;
            }
            std::string encoded;
            utf8_append(encoded, r);
            std::memcpy(w, encoded.data(), encoded.size());
            w += encoded.size();
        };
        if (del) {
            // A character is kept when its membership in set 1 equals the complement flag.
            std::array<bool, 128> ascii_kept;
            for (char32_t c = 0; c < 128; ++c) ascii_kept[c] = (first_index.find(c) != CharTable::kAbsent) == complement;
            while (p < end) {
                if (*p < 0x80) {
                    if (ascii_kept[*p]) *w++ = static_cast<char>(*p);
                    ++p;
                    continue;
                }
                const unsigned char* start = p;
                const char32_t c = next_valid_char(p);
                if ((first_index.find(c) != CharTable::kAbsent) == complement) {
                    std::memcpy(w, start, static_cast<std::size_t>(p - start));
                    w += p - start;
                }
            }
            return static_cast<std::size_t>(w - buffer);
        }
        // ASCII results are precomputed; everything else goes through the general path.
        std::unordered_set<char32_t> set2_members(set2.begin(), set2.end());
        // With -c the first set is every character not in set 1, in ascending order: a character's
        // place in it is its value less the members of set 1 (and the surrogates) below it.
        std::vector<char32_t> members(set1.begin(), set1.end());
        std::ranges::sort(members);
        members.erase(std::unique(members.begin(), members.end()), members.end());
        auto complement_index = [&](char32_t c) -> std::uint64_t {
            std::uint64_t below = static_cast<std::uint64_t>(std::ranges::lower_bound(members, c) - members.begin());
            if (c > 0xDFFF) below += 0x800;
            return static_cast<std::uint64_t>(c) - below;
        };
        auto translate = [&](char32_t c) -> char32_t {
            if (n < 2) return c;  // squeezing with one set translates nothing
            std::uint64_t i = first_index.find(c);
            if (complement) i = i == CharTable::kAbsent ? complement_index(c) : CharTable::kAbsent;
            if (i == CharTable::kAbsent || set2.empty()) return c;
            return i < set2.size() ? set2[i] : set2.back();
        };
        // Squeezing looks at set 2, or with one operand at the (complemented) set 1.
        auto squeezable = [&](char32_t c) {
            if (n == 2) return set2_members.contains(c);
            return (first_index.find(c) != CharTable::kAbsent) != complement;
        };
        std::array<char32_t, 128> ascii_map;
        std::array<bool, 128> ascii_in_set2;
        for (char32_t c = 0; c < 128; ++c) {
            ascii_map[c] = translate(c);
            ascii_in_set2[c] = squeezable(c);
        }
        if (!squeeze) {
            while (p < end) {
                if (*p < 0x80) {
                    put(ascii_map[*p++]);
                    continue;
                }
                const unsigned char* start = p;
                const char32_t c = next_valid_char(p);
                const char32_t r = translate(c);
                if (r == c) {
                    std::memcpy(w, start, static_cast<std::size_t>(p - start));
                    w += p - start;
                } else {
                    put(r);
                }
            }
            return static_cast<std::size_t>(w - buffer);
        }
        bool have_previous = false;
        char32_t previous = 0;
        while (p < end) {
            const char32_t r = *p < 0x80 ? ascii_map[*p++] : translate(next_valid_char(p));
            if (have_previous && r == previous && (r < 128 ? ascii_in_set2[r] : squeezable(r))) continue;
            put(r);
            previous = r;
            have_previous = true;
        }
        return static_cast<std::size_t>(w - buffer);
    });
    invocation.sys.release_memory(set_bytes);
    step = NativeStep::finished(0);
}

}  // namespace tw
