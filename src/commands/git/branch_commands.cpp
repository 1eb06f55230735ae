// git branch and git tag, the ref plumbing (symbolic-ref, show-ref, for-each-ref), the ref listing
// and the ref format atoms.
#include <fmt/format.h>

#include <algorithm>

#include "commands/git/history.h"
#include "commands/git/work_commands.h"
#include "kernel/syscall_error.h"
#include "kernel/syscalls.h"

namespace tw {

std::string git_commit_subject_of(Syscalls& sys, std::string_view root, std::string_view id) {
    auto commit = git_read_commit(sys, root, id);
    return commit ? git_commit_subject(commit->message) : std::string();
}

std::pair<std::span<const std::string>, std::vector<std::string>> git_split_at_dashes(
    std::span<const std::string> args) {
    auto dashes = std::find(args.begin(), args.end(), std::string("--"));
    std::vector<std::string> after;
    if (dashes != args.end()) after.assign(dashes + 1, args.end());
    return {std::span<const std::string>(args.begin(), dashes), std::move(after)};
}

// ---- refs ----

std::vector<std::pair<std::string, std::string>> git_ref_listing(Syscalls& sys, std::string_view root) {
    std::vector<std::pair<std::string, std::string>> refs;
    for (std::string_view kind : {"heads", "tags"}) {
        for (const std::string& name : git_list_refs(sys, root, kind)) {
            std::string ref = fmt::format("refs/{}/{}", kind, name);
            if (auto id = git_read_ref_file(sys, root, ref)) refs.emplace_back(std::move(ref), std::move(*id));
        }
    }
    std::sort(refs.begin(), refs.end());
    return refs;
}

std::optional<std::string> git_for_each_ref_format(std::string_view format, std::string_view ref,
                                                   std::string_view id) {
    std::string_view short_name = ref;
    if (short_name.starts_with("refs/heads/")) short_name.remove_prefix(11);
    else if (short_name.starts_with("refs/tags/")) short_name.remove_prefix(10);
    std::string out;
    std::string_view rest = format;
    while (true) {
        std::size_t open = rest.find("%(");
        if (open == std::string_view::npos) {
            out += rest;
            return out;
        }
        out += rest.substr(0, open);
        std::size_t close = rest.find(')', open + 2);
        if (close == std::string_view::npos) return std::nullopt;
        std::string_view atom = rest.substr(open + 2, close - open - 2);
        if (atom == "refname") out += ref;
        else if (atom == "refname:short" || atom == "refname:lstrip=2") out += short_name;
        else if (atom == "objectname") out += id;
        else if (atom == "objectname:short") out += git_abbrev_id(id);
        else if (atom == "objecttype") out += "commit";
        else return std::nullopt;
        rest.remove_prefix(close + 1);
    }
}

bool git_ref_pattern_matches(std::string_view pattern, std::string_view name) {
    if (pattern.find_first_of("*?[") == std::string_view::npos) return pattern == name;
    return git_pathspec_match(pattern, name);
}

std::optional<std::string> git_delete_ref(Syscalls& sys, std::string_view root, std::string_view ref) {
    if (ref.find("..") != std::string_view::npos) return std::string("invalid ref name");
    return git_remove_git_file(sys, root, ref);
}

namespace {

bool contains(const std::vector<std::string>& ids, std::string_view id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

std::string branch_ref(std::string_view name) { return fmt::format("refs/heads/{}", name); }

// A name that stays inside the ref directory it is read from.
std::optional<std::string> read_named_ref(Syscalls& sys, std::string_view root, std::string_view dir,
                                          std::string_view name) {
    if (name.empty() || name.find("..") != std::string_view::npos) return std::nullopt;
    return git_read_ref_file(sys, root, fmt::format("refs/{}/{}", dir, name));
}

std::int32_t delete_branches(Syscalls& sys, std::string_view root, const std::vector<std::string>& names, bool force,
                             Bytes& out, Bytes& err) {
    if (names.empty()) {
        git_report_error(err, "usage: git branch (-d|-D) NAME...");
        return 129;
    }
    auto current = git_current_branch(sys, root);
    for (const std::string& name : names) {
        if (current == name) {
            err += fmt::format("error: cannot delete branch '{}' checked out\n", name);
            return 1;
        }
        auto id = read_named_ref(sys, root, "heads", name);
        if (!id) {
            err += fmt::format("error: branch '{}' not found\n", name);
            return 1;
        }
        if (!force) {
            auto head = git_resolve_head(sys, root);
            std::vector<std::string> merged = head ? git_ancestors(sys, root, *head) : std::vector<std::string>{};
            if (!contains(merged, *id)) {
                err += fmt::format("error: the branch '{}' is not fully merged; use -D to delete it\n", name);
                return 1;
            }
        }
        if (git_delete_ref(sys, root, branch_ref(name))) {
            err += fmt::format("error: branch '{}' not found\n", name);
            return 1;
        }
        out += fmt::format("Deleted branch {} (was {}).\n", name, git_abbrev_id(*id));
    }
    return 0;
}

std::int32_t rename_branch(Syscalls& sys, std::string_view root, const std::vector<std::string>& names, bool force,
                           Bytes& err) {
    std::string old_name, new_name;
    auto current = git_current_branch(sys, root);
    if (names.size() == 2) {
        old_name = names[0];
        new_name = names[1];
    } else if (names.size() == 1) {
        if (!current) {
            git_report_fatal(err, "cannot rename a detached HEAD");
            return 128;
        }
        old_name = *current;
        new_name = names[0];
    } else {
        git_report_error(err, "usage: git branch -m [OLD] NEW");
        return 129;
    }
    if (!git_ref_name_is_valid(new_name)) {
        git_report_fatal(err, fmt::format("invalid branch name: {}", new_name));
        return 128;
    }
    auto id = read_named_ref(sys, root, "heads", old_name);
    if (!id) {
        err += fmt::format("error: branch '{}' not found\n", old_name);
        return 1;
    }
    if (old_name == new_name) return 0;  // a rename onto itself keeps the branch as it is
    if (!force && read_named_ref(sys, root, "heads", new_name)) {
        err += fmt::format("fatal: a branch named '{}' already exists\n", new_name);
        return 128;
    }
    if (auto e = git_write_ref(sys, root, branch_ref(new_name), *id)) {
        git_report_write_failure(err, branch_ref(new_name), *e);
        return 128;
    }
    if (auto e = git_delete_ref(sys, root, branch_ref(old_name))) {
        git_report_write_failure(err, branch_ref(old_name), *e);
        return 128;
    }
    if (current == old_name) {
        if (auto e = git_switch_head_to_branch(sys, root, new_name, fmt::format("branch: renamed to {}", new_name))) {
            git_report_write_failure(err, "HEAD", *e);
            return 128;
        }
    }
    return 0;
}

std::int32_t create_branch(Syscalls& sys, std::string_view root, const std::vector<std::string>& names, bool force,
                           Bytes& err) {
    if (names.size() > 2 || !git_ref_name_is_valid(names[0])) {
        git_report_error(err, "usage: git branch NAME [START_POINT]");
        return 129;
    }
    std::string start = names.size() == 2 ? names[1] : std::string("HEAD");
    auto id = git_resolve_revision(sys, root, start);
    if (!id) {
        err += fmt::format("fatal: not a valid object name: '{}'\n", start);
        return 128;
    }
    if (!force && read_named_ref(sys, root, "heads", names[0])) {
        err += fmt::format("fatal: a branch named '{}' already exists\n", names[0]);
        return 128;
    }
    if (auto e = git_write_ref(sys, root, branch_ref(names[0]), *id)) {
        err += fmt::format("git branch: {}\n", *e);
        return 1;
    }
    return 0;
}

enum class BranchFilter : std::uint8_t { None, Contains, Merged, NoMerged };

struct BranchListing {
    std::optional<std::string> pattern;
    std::optional<std::string> format;
    BranchFilter filter = BranchFilter::None;
    std::string filter_revision = "HEAD";
    bool verbose = false;
};

std::int32_t list_branches(Syscalls& sys, std::string_view root, const BranchListing& listing, Bytes& out,
                           Bytes& err) {
    std::vector<std::string> branches = git_list_branches(sys, root);
    auto selected = [&](const std::string& name) {
        return !listing.pattern || git_ref_pattern_matches(*listing.pattern, name);
    };
    if (listing.format) {
        for (const std::string& name : branches) {
            if (!selected(name)) continue;
            auto id = read_named_ref(sys, root, "heads", name);
            if (!id) continue;
            auto line = git_for_each_ref_format(*listing.format, branch_ref(name), *id);
            if (!line) {
                git_report_error(err, fmt::format("unsupported branch format: {}", *listing.format));
                return 129;
            }
            out += *line + "\n";
        }
        return 0;
    }
    auto current = git_current_branch(sys, root);
    auto head = git_resolve_head(sys, root);
    std::optional<std::string> detached;
    if (head && !current) detached = fmt::format("(HEAD detached at {})", git_abbrev_id(*head));
    std::size_t width = detached ? detached->size() : 0;
    for (const std::string& name : branches) width = std::max(width, name.size());
    auto verbose_line = [&](char marker, const std::string& name, const std::optional<std::string>& id) {
        std::string tail = id ? fmt::format("{} {}", git_abbrev_id(*id), git_commit_subject_of(sys, root, *id)) : "";
        return fmt::format("{} {:<{}} {}\n", marker, name, width, tail);
    };
    if (detached && !listing.pattern)
        out += listing.verbose ? verbose_line('*', *detached, head) : fmt::format("* {}\n", *detached);
    std::optional<std::string> filter_id;
    std::vector<std::string> filter_ancestors;
    if (listing.filter != BranchFilter::None) {
        filter_id = git_resolve_revision(sys, root, listing.filter_revision);
        if (!filter_id) return 0;
        filter_ancestors = git_ancestors(sys, root, *filter_id);
    }
    for (const std::string& name : branches) {
        if (!selected(name)) continue;
        auto id = read_named_ref(sys, root, "heads", name);
        if (listing.filter != BranchFilter::None) {
            if (!id) continue;
            bool keep = listing.filter == BranchFilter::Contains ? contains(git_ancestors(sys, root, *id), *filter_id)
                        : listing.filter == BranchFilter::Merged ? contains(filter_ancestors, *id)
                                                                 : !contains(filter_ancestors, *id);
            if (!keep) continue;
        }
        char marker = current == name ? '*' : ' ';
        out += listing.verbose ? verbose_line(marker, name, id) : fmt::format("{} {}\n", marker, name);
    }
    return 0;
}

}  // namespace

// ---- branch ----

std::int32_t git_cmd_branch(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    cursor.expand_short_flags("avdfqlr");
    bool delete_mode = false, rename_mode = false, force = false, list_mode = false;
    BranchListing listing;
    std::vector<std::string> names;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            names.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "--show-current") {
            if (auto branch = git_current_branch(sys, *root)) run.io.out += *branch + "\n";
            return 0;
        }
        if (o == "-v" || o == "--verbose") listing.verbose = true;
        else if (o == "-d" || o == "--delete") delete_mode = true;
        else if (o == "-D") delete_mode = force = true;
        else if (o == "-m" || o == "--move") rename_mode = true;
        else if (o == "-M") rename_mode = force = true;
        else if (o == "-f" || o == "--force") force = true;
        else if (o == "-l" || o == "--list" || o == "-a" || o == "--all" || o == "--no-color" || o == "--no-column")
            list_mode = true;
        else if (o == "--contains" || o == "--merged" || o == "--no-merged") {
            list_mode = true;
            listing.filter = o == "--contains" ? BranchFilter::Contains
                             : o == "--merged" ? BranchFilter::Merged
                                               : BranchFilter::NoMerged;
            listing.filter_revision = "HEAD";
            if (item.value) {
                listing.filter_revision = *item.value;
            } else {
                auto rest = cursor.remaining();
                if (!rest.empty() && !rest.front().starts_with("-")) listing.filter_revision = *cursor.value(std::nullopt);
            }
        } else if (o == "--format") {
            list_mode = true;
            if (auto value = cursor.value(item.value)) listing.format = *value;
        } else if (o == "--sort") {
            list_mode = true;
            (void)cursor.value(item.value);
        } else if (o == "-q" || o == "--quiet") {
        } else if (o == "-r" || o == "--remotes") {
            return 0;
        } else {
            git_report_error(err, fmt::format("unsupported branch option: {}", o));
            return 129;
        }
    }
    if (delete_mode) return delete_branches(sys, *root, names, force, run.io.out, err);
    if (rename_mode) return rename_branch(sys, *root, names, force, err);
    if (!names.empty() && !list_mode) return create_branch(sys, *root, names, force, err);
    if (!names.empty()) listing.pattern = names.front();
    return list_branches(sys, *root, listing, run.io.out, err);
}

// ---- tag ----

std::int32_t git_cmd_tag(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    cursor.with_value_flags("m").expand_short_flags("adflqm");
    bool delete_mode = false, list_mode = false, force = false, annotations = false;
    std::optional<std::string> message, format, points_at;
    std::vector<std::string> names;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            names.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "-l" || o == "--list") list_mode = true;
        else if (o == "-d" || o == "--delete") delete_mode = true;
        else if (o == "-f" || o == "--force") force = true;
        else if (o == "-a" || o == "--annotate" || o == "-q" || o == "--quiet") {
        } else if (o == "-m" || o == "--message") {
            if (auto value = cursor.value(item.value)) message = *value;
        } else if (o == "--format") {
            list_mode = true;
            if (auto value = cursor.value(item.value)) format = *value;
        } else if (o == "--points-at") {
            list_mode = true;
            if (auto value = cursor.value(item.value)) points_at = *value;
        } else if (o == "--sort") {
            list_mode = true;
            (void)cursor.value(item.value);
        } else if (o == "-n" || o == "--list-annotations" || git_parse_dash_count(o)) {
            list_mode = annotations = true;
        } else {
            git_report_error(err, fmt::format("unsupported tag option: {}", o));
            return 129;
        }
    }
    if (delete_mode) {
        for (const std::string& name : names) {
            auto id = read_named_ref(sys, *root, "tags", name);
            if (git_delete_ref(sys, *root, fmt::format("refs/tags/{}", name))) {
                err += fmt::format("error: tag '{}' not found.\n", name);
                return 1;
            }
            // The annotation goes with its tag, so a later tag of the same name starts plain.
            (void)git_remove_git_file(sys, *root, fmt::format("tags/{}.annotation", name));
            out += fmt::format("Deleted tag '{}' (was {})\n", name, id ? git_abbrev_id(*id) : std::string());
        }
        return 0;
    }
    if (list_mode || names.empty()) {
        std::optional<std::string> wanted;
        if (points_at) {
            wanted = git_resolve_revision(sys, *root, *points_at);
            if (!wanted) {
                git_report_ambiguous_argument(err, *points_at);
                return 128;
            }
        }
        for (const std::string& name : git_list_refs(sys, *root, "tags")) {
            if (!names.empty() && !git_ref_pattern_matches(names.front(), name)) continue;
            std::string id = read_named_ref(sys, *root, "tags", name).value_or("");
            if (wanted && id != *wanted) continue;
            if (format) {
                auto line = git_for_each_ref_format(*format, fmt::format("refs/tags/{}", name), id);
                if (!line) {
                    git_report_error(err, fmt::format("unsupported tag format: {}", *format));
                    return 129;
                }
                out += *line + "\n";
            } else if (auto annotation = annotations ? git_read_tag_annotation(sys, *root, name) : std::nullopt) {
                out += fmt::format("{:<15} {}\n", name, git_commit_subject(annotation->message));
            } else {
                out += name + "\n";
            }
        }
        return 0;
    }
    const std::string& name = names[0];
    if (!git_ref_name_is_valid(name)) {
        git_report_fatal(err, fmt::format("invalid tag name: {}", name));
        return 128;
    }
    std::string revision = names.size() > 1 ? names[1] : std::string("HEAD");
    auto id = git_resolve_revision(sys, *root, revision);
    if (!id) {
        err += fmt::format("fatal: not a valid object name: '{}'\n", revision);
        return 128;
    }
    std::string ref = fmt::format("refs/tags/{}", name);
    if (!force && git_read_ref_file(sys, *root, ref)) {
        err += fmt::format("fatal: tag '{}' already exists\n", name);
        return 128;
    }
    if (auto e = git_write_ref(sys, *root, ref, *id)) {
        git_report_write_failure(err, ref, *e);
        return 128;
    }
    std::string annotation_file = git_path(*root, fmt::format("tags/{}.annotation", name));
    if (message) {
        GitIdentity who = git_author_identity(sys, *root, run.overrides);
        auto now = static_cast<std::int64_t>(sys.file_time_now() / 1000);
        std::string text = fmt::format("author {} <{}> {} +0000\n\n{}", who.name, who.email, now, *message);
        if (auto e = git_write_file(sys, annotation_file, std::move(text))) {
            git_report_write_failure(err, "the tag annotation", *e);
            return 128;
        }
    } else if (force) {
        // A forced lightweight tag replaces an annotated one whole.
        (void)git_remove_git_file(sys, *root, fmt::format("tags/{}.annotation", name));
    }
    return 0;
}

// ---- ref plumbing ----

std::int32_t git_cmd_symbolic_ref(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    bool short_form = false;
    std::vector<std::string> positionals;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) positionals.push_back(item.text);
        else if (item.text == "--short") short_form = true;
        else if (item.text == "-q" || item.text == "--quiet") {
        } else {
            git_report_error(err, fmt::format("unsupported symbolic-ref option: {}", item.text));
            return 129;
        }
    }
    if (positionals.size() == 2 && positionals[0] == "HEAD") {
        const std::string& target = positionals[1];
        if (!target.starts_with("refs/heads/") || target.find("..") != std::string::npos) {
            git_report_fatal(err, "only refs/heads/* can be pointed at by HEAD");
            return 128;
        }
        if (git_switch_head_to_branch(sys, *root, target.substr(11), "symbolic-ref: update")) return 1;
        return 0;
    }
    if (positionals.size() == 1 && positionals[0] == "HEAD") {
        auto target = git_head_symref(sys, *root);
        if (!target) {
            err += "fatal: ref HEAD is not a symbolic ref\n";
            return 1;
        }
        std::string shown = short_form ? target->substr(target->rfind('/') + 1) : *target;
        run.io.out += shown + "\n";
        return 0;
    }
    git_report_error(err, "usage: git symbolic-ref [--short] HEAD [REF]");
    return 129;
}

std::int32_t git_cmd_show_ref(GitRun& run, std::span<const std::string> args) {
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    bool heads = false, tags = false, verify = false;
    std::vector<std::string> patterns;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        const std::string& o = item.text;
        if (item.kind == GitArgItem::Kind::Positional) patterns.push_back(o);
        else if (o == "--heads") heads = true;
        else if (o == "--tags") tags = true;
        else if (o == "--verify") verify = true;
        else if (o == "-q" || o == "--quiet" || o == "--hash" || o == "-d" || o == "--dereference") {
        } else {
            git_report_error(run.io.err, fmt::format("unsupported show-ref option: {}", o));
            return 129;
        }
    }
    bool printed = false;
    for (const auto& [ref, id] : git_ref_listing(run.sys, *root)) {
        if (heads && !ref.starts_with("refs/heads/")) continue;
        if (tags && !ref.starts_with("refs/tags/")) continue;
        bool matched = patterns.empty() || std::any_of(patterns.begin(), patterns.end(), [&](const std::string& p) {
                           return ref == p || (!verify && ref.ends_with("/" + p));
                       });
        if (!matched) continue;
        run.io.out += fmt::format("{} {}\n", id, ref);
        printed = true;
    }
    return printed ? 0 : 1;
}

std::int32_t git_cmd_for_each_ref(GitRun& run, std::span<const std::string> args) {
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    std::string format = "%(objectname) %(objecttype)\t%(refname)";
    std::vector<std::string> prefixes;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        const std::string& o = item.text;
        if (item.kind == GitArgItem::Kind::Positional) {
            std::string prefix = o;
            while (prefix.ends_with("*")) prefix.pop_back();
            prefixes.push_back(std::move(prefix));
        } else if (o == "--format") {
            if (auto value = cursor.value(item.value)) format = *value;
        } else if (o == "--count" || o == "--sort") {
            (void)cursor.value(item.value);
        } else {
            git_report_error(run.io.err, fmt::format("unsupported for-each-ref option: {}", o));
            return 129;
        }
    }
    for (const auto& [ref, id] : git_ref_listing(run.sys, *root)) {
        if (!prefixes.empty() && std::none_of(prefixes.begin(), prefixes.end(),
                                              [&](const std::string& p) { return ref.starts_with(p); }))
            continue;
        auto line = git_for_each_ref_format(format, ref, id);
        if (!line) {
            git_report_error(run.io.err, fmt::format("unsupported for-each-ref format: {}", format));
            return 129;
        }
        run.io.out += *line + "\n";
    }
    return 0;
}

}  // namespace tw
