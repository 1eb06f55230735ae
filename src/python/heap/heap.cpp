#include "python/heap/heap.h"

#include <algorithm>

#include "base/panic.h"
#include "base/sat.h"
#include "kernel/meter.h"

namespace tw::py {

namespace {
constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * KiB;

PyError stale() { return PyError::unsupported(Heap::stale_reference_message()); }
}  // namespace

GcLimits gc_limits(std::uint64_t memory_limit) {
    return {std::min(4 * MiB, std::max(256 * KiB, memory_limit / 16)),
            std::min(32 * MiB, std::max(1 * MiB, memory_limit / 8))};
}

PyStatus Heap::charge_object_cpu(std::uint64_t bytes, ResourceMeter& meter) {
    if (!meter.charge_cpu(bytes / 64)) return fail(PyError::unsupported(std::string(kResourceLimitText)));
    return {};
}

PyResult<TypeId> Heap::default_type_id(const HeapObject& payload) const {
    static constexpr BuiltinType kDefaults[] = {
        BuiltinType::Object,       BuiltinType::String,       BuiltinType::Bytes,      BuiltinType::ByteArray,
        BuiltinType::Exception,    BuiltinType::List,         BuiltinType::Tuple,      BuiltinType::Slice,
        BuiltinType::Dict,         BuiltinType::Dict,         BuiltinType::Set,        BuiltinType::FrozenSet,
        BuiltinType::Int,          BuiltinType::Complex,      BuiltinType::Range,      BuiltinType::Float,
        BuiltinType::Function,     BuiltinType::Type,         BuiltinType::Function,   BuiltinType::GenericAlias,
        BuiltinType::Iterator,     BuiltinType::Iterator,     BuiltinType::Iterator,   BuiltinType::Iterator,
        BuiltinType::Iterator,     BuiltinType::Iterator,     BuiltinType::Iterator,   BuiltinType::Generator,
        BuiltinType::Module,       BuiltinType::Native,       BuiltinType::NamespaceDict, BuiltinType::DictKeys,
        BuiltinType::MappingProxy, BuiltinType::Object,       BuiltinType::Object,     BuiltinType::Property,
        BuiltinType::StaticMethod, BuiltinType::ClassMethod,  BuiltinType::Native,
    };
    switch (kind_of(payload)) {
        case HeapObjectKind::Class: {
            const Value& meta = std::get<ClassPayload>(payload).record->metaclass;
            if (meta.is_native() && meta.native_kind() == NativeKind::BuiltinType) return TypeId(meta.native_index());
            if (meta.is_object()) {
                auto slot = get(meta);
                if (!slot) return fail(std::move(slot.error()));
                if (auto* c = std::get_if<ClassPayload>(&(*slot)->object)) return c->record->type_id;
                return fail(PyError::unsupported("class metaclass is not a class"));
            }
            return fail(PyError::unsupported("class has an invalid metaclass"));
        }
        case HeapObjectKind::DictView:
            return type_id(BuiltinType::DictKeys) + std::get<DictViewPayload>(payload).sub_kind;
        case HeapObjectKind::Registered: return std::get<RegisteredPayload>(payload).type_id;
        case HeapObjectKind::NativeObject: return std::get<NativeObjectPayload>(payload).object->type_id();
        case HeapObjectKind::Free: panic("a free slot is no payload");
        default: return type_id(kDefaults[payload.index()]);
    }
}

PyResult<Value> Heap::allocate_object(HeapObject payload, RootSource* roots, ResourceMeter& meter) {
    auto type = default_type_id(payload);
    if (!type) return fail(std::move(type.error()));
    return insert_object(*type, std::move(payload), roots, meter);
}

PyResult<Value> Heap::insert_object(TypeId type, HeapObject payload, RootSource* roots, ResourceMeter& meter) {
    auto size = modeled_size(payload);
    if (!size) return fail(std::move(size.error()));
    if (auto r = charge_object_cpu(*size, meter); !r) return fail(std::move(r.error()));
    if (auto r = reserve_memory(*size, &payload, roots, meter); !r) return fail(std::move(r.error()));
    std::uint64_t total;
    if (__builtin_add_overflow(total_bytes_, *size, &total)) {
        meter.release_memory(*size);
        return fail(PyError::unsupported("modeled heap size overflow"));
    }
    std::uint32_t index, generation;
    if (!free_list_.empty()) {
        index = free_list_.back().index;
        generation = free_list_.back().generation;
        free_list_.pop_back();
    } else {
        if (slots_.size() > 0xFFFFFFFFull - 1) {
            meter.release_memory(*size);
            return fail(PyError::unsupported("too many Python objects"));
        }
        index = std::uint32_t(slots_.size());
        generation = 0;
        slots_.emplace_back();
    }
    total_bytes_ = total;
    young_bytes_ = sat_add(young_bytes_, *size);
    HeapSlot& s = slots_[index];
    s.object = std::move(payload);
    s.attributes.reset();
    s.modeled_size = *size;
    s.type_id = type;
    s.flags = generation | HeapSlot::kYoung;
    young_list_.push_back(index);
    Handle h{index, generation};
    push_root_handle(h);
    return Value::object(h);
}

PyStatus Heap::reserve_memory(std::uint64_t bytes, const HeapObject* pending, RootSource* roots,
                              ResourceMeter& meter) {
    const std::uint64_t limit = meter.limits().memory;
    const GcLimits g = gc_limits(limit);
    auto room = [&] { return sat_sub(limit, meter.memory_current()) >= bytes; };
    bool full_now = old_bytes_ >= std::max(next_full_threshold_, g.full_floor);
    if (full_now) {
        if (auto r = collect_full(roots, pending, meter); !r) return fail(std::move(r.error()));
        if (room() && meter.charge_memory(bytes)) return {};
    } else {
        if (sat_add(young_bytes_, bytes) > g.young_limit) {
            if (auto r = collect_young(roots, pending, meter); !r) return r;
        }
        if (room() && meter.charge_memory(bytes)) return {};
        if (auto r = collect_full(roots, pending, meter); !r) return fail(std::move(r.error()));
    }
    if (meter.charge_memory(bytes)) return {};
    return fail(PyError::resource(std::string(kMemoryLimitText)));
}

PyStatus Heap::update_object_size(Value object, std::uint64_t growth, RootSource* roots, ResourceMeter& meter) {
    {
        auto slot = get(object);
        if (!slot) return fail(std::move(slot.error()));
        std::uint64_t sum;
        if (__builtin_add_overflow((*slot)->modeled_size, growth, &sum))
            return fail(PyError::unsupported("modeled object size overflow"));
        if (__builtin_add_overflow(total_bytes_, growth, &sum))
            return fail(PyError::unsupported("modeled heap size overflow"));
    }
    if (auto r = reserve_memory(growth, nullptr, roots, meter); !r) return r;
    // A collection may have run: resolve again (the caller keeps the object rooted).
    auto slot = slot_mut(object);
    if (!slot) {
        meter.release_memory(growth);
        return fail(std::move(slot.error()));
    }
    (*slot)->modeled_size += growth;
    total_bytes_ += growth;
    if ((*slot)->young()) young_bytes_ = sat_add(young_bytes_, growth);
    else old_bytes_ = sat_add(old_bytes_, growth);
    return {};
}

void Heap::shrink_object_size(Value object, std::uint64_t bytes, ResourceMeter& meter) {
    const HeapSlot* slot = resolve(object.handle());
    expect(slot != nullptr, "shrinking object is live");
    expect(slot->modeled_size >= bytes, "modeled object size underflow");
    slots_[object.handle().index].modeled_size -= bytes;
    total_bytes_ = sat_sub(total_bytes_, bytes);
    release_generation_bytes(object.handle().index, bytes);
    meter.release_memory(bytes);
}

void Heap::release_generation_bytes(std::uint32_t index, std::uint64_t bytes) {
    if (index < slots_.size() && !slots_[index].is_free() && slots_[index].young())
        young_bytes_ = sat_sub(young_bytes_, bytes);
    else
        old_bytes_ = sat_sub(old_bytes_, bytes);
}

PyResult<const HeapSlot*> Heap::get(const Value& v) const {
    if (!v.is_object()) return fail(PyError::unsupported("expected a heap object"));
    if (const HeapSlot* s = resolve(v.handle())) return s;
    return fail(stale());
}

PyResult<HeapSlot*> Heap::slot_mut(const Value& v) {
    if (!v.is_object()) return fail(PyError::unsupported("expected a heap object"));
    const Handle h = v.handle();
    if (!resolve(h)) return fail(stale());
    HeapSlot& s = slots_[h.index];
    // The write barrier: an old object not yet remembered is recorded for the next young
    // collection.
    if ((s.flags & (HeapSlot::kYoung | HeapSlot::kRemembered)) == 0) [[unlikely]] {
        s.flags |= HeapSlot::kRemembered;
        remembered_list_.push_back(h.index);
    }
    return &s;
}

const HeapSlot* Heap::get_if_object(const Value& v) const { return v.is_object() ? resolve(v.handle()) : nullptr; }

PyResult<TypeId> Heap::type_id_of(const Value& v) const {
    auto s = get(v);
    if (!s) return fail(std::move(s.error()));
    return (*s)->type_id;
}

PyResult<std::optional<std::uint32_t>> Heap::object_identity(const Value& v) const {
    if (!v.is_object()) return std::optional<std::uint32_t>();
    if (!resolve(v.handle())) return fail(stale());
    if (v.handle().index == 0xFFFFFFFFu) return fail(PyError::unsupported("too many Python object identities"));
    return std::optional<std::uint32_t>(v.handle().index + 1);
}

void Heap::push_root_handle(Handle h) {
    expect(scoped_roots_.size() < kMaxScopedRoots, "scoped root stack limit");
    scoped_roots_.push_back(h.bits());
}

void Heap::truncate_roots(std::size_t depth, ResourceMeter& meter) {
    if (depth < scoped_roots_.size()) scoped_roots_.resize(depth);
    while (!native_charges_.empty() && native_charges_.back().depth >= depth) {
        meter.release_memory(native_charges_.back().bytes);
        native_charges_.pop_back();
    }
}

void Heap::record_native_charge(std::uint64_t bytes) {
    if (!native_charges_.empty() && native_charges_.back().depth == scoped_roots_.size())
        native_charges_.back().bytes = sat_add(native_charges_.back().bytes, bytes);
    else
        native_charges_.push_back({scoped_roots_.size(), bytes});
}

std::optional<std::uint8_t> Heap::register_kind(std::uint64_t identity) {
    for (std::size_t i = 0; i < registered_kinds_.size(); ++i)
        if (registered_kinds_[i] == identity) return std::uint8_t(i);
    if (registered_kinds_.size() >= kMaxRegisteredKinds) return std::nullopt;
    registered_kinds_.push_back(identity);
    return std::uint8_t(registered_kinds_.size() - 1);
}

std::optional<Value> Heap::find_module(std::string_view name) {
    auto it = modules_.find(std::string(name));
    if (it == modules_.end()) return std::nullopt;
    return clone_value(it->second);
}

PyResult<std::optional<Value>> Heap::insert_module(std::string name, Value module) {
    if (modules_.size() >= kMaxModules && !modules_.contains(name))
        return fail(PyError::unsupported("too many Python modules"));
    auto [it, inserted] = modules_.try_emplace(std::move(name), module);
    if (inserted) return std::optional<Value>();
    Value old = it->second;
    it->second = module;
    return std::optional(old);
}

std::optional<Value> Heap::remove_module(std::string_view name) {
    auto it = modules_.find(std::string(name));
    if (it == modules_.end()) return std::nullopt;
    Value old = it->second;
    modules_.erase(it);
    return old;
}

PyResult<Value> new_str(Heap& heap, std::string text, RootSource* roots, ResourceMeter& meter) {
    Value inline_value = Value::try_inline_str(text);
    if (inline_value.is_present()) return inline_value;
    return heap.allocate_object(HeapStr::make(std::move(text)), roots, meter);
}

PyResult<std::optional<std::string_view>> str_view(const Heap& heap, const Value& v) {
    if (v.is_inline_str()) return std::optional(v.inline_str());
    if (!v.is_object()) return std::optional<std::string_view>();
    auto s = heap.get(v);
    if (!s) return fail(std::move(s.error()));
    if (auto* str = std::get_if<HeapStr>(&(*s)->object)) return std::optional<std::string_view>(str->text);
    return std::optional<std::string_view>();
}

PyResult<Handle> value_expect_heap_handle(const Value& v) {
    if (!v.is_object()) return fail(PyError::unsupported("expected a heap object"));
    return v.handle();
}

PyResult<const std::vector<Value>*> expect_sequence(const Heap& heap, const Value& v) {
    auto s = heap.get(v);
    if (!s) return fail(std::move(s.error()));
    if (auto* l = std::get_if<ListPayload>(&(*s)->object)) return &l->items;
    if (auto* t = std::get_if<TuplePayload>(&(*s)->object)) return &t->items;
    return fail(PyError::unsupported("sequence handle changed object kind"));
}

PyResult<std::uint64_t> modeled_size_of(const Heap& heap, const Value& v) {
    auto s = heap.get(v);
    if (!s) return fail(std::move(s.error()));
    return (*s)->modeled_size;
}

PyResult<std::uint64_t> expect_object_size(std::optional<std::uint64_t> size) {
    if (!size) return fail(PyError::unsupported("modeled object size overflow"));
    return *size;
}

PyStatus python_charge_value_slots(ResourceMeter& meter, std::uint64_t count) {
    return Heap::charge_object_cpu(sat_mul(count, kValueSlotBytes), meter);
}

std::optional<std::pair<Value, Value>> mapping_next_item_cloned(Heap& heap, const Value& dict,
                                                                std::uint64_t& position) {
    const HeapSlot* s = heap.get_if_object(dict);
    if (!s) return std::nullopt;
    const DictTable* t = dict_table_of(const_cast<HeapObject&>(s->object));
    if (!t) return std::nullopt;
    auto i = t->next_live(position);
    if (!i) return std::nullopt;
    position = *i + 1;
    const DictSlot& slot = t->slots[*i];
    return std::pair(heap.clone_value(slot.key), heap.clone_value(slot.value));
}

std::optional<Value> mapping_next_key_cloned(Heap& heap, const Value& mapping, std::uint64_t& position) {
    const HeapSlot* s = heap.get_if_object(mapping);
    if (!s) return std::nullopt;
    HeapObject& o = const_cast<HeapObject&>(s->object);
    std::optional<std::uint64_t> i;
    Value key;
    if (const DictTable* t = dict_table_of(o)) {
        if ((i = t->next_live(position))) key = t->slots[*i].key;
    } else if (const SetTable* st = set_table_of(o)) {
        if ((i = st->next_live(position))) key = st->slots[*i].key;
    }
    if (!i) return std::nullopt;
    position = *i + 1;
    return heap.clone_value(key);
}

PyResult<Value> new_bound_method(Heap& heap, RootSource* roots, ResourceMeter& meter, Value receiver,
                                 Value native_method) {
    return heap.allocate_object(BoundMethodPayload{Value::absent(), receiver, native_method}, roots, meter);
}

}  // namespace tw::py
