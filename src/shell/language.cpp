#include "shell/language.h"

#include "base/panic.h"
#include "base/sat.h"

namespace tw {

std::uint64_t ShellLanguageState::fork_size() const {
    // Each text counts its bytes plus 24.
    auto text = [](std::string_view t) { return sat_add(t.size(), 24); };
    std::uint64_t total = functions_size;
    for (const auto& [name, alias] : aliases) {
        total = sat_add(total, sat_add(text(name), text(alias.text)));
        for (const auto& word : alias.words) total = sat_add(total, text(word));
    }
    return total;
}

ShellCommandPtr trap_parsed_tree(const Trap& trap) {
    if (!trap.action || trap.action->kind() != LanguageKind::Shell) return nullptr;
    return static_cast<const ShellParsedAction&>(*trap.action).tree;
}

Trap shell_parsed_trap(std::string text, ShellCommandPtr tree) {
    const std::uint64_t size = tree ? shell_value_modeled_size(*tree) : 0;
    ParsedCodePtr action = tree ? std::make_shared<const ShellParsedAction>(std::move(tree)) : nullptr;
    return Trap::parsed(std::move(text), std::move(action), size);
}

std::uint64_t shell_function_size(std::string_view name, const ShellCommand& body) {
    return sat_add(sat_add(name.size(), 24), shell_value_modeled_size(body));
}

void define_shell_function(ProcessState& state, std::string name, ShellCommandPtr body) {
    expect(body != nullptr, "a shell function has a body");
    ShellLanguageState& shell = shell_language(state);
    const std::uint64_t size = shell_function_size(name, *body);
    auto it = shell.functions.find(name);
    if (it != shell.functions.end()) {
        shell.functions_size = sat_sub(shell.functions_size, shell_function_size(name, *it->second));
        it->second = std::move(body);
    } else {
        shell.functions.emplace(std::move(name), std::move(body));
    }
    shell.functions_size = sat_add(shell.functions_size, size);
}

bool remove_shell_function(ProcessState& state, std::string_view name) {
    ShellLanguageState& shell = shell_language(state);
    auto it = shell.functions.find(std::string(name));
    if (it == shell.functions.end()) return false;
    shell.functions_size = sat_sub(shell.functions_size, shell_function_size(name, *it->second));
    shell.functions.erase(it);
    return true;
}

}  // namespace tw
