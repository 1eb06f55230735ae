#include "commands/builtins/variables.h"

#include <fmt/format.h>

#include <charconv>
#include <iterator>
#include <set>

#include "base/sat.h"
#include "kernel/machine.h"
#include "shell/assign.h"
#include "shell/ast.h"
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

// A negative decimal number, surrounding white space allowed.
std::optional<std::int64_t> parse_negative_index(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value >= 0) return std::nullopt;
    return value;
}

bool is_readonly(const ProcessState& state, std::string_view name) {
    return state.readonly_names.contains(std::string(name));
}

void readonly_refusal(CommandIo& io, std::string_view builtin, std::string_view name) {
    fmt::format_to(std::back_inserter(io.err), "{}: {}: readonly variable\n", builtin, name);
}

// The attribute letters of a name as listings show them: a or A, r, x; "-" when it has none.
std::string attribute_letters(const ProcessState& state, std::string_view name) {
    std::string letters;
    if (const ShellArray* array = find_array(state, name))
        letters += std::holds_alternative<ShellArray::Associative>(array->value) ? 'A' : 'a';
    if (is_readonly(state, name)) letters += 'r';
    if (state.exported_names.contains(std::string(name))) letters += 'x';
    return letters.empty() ? "-" : letters;
}

// One `declare -p` line for a name; nothing for a name without value, array or attribute.
void print_declaration(ProcessState& state, std::string_view name, std::string& out) {
    const std::string letters = attribute_letters(state, name);
    if (const ShellArray* array = find_array(state, name)) {
        const bool associative = std::holds_alternative<ShellArray::Associative>(array->value);
        fmt::format_to(std::back_inserter(out), "declare -{} {}=(", letters, name);
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
        fmt::format_to(std::back_inserter(out), "declare -{} {}=\"{}\"\n", letters, name, *value);
    else if (letters != "-")
        fmt::format_to(std::back_inserter(out), "declare -{} {}\n", letters, name);
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
    // `-v` acts on variables only, `-f` on functions only; without either a name removes the
    // variable when there is one, else the function.
    bool variables_only = false;
    bool functions_only = false;
    for (const std::string& operand : args) {
        if (operand == "-v" || operand == "-f") {
            variables_only = operand == "-v";
            functions_only = operand == "-f";
            continue;
        }
        if (functions_only) {
            remove_shell_function(state, operand);
            continue;
        }
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
            // A negative index counts back from the end of an indexed array.
            std::string resolved;
            if (!is_associative_array(state, name) && !parse_array_index(subscript)) {
                if (std::optional<std::int64_t> negative = parse_negative_index(subscript)) {
                    auto index = arith_resolve_subscript(state, name, *negative);
                    if (!index) {
                        fmt::format_to(std::back_inserter(io.err), "unset: [{}]: bad array subscript\n", *negative);
                        status = 1;
                        continue;
                    }
                    resolved = fmt::format("{}", *index);
                    subscript = resolved;
                }
            }
            // A missing array or element is no error; an unreadable index removes nothing.
            (void)unset_array_element(state, name, subscript);
            continue;
        }
        if (is_readonly(state, operand)) {
            readonly_refusal(io, "unset", operand);
            status = 1;
            continue;
        }
        const bool has_variable = state.variables.contains(operand) || is_array(state, operand);
        remove_variable(state, operand);
        remove_array(state, operand);
        unexport_variable(state, operand);
        if (!variables_only && !has_variable) remove_shell_function(state, operand);
    }
    return status;
}

std::int32_t builtin_declare(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    Machine& m = context.machine;
    // Letters this shell does not implement (integer, name reference, case conversion, trace)
    // refuse the whole command before anything changes.
    for (const std::string& word : args) {
        if (word == "--" || word.size() < 2 || (word[0] != '-' && word[0] != '+')) continue;
        for (char letter : std::string_view(word).substr(1)) {
            if (std::string_view("aAfFgprx").find(letter) == std::string_view::npos) {
                fmt::format_to(std::back_inserter(io.err), "{}: unimplemented option '{}{}'\n", context.name, word[0],
                               letter);
                return 2;
            }
        }
    }
    bool associative = false;
    bool indexed = false;
    bool print = false;
    bool functions = false;
    bool function_names = false;
    bool do_export = false;
    bool undo_export = false;
    bool make_readonly = false;
    bool any_operand = false;
    std::int32_t status = 0;
    for (const std::string& word : args) {
        if (word == "--") continue;
        if (word.size() >= 2 && (word[0] == '-' || word[0] == '+')) {
            const bool on = word[0] == '-';
            const std::string_view letters = std::string_view(word).substr(1);
            const auto has = [&](char c) { return letters.find(c) != std::string_view::npos; };
            associative = associative || (on && has('A'));
            indexed = indexed || (on && has('a'));
            print = print || has('p');
            functions = functions || has('f');
            function_names = function_names || has('F');
            if (has('x')) {
                do_export = on;
                undo_export = !on;
            }
            make_readonly = make_readonly || (on && has('r'));
            continue;
        }
        any_operand = true;
        ProcessState& state = m.states.active_mut();
        if (functions || function_names) {
            auto it = shell_language(state).functions.find(word);
            if (it == shell_language(state).functions.end() || !it->second) {
                status = 1;
            } else if (function_names) {
                io.out += word;
                io.out += '\n';
            } else {
                io.out += shell_function_source(word, *it->second);
            }
            continue;
        }
        const std::string_view name = assignment_name(word);
        const auto pair = split_assignment(word);
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
        if (pair) {
            // Scalars and arrays alike are assigned as an assignment word would be: the value is
            // expanded (quotes removed, parameters substituted) before it is stored.
            if (std::int32_t failed = assign_from_word(m, pair->first, pair->second, io.err)) {
                status = failed;
                continue;
            }
        }
        ProcessState& after = m.states.active_mut();
        if (do_export) after.export_variable(name);
        if (undo_export) unexport_variable(after, name);
        if (make_readonly) after.readonly_names.insert(std::string(name));
    }
    if (any_operand) return status;
    // Listings without operands: every function (-f), every function name (-F), or with -p, -x,
    // -r, -a or -A every variable that has the attributes given.
    ProcessState& state = m.states.active_mut();
    if (functions || function_names) {
        for (const auto& [name, body] : shell_language(state).functions) {
            if (!body) continue;
            if (function_names) fmt::format_to(std::back_inserter(io.out), "declare -f {}\n", name);
            else io.out += shell_function_source(name, *body);
        }
        return status;
    }
    if (!print && !do_export && !make_readonly && !associative && !indexed) return status;
    std::set<std::string> names;
    for (const auto& [name, value] : state.variables) names.insert(name);
    for (const auto& [name, array] : state.arrays) names.insert(name);
    for (const std::string& name : state.exported_names) names.insert(name);
    for (const std::string& name : state.readonly_names) names.insert(name);
    for (const std::string& name : names) {
        if (!is_shell_name(name)) continue;
        const std::string letters = attribute_letters(state, name);
        const auto has = [&](char c) { return letters.find(c) != std::string::npos; };
        if ((do_export && !has('x')) || (make_readonly && !has('r')) || (associative && !has('A')) ||
            (indexed && !has('a')))
            continue;
        print_declaration(state, name, io.out);
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
