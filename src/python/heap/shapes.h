// Shared instance shapes. An object with shaped attribute storage keeps only a list of values; its
// shape maps attribute symbols to positions in that list. Shapes form a tree rooted at shape 0
// (no attributes): each shape adds one symbol to its parent, and a transition index finds the
// child of (shape, symbol) in one lookup, so every object built by the same sequence of stores
// shares one layout. Shapes are never freed; the table only grows for the life of the heap.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/namespace.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

struct ShapeRecord {
    std::optional<std::uint32_t> parent;
    std::optional<Symbol> attribute;  // occupies slot count - 1
    std::uint32_t count = 0;
};

class ShapeTable {
public:
    static constexpr std::uint64_t kShapeBytes = 24;

    ShapeTable() : records_{ShapeRecord{}} {}

    const ShapeRecord* record(std::uint32_t shape) const {
        return shape < records_.size() ? &records_[shape] : nullptr;
    }
    // The slot of `symbol` in `shape`, walking toward the root; none when the shape lacks it.
    std::optional<std::uint32_t> slot_of(std::uint32_t shape, Symbol symbol) const;
    // The child of (shape, symbol), creating it when new: "too many instance shapes", "invalid
    // instance shape", "too many shaped instance attributes", "modeled shape table size overflow"
    // (Unsupported), "memory limit exceeded" (Resource; nothing is created).
    PyResult<std::uint32_t> child(std::uint32_t shape, Symbol symbol, ResourceMeter& meter);
    // The symbols of slots 0..count-1 of a shape; "invalid instance shape slot".
    PyResult<std::vector<Symbol>> slot_symbols(std::uint32_t shape) const;

    std::size_t size() const { return records_.size(); }
    std::uint64_t modeled_bytes() const { return modeled_bytes_; }

private:
    static std::uint64_t key(std::uint32_t shape, Symbol symbol) { return std::uint64_t(shape) << 32 | symbol; }

    std::vector<ShapeRecord> records_;
    std::unordered_map<std::uint64_t, std::uint32_t> transitions_;
    std::uint64_t modeled_bytes_ = 0;
};

}  // namespace tw::py
