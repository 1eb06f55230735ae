#include "python/vm/exec_state.h"

#include <limits>

#include "kernel/meter.h"
#include "python/compiler/code.h"
#include "kernel/scheduler.h"
#include "python/stdlib/stream.h"
#include "python/types/mapping_types.h"
#include "python/types/number_slots.h"
#include "python/types/slots.h"
#include "python/types/string_types.h"
#include "python/vm/root_methods.h"
#include "python/vm/sequences.h"
#include "python/vm/classes.h"
#include "python/vm/str_formatting.h"
#include "python/vm/text_rows.h"

namespace tw::py {

ExecState::ExecState() = default;
ExecState::~ExecState() = default;
ExecState::ExecState(ExecState&&) noexcept = default;
ExecState& ExecState::operator=(ExecState&&) noexcept = default;

ExecState::ExecState(const ExecState& o)
    : deadline(o.deadline),
      values(o.values),
      frames(o.frames),
      locals(o.locals),
      handlers(o.handlers),
      traceback(o.traceback),
      active_exceptions(o.active_exceptions),
      with_stack(o.with_stack),
      pending_wait(o.pending_wait ? std::make_unique<WaitReason>(*o.pending_wait) : nullptr),
      pending_exception(o.pending_exception),
      parked_call(o.parked_call),
      synchronous_depth(o.synchronous_depth),
      suspension_allowed(o.suspension_allowed),
      call_depth(o.call_depth),
      comparison_depth(o.comparison_depth),
      stdin_state(o.stdin_state),
      charged_memory(o.charged_memory),
      timer_deadlines(o.timer_deadlines),
      sleep_deadline(o.sleep_deadline) {}

ExecState& ExecState::operator=(const ExecState& o) {
    if (this != &o) {
        ExecState copy(o);
        *this = std::move(copy);
    }
    return *this;
}

PyResult<Frame> ExecState::new_frame(std::shared_ptr<const CodeObject> code, std::uint64_t ip,
                                     std::uint64_t value_base, const FrameDescriptor& d, FrameKind kind) const {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    std::uint64_t heights[] = {active_exceptions.size(), value_base, handlers.size(), with_stack.size(),
                               d.locals_base.value_or(0)};
    for (std::uint64_t h : heights)
        if (h > kMax) return fail(PyError::unsupported("VM stack depth exceeds the frame index range"));
    Frame f;
    f.fast_locals = d.locals_base ? 1 : 0;
    f.locals_base = std::uint32_t(d.locals_base.value_or(0));
    f.scope = d.scope;
    f.globals = d.globals;
    f.function = d.function;
    f.code = code.get();
    f.code_owner = std::move(code);
    f.ip = ip;
    f.exc_base = std::uint32_t(active_exceptions.size());
    f.value_base = std::uint32_t(value_base);
    f.handler_base = std::uint32_t(handlers.size());
    f.with_base = std::uint32_t(with_stack.size());
    f.own_scope = d.own_scope;
    f.class_body = d.class_body;
    f.kind = kind;
    return f;
}

PyStatus ExecState::charge_memory(ResourceMeter& meter, std::uint64_t n) {
    std::uint64_t total;
    if (__builtin_add_overflow(charged_memory, n, &total))
        return fail(PyError::unsupported("modeled Python memory overflow"));
    if (!meter.charge_memory(n)) return fail(PyError::resource(std::string(kMemoryLimitText)));
    charged_memory = total;
    return {};
}

namespace {

// The method rows of the numbers, str, bytes and bytearray (str.format comes from the engine).
void attach_builtin_classes(TypeRegistry& registry, Symbols& symbols) {
    attach_number_classes(registry, symbols);
    attach_string_classes(registry, symbols);
    attach_str_format_rows(registry, symbols);
    vm::attach_sequence_classes(registry, symbols);
    vm::attach_root_classes(registry, symbols);
    attach_mapping_classes(registry, symbols);
    attach_text_rows(registry, symbols);
    vm::attach_class_rows(registry, symbols);
    attach_stream_class(registry, symbols);
}

// The builtin slots, and str's % (its formatting runs over the engine's value protocols).
void install_engine_slots(TypeRegistry& registry) {
    install_builtin_slots(registry);
    vm::install_sequence_slots(registry);
    registry.get_mut(type_id(BuiltinType::String))->resolved[std::size_t(DunderSlot::Remainder)] =
        SlotEntry::binary(str_percent_slot);
    vm::install_container_slots(registry);
}

}  // namespace

Interpreter::Interpreter()
    : types(TypeRegistry::build_builtin_types(heap.symbols, install_engine_slots, attach_builtin_classes)) {}

SiteEntry* Interpreter::site_cache(const CodeObject& code) {
    if (code.id == kNoCodeId) return nullptr;
    if (code.id >= site_caches.size()) site_caches.resize(std::size_t(code.id) + 1);
    std::vector<SiteEntry>& c = site_caches[code.id];
    if (c.size() != code.instructions.size()) c.assign(code.instructions.size(), SiteEntry{});
    return c.data();
}

void Interpreter::visit_roots(ValueVisitor& v) {
    auto visit = [&v](const Value& x) {
        if (x.is_object()) v.visit(x);
    };
    state.for_each_root(visit);
    types.for_each_value(visit);
    for (const auto& [name, module] : heap.modules()) visit(module);
    visit(sys_path);
    for (const NamespaceEntry& e : builtins_cache.entries()) visit(e.value);
    for (const auto& cache : site_caches)
        for (const SiteEntry& e : cache) visit(e.value);
}

}  // namespace tw::py
