// The tar command: create, list and extract archives, optionally gzip-compressed. Extraction is
// one batch install, so a failing archive changes nothing.
#include <fmt/format.h>

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "commands/archives/archive_commands.h"
#include "commands/archives/gzip_codec.h"
#include "commands/archives/tar_format.h"
#include "commands/util/io.h"
#include "kernel/syscall_error.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

enum class TarMode : std::uint8_t { Unset, Create, List, Extract };

struct TarOptions {
    std::vector<std::string> operands;
    std::optional<std::string> archive;
    std::optional<std::string> directory;
    bool gzip = false;
    bool verbose = false;
    TarMode mode = TarMode::Unset;
};

// Parses the arguments; the message (without "tar: ") on a usage error.
Result<TarOptions, std::string> parse_tar_options(std::span<const std::string> args) {
    TarOptions o;
    auto set_mode = [&](TarMode m) -> Result<void, std::string> {
        if (o.mode != TarMode::Unset && o.mode != m)
            return std::unexpected(std::string("only one of -c, -t, or -x may be used"));
        o.mode = m;
        return {};
    };
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto next_value = [&](std::string_view what) -> Result<std::string, std::string> {
            if (i + 1 >= args.size()) return std::unexpected(std::string(what));
            return args[++i];
        };
        const bool first_cluster = i == 0 && !arg.starts_with('-') &&
                                   arg.find_first_not_of("cxtzvf") == std::string::npos;
        if (!options || (!arg.starts_with('-') && !first_cluster)) {
            o.operands.push_back(arg);
            options = false;
            continue;
        }
        if (arg == "--") {
            options = false;
        } else if (arg == "-f" || arg == "--file" || arg == "-C" || arg == "--directory") {
            auto v = next_value(fmt::format("{} requires an argument", arg));
            if (!v) return std::unexpected(v.error());
            (arg == "-f" || arg == "--file" ? o.archive : o.directory) = std::move(*v);
        } else if (arg.starts_with("--")) {
            Result<void, std::string> ok;
            if (arg == "--create") ok = set_mode(TarMode::Create);
            else if (arg == "--list") ok = set_mode(TarMode::List);
            else if (arg == "--extract" || arg == "--get") ok = set_mode(TarMode::Extract);
            else if (arg == "--gzip") o.gzip = true;
            else if (arg == "--verbose") o.verbose = true;
            else return std::unexpected(fmt::format("unsupported option {}", arg));
            if (!ok) return std::unexpected(ok.error());
        } else {
            const std::string_view letters = std::string_view(arg).substr(first_cluster ? 0 : 1);
            for (std::size_t k = 0; k < letters.size(); ++k) {
                Result<void, std::string> ok;
                switch (letters[k]) {
                case 'c': ok = set_mode(TarMode::Create); break;
                case 't': ok = set_mode(TarMode::List); break;
                case 'x': ok = set_mode(TarMode::Extract); break;
                case 'v': o.verbose = true; break;
                case 'z': o.gzip = true; break;
                case 'f': {
                    if (k + 1 != letters.size())
                        return std::unexpected(std::string("archive name must follow f as a separate argument"));
                    auto v = next_value("f requires an archive name");
                    if (!v) return std::unexpected(v.error());
                    o.archive = std::move(*v);
                    break;
                }
                default: return std::unexpected(fmt::format("unsupported option -{}", letters[k]));
                }
                if (!ok) return std::unexpected(ok.error());
            }
        }
    }
    if (o.mode == TarMode::Unset) return std::unexpected(std::string("one of -c, -t, or -x is required"));
    return o;
}

// The member name of an absolute `path` under `base`.
std::string member_name(std::string_view base, std::string_view path) {
    if (base != "/") {
        if (path == base) return ".";
        if (path.starts_with(base) && path.size() > base.size() && path[base.size()] == '/')
            return std::string(path.substr(base.size() + 1));
    }
    while (path.starts_with('/')) path.remove_prefix(1);
    return std::string(path);
}

struct TarRun {
    Syscalls& sys;
    const TarOptions& o;
    CommandIo& io;
    std::string base;

    std::int32_t fail(std::string_view message) {
        push_message(io.err, "tar", message);
        return 2;
    }

    std::int32_t create() {
        if (o.operands.empty()) return fail("refusing to create an empty archive");
        std::set<std::string> paths;
        for (const std::string& op : o.operands) {
            const std::string path = path_join_normalize(base, op);
            auto st = sys.stat("/", path, false);
            if (!st) return fail(fmt::format("{}: {}", op, error_text(st.error())));
            if (st->file_type == 1) {
                auto walk = sys.walk_tree("/", path);
                if (!walk) return fail(error_text(walk.error()));
                paths.insert(walk->begin(), walk->end());
            } else if (st->is_native) {
                return fail(fmt::format("{}: native executables cannot be archived", op));
            } else {
                paths.insert(path);
            }
        }
        if (paths.size() > kTarEntryLimit)
            return fail(fmt::format("archive exceeds the {}-entry limit", kTarEntryLimit));
        std::vector<TarEntry> entries;
        entries.reserve(paths.size());
        for (const std::string& path : paths) {
            auto st = sys.stat("/", path, false);
            if (!st) return fail(error_text(st.error()));
            TarEntry e{TarDirectory{}, member_name(base, path), st->mode};
            if (auto ok = tar_check_archive_path(e.path); !ok) return fail(ok.error());
            if (st->file_type == 0) {
                if (st->is_native) return fail(fmt::format("{}: native executables cannot be archived", path));
                auto content = sys.read_file("/", path, kArchiveByteLimit);
                if (!content) return fail(error_text(content.error()));
                e.kind = TarFile{std::move(*content)};
            } else if (st->file_type == 2) {
                auto target = sys.link_target("/", path);
                if (!target) return fail(error_text(target.error()));
                e.kind = TarSymlink{std::move(*target)};
            }
            entries.push_back(std::move(e));
        }
        auto archive = tar_write_archive(sys, entries);
        if (!archive) return fail(archive.error());
        if (o.gzip) {
            auto packed = gzip_transform(sys, false, 6, *archive);
            if (!packed) return fail(packed.error());
            *archive = std::move(*packed);
        }
        if (o.verbose)
            for (const TarEntry& e : entries) push_line(io.out, e.path);
        if (!o.archive || *o.archive == "-") {
            io.out += *archive;
        } else if (auto w = sys.write_file_mode(sys.getcwd(), *o.archive, std::move(*archive), 0644); !w) {
            return fail(fmt::format("{}: {}", *o.archive, error_text(w.error())));
        }
        return 0;
    }

    std::int32_t list_or_extract() {
        Bytes bytes;
        if (o.archive && *o.archive != "-") {
            auto read = sys.read_file(sys.getcwd(), *o.archive, kArchiveByteLimit);
            if (!read) return fail(fmt::format("{}: {}", *o.archive, error_text(read.error())));
            bytes = std::move(*read);
        } else {
            bytes = io.in;
        }
        if (o.gzip) {
            auto unpacked = gzip_transform(sys, true, 6, bytes);
            if (!unpacked) return fail(unpacked.error());
            bytes = std::move(*unpacked);
        }
        if (bytes.size() > kArchiveByteLimit) return fail("archive exceeds the 16 MiB limit");
        if (!sys.charge_memory(bytes.size()) || !sys.charge_cpu(bytes.size())) return fail("resource limit exceeded");
        auto entries = tar_read_archive(bytes);
        if (!entries) return fail(entries.error());
        if (o.mode == TarMode::List) {
            for (const TarEntry& e : *entries) push_line(io.out, e.path);
            return 0;
        }
        std::vector<InstallOp> ops;
        for (TarEntry& e : *entries) {
            if (o.verbose) push_line(io.out, e.path);
            const std::string dest = path_join_normalize(base, e.path);
            const std::string parent(vfs_parent_path(dest).value_or("/"));
            auto resolved = sys.resolve_directory("/", parent, false);
            if (!resolved) return fail(error_text(resolved.error()));
            if (*resolved != parent)
                return fail(fmt::format("refusing to extract through symbolic-link parent: {}", dest));
            const bool inside = (base == "/" && dest.starts_with('/')) || dest == base ||
                                (dest.starts_with(base) && dest.size() > base.size() && dest[base.size()] == '/');
            if (!inside) return fail(fmt::format("unsafe extraction destination: {}", dest));
            if (std::holds_alternative<TarSymlink>(e.kind)) return fail("extracting symbolic links is not supported");
            if (std::holds_alternative<TarDirectory>(e.kind)) {
                ops.push_back(InstallOp::create_dir_all(dest));
            } else {
                if (vfs_parent_path(dest)) ops.push_back(InstallOp::create_dir_all(parent));
                ops.push_back(InstallOp::write_file(dest, std::move(std::get<TarFile>(e.kind).content), e.mode & 07777));
            }
        }
        if (auto ok = sys.install_files("/", std::move(ops)); !ok)
            return fail(fmt::format("extraction failed: {}", error_text(ok.error())));
        return 0;
    }

    std::int32_t run() {
        const std::string cwd = sys.getcwd();
        base = o.directory ? path_join_normalize(cwd, *o.directory) : path_join_normalize(cwd, "");
        auto st = sys.stat("/", base, true);
        if (!st || st->file_type != 1) return fail(fmt::format("{}: not a directory", base));
        return o.mode == TarMode::Create ? create() : list_or_extract();
    }
};

}  // namespace

void tar_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    auto options = parse_tar_options(invocation.args);
    if (!options) {
        push_message(io.err, "tar", options.error());
        step = NativeStep::finished(2);
        return;
    }
    if (options->mode != TarMode::Create && (!options->archive || *options->archive == "-"))
        if (auto s = command_read_stdin(invocation, io)) {
            step = *s;
            return;
        }
    MemoryMark mark(invocation.sys);
    TarRun run{invocation.sys, *options, io, {}};
    step = NativeStep::finished(run.run());
}

}  // namespace tw
