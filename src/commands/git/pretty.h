// How git history commands print a commit: header styles, custom formats with % placeholders,
// ref decorations, dates (always UTC, "+0000") and the date arguments of log's time filters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/git/store.h"

namespace tw {

struct PrettyFormat {
    enum class Style : std::uint8_t { Medium, Oneline, OnelineAbbrev, Short, Full, Fuller, Custom };
    Style style = Style::Medium;
    std::string format;       // Custom only
    bool terminator = false;  // Custom only: each entry ends with "\n" instead of being separated
};

// `from_format`: the value came with --format (terminator semantics for a bare format text).
std::optional<PrettyFormat> git_parse_pretty_name(std::string_view value, bool from_format);
bool git_validate_pretty_format(std::string_view format);
std::string git_log_format_header(std::string_view id, const GitCommit& commit, const PrettyFormat& pretty,
                                  std::string_view decoration, std::int64_t now);
std::optional<std::string> git_expand_pretty_format(std::string_view format, std::string_view id,
                                                    const GitCommit& commit, std::string_view decoration,
                                                    std::int64_t now);
// " (HEAD -> main, other, tag: v1)" or empty.
std::string git_decoration_text(Syscalls& sys, std::string_view root, std::string_view id);

// The refs read once, for decorating many commits.
class GitDecorations {
public:
    GitDecorations(Syscalls& sys, std::string_view root);
    std::string text(std::string_view id) const;

private:
    std::optional<std::string> current_branch_;
    std::optional<std::string> head_;
    std::vector<std::pair<std::string, std::string>> branches_;  // name, target
    std::vector<std::pair<std::string, std::string>> tags_;
};
std::string git_format_date_default(std::int64_t seconds);
std::string git_blame_format_date(std::int64_t seconds, std::string_view pattern);
std::string git_relative_date(std::int64_t seconds, std::int64_t now);
std::optional<std::int64_t> git_parse_date_arg(std::string_view text, std::int64_t now);

}  // namespace tw
