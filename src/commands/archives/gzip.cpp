// The gzip codec around zlib, and the gzip, gunzip and zcat commands.
#include <fmt/format.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "commands/archives/archive_bytes.h"
#include "commands/archives/archive_commands.h"
#include "commands/archives/gzip_codec.h"
#include "commands/util/io.h"
#include "kernel/syscall_error.h"
#include "kernel/syscalls.h"

namespace tw {

MemoryMark::MemoryMark(Syscalls& sys) : sys_(sys), used_(sys.memory_used()) {}
MemoryMark::~MemoryMark() {
    const std::uint64_t now = sys_.memory_used();
    if (now > used_) sys_.release_memory(now - used_);
}

namespace {

constexpr std::string_view kInvalidHeader = "invalid gzip header";
constexpr std::string_view kCorruptDeflate = "corrupt deflate stream";
constexpr std::string_view kIncomplete = "incomplete deflate stream";
constexpr std::string_view kBadChecksum = "corrupt gzip stream does not have a matching checksum";
// zlib keeps at most this much of a member's name, comment or extra field; longer is refused.
constexpr std::size_t kHeaderFieldMax = 1024;

// Checks the fixed header of the member at the start of `in` and measures its optional fields,
// so that malformed or oversized headers get their own texts before zlib sees them.
Result<void, std::string> check_member_header(BytesView in) {
    if (in.size() < 10 || static_cast<unsigned char>(in[0]) != 0x1F || static_cast<unsigned char>(in[1]) != 0x8B ||
        in[2] != 8)
        return std::unexpected(std::string(kInvalidHeader));
    const auto flags = static_cast<unsigned char>(in[3]);
    if (flags & 0xE0) return std::unexpected(std::string(kInvalidHeader));
    std::size_t pos = 10;
    if (flags & 4) {  // extra field
        if (in.size() < pos + 2) return std::unexpected(std::string(kIncomplete));
        const std::size_t len = static_cast<unsigned char>(in[pos]) | (static_cast<unsigned char>(in[pos + 1]) << 8);
        if (len > kHeaderFieldMax) return std::unexpected(std::string("gzip header field too long"));
        pos += 2 + len;
    }
    for (unsigned bit : {8u, 16u}) {  // name, comment: NUL-terminated
        if (!(flags & bit)) continue;
        const std::size_t end = in.find('\0', pos);
        const std::size_t len = (end == BytesView::npos ? in.size() : end) - pos;
        if (len > kHeaderFieldMax) return std::unexpected(std::string("gzip header field too long"));
        if (end == BytesView::npos) return std::unexpected(std::string(kIncomplete));
        pos = end + 1;
    }
    return {};
}

Result<Bytes, std::string> inflate_members(BytesView input) {
    Bytes out;
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return std::unexpected(std::string(kCorruptDeflate));
    struct End {
        z_stream* zs;
        ~End() { inflateEnd(zs); }
    } end{&zs};
    std::size_t pos = 0;
    constexpr std::size_t kChunk = 1 << 16;
    while (true) {
        if (auto ok = check_member_header(input.substr(pos)); !ok) return std::unexpected(ok.error());
        inflateReset(&zs);
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data() + pos));
        zs.avail_in = static_cast<uInt>(input.size() - pos);
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            // Never more than one byte past the cap.
            const std::size_t room = std::min<std::size_t>(kChunk, kArchiveByteLimit + 1 - out.size());
            if (room == 0) return std::unexpected(std::string("decompressed output exceeds the 16 MiB limit"));
            const std::size_t before = out.size();
            out.resize(before + room);
            zs.next_out = reinterpret_cast<Bytef*>(out.data() + before);
            zs.avail_out = static_cast<uInt>(room);
            rc = inflate(&zs, Z_NO_FLUSH);
            out.resize(before + room - zs.avail_out);
            if (rc == Z_DATA_ERROR) {
                const std::string_view msg = zs.msg ? zs.msg : "";
                if (msg == "incorrect data check" || msg == "incorrect length check")
                    return std::unexpected(std::string(kBadChecksum));
                if (msg == "incorrect header check" || msg == "unknown compression method" ||
                    msg == "unknown header flags set")
                    return std::unexpected(std::string(kInvalidHeader));
                return std::unexpected(std::string(kCorruptDeflate));
            }
            if (rc == Z_MEM_ERROR) return std::unexpected(std::string("memory limit exceeded"));
            if (rc == Z_BUF_ERROR || (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0))
                return std::unexpected(std::string(kIncomplete));
        }
        if (out.size() > kArchiveByteLimit)
            return std::unexpected(std::string("decompressed output exceeds the 16 MiB limit"));
        pos = input.size() - zs.avail_in;
        if (pos >= input.size()) break;
    }
    return out;
}

Result<Bytes, std::string> deflate_member(BytesView input, unsigned level, std::size_t capacity) {
    Bytes out;
    out.reserve(capacity);
    const char xfl = level >= 9 ? 2 : level < 2 ? 4 : 0;
    out.append({'\x1f', '\x8b', '\x08', '\x00', '\x00', '\x00', '\x00', '\x00', xfl, '\xff'});
    z_stream zs{};
    if (deflateInit2(&zs, static_cast<int>(level), Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::unexpected(std::string("compression failed"));
    const std::size_t bound = deflateBound(&zs, static_cast<uLong>(input.size()));
    const std::size_t start = out.size();
    out.resize(start + bound);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    zs.avail_in = static_cast<uInt>(input.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data() + start);
    zs.avail_out = static_cast<uInt>(bound);
    const int rc = deflate(&zs, Z_FINISH);
    const std::size_t produced = bound - zs.avail_out;
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) return std::unexpected(std::string("compression failed"));
    out.resize(start + produced);
    const std::uint32_t crc = crc32_of(input);
    const auto len = static_cast<std::uint32_t>(input.size());
    for (std::uint32_t v : {crc, len})
        for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

}  // namespace

Result<Bytes, std::string> gzip_transform(Syscalls& sys, bool decompress, unsigned level, BytesView input) {
    if (!sys.charge_cpu(input.size())) return std::unexpected(std::string("resource limit exceeded"));
    if (decompress) {
        if (!sys.charge_memory(kArchiveByteLimit)) return std::unexpected(std::string("memory limit exceeded"));
        auto out = inflate_members(input);
        if (out && !sys.charge_cpu(out->size())) return std::unexpected(std::string("resource limit exceeded"));
        return out;
    }
    const std::size_t estimate = input.size() + input.size() / 8 + 128;
    if (!sys.charge_memory(estimate)) return std::unexpected(std::string("memory limit exceeded"));
    return deflate_member(input, std::min(level, 9u), estimate);
}

namespace {

struct GzipOptions {
    std::vector<std::string_view> operands;
    unsigned level = 6;
    bool decompress = false;
    bool stdout = false;
    bool keep = false;
    bool force = false;
};

// Writes the result to standard output, or "gzip: MESSAGE"; the status.
std::int32_t gzip_stream(Syscalls& sys, const GzipOptions& o, BytesView input, CommandIo& io) {
    auto out = gzip_transform(sys, o.decompress, o.level, input);
    if (!out) {
        push_message(io.err, "gzip", out.error());
        return 1;
    }
    io.out += *out;
    return 0;
}

std::int32_t gzip_file(Syscalls& sys, const GzipOptions& o, std::string_view op, CommandIo& io) {
    auto fail = [&](std::string_view message) {
        push_message(io.err, "gzip", message);
        return 1;
    };
    const std::string cwd = sys.getcwd();
    auto st = sys.stat(cwd, op, true);
    if (!st) return fail(fmt::format("{}: {}", op, error_text(st.error())));
    if (st->file_type != 0 || st->is_native) return fail(fmt::format("{}: not a regular file", op));
    if (!sys.charge_memory(st->size)) return fail(fmt::format("{}: memory limit exceeded", op));
    auto content = sys.read_file(cwd, op, sys.limits().memory);
    if (!content) return fail(fmt::format("{}: {}", op, error_text(content.error())));
    if (o.stdout) return gzip_stream(sys, o, *content, io);
    std::string target;
    if (o.decompress) {
        if (op.ends_with(".gz")) target = op.substr(0, op.size() - 3);
        else if (op.ends_with(".tgz")) target = fmt::format("{}.tar", op.substr(0, op.size() - 4));
        else return fail(fmt::format("{}: unknown suffix", op));
    } else {
        if (op.ends_with(".gz")) return fail(fmt::format("{} already has .gz suffix", op));
        target = fmt::format("{}.gz", op);
    }
    if (!o.force && sys.stat(cwd, target, false)) return fail(fmt::format("{} already exists", target));
    auto out = gzip_transform(sys, o.decompress, o.level, *content);
    if (!out) return fail(fmt::format("{}: {}", op, out.error()));
    if (auto w = sys.write_file_mode(cwd, target, std::move(*out), 0644); !w)
        return fail(fmt::format("{}: {}", target, error_text(w.error())));
    if (!o.keep)
        if (auto r = sys.remove(cwd, op); !r) return fail(fmt::format("{}: {}", op, error_text(r.error())));
    return 0;
}

void gzip_command_run(NativeStep& step, NativeInvocation& invocation, CommandIo& io, bool decompress, bool to_stdout) {
    GzipOptions o;
    o.decompress = decompress;
    o.stdout = to_stdout;
    bool options = true;
    for (const std::string& arg : invocation.args) {
        if (options && arg == "--") {
            options = false;
        } else if (options && arg.starts_with("--")) {
            if (arg == "--stdout") o.stdout = true;
            else if (arg == "--decompress") o.decompress = true;
            else if (arg == "--keep") o.keep = true;
            else if (arg == "--force") o.force = true;
            else {
                push_message(io.err, "gzip", fmt::format("unsupported option {}", arg));
                step = NativeStep::finished(1);
                return;
            }
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            for (char c : std::string_view(arg).substr(1)) {
                if (c == 'c') o.stdout = true;
                else if (c == 'd') o.decompress = true;
                else if (c == 'k') o.keep = true;
                else if (c == 'f') o.force = true;
                else if (c >= '1' && c <= '9') o.level = unsigned(c - '0');
                else {
                    push_message(io.err, "gzip", fmt::format("unsupported option -{}", c));
                    step = NativeStep::finished(1);
                    return;
                }
            }
        } else {
            o.operands.push_back(arg);
        }
    }
    const bool wants_stdin = o.operands.empty() || std::ranges::find(o.operands, "-") != o.operands.end();
    if (wants_stdin)
        if (auto s = command_read_stdin(invocation, io)) {
            step = *s;
            return;
        }
    Syscalls& sys = invocation.sys;
    MemoryMark mark(sys);
    if (o.operands.empty()) {
        step = NativeStep::finished(gzip_stream(sys, o, io.in, io));
        return;
    }
    std::int32_t status = 0;
    for (std::string_view op : o.operands) {
        const std::int32_t s = op == "-" ? gzip_stream(sys, o, io.in, io) : gzip_file(sys, o, op, io);
        if (s != 0) status = 1;
    }
    step = NativeStep::finished(status);
}

}  // namespace

void gzip_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    gzip_command_run(step, invocation, io, false, false);
}
void gunzip_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    gzip_command_run(step, invocation, io, true, false);
}
void zcat_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    gzip_command_run(step, invocation, io, true, true);
}

}  // namespace tw
