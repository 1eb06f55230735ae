#include "commands/text/line_order.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

namespace tw {

namespace {

// The eight bytes of `line` from `at` on as a big-endian number, zero-padded past its end.
std::uint64_t load_key(const char* line, std::uint64_t size, std::uint64_t at) {
    if (size >= at + 8) {
        std::uint64_t word;
        std::memcpy(&word, line + at, 8);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        return word;
    }
    std::uint64_t key = 0;
    for (std::uint64_t i = 0; i < 8; ++i)
        key = (key << 8) | (at + i < size ? static_cast<unsigned char>(line[at + i]) : 0u);
    return key;
}

// How many bytes `a` and `b` agree on, of their first `n`.
std::uint64_t common_prefix(const char* a, const char* b, std::uint64_t n) {
    std::uint64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) break;
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// A range of lines that agree on their first `depth` bytes; their keys hold the eight bytes from
// `depth` rounded down to a multiple of eight.
struct Range {
    std::size_t lo = 0;
    std::size_t hi = 0;
    std::uint64_t depth = 0;
};

// Below this many lines a range is ordered by comparison.
constexpr std::size_t kSmallRange = 32;

}  // namespace

void order_lines_by_bytes(std::string_view text, std::span<LineAt> lines) {
    const char* const base = text.data();
    // The lines' bytes are scattered over the text: the ones a few places ahead are fetched early.
    constexpr std::size_t kAhead = 16;
    const auto reload = [&](std::size_t lo, std::size_t hi, std::uint64_t at) {
        for (std::size_t i = lo; i < hi; ++i) {
            if (i + kAhead < hi) __builtin_prefetch(base + lines[i + kAhead].offset + at);
            lines[i].key = load_key(base + lines[i].offset, lines[i].size, at);
        }
    };
    reload(0, lines.size(), 0);
    std::vector<Range> pending;
    if (lines.size() > 1) pending.push_back({0, lines.size(), 0});
    std::array<std::size_t, 257> count{};
    std::array<std::size_t, 257> next{};
    std::array<std::size_t, 257> ends{};
    while (!pending.empty()) {
        Range range = pending.back();
        pending.pop_back();
        const std::uint64_t word = range.depth & ~std::uint64_t{7};
        if (range.depth == word && range.depth > 0) reload(range.lo, range.hi, word);
        if (range.hi - range.lo < kSmallRange) {
            // The keys hold the bytes from `word` on, which is where the lines may start to
            // differ; lines with equal keys differ only past them, or by where they end.
            const auto less = [&](const LineAt& a, const LineAt& b) {
                if (a.key != b.key) return a.key < b.key;
                if (a.size < word + 8 || b.size < word + 8) return a.size < b.size;
                return std::string_view(base + a.offset + word + 8, a.size - word - 8) <
                       std::string_view(base + b.offset + word + 8, b.size - word - 8);
            };
            std::sort(lines.begin() + static_cast<std::ptrdiff_t>(range.lo),
                      lines.begin() + static_cast<std::ptrdiff_t>(range.hi), less);
            continue;
        }
        if (range.depth == word) {
            // Lines that share all eight bytes of the word (a long common prefix) go on to the
            // next word at once.
            const LineAt& first = lines[range.lo];
            bool shared = first.size >= word + 8;
            for (std::size_t i = range.lo + 1; shared && i < range.hi; ++i)
                shared = lines[i].key == first.key && lines[i].size >= word + 8;
            if (shared) {
                // All of them share at least this word: measure how far they agree, whole words.
                std::uint64_t common = first.size - word;
                for (std::size_t i = range.lo + 1; i < range.hi && common > 8; ++i)
                    common = common_prefix(base + first.offset + word, base + lines[i].offset + word,
                                           std::min(common, lines[i].size - word));
                pending.push_back({range.lo, range.hi, word + (common & ~std::uint64_t{7})});
                continue;
            }
        }
        // Bucket 0 holds the lines that end at `depth` (all equal), bucket 1 + b those whose byte
        // there is b.
        const std::uint64_t depth = range.depth;
        const unsigned shift = static_cast<unsigned>(56 - 8 * (depth - word));
        const auto bucket = [depth, shift](const LineAt& line) -> std::size_t {
            return line.size <= depth ? 0 : 1 + ((line.key >> shift) & 0xFF);
        };
        count.fill(0);
        for (std::size_t i = range.lo; i < range.hi; ++i) ++count[bucket(lines[i])];
        const std::size_t n = range.hi - range.lo;
        if (count[0] == n) continue;  // all equal
        if (std::find(count.begin() + 1, count.end(), n) != count.end()) {
            pending.push_back({range.lo, range.hi, depth + 1});  // one byte for all: look further
            continue;
        }
        std::size_t at = range.lo;
        for (std::size_t b = 0; b < count.size(); ++b) {
            next[b] = at;
            at += count[b];
            ends[b] = at;
        }
        // In place: the line in hand is swapped into its bucket until the one taken out belongs
        // to the bucket being filled.
        for (std::size_t b = 0; b < count.size(); ++b) {
            while (next[b] < ends[b]) {
                LineAt held = lines[next[b]];
                for (std::size_t k = bucket(held); k != b; k = bucket(held)) std::swap(held, lines[next[k]++]);
                lines[next[b]++] = held;
            }
        }
        for (std::size_t b = 1; b < count.size(); ++b)
            if (count[b] > 1) pending.push_back({ends[b] - count[b], ends[b], depth + 1});
    }
}

}  // namespace tw
