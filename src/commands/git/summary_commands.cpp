// git shortlog and git describe.
#include <fmt/format.h>

#include <algorithm>
#include <map>

#include "commands/git/history.h"
#include "commands/git/history_commands.h"
#include "kernel/syscalls.h"

namespace tw {

std::int32_t git_cmd_shortlog(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    const std::string root = *found;
    bool summary = false, numbered = false, email = false;
    std::vector<std::string> starts;
    GitArgs cursor(args);
    cursor.expand_short_flags("sne");
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            auto id = git_resolve_revision(sys, root, item.text);
            if (!id) {
                git_report_ambiguous_argument(err, item.text);
                return 128;
            }
            starts.push_back(std::move(*id));
            continue;
        }
        const std::string& o = item.text;
        if (o == "-s" || o == "--summary") summary = true;
        else if (o == "-n" || o == "--numbered") numbered = true;
        else if (o == "-e" || o == "--email") email = true;
        else if (o == "--no-merges") {
        } else {
            git_report_error(err, fmt::format("unsupported shortlog option: {}", o));
            return 129;
        }
    }
    if (starts.empty()) {
        auto head = git_resolve_head(sys, root);
        if (!head) return 0;
        starts.push_back(std::move(*head));
    }
    std::vector<CommitRecord> commits = git_topo_walk(sys, root, starts);
    (void)sys.charge_cpu(commits.size() * 64);
    std::map<std::string, std::vector<std::string>> groups;
    for (const CommitRecord& r : commits) {
        std::string key = email ? fmt::format("{} <{}>", r.commit.author_name, r.commit.author_email)
                                : r.commit.author_name;
        groups[std::move(key)].push_back(git_commit_subject(r.commit.message));
    }
    std::vector<std::pair<std::string, std::vector<std::string>>> ordered(groups.begin(), groups.end());
    if (numbered)
        std::stable_sort(ordered.begin(), ordered.end(),
                         [](const auto& a, const auto& b) { return a.second.size() > b.second.size(); });
    Bytes& out = run.io.out;
    for (const auto& [key, subjects] : ordered) {
        if (summary) {
            out += fmt::format("{:>6}\t{}\n", subjects.size(), key);
            continue;
        }
        out += fmt::format("{} ({}):\n", key, subjects.size());
        for (const std::string& s : subjects) out += fmt::format("      {}\n", s);
        out += "\n";
    }
    return 0;
}

std::int32_t git_cmd_describe(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    const std::string root = *found;
    bool tags = false, always = false;
    std::string target = "HEAD";
    GitArgs cursor(args);
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            target = item.text;
            continue;
        }
        const std::string& o = item.text;
        if (o == "--tags") tags = true;
        else if (o == "--always") always = true;
        else if (o == "--abbrev" || o == "--long") {
        } else {
            git_report_error(err, fmt::format("unsupported describe option: {}", o));
            return 129;
        }
    }
    auto id = git_resolve_revision(sys, root, target);
    if (!id) {
        git_report_ambiguous_argument(err, target);
        return 128;
    }
    std::map<std::string, std::string> candidates;
    bool left_out = false;
    for (const std::string& tag : git_list_refs(sys, root, "tags")) {
        if (!tags && !git_read_file(sys, git_path(root, fmt::format("tags/{}.annotation", tag)))) {
            left_out = true;
            continue;
        }
        if (auto tagged = git_read_ref_file(sys, root, fmt::format("refs/tags/{}", tag)))
            candidates[*tagged] = tag;
    }
    const std::vector<CommitRecord> chain = git_collect_commits(sys, root, *id);
    (void)sys.charge_cpu(chain.size() * 64);
    for (std::size_t depth = 0; depth < chain.size(); ++depth) {
        auto it = candidates.find(chain[depth].id);
        if (it == candidates.end()) continue;
        if (depth == 0) run.io.out += fmt::format("{}\n", it->second);
        else run.io.out += fmt::format("{}-{}-g{}\n", it->second, depth, git_abbrev_id(*id));
        return 0;
    }
    if (always) {
        run.io.out += fmt::format("{}\n", git_abbrev_id(*id));
        return 0;
    }
    err += fmt::format("fatal: No annotated tags can describe '{}'.\n", *id);
    if (left_out) err += "However, there were unannotated tags: try --tags.\n";
    return 128;
}

}  // namespace tw
