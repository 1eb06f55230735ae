// Moving bytes through descriptions: pipes, input buffers, output captures, devices and files.
// Nothing here blocks; an operation that cannot move anything answers the WaitReason to wait on,
// and the one that moves pipe bytes wakes the tasks waiting on the other side.
#include <algorithm>

#include <fmt/format.h>

#include "base/sat.h"
#include "kernel/machine.h"

namespace tw {

// ---- targets that are no files ----

Result<ReadOutcome, DescriptorError> OpenDescriptionTable::read_bytes(std::uint32_t number, std::uint64_t count) {
    auto d = get_mut(number);
    if (!d) return std::unexpected(d.error());
    DescriptionTarget& target = (*d)->target;

    if (auto* input = std::get_if<target::BufferedInput>(&target)) {
        const std::uint64_t len = input->data.size();
        if (input->cursor >= len && !input->closed) return ReadOutcome::would_block(WaitReason::input_readable(number));
        const std::uint64_t start = std::min(input->cursor, len);
        const std::uint64_t end = std::min(len, sat_add(start, count));
        input->cursor = end;
        return ReadOutcome::of(input->data.substr(start, end - start));
    }
    if (auto* null = std::get_if<target::NullDevice>(&target)) {
        if (!null->readable) return std::unexpected(DescriptorError::WrongAccess);
        return ReadOutcome::of({});
    }
    if (auto* device = std::get_if<target::Device>(&target)) {
        if (!device->readable) return std::unexpected(DescriptorError::WrongAccess);
        const std::uint64_t n = std::min(count, kDeviceReadChunk);
        if (device->kind == DeviceKind::Zero) return ReadOutcome::of(Bytes(n, '\0'));
        Bytes out(n, '\0');
        for (char& c : out) c = static_cast<char>(device_next_byte(device->state));
        return ReadOutcome::of(std::move(out));
    }
    if (auto* read_end = std::get_if<target::PipeRead>(&target)) {
        auto p = pipes_.find(read_end->pipe);
        if (p == pipes_.end()) return std::unexpected(DescriptorError::InvalidFd);
        if (p->second.buffer.empty() && p->second.writers > 0)
            return ReadOutcome::would_block(WaitReason::pipe_readable(read_end->pipe));
        return ReadOutcome::of(p->second.take(count));
    }
    return std::unexpected(DescriptorError::WrongAccess);
}

Result<WriteOutcome, DescriptorError> OpenDescriptionTable::write_bytes(std::uint32_t number, BytesView bytes) {
    auto d = get_mut(number);
    if (!d) return std::unexpected(d.error());
    DescriptionTarget& target = (*d)->target;

    if (auto* capture = std::get_if<target::OutputCapture>(&target)) {
        if (sat_add(capture->data.size(), bytes.size()) > kMaxBufferedBytes) {
            if (!capture->host) return std::unexpected(DescriptorError::OutputLimit);
            capture->cut = true;
            const std::uint64_t room = sat_sub(kMaxBufferedBytes, capture->data.size());
            capture->data.append(bytes.substr(0, room));
            return WriteOutcome::of(room);
        }
        capture->data.append(bytes);
        return WriteOutcome::of(bytes.size());
    }
    if (auto* null = std::get_if<target::NullDevice>(&target)) {
        if (!null->writable) return std::unexpected(DescriptorError::WrongAccess);
        return WriteOutcome::of(bytes.size());
    }
    if (auto* device = std::get_if<target::Device>(&target)) {
        if (!device->writable) return std::unexpected(DescriptorError::WrongAccess);
        return WriteOutcome::of(bytes.size());
    }
    if (auto* write_end = std::get_if<target::PipeWrite>(&target)) {
        auto p = pipes_.find(write_end->pipe);
        if (p == pipes_.end()) return std::unexpected(DescriptorError::InvalidFd);
        if (p->second.readers == 0) return std::unexpected(DescriptorError::BrokenPipe);
        if (p->second.room() == 0) return WriteOutcome::would_block(WaitReason::pipe_writable(write_end->pipe));
        return WriteOutcome::of(p->second.push(bytes));
    }
    return std::unexpected(DescriptorError::WrongAccess);
}

Result<void, DescriptorError> OpenDescriptionTable::append_input(std::uint32_t number, BytesView bytes) {
    auto d = get_mut(number);
    if (!d) return std::unexpected(d.error());
    auto* input = std::get_if<target::BufferedInput>(&(*d)->target);
    if (!input || input->closed) return std::unexpected(DescriptorError::WrongAccess);
    if (sat_add(input->data.size(), bytes.size()) > kMaxBufferedBytes)
        return std::unexpected(DescriptorError::OutputLimit);
    input->data.append(bytes);
    return {};
}

Result<void, DescriptorError> OpenDescriptionTable::close_input(std::uint32_t number) {
    auto d = get_mut(number);
    if (!d) return std::unexpected(d.error());
    auto* input = std::get_if<target::BufferedInput>(&(*d)->target);
    if (!input) return std::unexpected(DescriptorError::WrongAccess);
    input->closed = true;
    return {};
}

void append_bounded_output(Bytes& out, BytesView bytes) {
    const std::uint64_t room = sat_sub(kBoundedOutputLimit, out.size());
    out.append(bytes.substr(0, std::min<std::uint64_t>(room, bytes.size())));
}

std::string read_failure_text(const SyscallError& error, std::optional<StopReason> stop) {
    using K = SyscallError::Kind;
    switch (error.kind) {
    case K::File: return error_text(std::get<VfsError>(error.payload));
    case K::Descriptor: return std::string(error_text(std::get<DescriptorError>(error.payload)));
    case K::InvalidArgument: return "file cursor exceeds addressable memory";
    case K::IsDirectory: return "is a directory";
    case K::Permission: return "descriptor is not open for reading";
    case K::ResourceExhausted:
        if (!stop) return "device read limit exceeded";
        switch (*stop) {
        case StopReason::cpu_exhausted: return "CPU exhausted";
        case StopReason::memory_exhausted: return "memory exhausted";
        case StopReason::output_limit_exceeded: return "output limit exceeded";
        }
        return "device read limit exceeded";
    case K::NoSuchProcess: return "no such process";
    case K::ExecutableFormat: return "unsupported executable format";
    case K::Process: return std::get<std::string>(error.payload);
    }
    return {};
}

// ---- reads and writes of the active process ----

namespace {

SyscallError descriptor_failure(DescriptorError e) { return SyscallError::descriptor(e); }

// After a failed first write: a file this very open created, that nobody has filled since and
// that no other description has open, is removed again, so the failed write leaves nothing
// behind. Anything else stays as it was: the node at the path must be the one the open created
// (same inode) and still be empty.
void remove_unused_created_file(Machine& m, std::uint32_t number, const std::string& path, std::uint64_t inode) {
    const VfsNode* n = m.vfs.node(path);
    if (!n || !n->is_file() || n->node_id != inode || !n->data()->empty()) return;
    for (const auto& [other, description] : m.open_descriptions.descriptions()) {
        if (other == number) continue;
        const auto* f = std::get_if<target::File>(&description.target);
        if (f && !f->backing.orphan && f->path == path) return;
    }
    (void)m.vfs.remove_file("/", path);
}

}  // namespace

Result<ReadOutcome, SyscallError> Machine::read_fd(std::int32_t fd, std::uint64_t max) {
    const Pid pid = states.active_pid();
    auto number = states.active().descriptors.lookup(fd);
    if (!number) return std::unexpected(descriptor_failure(number.error()));
    auto d = open_descriptions.get(*number);
    if (!d) return std::unexpected(descriptor_failure(d.error()));

    if (const auto* file = std::get_if<target::File>(&(*d)->target)) {
        const std::uint64_t cursor = file->cursor;
        auto bytes = read_description_at(fd, cursor, max);
        if (!bytes) return std::unexpected(std::move(bytes.error()));
        auto again = open_descriptions.get_mut(*number);
        if (!again) return std::unexpected(descriptor_failure(again.error()));
        auto* still = std::get_if<target::File>(&(*again)->target);
        if (!still) return std::unexpected(descriptor_failure(DescriptorError::WrongAccess));
        std::uint64_t next;
        if (__builtin_add_overflow(cursor, std::uint64_t{bytes->size()}, &next))
            return std::unexpected(descriptor_failure(DescriptorError::OutputLimit));
        still->cursor = next;
        return ReadOutcome::of(std::move(*bytes));
    }

    if (const auto* device = std::get_if<target::Device>(&(*d)->target); device && device->readable) {
        // Nothing asked, nothing moved: no charge and no refusal.
        if (max == 0) return ReadOutcome::of({});
        const MachineLimits limits = meter.limits();
        const std::uint64_t half = sat_sub(limits.cpu, meter.cpu_used()) / 2;
        const std::uint64_t allowed = std::min(half, max);
        if (allowed == 0) {
            (void)meter.charge_cpu(1);
            return std::unexpected(SyscallError::of(SyscallError::Kind::ResourceExhausted));
        }
        max = std::min(allowed, kDeviceReadChunk);
        if (!meter.charge_cpu(max)) return std::unexpected(SyscallError::of(SyscallError::Kind::ResourceExhausted));
    }

    auto outcome = open_descriptions.read_bytes(*number, max);
    if (!outcome) return std::unexpected(descriptor_failure(outcome.error()));
    if (!outcome->blocked() && !outcome->data.empty()) {
        if (PipeEndpoint end = description_pipe_endpoint(open_descriptions, *number); end.kind == PipeEndKind::Read) {
            scheduler.wake_blocked(WaitReason::pipe_writable(end.pipe));
            notify_child_activity(pid);
        }
    }
    return std::move(*outcome);
}

Result<Bytes, SyscallError> Machine::read_description_at(std::int32_t fd, std::uint64_t offset, std::uint64_t max) {
    auto number = states.active().descriptors.lookup(fd);
    if (!number) return std::unexpected(descriptor_failure(number.error()));
    auto d = open_descriptions.get(*number);
    if (!d) return std::unexpected(descriptor_failure(d.error()));
    const auto* file = std::get_if<target::File>(&(*d)->target);
    if (!file) return std::unexpected(SyscallError::of(SyscallError::Kind::InvalidArgument));
    if (!file->readable) return std::unexpected(SyscallError::of(SyscallError::Kind::Permission));
    const std::uint64_t count = std::min(max, kFileReadChunk);

    // A Path description finds its bytes through its path alone (a rename rewrites the path).
    Result<Bytes, VfsError> bytes = file->backing.orphan ? vfs.read_orphan_range(*file->backing.orphan, offset, count)
                                                         : vfs.read_file_range(file->path, offset, count);
    if (!bytes) return std::unexpected(SyscallError::file(std::move(bytes.error())));
    return std::move(*bytes);
}

Result<WriteOutcome, SyscallError> Machine::write_fd(std::int32_t fd, BytesView bytes) {
    const Pid pid = states.active_pid();
    auto number = states.active().descriptors.lookup(fd);
    if (!number) return std::unexpected(descriptor_failure(number.error()));
    auto d = open_descriptions.get(*number);
    if (!d) return std::unexpected(descriptor_failure(d.error()));

    const auto* file_ptr = std::get_if<target::File>(&(*d)->target);
    if (!file_ptr) {
        auto outcome = open_descriptions.write_bytes(*number, bytes);
        if (!outcome) return std::unexpected(descriptor_failure(outcome.error()));
        // A full host capture ends the run as a spent output budget would.
        if (outcome->written < bytes.size())
            if (const auto* capture = std::get_if<target::OutputCapture>(&(*d)->target); capture && capture->cut)
                meter.stop(StopReason::output_limit_exceeded);
        if (!outcome->blocked()) {
            if (PipeEndpoint end = description_pipe_endpoint(open_descriptions, *number); end.kind == PipeEndKind::Write) {
                scheduler.wake_blocked(WaitReason::pipe_readable(end.pipe));
                notify_child_activity(pid);
            }
        }
        return std::move(*outcome);
    }

    // Copy what is needed: the filesystem calls below may not touch the description table, but
    // the description is looked up again before its cursor moves.
    const target::File file = *file_ptr;
    const std::optional<std::uint64_t> inode = (*d)->inode;
    if (!file.writable) return std::unexpected(SyscallError::of(SyscallError::Kind::Permission));

    std::uint64_t offset = file.cursor;
    if (file.append) {
        auto len = file.backing.orphan ? vfs.orphan_len(*file.backing.orphan) : vfs.file_size_at("/", file.path);
        if (!len) return std::unexpected(SyscallError::file(std::move(len.error())));
        offset = *len;
    }
    sync_vfs_clock();

    Result<void, VfsError> written = file.backing.orphan ? vfs.write_orphan_range(*file.backing.orphan, offset, bytes)
                                                         : vfs.write_file_range(file.path, offset, bytes);
    if (!written) {
        if (offset == 0 && file.created && !file.backing.orphan && inode)
            remove_unused_created_file(*this, *number, file.path, *inode);
        return std::unexpected(SyscallError::file(std::move(written.error())));
    }

    if (auto again = open_descriptions.get_mut(*number); again)
        if (auto* still = std::get_if<target::File>(&(*again)->target))
            still->cursor = sat_add(offset, bytes.size());
    return WriteOutcome::of(bytes.size());
}

Result<ReadOutcome, std::string> Machine::read_descriptor(std::uint64_t max) {
    auto outcome = read_fd(0, max);
    if (!outcome) return std::unexpected(read_failure_text(outcome.error(), meter.stop_reason()));
    return std::move(*outcome);
}

void Machine::notify_child_activity(Pid pid) {
    Pid current = pid;
    for (std::size_t visited = 0; visited < kMaxProcessRecords; ++visited) {
        scheduler.wake_child_activity_waiters(current);
        const ProcessRecord* record = processes.find(current);
        if (!record || record->ppid == current) return;
        current = record->ppid;
    }
}

Result<void, DescriptorError> Machine::append_input(std::uint32_t description, BytesView bytes) {
    if (auto r = open_descriptions.append_input(description, bytes); !r) return r;
    scheduler.wake_blocked(WaitReason::input_readable(description));
    return {};
}

Result<void, DescriptorError> Machine::close_input(std::uint32_t description) {
    if (auto r = open_descriptions.close_input(description); !r) return r;
    scheduler.wake_blocked(WaitReason::input_readable(description));
    return {};
}

}  // namespace tw
