#include "python/heap/shapes.h"

#include "kernel/meter.h"

namespace tw::py {

std::optional<std::uint32_t> ShapeTable::slot_of(std::uint32_t shape, Symbol symbol) const {
    // At most 32 records: a shaped object never holds more attributes.
    for (const ShapeRecord* r = record(shape); r && r->parent; r = record(*r->parent))
        if (r->attribute == symbol) return r->count - 1;
    return std::nullopt;
}

PyResult<std::uint32_t> ShapeTable::child(std::uint32_t shape, Symbol symbol, ResourceMeter& meter) {
    if (auto it = transitions_.find(key(shape, symbol)); it != transitions_.end()) return it->second;
    if (records_.size() >= (std::uint64_t(1) << 32)) return fail(PyError::unsupported("too many instance shapes"));
    const ShapeRecord* parent = record(shape);
    if (!parent) return fail(PyError::unsupported("invalid instance shape"));
    if (parent->count == UINT32_MAX) return fail(PyError::unsupported("too many shaped instance attributes"));
    std::uint64_t bytes;
    if (__builtin_add_overflow(modeled_bytes_, kShapeBytes, &bytes))
        return fail(PyError::unsupported("modeled shape table size overflow"));
    if (!meter.charge_memory(kShapeBytes)) return fail(PyError::resource(std::string(kMemoryLimitText)));
    const std::uint32_t id = std::uint32_t(records_.size());
    records_.push_back(ShapeRecord{shape, symbol, parent->count + 1});
    modeled_bytes_ = bytes;
    transitions_.emplace(key(shape, symbol), id);
    return id;
}

PyResult<std::vector<Symbol>> ShapeTable::slot_symbols(std::uint32_t shape) const {
    const ShapeRecord* top = record(shape);
    if (!top) return fail(PyError::unsupported("invalid instance shape slot"));
    std::vector<Symbol> out(top->count);
    std::vector<bool> seen(top->count, false);
    for (const ShapeRecord* r = top; r && r->parent; r = record(*r->parent)) {
        if (r->count == 0 || r->count > out.size() || !r->attribute) break;
        out[r->count - 1] = *r->attribute;
        seen[r->count - 1] = true;
    }
    for (bool s : seen)
        if (!s) return fail(PyError::unsupported("invalid instance shape slot"));
    return out;
}

}  // namespace tw::py
