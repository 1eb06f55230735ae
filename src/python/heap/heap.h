// The Python heap: a flat vector of slots addressed by (index, generation) handles, a free list
// reused last-in first-out, modeled object sizes charged to the machine's memory budget (and one
// CPU unit per 64 bytes), and a two-generation tracing collector triggered only by allocation and
// growth. One heap belongs to one Python program; it deep-copies with the machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "python/heap/code_table.h"
#include "python/heap/error.h"
#include "python/heap/namespace.h"
#include "python/heap/object.h"
#include "python/heap/shapes.h"
#include "python/heap/type_id.h"
#include "python/heap/value.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

// Attributes set on an object outside its payload: shaped (a list of Values laid out by a
// shared shape of the heap's shape table) or, after a 33rd attribute or any removal, a dictionary
// namespace of its own. Dictionary storage never goes back to shaped. Read and change it only
// through objects/instance.h (instance_get_attr, instance_store_attr, instance_remove_attr,
// instance_attributes), which keep the shapes and the modeled sizes right.
struct AttributeStore {
    std::uint32_t shape = 0;
    bool dictionary = false;
    std::vector<Value> shaped_values;
    Namespace dict;
    // The object's last `__dict__` mapping, so that repeated reads give the same object while it
    // lives. Not traced: a collected mapping leaves a handle that no longer resolves.
    Value dict_mapping;
};

struct HeapSlot {
    static constexpr std::uint32_t kGenerationMask = (1u << 29) - 1;
    static constexpr std::uint32_t kRemembered = 1u << 29;
    static constexpr std::uint32_t kMark = 1u << 30;
    static constexpr std::uint32_t kYoung = 1u << 31;

    HeapObject object{FreeSlot{}};
    Box<AttributeStore> attributes;
    std::uint64_t modeled_size = 0;
    TypeId type_id = 0;
    std::uint32_t flags = 0;  // bits 0..28 generation, 29 remembered, 30 mark, 31 young

    HeapObjectKind kind() const { return kind_of(object); }
    bool is_free() const { return object.index() == 39; }
    std::uint32_t generation() const { return flags & kGenerationMask; }
    bool young() const { return flags & kYoung; }
};

// Supplies the roots beyond the scoped root stack (the interpreter's execution state, caches,
// the type registry, the module table) to a collection.
struct RootSource {
    virtual void visit_roots(ValueVisitor& v) = 0;

protected:
    ~RootSource() = default;
};

// The memory thresholds of a memory limit.
struct GcLimits {
    std::uint64_t young_limit;  // min(4 MiB, max(256 KiB, L / 16))
    std::uint64_t full_floor;   // min(32 MiB, max(1 MiB, L / 8))
};
GcLimits gc_limits(std::uint64_t memory_limit);

class Heap {
public:
    // Live handles held outside heap payloads by native code and the interpreter.
    static constexpr std::size_t kMaxScopedRoots = std::size_t(1) << 27;
    static constexpr std::size_t kMaxRegisteredKinds = 256;
    static constexpr std::size_t kMaxModules = std::size_t(1) << 16;

    Heap() = default;

    // ---- allocation -------------------------------------------------------------------------
    // Allocates with the kind's default type identity; the handle is pushed on the scoped root
    // stack. `roots` may be null (only the scoped root stack and the payload are roots then).
    PyResult<Value> allocate_object(HeapObject payload, RootSource* roots, ResourceMeter& meter);
    // Allocates with an explicit type identity.
    PyResult<Value> insert_object(TypeId type, HeapObject payload, RootSource* roots, ResourceMeter& meter);
    // The fixed type of a payload kind; a Class takes its metaclass's identity.
    PyResult<TypeId> default_type_id(const HeapObject& payload) const;
    // Collection triggers and the memory charge for `bytes` more; `pending` (may be null) is
    // a payload not yet in the heap whose Values are roots.
    PyStatus reserve_memory(std::uint64_t bytes, const HeapObject* pending, RootSource* roots,
                            ResourceMeter& meter);
    // Grows an object's modeled size by `growth` bytes, charged before the caller changes the
    // object: "modeled object size overflow", "modeled heap size overflow", "memory limit exceeded".
    PyStatus update_object_size(Value object, std::uint64_t growth, RootSource* roots, ResourceMeter& meter);
    // Shrinks an object's modeled size and gives the bytes back to the meter; a recorded size
    // below `bytes` is the broken invariant "modeled object size underflow".
    void shrink_object_size(Value object, std::uint64_t bytes, ResourceMeter& meter);
    static PyStatus charge_object_cpu(std::uint64_t bytes, ResourceMeter& meter);

    // ---- access -------------------------------------------------------------------------------
    // "expected a heap object", "stale reference to a freed object".
    PyResult<const HeapSlot*> get(const Value& v) const;
    // Resolves like `get` and applies the write barrier; every mutation goes through here.
    PyResult<HeapSlot*> slot_mut(const Value& v);
    const HeapSlot* get_if_object(const Value& v) const;
    // The slot of a live handle, or null; no barrier.
    const HeapSlot* resolve(Handle h) const {
        if (h.index >= slots_.size()) return nullptr;
        const HeapSlot& s = slots_[h.index];
        if (s.is_free() || s.generation() != h.generation) return nullptr;
        return &s;
    }
    // `slot_mut` of a slot `resolve` has just found live, with the same write barrier.
    HeapSlot& slot_mut_resolved(const HeapSlot* live) {
        HeapSlot& s = const_cast<HeapSlot&>(*live);
        if ((s.flags & (HeapSlot::kYoung | HeapSlot::kRemembered)) == 0) [[unlikely]] {
            s.flags |= HeapSlot::kRemembered;
            remembered_list_.push_back(std::uint32_t(live - slots_.data()));
        }
        return s;
    }
    PyResult<TypeId> type_id_of(const Value& v) const;
    // The slot index + 1 of a heap object; none for other values.
    PyResult<std::optional<std::uint32_t>> object_identity(const Value& v) const;
    // "stale reference to a freed object"
    static std::string stale_reference_message() { return "stale reference to a freed object"; }

    // ---- the scoped root stack ---------------------------------------------------------------
    void push_root(const Value& v) {
        if (v.is_object()) push_root_handle(v.handle());
    }
    void push_root_handle(Handle h);
    std::size_t root_depth() const { return scoped_roots_.size(); }
    // Truncates the stack to `depth` and refunds the native charges recorded deeper.
    void truncate_roots(std::size_t depth, ResourceMeter& meter);
    // A native allocation to be refunded when the scope at the current depth ends.
    void record_native_charge(std::uint64_t bytes);
    // A copy of a Value for use outside the heap: heap handles are pushed on the root stack.
    Value clone_value(const Value& v) {
        push_root(v);
        return v;
    }

    // ---- collection ---------------------------------------------------------------------------
    PyStatus collect_young(RootSource* roots, const HeapObject* pending, ResourceMeter& meter);
    // The freed bytes.
    PyResult<std::uint64_t> collect_full(RootSource* roots, const HeapObject* pending, ResourceMeter& meter);
    // Frees one slot; its freed bytes (0 for a free slot). Does not touch the counters.
    std::uint64_t free_slot(std::uint32_t index);
    void release_generation_bytes(std::uint32_t index, std::uint64_t bytes);

    // ---- registered native kinds ----------------------------------------------------------------
    // The kind number of an identity word, registering it when new; none when the table is full.
    std::optional<std::uint8_t> register_kind(std::uint64_t identity);
    const std::vector<std::uint64_t>& registered_kinds() const { return registered_kinds_; }

    // ---- module table -------------------------------------------------------------------------
    std::optional<Value> find_module(std::string_view name);
    // Stores a module under its name, giving the value it replaces; "too many Python modules" past
    // the table's maximum.
    PyResult<std::optional<Value>> insert_module(std::string name, Value module);
    std::optional<Value> remove_module(std::string_view name);
    const std::unordered_map<std::string, Value>& modules() const { return modules_; }

    Symbols symbols;
    CodeTable code_table;
    ShapeTable shapes;

    // ---- statistics ---------------------------------------------------------------------------
    std::size_t slot_count() const { return slots_.size(); }
    std::size_t live_count() const { return slots_.size() - free_list_.size(); }
    const HeapSlot& slot_at(std::uint32_t i) const { return slots_[i]; }
    std::uint64_t total_bytes() const { return total_bytes_; }
    std::uint64_t young_bytes() const { return young_bytes_; }
    std::uint64_t old_bytes() const { return old_bytes_; }
    std::uint64_t next_full_threshold() const { return next_full_threshold_; }
    std::uint64_t young_collections() const { return young_collections_; }
    std::uint64_t full_collections() const { return full_collections_; }
    std::uint64_t promoted_objects() const { return promoted_objects_; }

private:
    struct FreeEntry {
        std::uint32_t index;
        std::uint32_t generation;
    };
    struct NativeCharge {
        std::size_t depth;
        std::uint64_t bytes;
    };
    template <bool Young>
    class Marker;
    template <bool Young>
    PyStatus mark_from_roots(Marker<Young>& m, RootSource* roots, const HeapObject* pending, bool remembered);

    std::vector<HeapSlot> slots_;
    std::vector<FreeEntry> free_list_;
    std::vector<std::uint32_t> young_list_;
    std::vector<std::uint32_t> remembered_list_;
    std::uint64_t young_bytes_ = 0;
    std::uint64_t old_bytes_ = 0;
    std::uint64_t next_full_threshold_ = 0;
    std::vector<std::uint64_t> scoped_roots_;
    std::vector<NativeCharge> native_charges_;
    std::uint64_t total_bytes_ = 0;
    std::uint64_t young_collections_ = 0;
    std::uint64_t full_collections_ = 0;
    std::uint64_t promoted_objects_ = 0;
    std::vector<std::uint64_t> registered_kinds_;
    std::unordered_map<std::string, Value> modules_;
};

// A payload's deep copy: owned texts, vectors and boxed records are duplicated, Values are copied
// bit for bit (handles keep their index and generation).
inline HeapObject clone_payload(const HeapObject& o) { return o; }

// The handle of an Object value, else "expected a heap object".
PyResult<Handle> value_expect_heap_handle(const Value& v);
// The list or tuple behind a handle with its elements; "sequence handle changed object kind".
PyResult<const std::vector<Value>*> expect_sequence(const Heap& heap, const Value& v);
// The modeled size recorded for an object.
PyResult<std::uint64_t> modeled_size_of(const Heap& heap, const Value& v);
// A size computed with overflow detection: the size, or "modeled object size overflow".
PyResult<std::uint64_t> expect_object_size(std::optional<std::uint64_t> size);
// Charges moving `count` value slots: count x 24 bytes at one work unit per 64 bytes.
PyStatus python_charge_value_slots(ResourceMeter& meter, std::uint64_t count);

// The next live (key, value) of a dict at or after `position` (advanced past it), both pushed on
// the scoped root stack; none at the end or when the handle no longer names a dict.
std::optional<std::pair<Value, Value>> mapping_next_item_cloned(Heap& heap, const Value& dict,
                                                                std::uint64_t& position);
// The next live key of a dict, or element of a set, pushed on the scoped root stack.
std::optional<Value> mapping_next_key_cloned(Heap& heap, const Value& mapping, std::uint64_t& position);

// A BoundMethod with no function, the receiver and the native method's handle.
PyResult<Value> new_bound_method(Heap& heap, RootSource* roots, ResourceMeter& meter, Value receiver,
                                 Value native_method);

// The str value of a text: inline when it has at most 15 bytes, else a heap Str.
PyResult<Value> new_str(Heap& heap, std::string text, RootSource* roots, ResourceMeter& meter);

// What a str value reads as: its bytes (inline or heap), or nothing for other values; a stale
// handle is an error. The view lives as long as `v` and the heap object.
PyResult<std::optional<std::string_view>> str_view(const Heap& heap, const Value& v);

}  // namespace tw::py
