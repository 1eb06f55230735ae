// Attribute lookup, assignment and deletion for every kind of value: descriptors (properties,
// methods, class methods, static methods, native getters, program-defined `__get__`/`__set__`/
// `__delete__`), the `__getattribute__` and `__getattr__` hooks, modules, classes, `super`
// objects and builtin values. The engine's attribute instructions, getattr/hasattr/setattr and
// native code come here.
//
// Lookups answer a value, none (not found: the caller raises `attribute_error_for` or answers
// hasattr), or an error. Names are compared as symbols; a name never interned is looked up
// without interning it and is found nowhere.
#pragma once

#include <optional>
#include <string_view>

#include "python/heap/error.h"
#include "python/heap/namespace.h"
#include "python/heap/type_id.h"
#include "python/heap/value.h"

namespace tw::py {

struct RuntimeContext;

using AttrLookup = PyResult<std::optional<Value>>;

// obj.name: `__getattribute__`, the default lookup, then `__getattr__`.
AttrLookup py_getattr(RuntimeContext& ctx, Value obj, std::optional<Symbol> symbol, std::string_view name);
// The same with the symbol looked up (never interned) from the text.
AttrLookup py_getattr_by_name(RuntimeContext& ctx, Value obj, std::string_view name);
// object.__getattribute__.
AttrLookup py_generic_getattr(RuntimeContext& ctx, Value obj, std::optional<Symbol> symbol, std::string_view name);
// The `__getattr__` fallback of the object's type.
AttrLookup py_getattr_hook(RuntimeContext& ctx, Value obj, std::string_view name);

struct TypeHit {
    TypeId owner;
    Value value;
};
// A name in a type's namespace and along its MRO; one work unit per class examined.
PyResult<std::optional<TypeHit>> py_type_lookup(RuntimeContext& ctx, TypeId type, std::optional<Symbol> symbol);
struct ClassHit {
    Value value;
    Value owner;  // the class object where it was found
};
// The same from a class object, over program classes only.
PyResult<std::optional<ClassHit>> py_mro_lookup(RuntimeContext& ctx, Value cls, std::optional<Symbol> symbol);
// The type a class value stands for (program class, builtin type, value kind, exception class).
std::optional<TypeId> py_as_class(RuntimeContext& ctx, Value v);
// The value `type(x)` gives for a type identity.
PyResult<Value> py_type_value(RuntimeContext& ctx, TypeId id);
// A native property, a property object, or an instance of a class defining __set__ or __delete__.
PyResult<bool> py_is_data_descriptor(RuntimeContext& ctx, Value v);
// Binds a value found on a type to a receiver (none: reading through the class itself).
AttrLookup py_bind_special_method(RuntimeContext& ctx, Value found, std::optional<Value> receiver,
                                  TypeId receiver_type, TypeId owner);
// The descriptor step for a value found on a program class.
PyResult<Value> py_descriptor_get(RuntimeContext& ctx, Value found, Value receiver, Value receiver_class,
                                  Value owner_class);
// The AttributeError (or Unsupported error) for a name the lookup did not find.
PyError attribute_error_for(RuntimeContext& ctx, Value obj, std::string_view name);

// obj.name = value and del obj.name (object.__setattr__ / object.__delattr__). After a store or
// deletion on a class object the dunder slots of the class and its subclasses are refreshed; the
// caller empties its attribute caches.
PyStatus py_setattr(RuntimeContext& ctx, Value obj, Symbol symbol, std::string_view name, Value value);
PyStatus py_delattr(RuntimeContext& ctx, Value obj, Symbol symbol, std::string_view name);
// Stores (value) or deletes (none) a class attribute and refreshes the slots.
PyStatus py_set_class_attr(RuntimeContext& ctx, Value cls, Symbol symbol, std::string_view name,
                           std::optional<Value> value);
// The AttributeError for a store or deletion on a value without attribute storage.
PyError reject_builtin_attribute_store(RuntimeContext& ctx, Value obj, std::string_view name);

}  // namespace tw::py
