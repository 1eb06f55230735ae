#include "shell/variables.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <span>
#include <utility>

#include <fmt/format.h>

#include "base/sat.h"
#include "kernel/meter.h"

namespace tw {

namespace {

constexpr std::uint64_t kEntryOverhead = 48;

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim_space(std::string_view s) {
    while (!s.empty() && is_ascii_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_ascii_space(s.back())) s.remove_suffix(1);
    return s;
}

// Digits with an optional leading `+`, no overflow.
template <class T>
std::optional<T> parse_unsigned(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    for (char c : s)
        if (!is_ascii_digit(c)) return std::nullopt;
    T value{};
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc{} || ptr != s.data() + s.size()) return std::nullopt;
    return value;
}

std::uint64_t element_size(std::string_view value) { return sat_add(value.size(), kEntryOverhead); }
std::uint64_t indexed_element_size(std::string_view value) {
    return sat_add(value.size(), ShellArray::kIndexedElementOverhead);
}
std::uint64_t element_size(std::string_view key, std::string_view value) {
    return sat_add(sat_add(key.size(), kEntryOverhead), element_size(value));
}

ShellArray* find_array_mut(ProcessState& state, std::string_view name) {
    auto it = state.arrays.find(std::string(name));
    return it == state.arrays.end() ? nullptr : &it->second;
}

std::string join(std::span<const std::string> items, std::string_view sep) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) out.append(sep);
        out.append(items[i]);
    }
    return out;
}

}  // namespace

// ---- parameters and scalars ----

std::optional<std::string> lookup_parameter(ProcessState& state, std::string_view name) {
    if (name == "?") return fmt::format("{}", state.last_status);
    if (name == "$") return fmt::format("{}", state.shell_pid);
    if (name == "PPID") return fmt::format("{}", state.ppid);
    if (name == "BASHPID") return fmt::format("{}", state.pid);
    if (name == "RANDOM") {
        state.random_seed = state.random_seed * 1103515245u + 12345u;
        return fmt::format("{}", (state.random_seed >> 16) & 0x7fffu);
    }
    if (name == "#") return fmt::format("{}", state.positional_params.size());
    if (name == "PWD") return state.cwd;
    if (name == "@") return join(state.positional_params.view(), " ");
    if (name == "*") {
        std::string_view sep = " ";
        if (auto it = state.variables.find("IFS"); it != state.variables.end()) {
            // The first character, not the first byte, of a non-empty IFS.
            const std::string& ifs = it->second;
            std::size_t len = 0;
            if (!ifs.empty()) {
                unsigned char lead = static_cast<unsigned char>(ifs[0]);
                len = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
                if (len > ifs.size()) len = ifs.size();
                for (std::size_t i = 1; i < len; ++i)
                    if ((static_cast<unsigned char>(ifs[i]) & 0xC0) != 0x80) len = 1;
            }
            sep = std::string_view(ifs).substr(0, len);
        }
        return join(state.positional_params.view(), sep);
    }
    if (!name.empty() && (is_ascii_digit(name.front()) || name.front() == '+')) {
        if (auto n = parse_unsigned<std::uint64_t>(name)) {
            if (*n == 0) return state.shell_name;
            if (*n > state.positional_params.size()) return std::nullopt;
            return state.positional_params[*n - 1];
        }
    }
    if (find_array(state, name) != nullptr) return get_array_element(state, name, "0").value_or(std::string());
    if (auto it = state.variables.find(std::string(name)); it != state.variables.end()) return it->second;
    return std::nullopt;
}

void set_variable(ProcessState& state, std::string_view name, std::string value) {
    if (name == "RANDOM") {
        state.random_seed = parse_unsigned<std::uint32_t>(value).value_or(0);
        remove_variable(state, name);
        remove_array(state, name);
        return;
    }
    if (name == "PWD") {
        state.cwd = value;
    } else if (name == "OPTIND") {
        auto n = parse_unsigned<std::uint64_t>(value);
        state.optind = n && *n != 0 ? *n : 1;
        state.getopts_position = 1;
    }
    remove_array(state, name);
    state.store_variable(name, std::move(value));
}

void set_variable_str(ProcessState& state, std::string_view name, std::string_view value) {
    set_variable(state, name, std::string(value));
}

std::optional<std::string> remove_variable(ProcessState& state, std::string_view name) {
    auto it = state.variables.find(std::string(name));
    if (it == state.variables.end()) return std::nullopt;
    state.variables_size = sat_sub(state.variables_size, variable_entry_size(name, it->second));
    std::string value = std::move(it->second);
    state.variables.erase(it);
    return value;
}

void unexport_variable(ProcessState& state, std::string_view name) {
    if (auto it = state.exported_names.find(std::string(name)); it != state.exported_names.end())
        state.exported_names.erase(it);
}

bool is_shell_name(std::string_view text) {
    if (text.empty()) return false;
    auto alpha = [](char c) { return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!alpha(text.front())) return false;
    for (char c : text.substr(1))
        if (!alpha(c) && !is_ascii_digit(c)) return false;
    return true;
}

// ---- arrays ----

std::uint64_t array_entry_size(std::string_view name, const ShellArray& array) {
    return sat_add(sat_add(name.size(), kEntryOverhead), array.modeled_size());
}

const ShellArray* find_array(const ProcessState& state, std::string_view name) {
    auto it = state.arrays.find(std::string(name));
    return it == state.arrays.end() ? nullptr : &it->second;
}

bool is_array(const ProcessState& state, std::string_view name) { return find_array(state, name) != nullptr; }

bool is_associative_array(const ProcessState& state, std::string_view name) {
    const ShellArray* array = find_array(state, name);
    return array != nullptr && std::holds_alternative<ShellArray::Associative>(array->value);
}

void store_array(ProcessState& state, std::string_view name, ShellArray array) {
    std::uint64_t size = array_entry_size(name, array);
    if (ShellArray* old = find_array_mut(state, name)) {
        state.arrays_size = sat_sub(state.arrays_size, array_entry_size(name, *old));
        state.arrays_size = sat_add(state.arrays_size, size);
        *old = std::move(array);
        return;
    }
    state.arrays_size = sat_add(state.arrays_size, size);
    state.arrays.emplace(std::string(name), std::move(array));
}

std::optional<ShellArray> remove_array(ProcessState& state, std::string_view name) {
    auto it = state.arrays.find(std::string(name));
    if (it == state.arrays.end()) return std::nullopt;
    state.arrays_size = sat_sub(state.arrays_size, array_entry_size(name, it->second));
    ShellArray array = std::move(it->second);
    state.arrays.erase(it);
    return array;
}

std::optional<std::uint64_t> parse_array_index(std::string_view subscript) {
    return parse_unsigned<std::uint64_t>(trim_space(subscript));
}

std::optional<std::string> get_array_element(const ProcessState& state, std::string_view name,
                                             std::string_view subscript) {
    const ShellArray* array = find_array(state, name);
    if (array == nullptr) return std::nullopt;
    if (const auto* assoc = std::get_if<ShellArray::Associative>(&array->value)) {
        auto it = assoc->elements.find(std::string(subscript));
        if (it == assoc->elements.end()) return std::nullopt;
        return it->second;
    }
    auto index = parse_array_index(subscript);
    if (!index) return std::nullopt;
    const auto& elements = std::get<ShellArray::Indexed>(array->value).elements;
    auto it = elements.find(*index);
    if (it == elements.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> array_values(const ProcessState& state, std::string_view name) {
    std::vector<std::string> out;
    const ShellArray* array = find_array(state, name);
    if (array == nullptr) return out;
    std::visit([&](const auto& a) {
        out.reserve(a.elements.size());
        for (const auto& [_, v] : a.elements) out.push_back(v);
    }, array->value);
    return out;
}

std::vector<std::string> array_keys(const ProcessState& state, std::string_view name) {
    std::vector<std::string> out;
    const ShellArray* array = find_array(state, name);
    if (array == nullptr) return out;
    if (const auto* assoc = std::get_if<ShellArray::Associative>(&array->value)) {
        out.reserve(assoc->elements.size());
        for (const auto& [k, _] : assoc->elements) out.push_back(k);
    } else {
        const auto& elements = std::get<ShellArray::Indexed>(array->value).elements;
        out.reserve(elements.size());
        for (const auto& [k, _] : elements) out.push_back(fmt::format("{}", k));
    }
    return out;
}

std::uint64_t array_length(const ProcessState& state, std::string_view name) {
    const ShellArray* array = find_array(state, name);
    if (array == nullptr) return 0;
    return std::visit([](const auto& a) -> std::uint64_t { return a.elements.size(); }, array->value);
}

void ensure_indexed_array(ProcessState& state, std::string_view name) {
    if (find_array(state, name) != nullptr) return;
    ShellArray array{ShellArray::Indexed{}};
    if (auto it = state.variables.find(std::string(name)); it != state.variables.end())
        std::get<ShellArray::Indexed>(array.value).elements.emplace(0, it->second);
    store_array(state, name, std::move(array));
}

void set_array_element(ProcessState& state, std::string_view name, std::string_view subscript,
                       std::string value) {
    if (!is_associative_array(state, name)) ensure_indexed_array(state, name);
    ShellArray& array = *find_array_mut(state, name);
    if (auto* assoc = std::get_if<ShellArray::Associative>(&array.value)) {
        std::uint64_t added = element_size(subscript, value);
        auto it = assoc->elements.find(std::string(subscript));
        if (it != assoc->elements.end()) {
            state.arrays_size = sat_sub(state.arrays_size, element_size(it->first, it->second));
            it->second = std::move(value);
        } else {
            assoc->elements.emplace(std::string(subscript), std::move(value));
        }
        state.arrays_size = sat_add(state.arrays_size, added);
        return;
    }
    std::uint64_t index = parse_array_index(subscript).value_or(0);
    auto& elements = std::get<ShellArray::Indexed>(array.value).elements;
    std::uint64_t added = indexed_element_size(value);
    auto it = elements.find(index);
    if (it != elements.end()) {
        state.arrays_size = sat_sub(state.arrays_size, indexed_element_size(it->second));
        it->second = std::move(value);
    } else {
        elements.emplace(index, std::move(value));
    }
    state.arrays_size = sat_add(state.arrays_size, added);
}

bool unset_array_element(ProcessState& state, std::string_view name, std::string_view subscript) {
    ShellArray* array = find_array_mut(state, name);
    if (array == nullptr) return false;
    if (auto* assoc = std::get_if<ShellArray::Associative>(&array->value)) {
        auto it = assoc->elements.find(std::string(subscript));
        if (it == assoc->elements.end()) return false;
        state.arrays_size = sat_sub(state.arrays_size, element_size(it->first, it->second));
        assoc->elements.erase(it);
        return true;
    }
    auto index = parse_array_index(subscript);
    if (!index) return false;
    auto& elements = std::get<ShellArray::Indexed>(array->value).elements;
    auto it = elements.find(*index);
    if (it == elements.end()) return false;
    state.arrays_size = sat_sub(state.arrays_size, indexed_element_size(it->second));
    elements.erase(it);
    return true;
}

// ---- local saves and getopts ----

std::uint64_t saved_variable_size(const SavedVariable& saved, std::uint64_t name_length) {
    std::uint64_t size = sat_add(name_length, kEntryOverhead);
    if (saved.scalar) size = sat_add(size, element_size(*saved.scalar));
    if (saved.array) size = sat_add(size, saved.array->modeled_size());
    return size;
}

void store_optind(ProcessState& state) { state.store_variable("OPTIND", fmt::format("{}", state.optind)); }

void advance_getopts_position(ProcessState& state, std::uint64_t cluster_length) {
    state.getopts_position = sat_add(state.getopts_position, std::uint64_t{1});
    if (state.getopts_position >= cluster_length) {
        state.optind = sat_add(state.optind, std::uint64_t{1});
        state.getopts_position = 1;
    }
}

// ---- the arithmetic environment ----

Result<std::uint64_t, std::string> arith_resolve_subscript(ProcessState& state, std::string_view name,
                                                           std::int64_t index) {
    if (index >= 0) return static_cast<std::uint64_t>(index);
    std::int64_t count = 0;
    const ShellArray* array = find_array(state, name);
    if (array != nullptr && std::holds_alternative<ShellArray::Indexed>(array->value)) {
        // Counting back starts at the highest index plus one, whatever the gaps below it.
        const auto& elements = std::get<ShellArray::Indexed>(array->value).elements;
        if (!elements.empty())
            count = static_cast<std::int64_t>(std::min<std::uint64_t>(elements.rbegin()->first,
                                                                      std::numeric_limits<std::int64_t>::max() - 1) + 1);
    } else {
        count = lookup_parameter(state, name) ? 1 : 0;
    }
    // count >= 0 and index < 0: the sum cannot overflow.
    std::int64_t resolved = count + index;
    if (resolved < 0) return std::unexpected(fmt::format("{}[{}]: bad array subscript", name, index));
    return static_cast<std::uint64_t>(resolved);
}

Result<std::optional<std::string>, std::string> ShellArithEnv::get(std::string_view name) {
    auto value = lookup_parameter(state_, name);
    if (!value && state_.options.nounset) return std::unexpected(fmt::format("{}: unbound variable", name));
    return value;
}

Result<std::optional<std::string>, std::string> ShellArithEnv::get_element(std::string_view name,
                                                                           std::int64_t index) {
    auto resolved = arith_resolve_subscript(state_, name, index);
    if (!resolved) return std::unexpected(std::move(resolved.error()));
    std::optional<std::string> value;
    if (is_array(state_, name)) {
        value = get_array_element(state_, name, fmt::format("{}", *resolved));
    } else if (*resolved == 0) {
        // A scalar is element 0 of itself, as the negative-index count above already assumes.
        value = lookup_parameter(state_, name);
    }
    if (!value && state_.options.nounset)
        return std::unexpected(fmt::format("{}[{}]: unbound variable", name, *resolved));
    return value;
}

Result<void, std::string> ShellArithEnv::set(std::string_view name, std::int64_t value) {
    if (state_.readonly_names.contains(std::string(name)))
        return std::unexpected(fmt::format("{}: readonly variable", name));
    set_variable(state_, name, fmt::format("{}", value));
    return {};
}

Result<void, std::string> ShellArithEnv::set_element(std::string_view name, std::int64_t index,
                                                     std::int64_t value) {
    if (state_.readonly_names.contains(std::string(name)))
        return std::unexpected(fmt::format("{}: readonly variable", name));
    auto resolved = arith_resolve_subscript(state_, name, index);
    if (!resolved) return std::unexpected(std::move(resolved.error()));
    if (*resolved > kMaxArithSubscript)
        return std::unexpected(fmt::format("{}[{}]: array subscript too large", name, *resolved));
    set_array_element(state_, name, fmt::format("{}", *resolved), fmt::format("{}", value));
    return {};
}

bool ShellArithEnv::is_associative(std::string_view name) { return is_associative_array(state_, name); }

Result<std::optional<std::string>, std::string> ShellArithEnv::get_key(std::string_view name, std::string_view key) {
    auto value = get_array_element(state_, name, key);
    if (!value && state_.options.nounset) return std::unexpected(fmt::format("{}[{}]: unbound variable", name, key));
    return value;
}

Result<void, std::string> ShellArithEnv::set_key(std::string_view name, std::string_view key, std::int64_t value) {
    if (state_.readonly_names.contains(std::string(name)))
        return std::unexpected(fmt::format("{}: readonly variable", name));
    set_array_element(state_, name, key, fmt::format("{}", value));
    return {};
}

bool ShellArithEnv::charge_work(std::uint64_t units) { return meter_ == nullptr || meter_->charge_cpu(units); }

Result<std::int64_t, ArithError> arith_eval(ProcessState& state, std::string_view text, ResourceMeter* meter) {
    ShellArithEnv env(state, meter);
    return arith_eval(env, text);
}

}  // namespace tw
