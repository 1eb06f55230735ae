#include "commands/git/history.h"

#include <fmt/format.h>

#include <map>
#include <queue>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

namespace tw {

namespace {

struct Ancestry {
    std::vector<std::string> order;
    std::unordered_set<std::string> members;
};

Ancestry ancestry(Syscalls& sys, std::string_view root, std::string_view start) {
    Ancestry set;
    std::vector<std::string> stack{std::string(start)};
    while (!stack.empty()) {
        std::string id = std::move(stack.back());
        stack.pop_back();
        if (set.order.size() >= kGitWalkLimit) continue;
        if (!set.members.insert(id).second) continue;
        set.order.push_back(id);
        auto commit = git_read_commit(sys, root, id);
        if (!commit) continue;
        for (std::string& parent : commit->parents) stack.push_back(std::move(parent));
    }
    return set;
}

}  // namespace

std::vector<std::string> git_ancestors(Syscalls& sys, std::string_view root, std::string_view start) {
    return ancestry(sys, root, start).order;
}

std::optional<std::string> git_merge_base(Syscalls& sys, std::string_view root, std::string_view a,
                                          std::string_view b) {
    const Ancestry of_a = ancestry(sys, root, a);
    std::vector<std::string> stack{std::string(b)};
    std::unordered_set<std::string> visited;
    while (!stack.empty()) {
        std::string id = std::move(stack.back());
        stack.pop_back();
        if (!visited.insert(id).second) continue;
        if (of_a.members.contains(id)) return id;
        auto commit = git_read_commit(sys, root, id);
        if (!commit) continue;
        for (std::string& parent : commit->parents) stack.push_back(std::move(parent));
    }
    return std::nullopt;
}

std::vector<CommitRecord> git_collect_commits(Syscalls& sys, std::string_view root, std::string_view start) {
    std::vector<CommitRecord> chain;
    std::unordered_set<std::string> seen;
    std::optional<std::string> current{std::string(start)};
    while (current && chain.size() < kGitWalkLimit) {
        if (!seen.insert(*current).second) break;
        auto commit = git_read_commit(sys, root, *current);
        if (!commit) break;
        std::optional<std::string> next;
        if (!commit->parents.empty()) next = commit->parents.front();
        chain.push_back({std::move(*current), std::move(*commit)});
        current = std::move(next);
    }
    return chain;
}

std::optional<RevisionRange> git_parse_revision_range(Syscalls& sys, std::string_view root, std::string_view text) {
    RevisionRange range;
    auto exclude_ancestors = [&](std::string_view id) {
        for (std::string& a : git_ancestors(sys, root, id)) range.exclude.insert(std::move(a));
    };
    if (text.starts_with("^")) {
        auto id = git_resolve_revision(sys, root, text.substr(1));
        if (!id) return std::nullopt;
        exclude_ancestors(*id);
        return range;
    }
    if (!text.starts_with(".") && !text.starts_with("/")) {
        for (std::string_view dots : {std::string_view("..."), std::string_view("..")}) {
            std::size_t at = text.find(dots);
            if (at == std::string_view::npos) continue;
            std::string_view b_text = text.substr(at + dots.size());
            auto a = git_resolve_revision(sys, root, text.substr(0, at));
            auto b = git_resolve_revision(sys, root, b_text.empty() ? std::string_view("HEAD") : b_text);
            if (!a || !b) return std::nullopt;
            if (dots.size() == 3) {
                auto base = git_merge_base(sys, root, *a, *b);
                if (!base) return std::nullopt;
                exclude_ancestors(*base);
            } else {
                exclude_ancestors(*a);
            }
            range.include.push_back(std::move(*b));
            return range;
        }
    }
    auto id = git_resolve_revision(sys, root, text);
    if (!id) return std::nullopt;
    range.include.push_back(std::move(*id));
    return range;
}

std::vector<CommitRecord> git_topo_walk(Syscalls& sys, std::string_view root, const std::vector<std::string>& starts) {
    struct Visited {
        std::size_t sequence = 0;
        GitCommit commit;
        std::size_t children = 0;
    };
    std::unordered_map<std::string, Visited> visited;
    std::vector<const std::string*> by_sequence;
    std::queue<std::string> queue;
    for (const std::string& s : starts) queue.push(s);
    while (!queue.empty()) {
        std::string id = std::move(queue.front());
        queue.pop();
        if (visited.size() >= kGitWalkLimit || visited.contains(id)) continue;
        auto commit = git_read_commit(sys, root, id);
        if (!commit) continue;
        for (const std::string& parent : commit->parents) queue.push(parent);
        auto [it, inserted] = visited.emplace(std::move(id), Visited{by_sequence.size(), std::move(*commit), 0});
        by_sequence.push_back(&it->first);
    }
    for (auto& [id, v] : visited)
        for (const std::string& parent : v.commit.parents)
            if (auto p = visited.find(parent); p != visited.end()) ++p->second.children;
    // Greater time first; at equal times the smaller sequence number.
    using Ready = std::tuple<std::int64_t, std::size_t>;
    auto lower = [](const Ready& x, const Ready& y) {
        if (std::get<0>(x) != std::get<0>(y)) return std::get<0>(x) < std::get<0>(y);
        return std::get<1>(x) > std::get<1>(y);
    };
    std::priority_queue<Ready, std::vector<Ready>, decltype(lower)> heap(lower);
    for (const std::string* id : by_sequence) {
        const Visited& v = visited.at(*id);
        if (v.children == 0) heap.emplace(v.commit.time, v.sequence);
    }
    std::vector<CommitRecord> out;
    out.reserve(visited.size());
    while (!heap.empty()) {
        const std::string& id = *by_sequence[std::get<1>(heap.top())];
        heap.pop();
        const Visited& v = visited.at(id);
        out.push_back({id, v.commit});
        for (const std::string& parent : v.commit.parents) {
            auto p = visited.find(parent);
            if (p == visited.end()) continue;
            if (--p->second.children == 0) heap.emplace(p->second.commit.time, p->second.sequence);
        }
    }
    return out;
}

std::optional<std::vector<CommitRecord>> git_walk_commits(Syscalls& sys, std::string_view root,
                                                          const std::vector<std::string>& args, bool first_parent) {
    std::vector<std::string> include;
    std::set<std::string> exclude;
    for (const std::string& arg : args) {
        auto range = git_parse_revision_range(sys, root, arg);
        if (!range) return std::nullopt;
        include.insert(include.end(), range->include.begin(), range->include.end());
        exclude.merge(range->exclude);
    }
    std::vector<CommitRecord> walked;
    if (first_parent) {
        if (!include.empty()) walked = git_collect_commits(sys, root, include.front());
    } else {
        walked = git_topo_walk(sys, root, include);
    }
    if (!exclude.empty())
        std::erase_if(walked, [&](const CommitRecord& r) { return exclude.contains(r.id); });
    return walked;
}

std::vector<std::string> git_all_ref_targets(Syscalls& sys, std::string_view root) {
    std::vector<std::string> targets;
    for (std::string_view kind : {"heads", "tags"}) {
        for (const std::string& name : git_list_refs(sys, root, kind)) {
            auto id = git_read_ref_file(sys, root, fmt::format("refs/{}/{}", kind, name));
            if (id && !id->empty()) targets.push_back(std::move(*id));
        }
    }
    return targets;
}

}  // namespace tw
