// The values that reads, writes and opens of descriptors answer. Reads and writes never block:
// when nothing can move they answer the WaitReason to wait on, and the operation that later moves
// bytes wakes the waiters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/bytes.h"
#include "kernel/scheduler.h"

namespace tw {

struct SyscallError;
enum class StopReason : std::uint8_t;

// Bytes read (empty: end of input), or nothing now with the reason to wait on: InputReadable of
// an exhausted open input buffer, PipeReadable of an empty pipe that still has writers.
struct ReadOutcome {
    Bytes data;
    std::optional<WaitReason> wait;

    static ReadOutcome of(Bytes data) { return {std::move(data), std::nullopt}; }
    static ReadOutcome would_block(WaitReason reason) { return {{}, std::move(reason)}; }

    bool blocked() const { return wait.has_value(); }
    bool at_end() const { return !wait && data.empty(); }
    friend bool operator==(const ReadOutcome&, const ReadOutcome&) = default;
};

// The number of bytes accepted (a pipe may take fewer than offered), or nothing now because the
// pipe is full (PipeWritable of the pipe).
struct WriteOutcome {
    std::uint64_t written = 0;
    std::optional<WaitReason> wait;

    static WriteOutcome of(std::uint64_t written) { return {written, std::nullopt}; }
    static WriteOutcome would_block(WaitReason reason) { return {0, std::move(reason)}; }

    bool blocked() const { return wait.has_value(); }
    friend bool operator==(const WriteOutcome&, const WriteOutcome&) = default;
};

struct OpenFlags {
    bool read = false;
    bool write = false;
    bool create = false;
    bool exclusive = false;
    bool truncate = false;
    bool append = false;

    // The shell's redirections: <, >, >>, <>.
    static constexpr OpenFlags input() { return {.read = true}; }
    static constexpr OpenFlags output() { return {.write = true, .create = true, .truncate = true}; }
    static constexpr OpenFlags append_output() { return {.write = true, .create = true, .append = true}; }
    static constexpr OpenFlags read_write() { return {.read = true, .write = true, .create = true}; }

    friend bool operator==(const OpenFlags&, const OpenFlags&) = default;
};

// Caps for one call: device reads move at most 4096 bytes, file reads at most 4 MiB.
inline constexpr std::uint64_t kDeviceReadChunk = 4096;
inline constexpr std::uint64_t kFileReadChunk = 4194304;
// The most bytes an output buffer of a run holds (append_bounded_output).
inline constexpr std::uint64_t kBoundedOutputLimit = 4194304;

// Appends as much of `bytes` as keeps `out` at or below 4 MiB and drops the rest.
void append_bounded_output(Bytes& out, BytesView bytes);

// What the builtins that read standard input print for a failed read: the filesystem error's
// text, the descriptor error's message, "descriptor is not open for reading", and for a refused
// budget the stop reason ("CPU exhausted", ...) or "device read limit exceeded".
std::string read_failure_text(const SyscallError& error, std::optional<StopReason> stop);

}  // namespace tw
