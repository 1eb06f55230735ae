#include "shell/assign.h"

#include <fmt/format.h>

#include "base/sat.h"
#include "kernel/machine.h"
#include "shell/ast.h"
#include "shell/lexer.h"
#include "shell/param_ops.h"
#include "shell/variables.h"

namespace tw {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

struct Target {
    std::string_view base;
    std::optional<std::string_view> subscript;
    bool append = false;
};

Target parse_target(std::string_view name) {
    Target t;
    if (name.ends_with('+')) {
        t.append = true;
        name.remove_suffix(1);
    }
    std::size_t open = name.find('[');
    if (open != std::string_view::npos && name.ends_with(']')) {
        t.base = name.substr(0, open);
        t.subscript = name.substr(open + 1, name.size() - open - 2);
    } else {
        t.base = name;
    }
    return t;
}

void refuse_readonly(ProcessState& st, std::string_view name) {
    st.pending_error = PendingError{fmt::format("tarnwick: {}: readonly variable\n", name), 1, false};
}

// The raw element words of a parenthesised list, as the lexer reads them.
std::vector<std::string> list_words(std::string_view inner) {
    std::vector<std::string> words;
    for (auto& token : shell_lex(inner).tokens)
        if (token.kind == ShellTokenKind::Word) words.push_back(std::move(token.text));
    return words;
}

// The highest index of an indexed array plus one; 0 when it is empty or missing.
std::uint64_t next_index(const ProcessState& st, std::string_view name) {
    const ShellArray* array = find_array(st, name);
    if (!array) return 0;
    const auto* indexed = std::get_if<ShellArray::Indexed>(&array->value);
    if (!indexed || indexed->elements.empty()) return 0;
    return indexed->elements.rbegin()->first + 1;
}

void assign_list(WordExpander& ex, std::string_view name, std::string_view value, bool append) {
    ProcessState& st = ex.state();
    if (!append || !is_array(st, name)) {
        if (!append && is_associative_array(st, name)) {
            store_array(st, name, ShellArray{ShellArray::Associative{}});
        } else if (!append) {
            store_array(st, name, ShellArray{ShellArray::Indexed{}});
        } else {
            ensure_indexed_array(st, name);
        }
    }
    std::string_view inner = trim(value);
    inner = inner.substr(1, inner.size() - 2);
    const bool associative = is_associative_array(st, name);

    struct Element {
        std::optional<std::string> key;
        std::string value;
    };
    std::vector<Element> elements;
    for (const auto& word : list_words(inner)) {
        std::size_t close = word.find(']');
        if (word.starts_with('[') && close != std::string::npos && close + 1 < word.size() && word[close + 1] == '=') {
            std::string_view key_text = std::string_view(word).substr(1, close - 1);
            std::string key;
            if (associative) {
                key = ex.word_text(key_text);
            } else if (auto index = ex.index_of(name, key_text)) {
                key = fmt::format("{}", *index);
            } else {
                continue;
            }
            std::string v = join_texts(ex.expand(std::string_view(word).substr(close + 2), false, true), " ");
            elements.push_back({std::move(key), std::move(v)});
        } else {
            for (auto& field : ex.expand(word, true)) elements.push_back({std::nullopt, std::move(field)});
        }
    }
    std::uint64_t work = 0;
    for (const auto& e : elements) work = sat_add(work, sat_add(e.value.size(), kItemWork));
    if (!ex.work(work)) return;
    std::uint64_t next = next_index(st, name);
    for (auto& e : elements) {
        if (e.key) {
            if (!associative) next = std::stoull(*e.key) + 1;
            set_array_element(st, name, *e.key, std::move(e.value));
        } else if (!associative) {
            set_array_element(st, name, fmt::format("{}", next), std::move(e.value));
            ++next;
        }
    }
}

}  // namespace

void run_assignments(Machine& m, std::string_view name_text, std::string_view value_text) {
    WordExpander ex(m);
    ProcessState& st = ex.state();
    Target t = parse_target(name_text);
    if (st.readonly_names.contains(std::string(t.base))) {
        refuse_readonly(st, t.base);
        return;
    }
    std::string_view trimmed = trim(value_text);
    if (trimmed.size() >= 2 && trimmed.front() == '(' && trimmed.back() == ')') {
        assign_list(ex, t.base, value_text, t.append);
        return;
    }
    std::string value = join_texts(ex.expand(value_text, false, true), " ");
    // Storing copies the value; appending copies what is there already too.
    if (t.subscript) {
        std::string key;
        if (is_associative_array(st, t.base)) {
            key = ex.word_text(*t.subscript);
        } else if (auto index = ex.index_of(t.base, *t.subscript)) {
            key = fmt::format("{}", *index);
        } else {
            return;
        }
        if (t.append) value = get_array_element(st, t.base, key).value_or("") + value;
        if (!ex.work(value.size())) return;
        set_array_element(st, t.base, key, std::move(value));
    } else if (!t.append) {
        if (!ex.work(value.size())) return;
        set_variable(st, t.base, std::move(value));
    } else if (is_array(st, t.base)) {
        value = get_array_element(st, t.base, "0").value_or("") + value;
        if (!ex.work(value.size())) return;
        set_array_element(st, t.base, "0", std::move(value));
    } else {
        value = lookup_parameter(st, t.base).value_or("") + value;
        if (!ex.work(value.size())) return;
        set_variable(st, t.base, std::move(value));
    }
}

bool is_array_assignment_word(std::string_view word) {
    std::size_t eq = word.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    std::string_view name = word.substr(0, eq);
    if (name.ends_with('+')) name.remove_suffix(1);
    std::string_view value = word.substr(eq + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t' || value.front() == '\n'))
        value.remove_prefix(1);
    bool subscripted = name.find('[') != std::string_view::npos && name.ends_with(']');
    if (!subscripted && !value.starts_with('(')) return false;
    return is_shell_name(name.substr(0, name.find('[')));
}

RestoreList apply_prefix_assignments(Machine& m, std::span<const Assignment> assignments) {
    WordExpander ex(m);
    ProcessState& st = ex.state();
    std::vector<std::string> values;
    values.reserve(assignments.size());
    for (const auto& a : assignments) values.push_back(join_texts(ex.expand(a.value, false, true), " "));

    RestoreList saved;
    for (const auto& a : assignments) {
        std::string_view name = a.name;
        if (name.ends_with('+')) name.remove_suffix(1);
        std::optional<std::string> previous;
        if (auto it = st.variables.find(std::string(name)); it != st.variables.end()) previous = it->second;
        const bool unexport = !st.exported_names.contains(std::string(name));
        saved.push_back({std::string(name), std::move(previous), unexport});
    }
    const bool failed_expansion = st.pending_error && st.pending_error->message;
    for (std::size_t i = 0; i < assignments.size() && !failed_expansion; ++i) {
        std::string_view name = assignments[i].name;
        bool append = name.ends_with('+');
        if (append) name.remove_suffix(1);
        if (st.readonly_names.contains(std::string(name))) {
            refuse_readonly(st, name);
            break;
        }
        std::string value = std::move(values[i]);
        if (append) value = lookup_parameter(st, name).value_or("") + value;
        if (!ex.work(value.size())) break;
        set_variable(st, name, std::move(value));
        st.export_variable(name);
    }
    if (st.pending_error && st.pending_error->message) {
        restore_variables(st, saved);
        return {};
    }
    return saved;
}

void restore_variables(ProcessState& state, const RestoreList& saved) {
    for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
        if (it->value) {
            state.store_variable(it->name, *it->value);
        } else {
            remove_variable(state, it->name);
        }
        if (it->unexport) state.exported_names.erase(it->name);
    }
}

}  // namespace tw
