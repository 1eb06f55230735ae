#include "commands/git/pretty.h"

#include <fmt/format.h>

#include <charconv>
#include <limits>
#include <vector>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/git/line_diff_engine.h"
#include "commands/system/timestamp.h"
#include "commands/util/options.h"
#include "commands/util/text.h"

namespace tw {

namespace {

constexpr std::string_view kDefaultDatePattern = "%a %b %-d %H:%M:%S %Y +0000";

std::vector<std::string_view> message_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        std::size_t end = nl == std::string_view::npos ? text.size() : nl;
        std::string_view line = text.substr(start, end - start);
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line);
        start = nl == std::string_view::npos ? text.size() : nl + 1;
    }
    return lines;
}

std::string indented(std::string_view text) {
    std::string out;
    for (std::string_view line : message_lines(text)) out += fmt::format("    {}\n", line);
    return out;
}

std::string_view trim_end_space(std::string_view s) {
    while (!s.empty()) {
        // Trailing white space of the message: ASCII and the Unicode set alike.
        std::size_t start = utf8_floor_boundary(s, s.size() - 1);
        std::size_t pos = start;
        if (!is_white_space(utf8_next_char(s, pos))) break;
        s.remove_suffix(s.size() - start);
    }
    return s;
}

std::string joined_parents(const GitCommit& commit, bool abbreviate) {
    std::string out;
    for (const std::string& p : commit.parents) {
        if (!out.empty()) out += ' ';
        out += abbreviate ? git_abbrev_id(p) : p;
    }
    return out;
}

std::string author_text(const GitCommit& c) { return fmt::format("{} <{}>", c.author_name, c.author_email); }

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::optional<std::int64_t> parse_i64(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    std::int64_t v = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc{} || ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

std::vector<std::string_view> split_on(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

}  // namespace

std::string git_blame_format_date(std::int64_t seconds, std::string_view pattern) {
    auto text = format_timestamp(static_cast<__int128>(seconds) * 1'000'000'000, pattern);
    return text ? std::move(*text) : fmt::format("{}", seconds);
}

std::string git_format_date_default(std::int64_t seconds) { return git_blame_format_date(seconds, kDefaultDatePattern); }

std::string git_relative_date(std::int64_t seconds, std::int64_t now) {
    __int128 diff = static_cast<__int128>(now) - seconds;
    if (diff < 0) diff = 0;
    if (diff > std::numeric_limits<std::int64_t>::max()) diff = std::numeric_limits<std::int64_t>::max();
    const auto d = static_cast<std::int64_t>(diff);
    static constexpr std::pair<std::int64_t, std::string_view> kUnits[] = {
        {31556952, "year"}, {2629746, "month"}, {604800, "week"}, {86400, "day"}, {3600, "hour"}, {60, "minute"}};
    for (const auto& [size, name] : kUnits) {
        const std::int64_t n = d / size;
        if (n > 0) return fmt::format("{} {}{} ago", n, name, n == 1 ? "" : "s");
    }
    return fmt::format("{} seconds ago", d);
}

std::optional<PrettyFormat> git_parse_pretty_name(std::string_view value, bool from_format) {
    using Style = PrettyFormat::Style;
    if (value == "oneline") return PrettyFormat{Style::Oneline};
    if (value == "short") return PrettyFormat{Style::Short};
    if (value == "medium" || value.empty()) return PrettyFormat{Style::Medium};
    if (value == "full") return PrettyFormat{Style::Full};
    if (value == "fuller") return PrettyFormat{Style::Fuller};
    if (value.starts_with("format:")) return PrettyFormat{Style::Custom, std::string(value.substr(7)), from_format};
    if (value.starts_with("tformat:")) return PrettyFormat{Style::Custom, std::string(value.substr(8)), true};
    if (value.find('%') != std::string_view::npos) return PrettyFormat{Style::Custom, std::string(value), from_format};
    return std::nullopt;
}

std::optional<std::string> git_expand_pretty_format(std::string_view format, std::string_view id,
                                                    const GitCommit& commit, std::string_view decoration,
                                                    std::int64_t now) {
    std::string out;
    std::size_t i = 0;
    auto subject = [&] { return git_commit_subject(commit.message); };
    while (i < format.size()) {
        const char c = format[i++];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i >= format.size()) return std::nullopt;
        const char p = format[i++];
        switch (p) {
        case 'H': out += id; break;
        case 'h': out += git_abbrev_id(id); break;
        case 's': out += subject(); break;
        case 'f': {
            const std::string s = subject();
            std::size_t pos = 0;
            while (pos < s.size()) {
                const std::size_t start = pos;
                const char32_t ch = utf8_next_char(s, pos);
                if (unicode_is_alphanumeric(ch)) out.append(s, start, pos - start);
                else out += '-';
            }
            break;
        }
        case 'b': {
            std::size_t blank = commit.message.find("\n\n");
            std::string_view body =
                blank == std::string::npos ? std::string_view{} : std::string_view(commit.message).substr(blank + 2);
            out += trim_end_space(body);
            out += '\n';
            break;
        }
        case 'B':
            out += trim_end_space(commit.message);
            out += '\n';
            break;
        case 'P': out += joined_parents(commit, false); break;
        case 'p': out += joined_parents(commit, true); break;
        case 'd': out += decoration; break;
        case 'D': {
            std::string_view d = decoration;
            while (!d.empty() && (d.front() == ' ' || d.front() == '\t' || d.front() == '\n')) d.remove_prefix(1);
            while (!d.empty() && d.front() == '(') d.remove_prefix(1);
            while (!d.empty() && d.back() == ')') d.remove_suffix(1);
            out += d;
            break;
        }
        case 'N':
        case 'm':
        case 'e': break;
        case 'n': out += '\n'; break;
        case '%': out += '%'; break;
        case 'C':
            if (i < format.size() && format[i] == '(') {
                std::size_t close = format.find(')', i);
                i = close == std::string_view::npos ? format.size() : close + 1;
            } else {
                while (i < format.size() && ((format[i] >= 'a' && format[i] <= 'z') || (format[i] >= 'A' && format[i] <= 'Z')))
                    ++i;
            }
            break;
        case 'x': {
            std::string_view digits = format.substr(i, 2);
            std::string_view number = digits;
            if (number.starts_with('+')) number.remove_prefix(1);
            unsigned value = 0;
            auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), value, 16);
            if (number.empty() || ec != std::errc{} || ptr != number.data() + number.size() || value > 255)
                return std::nullopt;
            i += digits.size();
            utf8_append(out, static_cast<char32_t>(value));
            break;
        }
        case 'a':
        case 'c': {
            if (i >= format.size()) return std::nullopt;
            const char w = format[i++];
            switch (w) {
            case 'n':
            case 'N': out += commit.author_name; break;
            case 'e':
            case 'E': out += commit.author_email; break;
            case 'd': out += git_format_date_default(commit.time); break;
            case 't': out += fmt::format("{}", commit.time); break;
            case 'i': out += git_blame_format_date(commit.time, "%Y-%m-%d %H:%M:%S +0000"); break;
            case 'I': out += git_blame_format_date(commit.time, "%Y-%m-%dT%H:%M:%S+00:00"); break;
            case 's': out += git_blame_format_date(commit.time, "%Y-%m-%d"); break;
            case 'D': out += git_blame_format_date(commit.time, "%a, %-d %b %Y %H:%M:%S +0000"); break;
            case 'r': out += git_relative_date(commit.time, now); break;
            default: return std::nullopt;
            }
            break;
        }
        default: return std::nullopt;
        }
    }
    return out;
}

bool git_validate_pretty_format(std::string_view format) {
    return git_expand_pretty_format(format, std::string(40, '0'), GitCommit{}, "", 0).has_value();
}

std::string git_log_format_header(std::string_view id, const GitCommit& commit, const PrettyFormat& pretty,
                                  std::string_view decoration, std::int64_t now) {
    using Style = PrettyFormat::Style;
    const std::string merge =
        commit.parents.size() >= 2 ? fmt::format("Merge: {}\n", joined_parents(commit, true)) : std::string();
    const std::string author = author_text(commit);
    switch (pretty.style) {
    case Style::Medium:
        return fmt::format("commit {}{}\n{}Author: {}\nDate:   {}\n\n{}", id, decoration, merge, author,
                           git_format_date_default(commit.time), indented(commit.message));
    case Style::Short:
        return fmt::format("commit {}{}\n{}Author: {}\n\n{}", id, decoration, merge, author,
                           indented(git_commit_subject(commit.message)));
    case Style::Full:
        return fmt::format("commit {}{}\n{}Author: {}\nCommit: {}\n\n{}", id, decoration, merge, author, author,
                           indented(commit.message));
    case Style::Fuller: {
        const std::string date = git_format_date_default(commit.time);
        return fmt::format("commit {}{}\n{}Author:     {}\nAuthorDate: {}\nCommit:     {}\nCommitDate: {}\n\n{}", id,
                           decoration, merge, author, date, author, date, indented(commit.message));
    }
    case Style::Oneline:
        return fmt::format("{}{} {}\n", id, decoration, git_commit_subject(commit.message));
    case Style::OnelineAbbrev:
        return fmt::format("{}{} {}\n", git_abbrev_id(id), decoration, git_commit_subject(commit.message));
    case Style::Custom:
        return git_expand_pretty_format(pretty.format, id, commit, decoration, now).value_or(std::string());
    }
    return {};
}

GitDecorations::GitDecorations(Syscalls& sys, std::string_view root)
    : current_branch_(git_current_branch(sys, root)), head_(git_resolve_head(sys, root)) {
    for (const std::string& branch : git_list_refs(sys, root, "heads"))
        if (auto id = git_read_ref_file(sys, root, fmt::format("refs/heads/{}", branch)))
            branches_.emplace_back(branch, std::move(*id));
    for (const std::string& tag : git_list_refs(sys, root, "tags"))
        if (auto id = git_read_ref_file(sys, root, fmt::format("refs/tags/{}", tag)))
            tags_.emplace_back(tag, std::move(*id));
}

std::string GitDecorations::text(std::string_view id) const {
    std::vector<std::string> names;
    for (const auto& [branch, target] : branches_) {
        if (target != id) continue;
        if (current_branch_ == branch) names.insert(names.begin(), fmt::format("HEAD -> {}", branch));
        else names.push_back(branch);
    }
    for (const auto& [tag, target] : tags_)
        if (target == id) names.push_back(fmt::format("tag: {}", tag));
    if (!current_branch_ && head_ == id) names.insert(names.begin(), "HEAD");
    if (names.empty()) return {};
    std::string joined;
    for (const std::string& n : names) joined += (joined.empty() ? "" : ", ") + n;
    return fmt::format(" ({})", joined);
}

std::string git_decoration_text(Syscalls& sys, std::string_view root, std::string_view id) {
    return GitDecorations(sys, root).text(id);
}

std::optional<std::int64_t> git_parse_date_arg(std::string_view text, std::int64_t now) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    if (auto n = parse_i64(text)) return n;
    {
        std::string_view rel = text;
        if (rel.ends_with(" ago")) rel.remove_suffix(4);
        std::vector<std::string_view> tokens;
        std::size_t i = 0;
        while (i < rel.size()) {
            while (i < rel.size() && std::isspace(static_cast<unsigned char>(rel[i]))) ++i;
            std::size_t start = i;
            while (i < rel.size() && !std::isspace(static_cast<unsigned char>(rel[i]))) ++i;
            if (i > start) tokens.push_back(rel.substr(start, i - start));
        }
        if (tokens.size() == 2) {
            auto n = parse_i64(tokens[0]);
            std::string_view unit = tokens[1];
            while (unit.ends_with('s')) unit.remove_suffix(1);
            static constexpr std::pair<std::string_view, std::int64_t> kUnits[] = {
                {"second", 1}, {"minute", 60}, {"hour", 3600}, {"day", 86400},
                {"week", 604800}, {"month", 2629746}, {"year", 31556952}};
            for (const auto& [name, size] : kUnits)
                if (n && unit == name)
                    return static_cast<std::int64_t>(static_cast<std::uint64_t>(now) -
                                                     static_cast<std::uint64_t>(*n) * static_cast<std::uint64_t>(size));
        }
    }
    std::size_t split = text.find_first_of("T ");
    std::string_view date = text.substr(0, split);
    std::vector<std::string_view> ymd = split_on(date, '-');
    if (ymd.size() != 3) return std::nullopt;
    auto y = parse_i64(ymd[0]);
    auto m = parse_i64(ymd[1]);
    auto d = parse_i64(ymd[2]);
    if (!y || !m || !d || *m < 1 || *m > 12 || *d < 1 || *d > 31) return std::nullopt;
    if (*y < -1'000'000'000 || *y > 1'000'000'000) return std::nullopt;
    std::int64_t result = days_from_civil(*y, *m, *d) * 86400;
    if (split != std::string_view::npos) {
        std::string_view time = text.substr(split + 1);
        while (time.ends_with('Z')) time.remove_suffix(1);
        std::vector<std::string_view> hms = split_on(time, ':');
        if (hms.size() > 3) return std::nullopt;
        std::int64_t fields[3] = {0, 0, 0};
        for (std::size_t k = 0; k < hms.size(); ++k) {
            auto v = parse_i64(hms[k]);
            if (!v || *v > (std::int64_t{1} << 40) || *v < -(std::int64_t{1} << 40)) return std::nullopt;
            fields[k] = *v;
        }
        result += fields[0] * 3600 + fields[1] * 60 + fields[2];
    }
    return result;
}

}  // namespace tw
