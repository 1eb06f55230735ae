// Classes: the class statement and `type(name, bases, namespace)`, the class object and its type
// record, calling a class (metaclass `__call__`, abstract classes, enumerations, `__new__` and
// `__init__`, builtin-subclass payloads, exception arguments, data-class initialisers), the
// constructors of the builtin types, and the subscription and iteration entry of builtin values.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/heap.h"
#include "python/heap/namespace.h"
#include "python/heap/object.h"
#include "python/heap/type_id.h"
#include "python/heap/value.h"
#include "python/vm/step_outcome.h"

namespace tw::py {

struct RuntimeContext;
struct NativeCall;
struct Frame;
class TypeRegistry;
class Symbols;

namespace vm {

// Instance layouts of a class: a builtin payload type (below 43), plain instances, or classes.
inline constexpr std::uint32_t kObjectLayout = 43;
inline constexpr std::uint32_t kClassLayout = 45;

// The record of a class object; null for any other value.
inline const ClassRecord* class_record_of(const Heap& heap, Value v) {
    const HeapSlot* s = heap.get_if_object(v);
    if (!s) return nullptr;
    auto* c = std::get_if<ClassPayload>(&s->object);
    return c ? c->record.get() : nullptr;
}

bool type_layouts_equal(std::uint32_t a, std::uint32_t b);
inline bool type_layouts_differ(std::uint32_t a, std::uint32_t b) { return !type_layouts_equal(a, b); }

// What a finished class definition hands to `py_build_class`.
struct ClassSpec {
    std::string name;
    std::vector<Value> bases;      // as written
    std::vector<Value> class_mro;  // class objects of the user-class ancestors
    Namespace ns;                  // the namespace entries
    std::vector<std::pair<std::string, Value>> fields;  // annotated names and their values (absent: none)
    std::vector<std::pair<Symbol, Value>> members;     // enumeration members
    Value metaclass;
    std::uint32_t layout = kObjectLayout;
    std::string exception_base;
};

// The qualified name of `name` defined by code running in `frame`: "C.name" in the body of a
// class C, "f.<locals>.name" in the function f, the name itself in a module.
PyResult<std::string> qualified_name(RuntimeContext& ctx, const Frame& frame, std::string_view name);
// A function's or class's `__qualname__` text; none for other values.
std::optional<std::string> qualname_of(const Heap& heap, Value v);

// Creates the class object and its type record from a spec.
PyResult<Value> py_build_class(RuntimeContext& ctx, ClassSpec spec);
// The user-class bases (class objects) of `bases`; a base that may not be subclassed fails with
// TypeError "class bases must be classes" or "subclassing the builtin type '{}' is not supported".
PyResult<std::vector<Value>> py_check_class_bases(RuntimeContext& ctx, std::span<const Value> bases);
// `type.__new__(metaclass, name, bases, namespace)` and `type(name, bases, namespace)`.
PyResult<Value> type_new_class(RuntimeContext& ctx, Value metaclass, Value name, Value bases, Value ns);
// `object.__new__(cls)` with or without further arguments.
PyResult<Value> object_new(RuntimeContext& ctx, Value cls, bool has_args);
// Marks a class as a data class: its instances are built by the field initialiser.
PyStatus mark_dataclass(RuntimeContext& ctx, Value cls);
// The mapping `__dict__` and `vars()` give: none for a value without an attribute namespace.
PyResult<std::optional<Value>> namespace_view(RuntimeContext& ctx, Value obj);
// The native rows of object and type that class creation and instantiation use, and the
// `__dict__` getters; called once when the registry is built.
void attach_class_rows(TypeRegistry& registry, Symbols& symbols);

// Calling a class. `direct` is set for a call of the class itself (a metaclass `__call__` takes
// over), clear for `type.__call__`. The result is pushed on the value stack.
PyResult<StepOutcome> py_instantiate(RuntimeContext& ctx, Value cls, NativeCall call, bool direct);
// `type.__call__(callee, ...)`: the instance.
PyResult<Value> type_call(RuntimeContext& ctx, Value callee, NativeCall call);
// The payload an instance of a builtin subclass carries for a builtin value.
PyResult<HeapObject> builtin_subclass_payload_of(const Heap& heap, Value value);

// The constructor of builtin type `type`: the new value is pushed.
PyResult<StepOutcome> py_builtin_constructor(RuntimeContext& ctx, TypeId type, NativeCall call);
// The same, giving the value.
PyResult<Value> py_call_builtin_type(RuntimeContext& ctx, TypeId type, NativeCall call);

// obj[key] for builtin values (what remains when no class `__getitem__` answered).
PyResult<Value> py_getitem(RuntimeContext& ctx, Value obj, Value key);
// An iterator over a builtin iterable; none when the value is no builtin iterable.
PyResult<std::optional<Value>> py_iter(RuntimeContext& ctx, Value v);
// Whether the value already is an iterator.
PyResult<bool> py_iterator_kind_of(RuntimeContext& ctx, Value v);
// Whether the value is an `itertools.count` object.
PyResult<bool> py_is_count_iterator(const Heap& heap, Value v);
// All items of an iterable that only Python code can produce, drained by `_iteration.materialize`.
PyResult<std::vector<Value>> py_materialize_iterable(RuntimeContext& ctx, Value v);

// The container slots shared by the builtin types and the str slots; installed over the
// registry's table.
void install_container_slots(TypeRegistry& registry);

}  // namespace vm
}  // namespace tw::py
