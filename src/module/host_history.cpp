#include "module/host_history.h"

#include <sys/stat.h>

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <optional>
#include <set>

#include "base/utf8.h"
#include "commands/git/store.h"
#include "commands/util/text.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "module/host_git.h"

namespace tw {
namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    while (true) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

// A signed 64-bit decimal with an optional sign.
std::optional<std::int64_t> parse_timestamp(std::string_view word) {
    if (!word.empty() && word.front() == '+') word.remove_prefix(1);
    if (word.empty() || word.front() == '+') return std::nullopt;
    std::int64_t value = 0;
    auto [ptr, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (ec != std::errc{} || ptr != word.data() + word.size()) return std::nullopt;
    return value;
}

struct HostCommit {
    std::string tree;
    std::vector<std::string> parents;
    std::string author_name;
    std::string author_email;
    std::int64_t time = 0;
    std::string message;
};

Result<HostCommit, std::string> parse_host_commit(std::string_view id, const Bytes& content) {
    auto fail = [&](std::string_view what) { return std::unexpected(fmt::format("commit {} {}", id, what)); };
    if (!utf8_valid(content)) return fail("contains non-UTF-8 metadata or message");
    const std::size_t split_at = content.find("\n\n");
    if (split_at == Bytes::npos) return fail("has no header terminator");
    HostCommit commit;
    commit.message = content.substr(split_at + 2);
    bool has_tree = false;
    bool has_author = false;
    for (std::string_view line : split(std::string_view(content).substr(0, split_at), '\n')) {
        if (line.starts_with("tree ")) {
            auto tree = parse_sha1_hex(line.substr(5), "commit tree");
            if (!tree) return std::unexpected(std::move(tree.error()));
            commit.tree = std::move(*tree);
            has_tree = true;
        } else if (line.starts_with("parent ")) {
            auto parent = parse_sha1_hex(line.substr(7), "commit parent");
            if (!parent) return std::unexpected(std::move(parent.error()));
            if (commit.parents.size() == kGitImportParents)
                return std::unexpected(
                    fmt::format("commit {} exceeds the {}-parent spike limit", id, kGitImportParents));
            commit.parents.push_back(std::move(*parent));
        } else if (line.starts_with("author ")) {
            const std::string_view rest = line.substr(7);
            const std::size_t lt = rest.rfind(" <");
            if (lt == std::string_view::npos) return fail("has an invalid author");
            const std::string_view remainder = rest.substr(lt + 2);
            const std::size_t gt = remainder.find("> ");
            if (gt == std::string_view::npos) return fail("has an invalid author email");
            std::string_view tail = remainder.substr(gt + 2);
            constexpr std::string_view kSpace = " \t\n\r\f\v";
            const std::size_t first = tail.find_first_not_of(kSpace);
            if (first == std::string_view::npos) return fail("has no author timestamp");
            tail.remove_prefix(first);
            auto time = parse_timestamp(tail.substr(0, std::min(tail.size(), tail.find_first_of(kSpace))));
            if (!time) return fail("has an invalid author timestamp");
            commit.author_name = std::string(rest.substr(0, lt));
            commit.author_email = std::string(remainder.substr(0, gt));
            commit.time = *time;
            has_author = true;
        }
    }
    if (!has_author) return fail("has no author");
    if (!has_tree) return fail("has no tree");
    return commit;
}

struct RawTreeEntry {
    std::string mode;
    std::string name;
    std::string id;
};

Result<std::vector<RawTreeEntry>, std::string> parse_host_tree(std::string_view id, std::string_view content) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::vector<RawTreeEntry> entries;
    while (!content.empty()) {
        const std::size_t space = content.find(' ');
        if (space == std::string_view::npos) return std::unexpected(fmt::format("tree {} has an unterminated mode", id));
        RawTreeEntry entry;
        entry.mode = std::string(content.substr(0, space));
        if (!utf8_valid(entry.mode)) return std::unexpected(fmt::format("tree {} has a non-ASCII mode", id));
        content.remove_prefix(space + 1);
        const std::size_t nul = content.find('\0');
        if (nul == std::string_view::npos) return std::unexpected(fmt::format("tree {} has an unterminated name", id));
        entry.name = std::string(content.substr(0, nul));
        content.remove_prefix(nul + 1);
        if (content.size() < 20) return std::unexpected(fmt::format("tree {} has a truncated object id", id));
        for (unsigned char c : content.substr(0, 20)) {
            entry.id.push_back(kHex[c >> 4]);
            entry.id.push_back(kHex[c & 15]);
        }
        content.remove_prefix(20);
        entries.push_back(std::move(entry));
    }
    return entries;
}

// One import: the reader, the destination and what has been translated so far.
struct Translation {
    Syscalls& sys;
    GitObjectReader& reader;
    std::string_view destination;
    std::set<std::string> blobs;
    std::uint64_t tree_entries = 0;

    Result<GitTree, std::string> translate_tree(std::string_view root_tree) {
        struct Pending {
            std::string id;
            std::string path;
            std::size_t depth;
        };
        GitTree tree;
        std::vector<Pending> stack{{std::string(root_tree), {}, 0}};
        while (!stack.empty()) {
            Pending current = std::move(stack.back());
            stack.pop_back();
            if (current.depth > kGitImportTreeDepth)
                return std::unexpected(fmt::format("Git tree exceeds the {}-level spike limit", kGitImportTreeDepth));
            auto content = reader.read_object(current.id, "tree");
            if (!content) return std::unexpected(std::move(content.error()));
            auto entries = parse_host_tree(current.id, *content);
            if (!entries) return std::unexpected(std::move(entries.error()));
            for (RawTreeEntry& entry : *entries) {
                if (++tree_entries > kGitImportTreeEntries)
                    return std::unexpected(fmt::format("translated history exceeds the {}-tree-entry spike limit",
                                                       kGitImportTreeEntries));
                if (!utf8_valid(entry.name))
                    return std::unexpected(std::string("non-UTF-8 Git tree path is unsupported by this spike"));
                if (entry.name.empty() || entry.name == "." || entry.name == ".." ||
                    entry.name.find('/') != std::string::npos)
                    return std::unexpected(fmt::format("unsafe Git tree path component: {}", debug_quote(entry.name)));
                std::string path = current.path.empty() ? entry.name : fmt::format("{}/{}", current.path, entry.name);
                if (path.size() > kGitImportPathBytes)
                    return std::unexpected(fmt::format("Git path exceeds the {}-byte spike limit", kGitImportPathBytes));
                if (entry.mode == "40000" || entry.mode == "040000") {
                    stack.push_back({std::move(entry.id), std::move(path), current.depth + 1});
                } else if (entry.mode == "100644" || entry.mode == "100755" || entry.mode == "120000") {
                    if (auto stored = store_blob(entry.id); !stored) return std::unexpected(std::move(stored.error()));
                    tree[std::move(path)] = TreeEntry{entry.id, entry.mode == "100755", entry.mode == "120000"};
                } else if (entry.mode == "160000") {
                    return std::unexpected(fmt::format("submodule at {} is unsupported by this spike", path));
                } else {
                    return std::unexpected(fmt::format("unsupported Git mode {} at {}", entry.mode, path));
                }
            }
        }
        return tree;
    }

    Result<void, std::string> store_blob(const std::string& id) {
        if (!blobs.insert(id).second) return {};
        auto content = reader.read_object(id, "blob");
        if (!content) return std::unexpected(std::move(content.error()));
        auto stored = git_write_blob(sys, destination, *content);
        if (!stored) return std::unexpected(fmt::format("cannot store imported blob {}: {}", id, stored.error()));
        if (*stored != id) return std::unexpected(fmt::format("blob {} did not retain its SHA-1 during import", id));
        return {};
    }
};

// What the host says about the repository before anything is translated.
struct HostRepository {
    std::string head;
    std::optional<std::string> head_target;  // refs/heads/NAME when HEAD is symbolic
    std::vector<std::string> selection;      // oldest first
    bool truncated = false;
};

Result<HostRepository, std::string> inspect_host_repository(const std::string& root) {
    auto strict = [&](HostGitArgs args) { return git_host_output(root, args); };
    auto bare = strict({"rev-parse", "--is-bare-repository"});
    if (!bare) return std::unexpected(std::move(bare.error()));
    if (*bare != "false") return std::unexpected(std::string("bare Git repositories are unsupported by this spike"));
    auto format = strict({"rev-parse", "--show-object-format"});
    if (!format) return std::unexpected(std::move(format.error()));
    if (*format != "sha1") return std::unexpected(std::string("SHA-256 Git repositories are unsupported by this spike"));

    auto top = strict({"rev-parse", "--show-toplevel"});
    if (!top) return std::unexpected(std::move(top.error()));
    auto top_real = host_real_path(*top);
    if (!top_real)
        return std::unexpected(fmt::format("cannot resolve Git working tree {}: {}", *top, host_error_text(top_real.error())));
    if (*top_real != root && std::filesystem::path(*top_real) != std::filesystem::path(root))
        return std::unexpected(std::string("supplied directory is not the Git working-tree root"));

    auto common = strict({"rev-parse", "--path-format=absolute", "--git-common-dir"});
    if (!common) return std::unexpected(std::move(common.error()));
    struct stat st {};
    if (::lstat(fmt::format("{}/objects/info/alternates", *common).c_str(), &st) == 0)
        return std::unexpected(std::string("Git object alternates are unsupported by this spike"));

    HostRepository repo;
    auto head = strict({"rev-parse", "--verify", "HEAD^{commit}"});
    if (!head) return std::unexpected(std::move(head.error()));
    auto head_id = parse_sha1_hex(*head, "HEAD");
    if (!head_id) return std::unexpected(std::move(head_id.error()));
    repo.head = std::move(*head_id);

    const HostGitArgs symref_args = {"symbolic-ref", "--quiet", "HEAD"};
    auto symref = git_host_run(root, symref_args);
    if (!symref) return std::unexpected(std::move(symref.error()));
    if (!symref->success()) {
        if (!WIFEXITED(symref->wait_status) || WEXITSTATUS(symref->wait_status) != 1)
            return std::unexpected(git_host_failure_text(symref_args, *symref));
    } else {
        auto target = git_host_checked_output(symref_args, std::move(symref->out));
        if (!target) return std::unexpected(std::move(target.error()));
        if (!target->starts_with("refs/heads/"))
            return std::unexpected(fmt::format("unsupported symbolic HEAD target: {}", *target));
        const std::string_view branch = std::string_view(*target).substr(11);
        bool safe = !branch.empty();
        for (std::string_view part : split(branch, '/'))
            if (part.empty() || part == "." || part == "..") safe = false;
        if (!safe) return std::unexpected(fmt::format("unsafe symbolic HEAD target: {}", *target));
        repo.head_target = std::move(*target);
    }

    auto walk_text = strict({"rev-list", "--topo-order", "--reverse",
                             fmt::format("--max-count={}", kGitImportCommits + 1), "HEAD"});
    if (!walk_text) return std::unexpected(std::move(walk_text.error()));
    auto selection = git_import::revision_walk(*walk_text);
    if (!selection) return std::unexpected(std::move(selection.error()));
    if (selection->empty()) return std::unexpected(std::string("Git repository has no commits reachable from HEAD"));
    if (selection->size() > kGitImportCommits) {
        selection->erase(selection->begin());
        repo.truncated = true;
    }
    repo.selection = std::move(*selection);
    if (std::find(repo.selection.begin(), repo.selection.end(), repo.head) == repo.selection.end())
        return std::unexpected(std::string("bounded revision walk did not include HEAD"));
    return repo;
}

Result<GitImportSummary, std::string> translate(Machine& machine, GitObjectReader& reader, std::string_view destination,
                                                const HostRepository& repo) {
    SyscallContext sys(machine);
    const std::string git_dir = path_join(destination, ".git");
    for (std::string_view below : {"", "/refs/heads", "/refs/tags", "/commits", "/objects"})
        if (auto r = machine.vfs.create_dir_all("/", git_dir + std::string(below)); !r)
            return std::unexpected(fmt::format("cannot initialize imported repository: {}", error_text(r.error())));
    const GitConfig config = {{"core.bare", {"false"}},
                              {"core.filemode", {"true"}},
                              {"core.logallrefupdates", {"true"}},
                              {"core.repositoryformatversion", {"0"}}};
    if (auto e = git_write_file(sys, git_path(destination, "config"), git_write_config(config)))
        return std::unexpected(fmt::format("cannot store imported Git config: {}", *e));

    std::vector<std::string> sorted = repo.selection;
    std::sort(sorted.begin(), sorted.end());
    std::map<std::string, std::string> imported;
    std::optional<GitTree> head_tree;
    Translation translation{sys, reader, destination, {}, 0};
    for (const std::string& id : repo.selection) {
        auto content = reader.read_object(id, "commit");
        if (!content) return std::unexpected(std::move(content.error()));
        auto commit = parse_host_commit(id, *content);
        if (!commit) return std::unexpected(std::move(commit.error()));
        auto tree = translation.translate_tree(commit->tree);
        if (!tree) return std::unexpected(std::move(tree.error()));
        auto parents = git_import::check_parent_order(commit->parents, sorted, imported, id);
        if (!parents) return std::unexpected(std::move(parents.error()));
        NewCommit created{.parents = std::move(*parents),
                          .author_name = std::move(commit->author_name),
                          .author_email = std::move(commit->author_email),
                          .time = commit->time,
                          .message = std::move(commit->message)};
        auto machine_id = git_create_commit(sys, destination, created, *tree);
        if (!machine_id) return std::unexpected(fmt::format("cannot store imported commit {}: {}", id, machine_id.error()));
        imported[id] = std::move(*machine_id);
        if (id == repo.head) head_tree = std::move(*tree);
    }

    auto head = imported.find(repo.head);
    if (head == imported.end()) return std::unexpected(std::string("HEAD was not imported"));
    if (!head_tree) return std::unexpected(std::string("HEAD tree was not imported"));
    if (auto e = git_write_index(sys, destination, *head_tree))
        return std::unexpected(fmt::format("cannot store imported index: {}", *e));
    const std::string& machine_head = head->second;
    if (!repo.head_target) {
        if (auto e = git_write_file(sys, git_path(destination, "HEAD"), machine_head + "\n"))
            return std::unexpected(fmt::format("cannot store detached HEAD: {}", *e));
    } else {
        if (auto e = git_write_ref(sys, destination, *repo.head_target, machine_head))
            return std::unexpected(fmt::format("cannot store imported branch: {}", *e));
        if (auto e = git_write_file(sys, git_path(destination, "HEAD"), fmt::format("ref: {}\n", *repo.head_target)))
            return std::unexpected(fmt::format("cannot store imported HEAD: {}", *e));
    }
    return GitImportSummary{.host_head = repo.head,
                            .machine_head = machine_head,
                            .commits = repo.selection.size(),
                            .blobs = translation.blobs.size(),
                            .tree_entries = translation.tree_entries,
                            .truncated = repo.truncated};
}

}  // namespace

namespace git_import {

Result<std::vector<std::string>, std::string> revision_walk(std::string_view output) {
    std::vector<std::string> ids;
    if (output.empty()) return ids;
    for (std::string_view line : split(output, '\n')) {
        auto id = parse_sha1_hex(line, "revision walk");
        if (!id) return std::unexpected(std::move(id.error()));
        ids.push_back(std::move(*id));
    }
    return ids;
}

Result<std::vector<std::string>, std::string> check_parent_order(const std::vector<std::string>& parents,
                                                                 const std::vector<std::string>& sorted_selection,
                                                                 const std::map<std::string, std::string>& imported,
                                                                 std::string_view commit) {
    std::vector<std::string> mapped;
    for (const std::string& parent : parents) {
        if (!std::binary_search(sorted_selection.begin(), sorted_selection.end(), parent)) continue;
        auto found = imported.find(parent);
        if (found == imported.end())
            return std::unexpected(fmt::format("selected parent {} was not imported before {}", parent, commit));
        mapped.push_back(found->second);
    }
    return mapped;
}

}  // namespace git_import

Result<GitImportSummary, std::string> git_import_host_history(Machine& machine, std::string_view host_root,
                                                              std::string_view destination) {
    auto root = host_real_path(host_root);
    if (!root)
        return std::unexpected(fmt::format("cannot resolve host root {}: {}", utf8_lossy(host_root), host_error_text(root.error())));
    auto repo = inspect_host_repository(*root);
    if (!repo) return std::unexpected(std::move(repo.error()));
    auto reader = GitObjectReader::start(*root);
    if (!reader) return std::unexpected(std::move(reader.error()));
    auto summary = translate(machine, *reader, destination, *repo);
    reader->close();
    return summary;
}

}  // namespace tw
