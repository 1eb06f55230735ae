#include "python/heap/code_table.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "base/panic.h"
#include "kernel/meter.h"

namespace tw::py {

std::uint64_t CodeTableSlot::modeled_size() const {
    std::uint64_t size = CodeTable::kSlotBytes;
    if (cache) size += cache->entry_count * CodeTable::kCacheEntryBytes;
    return size;
}

PyStatus CodeTable::charge_size(std::uint64_t bytes, ResourceMeter& meter) {
    if (bytes > std::numeric_limits<std::uint64_t>::max() - modeled_size)
        return fail(PyError::unsupported("modeled code table size overflow"));
    if (!meter.charge_memory(bytes)) return fail(PyError::resource(std::string(kMemoryLimitText)));
    modeled_size += bytes;
    return {};
}

std::uint64_t CodeTable::sweep(ResourceMeter& meter) {
    std::uint64_t released = 0;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        CodeTableSlot& slot = slots[i];
        if (slot.is_free() || slot.code.use_count() != 1) continue;
        if (i > std::numeric_limits<std::uint32_t>::max()) panic("code table slot number fits 32 bits");
        released += slot.modeled_size();
        slot.code.reset();
        slot.cache.reset();
        free_ids.push_back(static_cast<std::uint32_t>(i));
        --live;
    }
    std::erase_if(cached_ids, [&](std::uint32_t id) { return id >= slots.size() || !slots[id].cache; });
    next_sweep = live > std::numeric_limits<std::uint64_t>::max() / 2 ? std::numeric_limits<std::uint64_t>::max()
                                                                      : 2 * live;
    modeled_size -= std::min(released, modeled_size);
    meter.release_memory(released);
    return released;
}

PyResult<std::uint32_t> CodeTable::reserve(ResourceMeter& meter) {
    if (live >= std::max(kMinSweepThreshold, next_sweep)) sweep(meter);
    if (auto charged = charge_size(kSlotBytes, meter); !charged) return fail(std::move(charged.error()));
    if (!free_ids.empty()) {
        std::uint32_t id = free_ids.back();
        free_ids.pop_back();
        return id;
    }
    if (slots.size() >= kMaxSlots) {
        // The slot was never taken: the charge goes back.
        modeled_size -= kSlotBytes;
        meter.release_memory(kSlotBytes);
        return fail(PyError::unsupported("too many code objects"));
    }
    slots.emplace_back();
    return static_cast<std::uint32_t>(slots.size() - 1);
}

void CodeTable::store(std::uint32_t id, std::shared_ptr<const CodeObject> code) {
    if (id >= slots.size() || !slots[id].is_free() || !code) panic("code object stored into a reserved slot");
    slots[id].code = std::move(code);
    slots[id].cache.reset();
    ++live;
}

const CodeTableSlot& CodeTable::expect_live_slot(std::uint32_t index) const {
    if (index >= slots.size() || slots[index].is_free()) panic("code table slot is live");
    return slots[index];
}

CodeTableSlot& CodeTable::expect_live_slot(std::uint32_t index) {
    return const_cast<CodeTableSlot&>(std::as_const(*this).expect_live_slot(index));
}

}  // namespace tw::py
