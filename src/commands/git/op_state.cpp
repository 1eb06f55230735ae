#include "commands/git/op_state.h"

#include <fmt/format.h>

#include <array>

#include "base/utf8.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

std::string_view trim_ws(std::string_view s) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return s;
}

std::optional<std::string> read_text(Syscalls& sys, std::string_view root, std::string_view name) {
    auto bytes = git_read_file(sys, git_path(root, name));
    if (!bytes) return std::nullopt;
    return utf8_lossy(*bytes);
}

void remove_quietly(Syscalls& sys, std::string_view root, std::string_view name) {
    (void)sys.remove("/", git_path(root, name));
}

// "key value" lines: calls `take` with each key and the rest of its line.
template <typename Take>
void read_key_lines(std::string_view text, Take take) {
    for (std::string_view line : split_lines(text)) {
        std::size_t space = line.find(' ');
        if (space == std::string_view::npos) continue;
        take(line.substr(0, space), line.substr(space + 1));
    }
}

}  // namespace

std::optional<std::string> git_read_state_file(Syscalls& sys, std::string_view root, std::string_view name) {
    auto text = read_text(sys, root, name);
    if (!text) return std::nullopt;
    std::string trimmed(trim_ws(*text));
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

void git_save_orig_head(Syscalls& sys, std::string_view root) {
    if (auto head = git_resolve_head(sys, root)) (void)git_write_ref(sys, root, "ORIG_HEAD", *head);
}

std::optional<PendingOperation> git_pending_operation(Syscalls& sys, std::string_view root) {
    for (std::string_view file : {"MERGE_HEAD", "CHERRY_PICK_HEAD", "REVERT_HEAD"})
        if (auto id = git_read_state_file(sys, root, file)) return PendingOperation{std::string(file), *id};
    return std::nullopt;
}

MergeStages git_parse_merge_stages(std::string_view text) {
    std::string decoded = utf8_lossy(text);
    MergeStages stages;
    for (std::string_view line : split_lines(decoded)) {
        std::size_t t1 = line.find('\t');
        if (t1 == std::string_view::npos) continue;
        std::size_t t2 = line.find('\t', t1 + 1);
        if (t2 == std::string_view::npos) continue;
        std::string_view stage = line.substr(0, t1);
        std::string id(line.substr(t1 + 1, t2 - t1 - 1));
        MergeStageIds& ids = stages[std::string(line.substr(t2 + 1))];
        if (stage == "1") ids.base = id;
        else if (stage == "2") ids.ours = id;
        else if (stage == "3") ids.theirs = id;
    }
    return stages;
}

std::string git_format_merge_stages(const MergeStages& stages) {
    std::string text;
    for (const auto& [path, ids] : stages) {
        if (ids.base) text += fmt::format("1\t{}\t{}\n", *ids.base, path);
        if (ids.ours) text += fmt::format("2\t{}\t{}\n", *ids.ours, path);
        if (ids.theirs) text += fmt::format("3\t{}\t{}\n", *ids.theirs, path);
    }
    return text;
}

MergeStages git_read_merge_stages(Syscalls& sys, std::string_view root) {
    auto bytes = git_read_file(sys, git_path(root, "MERGE_STAGES"));
    if (!bytes) return {};
    return git_parse_merge_stages(*bytes);
}

bool git_write_merge_stages(Syscalls& sys, std::string_view root, const MergeStages& stages) {
    if (stages.empty()) {
        remove_quietly(sys, root, "MERGE_STAGES");
        return true;
    }
    return !git_write_file(sys, git_path(root, "MERGE_STAGES"), git_format_merge_stages(stages));
}

std::string git_unmerged_status_code(const MergeStageIds& ids) {
    if (!ids.ours) return ids.theirs ? "DU" : "DD";
    if (!ids.theirs) return "UD";
    return ids.base ? "UU" : "AA";
}

std::optional<SequencerState> git_read_sequencer(Syscalls& sys, std::string_view root) {
    auto text = read_text(sys, root, "SEQUENCER");
    if (!text) return std::nullopt;
    SequencerState state;
    read_key_lines(*text, [&](std::string_view key, std::string_view value) {
        if (key == "revert") state.revert = value == "1";
        else if (key == "nocommit") state.no_commit = value == "1";
        else if (key == "mainline") {
            auto n = parse_decimal_u64(value);
            state.mainline = (n && *n != 0) ? n : std::nullopt;
        } else if (key == "orig") state.orig = value;
        else if (key == "todo") state.remaining.emplace_back(value);
    });
    if (state.orig.empty()) return std::nullopt;
    return state;
}

void git_clear_sequencer(Syscalls& sys, std::string_view root) { remove_quietly(sys, root, "SEQUENCER"); }

std::optional<RebaseState> git_read_rebase_state(Syscalls& sys, std::string_view root) {
    auto text = read_text(sys, root, "REBASE_STATE");
    if (!text) return std::nullopt;
    RebaseState state;
    read_key_lines(*text, [&](std::string_view key, std::string_view value) {
        if (key == "branch") state.branch = value;
        else if (key == "orig") state.orig = value;
        else if (key == "onto") state.onto = value;
        else if (key == "todo") state.remaining.emplace_back(value);
    });
    if (state.branch.empty() || state.orig.empty()) return std::nullopt;
    return state;
}

bool git_write_rebase_state(Syscalls& sys, std::string_view root, const RebaseState& state) {
    std::string text = fmt::format("branch {}\norig {}\nonto {}\n", state.branch, state.orig, state.onto);
    for (const std::string& id : state.remaining) text += fmt::format("todo {}\n", id);
    return !git_write_file(sys, git_path(root, "REBASE_STATE"), std::move(text));
}

void git_clear_rebase_state(Syscalls& sys, std::string_view root) {
    remove_quietly(sys, root, "REBASE_STATE");
    git_clear_merge_state(sys, root);
}

void git_clear_merge_state(Syscalls& sys, std::string_view root) {
    for (std::string_view file : {"MERGE_HEAD", "CHERRY_PICK_HEAD", "REVERT_HEAD", "MERGE_STAGES", "MERGE_MSG"})
        remove_quietly(sys, root, file);
}

}  // namespace tw

namespace tw {

void git_write_sequencer(Syscalls& sys, std::string_view root, const SequencerState& state) {
    std::string text = fmt::format("orig {}\n", state.orig);
    if (state.mainline) text += fmt::format("mainline {}\n", *state.mainline);
    text += fmt::format("revert {}\nnocommit {}\n", state.revert ? 1 : 0, state.no_commit ? 1 : 0);
    for (const std::string& id : state.remaining) text += fmt::format("todo {}\n", id);
    (void)git_write_file(sys, git_path(root, "SEQUENCER"), std::move(text));
}

}  // namespace tw
