// The heap's table of registered code objects. Every code object the compiler builds for a heap
// takes a slot here; its slot number is the code object's id, stable while it lives, so that
// per-code data (the attribute site cache) can be found from a code object. Slots are reclaimed
// in batches by a sweep that frees code objects nothing but the table refers to. The table's
// modeled size (32 bytes a slot, 48 per attribute cache entry) is charged to the memory budget.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "python/heap/error.h"

namespace tw {
class ResourceMeter;
struct CodeObject;
}  // namespace tw

namespace tw::py {

using tw::CodeObject;

// The attribute site cache of one code object: one entry per instruction, each 48 modeled
// bytes. Attribute access owns the entries; the table only accounts for them.
struct AttributeSiteCache {
    std::uint64_t entry_count = 0;
};

struct CodeTableSlot {
    std::shared_ptr<const CodeObject> code;  // null: a free slot
    std::optional<AttributeSiteCache> cache;

    bool is_free() const { return code == nullptr; }
    // 32 bytes, plus 48 per cache entry.
    std::uint64_t modeled_size() const;
};

class CodeTable {
public:
    static constexpr std::uint64_t kSlotBytes = 32;
    static constexpr std::uint64_t kCacheEntryBytes = 48;
    static constexpr std::uint64_t kMinSweepThreshold = 64;
    // Slot numbers stay below the all-ones id that marks a failed registration.
    static constexpr std::uint64_t kMaxSlots = 0xFFFFFFFFu;

    std::vector<CodeTableSlot> slots;
    std::vector<std::uint32_t> free_ids;    // reused last freed first
    std::vector<std::uint32_t> cached_ids;  // slots that carry an attribute site cache
    std::uint64_t live = 0;
    std::uint64_t next_sweep = 0;
    std::uint64_t modeled_size = 0;

    // Adds `bytes` to the modeled size and charges them: "modeled code table size overflow"
    // (Unsupported), "memory limit exceeded" (Resource); nothing changes on failure.
    PyStatus charge_size(std::uint64_t bytes, ResourceMeter& meter);

    // Takes a slot for a new code object: sweeps when `live` reaches max(64, `next_sweep`),
    // charges the slot's 32 bytes, then reuses the most recently freed slot or appends one
    // ("too many code objects"). The slot stays free until `store`.
    PyResult<std::uint32_t> reserve(ResourceMeter& meter);
    // Puts a code object into the slot `reserve` gave, without a cache.
    void store(std::uint32_t id, std::shared_ptr<const CodeObject> code);

    // Frees every slot whose code object only the table still holds, in slot order, gives the
    // released bytes back to the meter and sets the next threshold to twice the survivors.
    // Returns the released bytes.
    std::uint64_t sweep(ResourceMeter& meter);

    // The slot of a registered code object; a free or unknown slot is a broken invariant.
    const CodeTableSlot& expect_live_slot(std::uint32_t index) const;
    CodeTableSlot& expect_live_slot(std::uint32_t index);
};

}  // namespace tw::py
