#include "python/vm/repr.h"

#include <algorithm>

#include <fmt/format.h>

#include "base/stack.h"
#include "kernel/machine.h"
#include "python/vm/protocol_support.h"
#include "python/front/definitions.h"
#include "python/front/text_forms.h"
#include "python/heap/heap.h"
#include "python/objects/float_text.h"
#include "python/objects/instance.h"
#include "python/objects/truth.h"
#include "python/objects/value_access.h"
#include "python/vm/exec_state.h"
#include "python/vm/runtime_context.h"
#include "python/vm/slot_call.h"

namespace tw::py {

using protocol::charge_native;
using protocol::meter_of;
using protocol::types_of;

namespace {


constexpr std::uint64_t kAddressBase = 0x7f0000000000ull;
constexpr std::uint64_t kMaxIntStrDigits = 4300;

PyError recursion_error() {
    return PyError::exception("RecursionError", "maximum recursion depth exceeded while getting the repr of an object");
}


// The text of `__module__` in a class namespace when it is a str.
std::optional<std::string> class_module(const Heap& heap, const ClassRecord& rec) {
    const Value* v = namespace_get_by_name(rec.namespace_, heap.symbols, "__module__");
    if (!v) return std::nullopt;
    auto text = str_view(heap, *v);
    if (!text || !*text) return std::nullopt;
    return std::string(**text);
}

std::string class_repr(const Heap& heap, const ClassRecord& rec) {
    auto module = class_module(heap, rec);
    if (module && *module != "builtins") return fmt::format("<class '{}.{}'>", *module, rec.name);
    return fmt::format("<class '{}'>", rec.name);
}

// The marker printed for a container met again inside its own representation.
std::string_view cycle_marker(HeapObjectKind k) {
    switch (k) {
        case HeapObjectKind::List: return "[...]";
        case HeapObjectKind::Tuple: return "(...)";
        case HeapObjectKind::Slice: return "slice(...)";
        case HeapObjectKind::Dict:
        case HeapObjectKind::DefaultDict:
        case HeapObjectKind::NamespaceDict: return "{...}";
        case HeapObjectKind::Set: return "set(...)";
        case HeapObjectKind::FrozenSet: return "frozenset(...)";
        case HeapObjectKind::Range: return "range(...)";
        case HeapObjectKind::MappingProxy: return "mappingproxy(...)";
        case HeapObjectKind::Object: return "<object ...>";
        case HeapObjectKind::Str: return "<str ...>";
        case HeapObjectKind::Bytes: return "<bytes ...>";
        case HeapObjectKind::ByteArray: return "<bytearray ...>";
        case HeapObjectKind::Exception: return "<exception ...>";
        case HeapObjectKind::BigInt: return "<int ...>";
        case HeapObjectKind::Complex: return "<complex ...>";
        case HeapObjectKind::Float: return "<float ...>";
        case HeapObjectKind::Function: return "<function ...>";
        case HeapObjectKind::Class: return "<class ...>";
        case HeapObjectKind::BoundMethod: return "<bound method ...>";
        case HeapObjectKind::GenericAlias: return "<generic alias ...>";
        case HeapObjectKind::CallableIterator: return "<callable_iterator ...>";
        case HeapObjectKind::Generator: return "<generator ...>";
        case HeapObjectKind::Module: return "<module ...>";
        case HeapObjectKind::Namespace: return "<scope ...>";
        case HeapObjectKind::DictView: return "<dict view ...>";
        case HeapObjectKind::Registered: return "<value ...>";
        case HeapObjectKind::NativeObject: return "<native ...>";
        case HeapObjectKind::Property: return "<property ...>";
        case HeapObjectKind::StaticMethod: return "<staticmethod ...>";
        case HeapObjectKind::ClassMethod: return "<classmethod ...>";
        case HeapObjectKind::Super: return "<super ...>";
        default: return "<iterator ...>";
    }
}

// The elements of a list, tuple, set, frozenset or dict (keys and values interleaved for a dict),
// rooted in the current scope: the container may change while a program's `__repr__` runs.
std::vector<Value> container_elements(Heap& heap, const HeapSlot& slot) {
    std::vector<Value> out;
    if (const auto* items = sequence_items(slot.object)) {
        out = *items;
    } else if (const DictTable* d = dict_table_of(const_cast<HeapObject&>(slot.object))) {
        out.reserve(d->live_count * 2);
        d->for_each_live([&](const DictSlot& s) { out.push_back(s.key), out.push_back(s.value); });
    } else if (const SetTable* s = set_table_of(const_cast<HeapObject&>(slot.object))) {
        out.reserve(s->live_count);
        s->for_each_live([&](const SetSlot& e) { out.push_back(e.key); });
    }
    for (const Value& v : out) heap.push_root(v);
    return out;
}

using ElementRepr = PyResult<std::string> (*)(RuntimeContext&, Value, ReprVisited&);

// Lists, tuples, sets, frozensets and dicts, each element through `element`.
PyResult<std::string> sequence_repr(RuntimeContext& ctx, Value v, const HeapSlot& slot, std::uint32_t id,
                                    ReprVisited& visited, ElementRepr element) {
    const HeapObjectKind kind = slot.kind();
    if (visited.contains(id)) return std::string(cycle_marker(kind));
    TRY_DO(visited.enter(id));
    NativeCallScope scope(ctx);
    RuntimeContext& c = scope.context;
    std::vector<Value> elements = container_elements(c.heap, slot);
    const bool dict = kind == HeapObjectKind::Dict || kind == HeapObjectKind::DefaultDict;
    // A defaultdict shows its factory first (read now: the slot may move while reprs run).
    Value factory;
    if (const auto* dd = std::get_if<DefaultDictPayload>(&slot.object)) {
        factory = dd->default_factory;
        c.heap.push_root(factory);
    }
    auto body = [&]() -> PyResult<std::string> {
        TRY_DO(python_charge_work(meter_of(c), dict ? elements.size() / 2 : elements.size()));
        std::string out;
        for (std::size_t i = 0; i < elements.size(); i += dict ? 2 : 1) {
            if (i) out += ", ";
            TRY_ASSIGN(text, element(c, elements[i], visited));
            out += text;
            if (dict) {
                TRY_ASSIGN(value, element(c, elements[i + 1], visited));
                out += ": ";
                out += value;
            }
        }
        return out;
    };
    auto text = body();
    if (text && kind == HeapObjectKind::DefaultDict) {
        auto shown = py_repr_guarded(c, factory, visited);
        if (shown)
            text = "defaultdict(" + *shown + ", {" + *text + "})";
        else
            text = fail(std::move(shown.error()));
    }
    visited.leave(id);
    (void)v;
    if (!text) return text;
    switch (kind) {
        case HeapObjectKind::DefaultDict: return text;
        case HeapObjectKind::List: return "[" + *text + "]";
        case HeapObjectKind::Tuple: return elements.size() == 1 ? "(" + *text + ",)" : "(" + *text + ")";
        case HeapObjectKind::Set: return elements.empty() ? std::string("set()") : "{" + *text + "}";
        case HeapObjectKind::FrozenSet:
            return elements.empty() ? std::string("frozenset()") : "frozenset({" + *text + "})";
        default: return "{" + *text + "}";
    }
}

bool is_container(HeapObjectKind k) {
    switch (k) {
        case HeapObjectKind::List:
        case HeapObjectKind::Tuple:
        case HeapObjectKind::Set:
        case HeapObjectKind::FrozenSet:
        case HeapObjectKind::Dict:
        case HeapObjectKind::DefaultDict: return true;
        default: return false;
    }
}

// The (name, value) entries behind a namespace dict: a scope's names or an object's attributes.
PyResult<std::vector<std::pair<std::string, Value>>> namespace_dict_entries(RuntimeContext& ctx, Value target) {
    Heap& heap = ctx.heap;
    const HeapSlot* slot = heap.get_if_object(target);
    if (slot && slot->kind() == HeapObjectKind::Namespace) {
        const Namespace& ns = *std::get<NamespacePayload>(slot->object).scope;
        std::vector<std::pair<std::string, Value>> out;
        if (ns.slot_names)
            for (std::size_t i = 0; i < ns.slots.size() && i < ns.slot_names->size(); ++i)
                if (ns.slots[i].is_present()) out.emplace_back(heap.symbols.name_of((*ns.slot_names)[i]), ns.slots[i]);
        for (const NamespaceEntry& e : ns.entries()) out.emplace_back(heap.symbols.name_of(e.symbol), e.value);
        return out;
    }
    if (slot && slot->kind() == HeapObjectKind::Module)
        return namespace_dict_entries(ctx, std::get<ModulePayload>(slot->object).namespace_);
    return py_namespace_entries(heap, target);
}

// The (str key, value) pairs behind a mapping proxy: a class namespace or a type's namespace.
PyResult<std::vector<std::pair<std::string, Value>>> proxy_entries(RuntimeContext& ctx, const MappingProxyPayload& p) {
    Heap& heap = ctx.heap;
    const Namespace* ns = nullptr;
    if (p.target.is_absent()) {
        TRY_ASSIGN(rec, types_of(ctx).get(p.class_id));
        ns = &rec->namespace_;
    } else if (const HeapSlot* s = heap.get_if_object(p.target); s && s->kind() == HeapObjectKind::Class) {
        ns = &std::get<ClassPayload>(s->object).record->namespace_;
    } else {
        return fail(PyError::unsupported("mappingproxy target is not a class"));
    }
    TRY_DO(python_charge_work(meter_of(ctx), ns->entries().size()));
    std::vector<std::pair<std::string, Value>> out;
    for (const NamespaceEntry& e : ns->entries()) out.emplace_back(heap.symbols.name_of(e.symbol), e.value);
    return out;
}

PyResult<std::string> named_entries_repr(RuntimeContext& ctx, const std::vector<std::pair<std::string, Value>>& entries,
                                         ReprVisited& visited, ElementRepr element) {
    NativeCallScope scope(ctx);
    for (const auto& e : entries) scope.context.heap.push_root(e.second);
    TRY_DO(python_charge_work(meter_of(ctx), entries.size()));
    std::string out = "{";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i) out += ", ";
        TRY_ASSIGN(text, element(scope.context, entries[i].second, visited));
        out += py_str_repr(entries[i].first) + ": " + text;
    }
    return out + "}";
}

std::string native_handle_repr(const TypeRegistry& types, const StaticDefinition& d) {
    switch (d.tag) {
        case DefinitionTag::Function: return fmt::format("<built-in function {}>", builtin_function_name(std::uint8_t(d.number)));
        case DefinitionTag::NativeFunction: return fmt::format("<built-in function {}>", d.function->name);
        case DefinitionTag::NativeMethod:
        case DefinitionTag::NativeClassMethod:
            return fmt::format("<method '{}' of '{}' objects>", d.function->name, d.function->owner);
        case DefinitionTag::SlotWrapper:
            if (d.owner < kBuiltinTypeCount)
                return fmt::format("<slot wrapper '{}' of '{}' objects>", dunder_name(DunderSlot(d.number)),
                                   builtin_type_name(d.owner));
            return fmt::format("<slot wrapper '{}'>", dunder_name(DunderSlot(d.number)));
        case DefinitionTag::NativeGetter:
            return fmt::format("<attribute '{}' of '{}' objects>", d.getter->name, d.getter->owner);
        case DefinitionTag::BuiltinType: return fmt::format("<class '{}'>", builtin_type_name(d.number));
        case DefinitionTag::ValueKind: return fmt::format("<class '{}'>", d.value_kind->name);
        case DefinitionTag::ExceptionType: {
            const ExceptionClassRow* row = exception_class_by_name(d.name);
            if (row && row->module != "builtins") return fmt::format("<class '{}.{}'>", row->module, d.name);
            return fmt::format("<class '{}'>", d.name);
        }
        case DefinitionTag::Ellipsis: return "Ellipsis";
        case DefinitionTag::NotImplemented: return "NotImplemented";
        default: (void)types; return "<native object>";
    }
}

PyResult<std::string> int_text(const BigInt& b) {
    if (py_int_exceeds_str_digits(b)) return fail(int_str_digits_limit(kMaxIntStrDigits));
    return b.to_decimal();
}

// Builtin forms of heap objects other than the containers.
PyResult<std::string> heap_builtin_repr(RuntimeContext& ctx, Value v, const HeapSlot& slot, std::uint32_t id,
                                        ReprVisited& visited) {
    Heap& heap = ctx.heap;
    const HeapObject& o = slot.object;
    switch (slot.kind()) {
        case HeapObjectKind::Str: return py_str_repr(std::get<HeapStr>(o).text);
        case HeapObjectKind::Bytes: return py_bytes_repr(std::get<BytesPayload>(o).bytes);
        case HeapObjectKind::ByteArray: return "bytearray(" + py_bytes_repr(std::get<ByteArrayPayload>(o).bytes) + ")";
        case HeapObjectKind::BigInt: return int_text(*std::get<BigIntPayload>(o).value);
        case HeapObjectKind::Float: return py_float_repr(std::get<FloatPayload>(o).value);
        case HeapObjectKind::Complex: {
            const auto& c = std::get<ComplexPayload>(o);
            return py_complex_repr(c.real, c.imag);
        }
        case HeapObjectKind::Range: {
            const auto& r = std::get<RangePayload>(o);
            if (r.step == 1 && r.start == 0) return fmt::format("range({})", r.stop);
            if (r.step == 1) return fmt::format("range({}, {})", r.start, r.stop);
            return fmt::format("range({}, {}, {})", r.start, r.stop, r.step);
        }
        case HeapObjectKind::Function: return fmt::format("<function {}>", std::get<FunctionPayload>(o).record->name);
        case HeapObjectKind::Class: return class_repr(heap, *std::get<ClassPayload>(o).record);
        case HeapObjectKind::BoundMethod: return std::string("<bound method>");
        case HeapObjectKind::CallableIterator: return std::string("<callable_iterator>");
        case HeapObjectKind::Generator: return std::string("<generator>");
        case HeapObjectKind::ValuesIterator:
        case HeapObjectKind::SequenceIterator:
        case HeapObjectKind::ReversedIterator:
        case HeapObjectKind::RangeIterator:
        case HeapObjectKind::CountIterator:
        case HeapObjectKind::StreamIterator: return std::string("<iterator>");
        case HeapObjectKind::Module: return fmt::format("<module '{}'>", std::get<ModulePayload>(o).name);
        case HeapObjectKind::Namespace: return std::string("<scope>");
        case HeapObjectKind::DictView: return std::string("<dict view>");
        case HeapObjectKind::Property: return std::string("<property>");
        case HeapObjectKind::StaticMethod: return std::string("<staticmethod>");
        case HeapObjectKind::ClassMethod: return std::string("<classmethod>");
        case HeapObjectKind::Super: return std::string("<super>");
        case HeapObjectKind::MappingProxy: return std::string("mappingproxy(...)");
        case HeapObjectKind::Registered: return std::string("<value>");
        case HeapObjectKind::NativeObject: return std::string("<native object>");
        case HeapObjectKind::Free: return fail(PyError::unsupported(Heap::stale_reference_message()));
        default: break;
    }
    // The kinds that hold further values: exceptions, slices, generic aliases, namespace dicts
    // and instances.
    if (visited.contains(id)) return std::string(cycle_marker(slot.kind()));
    TRY_DO(visited.enter(id));
    NativeCallScope scope(ctx);
    RuntimeContext& c = scope.context;
    auto join = [&](const std::vector<Value>& items) -> PyResult<std::string> {
        for (const Value& x : items) c.heap.push_root(x);
        std::string out;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (i) out += ", ";
            TRY_ASSIGN(text, py_repr_guarded(c, items[i], visited));
            out += text;
        }
        return out;
    };
    auto body = [&]() -> PyResult<std::string> {
        switch (slot.kind()) {
            case HeapObjectKind::Exception: {
                TRY_ASSIGN(name, py_type_name(c.heap, types_of(c), v));
                TRY_ASSIGN(args, join(std::get<ExceptionPayload>(o).args));
                return name + "(" + args + ")";
            }
            case HeapObjectKind::Slice: {
                const auto& s = std::get<SlicePayload>(o);
                TRY_ASSIGN(args, join({s.start, s.stop, s.step}));
                return "slice(" + args + ")";
            }
            case HeapObjectKind::GenericAlias: {
                const auto& g = std::get<GenericAliasPayload>(o);
                std::vector<Value> parts{g.origin};
                parts.insert(parts.end(), g.args.begin(), g.args.end());
                for (const Value& x : parts) c.heap.push_root(x);
                std::string out;
                for (std::size_t i = 0; i < parts.size(); ++i) {
                    std::string text;
                    if (auto d = decode_native_handle(parts[i]); d && d->tag == DefinitionTag::BuiltinType) {
                        text = builtin_type_name(d->number);
                    } else if (const HeapSlot* ps = c.heap.get_if_object(parts[i]);
                               ps && ps->kind() == HeapObjectKind::Class) {
                        text = std::get<ClassPayload>(ps->object).record->name;
                    } else {
                        TRY_ASSIGN(r, py_repr_guarded(c, parts[i], visited));
                        text = std::move(r);
                    }
                    out += i == 0 ? text + "[" : (i > 1 ? ", " : "") + text;
                }
                return out + "]";
            }
            case HeapObjectKind::NamespaceDict: {
                TRY_ASSIGN(entries, namespace_dict_entries(c, std::get<NamespaceDictPayload>(o).namespace_));
                return named_entries_repr(c, entries, visited, py_repr_guarded);
            }
            default: {  // instances
                if (slot.type_id == type_id(BuiltinType::Object))
                    return fmt::format("<object object at {:#x}>", heap_object_address(v));
                TRY_ASSIGN(rec, types_of(c).get(slot.type_id));
                if (rec->origin == TypeOrigin::Program && rec->class_value.is_absent())
                    return fail(PyError::unsupported("instance has an invalid class"));
                return fmt::format("<{} object>", rec->name);
            }
        }
    };
    auto text = body();
    visited.leave(id);
    return text;
}

}  // namespace

bool ReprVisited::contains(std::uint32_t id) const { return std::find(ids.begin(), ids.end(), id) != ids.end(); }

PyStatus ReprVisited::enter(std::uint32_t id) {
    if (ids.size() >= kMaxReprDepth) return fail(recursion_error());
    ids.push_back(id);
    return {};
}

void ReprVisited::leave(std::uint32_t id) {
    auto it = std::find(ids.begin(), ids.end(), id);
    if (it != ids.end()) ids.erase(it);
}

std::uint64_t heap_object_address(Value v) { return kAddressBase + 16 * (std::uint64_t(v.handle().index) + 1); }

std::string py_bytes_repr(std::string_view bytes) { return py_quote_text(bytes, true); }

PyResult<std::string> py_repr(RuntimeContext& ctx, Value v) {
    ReprVisited visited;
    return py_repr_nested(ctx, v, visited);
}

PyResult<std::string> py_repr_nested(RuntimeContext& ctx, Value v, ReprVisited& visited) {
    return tw::with_stack_headroom([&] { return py_repr_dispatch(ctx, v, visited); });
}

PyResult<std::string> py_repr_dispatch(RuntimeContext& ctx, Value v, ReprVisited& visited) {
    TRY_ASSIGN(t, py_type_id_of(ctx.heap, types_of(ctx), v));
    TRY_ASSIGN(entry, types_of(ctx).slot(t, DunderSlot::Repr));
    if (!entry || entry->kind == SlotKind::BuiltinRepr) return py_container_repr(ctx, v, visited);
    NativeCallScope scope(ctx);
    TRY_ASSIGN(result, invoke_slot(scope.context, v, DunderSlot::Repr));
    if (!result) return py_container_repr(ctx, v, visited);
    TRY_ASSIGN(text, value_to_owned_string(ctx.heap, *result));
    if (!text) return fail(PyError::unsupported("__repr__ should return str"));
    return std::move(*text);
}

PyResult<std::string> py_container_repr(RuntimeContext& ctx, Value v, ReprVisited& visited) {
    Heap& heap = ctx.heap;
    if (v.is_object()) {
        TRY_ASSIGN(slot, heap.get(v));
        const std::uint32_t id = v.handle().index + 1;
        if (slot->kind() == HeapObjectKind::Object) {
            TRY_ASSIGN(rec, types_of(ctx).get(slot->type_id));
            if (rec->origin == TypeOrigin::Program) return py_default_object_repr(ctx, v);
        }
        switch (slot->kind()) {
            case HeapObjectKind::NamespaceDict: {
                if (visited.contains(id)) return std::string("{...}");
                TRY_DO(visited.enter(id));
                auto entries = namespace_dict_entries(ctx, std::get<NamespaceDictPayload>(slot->object).namespace_);
                auto text = entries ? named_entries_repr(ctx, *entries, visited, py_repr_nested)
                                    : PyResult<std::string>(fail(std::move(entries.error())));
                visited.leave(id);
                return text;
            }
            case HeapObjectKind::MappingProxy: {
                if (visited.contains(id)) return std::string("...");
                TRY_DO(visited.enter(id));
                auto entries = proxy_entries(ctx, std::get<MappingProxyPayload>(slot->object));
                auto text = entries ? named_entries_repr(ctx, *entries, visited, py_repr_nested)
                                    : PyResult<std::string>(fail(std::move(entries.error())));
                visited.leave(id);
                if (!text) return text;
                return "mappingproxy(" + *text + ")";
            }
            case HeapObjectKind::DictView: {
                if (visited.contains(id)) return std::string("...");
                const DictViewPayload view = std::get<DictViewPayload>(slot->object);
                TRY_DO(visited.enter(id));
                NativeCallScope scope(ctx);
                RuntimeContext& c = scope.context;
                auto body = [&]() -> PyResult<std::string> {
                    TRY_ASSIGN(items, py_mapping_items(c, view.mapping));
                    if (!items) return fail(PyError::unsupported("a dict view needs a mapping"));
                    TRY_DO(python_charge_work(meter_of(c), items->size()));
                    std::string out;
                    for (std::size_t i = 0; i < items->size(); ++i) {
                        if (i) out += ", ";
                        const auto& [key, value] = (*items)[i];
                        if (view.sub_kind == 2) {
                            TRY_ASSIGN(k, py_repr_nested(c, key, visited));
                            TRY_ASSIGN(x, py_repr_nested(c, value, visited));
                            out += "(" + k + ", " + x + ")";
                        } else {
                            TRY_ASSIGN(x, py_repr_nested(c, view.sub_kind == 1 ? value : key, visited));
                            out += x;
                        }
                    }
                    const char* name = view.sub_kind == 0 ? "dict_keys" : view.sub_kind == 1 ? "dict_values" : "dict_items";
                    return fmt::format("{}([{}])", name, out);
                };
                auto text = body();
                visited.leave(id);
                return text;
            }
            default: break;
        }
        if (is_container(slot->kind())) return sequence_repr(ctx, v, *slot, id, visited, py_repr_nested);
    }
    if (const HeapSlot* slot = heap.get_if_object(v))
        if (auto* b = std::get_if<BigIntPayload>(&slot->object); b && py_int_exceeds_str_digits(*b->value))
            return fail(int_str_digits_limit(kMaxIntStrDigits));
    return py_repr_fresh(ctx, v);
}

PyResult<std::string> py_repr_fresh(RuntimeContext& ctx, Value v) {
    ReprVisited visited;
    return py_repr_guarded(ctx, v, visited);
}

PyResult<std::string> py_repr_guarded(RuntimeContext& ctx, Value v, ReprVisited& visited) {
    return tw::with_stack_headroom([&]() -> PyResult<std::string> {
        switch (Tag(v.tag())) {
            case Tag::Int: return std::to_string(v.as_int());
            case Tag::Float: return py_float_repr(v.as_float());
            case Tag::Bool: return std::string(v.as_bool() ? "True" : "False");
            case Tag::None: return std::string("None");
            case Tag::Native: {
                auto d = decode_native_handle(v);
                if (!d) return fail(PyError::unsupported("invalid Python value tag"));
                return native_handle_repr(types_of(ctx), *d);
            }
            case Tag::Object: {
                TRY_ASSIGN(slot, ctx.heap.get(v));
                const std::uint32_t id = v.handle().index + 1;
                if (is_container(slot->kind())) return sequence_repr(ctx, v, *slot, id, visited, py_repr_guarded);
                return heap_builtin_repr(ctx, v, *slot, id, visited);
            }
            default:
                if (v.is_inline_str()) return py_str_repr(v.inline_str());
                return fail(PyError::unsupported("invalid Python value tag"));
        }
    });
}

PyResult<std::string> py_default_object_repr(RuntimeContext& ctx, Value v) {
    TRY_ASSIGN(name, py_type_name(ctx.heap, types_of(ctx), v));
    if (const HeapSlot* slot = ctx.heap.get_if_object(v)) {
        TRY_ASSIGN(rec, types_of(ctx).get(slot->type_id));
        if (rec->origin == TypeOrigin::Program && rec->class_value.is_present())
            if (const HeapSlot* cs = ctx.heap.get_if_object(rec->class_value); cs && cs->kind() == HeapObjectKind::Class)
                if (auto module = class_module(ctx.heap, *std::get<ClassPayload>(cs->object).record);
                    module && *module != "builtins")
                    name = *module + "." + name;
        return fmt::format("<{} object at {:#x}>", name, heap_object_address(v));
    }
    return fmt::format("<{} object at {:#x}>", name, kAddressBase);
}

PyResult<std::optional<std::vector<std::pair<Value, Value>>>> py_mapping_items(RuntimeContext& ctx, Value v) {
    using Items = std::vector<std::pair<Value, Value>>;
    Heap& heap = ctx.heap;
    const HeapSlot* slot = heap.get_if_object(v);
    if (!slot) return std::optional<Items>();
    Items out;
    if (const DictTable* d = dict_table_of(const_cast<HeapObject&>(slot->object))) {
        TRY_DO(python_charge_work(meter_of(ctx), d->live_count));
        d->for_each_live([&](const DictSlot& s) { out.emplace_back(s.key, s.value); });
        for (const auto& [k, x] : out) heap.push_root(k), heap.push_root(x);
        return std::optional(std::move(out));
    }
    std::vector<std::pair<std::string, Value>> named;
    if (auto* p = std::get_if<MappingProxyPayload>(&slot->object)) {
        TRY_ASSIGN(entries, proxy_entries(ctx, *p));
        named = std::move(entries);
    } else if (auto* n = std::get_if<NamespaceDictPayload>(&slot->object)) {
        TRY_ASSIGN(entries, namespace_dict_entries(ctx, n->namespace_));
        named = std::move(entries);
    } else {
        return std::optional<Items>();
    }
    for (auto& [name, x] : named) {
        heap.push_root(x);
        TRY_ASSIGN(key, new_str(heap, std::move(name), ctx.roots, meter_of(ctx)));
        out.emplace_back(key, x);
    }
    return std::optional(std::move(out));
}

}  // namespace tw::py
