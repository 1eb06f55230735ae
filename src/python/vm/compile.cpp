#include "python/vm/compile.h"

#include "kernel/meter.h"
#include "python/compiler/compiler.h"
#include "python/heap/heap.h"

namespace tw::py {

std::uint32_t HeapCodeHost::intern(std::string_view name) {
    auto symbol = heap_.symbols.intern(name, meter_);
    if (symbol) return *symbol;
    record(std::move(symbol.error()));
    return kNoSymbol;
}

std::uint32_t HeapCodeHost::reserve_code_id() {
    auto id = heap_.code_table.reserve(meter_);
    if (id) return *id;
    record(std::move(id.error()));
    return kNoCodeId;
}

void HeapCodeHost::store_code(std::uint32_t id, CodeObjectPtr code) { heap_.code_table.store(id, std::move(code)); }

PyResult<CompiledModule> compile_module_source(Heap& heap, ResourceMeter& meter, std::string_view source) {
    HeapCodeHost host(heap, meter);
    auto code = compile_source(source, host);
    bool charged = meter.charge_cpu(compile_cost(source));
    // A refused memory charge also stops the meter: it is reported as the cause.
    if (host.first_error) return fail(std::move(*host.first_error));
    if (!charged) return fail(PyError::unsupported(std::string(kResourceLimitText)));
    if (!code) return CompiledModule(std::unexpected(std::move(code.error())));
    return CompiledModule(std::move(*code));
}

}  // namespace tw::py
