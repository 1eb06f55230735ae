// The shell's own per-process state that the kernel carries without knowing its type: functions,
// aliases and the parsed actions of traps.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "kernel/language_state.h"
#include "kernel/process.h"
#include "shell/ast.h"
#include "shell/parser.h"

namespace tw {

inline constexpr std::size_t kMaxAliases = 256;

struct ShellLanguageState final : LanguageState {
    static constexpr LanguageKind kKind = LanguageKind::Shell;
    ShellLanguageState() : LanguageState(kKind) {}

    // Shell functions: name -> body. Change them only through define_shell_function and
    // remove_shell_function, which keep `functions_size` (name + 24 + the body's modeled size,
    // summed) for the fork size.
    std::map<std::string, ShellCommandPtr> functions;
    std::uint64_t functions_size = 0;
    // Aliases, at most kMaxAliases.
    std::map<std::string, AliasRecord> aliases;

    std::unique_ptr<LanguageState> clone() const override { return std::make_unique<ShellLanguageState>(*this); }
    // Functions hold syntax trees of their own; aliases count only in the fork size.
    std::uint64_t modeled_size() const override { return functions_size; }
    std::uint64_t fork_size() const override;
};

// The shell state of a process, created empty on first use.
inline ShellLanguageState& shell_language(ProcessState& state) {
    return state.language.get_or_create<ShellLanguageState>();
}
// The shell state of a process; an empty one when it has none.
inline const ShellLanguageState& shell_language(const ProcessState& state) {
    static const ShellLanguageState empty;
    const ShellLanguageState* own = state.language.get<ShellLanguageState>();
    return own != nullptr ? *own : empty;
}

// A trap's action as the shell parsed it.
struct ShellParsedAction final : ParsedCode {
    explicit ShellParsedAction(ShellCommandPtr tree) : ParsedCode(LanguageKind::Shell), tree(std::move(tree)) {}
    ShellCommandPtr tree;
};
// The parsed tree of a trap's action, null when the trap was not parsed by the shell.
ShellCommandPtr trap_parsed_tree(const Trap& trap);
// A command trap with its parsed action and that action's modeled size.
Trap shell_parsed_trap(std::string text, ShellCommandPtr tree);

// Inserts or replaces a function, keeping the state's `functions_size`.
void define_shell_function(ProcessState& state, std::string name, ShellCommandPtr body);
// Removes a function; whether there was one.
bool remove_shell_function(ProcessState& state, std::string_view name);
// What a function counts in the fork size: name + 24 + the body's modeled size.
std::uint64_t shell_function_size(std::string_view name, const ShellCommand& body);

}  // namespace tw
