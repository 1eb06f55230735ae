#include "python/vm/namespace.h"

#include <fmt/format.h>

#include "python/heap/heap.h"
#include "python/vm/exec_state.h"

namespace tw::py {

PyResult<const Namespace*> scope_of(const Heap& heap, const Value& v) {
    auto slot = heap.get(v);
    if (!slot) return fail(std::move(slot.error()));
    if (auto* n = std::get_if<NamespacePayload>(&(*slot)->object)) return n->scope.get();
    return fail(PyError::unsupported("invalid scope reference"));
}

PyResult<Value> bind_locals(Interpreter& in, ResourceMeter& meter, std::optional<Value> parent,
                            std::shared_ptr<const std::vector<Symbol>> slot_names, std::vector<Value> slot_values,
                            std::span<const std::pair<Symbol, Value>> entries) {
    std::size_t names = slot_names ? slot_names->size() : 0;
    if (names != slot_values.size()) return fail(PyError::unsupported("local slot metadata mismatch"));
    auto ns = Box<Namespace>::make();
    ns->parent = parent;
    ns->slot_names = std::move(slot_names);
    ns->slots = std::move(slot_values);
    for (const auto& [symbol, value] : entries) ns->insert(symbol, value);
    return in.heap.allocate_object(NamespacePayload{std::move(ns)}, &in, meter);
}

PyResult<std::optional<Value>> scope_get_symbol(Heap& heap, Value scope, Symbol s) {
    for (;;) {
        auto ns = scope_of(heap, scope);
        if (!ns) return fail(std::move(ns.error()));
        if (const Value* v = (*ns)->find(s)) return std::optional(heap.clone_value(*v));
        if (!(*ns)->parent) return std::optional<Value>();
        scope = *(*ns)->parent;
    }
}

PyResult<std::optional<Value>> namespace_get_str(Heap& heap, Value scope, std::string_view text) {
    auto s = heap.symbols.lookup(text);
    if (!s) return std::optional<Value>();
    return scope_get_symbol(heap, scope, *s);
}

PyResult<ModuleObject> new_module_object(Interpreter& in, ResourceMeter& meter, std::string_view name,
                                         std::span<const std::pair<std::string, Value>> attributes) {
    std::vector<std::pair<Symbol, Value>> pairs;
    pairs.reserve(attributes.size());
    for (const auto& [text, value] : attributes) {
        auto s = in.heap.symbols.intern(text, meter);
        if (!s) return fail(std::move(s.error()));
        pairs.emplace_back(*s, value);
    }
    auto ns = bind_locals(in, meter, std::nullopt, nullptr, {}, pairs);
    if (!ns) return fail(std::move(ns.error()));
    auto module = in.heap.allocate_object(ModulePayload{*ns, std::string(name)}, &in, meter);
    if (!module) return fail(std::move(module.error()));
    return ModuleObject{*module, *ns};
}

PyResult<Value> module_submodule_slot(Heap& heap, const Value& module, std::string_view name) {
    if (!module.is_object()) return fail(PyError::unsupported(fmt::format("module {} cannot contain submodules", name)));
    auto slot = heap.get(module);
    if (!slot) return fail(std::move(slot.error()));
    auto* m = std::get_if<ModulePayload>(&(*slot)->object);
    if (!m) return fail(PyError::unsupported(fmt::format("module {} changed object kind", name)));
    return heap.clone_value(m->namespace_);
}

bool sorted_names_contain(std::span<const std::string_view> sorted, std::string_view name) {
    std::size_t lo = 0, n = sorted.size();
    if (n == 0) return false;
    while (n > 1) {
        std::size_t half = n / 2;
        std::size_t mid = lo + half;
        if (!(sorted[mid] > name)) lo = mid;
        n -= half;
    }
    return sorted[lo] == name;
}

std::string display_file_name(std::optional<std::string_view> path) {
    if (path && *path == "-c") return "<string>";
    if (!path || *path == "-" || path->empty()) return "<stdin>";
    return std::string(*path);
}

}  // namespace tw::py
