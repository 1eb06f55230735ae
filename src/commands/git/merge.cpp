#include "commands/git/merge.h"

#include <fmt/format.h>

#include <algorithm>

#include "commands/git/line_diff_engine.h"
#include "commands/git/pretty.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

using OptEntry = std::optional<TreeEntry>;

OptEntry entry_at(const GitTree& tree, const std::string& path) {
    auto it = tree.find(path);
    return it == tree.end() ? OptEntry{} : OptEntry{it->second};
}

std::optional<std::string> id_of(const OptEntry& e) { return e ? std::optional<std::string>(e->id) : std::nullopt; }

std::string entry_content(Syscalls& sys, std::string_view root, const OptEntry& e) {
    if (!e) return {};
    auto bytes = git_read_object(sys, root, e->id);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// Moves the other side's entry (and the base's) from `old_path` to `new_path`, unless the other
// side lacks the old path or already has the new one.
void follow_rename(GitTree& base, GitTree& other, const std::string& old_path, const std::string& new_path) {
    auto it = other.find(old_path);
    if (it == other.end() || other.contains(new_path)) return;
    TreeEntry moved = it->second;
    other.erase(it);
    other[new_path] = moved;
    if (auto b = base.find(old_path); b != base.end()) {
        TreeEntry bm = b->second;
        base.erase(b);
        base[new_path] = bm;
    }
}

void append_base(std::string& out, std::span<const std::string_view> base, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to && i < base.size(); ++i) out += base[i];
}

std::string side_text(std::span<const std::string_view> base, std::span<const MergeRegion> regions,
                      std::size_t start, std::size_t end) {
    std::string out;
    std::size_t p = start;
    for (const MergeRegion& r : regions) {
        append_base(out, base, p, r.base_start);
        for (const std::string& l : r.lines) out += l;
        p = r.base_end;
    }
    append_base(out, base, p, end);
    return out;
}

}  // namespace

std::vector<MergeRegion> git_merge_change_regions(std::span<const std::string_view> base,
                                                  std::span<const std::string_view> side) {
    std::vector<MergeRegion> regions;
    std::optional<MergeRegion> open;
    std::size_t n = 0;
    for (const LineDiffOp& op : line_diff(base, side)) {
        switch (op.tag) {
        case LineDiffTag::Keep:
            if (open) regions.push_back(std::move(*open)), open.reset();
            ++n;
            break;
        case LineDiffTag::Delete:
            if (!open) open = MergeRegion{n, n, {}};
            ++n;
            open->base_end = n;
            break;
        case LineDiffTag::Insert:
            if (!open) open = MergeRegion{n, n, {}};
            open->lines.emplace_back(op.line);
            break;
        }
    }
    if (open) regions.push_back(std::move(*open));
    return regions;
}

std::pair<std::string, bool> git_merge_text(std::string_view base_text, std::string_view ours_text,
                                            std::string_view theirs_text, std::string_view ours_label,
                                            std::string_view theirs_label) {
    std::vector<std::string_view> base = split_diff_lines(base_text);
    std::vector<std::string_view> ours = split_diff_lines(ours_text);
    std::vector<std::string_view> theirs = split_diff_lines(theirs_text);
    std::vector<MergeRegion> ro = git_merge_change_regions(base, ours);
    std::vector<MergeRegion> rt = git_merge_change_regions(base, theirs);
    std::string out;
    bool conflict = false;
    std::size_t i = 0, j = 0, c = 0;
    auto take_alone = [&](const MergeRegion& r) {
        append_base(out, base, c, r.base_start);
        for (const std::string& l : r.lines) out += l;
        c = r.base_end;
    };
    while (i < ro.size() || j < rt.size()) {
        if (j == rt.size()) {
            take_alone(ro[i++]);
            continue;
        }
        if (i == ro.size()) {
            take_alone(rt[j++]);
            continue;
        }
        std::size_t lo = std::max(ro[i].base_start, rt[j].base_start);
        std::size_t hi = std::min(ro[i].base_end, rt[j].base_end);
        if (lo > hi) {
            if (ro[i].base_start < rt[j].base_start) take_alone(ro[i++]);
            else take_alone(rt[j++]);
            continue;
        }
        std::size_t start = std::min(ro[i].base_start, rt[j].base_start);
        std::size_t end = std::max(ro[i].base_end, rt[j].base_end);
        std::size_t k = i + 1, m = j + 1;
        for (bool grew = true; grew;) {
            grew = false;
            for (; k < ro.size() && ro[k].base_start <= end; ++k, grew = true) end = std::max(end, ro[k].base_end);
            for (; m < rt.size() && rt[m].base_start <= end; ++m, grew = true) end = std::max(end, rt[m].base_end);
        }
        std::string so = side_text(base, std::span(ro).subspan(i, k - i), start, end);
        std::string st = side_text(base, std::span(rt).subspan(j, m - j), start, end);
        append_base(out, base, c, start);
        if (so == st) {
            out += so;
        } else {
            auto close_line = [&] {
                if (!out.empty() && out.back() != '\n') out += '\n';
            };
            out += fmt::format("<<<<<<< {}\n", ours_label);
            out += so;
            close_line();
            out += "=======\n";
            out += st;
            close_line();
            out += fmt::format(">>>>>>> {}\n", theirs_label);
            conflict = true;
        }
        i = k, j = m, c = end;
    }
    append_base(out, base, c, base.size());
    return {std::move(out), conflict};
}

std::vector<std::pair<std::string, std::string>> git_merge_find_renames(const GitTree& older, const GitTree& newer) {
    std::vector<std::string> added;
    for (const auto& [p, e] : newer)
        if (!older.contains(p)) added.push_back(p);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto& [p, e] : older) {
        if (newer.contains(p)) continue;
        auto hit = std::find_if(added.begin(), added.end(), [&](const std::string& a) { return newer.at(a).id == e.id; });
        if (hit == added.end()) continue;
        pairs.emplace_back(p, *hit);
        added.erase(hit);
    }
    return pairs;
}

Result<MergedTrees, MergeFailure> git_merge_trees(Syscalls& sys, std::string_view root, const GitTree& base_in,
                                                  const GitTree& ours_in, const GitTree& theirs_in,
                                                  std::string_view ours_label, std::string_view theirs_label) {
    GitTree base = base_in, ours = ours_in, theirs = theirs_in;
    for (const auto& [o, n] : git_merge_find_renames(base, ours)) follow_rename(base, theirs, o, n);
    for (const auto& [o, n] : git_merge_find_renames(base, theirs)) follow_rename(base, ours, o, n);
    std::set<std::string> paths;
    for (const GitTree* t : {&base, &ours, &theirs})
        for (const auto& [p, e] : *t) paths.insert(p);
    MergedTrees result;
    for (const std::string& path : paths) {
        OptEntry b = entry_at(base, path), o = entry_at(ours, path), t = entry_at(theirs, path);
        MergeStageIds stage{id_of(b), id_of(o), id_of(t)};
        if (o == b) {
            if (t) result.tree[path] = *t;
            continue;
        }
        if (t == b || o == t) {
            if (o) result.tree[path] = *o;
            continue;
        }
        if (!o || !t) {
            result.tree[path] = o ? *o : *t;
            result.stages[path] = stage;
            continue;
        }
        // Links are never merged as text: that would turn them into regular files.
        bool any_link = o->symlink || t->symlink || (b && b->symlink);
        std::string bc = entry_content(sys, root, b), oc = entry_content(sys, root, o),
                    tc = entry_content(sys, root, t);
        if (any_link || git_content_is_binary(bc) || git_content_is_binary(oc) || git_content_is_binary(tc)) {
            result.tree[path] = *o;
            result.stages[path] = stage;
            continue;
        }
        auto [text, conflict] = git_merge_text(bc, oc, tc, ours_label, theirs_label);
        auto id = git_write_blob(sys, root, text);
        if (!id) return std::unexpected(MergeFailure{path, id.error()});
        // A mode change of one side survives an edit of the other.
        bool executable = b ? (o->executable != b->executable ? o->executable : t->executable)
                            : (o->executable || t->executable);
        result.tree[path] = TreeEntry{*id, executable, false};
        if (conflict) result.stages[path] = stage;
    }
    return result;
}

std::int32_t git_record_conflicts(Syscalls& sys, std::string_view root, const ConflictRecord& record,
                                  const MergeStages& stages, Bytes& err) {
    for (const auto& [path, ids] : stages) {
        std::string code = git_unmerged_status_code(ids);
        if (code == "UD")
            err += fmt::format(
                "CONFLICT (modify/delete): {} deleted in {} and modified in HEAD.  Version HEAD of {} left in tree.\n",
                path, record.theirs_label, path);
        else if (code == "DU")
            err += fmt::format(
                "CONFLICT (modify/delete): {} deleted in HEAD and modified in {}.  Version {} of {} left in tree.\n",
                path, record.theirs_label, record.theirs_label, path);
        else if (code == "AA")
            err += fmt::format("CONFLICT (add/add): Merge conflict in {}\n", path);
        else
            err += fmt::format("CONFLICT (content): Merge conflict in {}\n", path);
    }
    bool ok = !git_write_file(sys, git_path(root, record.state_file), Bytes(record.id + "\n")) &&
              !git_write_file(sys, git_path(root, "MERGE_MSG"), Bytes(record.message)) &&
              git_write_merge_stages(sys, root, stages);
    if (!ok) {
        err += "fatal: unable to record the conflicted state\n";
        return 128;
    }
    err += record.closing + "\n";
    return 1;
}

std::vector<std::string> git_staged_paths(const WorktreeState& state) {
    std::set<std::string> paths;
    for (const auto& [p, e] : state.index)
        if (entry_at(state.head, p) != OptEntry{e}) paths.insert(p);
    for (const auto& [p, e] : state.head)
        if (!state.index.contains(p)) paths.insert(p);
    return {paths.begin(), paths.end()};
}

std::vector<std::string> git_local_change_paths(const WorktreeState& state) {
    std::vector<std::string> staged = git_staged_paths(state);
    std::set<std::string> paths(staged.begin(), staged.end());
    for (const auto& [p, e] : state.index)
        if (entry_at(state.scan, p) != OptEntry{e}) paths.insert(p);
    return {paths.begin(), paths.end()};
}

Result<GitTree, std::int32_t> git_tree_of_optional_commit(Syscalls& sys, std::string_view root,
                                                          const std::optional<std::string>& id, Bytes& err) {
    if (!id) return GitTree{};
    return git_commit_tree_or_fatal(sys, root, *id, err);
}

std::int64_t git_new_commit_time(Syscalls& sys) {
    auto now = static_cast<std::int64_t>(sys.file_time_now() / 1000);
    if (auto date = git_env_value(sys, "GIT_AUTHOR_DATE")) {
        std::string_view d = *date;
        if (d.starts_with("@")) d.remove_prefix(1);
        if (d.ends_with(" +0000")) d.remove_suffix(6);
        if (auto t = git_parse_date_arg(d, now)) return *t;
    }
    return now;
}

}  // namespace tw
