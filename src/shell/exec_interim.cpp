// Stand-ins for the command-word resolution of dispatch and launch, for as long as those are not
// built: the builtin names, the PATH search and the own-process rule. Removed when dispatch
// provides them.
#include <array>

#include "kernel/machine.h"
#include "kernel/vfs_path.h"
#include "shell/dispatch.h"
#include "shell/launch.h"

namespace tw {

namespace {
constexpr std::array<std::string_view, 49> kBuiltinNames = {
    ".",      ":",     "[",       "[[",     "alias", "bg",     "break",    "cd",     "command", "continue",
    "declare", "disown", "dirs",  "echo",   "eval",  "exec",   "exit",     "export", "false",   "fg",
    "getopts", "hash",  "jobs",   "kill",   "let",   "local",  "mapfile",  "popd",   "printf",  "pushd",
    "pwd",    "read",  "readarray", "readonly", "return", "set", "shift", "shopt",  "source",  "test",
    "trap",   "true",  "type",    "typeset", "ulimit", "umask", "unalias", "unset", "wait",
};
}  // namespace

bool is_builtin_name(std::string_view name) {
    for (std::string_view b : kBuiltinNames)
        if (b == name) return true;
    return false;
}

namespace {
bool names_a_shell(std::string_view name) { return name == "sh" || name == "bash" || name == "dash" || name == "zsh"; }
}  // namespace

bool CommandResolution::needs_own_process() const {
    if (wasm) return true;
    if (!program) return false;
    switch (program->tag()) {
        case NativeProgram::Tag::Resumable:
        case NativeProgram::Tag::Registered: return true;
        case NativeProgram::Tag::Named: return names_a_shell(program->text());
    }
    return false;
}

SearchResult search_path(const Vfs& vfs, std::string_view cwd, std::optional<std::string_view> path_var,
                         std::string_view word) {
    std::vector<std::string> candidates;
    if (word.find('/') != std::string_view::npos) {
        candidates.push_back(path_join_normalize(cwd, word));
    } else {
        std::string_view rest = path_var.value_or(kDefaultSearchPath);
        while (true) {
            const std::size_t colon = rest.find(':');
            std::string_view entry = rest.substr(0, colon);
            const std::string dir = path_join_normalize(cwd, entry);
            candidates.push_back(path_join_normalize(dir, word));
            if (colon == std::string_view::npos) break;
            rest.remove_prefix(colon + 1);
        }
    }
    std::optional<std::string> denied;
    for (std::string& candidate : candidates) {
        auto node = vfs.lookup("/", candidate, true);
        if (!node) continue;
        if (((*node)->is_file() || (*node)->is_native()) && ((*node)->mode & 0111) != 0)
            return SearchResult::found(std::move(candidate));
        if (!denied) denied = candidate;
    }
    if (denied) return SearchResult::denied(std::move(*denied));
    return SearchResult::not_found();
}

CommandResolution resolve_command_word(const Machine& machine, std::string_view word) {
    const ProcessState& s = machine.states.active();
    std::optional<std::string_view> path;
    if (auto it = s.variables.find("PATH"); it != s.variables.end()) path = it->second;
    CommandResolution r;
    r.search = search_path(machine.vfs, s.cwd, path, word);
    if (r.search.kind != SearchResult::Kind::Found) return r;
    auto node = machine.vfs.lookup("/", r.search.path, true);
    if (!node) return r;
    if (const NativeProgram* program = (*node)->program()) r.program = *program;
    if (const Bytes* data = (*node)->data()) r.wasm = data->size() >= 4 && data->compare(0, 4, std::string("\0asm", 4)) == 0;
    return r;
}

}  // namespace tw
