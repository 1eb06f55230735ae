// Descriptor tables (one per process) and the machine-wide table of open-file descriptions and
// pipes. A description is shared by every descriptor installed from it and lives while at least
// one reference remains; descriptors and descriptions are numbers, never pointers.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/io.h"

namespace tw {

enum class DescriptorError : std::uint8_t {
    InvalidFd,
    WrongAccess,
    DescriptorLimit,
    DescriptionLimit,
    PipeLimit,
    InvalidPipeCapacity,
    BrokenPipe,
    OutputLimit,
    ReferenceOverflow,
};

// The user-visible text ("bad file descriptor", ...).
std::string_view error_text(DescriptorError e);
// The variant's own name ("InvalidFd", ...), as system-call errors display it.
std::string_view error_name(DescriptorError e);

inline constexpr std::size_t kMaxDescriptorsPerProcess = 256;
inline constexpr std::size_t kMaxDescriptions = 4096;
inline constexpr std::size_t kMaxPipes = 1024;
inline constexpr std::uint64_t kPipeCapacity = 65536;
inline constexpr std::uint64_t kMaxBufferedBytes = 4194304;  // BufferedInput and OutputCapture data

// The bytes in flight between the write and the read ends of a pipe, oldest first. The reader
// and writer counts are per description (a description shared by many descriptors counts once).
// The bytes a pipe holds, first in, first out: a buffer whose front part up to `head` has been
// taken already. Taking moves only the head; the taken part is dropped when it is at least as
// long as what is left, so each byte is moved at most a constant number of times.
class PipeBuffer {
public:
    bool empty() const { return head_ == data_.size(); }
    std::uint64_t size() const { return data_.size() - head_; }
    void append(BytesView bytes);
    void clear() {
        data_.clear();
        head_ = 0;
    }
    // Up to `count` bytes from the front, removed.
    Bytes take(std::uint64_t count);

private:
    Bytes data_;
    std::size_t head_ = 0;
};

struct Pipe {
    PipeBuffer buffer;
    std::uint64_t capacity = kPipeCapacity;
    std::uint32_t readers = 0;
    std::uint32_t writers = 0;

    std::uint64_t buffered() const { return buffer.size(); }
    // Free room; 0 when full (or over-full).
    std::uint64_t room() const { return capacity > buffer.size() ? capacity - buffer.size() : 0; }
    // Appends as much of `bytes` as fits and answers how much that was.
    std::uint64_t push(BytesView bytes);
    // Takes up to `count` bytes from the front.
    Bytes take(std::uint64_t count);
};

enum class DeviceKind : std::uint8_t { Zero, Random, Urandom };

// Every open of a device starts its generator here, so each open yields the same bytes.
inline constexpr std::uint64_t kRandomStartState = 0x243F6A8885A308D3ULL;
inline constexpr std::uint64_t kUrandomStartState = 0x13198A2E03707344ULL;
std::uint64_t device_start_state(DeviceKind kind);
// One byte of the xorshift64* generator; advances `state`.
std::uint8_t device_next_byte(std::uint64_t& state);

enum class LockMode : std::uint8_t { Shared = 0, Exclusive = 1, None = 2 };

struct FileBacking {
    // Absent: the bytes are those of the filesystem node at the description's path.
    // Present: the file was unlinked while open and lives on as this orphan.
    std::optional<std::uint64_t> orphan;
    bool operator==(const FileBacking&) const = default;
};

namespace target {
struct Directory { std::string path; };
struct BufferedInput { Bytes data; std::uint64_t cursor = 0; bool closed = false; };
// `host`: the capture hands its bytes to the host (an action's standard output or error); it
// is never refused but cut at its bound, and `cut` says so until the cut is reported.
struct OutputCapture { Bytes data; std::uint64_t consumed = 0; bool host = false; bool cut = false; };
struct NullDevice { bool readable = false, writable = false; };
struct Device { std::uint64_t state = 0; DeviceKind kind = DeviceKind::Zero; bool readable = false, writable = false; };
struct File {
    FileBacking backing;
    std::string path;
    std::uint64_t cursor = 0;
    bool readable = false, writable = false, append = false, created = false;
};
struct PipeRead { std::uint32_t pipe = 0; };
struct PipeWrite { std::uint32_t pipe = 0; };
}  // namespace target

// In this order: Directory, BufferedInput, OutputCapture, NullDevice, Device, File, PipeRead, PipeWrite.
using DescriptionTarget = std::variant<target::Directory, target::BufferedInput, target::OutputCapture,
                                       target::NullDevice, target::Device, target::File, target::PipeRead,
                                       target::PipeWrite>;

enum class FileTypeCode : std::uint8_t { Regular = 0, Directory = 1, CharDevice = 2, Pipe = 3 };

// What OpenDescriptionTable::file_type reports: the access, the status-flag byte and the kind.
struct FileTypeInfo {
    bool readable = false;
    bool writable = false;
    std::uint8_t status_flags = 0;
    FileTypeCode type = FileTypeCode::Regular;
    friend bool operator==(const FileTypeInfo&, const FileTypeInfo&) = default;
};

// Which pipe end a description is. The codes are those Machine::wake_pipe_waiters takes as its
// `end`: a write end 0 (its readers wait), a read end 1 (its writers wait), 2 no pipe end, and
// 3 for a description number that is not in the table.
enum class PipeEndKind : std::uint8_t { Write = 0, Read = 1, NotPipe = 2, Missing = 3 };

struct PipeEndpoint {
    PipeEndKind kind = PipeEndKind::NotPipe;
    std::uint32_t pipe = 0;  // Write and Read only

    bool is_pipe_end() const { return kind == PipeEndKind::Write || kind == PipeEndKind::Read; }
    int wake_end() const { return static_cast<int>(kind == PipeEndKind::Missing ? PipeEndKind::NotPipe : kind); }
    friend bool operator==(const PipeEndpoint&, const PipeEndpoint&) = default;
};

// The two failures of taking captured output.
enum class CaptureError : std::uint8_t { Missing, NotCapture };
std::string_view error_text(CaptureError e);

// The kernel side of a Python subprocess stream: a missing description (raised as the descriptor
// error of InvalidFd) or a description that is no pipe end.
enum class SubprocessEndpointError : std::uint8_t { Missing, NotPipe };
// "descriptor error: bad file descriptor", "subprocess endpoint is not a pipe".
std::string_view error_text(SubprocessEndpointError e);

struct OpenDescription {
    std::optional<std::uint64_t> inode;
    DescriptionTarget target;
    std::uint64_t lock_inode = 0;
    LockMode lock_mode = LockMode::None;
    std::uint32_t references = 0;
    std::uint8_t status_flags = 0;
};

// Every operation that answers an error leaves the table as it was. Numbers not in the table
// are always reported (InvalidFd or the operation's own "missing" answer), never assumed.
class OpenDescriptionTable {
public:
    // ---- creation (each new description has no references, no lock, no inode, flags 0) ----

    // Any target. DescriptionLimit when 4096 descriptions exist or the numbers are exhausted.
    Result<std::uint32_t, DescriptorError> insert(DescriptionTarget target);
    // Whether `n` more descriptions could be inserted now.
    bool can_insert(std::size_t n = 1) const;
    // A closed BufferedInput holding `data`; more than 4 MiB is refused with OutputLimit.
    Result<std::uint32_t, DescriptorError> insert_buffer(Bytes data);
    // An open, empty BufferedInput that its owner extends (append_input) and closes (close_input).
    Result<std::uint32_t, DescriptorError> insert_open_input();
    // An empty OutputCapture.
    Result<std::uint32_t, DescriptorError> insert_capture();
    // A NullDevice with the given access.
    Result<std::uint32_t, DescriptorError> insert_device(bool readable, bool writable);
    // A new pipe of 65,536 bytes with its read and write descriptions: (read, write). PipeLimit
    // when 1024 pipes exist or the pipe numbers are exhausted; DescriptionLimit when two more
    // descriptions do not fit. Nothing is created on failure.
    Result<std::pair<std::uint32_t, std::uint32_t>, DescriptorError> create_pipe();

    // ---- references ----

    // InvalidFd when missing, ReferenceOverflow at the largest count.
    Result<void, DescriptorError> add_ref(std::uint32_t number);
    // Drops one reference; the last one removes the description with its pipe end (the pipe goes
    // when neither end is left) and its lock (locks_changed is set). InvalidFd when missing or
    // unreferenced. Waking the pipe's waiters is the caller's work.
    Result<void, DescriptorError> release(std::uint32_t number);
    // Removes the description as its last release would, when it exists with no references.
    void release_if_unused(std::uint32_t number);

    // ---- access and fields ----

    Result<const OpenDescription*, DescriptorError> get(std::uint32_t number) const;
    Result<OpenDescription*, DescriptorError> get_mut(std::uint32_t number);
    Result<void, DescriptorError> set_inode(std::uint32_t number, std::uint64_t inode);
    // The cursor of a File; WrongAccess for other targets.
    Result<void, DescriptorError> set_cursor(std::uint32_t number, std::uint64_t cursor);
    // Stores the status-flag byte; false when the number is not in the table.
    bool set_fd_flags(std::uint32_t number, std::uint8_t flags);
    // A copy of a File target; nothing for any other target.
    Result<std::optional<target::File>, DescriptorError> classify_file(std::uint32_t number) const;
    // The /proc/PID/fd name: a directory's or file's path, "/dev/null", "/dev/zero", ...,
    // "pipe:[N]" with the description number for buffers and captures, with the pipe number for
    // pipe ends. Empty when the number is not in the table.
    std::string display_name(std::uint32_t number) const;
    // Access, status flags and kind; nothing when the number is not in the table.
    std::optional<FileTypeInfo> file_type(std::uint32_t number) const;

    // ---- moving bytes through the targets that are no files ----

    // BufferedInput, NullDevice, Device (at most 4096 bytes a call), PipeRead; WrongAccess for the
    // others. Waking the pipe's writers is the caller's work.
    Result<ReadOutcome, DescriptorError> read_bytes(std::uint32_t number, std::uint64_t count);
    // OutputCapture (all or OutputLimit; a host capture takes what fits and notes the cut), NullDevice and Device (discarded), PipeWrite (as much as
    // fits; BrokenPipe without reader); WrongAccess for the others.
    Result<WriteOutcome, DescriptorError> write_bytes(std::uint32_t number, BytesView bytes);

    // An open BufferedInput grows by `bytes`: InvalidFd when missing, WrongAccess when no input
    // buffer or already closed, OutputLimit beyond 4 MiB (nothing appended).
    Result<void, DescriptorError> append_input(std::uint32_t number, BytesView bytes);
    // No more bytes will come: readers see end of input after the buffered ones. InvalidFd when
    // missing, WrongAccess when no input buffer; closing a closed buffer is no error.
    Result<void, DescriptorError> close_input(std::uint32_t number);

    // The unread part of an OutputCapture as text (invalid UTF-8 becomes U+FFFD); it then counts
    // as consumed.
    Result<std::string, CaptureError> take_captured_output(std::uint32_t number);
    // The same, byte for byte.
    Result<Bytes, CaptureError> take_captured_bytes(std::uint32_t number);

    const std::map<std::uint32_t, OpenDescription>& descriptions() const { return descriptions_; }
    const std::map<std::uint32_t, Pipe>& pipes() const { return pipes_; }
    std::map<std::uint32_t, Pipe>& pipes_mut() { return pipes_; }
    bool pipe_exists(std::uint32_t pipe) const { return pipes_.contains(pipe); }
    bool locks_changed() const { return locks_changed_; }
    void set_locks_changed(bool v) { locks_changed_ = v; }

private:
    std::map<std::uint32_t, OpenDescription> descriptions_;
    std::map<std::uint32_t, Pipe> pipes_;
    bool locks_changed_ = false;
    std::uint32_t next_description_ = 0;
    std::uint32_t next_pipe_ = 0;
};

// Which pipe end a description is (Missing when the number is not in the table).
PipeEndpoint description_pipe_endpoint(const OpenDescriptionTable& table, std::uint32_t number);
// The pipe end behind a Python subprocess stream's description.
Result<PipeEndpoint, SubprocessEndpointError> subprocess_stream_endpoint(const OpenDescriptionTable& table,
                                                                         std::uint32_t number);

// One process's descriptors: number -> description number, plus the close-on-exec marks. At most
// 256 descriptors; each entry holds one reference on its description.
class DescriptorTable {
public:
    // Maps `fd` to the description, adding a reference and clearing fd's close-on-exec mark; what
    // fd held before is released (should that fail: InvalidFd, the new mapping stays). InvalidFd
    // for a negative fd or a missing description, DescriptorLimit for a 257th number.
    Result<void, DescriptorError> install(std::int32_t fd, std::uint32_t number, OpenDescriptionTable& table);
    // InvalidFd when not open; else removes it with its mark and releases its description.
    Result<void, DescriptorError> close(std::int32_t fd, OpenDescriptionTable& table);
    // Releases every entry (ascending, failures ignored) and empties the table.
    void close_all(OpenDescriptionTable& table);
    // A copy for a new process: one more reference on every description, close-on-exec marks kept.
    // On failure the references already added are given back.
    Result<DescriptorTable, DescriptorError> inherit(OpenDescriptionTable& table) const;

    std::uint64_t count() const { return fds_.size(); }
    bool is_open(std::int32_t fd) const { return fds_.contains(fd); }
    // The description number; InvalidFd when not open.
    Result<std::uint32_t, DescriptorError> lookup(std::int32_t fd) const;
    std::optional<std::uint32_t> description_of(std::int32_t fd) const;
    Result<void, DescriptorError> set_cloexec(std::int32_t fd, bool on);
    Result<bool, DescriptorError> is_cloexec(std::int32_t fd) const;
    // The lowest number in [from, to] that is not open.
    std::optional<std::int32_t> lowest_free(std::int32_t from, std::int32_t to) const;

    // In ascending descriptor order, the first descriptor whose description is a pipe end.
    std::optional<PipeEndpoint> first_pipe_end(const OpenDescriptionTable& table) const;
    // The same among the descriptors marked close-on-exec.
    std::optional<PipeEndpoint> first_cloexec_pipe_end(const OpenDescriptionTable& table) const;
    // Every pipe end, in ascending descriptor order (a description held twice is listed twice).
    std::vector<PipeEndpoint> pipe_ends(const OpenDescriptionTable& table) const;

    const std::map<std::int32_t, std::uint32_t>& fds() const { return fds_; }
    const std::set<std::int32_t>& cloexec() const { return cloexec_; }

private:
    std::map<std::int32_t, std::uint32_t> fds_;
    std::set<std::int32_t> cloexec_;
};

}  // namespace tw
