// git archive: the files of a commit's tree as a tar archive on standard output.
#include <fmt/format.h>

#include "base/sat.h"
#include "commands/archives/tar_format.h"
#include "commands/git/history_commands.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::uint64_t kMaxArchiveBytes = 16ULL << 20;

}  // namespace

std::int32_t git_cmd_archive(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    std::vector<std::string> positionals;
    GitArgs cursor(args);
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            positionals.push_back(item.text);
        } else if (item.text == "--format") {
            auto value = cursor.value(item.value);
            if (value != "tar") {
                git_report_error(err, "unsupported archive format; only tar is supported");
                return 129;
            }
        } else {
            git_report_error(err, fmt::format("unsupported archive option: {}", item.text));
            return 129;
        }
    }
    if (positionals.empty()) {
        git_report_error(err, "usage: git archive [--format=tar] COMMIT [-- PATH...]");
        return 129;
    }
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    const std::string root = *found;
    auto id = git_resolve_revision(sys, root, positionals.front());
    if (!id) {
        git_report_fatal(err, fmt::format("not a valid object name: {}", positionals.front()));
        return 128;
    }
    auto tree = git_read_commit_tree(sys, root, *id);
    if (!tree) {
        git_report_fatal(err, "cannot read commit tree");
        return 128;
    }
    const std::string prefix = git_repo_relative_path(root, sys.getcwd()).value_or("");
    std::vector<std::string> specs;
    for (std::size_t i = 1; i < positionals.size(); ++i)
        specs.push_back(prefix.empty() ? positionals[i] : fmt::format("{}/{}", prefix, positionals[i]));
    if (!sys.charge_cpu(sat_mul(static_cast<std::uint64_t>(tree->size()), specs.size() + 1)))
        return sys.exhausted_status();
    for (const std::string& spec : specs) {
        bool matched = std::any_of(tree->begin(), tree->end(),
                                   [&](const auto& e) { return git_pathspec_match(spec, e.first); });
        if (!matched) {
            git_report_fatal(err, fmt::format("pathspec '{}' did not match any files", spec));
            return 128;
        }
    }
    const std::uint64_t memory_before = sys.memory_used();
    auto build = [&]() -> Result<Bytes, std::string> {
        std::vector<TarEntry> entries;
        std::uint64_t total = 0;
        const std::string dir = prefix.empty() ? std::string() : prefix + "/";
        for (const auto& [path, entry] : *tree) {
            if (!path.starts_with(dir)) continue;
            if (!specs.empty() && !git_pathspec_matches_any(specs, path)) continue;
            if (entries.size() >= kTarEntryLimit) return std::unexpected("archive exceeds the 4096-entry limit");
            if (entry.symlink) return std::unexpected("unsupported archive entry: symbolic link");
            const std::string blob_path = git_path(root, fmt::format("objects/{}", entry.id));
            auto st = sys.stat("/", blob_path, true);
            if (!st) return std::unexpected("cannot read archive blob");
            if (total > UINT64_MAX - st->size) return std::unexpected("archive is too large");
            total += st->size;
            if (total > kMaxArchiveBytes) return std::unexpected("archive exceeds the 16 MiB limit");
            if (!sys.charge_memory(sat_add(sat_add(st->size, path.size()), 128)) || !sys.charge_cpu(sat_add(st->size, 1)))
                return std::unexpected("resource limit exceeded");
            auto content = sys.read_file("/", blob_path, st->size);
            if (!content) return std::unexpected("cannot read archive blob");
            entries.push_back({TarFile{std::move(*content)}, path.substr(dir.size()), entry.executable ? 0755u : 0644u});
        }
        return tar_write_archive(sys, entries);
    };
    Result<Bytes, std::string> archive = build();
    const std::uint64_t memory_after = sys.memory_used();
    if (memory_after > memory_before) sys.release_memory(memory_after - memory_before);
    if (!archive) {
        if (archive.error() == "resource limit exceeded" || archive.error() == "memory limit exceeded")
            return sys.exhausted_status();
        git_report_fatal(err, archive.error());
        return 128;
    }
    run.io.out += *archive;
    return 0;
}

}  // namespace tw
