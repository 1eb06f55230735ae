#include "kernel/descriptors.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "base/utf8.h"

namespace tw {

std::string_view error_text(DescriptorError e) {
    static constexpr std::array<std::string_view, 9> kTexts = {
        "bad file descriptor",
        "descriptor is not open for that operation",
        "process descriptor limit exceeded",
        "open-description limit exceeded",
        "pipe limit exceeded",
        "invalid pipe capacity",
        "broken pipe",
        "descriptor output limit exceeded",
        "descriptor reference limit exceeded",
    };
    return kTexts[static_cast<std::size_t>(e)];
}

std::string_view error_name(DescriptorError e) {
    static constexpr std::array<std::string_view, 9> kNames = {
        "InvalidFd",   "WrongAccess", "DescriptorLimit", "DescriptionLimit",  "PipeLimit",
        "InvalidPipeCapacity", "BrokenPipe", "OutputLimit", "ReferenceOverflow",
    };
    return kNames[static_cast<std::size_t>(e)];
}

std::string_view error_text(CaptureError e) {
    return e == CaptureError::Missing ? "no such output capture" : "description is not an output capture";
}

std::string_view error_text(SubprocessEndpointError e) {
    return e == SubprocessEndpointError::Missing ? "descriptor error: bad file descriptor"
                                                 : "subprocess endpoint is not a pipe";
}

// ---- pipes and devices ----

void PipeBuffer::append(BytesView bytes) {
    if (head_ > 0 && head_ >= data_.size() - head_) {
        data_.erase(0, head_);
        head_ = 0;
    }
    data_.append(bytes);
}

Bytes PipeBuffer::take(std::uint64_t count) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, size()));
    Bytes out(data_, head_, n);
    head_ += n;
    if (head_ == data_.size()) {
        data_.clear();
        head_ = 0;
    }
    return out;
}

std::uint64_t Pipe::push(BytesView bytes) {
    const std::uint64_t n = std::min<std::uint64_t>(bytes.size(), room());
    buffer.append(bytes.substr(0, static_cast<std::size_t>(n)));
    return n;
}

Bytes Pipe::take(std::uint64_t count) { return buffer.take(count); }

std::uint64_t device_start_state(DeviceKind kind) {
    switch (kind) {
    case DeviceKind::Zero: return 0;
    case DeviceKind::Random: return kRandomStartState;
    case DeviceKind::Urandom: return kUrandomStartState;
    }
    return 0;
}

std::uint8_t device_next_byte(std::uint64_t& state) {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return static_cast<std::uint8_t>((state * 0x2545F4914F6CDD1DULL) >> 56);
}

// ---- OpenDescriptionTable ----

Result<std::uint32_t, DescriptorError> OpenDescriptionTable::insert(DescriptionTarget target) {
    if (descriptions_.size() >= kMaxDescriptions || next_description_ == UINT32_MAX)
        return std::unexpected(DescriptorError::DescriptionLimit);
    const std::uint32_t number = next_description_++;
    OpenDescription description;
    description.target = std::move(target);
    descriptions_.emplace(number, std::move(description));
    return number;
}

bool OpenDescriptionTable::can_insert(std::size_t n) const {
    return descriptions_.size() + n <= kMaxDescriptions && UINT32_MAX - next_description_ >= n;
}

Result<std::uint32_t, DescriptorError> OpenDescriptionTable::insert_open_input() {
    return insert(target::BufferedInput{.data = {}, .cursor = 0, .closed = false});
}

Result<std::uint32_t, DescriptorError> OpenDescriptionTable::insert_device(bool readable, bool writable) {
    return insert(target::NullDevice{.readable = readable, .writable = writable});
}

Result<std::uint32_t, DescriptorError> OpenDescriptionTable::insert_buffer(Bytes data) {
    if (data.size() > kMaxBufferedBytes) return std::unexpected(DescriptorError::OutputLimit);
    return insert(target::BufferedInput{.data = std::move(data), .cursor = 0, .closed = true});
}

Result<std::uint32_t, DescriptorError> OpenDescriptionTable::insert_capture() {
    return insert(target::OutputCapture{});
}

Result<std::pair<std::uint32_t, std::uint32_t>, DescriptorError> OpenDescriptionTable::create_pipe() {
    if (pipes_.size() >= kMaxPipes || next_pipe_ == UINT32_MAX) return std::unexpected(DescriptorError::PipeLimit);
    if (!can_insert(2)) return std::unexpected(DescriptorError::DescriptionLimit);
    const std::uint32_t pipe = next_pipe_++;
    Pipe fresh;
    fresh.readers = 1;
    fresh.writers = 1;
    pipes_.emplace(pipe, std::move(fresh));
    const std::uint32_t read = *insert(target::PipeRead{pipe});
    const std::uint32_t write = *insert(target::PipeWrite{pipe});
    return std::pair{read, write};
}

Result<void, DescriptorError> OpenDescriptionTable::add_ref(std::uint32_t number) {
    auto it = descriptions_.find(number);
    if (it == descriptions_.end()) return std::unexpected(DescriptorError::InvalidFd);
    if (it->second.references == UINT32_MAX) return std::unexpected(DescriptorError::ReferenceOverflow);
    ++it->second.references;
    return {};
}

Result<void, DescriptorError> OpenDescriptionTable::release(std::uint32_t number) {
    auto it = descriptions_.find(number);
    if (it == descriptions_.end() || it->second.references == 0)
        return std::unexpected(DescriptorError::InvalidFd);
    if (--it->second.references > 0) return {};
    if (it->second.lock_mode != LockMode::None) locks_changed_ = true;
    auto drop_pipe_end = [&](std::uint32_t pipe, bool reader) {
        auto p = pipes_.find(pipe);
        if (p == pipes_.end()) return;
        std::uint32_t& count = reader ? p->second.readers : p->second.writers;
        if (count > 0) --count;
        if (p->second.readers == 0 && p->second.writers == 0) pipes_.erase(p);
    };
    if (auto* r = std::get_if<target::PipeRead>(&it->second.target)) drop_pipe_end(r->pipe, true);
    if (auto* w = std::get_if<target::PipeWrite>(&it->second.target)) drop_pipe_end(w->pipe, false);
    descriptions_.erase(it);
    return {};
}

void OpenDescriptionTable::release_if_unused(std::uint32_t number) {
    auto it = descriptions_.find(number);
    if (it == descriptions_.end() || it->second.references != 0) return;
    it->second.references = 1;
    (void)release(number);
}

Result<const OpenDescription*, DescriptorError> OpenDescriptionTable::get(std::uint32_t number) const {
    auto it = descriptions_.find(number);
    if (it == descriptions_.end()) return std::unexpected(DescriptorError::InvalidFd);
    return &it->second;
}

Result<OpenDescription*, DescriptorError> OpenDescriptionTable::get_mut(std::uint32_t number) {
    auto it = descriptions_.find(number);
    if (it == descriptions_.end()) return std::unexpected(DescriptorError::InvalidFd);
    return &it->second;
}

Result<void, DescriptorError> OpenDescriptionTable::set_inode(std::uint32_t number, std::uint64_t inode) {
    auto d = get_mut(number);
    if (!d) return std::unexpected(d.error());
    (*d)->inode = inode;
    return {};
}

Result<void, DescriptorError> OpenDescriptionTable::set_cursor(std::uint32_t number, std::uint64_t cursor) {
    auto d = get_mut(number);
    if (!d) return std::unexpected(d.error());
    auto* file = std::get_if<target::File>(&(*d)->target);
    if (!file) return std::unexpected(DescriptorError::WrongAccess);
    file->cursor = cursor;
    return {};
}

bool OpenDescriptionTable::set_fd_flags(std::uint32_t number, std::uint8_t flags) {
    auto d = get_mut(number);
    if (!d) return false;
    (*d)->status_flags = flags;
    return true;
}

Result<std::optional<target::File>, DescriptorError> OpenDescriptionTable::classify_file(std::uint32_t number) const {
    auto d = get(number);
    if (!d) return std::unexpected(d.error());
    if (const auto* file = std::get_if<target::File>(&(*d)->target)) return std::optional<target::File>(*file);
    return std::optional<target::File>();
}

std::optional<FileTypeInfo> OpenDescriptionTable::file_type(std::uint32_t number) const {
    auto it = descriptions_.find(number);
    if (it == descriptions_.end()) return std::nullopt;
    struct Kind {
        FileTypeInfo operator()(const target::Directory&) const { return {true, false, 0, FileTypeCode::Directory}; }
        FileTypeInfo operator()(const target::BufferedInput&) const { return {true, false, 0, FileTypeCode::Pipe}; }
        FileTypeInfo operator()(const target::OutputCapture&) const { return {false, true, 0, FileTypeCode::Pipe}; }
        FileTypeInfo operator()(const target::NullDevice& d) const {
            return {d.readable, d.writable, 0, FileTypeCode::CharDevice};
        }
        FileTypeInfo operator()(const target::Device& d) const {
            return {d.readable, d.writable, 0, FileTypeCode::CharDevice};
        }
        FileTypeInfo operator()(const target::File& f) const { return {f.readable, f.writable, 0, FileTypeCode::Regular}; }
        FileTypeInfo operator()(const target::PipeRead&) const { return {true, false, 0, FileTypeCode::Pipe}; }
        FileTypeInfo operator()(const target::PipeWrite&) const { return {false, true, 0, FileTypeCode::Pipe}; }
    };
    FileTypeInfo info = std::visit(Kind{}, it->second.target);
    info.status_flags = it->second.status_flags;
    return info;
}

Result<Bytes, CaptureError> OpenDescriptionTable::take_captured_bytes(std::uint32_t number) {
    auto it = descriptions_.find(number);
    if (it == descriptions_.end()) return std::unexpected(CaptureError::Missing);
    auto* capture = std::get_if<target::OutputCapture>(&it->second.target);
    if (!capture) return std::unexpected(CaptureError::NotCapture);
    const std::uint64_t start = std::min<std::uint64_t>(capture->consumed, capture->data.size());
    Bytes out = capture->data.substr(start);
    capture->consumed = capture->data.size();
    return out;
}

Result<std::string, CaptureError> OpenDescriptionTable::take_captured_output(std::uint32_t number) {
    auto bytes = take_captured_bytes(number);
    if (!bytes) return std::unexpected(bytes.error());
    return utf8_lossy(*bytes);
}

std::string OpenDescriptionTable::display_name(std::uint32_t number) const {
    auto it = descriptions_.find(number);
    if (it == descriptions_.end()) return {};
    struct Namer {
        std::uint32_t number;
        std::string operator()(const target::Directory& d) const { return d.path; }
        std::string operator()(const target::BufferedInput&) const { return fmt::format("pipe:[{}]", number); }
        std::string operator()(const target::OutputCapture&) const { return fmt::format("pipe:[{}]", number); }
        std::string operator()(const target::NullDevice&) const { return "/dev/null"; }
        std::string operator()(const target::Device& d) const {
            switch (d.kind) {
            case DeviceKind::Zero: return "/dev/zero";
            case DeviceKind::Random: return "/dev/random";
            case DeviceKind::Urandom: return "/dev/urandom";
            }
            return {};
        }
        std::string operator()(const target::File& f) const { return f.path; }
        std::string operator()(const target::PipeRead& p) const { return fmt::format("pipe:[{}]", p.pipe); }
        std::string operator()(const target::PipeWrite& p) const { return fmt::format("pipe:[{}]", p.pipe); }
    };
    return std::visit(Namer{number}, it->second.target);
}

PipeEndpoint description_pipe_endpoint(const OpenDescriptionTable& table, std::uint32_t number) {
    auto d = table.get(number);
    if (!d) return {PipeEndKind::Missing, 0};
    if (const auto* r = std::get_if<target::PipeRead>(&(*d)->target)) return {PipeEndKind::Read, r->pipe};
    if (const auto* w = std::get_if<target::PipeWrite>(&(*d)->target)) return {PipeEndKind::Write, w->pipe};
    return {PipeEndKind::NotPipe, 0};
}

Result<PipeEndpoint, SubprocessEndpointError> subprocess_stream_endpoint(const OpenDescriptionTable& table,
                                                                         std::uint32_t number) {
    PipeEndpoint end = description_pipe_endpoint(table, number);
    if (end.kind == PipeEndKind::Missing) return std::unexpected(SubprocessEndpointError::Missing);
    if (!end.is_pipe_end()) return std::unexpected(SubprocessEndpointError::NotPipe);
    return end;
}

// ---- DescriptorTable ----

Result<void, DescriptorError> DescriptorTable::install(std::int32_t fd, std::uint32_t number,
                                                       OpenDescriptionTable& table) {
    if (fd < 0) return std::unexpected(DescriptorError::InvalidFd);
    auto it = fds_.find(fd);
    if (it == fds_.end() && fds_.size() >= kMaxDescriptorsPerProcess)
        return std::unexpected(DescriptorError::DescriptorLimit);
    if (auto r = table.add_ref(number); !r) return r;
    std::optional<std::uint32_t> previous;
    if (it != fds_.end()) {
        previous = it->second;
        it->second = number;
    } else {
        fds_.emplace(fd, number);
    }
    cloexec_.erase(fd);
    if (previous && !table.release(*previous)) return std::unexpected(DescriptorError::InvalidFd);
    return {};
}

Result<void, DescriptorError> DescriptorTable::close(std::int32_t fd, OpenDescriptionTable& table) {
    auto it = fds_.find(fd);
    if (it == fds_.end()) return std::unexpected(DescriptorError::InvalidFd);
    const std::uint32_t number = it->second;
    fds_.erase(it);
    cloexec_.erase(fd);
    return table.release(number);
}

void DescriptorTable::close_all(OpenDescriptionTable& table) {
    cloexec_.clear();
    for (const auto& [fd, number] : fds_) (void)table.release(number);
    fds_.clear();
}

Result<DescriptorTable, DescriptorError> DescriptorTable::inherit(OpenDescriptionTable& table) const {
    for (auto it = fds_.begin(); it != fds_.end(); ++it) {
        if (auto r = table.add_ref(it->second); !r) {
            for (auto undo = fds_.begin(); undo != it; ++undo) (void)table.release(undo->second);
            return std::unexpected(r.error());
        }
    }
    return *this;
}

Result<std::uint32_t, DescriptorError> DescriptorTable::lookup(std::int32_t fd) const {
    auto it = fds_.find(fd);
    if (it == fds_.end()) return std::unexpected(DescriptorError::InvalidFd);
    return it->second;
}

std::optional<std::int32_t> DescriptorTable::lowest_free(std::int32_t from, std::int32_t to) const {
    // Walk the open numbers from `from` on: the first gap is the answer.
    std::int32_t candidate = from;
    for (auto it = fds_.lower_bound(from); it != fds_.end() && it->first == candidate && candidate <= to; ++it)
        ++candidate;
    if (candidate > to) return std::nullopt;
    return candidate;
}

std::optional<PipeEndpoint> DescriptorTable::first_pipe_end(const OpenDescriptionTable& table) const {
    for (const auto& [fd, number] : fds_)
        if (PipeEndpoint end = description_pipe_endpoint(table, number); end.is_pipe_end()) return end;
    return std::nullopt;
}

std::optional<PipeEndpoint> DescriptorTable::first_cloexec_pipe_end(const OpenDescriptionTable& table) const {
    for (std::int32_t fd : cloexec_) {
        auto it = fds_.find(fd);
        if (it == fds_.end()) continue;
        if (PipeEndpoint end = description_pipe_endpoint(table, it->second); end.is_pipe_end()) return end;
    }
    return std::nullopt;
}

std::vector<PipeEndpoint> DescriptorTable::pipe_ends(const OpenDescriptionTable& table) const {
    std::vector<PipeEndpoint> ends;
    for (const auto& [fd, number] : fds_)
        if (PipeEndpoint end = description_pipe_endpoint(table, number); end.is_pipe_end()) ends.push_back(end);
    return ends;
}

std::optional<std::uint32_t> DescriptorTable::description_of(std::int32_t fd) const {
    auto it = fds_.find(fd);
    if (it == fds_.end()) return std::nullopt;
    return it->second;
}

Result<void, DescriptorError> DescriptorTable::set_cloexec(std::int32_t fd, bool on) {
    if (!fds_.contains(fd)) return std::unexpected(DescriptorError::InvalidFd);
    if (on) cloexec_.insert(fd);
    else cloexec_.erase(fd);
    return {};
}

Result<bool, DescriptorError> DescriptorTable::is_cloexec(std::int32_t fd) const {
    if (!fds_.contains(fd)) return std::unexpected(DescriptorError::InvalidFd);
    return cloexec_.contains(fd);
}

}  // namespace tw
