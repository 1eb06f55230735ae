#include <fmt/format.h>
#include <utf8proc.h>

#include <charconv>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "commands/text/line_commands.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

struct UniqSettings {
    std::uint64_t skip_fields = 0;
    std::uint64_t skip_chars = 0;
    bool count = false;
    bool repeated = false;
    bool unique = false;
    bool ignore_case = false;
    std::vector<std::string_view> operands;
};

// Scans the arguments; on a usage error writes the message and gives the status to finish with.
std::optional<std::int32_t> scan_uniq_args(std::span<const std::string> args, UniqSettings& s, Bytes& err) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (a.starts_with("-f") || a.starts_with("-s")) {
            const std::string_view option = a.substr(0, 2);
            std::string_view value;
            if (a.size() > 2) {
                value = a.substr(2);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                push_message(err, "uniq", fmt::format("{} requires an argument", option));
                return 1;
            }
            auto n = parse_count(value);
            if (!n) {
                push_message(err, "uniq", fmt::format("invalid number for {}: {}", option, value));
                return 1;
            }
            (option == "-f" ? s.skip_fields : s.skip_chars) = *n;
            continue;
        }
        if (a.size() > 1 && a[0] == '-') {
            std::size_t pos = 1;
            while (pos < a.size()) {
                const char32_t c = utf8_next_char(a, pos);
                switch (c) {
                case 'c': s.count = true; break;
                case 'd': s.repeated = true; break;
                case 'i': s.ignore_case = true; break;
                case 'u': s.unique = true; break;
                default: {
                    std::string shown;
                    utf8_append(shown, c);
                    push_message(err, "uniq", fmt::format("unimplemented option '-{}'", shown));
                    return 2;
                }
                }
            }
            continue;
        }
        s.operands.push_back(a);
    }
    return std::nullopt;
}

// The comparison key of a line (with its own line feed, if any): fields and characters skipped,
// then lower-cased when asked.
std::string_view line_key(std::string_view line, const UniqSettings& s, std::string& storage) {
    const std::string_view text = valid_utf8_view(line, storage);
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* p = begin;
    const auto* end = begin + text.size();
    for (std::uint64_t f = 0; f < s.skip_fields && p < end; ++f) {
        const unsigned char* q = p;
        while (q < end) {
            const unsigned char* r = q;
            if (!is_white_space(next_valid_char(r))) break;
            q = r;
        }
        while (q < end) {
            const unsigned char* r = q;
            if (is_white_space(next_valid_char(r))) break;
            q = r;
        }
        p = q;
    }
    for (std::uint64_t c = 0; c < s.skip_chars && p < end; ++c) next_valid_char(p);
    const std::string_view rest(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p));
    if (!s.ignore_case) {
        if (text.data() == storage.data()) {
            storage.erase(0, static_cast<std::size_t>(p - begin));
            return storage;
        }
        return rest;
    }
    std::string lowered;
    lowered.reserve(rest.size());
    const auto* q = reinterpret_cast<const unsigned char*>(rest.data());
    const auto* q_end = q + rest.size();
    while (q < q_end) {
        const char32_t c = next_valid_char(q);
        utf8_append(lowered, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c))));
    }
    storage = std::move(lowered);
    return storage;
}

// Appends the count of a group as -c shows it: right-aligned in seven columns and a blank.
void push_count(std::string& out, std::size_t n) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    const auto width = static_cast<std::size_t>(end - digits);
    if (width < 7) out.append(7 - width, ' ');
    out.append(digits, width);
    out += ' ';
}

}  // namespace

void uniq_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    UniqSettings s;
    if (auto status = scan_uniq_args(invocation.args, s, io.err)) {
        step = NativeStep::finished(*status);
        return;
    }
    if (s.operands.size() >= 2) {
        push_message(io.err, "uniq", "unimplemented output-file operand");
        step = NativeStep::finished(2);
        return;
    }
    LentBytes contents;
    const auto gathered = command_gather_input(step, invocation, io, s.operands, "uniq", contents);
    if (!gathered) return;
    const std::string_view content = *gathered;
    std::string& out = io.out;
    const auto shown = [&](std::size_t n) {
        // -d and -u together select nothing: no group is both repeated and unique.
        return s.repeated && s.unique ? false : s.repeated ? n >= 2 : s.unique ? n == 1 : true;
    };
    if (s.skip_fields == 0 && s.skip_chars == 0 && !s.ignore_case && is_valid_utf8(content)) {
        // Every key is the whole line with its line feed: groups are runs of equal records.
        out.reserve(out.size() + content.size() + (s.count ? content.size() / 4 : 0));
        std::size_t i = 0;
        while (i < content.size()) {
            const std::size_t feed = content.find('\n', i);
            const std::size_t end = feed == std::string_view::npos ? content.size() : feed + 1;
            const std::string_view line = content.substr(i, end - i);
            std::size_t n = 1;
            std::size_t next = end;
            while (next < content.size() && content.compare(next, line.size(), line) == 0 &&
                   (line.back() == '\n' || next + line.size() == content.size())) {
                ++n;
                next += line.size();
            }
            if (shown(n)) {
                if (s.count) push_count(out, n);
                out += line;
            }
            i = next;
        }
        step = NativeStep::finished(0);
        return;
    }
    const std::vector<std::string_view> lines = split_records(content);

    std::string group_storage, line_storage;
    std::size_t i = 0;
    while (i < lines.size()) {
        const std::string_view group_key = line_key(lines[i], s, group_storage);
        std::string key_copy;
        std::string_view key = group_key;
        if (group_key.data() == group_storage.data()) {
            key_copy = group_storage;  // line_storage below may not overwrite it
            key = key_copy;
        }
        std::size_t j = i + 1;
        while (j < lines.size() && line_key(lines[j], s, line_storage) == key) ++j;
        const std::size_t n = j - i;
        if (shown(n)) {
            if (s.count) push_count(out, n);
            out += lines[i];
        }
        i = j;
    }
    step = NativeStep::finished(0);
}

}  // namespace tw
