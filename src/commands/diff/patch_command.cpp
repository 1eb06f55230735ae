// patch and apply_patch: option parsing, staging and the all-or-nothing install.
#include "commands/diff/patch_command.h"

#include <map>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/diff/diff_commands.h"
#include "commands/diff/patch_model.h"
#include "commands/util/io.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"
#include "kernel/vfs_tree.h"

namespace tw {

namespace {

constexpr std::uint32_t kDefaultPatchMode = 0644;

bool is_not_found(const SyscallError& e) {
    const VfsError* vfs = e.vfs_error();
    return vfs != nullptr && vfs->kind == VfsError::Kind::NotFound;
}

// Whether a file patch only adds lines to the start of an empty file, as a diff against a missing
// file (diff -N) does: its source may then be missing, and the file is created.
bool creates_file(const FilePatch& patch) {
    for (const Hunk& hunk : patch.hunks) {
        if (hunk.old_start && *hunk.old_start > 1) return false;
        for (const HunkLine& line : hunk.lines)
            if (line.kind != HunkLineKind::Add) return false;
    }
    return true;
}

struct StagedFile {
    Bytes content;
    std::uint32_t mode = kDefaultPatchMode;
};
struct Deleted {};
using Staged = std::variant<Deleted, StagedFile>;

// The state of one run: what earlier file patches produced, and the install steps in order.
class Stager {
public:
    Stager(Syscalls& sys, std::string_view cwd) : sys_(sys), cwd_(cwd) {}

    // Whether `path` exists as the run sees it (staged results first).
    bool exists(std::string_view path) {
        const std::string resolved = path_join_normalize(cwd_, path);
        if (auto it = staged_.find(resolved); it != staged_.end()) return std::holds_alternative<StagedFile>(it->second);
        return sys_.stat(cwd_, path, true).has_value();
    }

    // Stages one file patch; the message of its failure otherwise.
    Result<void, std::string> stage(const FilePatch& patch) {
        Bytes content;
        if (patch.old_path) {
            const std::string resolved = path_join_normalize(cwd_, *patch.old_path);
            if (auto it = staged_.find(resolved); it != staged_.end()) {
                if (std::holds_alternative<Deleted>(it->second))
                    return std::unexpected(fmt::format("{}: no such file", *patch.old_path));
                content = std::get<StagedFile>(it->second).content;
            } else if (auto bytes = sys_.read_file(cwd_, *patch.old_path, kMaxPatchBytes)) {
                content = std::move(*bytes);
            } else if (!(is_not_found(bytes.error()) && creates_file(patch))) {
                return std::unexpected(fmt::format("{}: {}", *patch.old_path, error_text(bytes.error())));
            }
        } else if (!patch.new_path) {
            return std::unexpected(std::string("patch has neither source nor destination"));
        }
        if (!sys_.charge_cpu(content.size())) return std::unexpected(std::string("resource limit exceeded"));
        auto updated = patch_apply_file(content, patch);
        if (!updated) return std::unexpected(std::move(updated.error()));

        if (!patch.new_path) {
            if (!patch.hunks.empty() && !updated->empty())
                return std::unexpected(fmt::format("deletion patch for '{}' does not remove all content", *patch.old_path));
            const std::string resolved = path_join_normalize(cwd_, *patch.old_path);
            staged_[resolved] = Deleted{};
            ops_.push_back(InstallOp::remove_file(resolved));
            return {};
        }
        const std::string destination = path_join_normalize(cwd_, *patch.new_path);
        if (auto st = sys_.stat("/", destination, false); st && st->file_type == 2)
            return std::unexpected(fmt::format("{}: symbolic-link destinations are not supported", *patch.new_path));
        if (auto parent = vfs_parent_path(destination)) ops_.push_back(InstallOp::create_dir_all(std::string(*parent)));

        std::uint32_t mode = kDefaultPatchMode;
        if (patch.old_path) {
            const std::string resolved = path_join_normalize(cwd_, *patch.old_path);
            if (auto it = staged_.find(resolved); it != staged_.end()) {
                if (const auto* file = std::get_if<StagedFile>(&it->second)) mode = file->mode;
            } else if (auto st = sys_.stat(cwd_, *patch.old_path, true); st && st->file_type == 0 && !st->is_native) {
                mode = st->mode;
            }
        }
        ops_.push_back(InstallOp::write_file(destination, *updated, mode));
        staged_[destination] = StagedFile{std::move(*updated), mode};
        if (patch.old_path && *patch.old_path != *patch.new_path) {
            const std::string resolved = path_join_normalize(cwd_, *patch.old_path);
            staged_[resolved] = Deleted{};
            ops_.push_back(InstallOp::remove_file(resolved));
        }
        return {};
    }

    std::vector<InstallOp> take_ops() { return std::move(ops_); }

private:
    Syscalls& sys_;
    std::string cwd_;
    std::map<std::string, Staged, std::less<>> staged_;
    std::vector<InstallOp> ops_;
};

// Which file a unified file patch changes. A unified diff describes one file changing in place:
// when its two names differ (a/f.txt and b/f.txt without -p), the one that exists is patched and
// nothing is renamed. A file named on the command line takes the place of both names.
void choose_in_place_target(FilePatch& patch, const PatchOptions& options, Stager& stager) {
    if (options.target) {
        if (patch.old_path) patch.old_path = *options.target;
        if (patch.new_path) patch.new_path = *options.target;
        return;
    }
    if (!patch.old_path || !patch.new_path || *patch.old_path == *patch.new_path) return;
    if (!stager.exists(*patch.old_path) && stager.exists(*patch.new_path)) patch.old_path = patch.new_path;
    else patch.new_path = patch.old_path;
}

}  // namespace

void patch_report_error(Bytes& err, std::string_view message) { push_message(err, "patch", message); }

Result<PatchOptions, std::string> patch_parse_options(bool apply_patch_mode, std::span<const std::string> args) {
    PatchOptions options;
    if (apply_patch_mode) {
        options.strip = 1;
        if (args.empty()) return options;
        if (args.size() == 1 && !args[0].starts_with("-")) {
            options.input = args[0];
            return options;
        }
        return std::unexpected(std::string("usage: apply_patch [PATCH_FILE]"));
    }
    // Operands: the file to patch, then the patch file.
    std::size_t operands = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-i" || arg == "--input") {
            if (i + 1 >= args.size()) return std::unexpected(std::string("-i requires a patch file"));
            options.input = args[++i];
        } else if (arg.starts_with("-p")) {
            std::optional<std::string_view> value;
            if (arg == "-p") {
                if (i + 1 < args.size()) value = args[++i];
            } else {
                value = std::string_view(arg).substr(2);
            }
            auto strip = value ? parse_decimal_u64(*value) : std::nullopt;
            if (!strip) return std::unexpected(std::string("-p requires a non-negative integer"));
            options.strip = *strip;
        } else if (arg.starts_with("-")) {
            return std::unexpected(fmt::format("unsupported option: {}", arg));
        } else if (operands == 0) {
            options.target = arg;
            ++operands;
        } else {
            if (options.input || operands > 1) return std::unexpected(std::string("only one patch file may be supplied"));
            options.input = arg;
            ++operands;
        }
    }
    return options;
}

std::uint32_t patch_command_run(Syscalls& sys, std::span<const std::string> args, CommandIo& io,
                                bool apply_patch_mode, std::string_view cwd, bool check_only) {
    auto options = patch_parse_options(apply_patch_mode, args);
    if (!options) {
        patch_report_error(io.err, options.error());
        return 2;
    }
    Bytes text;
    if (options->input) {
        auto bytes = sys.read_file(cwd, *options->input, kMaxPatchBytes);
        if (!bytes) {
            patch_report_error(io.err, fmt::format("cannot read patch: {}", error_text(bytes.error())));
            return 2;
        }
        text = std::move(*bytes);
    } else {
        text = std::move(io.in);
        io.in.clear();
    }
    if (text.size() > kMaxPatchBytes) {
        patch_report_error(io.err, "patch input exceeds the 8 MiB limit");
        return 2;
    }
    if (!utf8_valid(text)) {
        patch_report_error(io.err, "patch input must be UTF-8 text");
        return 2;
    }
    const std::uint64_t reservation = sat_mul(4, sat_add(sys.disk_used(), text.size()));
    if (!sys.charge_memory(reservation)) {
        patch_report_error(io.err, "resource limit exceeded");
        return static_cast<std::uint32_t>(sys.exhausted_status());
    }
    if (!sys.charge_cpu(text.size())) {
        sys.release_memory(reservation);
        patch_report_error(io.err, "resource limit exceeded");
        return static_cast<std::uint32_t>(sys.exhausted_status());
    }
    const auto finish = [&](std::uint32_t status) {
        sys.release_memory(reservation);
        return status;
    };

    const bool envelope = text.starts_with("*** Begin Patch");
    auto parsed = envelope ? patch_parse_envelope(text) : patch_parse_unified(text, options->strip);
    if (!parsed) {
        patch_report_error(io.err, parsed.error());
        return finish(2);
    }
    if (parsed->size() > kMaxPatchFiles) {
        patch_report_error(io.err, "too many files in patch");
        return finish(2);
    }
    Stager stager(sys, cwd);
    for (FilePatch& patch : *parsed) {
        if (!envelope || options->target) choose_in_place_target(patch, *options, stager);
        if (auto staged = stager.stage(patch); !staged) {
            patch_report_error(io.err, staged.error());
            return finish(1);
        }
    }
    if (check_only) return finish(0);
    if (auto installed = sys.install_files("/", stager.take_ops()); !installed) {
        patch_report_error(io.err, error_text(installed.error()));
        return finish(1);
    }
    return finish(0);
}

NativeStep patch_command_step(NativeInvocation& invocation, CommandIo& io, bool apply_patch_mode) {
    if (auto options = patch_parse_options(apply_patch_mode, invocation.args); options && !options->input) {
        if (auto step = command_read_stdin(invocation, io)) return *step;
    }
    const std::string cwd = invocation.sys.getcwd();
    return NativeStep::finished(
        static_cast<std::int32_t>(patch_command_run(invocation.sys, invocation.args, io, apply_patch_mode, cwd, false)));
}

void patch_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    step = patch_command_step(invocation, io, false);
}

}  // namespace tw
