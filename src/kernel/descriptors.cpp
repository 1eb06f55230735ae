#include "kernel/descriptors.h"

#include <array>

#include <fmt/format.h>

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

Result<std::uint32_t, DescriptorError> OpenDescriptionTable::insert_buffer(Bytes data) {
    if (data.size() > kMaxBufferedBytes) return std::unexpected(DescriptorError::OutputLimit);
    return insert(target::BufferedInput{.data = std::move(data), .cursor = 0, .closed = true});
}

Result<std::uint32_t, DescriptorError> OpenDescriptionTable::insert_capture() {
    return insert(target::OutputCapture{});
}

Result<std::pair<std::uint32_t, std::uint32_t>, DescriptorError> OpenDescriptionTable::create_pipe() {
    if (pipes_.size() >= kMaxPipes || next_pipe_ == UINT32_MAX) return std::unexpected(DescriptorError::PipeLimit);
    if (descriptions_.size() + 2 > kMaxDescriptions || next_description_ >= UINT32_MAX - 1)
        return std::unexpected(DescriptorError::DescriptionLimit);
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
