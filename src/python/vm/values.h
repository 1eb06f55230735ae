// Values made from native module rows and namespaces, and the debug texts of the interpreter's
// internal values shown inside internal error messages.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/front/definitions.h"
#include "python/heap/error.h"
#include "python/heap/mapping.h"
#include "python/heap/namespace.h"
#include "python/heap/value.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

class Interpreter;
class NativeRuntime;
struct NativeConstant;

// What a constant row becomes when read: Int and Float immediately, Str a new str, Lazy what its
// builder gives (it needs the runtime interface), TypeRef a registered value of its kind ("value
// kind is not registered").
PyResult<Value> native_constant_to_value(Interpreter& in, ResourceMeter& meter, NativeRuntime* rt,
                                         const NativeConstant& row);

// (symbol, Value) pairs as (name text, Value); heap handles are pushed on the scoped root stack.
std::vector<std::pair<std::string, Value>> symbol_pairs_to_named_values(Interpreter& in,
                                                                        std::span<const NamespaceEntry> pairs);

// The (name, value) entries of a heap namespace as (str Value, Value) pairs.
PyResult<std::vector<std::pair<Value, Value>>> mapping_items_as_values(Interpreter& in, ResourceMeter& meter,
                                                                       const Value& namespace_);
// A new dict of a namespace's entries.
PyResult<Value> dict_from_mapping(Interpreter& in, ResourceMeter& meter, KeyProtocol& keys, const Value& namespace_);

// The module names of the module table, one step at a time.
class ModuleNames {
public:
    explicit ModuleNames(const Interpreter& in);
    std::optional<std::string> next_name();

private:
    std::vector<std::string> names_;
    std::size_t position_ = 0;
};

// "Int(5)", "String(\"ab\")", "Object(Handle { index: 3, generation: 0 })", "Native(Ellipsis)", ...
std::string debug_text(const Value& v);
// "Module(<native module m>)", "SlotWrapper { slot: Add, owner: 6 }", ...
std::string debug_text(const StaticDefinition& d);

}  // namespace tw::py
