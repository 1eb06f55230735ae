#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/text/line_commands.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

enum class CutUnit : std::uint8_t { Chars, Bytes };

struct CutSettings {
    std::string delimiter = "\t";  // one character, UTF-8
    std::optional<std::string_view> field_list;
    std::optional<std::string_view> position_list;  // characters or bytes, by `unit`
    CutUnit unit = CutUnit::Chars;
    bool only_delimited = false;
    std::vector<std::string_view> operands;
    std::optional<std::string> refused;  // the first option this command does not implement
};

void set_delimiter(CutSettings& s, std::string_view text) {
    if (text.empty()) {
        s.delimiter = "\t";
        return;
    }
    std::size_t pos = 0;
    s.delimiter.clear();
    utf8_append(s.delimiter, utf8_next_char(text, pos));
}

CutSettings scan_cut_args(std::span<const std::string> args) {
    CutSettings s;
    // The value of an option at args[i] whose name is `prefix`: the rest of the argument, else the
    // next argument (consumed), else nothing.
    auto value_of = [&](std::size_t& i, std::size_t prefix) -> std::optional<std::string_view> {
        const std::string_view a = args[i];
        if (a.size() > prefix) return a.substr(prefix);
        if (i + 1 < args.size()) return std::string_view(args[++i]);
        return std::nullopt;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (a.starts_with("--")) {
            // The long names of the list and delimiter options, with "=VALUE" or the next argument.
            const std::size_t eq = a.find('=');
            const std::string_view name = a.substr(2, eq == std::string_view::npos ? std::string_view::npos : eq - 2);
            auto long_value = [&]() -> std::string_view {
                if (eq != std::string_view::npos) return a.substr(eq + 1);
                if (i + 1 < args.size()) return args[++i];
                return {};
            };
            if (name == "delimiter") set_delimiter(s, long_value());
            else if (name == "fields") s.field_list = long_value();
            else if (name == "characters") s.position_list = long_value(), s.unit = CutUnit::Chars;
            else if (name == "bytes") s.position_list = long_value(), s.unit = CutUnit::Bytes;
            else if (name == "only-delimited") s.only_delimited = true;
            else if (!s.refused) s.refused = std::string(a.substr(0, eq));
            continue;
        }
        if (a.starts_with("-d")) {
            if (auto v = value_of(i, 2)) set_delimiter(s, *v);
        } else if (a.starts_with("-f")) {
            s.field_list = value_of(i, 2).value_or(std::string_view{});
        } else if (a.starts_with("-c")) {
            s.position_list = value_of(i, 2).value_or(std::string_view{});
            s.unit = CutUnit::Chars;
        } else if (a.starts_with("-b")) {
            s.position_list = value_of(i, 2).value_or(std::string_view{});
            s.unit = CutUnit::Bytes;
        } else if (a == "-s") {
            s.only_delimited = true;
        } else if (a.size() > 1 && a[0] == '-') {
            if (!s.refused) s.refused = std::string(a);
        } else {
            s.operands.push_back(a);
        }
    }
    return s;
}

// One item of a list: a single position or a range whose ends default to 1 and to the line's
// count of units.
struct ListItem {
    bool range = false;
    std::uint64_t first = 0;
    std::optional<std::uint64_t> last;
};

std::vector<ListItem> parse_list(std::string_view text) {
    std::vector<ListItem> items;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string_view item =
            text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        const std::size_t dash = item.find('-');
        if (dash != std::string_view::npos) {
            items.push_back({true, parse_count(item.substr(0, dash)).value_or(1), parse_count(item.substr(dash + 1))});
        } else if (auto n = parse_count(item)) {
            items.push_back({false, *n, std::nullopt});
        }
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return items;
}

// The listed positions as ascending, disjoint ranges (an absent end runs to the line's end), so
// each position is taken once and in input order, however the list names it.
std::vector<ListItem> merge_list(std::vector<ListItem> items) {
    for (ListItem& item : items) {
        if (!item.range) item.last = item.first;
        item.first = std::max<std::uint64_t>(item.first, 1);
    }
    std::erase_if(items, [](const ListItem& item) { return item.last && *item.last < item.first; });
    std::ranges::sort(items, {}, &ListItem::first);
    std::vector<ListItem> merged;
    for (const ListItem& item : items) {
        if (!merged.empty()) {
            ListItem& back = merged.back();
            if (!back.last) continue;
            if (item.first <= sat_add(*back.last, 1)) {
                if (!item.last) back.last.reset();
                else back.last = std::max(*back.last, *item.last);
                continue;
            }
        }
        merged.push_back(item);
    }
    return merged;
}

// Calls `take(index)` (0-based) for every listed position within 1..m, in ascending order, while
// `out` stays below `limit`: false when the limit was reached.
template <typename Take>
bool for_each_position(const std::vector<ListItem>& ranges, std::uint64_t m, const std::string& out,
                       std::uint64_t limit, Take take) {
    for (const ListItem& range : ranges) {
        const std::uint64_t last = range.last ? std::min(*range.last, m) : m;
        for (std::uint64_t p = range.first; p <= last; ++p) {
            if (out.size() >= limit) return false;
            take(p - 1);
        }
    }
    return out.size() < limit;
}

bool is_ascii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// Both cutters answer false when the output reached `limit` (the rest is not produced).
bool cut_fields(std::string_view text, const CutSettings& s, std::string& out, std::uint64_t limit) {
    const std::vector<ListItem> items = merge_list(parse_list(*s.field_list));
    const std::string_view delim = s.delimiter;
    std::vector<std::string_view> fields;
    bool fits = true;
    for_each_line(text, [&](std::string_view line) {
        if (!fits) return;
        std::size_t at = line.find(delim);
        if (at == std::string_view::npos) {
            if (!s.only_delimited) push_line(out, line);
            return;
        }
        fields.clear();
        std::size_t start = 0;
        while (at != std::string_view::npos) {
            fields.push_back(line.substr(start, at - start));
            start = at + delim.size();
            at = line.find(delim, start);
        }
        fields.push_back(line.substr(start));
        bool first = true;
        fits = for_each_position(items, fields.size(), out, limit, [&](std::uint64_t i) {
            if (!first) out += delim;
            first = false;
            out += fields[i];
        });
        out += '\n';
    });
    return fits;
}

bool cut_positions(std::string_view text, const CutSettings& s, std::string& out, std::uint64_t limit) {
    const std::vector<ListItem> items = merge_list(parse_list(*s.position_list));
    std::vector<std::size_t> starts;  // byte offsets of the characters of a line, and its end
    bool fits = true;
    for_each_line(text, [&](std::string_view line) {
        if (!fits) return;
        if (s.unit == CutUnit::Bytes || is_ascii(line)) {
            fits = for_each_position(items, line.size(), out, limit, [&](std::uint64_t i) { out += line[i]; });
        } else {
            starts.clear();
            for (std::size_t i = 0; i < line.size(); ++i)
                if (utf8_char_start(line[i])) starts.push_back(i);
            const std::size_t m = starts.size();
            starts.push_back(line.size());
            fits = for_each_position(items, m, out, limit,
                                     [&](std::uint64_t i) { out += line.substr(starts[i], starts[i + 1] - starts[i]); });
        }
        out += '\n';
    });
    return fits;
}

}  // namespace

void cut_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const CutSettings s = scan_cut_args(invocation.args);
    if (s.refused) {
        push_message(io.err, "cut", fmt::format("unimplemented option '{}'", *s.refused));
        step = NativeStep::finished(2);
        return;
    }
    Syscalls& sys = invocation.sys;
    // Every item of the list is visited on every line, whether or not it selects anything there.
    const std::optional<std::string_view> list = s.field_list ? s.field_list : s.position_list;
    const std::uint64_t items = list ? parse_list(*list).size() : 0;
    Bytes& out = command_stream_out(invocation, io);
    bool stopped = false;
    // Cuts whole lines (the last piece may end without a line feed); false when a budget stops it.
    const auto cut_piece = [&](std::string_view piece, bool last) {
        const std::uint64_t lines = sat_add(last ? 1 : 0, count_byte(piece, '\n'));
        if (list && !sys.charge_cpu(sat_mul(items, lines))) {
            stopped = true;
            return false;
        }
        out.reserve(out.size() + piece.size() + piece.size() / 8);
        const std::uint64_t limit = sys.output_remaining();
        bool fits = true;
        std::string storage;
        if (s.field_list) fits = cut_fields(valid_utf8_view(piece, storage), s, out, limit);
        else if (s.position_list && s.unit == CutUnit::Bytes) fits = cut_positions(piece, s, out, limit);
        else if (s.position_list) fits = cut_positions(valid_utf8_view(piece, storage), s, out, limit);
        stopped = !fits || !command_output_fits(sys, out, 0);
        return !stopped;
    };
    if (command_fold_input_lines(step, invocation, io, s.operands, "cut", cut_piece)) return;
    step = NativeStep::finished(stopped ? sys.exhausted_status() : 0);
}

}  // namespace tw
