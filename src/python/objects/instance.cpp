#include "python/objects/instance.h"

#include "base/sat.h"
#include "python/heap/heap.h"

namespace tw::py {

namespace {

// Converts shaped storage to a dictionary namespace, charging 32 bytes per shaped attribute plus
// `extra`; a refused charge leaves the storage shaped.
PyStatus convert_to_dictionary(StoreContext sc, const Value& obj, std::uint64_t extra) {
    auto slot = sc.heap.get(obj);
    if (!slot) return fail(std::move(slot.error()));
    const AttributeStore& store = *(*slot)->attributes;
    const std::uint64_t n = store.shaped_values.size();
    auto symbols = sc.heap.shapes.slot_symbols(store.shape);
    if (!symbols) return fail(std::move(symbols.error()));
    if (symbols->size() < n) return fail(PyError::unsupported("invalid instance shape slot"));
    const std::uint64_t growth = sat_add(sat_mul(kConvertedAttributeBytes, n), extra);
    if (auto r = sc.heap.update_object_size(obj, growth, sc.roots, sc.meter); !r) return r;
    auto mut = sc.heap.slot_mut(obj);
    if (!mut) return fail(std::move(mut.error()));
    AttributeStore& s = *(*mut)->attributes;
    Namespace ns;
    for (std::size_t i = 0; i < s.shaped_values.size(); ++i) {
        if (s.shaped_values[i].is_absent()) break;
        ns.insert((*symbols)[i], s.shaped_values[i]);
    }
    s.shaped_values.clear();
    s.shaped_values.shrink_to_fit();
    s.dict = std::move(ns);
    s.dictionary = true;
    s.shape = 0;
    return {};
}

}  // namespace

PyResult<std::optional<Value>> instance_get_attr(const Heap& heap, const Value& obj, Symbol symbol) {
    auto slot = heap.get(obj);
    if (!slot) return fail(std::move(slot.error()));
    const AttributeStore* store = (*slot)->attributes.get();
    if (!store) return std::optional<Value>();
    if (store->dictionary) {
        const Value* v = store->dict.get(symbol);
        return v ? std::optional<Value>(*v) : std::nullopt;
    }
    auto pos = heap.shapes.slot_of(store->shape, symbol);
    if (!pos || *pos >= store->shaped_values.size()) return std::optional<Value>();
    return std::optional<Value>(store->shaped_values[*pos]);
}

PyStatus instance_store_attr(StoreContext sc, const Value& obj, Symbol symbol, const Value& value) {
    auto slot = sc.heap.get(obj);
    if (!slot) return fail(std::move(slot.error()));
    const AttributeStore* store = (*slot)->attributes.get();
    if (store && store->dictionary) {
        if (!store->dict.index_of(symbol)) {
            if (auto r = sc.heap.update_object_size(obj, kAttributeEntryBytes, sc.roots, sc.meter); !r) return r;
        }
        auto mut = sc.heap.slot_mut(obj);
        if (!mut) return fail(std::move(mut.error()));
        (*mut)->attributes->dict.insert(symbol, value);
        return {};
    }
    const std::uint32_t shape = store ? store->shape : 0;
    if (store) {
        if (auto pos = sc.heap.shapes.slot_of(shape, symbol); pos && *pos < store->shaped_values.size()) {
            auto mut = sc.heap.slot_mut(obj);
            if (!mut) return fail(std::move(mut.error()));
            (*mut)->attributes->shaped_values[*pos] = value;
            return {};
        }
        if (store->shaped_values.size() >= kMaxShapedAttributes) {
            if (auto r = convert_to_dictionary(sc, obj, kAttributeEntryBytes); !r) return r;
            auto mut = sc.heap.slot_mut(obj);
            if (!mut) return fail(std::move(mut.error()));
            (*mut)->attributes->dict.insert(symbol, value);
            return {};
        }
    }
    const std::uint64_t growth = store ? kShapedValueBytes : kFirstAttributeBytes;
    if (auto r = sc.heap.update_object_size(obj, growth, sc.roots, sc.meter); !r) return r;
    auto target = sc.heap.shapes.child(shape, symbol, sc.meter);
    if (!target) {
        // No shape was made: the object's growth is given back.
        sc.heap.shrink_object_size(obj, growth, sc.meter);
        return fail(std::move(target.error()));
    }
    auto mut = sc.heap.slot_mut(obj);
    if (!mut) return fail(std::move(mut.error()));
    if (!(*mut)->attributes) (*mut)->attributes = Box<AttributeStore>::make();
    AttributeStore& s = *(*mut)->attributes;
    s.shape = *target;
    s.shaped_values.push_back(value);
    return {};
}

PyResult<std::optional<Value>> instance_remove_attr(StoreContext sc, const Value& obj, Symbol symbol) {
    auto slot = sc.heap.get(obj);
    if (!slot) return fail(std::move(slot.error()));
    const AttributeStore* store = (*slot)->attributes.get();
    if (!store) return std::optional<Value>();
    if (!store->dictionary) {
        auto pos = sc.heap.shapes.slot_of(store->shape, symbol);
        if (!pos || *pos >= store->shaped_values.size()) return std::optional<Value>();
        if (auto r = convert_to_dictionary(sc, obj, 0); !r) return fail(std::move(r.error()));
    }
    auto mut = sc.heap.slot_mut(obj);
    if (!mut) return fail(std::move(mut.error()));
    return (*mut)->attributes->dict.remove(symbol);
}

PyResult<std::vector<NamespaceEntry>> instance_attributes(const Heap& heap, const Value& obj) {
    auto slot = heap.get(obj);
    if (!slot) return fail(std::move(slot.error()));
    const AttributeStore* store = (*slot)->attributes.get();
    std::vector<NamespaceEntry> out;
    if (!store) return out;
    if (store->dictionary) return store->dict.entries();
    auto symbols = heap.shapes.slot_symbols(store->shape);
    if (!symbols) return fail(std::move(symbols.error()));
    if (symbols->size() < store->shaped_values.size())
        return fail(PyError::unsupported("invalid instance shape slot"));
    out.reserve(store->shaped_values.size());
    for (std::size_t i = 0; i < store->shaped_values.size(); ++i) out.push_back({(*symbols)[i], store->shaped_values[i]});
    return out;
}

PyResult<std::vector<std::pair<std::string, Value>>> py_namespace_entries(const Heap& heap, const Value& obj) {
    auto entries = instance_attributes(heap, obj);
    if (!entries) return fail(std::move(entries.error()));
    std::vector<std::pair<std::string, Value>> out;
    out.reserve(entries->size());
    for (const NamespaceEntry& e : *entries) {
        if (e.symbol >= heap.symbols.size()) return fail(PyError::unsupported("invalid instance attribute symbol"));
        out.emplace_back(std::string(heap.symbols.name_of(e.symbol)), e.value);
    }
    return out;
}

PyStatus instance_replace_attributes(StoreContext sc, const Value& obj, const std::vector<NamespaceEntry>& entries) {
    auto slot = sc.heap.get(obj);
    if (!slot) return fail(std::move(slot.error()));
    const AttributeStore* store = (*slot)->attributes.get();
    // The charges of the removals (conversion of shaped attributes) and of the new entries.
    const std::uint64_t converted = store && !store->dictionary ? store->shaped_values.size() : 0;
    std::uint64_t growth = sat_add(sat_mul(kConvertedAttributeBytes, converted), sat_mul(kAttributeEntryBytes, entries.size()));
    Namespace fresh;
    for (const NamespaceEntry& e : entries) fresh.insert(e.symbol, e.value);
    if (!store && entries.empty()) return {};
    if (auto r = sc.heap.update_object_size(obj, growth, sc.roots, sc.meter); !r) return r;
    auto mut = sc.heap.slot_mut(obj);
    if (!mut) return fail(std::move(mut.error()));
    if (!(*mut)->attributes) (*mut)->attributes = Box<AttributeStore>::make();
    AttributeStore& s = *(*mut)->attributes;
    s.shaped_values.clear();
    s.shape = 0;
    s.dictionary = true;
    s.dict = std::move(fresh);
    return {};
}

}  // namespace tw::py
