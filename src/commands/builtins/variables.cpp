#include "commands/builtins/variables.h"

#include <fmt/format.h>

#include <iterator>

#include "base/sat.h"
#include "kernel/machine.h"
#include "shell/assign.h"
#include "shell/command_io.h"
#include "shell/exec.h"
#include "shell/variables.h"

namespace tw {
namespace {

// Any number of `quote` characters removed from both ends.
std::string_view strip_quotes(std::string_view text, char quote) {
    while (!text.empty() && text.front() == quote) text.remove_prefix(1);
    while (!text.empty() && text.back() == quote) text.remove_suffix(1);
    return text;
}

bool is_readonly(const ProcessState& state, std::string_view name) {
    return state.readonly_names.contains(std::string(name));
}

void readonly_refusal(CommandIo& io, std::string_view builtin, std::string_view name) {
    fmt::format_to(std::back_inserter(io.err), "{}: {}: readonly variable\n", builtin, name);
}

// One `declare -p` line for a name; nothing for a name without value or array.
void print_declaration(ProcessState& state, std::string_view name, std::string& out) {
    if (const ShellArray* array = find_array(state, name)) {
        const bool associative = std::holds_alternative<ShellArray::Associative>(array->value);
        fmt::format_to(std::back_inserter(out), "declare {} {}=(", associative ? "-A" : "-a", name);
        bool first = true;
        auto item = [&](std::string_view key, std::string_view value) {
            if (!first) out += ' ';
            first = false;
            fmt::format_to(std::back_inserter(out), "[{}]=\"{}\"", key, value);
        };
        if (associative) {
            for (const auto& [key, value] : std::get<ShellArray::Associative>(array->value).elements) item(key, value);
        } else {
            for (const auto& [index, value] : std::get<ShellArray::Indexed>(array->value).elements)
                item(fmt::format("{}", index), value);
        }
        out += ")\n";
        return;
    }
    if (std::optional<std::string> value = lookup_parameter(state, name))
        fmt::format_to(std::back_inserter(out), "declare -- {}=\"{}\"\n", name, *value);
}

}  // namespace

std::string_view assignment_name(std::string_view word) {
    std::string_view name = word.substr(0, word.find('='));
    if (name.ends_with('+')) name.remove_suffix(1);
    return name.substr(0, name.find('['));
}

std::optional<std::pair<std::string_view, std::string_view>> split_assignment(std::string_view word) {
    const std::size_t eq = word.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return std::pair{word.substr(0, eq), word.substr(eq + 1)};
}

std::int32_t assign_from_word(Machine& m, std::string_view name_text, std::string_view value_text, std::string& err) {
    run_assignments(m, name_text, value_text);
    ProcessState& state = m.states.active_mut();
    if (!state.pending_error || !state.pending_error->message) {
        state.pending_error.reset();
        return 0;
    }
    PendingError error = std::move(*state.pending_error);
    state.pending_error.reset();
    err += *error.message;
    if (error.fatal) {
        state.exit_requested = true;
        state.exit_status = error.status;
    }
    return error.status;
}

std::int32_t builtin_export(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    Machine& m = context.machine;
    std::int32_t status = 0;
    for (const std::string& operand : args) {
        auto pair = split_assignment(operand);
        if (!pair) {
            m.states.active_mut().export_variable(operand);
            continue;
        }
        // `A+=x` appends; the name is what the assignment assigns.
        const std::string_view name = pair->first.ends_with('+') ? assignment_name(operand) : pair->first;
        if (is_readonly(m.states.active(), name)) {
            readonly_refusal(io, "export", name);
            status = 1;
            continue;
        }
        if (std::int32_t failed = assign_from_word(m, pair->first, pair->second, io.err)) {
            status = failed;
            continue;
        }
        m.states.active_mut().export_variable(name);
    }
    return status;
}

std::int32_t builtin_unset(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    ProcessState& state = context.machine.states.active_mut();
    std::int32_t status = 0;
    for (const std::string& operand : args) {
        if (operand == "-v" || operand == "-f") continue;
        const std::size_t open = operand.find('[');
        if (open != std::string::npos && operand.ends_with(']')) {
            const std::string_view name = std::string_view(operand).substr(0, open);
            if (is_readonly(state, name)) {
                readonly_refusal(io, "unset", name);
                status = 1;
                continue;
            }
            std::string_view subscript = std::string_view(operand).substr(open + 1, operand.size() - open - 2);
            subscript = strip_quotes(strip_quotes(subscript, '"'), '\'');
            // A missing array or element is no error; an unreadable index removes nothing.
            (void)unset_array_element(state, name, subscript);
            continue;
        }
        if (is_readonly(state, operand)) {
            readonly_refusal(io, "unset", operand);
            status = 1;
            continue;
        }
        remove_variable(state, operand);
        remove_array(state, operand);
        unexport_variable(state, operand);
        remove_shell_function(state, operand);
    }
    return status;
}

std::int32_t builtin_declare(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    Machine& m = context.machine;
    bool associative = false;
    bool indexed = false;
    bool print = false;
    std::int32_t status = 0;
    for (const std::string& word : args) {
        if (word == "--") continue;
        if (word.size() >= 2 && word.starts_with('-')) {
            associative = associative || word.find('A') != std::string::npos;
            indexed = indexed || word.find('a') != std::string::npos;
            print = print || word.find('p') != std::string::npos;
            continue;
        }
        const std::string_view name = assignment_name(word);
        const auto pair = split_assignment(word);
        ProcessState& state = m.states.active_mut();
        if (pair && is_readonly(state, name)) {
            readonly_refusal(io, "declare", name);
            status = 1;
            continue;
        }
        if (associative) {
            if (!is_associative_array(state, name)) store_array(state, name, ShellArray{ShellArray::Associative{}});
        } else if (indexed) {
            ensure_indexed_array(state, name);
        }
        if (print) {
            print_declaration(state, name, io.out);
            continue;
        }
        if (!pair) continue;
        // Scalars and arrays alike are assigned as an assignment word would be: the value is
        // expanded (quotes removed, parameters substituted) before it is stored.
        if (std::int32_t failed = assign_from_word(m, pair->first, pair->second, io.err)) status = failed;
    }
    return status;
}

std::int32_t builtin_local(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    ProcessState& state = context.machine.states.active_mut();
    if (state.local_scopes.empty()) {
        io.err += "local: can only be used in a function\n";
        return 1;
    }
    for (const std::string& word : args) {
        if (word.starts_with('-')) continue;
        const std::string name(assignment_name(word));
        auto& scope = state.local_scopes.back();
        if (scope.contains(name)) continue;
        SavedVariable saved;
        if (auto it = state.variables.find(name); it != state.variables.end()) saved.scalar = it->second;
        if (const ShellArray* array = find_array(state, name)) saved.array = *array;
        saved.exported = state.exported_names.contains(name);
        state.local_saved_size = sat_add(state.local_saved_size, saved_variable_size(saved, name.size()));
        scope.emplace(name, std::move(saved));
        remove_variable(state, name);
        remove_array(state, name);
        unexport_variable(state, name);
    }
    return builtin_declare(context, args, io);
}

std::int32_t builtin_readonly(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    Machine& m = context.machine;
    if (args.empty() || (args.size() == 1 && args[0] == "-p")) {
        ProcessState& state = m.states.active_mut();
        for (const std::string& name : state.readonly_names) {
            std::string value = lookup_parameter(state, name).value_or(std::string());
            fmt::format_to(std::back_inserter(io.out), "declare -r {}=\"{}\"\n", name, value);
        }
        return 0;
    }
    std::int32_t status = 0;
    for (const std::string& operand : args) {
        if (operand == "--") continue;
        if (operand.starts_with('-')) {
            fmt::format_to(std::back_inserter(io.err), "readonly: unsupported option {}\n", operand);
            status = 2;
            continue;
        }
        const std::string name(assignment_name(operand));
        if (!is_shell_name(name)) {
            fmt::format_to(std::back_inserter(io.err), "readonly: {}: not a valid identifier\n", name);
            status = 1;
            continue;
        }
        if (const auto pair = split_assignment(operand)) {
            if (is_readonly(m.states.active(), name)) {
                readonly_refusal(io, "readonly", name);
                status = 1;
                continue;
            }
            if (std::int32_t failed = assign_from_word(m, pair->first, pair->second, io.err)) {
                status = failed;
                continue;
            }
        } else {
            ProcessState& state = m.states.active_mut();
            if (!lookup_parameter(state, name) && !is_array(state, name)) set_variable_str(state, name, "");
        }
        m.states.active_mut().readonly_names.insert(name);
    }
    return status;
}

}  // namespace tw
