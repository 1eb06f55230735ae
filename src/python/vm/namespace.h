// Scopes and modules: namespaces allocated in the heap, lookups that walk parent links, module
// objects, and the small name helpers of the import system and the program runner.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/namespace.h"
#include "python/heap/value.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

class Interpreter;
class Heap;

// The Namespace payload of a heap namespace object: the heap's errors for a dead or non-heap
// value, "invalid scope reference" for another kind.
PyResult<const Namespace*> scope_of(const Heap& heap, const Value& v);

// A new heap namespace: `slot_values` for `slot_names`, then the entries bound in order.
// "local slot metadata mismatch" when the counts differ.
PyResult<Value> bind_locals(Interpreter& in, ResourceMeter& meter, std::optional<Value> parent,
                            std::shared_ptr<const std::vector<Symbol>> slot_names, std::vector<Value> slot_values,
                            std::span<const std::pair<Symbol, Value>> entries);

// The value bound to a symbol in a scope or its parents (a heap handle is pushed on the scoped
// root stack), or none.
PyResult<std::optional<Value>> scope_get_symbol(Heap& heap, Value scope, Symbol s);
// The same by text, without interning it.
PyResult<std::optional<Value>> namespace_get_str(Heap& heap, Value scope, std::string_view text);

struct ModuleObject {
    Value module;
    Value namespace_;
};
// A module named `name` whose namespace holds `attributes`.
PyResult<ModuleObject> new_module_object(Interpreter& in, ResourceMeter& meter, std::string_view name,
                                         std::span<const std::pair<std::string, Value>> attributes);
// The namespace of a module value: "module {} cannot contain submodules", "module {} changed
// object kind".
PyResult<Value> module_submodule_slot(Heap& heap, const Value& module, std::string_view name);

// Binary search in a table sorted bytewise.
bool sorted_names_contain(std::span<const std::string_view> sorted, std::string_view name);
// "-c" -> "<string>"; none, "-" or "" -> "<stdin>"; any other path unchanged.
std::string display_file_name(std::optional<std::string_view> path);

}  // namespace tw::py
