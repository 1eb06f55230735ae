// The host's own `git`, run as a child of the host process (never of a machine) to read a host
// repository: one-shot commands whose output is captured, and one long-running `cat-file --batch`
// process that answers object requests. The child gets a fixed, minimal environment (no system or
// user configuration, no hooks, no pager, no prompts, the C locale), no input of ours beyond the
// requests, and a time limit; every size the host can make grow is bounded here.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"

namespace tw {

inline constexpr std::uint64_t kHostGitOutputLimit = 8388608;    // stdout of a strict command
inline constexpr std::size_t kHostGitStderrQuoted = 8192;        // stderr quoted in a failure
inline constexpr std::size_t kHostGitHeaderLimit = 512;          // object header, newline included
inline constexpr std::uint64_t kHostGitObjectLimit = 16777216;   // one object's content
inline constexpr std::int64_t kHostGitTimeLimitMs = 120000;      // one command, or one object request

using HostGitArgs = std::vector<std::string>;

// The time limit in force (kHostGitTimeLimitMs unless a test shortened it); the previous one.
std::int64_t set_host_git_time_limit_ms(std::int64_t ms);

// An operating-system error as messages show it: "{description} (os error {number})".
std::string host_error_text(int error);
// The canonical absolute form of a host path (links resolved), or the errno.
Result<std::string, int> host_real_path(std::string_view path);

// The command's own arguments joined with single spaces, as messages name it.
std::string git_host_argument_text(const HostGitArgs& args);

// What a one-shot command left: its wait status, its standard output (kept up to one byte past
// the output limit, the rest drained and dropped) and the start of its standard error.
struct HostGitCapture {
    int wait_status = 0;
    Bytes out;
    Bytes err;
    bool success() const;
};

// Runs one command in `root` with no standard input. "cannot run host git {}: {}" when it cannot
// be started or collected; "host git {} exceeded the {}-millisecond time limit" when it runs too
// long (it is killed).
Result<HostGitCapture, std::string> git_host_run(std::string_view root, const HostGitArgs& args);
// The text that reports an unsuccessful command: its trimmed standard error, or its exit status.
std::string git_host_failure_text(const HostGitArgs& args, const HostGitCapture& capture);
// Checks the standard output of a finished command: the output limit, UTF-8; trailing CR and LF
// removed.
Result<std::string, std::string> git_host_checked_output(const HostGitArgs& args, Bytes out);
// A strict command: its standard output as text, or the error text.
Result<std::string, std::string> git_host_output(std::string_view root, const HostGitArgs& args);

// Exactly 40 hexadecimal digits (either case), returned unchanged; else
// "invalid SHA-1 for {label}: {quoted text}".
Result<std::string, std::string> parse_sha1_hex(std::string_view text, std::string_view label);

// One running `git cat-file --batch`. Move-only; closing (also by the destructor) kills and reaps
// the process.
class GitObjectReader {
public:
    static Result<GitObjectReader, std::string> start(std::string_view root);

    GitObjectReader(GitObjectReader&& other) noexcept;
    GitObjectReader& operator=(GitObjectReader&& other) noexcept;
    GitObjectReader(const GitObjectReader&) = delete;
    GitObjectReader& operator=(const GitObjectReader&) = delete;
    ~GitObjectReader() { close(); }

    // The content of object `id`, which must have `type` ("commit", "tree" or "blob"). A failure
    // after the request was sent closes the reader.
    Result<Bytes, std::string> read_object(std::string_view id, std::string_view type);
    void close();

private:
    GitObjectReader() = default;
    // One request and its answer.
    Result<Bytes, std::string> exchange(const std::string& id, std::string_view type);
    // Fills the buffer; 0 at end of stream, -1 with errno set (ETIMEDOUT past the deadline).
    long fill(std::int64_t deadline_ms);
    // Copies up to `n` buffered or newly read bytes into `into`; false on end of stream or error.
    bool read_exact(Bytes& into, std::size_t n, std::int64_t deadline_ms);

    int pid_ = -1;
    int input_ = -1;   // requests go here (a socket, so a dead reader cannot raise SIGPIPE)
    int output_ = -1;
    std::string buffer_;
    std::size_t start_ = 0;
};

Result<Bytes, std::string> git_host_read_object(GitObjectReader& reader, std::string_view id, std::string_view type);

}  // namespace tw
