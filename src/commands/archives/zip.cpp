// The ZIP format (stored members written; stored and deflate members read) and the zip and
// unzip commands. Extraction is one batch install, so a refused member changes nothing.
#include <fmt/format.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "commands/archives/archive_bytes.h"
#include "commands/archives/archive_commands.h"
#include "commands/archives/gzip_codec.h"
#include "commands/util/io.h"
#include "kernel/syscall_error.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

struct ZipEntry {
    std::string name;           // directories end with "/"
    std::optional<Bytes> data;  // absent for a directory
    std::uint32_t mode = 0;
};

constexpr std::size_t kZipEntryLimit = 4096;
constexpr std::size_t kZipNameMax = 4096;

std::unexpected<std::string> fail(std::string text) { return std::unexpected(std::move(text)); }

void put16(Bytes& out, std::uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void put32(Bytes& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

Result<void, std::string> zip_check_member_name(std::string_view name) {
    std::string_view n = name;
    while (n.ends_with('/')) n.remove_suffix(1);
    auto refuse = [&] { return fail(fmt::format("unsafe archive path: {}", name)); };
    if (n.size() > kZipNameMax || n.starts_with('/') || n.find('\\') != std::string_view::npos) return refuse();
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = n.find('/', start);
        const std::string_view part = n.substr(start, slash == std::string_view::npos ? n.npos : slash - start);
        if (part.empty() || part == "." || part == "..") return refuse();
        if (slash == std::string_view::npos) return {};
        start = slash + 1;
    }
}

Result<Bytes, std::string> zip_write_archive(Syscalls& sys, const std::vector<ZipEntry>& entries) {
    std::uint64_t size = 22;
    for (const ZipEntry& e : entries) size += 30 + 46 + 2 * e.name.size() + (e.data ? e.data->size() : 0);
    if (size > kArchiveByteLimit) return fail("archive exceeds the supported ZIP32 limits");
    if (!sys.charge_memory(size)) return fail("memory limit exceeded");
    if (!sys.charge_cpu(size)) {
        sys.release_memory(size);
        return fail("resource limit exceeded");
    }
    Bytes out;
    out.reserve(size);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> placed;  // offset, CRC
    for (const ZipEntry& e : entries) {
        const BytesView data = e.data ? BytesView(*e.data) : BytesView();
        placed.emplace_back(static_cast<std::uint32_t>(out.size()), crc32_of(data));
        put32(out, 0x04034B50);
        put16(out, 20);
        put16(out, 0);
        put16(out, 0);
        put32(out, 0);  // time and date
        put32(out, placed.back().second);
        put32(out, static_cast<std::uint32_t>(data.size()));
        put32(out, static_cast<std::uint32_t>(data.size()));
        put16(out, static_cast<std::uint32_t>(e.name.size()));
        put16(out, 0);
        out += e.name;
        out += data;
    }
    const auto central_offset = static_cast<std::uint32_t>(out.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ZipEntry& e = entries[i];
        const auto length = static_cast<std::uint32_t>(e.data ? e.data->size() : 0);
        put32(out, 0x02014B50);
        put16(out, 0x031E);
        put16(out, 20);
        put16(out, 0);
        put16(out, 0);
        put32(out, 0);
        put32(out, placed[i].second);
        put32(out, length);
        put32(out, length);
        put16(out, static_cast<std::uint32_t>(e.name.size()));
        put32(out, 0);  // extra and comment lengths
        put32(out, 0);  // disk number and internal attributes
        put32(out, ((e.mode & 07777) | (e.data ? 0100000u : 0040000u)) << 16);
        put32(out, placed[i].first);
        out += e.name;
    }
    const auto central_size = static_cast<std::uint32_t>(out.size() - central_offset);
    put32(out, 0x06054B50);
    put32(out, 0);
    put16(out, static_cast<std::uint32_t>(entries.size()));
    put16(out, static_cast<std::uint32_t>(entries.size()));
    put32(out, central_size);
    put32(out, central_offset);
    put16(out, 0);
    sys.release_memory(size);
    return out;
}

// Raw deflate data decoded up to `limit` bytes (the decoder stops there).
Result<Bytes, std::string> inflate_raw(BytesView in, std::size_t limit) {
    Bytes out(limit, '\0');
    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return fail("corrupt deflate stream");
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(limit);
    int rc = Z_OK;
    while (rc == Z_OK && zs.avail_out > 0) rc = inflate(&zs, Z_NO_FLUSH);
    const std::size_t produced = limit - zs.avail_out;
    inflateEnd(&zs);
    if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT) return fail("corrupt deflate stream");
    if (rc == Z_BUF_ERROR && zs.avail_out > 0) return fail("incomplete deflate stream");
    out.resize(produced);
    return out;
}

struct CentralRecord {
    std::string name;
    std::uint32_t method, crc, compressed, uncompressed, attributes, local;
};

Result<std::vector<ZipEntry>, std::string> zip_read_archive(Syscalls& sys, BytesView a) {
    std::optional<std::size_t> eocd;
    if (a.size() >= 22) {
        const std::size_t low = a.size() > 65557 ? a.size() - 65557 : 0;
        for (std::size_t pos = a.size() - 22 + 1; pos-- > low;) {
            if (read_le32(a, pos) == 0x06054B50 && pos + 22 + read_le16(a, pos + 20) == a.size()) {
                eocd = pos;
                break;
            }
        }
    }
    if (!eocd) return fail("missing end-of-central-directory record");
    const std::size_t e = *eocd;
    const std::uint32_t total = read_le16(a, e + 10);
    if (read_le16(a, e + 4) != 0 || read_le16(a, e + 6) != 0 || read_le16(a, e + 8) != total)
        return fail("multi-disk archives are not supported");
    if (total > kZipEntryLimit) return fail(fmt::format("archive exceeds the {}-entry limit", kZipEntryLimit));
    const std::uint64_t cd_size = read_le32(a, e + 12), cd_offset = read_le32(a, e + 16);
    if (cd_offset + cd_size > e) return fail("invalid central directory bounds");
    const std::uint64_t cd_end = cd_offset + cd_size;
    std::vector<CentralRecord> records;
    std::uint64_t sum = 0;
    std::uint64_t pos = cd_offset;
    for (std::uint32_t i = 0; i < total; ++i) {
        if (pos + 46 > a.size()) return fail("truncated ZIP structure");
        if (read_le32(a, pos) != 0x02014B50) return fail("invalid central directory entry");
        if (read_le16(a, pos + 8) & 1) return fail("encrypted entries are not supported");
        CentralRecord r{{}, read_le16(a, pos + 10), read_le32(a, pos + 16), read_le32(a, pos + 20), read_le32(a, pos + 24),
                        read_le32(a, pos + 38), read_le32(a, pos + 42)};
        sum += r.uncompressed;
        if (sum > kArchiveByteLimit) return fail("uncompressed contents exceed the 16 MiB limit");
        const std::uint32_t name_len = read_le16(a, pos + 28);
        if (name_len == 0 || name_len > kZipNameMax) return fail("invalid member name length");
        if (pos + 46 + name_len > cd_end) return fail("truncated member name");
        r.name = std::string(a.substr(pos + 46, name_len));
        if (!utf8_valid(r.name)) return fail("member name is not UTF-8");
        if (auto ok = zip_check_member_name(r.name); !ok) return std::unexpected(ok.error());
        pos += 46 + name_len + read_le16(a, pos + 30) + read_le16(a, pos + 32);
        if (pos > cd_end) return fail("truncated central directory");
        records.push_back(std::move(r));
    }
    if (!sys.charge_memory(sum)) return fail("memory limit exceeded");
    if (!sys.charge_cpu(sum + a.size())) {
        sys.release_memory(sum);
        return fail("resource limit exceeded");
    }
    std::vector<ZipEntry> entries;
    entries.reserve(records.size());
    for (const CentralRecord& r : records) {
        auto bad = [&](std::string_view what) { return fail(fmt::format("{}: {}", r.name, what)); };
        if (std::uint64_t(r.local) + 30 > a.size() || read_le32(a, r.local) != 0x04034B50) return bad("invalid local header");
        if (read_le16(a, r.local + 8) != r.method) return bad("local compression method mismatch");
        const std::uint64_t name_at = std::uint64_t(r.local) + 30, local_name_len = read_le16(a, r.local + 26);
        if (name_at + local_name_len > a.size()) return bad("truncated local name");
        if (a.substr(name_at, local_name_len) != r.name) return bad("local name mismatch");
        const std::uint64_t data_at = name_at + local_name_len + read_le16(a, r.local + 28);
        if (data_at + r.compressed > a.size()) return bad("truncated contents");
        const BytesView stored = a.substr(data_at, r.compressed);
        ZipEntry entry{r.name, std::nullopt, 0};
        const bool dir = r.name.ends_with('/');
        if (dir) {
            if (r.compressed != 0 || r.uncompressed != 0 || r.crc != 0) return bad("directory has contents");
        } else {
            Bytes data;
            if (r.method == 0) {
                data = Bytes(stored);
            } else if (r.method == 8) {
                auto decoded = inflate_raw(stored, std::size_t(r.uncompressed) + 1);
                if (!decoded) return bad(decoded.error());
                data = std::move(*decoded);
            } else {
                return bad(fmt::format("unsupported compression method {}", r.method));
            }
            if (data.size() != r.uncompressed || crc32_of(data) != r.crc) return bad("size or CRC mismatch");
            entry.data = std::move(data);
        }
        const std::uint32_t high = r.attributes >> 16;
        const std::uint32_t type = high & 0170000;
        if (type != 0 && type != 0040000 && type != 0100000) return bad("special entries are not supported");
        entry.mode = (high & 07777) != 0 ? (high & 07777) : dir ? 0755u : 0644u;
        entries.push_back(std::move(entry));
    }
    return entries;
}

// zip's member name for an absolute path under the working directory `cwd`.
std::string zip_member_name(std::string_view cwd, std::string_view path) {
    if (cwd != "/" && path.starts_with(cwd) && path.size() > cwd.size() && path[cwd.size()] == '/')
        return std::string(path.substr(cwd.size() + 1));
    while (path.starts_with('/')) path.remove_prefix(1);
    return std::string(path);
}

Result<ZipEntry, std::string> zip_build_entry(Syscalls& sys, std::string_view cwd, const std::string& path) {
    auto st = sys.stat("/", path, false);
    if (!st) return fail(error_text(st.error()));
    ZipEntry e{zip_member_name(cwd, path), std::nullopt, st->mode};
    if (st->file_type == 1) {
        e.name += '/';
    } else if (st->file_type == 2) {
        return fail(fmt::format("{}: unsupported symbolic link", path));
    } else if (st->is_native) {
        return fail(fmt::format("{}: native executables cannot be archived", path));
    } else {
        auto content = sys.read_file("/", path, kArchiveByteLimit);
        if (!content) return fail(error_text(content.error()));
        e.data = std::move(*content);
    }
    if (auto ok = zip_check_member_name(e.name); !ok) return std::unexpected(ok.error());
    return e;
}

Result<Bytes, std::string> zip_collect_and_write(Syscalls& sys, std::span<const std::string> inputs, bool recurse) {
    const std::string cwd = sys.getcwd();
    std::set<std::string> paths;
    for (const std::string& input : inputs) {
        const std::string path = path_join_normalize(cwd, input);
        auto st = sys.stat("/", path, false);
        if (!st) return fail(fmt::format("{}: {}", input, error_text(st.error())));
        if (st->file_type == 1) {
            if (!recurse) return fail(fmt::format("{}: is a directory (use -r)", input));
            auto walk = sys.walk_tree("/", path);
            if (!walk) return fail(error_text(walk.error()));
            paths.insert(walk->begin(), walk->end());
        } else if (st->file_type == 2) {
            return fail(fmt::format("{}: symbolic links are not supported", input));
        } else if (st->is_native) {
            return fail(fmt::format("{}: native executables cannot be archived", input));
        } else {
            paths.insert(path);
        }
    }
    if (paths.size() > kZipEntryLimit) return fail(fmt::format("archive exceeds the {}-entry limit", kZipEntryLimit));
    std::vector<ZipEntry> entries;
    entries.reserve(paths.size());
    for (const std::string& path : paths) {
        auto e = zip_build_entry(sys, cwd, path);
        if (!e) return std::unexpected(e.error());
        entries.push_back(std::move(*e));
    }
    return zip_write_archive(sys, entries);
}

}  // namespace

std::int32_t zip_command(NativeInvocation& invocation, CommandIo& io) {
    bool recurse = false;
    bool options = true;
    std::vector<std::string> operands;
    for (const std::string& arg : invocation.args) {
        if (options && arg == "--") {
            options = false;
        } else if (options && (arg == "--recurse-paths" || arg == "--quiet")) {
            recurse = recurse || arg == "--recurse-paths";
        } else if (options && arg.size() > 1 && arg[0] == '-' && arg.find_first_not_of("qr", 1) == std::string::npos) {
            recurse = recurse || arg.find('r') != std::string::npos;
        } else if (options && arg.starts_with('-')) {
            push_message(io.err, "zip", fmt::format("unsupported option: {}", arg));
            return 2;
        } else {
            operands.push_back(arg);
        }
    }
    if (operands.empty()) {
        push_message(io.err, "zip", "missing archive path");
        return 2;
    }
    if (operands.size() == 1) {
        push_message(io.err, "zip", "nothing to do");
        return 12;
    }
    Syscalls& sys = invocation.sys;
    MemoryMark mark(sys);
    auto archive = zip_collect_and_write(sys, std::span(operands).subspan(1), recurse);
    if (!archive) {
        push_message(io.err, "zip", archive.error());
        return 2;
    }
    if (auto w = sys.write_file_mode(sys.getcwd(), operands[0], std::move(*archive), 0644); !w) {
        push_message(io.err, "zip", fmt::format("{}: {}", operands[0], error_text(w.error())));
        return 2;
    }
    return 0;
}

std::int32_t unzip_command(NativeInvocation& invocation, CommandIo& io) {
    bool list = false, names_only = false;
    std::optional<std::string> directory, archive_path;
    const auto& args = invocation.args;
    auto usage = [&](std::string message) {
        push_message(io.err, "unzip", message);
        return 2;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-l") list = true;
        else if (arg == "-Z1") names_only = true;
        else if (arg == "-o" || arg == "-q") continue;
        else if (arg == "-d") {
            if (i + 1 >= args.size()) return usage("-d requires a directory");
            directory = args[++i];
        } else if (arg.size() >= 3 && arg[0] == '-' && arg.find_first_not_of("loq", 1) == std::string::npos) {
            list = list || arg.find('l') != std::string::npos;
        } else if (arg.starts_with('-')) {
            return usage(fmt::format("unsupported option: {}", arg));
        } else if (archive_path) {
            return usage(fmt::format("member selection is not supported: {}", arg));
        } else {
            archive_path = arg;
        }
    }
    if (!archive_path) return usage("missing archive path");
    Syscalls& sys = invocation.sys;
    MemoryMark mark(sys);
    const std::string cwd = sys.getcwd();
    auto bytes = sys.read_file(cwd, *archive_path, kArchiveByteLimit);
    if (!bytes) return usage(fmt::format("{}: {}", *archive_path, error_text(bytes.error())));
    auto entries = zip_read_archive(sys, *bytes);
    if (!entries) return usage(fmt::format("{}: {}", *archive_path, entries.error()));
    if (list || names_only) {
        for (const ZipEntry& e : *entries) {
            if (names_only) push_line(io.out, e.name);
            else push_line(io.out, fmt::format("{:>9}  {}", e.data ? e.data->size() : 0, e.name));
        }
        return 0;
    }
    std::string base = directory ? path_join_normalize(cwd, *directory) : cwd;
    std::string_view base_trimmed = base;
    while (base_trimmed.size() > 1 && base_trimmed.ends_with('/')) base_trimmed.remove_suffix(1);
    std::vector<InstallOp> ops;
    ops.push_back(InstallOp::create_dir_all(base));
    auto is_link = [&](std::string_view path) {
        auto st = sys.stat("/", path, false);
        return st && st->file_type == 2;
    };
    for (ZipEntry& e : *entries) {
        std::string_view name = e.name;
        while (name.ends_with('/')) name.remove_suffix(1);
        const std::string dest = path_join_normalize(base, name);
        const bool inside = dest == base || (dest.starts_with(base_trimmed) && dest.size() > base_trimmed.size() &&
                                             (base_trimmed == "/" || dest[base_trimmed.size()] == '/'));
        if (!inside) return usage(fmt::format("unsafe archive destination: {}", dest));
        if (is_link(dest)) return usage(fmt::format("symbolic-link destination is not allowed: {}", dest));
        for (auto dir = vfs_parent_path(dest); dir && dir->size() >= base_trimmed.size(); dir = vfs_parent_path(*dir)) {
            if (is_link(*dir)) return usage(fmt::format("symbolic-link parent is not allowed: {}", *dir));
            if (*dir == "/") break;
        }
        if (!e.data) {
            ops.push_back(InstallOp::create_dir_all(dest));
        } else {
            if (auto parent = vfs_parent_path(dest)) ops.push_back(InstallOp::create_dir_all(std::string(*parent)));
            ops.push_back(InstallOp::write_file(dest, std::move(*e.data), e.mode & 07777));
        }
    }
    if (auto ok = sys.install_files("/", std::move(ops)); !ok) return usage(error_text(ok.error()));
    return 0;
}

}  // namespace tw
