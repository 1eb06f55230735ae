#include <fmt/format.h>
#include <utf8proc.h>

#include <charconv>
#include <cstring>
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
    const auto shown = [&](std::uint64_t n) {
        // -d and -u together select nothing: no group is both repeated and unique.
        return s.repeated && s.unique ? false : s.repeated ? n >= 2 : s.unique ? n == 1 : true;
    };
    // Records are lines with their own line feed. A record joins the open group when its key
    // equals the key of the group's first record; without skipping or case folding the key of a
    // valid record is the record itself, so only invalid ones need their keys built.
    const bool keyed = s.skip_fields != 0 || s.skip_chars != 0 || s.ignore_case;
    std::string group_storage, record_storage, group_key;
    bool group_key_ready = false;  // whether `group_key` is the open group's key
    const auto same = [&](std::string_view group, bool group_valid, std::string_view record) {
        if (group == record) return true;
        if (!keyed && group_valid && is_valid_utf8(record)) return false;
        if (!group_key_ready) {
            group_key = line_key(group, s, group_storage);
            group_key_ready = true;
        }
        return line_key(record, s, record_storage) == group_key;
    };
    // The open group lives in the fold state between pieces: its count, then its first record.
    Bytes local;
    Bytes& held = command_fold_state(invocation, local);
    Bytes& out = command_stream_out(invocation, io);
    const auto close_group = [&](std::string_view first, std::uint64_t n) {
        if (!shown(n)) return;
        if (s.count) push_count(out, n);
        out += first;
    };
    const auto fold = [&](std::string_view piece, bool last) {
        std::uint64_t n = 0;
        std::string_view group;
        if (!held.empty()) {
            std::memcpy(&n, held.data(), sizeof n);
            group = std::string_view(held).substr(sizeof n);
        }
        bool group_valid = n == 0 || is_valid_utf8(group);
        std::size_t i = 0;
        while (i < piece.size()) {
            const std::size_t feed = piece.find('\n', i);
            const std::size_t end = feed == std::string_view::npos ? piece.size() : feed + 1;
            const std::string_view record = piece.substr(i, end - i);
            i = end;
            if (n > 0 && same(group, group_valid, record)) {
                ++n;
                continue;
            }
            if (n > 0) close_group(group, n);
            group = record;
            group_valid = keyed || is_valid_utf8(record);
            group_key_ready = false;
            n = 1;
        }
        if (last) {
            if (n > 0) close_group(group, n);
            held.clear();
        } else if (n > 0 && group.data() != held.data() + sizeof n) {
            Bytes next(sizeof n, '\0');
            std::memcpy(next.data(), &n, sizeof n);
            next += group;
            held = std::move(next);
        } else if (n > 0) {
            std::memcpy(held.data(), &n, sizeof n);
        }
        return true;
    };
    if (command_fold_input_lines(step, invocation, io, s.operands, "uniq", fold)) return;
    step = NativeStep::finished(0);
}

}  // namespace tw
