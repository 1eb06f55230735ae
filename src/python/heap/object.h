// The payloads of heap objects. `HeapObject` is a variant whose alternative index is the
// `HeapObjectKind` (0..38); alternative 39 is a free slot (kind 0xFF). Records that do not fit a
// slot are boxed; every payload deep-copies, so the heap is a value type.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "python/heap/bigint.h"
#include "python/heap/box.h"
#include "python/heap/error.h"
#include "python/heap/mapping.h"
#include "python/heap/namespace.h"
#include "python/heap/type_id.h"
#include "python/heap/value.h"

namespace tw::py {

enum class HeapObjectKind : std::uint8_t {
    Object = 0,
    Str,
    Bytes,
    ByteArray,
    Exception,
    List,
    Tuple,
    Slice,
    Dict,
    DefaultDict,
    Set,
    FrozenSet,
    BigInt,
    Complex,
    Range,
    Float,
    Function,
    Class,
    BoundMethod,
    GenericAlias,
    ValuesIterator,
    SequenceIterator,
    ReversedIterator,
    RangeIterator,
    CountIterator,
    CallableIterator,
    StreamIterator,
    Generator,
    Module,
    Namespace,
    NamespaceDict,
    DictView,
    MappingProxy,
    Registered,
    NativeObject,
    Property,
    StaticMethod,
    ClassMethod,
    Super,
    Free = 0xFF,
};

inline constexpr std::uint64_t kSlotBytes = 80;
inline constexpr std::uint64_t kValueSlotBytes = 24;  // modeled bytes per Value element

// One visit per Value; handed to native objects and to the collector's root enumerators.
struct ValueVisitor {
    virtual void visit(const Value& v) = 0;

protected:
    ~ValueVisitor() = default;
};

struct ObjectPayload {};
// A str of 16 bytes or more; `char_count` is its number of code points.
struct HeapStr {
    std::string text;
    std::uint64_t char_count = 0;
    // Counts the characters and trims spare capacity.
    static HeapStr make(std::string text);
    std::uint64_t length() const { return text.size(); }
};
struct BytesPayload { std::string bytes; };
struct ByteArrayPayload { std::string bytes; };
// The exception layout: the constructor arguments.
struct ExceptionPayload { std::vector<Value> args; };
struct ListPayload { std::vector<Value> items; };
struct TuplePayload { std::vector<Value> items; };
struct SlicePayload { Value start, stop, step; };
struct DictPayload { Box<DictTable> table; };
struct DefaultDictPayload {
    Box<DictTable> table;
    Value default_factory;
};
struct SetPayload { Box<SetTable> table; };
struct FrozenSetPayload { Box<SetTable> table; };
struct BigIntPayload { Box<BigInt> value; };
struct ComplexPayload { double real = 0, imag = 0; };
struct RangePayload { std::int64_t start = 0, stop = 0, step = 1; };
struct FloatPayload { double value = 0; };

}  // namespace tw::py

namespace tw {
struct CodeObject;  // the compiler's shared, immutable code
}

namespace tw::py {

using tw::CodeObject;

struct FunctionRecord {
    std::string name;
    std::shared_ptr<const CodeObject> code;
    std::uint64_t code_size = 0;  // the code object's size measure
    std::vector<Value> defaults;
    std::vector<NamespaceEntry> keyword_defaults;
    Value closure;  // the closure scope
    Value globals;
    Value defining_class;  // absent until class creation fills it
    std::string qualname;  // the dotted path from the module (empty: the name)
};
struct FunctionPayload { Box<FunctionRecord> record; };

struct ClassRecord {
    std::string name;
    std::vector<Value> bases;
    std::vector<Value> mro;  // class objects of the user-class ancestors, without the class
    Namespace namespace_;
    std::vector<Value> slot_values;  // the defaults of `field_names` (absent: none)
    std::vector<Value> values;       // enumeration members, in creation order
    Value metaclass;
    TypeId type_id = 0;  // the class's own type identity
    std::uint32_t flag_count = 0;
    bool has_optional_table = false;
    // The names annotated in the class body, in source order.
    std::vector<std::string> field_names;
    // The instances' layout: 43 plain, a builtin TypeId below 43 (payload), 45 classes.
    std::uint32_t layout = 43;
    // The builtin exception class the class derives from; empty when none.
    std::string exception_base;
    bool dataclass = false;
    std::string qualname;  // the dotted path from the module (empty: the name)
};
struct ClassPayload { Box<ClassRecord> record; };

struct BoundMethodPayload {
    Value function;  // absent for a bound native method
    Value receiver;
    Value owner;
};
struct GenericAliasPayload {
    Value origin;
    std::vector<Value> args;
};
struct ValuesIteratorPayload {
    std::uint64_t position = 0;
    std::vector<Value> values;
};
struct SequenceIteratorPayload {
    std::uint64_t position = 0;
    Value source;
};
struct ReversedIteratorPayload {
    std::uint64_t remaining = 0;
    Value source;
};
struct RangeIteratorPayload {
    bool exhausted = false;
    std::int64_t current = 0, stop = 0, step = 1;
};
struct CountIteratorPayload { std::int64_t current = 0, step = 1; };
struct CallableIteratorPayload {
    bool exhausted = false;
    Value callable, sentinel;
};
struct StreamIteratorPayload { std::uint8_t flag = 0; };

struct GeneratorRecord {
    Value function;  // absent when none
    Value scope;
    Value globals;
    Value return_value = Value::none();
    std::vector<Value> saved_values;
    std::vector<std::array<std::uint64_t, 3>> saved_handlers;
    std::vector<Value> saved_exceptions;
    std::vector<Value> saved_with;
    std::shared_ptr<const CodeObject> code;
    std::uint64_t code_size = 0;
    std::uint64_t resume_position = 0;
    bool finished = false;
    bool executing = false;
    bool coroutine = false;
};
struct GeneratorPayload { Box<GeneratorRecord> record; };

struct ModulePayload {
    Value namespace_;
    std::string name;
};
struct NamespacePayload { Box<Namespace> scope; };
struct NamespaceDictPayload {
    std::uint64_t word = 0;
    Value namespace_;
};
struct DictViewPayload {
    std::uint8_t sub_kind = 0;  // 0 keys, 1 values, 2 items, 3 mappingproxy
    Value mapping;
};
struct MappingProxyPayload {
    Value target;  // absent: the proxy shows the class `class_id`
    TypeId class_id = 0;
};
struct RegisteredPayload {
    std::uint8_t kind = 0;
    TypeId type_id = 0;
    std::array<std::uint64_t, 2> payload{};
};

// A native object: its own type identity, size, Values and copy.
class NativeObject {
public:
    virtual ~NativeObject() = default;
    virtual TypeId type_id() const = 0;
    virtual std::uint64_t modeled_size() const = 0;
    virtual void visit_values(ValueVisitor& v) const = 0;
    virtual std::unique_ptr<NativeObject> clone() const = 0;
    // The 128-bit identity of the native type, for downcasts.
    virtual std::array<std::uint64_t, 2> type_identity() const = 0;
};
struct NativeObjectPayload { Box<NativeObject> object; };

struct PropertyPayload {
    Value first;  // optional
    Value second;
};
struct StaticMethodPayload { Value callable; };
struct ClassMethodPayload { Value callable; };
struct SuperPayload { Value type, object; };
struct FreeSlot {};

using HeapObject = std::variant<ObjectPayload, HeapStr, BytesPayload, ByteArrayPayload, ExceptionPayload,
                                ListPayload, TuplePayload, SlicePayload, DictPayload, DefaultDictPayload,
                                SetPayload, FrozenSetPayload, BigIntPayload, ComplexPayload, RangePayload,
                                FloatPayload, FunctionPayload, ClassPayload, BoundMethodPayload,
                                GenericAliasPayload, ValuesIteratorPayload, SequenceIteratorPayload,
                                ReversedIteratorPayload, RangeIteratorPayload, CountIteratorPayload,
                                CallableIteratorPayload, StreamIteratorPayload, GeneratorPayload, ModulePayload,
                                NamespacePayload, NamespaceDictPayload, DictViewPayload, MappingProxyPayload,
                                RegisteredPayload, NativeObjectPayload, PropertyPayload, StaticMethodPayload,
                                ClassMethodPayload, SuperPayload, FreeSlot>;

static_assert(std::variant_size_v<HeapObject> == 40);

inline HeapObjectKind kind_of(const HeapObject& o) {
    return o.index() == 39 ? HeapObjectKind::Free : HeapObjectKind(o.index());
}

// The modeled size in bytes (the 80-byte slot included); "modeled object size overflow",
// "modeled scope size overflow" for a Namespace.
PyResult<std::uint64_t> modeled_size(const HeapObject& o);

// The elements of a list, tuple or exception; null for other kinds.
inline const std::vector<Value>* sequence_items(const HeapObject& o) {
    if (auto* l = std::get_if<ListPayload>(&o)) return &l->items;
    if (auto* t = std::get_if<TuplePayload>(&o)) return &t->items;
    if (auto* e = std::get_if<ExceptionPayload>(&o)) return &e->args;
    return nullptr;
}

// The dict table of a dict or defaultdict; the set table of a set or frozenset.
inline DictTable* dict_table_of(HeapObject& o) {
    if (auto* d = std::get_if<DictPayload>(&o)) return d->table.get();
    if (auto* d = std::get_if<DefaultDictPayload>(&o)) return d->table.get();
    return nullptr;
}
inline SetTable* set_table_of(HeapObject& o) {
    if (auto* s = std::get_if<SetPayload>(&o)) return s->table.get();
    if (auto* s = std::get_if<FrozenSetPayload>(&o)) return s->table.get();
    return nullptr;
}

namespace detail {
template <class F>
struct VisitorAdapter final : ValueVisitor {
    F& f;
    explicit VisitorAdapter(F& f) : f(f) {}
    void visit(const Value& v) override { f(v); }
};
template <class F>
void each(const std::vector<Value>& vs, F& f) {
    for (const Value& v : vs) f(v);
}
}  // namespace detail

// Calls f(Value) for every Value the payload holds, in the collector's order. Absent Values are
// passed too; visitors ignore what is not a heap handle.
template <class F>
void for_each_value(const HeapObject& o, F&& f) {
    switch (o.index()) {
        case 4: case 5: case 6: detail::each(*sequence_items(o), f); break;
        case 7: {
            auto& s = std::get<SlicePayload>(o);
            f(s.start), f(s.stop), f(s.step);
            break;
        }
        case 8: case 9: {
            if (auto* d = std::get_if<DefaultDictPayload>(&o)) f(d->default_factory);
            const DictTable* t = dict_table_of(const_cast<HeapObject&>(o));
            t->for_each_live([&](const DictSlot& s) { f(s.key), f(s.value); });
            break;
        }
        case 10: case 11:
            set_table_of(const_cast<HeapObject&>(o))->for_each_live([&](const SetSlot& s) { f(s.key); });
            break;
        case 16: {
            auto& r = *std::get<FunctionPayload>(o).record;
            f(r.closure), f(r.globals);
            detail::each(r.defaults, f);
            f(r.defining_class);
            for (auto& e : r.keyword_defaults) f(e.value);
            break;
        }
        case 17: {
            auto& r = *std::get<ClassPayload>(o).record;
            detail::each(r.bases, f);
            detail::each(r.mro, f);
            f(r.metaclass);
            for (auto& e : r.namespace_.entries()) f(e.value);
            detail::each(r.slot_values, f);
            detail::each(r.values, f);
            break;
        }
        case 18: {
            auto& b = std::get<BoundMethodPayload>(o);
            f(b.receiver), f(b.owner), f(b.function);
            break;
        }
        case 19: {
            auto& g = std::get<GenericAliasPayload>(o);
            f(g.origin);
            detail::each(g.args, f);
            break;
        }
        case 20: detail::each(std::get<ValuesIteratorPayload>(o).values, f); break;
        case 21: f(std::get<SequenceIteratorPayload>(o).source); break;
        case 22: f(std::get<ReversedIteratorPayload>(o).source); break;
        case 25: {
            auto& c = std::get<CallableIteratorPayload>(o);
            f(c.callable), f(c.sentinel);
            break;
        }
        case 27: {
            auto& g = *std::get<GeneratorPayload>(o).record;
            f(g.scope), f(g.globals), f(g.return_value);
            detail::each(g.saved_values, f);
            detail::each(g.saved_exceptions, f);
            detail::each(g.saved_with, f);
            f(g.function);
            break;
        }
        case 28: f(std::get<ModulePayload>(o).namespace_); break;
        case 29: {
            auto& n = *std::get<NamespacePayload>(o).scope;
            if (n.parent) f(*n.parent);
            detail::each(n.slots, f);
            for (auto& e : n.entries()) f(e.value);
            break;
        }
        case 30: f(std::get<NamespaceDictPayload>(o).namespace_); break;
        case 31: f(std::get<DictViewPayload>(o).mapping); break;
        case 32: f(std::get<MappingProxyPayload>(o).target); break;
        case 34: {
            detail::VisitorAdapter<std::remove_reference_t<F>> a(f);
            std::get<NativeObjectPayload>(o).object->visit_values(a);
            break;
        }
        case 35: {
            auto& p = std::get<PropertyPayload>(o);
            f(p.second), f(p.first);
            break;
        }
        case 36: f(std::get<StaticMethodPayload>(o).callable); break;
        case 37: f(std::get<ClassMethodPayload>(o).callable); break;
        case 38: {
            auto& s = std::get<SuperPayload>(o);
            f(s.type), f(s.object);
            break;
        }
        default: break;
    }
}

}  // namespace tw::py
