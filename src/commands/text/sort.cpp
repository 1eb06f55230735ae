#include <algorithm>
#include <bit>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <utf8proc.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/text/layout_commands.h"
#include "commands/text/line_order.h"
#include "commands/text/text_lines.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

struct SortKey {
    std::uint64_t field = 0;                // zero-based first field
    std::optional<std::uint64_t> last;      // zero-based last field; absent: to the end of the line
    bool numeric = false;
    bool reverse = false;
    bool fold = false;
    bool has_letters() const { return numeric || reverse || fold; }
};

struct SortOptions {
    bool numeric = false;
    bool reverse = false;
    bool unique = false;
    bool stable = false;
    char separator = '\n';
    bool ignore_case = false;
    std::vector<SortKey> keys;  // compared in order
    std::optional<char32_t> field_separator;
    std::optional<std::string_view> output;
};

enum SortOption : int { Numeric, Reverse, Zero, Unique, IgnoreCase, Stable, Key, FieldSeparator, Output, Help };

constexpr OptionSpec kSortOptions[] = {
    {"numeric-sort", 'n', OptionValue::None, Numeric},
    {"reverse", 'r', OptionValue::None, Reverse},
    {"zero-terminated", 'z', OptionValue::None, Zero},
    {"unique", 'u', OptionValue::None, Unique},
    {"ignore-case", 'f', OptionValue::None, IgnoreCase},
    {"stable", 's', OptionValue::None, Stable},
    {"key", 'k', OptionValue::Required, Key},
    {"field-separator", 't', OptionValue::Required, FieldSeparator},
    {"output", 'o', OptionValue::Required, Output},
    {"help", 0, OptionValue::None, Help},
};

constexpr std::string_view kSortUsage =
    "usage: sort [OPTIONS] [FILE...]\n"
    "supported: -n -r -u -z -f -s -k KEY -t CHAR -o FILE\n";

// One piece of a key specification: a field number of at least 1, then any of the letters n, r
// and f. Character positions (".") and other letters are refused.
std::optional<SortKey> sort_parse_field_spec(std::string_view text) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0) return std::nullopt;
    auto number = parse_decimal_u64(text.substr(0, digits));
    if (!number || *number == 0) return std::nullopt;
    SortKey key{.field = *number - 1};
    for (char c : text.substr(digits)) {
        switch (c) {
        case 'n': key.numeric = true; break;
        case 'r': key.reverse = true; break;
        case 'f': key.fold = true; break;
        default: return std::nullopt;
        }
    }
    return key;
}

// "-k F[LETTERS][,L[LETTERS]]": from field F to field L, or to the end of the line.
std::optional<SortKey> parse_key_value(std::string_view value) {
    const std::size_t comma = value.find(',');
    auto first = sort_parse_field_spec(value.substr(0, comma));
    if (!first || comma == std::string_view::npos) return first;
    const std::string_view rest = value.substr(comma + 1);
    if (rest.find(',') != std::string_view::npos) return std::nullopt;
    auto second = sort_parse_field_spec(rest);
    if (!second) return std::nullopt;
    first->last = second->field;
    first->numeric |= second->numeric;
    first->reverse |= second->reverse;
    first->fold |= second->fold;
    return first;
}

// The one character of a -t value, if it is exactly one.
std::optional<char32_t> single_char(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::size_t pos = 0;
    const char32_t c = utf8_next_char(text, pos);
    if (pos != text.size()) return std::nullopt;
    return c;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Where field `index` starts: after the index-th separator, or without one at the blanks that
// lead the field (they belong to it). The line's end when it has fewer fields.
std::size_t field_start(std::string_view line, std::uint64_t index, std::string_view separator) {
    std::size_t at = 0;
    for (std::uint64_t k = 0; k < index && at < line.size(); ++k) {
        if (!separator.empty()) {
            const std::size_t next = line.find(separator, at);
            if (next == std::string_view::npos) return line.size();
            at = next + separator.size();
        } else {
            while (at < line.size() && is_blank(line[at])) ++at;
            while (at < line.size() && !is_blank(line[at])) ++at;
        }
    }
    return at;
}

// Where field `index` ends (exclusive).
std::size_t field_end(std::string_view line, std::uint64_t index, std::string_view separator) {
    const std::size_t start = field_start(line, index, separator);
    if (!separator.empty()) return std::min(line.find(separator, start), line.size());
    std::size_t at = start;
    while (at < line.size() && is_blank(line[at])) ++at;
    while (at < line.size() && !is_blank(line[at])) ++at;
    return at;
}

// The text of a key: from its first field to its last field or the end of the line; empty when
// the line has fewer fields.
std::string_view key_text(std::string_view line, const SortKey& key, std::string_view separator) {
    const std::size_t start = field_start(line, key.field, separator);
    std::size_t end = key.last ? field_end(line, *key.last, separator) : line.size();
    if (end < start) end = start;
    return line.substr(start, end - start);
}

// The number at the start of a key, after its blanks: an optional minus sign, digits and a
// decimal point; 0 when there is none.
double leading_number(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && is_blank(text[at])) ++at;
    const std::size_t start = at;
    if (at < text.size() && text[at] == '-') ++at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at < text.size() && text[at] == '.') {
        ++at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    }
    return parse_decimal_double(text.substr(start, at - start)).value_or(0.0);
}

// The Unicode lowercase form of valid UTF-8 `text`.
std::string lowercase(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t c = utf8_next_char(text, pos);
        if (c < 0x80) {
            out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        } else if (c == 0x130) {
            out += "i\xCC\x87";  // capital I with dot above lowercases to i and a combining dot
        } else {
            utf8_append(out, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c))));
        }
    }
    return out;
}

// What a record is compared by under one key: its key text (lowercased under case folding) and,
// under numeric order, its number.
struct RecordKey {
    std::string_view text;
    double number = 0;
};

// The ordering of one key: its own letters, or the global options when it has none.
struct KeyOrder {
    bool numeric = false;
    bool fold = false;
    bool reverse = false;
};

KeyOrder key_order(const SortOptions& options, const SortKey& key) {
    if (key.has_letters()) return {key.numeric, key.fold, key.reverse};
    return {options.numeric, options.ignore_case, options.reverse};
}

// Negative, zero or positive. Under numeric order a NaN equals everything, so this is not a
// strict weak order; the merge sort below is well defined for any comparison.
int compare_key(const KeyOrder& order, const RecordKey& a, const RecordKey& b) {
    int c = 0;
    if (order.numeric) {
        c = a.number < b.number ? -1 : (b.number < a.number ? 1 : 0);
    } else {
        const int t = a.text.compare(b.text);
        c = t < 0 ? -1 : (t > 0 ? 1 : 0);
    }
    return order.reverse ? -c : c;
}

// A stable bottom-up merge sort of the indices 0..n-1. Every merge step takes the left element
// unless the comparison says the right one is smaller, so the result is well defined (and
// stable) whatever the comparison answers.
template <typename Compare>
std::vector<std::size_t> merge_sort_indices(std::size_t n, const Compare& compare) {
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::vector<std::size_t> scratch(n);
    for (std::size_t width = 1; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, n);
            const std::size_t hi = std::min(mid + width, n);
            std::size_t i = lo, j = mid, out = lo;
            while (i < mid && j < hi) scratch[out++] = compare(order[j], order[i]) < 0 ? order[j++] : order[i++];
            while (i < mid) scratch[out++] = order[i++];
            while (j < hi) scratch[out++] = order[j++];
        }
        order.swap(scratch);
    }
    return order;
}

std::size_t record_count(std::string_view text, char separator) {
    return text.empty() ? 0 : count_byte(text, separator) + (text.back() == separator ? 0 : 1);
}

// Fills `lines` (record_count entries) with the records of `text` ordered by their bytes.
void order_whole_lines(std::string_view text, char separator, bool reverse, std::span<LineAt> lines) {
    std::size_t n = 0;
    for_each_piece(text, separator, [&](std::string_view line, bool) {
        lines[n++] = {0, static_cast<std::uint64_t>(line.data() - text.data()), line.size()};
    });
    order_lines_by_bytes(text, lines);
    if (reverse) std::reverse(lines.begin(), lines.end());
}

// Appends the ordered records from `next` on, each with its separator, until `out` has grown by
// `budget` bytes or the records end; answers where it stopped. With `unique` a record equal to
// the last one kept (index `kept`, updated) is left out.
std::size_t append_whole_lines(Bytes& out, std::string_view text, const LineAt* lines, std::size_t count,
                               std::size_t next, char separator, bool unique, std::uint64_t& kept,
                               std::size_t budget) {
    const std::size_t limit = out.size() + budget;
    for (; next < count && out.size() < limit; ++next) {
        if (next + 16 < count) __builtin_prefetch(text.data() + lines[next + 16].offset);
        const LineAt& line = lines[next];
        const std::string_view view = text.substr(line.offset, line.size);
        if (unique && kept < count && text.substr(lines[kept].offset, lines[kept].size) == view)
            continue;
        kept = next;
        out += view;
        out += separator;
    }
    return next;
}

// Whole records of valid UTF-8 ordered by their bytes (the order of the general path when no
// key, -n or -f is given). Records that compare equal are equal byte for byte, so the order
// among them cannot show and an unstable sort gives the same output.
Bytes sort_whole_lines(std::string_view text, char separator, bool reverse, bool unique) {
    std::vector<LineAt> lines(record_count(text, separator));
    order_whole_lines(text, separator, reverse, lines);
    Bytes sorted;
    sorted.reserve(text.size() + 1);
    std::uint64_t kept = lines.size();
    append_whole_lines(sorted, text, lines.data(), lines.size(), 0, separator, unique, kept, sorted.max_size() / 2);
    return sorted;
}

// A standard input sorted as a process is written a piece a step, so the whole output never sits
// beside the input: the order lives in the fold state as this header and the records' places.
struct SortedStdin {
    std::uint64_t count = 0;  // records
    std::uint64_t next = 0;   // the first record not written yet
    std::uint64_t kept = 0;   // the last record written (count: none)
};

constexpr std::size_t kSortedPiece = std::size_t{1} << 20;

LineAt* sorted_lines(Bytes& fold) { return reinterpret_cast<LineAt*>(fold.data() + sizeof(SortedStdin)); }

// Writes the next piece of the sorted input to the process's output; true once all is written.
bool write_sorted_piece(Bytes& fold, std::string_view text, char separator, bool unique, Bytes& out) {
    SortedStdin header;
    std::memcpy(&header, fold.data(), sizeof header);
    header.next = append_whole_lines(out, text, sorted_lines(fold), header.count, header.next, separator, unique,
                                     header.kept, kSortedPiece);
    std::memcpy(fold.data(), &header, sizeof header);
    return header.next >= header.count;
}

}  // namespace

void sort_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const auto finish = [&](std::int32_t status, std::string_view message = {}) {
        if (!message.empty()) push_message(io.err, "sort", message);
        step = NativeStep::finished(status);
    };
    auto scanned = scan_options(invocation.args, kSortOptions);
    if (!scanned) return finish(2, scanned.error());
    if (scanned->has(Help)) {
        io.out += kSortUsage;
        return finish(0);
    }
    SortOptions options;
    for (const ScannedOption& option : scanned->options) {
        const std::string_view value = option.value.value_or("");
        switch (option.id) {
        case Numeric: options.numeric = true; break;
        case Reverse: options.reverse = true; break;
        case Zero: options.separator = '\0'; break;
        case Unique: options.unique = true; break;
        case IgnoreCase: options.ignore_case = true; break;
        case Stable: options.stable = true; break;
        case Key: {
            auto key = parse_key_value(value);
            if (!key) return finish(2, fmt::format("unsupported field specification '{}'", value));
            options.keys.push_back(*key);
            break;
        }
        case FieldSeparator:
            options.field_separator = single_char(value);
            if (!options.field_separator) return finish(2, "field separator must be one character");
            break;
        case Output: options.output = value; break;
        default: break;
        }
    }

    const std::span<const std::string_view> operands = scanned->operands;
    LiveInput* live = invocation.live_input;
    const bool streams = live != nullptr && !options.output && options.keys.empty() && !options.numeric &&
                         !options.ignore_case && (operands.empty() || (operands.size() == 1 && operands[0] == "-"));
    if (streams && !live->folded.empty()) {
        // Sorted on an earlier step: the next piece is written.
        if (write_sorted_piece(live->folded, io.in, options.separator, options.unique, live->streamed)) {
            live->folded.clear();
            return finish(0);
        }
        step = NativeStep::yield();
        return;
    }
    LentBytes storage;
    auto contents = command_gather_input(step, invocation, io, operands, "sort", storage);
    if (!contents) return;
    const std::string_view text = *contents;
    const char separator = options.separator;

    Syscalls& sys = invocation.sys;
    const std::uint64_t n = sat_add(1, static_cast<std::uint64_t>(count_byte(text, separator)));
    const std::uint64_t length = text.size();
    const std::uint64_t memory = sat_add(sat_mul(24, n), sat_mul(3, length));
    if (!sys.charge_memory(memory)) return finish(sys.exhausted_status());
    const std::uint64_t log2n = static_cast<std::uint64_t>(std::bit_width(n) - 1);
    if (!sys.charge_cpu(sat_add(sat_mul(n, log2n), length))) {
        sys.release_memory(memory);
        return finish(sys.exhausted_status());
    }

    std::int32_t status = 0;
    const auto deliver = [&](Bytes sorted) {
        if (options.output) {
            auto written = sys.write_file_mode(sys.getcwd(), *options.output, std::move(sorted), 0644);
            if (!written) {
                push_message(io.err, "sort", fmt::format("{}: {}", *options.output, error_text(written.error())));
                status = 1;
            }
        } else if (io.out.empty()) {
            io.out = std::move(sorted);
        } else {
            io.out += sorted;
        }
        sys.release_memory(memory);
        finish(status);
    };
    if (options.keys.empty() && !options.numeric && !options.ignore_case && utf8_valid(text)) {
        if (!streams) {
            deliver(sort_whole_lines(text, separator, options.reverse, options.unique));
            return;
        }
        // The memory stays charged until the process ends, with its input.
        live->charged = sat_add(live->charged, memory);
        const std::uint64_t count = record_count(text, separator);
        Bytes& fold = live->folded;
        fold.resize(sizeof(SortedStdin) + count * sizeof(LineAt));
        const SortedStdin header{count, 0, count};
        std::memcpy(fold.data(), &header, sizeof header);
        LineAt* lines = new (sorted_lines(fold)) LineAt[count];
        order_whole_lines(text, separator, options.reverse, std::span<LineAt>(lines, count));
        if (write_sorted_piece(fold, text, separator, options.unique, live->streamed)) {
            fold.clear();
            return finish(0);
        }
        step = NativeStep::yield();
        return;
    }

    // Records run up to and including their separator; a last piece without one gets it added on
    // output.
    const std::vector<std::string_view> records = split_records(text, separator);

    // Without -k the whole line is the one key. Keys are compared in order; records equal under
    // all of them are ordered by their whole text (reversed by -r) unless -s or -u is given.
    std::vector<SortKey> keys = options.keys;
    const bool whole_line = keys.empty();
    if (whole_line) keys.push_back(SortKey{});
    std::vector<KeyOrder> orders;
    for (const SortKey& key : keys) orders.push_back(key_order(options, key));
    const bool last_resort = !options.stable && !options.unique;
    std::string separator_text;
    if (options.field_separator) utf8_append(separator_text, *options.field_separator);

    std::deque<std::string> owned;  // decoded or lowercased key texts; a deque keeps them in place
    std::vector<std::string_view> lines(records.size());
    std::vector<RecordKey> record_keys(records.size() * keys.size());
    for (std::size_t r = 0; r < records.size(); ++r) {
        std::string_view line = records[r];
        if (!utf8_valid(line)) line = owned.emplace_back(utf8_lossy(line));
        while (!line.empty() && line.back() == separator) line.remove_suffix(1);
        lines[r] = line;
        for (std::size_t k = 0; k < keys.size(); ++k) {
            std::string_view key = whole_line ? line : key_text(line, keys[k], separator_text);
            RecordKey& slot = record_keys[r * keys.size() + k];
            if (orders[k].numeric) slot.number = leading_number(key);
            if (orders[k].fold) key = owned.emplace_back(lowercase(key));
            slot.text = key;
        }
    }
    const auto compare_keys = [&](std::size_t a, std::size_t b) {
        for (std::size_t k = 0; k < keys.size(); ++k) {
            const int c = compare_key(orders[k], record_keys[a * keys.size() + k], record_keys[b * keys.size() + k]);
            if (c != 0) return c;
        }
        return 0;
    };
    const auto compare = [&](std::size_t a, std::size_t b) {
        int c = compare_keys(a, b);
        if (c != 0 || !last_resort) return c;
        const int t = lines[a].compare(lines[b]);
        c = t < 0 ? -1 : (t > 0 ? 1 : 0);
        return options.reverse ? -c : c;
    };
    std::vector<std::size_t> order = merge_sort_indices(records.size(), compare);

    Bytes sorted;
    sorted.reserve(text.size() + 1);
    std::optional<std::size_t> kept;
    for (std::size_t index : order) {
        // Under -u a record equal to the last one written is dropped.
        if (options.unique && kept && compare_keys(*kept, index) == 0) continue;
        kept = index;
        sorted += records[index];
        if (records[index].back() != separator) sorted += separator;
    }
    deliver(std::move(sorted));
}

}  // namespace tw
