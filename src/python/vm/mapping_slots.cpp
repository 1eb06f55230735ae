#include "python/vm/mapping_slots.h"

#include "python/vm/native_runtime.h"

namespace tw::py {

PyResult<std::optional<MappingPairs>> mapping_view(RuntimeContext& ctx, Value v) {
    EngineRuntime rt(ctx);
    return mapping_view(static_cast<NativeRuntime&>(rt), v);
}

PyResult<std::optional<Value>> call_mapping_slot(RuntimeContext& ctx, Value self, DunderSlot slot,
                                                 std::span<const Value> args) {
    EngineRuntime rt(ctx);
    return call_mapping_slot(static_cast<NativeRuntime&>(rt), self, slot, args);
}

PyResult<std::optional<std::string>> enum_member_text(RuntimeContext& ctx, Value self, DunderSlot slot) {
    EngineRuntime rt(ctx);
    return enum_member_text(static_cast<NativeRuntime&>(rt), self, slot);
}

}  // namespace tw::py
