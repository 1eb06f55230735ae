// The git command: global options, the subcommand dispatcher with aliases, and the argument
// cursor and message writers every subcommand shares.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "commands/git/store.h"
#include "shell/command_io.h"

namespace tw {

// `git [-C DIR] [-c NAME=VALUE] COMMAND [ARGS]`
void git_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// Whether a git command line (the arguments after `git`) consumes its standard input.
bool git_invocation_reads_stdin(std::span<const std::string> args);

struct GitArgItem {
    enum class Kind : std::uint8_t { End, Positional, Option };
    Kind kind = Kind::End;
    std::string text;                  // the positional, or the option's name
    std::optional<std::string> value;  // an attached option value
};

class GitArgs {
public:
    explicit GitArgs(std::span<const std::string> args) : args_(args.begin(), args.end()) {}
    GitArgs& with_value_flags(std::string letters) {
        value_letters_ = std::move(letters);
        return *this;
    }
    // Splits clusters made only of `letters` into one option each, up to the first "--".
    GitArgs& expand_short_flags(std::string_view letters);
    GitArgItem next();
    // The attached value, else the next argument (consumed), else nothing.
    std::optional<std::string> value(const std::optional<std::string>& attached);
    // The arguments not read yet, verbatim.
    std::vector<std::string> remaining() const {
        return {args_.begin() + static_cast<std::ptrdiff_t>(position_), args_.end()};
    }

private:
    std::vector<std::string> args_;
    std::string value_letters_;
    std::size_t position_ = 0;
    bool after_double_dash_ = false;
};

void git_report_error(Bytes& err, std::string_view message);
void git_report_fatal(Bytes& err, std::string_view message);
void git_report_ambiguous_argument(Bytes& err, std::string_view argument);
void git_report_not_a_repository(Bytes& err);
void git_report_write_failure(Bytes& err, std::string_view what, std::string_view error);
bool git_valid_config_key(std::string_view key);

// Everything a subcommand handler receives.
struct GitRun {
    Syscalls& sys;
    NativeInvocation& invocation;
    CommandIo& io;
    GitConfigOverrides& overrides;
};

std::int32_t git_dispatch(GitRun& run, const std::string& name, std::vector<std::string> args);

// The work-tree root, or nothing after the not-a-repository report (the caller returns 128).
std::optional<std::string> git_worktree_or_report(GitRun& run);

std::int32_t git_cmd_init(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_rev_parse(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_hash_object(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_add(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_commit(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_status(GitRun& run, std::span<const std::string> args);

}  // namespace tw
