// The git history commands (diff, log, show, shortlog, describe, blame, grep, archive) and the
// small argument helpers they share.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "commands/git/git_command.h"

namespace tw {

std::int32_t git_cmd_diff(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_log(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_show(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_shortlog(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_describe(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_blame(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_grep(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_archive(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_apply(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_stash(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_rebase(GitRun& run, std::span<const std::string> args);

}  // namespace tw
