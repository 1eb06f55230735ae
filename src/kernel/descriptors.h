// Descriptor tables (one per process) and the machine-wide table of open-file descriptions and
// pipes. A description is shared by every descriptor installed from it and lives while at least
// one reference remains; descriptors and descriptions are numbers, never pointers.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>

#include "base/bytes.h"
#include "base/result.h"

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

struct Pipe {
    std::deque<char> buffer;
    std::uint64_t capacity = kPipeCapacity;
    std::uint32_t readers = 0;
    std::uint32_t writers = 0;
};

enum class DeviceKind : std::uint8_t { Zero, Random, Urandom };

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
struct OutputCapture { Bytes data; std::uint64_t consumed = 0; };
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

struct OpenDescription {
    std::optional<std::uint64_t> inode;
    DescriptionTarget target;
    std::uint64_t lock_inode = 0;
    LockMode lock_mode = LockMode::None;
    std::uint32_t references = 0;
    std::uint8_t status_flags = 0;
};

class OpenDescriptionTable {
public:
    // A closed BufferedInput holding `data`; more than 4 MiB is refused with OutputLimit.
    Result<std::uint32_t, DescriptorError> insert_buffer(Bytes data);
    // An empty OutputCapture.
    Result<std::uint32_t, DescriptorError> insert_capture();
    // Any target; the description starts with no references.
    Result<std::uint32_t, DescriptorError> insert(DescriptionTarget target);
    // A new pipe with its read and write descriptions: (read description, write description).
    Result<std::pair<std::uint32_t, std::uint32_t>, DescriptorError> create_pipe();

    Result<void, DescriptorError> add_ref(std::uint32_t number);
    Result<void, DescriptorError> release(std::uint32_t number);
    void release_if_unused(std::uint32_t number);

    Result<const OpenDescription*, DescriptorError> get(std::uint32_t number) const;
    Result<OpenDescription*, DescriptorError> get_mut(std::uint32_t number);

    std::string display_name(std::uint32_t number) const;

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

class DescriptorTable {
public:
    Result<void, DescriptorError> install(std::int32_t fd, std::uint32_t number, OpenDescriptionTable& table);
    Result<void, DescriptorError> close(std::int32_t fd, OpenDescriptionTable& table);
    void close_all(OpenDescriptionTable& table);
    // A copy for a new process: one more reference on every description, close-on-exec marks kept.
    Result<DescriptorTable, DescriptorError> inherit(OpenDescriptionTable& table) const;

    std::uint64_t count() const { return fds_.size(); }
    std::optional<std::uint32_t> description_of(std::int32_t fd) const;
    Result<void, DescriptorError> set_cloexec(std::int32_t fd, bool on);
    Result<bool, DescriptorError> is_cloexec(std::int32_t fd) const;

    const std::map<std::int32_t, std::uint32_t>& fds() const { return fds_; }
    const std::set<std::int32_t>& cloexec() const { return cloexec_; }

private:
    std::map<std::int32_t, std::uint32_t> fds_;
    std::set<std::int32_t> cloexec_;
};

}  // namespace tw
