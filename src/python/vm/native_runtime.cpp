// The engine's native runtime: the records behind the handle, the core value operations,
// construction, and the operations on modules, program state and resource waits.
#include "python/vm/native_runtime.h"

#include "python/vm/classes.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "base/panic.h"
#include "kernel/machine.h"
#include "kernel/scheduler.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/objects/value_access.h"
#include "python/vm/attributes.h"
#include "python/vm/engine.h"
#include "python/vm/exceptions.h"
#include "python/vm/host_bridges.h"
#include "python/vm/imports.h"
#include "python/vm/namespace.h"
#include "python/vm/protocols.h"
#include "python/vm/repr.h"
#include "python/vm/run_main.h"
#include "python/vm/try.h"

namespace tw::py {

namespace {

bool is_builtin_type_handle(const Value& v, BuiltinType t) {
    auto d = decode_native_handle(v);
    return d && d->tag == DefinitionTag::BuiltinType && d->number == type_id(t);
}

bool is_tag(const Value& v, DefinitionTag tag) {
    auto d = decode_native_handle(v);
    return d && d->tag == tag;
}

// A timer whose deadline is not after now (at any depth of an Any). Input, pipes and children are
// left to the scheduler, which wakes the program when one of them is ready.
bool ready_now(const WaitReason& r, std::uint64_t now) {
    if (r.kind() == WaitKind::Timer) return r.deadline_ns() <= now;
    if (r.kind() == WaitKind::Any)
        return std::any_of(r.reasons().begin(), r.reasons().end(), [&](const WaitReason& e) { return ready_now(e, now); });
    return false;
}

PyResult<std::optional<Value>> consume_attribute_error(RuntimeContext& ctx, AttrLookup found) {
    if (found) return found;
    if (auto left = vm::pending_exception_is(ctx, std::move(found.error()), "AttributeError")) return fail(std::move(*left));
    return std::optional<Value>();
}

}  // namespace

// ---- the records behind the handle ------------------------------------------------------------------

RuntimeContext& EngineRuntime::context() { return *ctx_; }
Heap& EngineRuntime::heap() { return ctx_->heap; }
ResourceMeter& EngineRuntime::meter() { return ctx_->machine.meter; }
RootSource* EngineRuntime::roots() { return ctx_->roots; }
const TypeRegistry& EngineRuntime::types() { return vm::interp(*ctx_).types; }
ExecState& EngineRuntime::exec() { return ctx_->exec; }

// ---- core value operations --------------------------------------------------------------------------

PyStatus EngineRuntime::charge_memory(std::uint64_t bytes) {
    if (!meter().charge_cpu(bytes / 64)) return fail(PyError::unsupported(std::string(kResourceLimitText)));
    if (!meter().charge_memory(bytes)) return fail(PyError::resource("memory limit exceeded"));
    heap().record_native_charge(bytes);
    return {};
}

PyStatus EngineRuntime::charge_work(std::uint64_t units) { return python_charge_work(meter(), units); }

bool EngineRuntime::set_deadline(bool enable, std::uint64_t timeout_ns) {
    Deadline& d = exec().deadline;
    if (!enable || timeout_ns == 0) {
        d = Deadline{};
        return false;
    }
    std::uint64_t work = 0;
    if (__builtin_mul_overflow(meter().cpu_used(), std::uint64_t(1000), &work)) work = std::numeric_limits<std::uint64_t>::max();
    d = Deadline{true, ctx_->machine.clock.now_ns(), work, timeout_ns};
    return true;
}

PyResult<ValueCategory> EngineRuntime::value_category(Value v) {
    using C = ValueCategory;
    if (v.is_inline_str()) return C::Str;
    if (v.is_int()) return C::Int;
    if (v.is_float()) return C::Float;
    if (v.is_bool()) return C::Bool;
    if (v.is_none()) return C::None;
    if (!v.is_object()) return C::Other;
    TRY_ASSIGN(cls, instance_class_value(heap(), types(), v));
    TRY_ASSIGN(slot, heap().get(v));
    const HeapObject& o = slot->object;
    if (cls && std::holds_alternative<ObjectPayload>(o)) return C::Instance;
    switch (kind_of(o)) {
        case HeapObjectKind::Str: return C::Str;
        case HeapObjectKind::Bytes: return C::Bytes;
        case HeapObjectKind::ByteArray: return C::ByteArray;
        case HeapObjectKind::List: return C::List;
        case HeapObjectKind::Tuple: return C::Tuple;
        case HeapObjectKind::Dict:
        case HeapObjectKind::DefaultDict:
        case HeapObjectKind::NamespaceDict: return C::Dict;
        case HeapObjectKind::Set:
        case HeapObjectKind::FrozenSet: return C::Set;
        case HeapObjectKind::BigInt: return C::Int;
        case HeapObjectKind::Complex: return C::Complex;
        case HeapObjectKind::Float: return C::Float;
        case HeapObjectKind::Function:
        case HeapObjectKind::BoundMethod: return C::Function;
        case HeapObjectKind::Class: return C::Class;
        case HeapObjectKind::ValuesIterator:
        case HeapObjectKind::SequenceIterator:
        case HeapObjectKind::ReversedIterator:
        case HeapObjectKind::RangeIterator:
        case HeapObjectKind::CountIterator:
        case HeapObjectKind::CallableIterator:
        case HeapObjectKind::StreamIterator: return C::Iterator;
        case HeapObjectKind::Generator: return C::Generator;
        case HeapObjectKind::Module: return C::Module;
        case HeapObjectKind::NativeObject:
            return std::get<NativeObjectPayload>(o).object->type_id() == type_id(BuiltinType::Array) ? C::NdArray
                                                                                                   : C::Other;
        default: return C::Other;
    }
}

PyResult<Value> EngineRuntime::type_of(Value v) { return vm::type_of(*ctx_, v); }

PyResult<std::optional<Value>> EngineRuntime::attribute_dict(Value v) {
    if (auto d = decode_native_handle(v)) {
        if (d->tag != DefinitionTag::Module && d->tag != DefinitionTag::BuiltinType && d->tag != DefinitionTag::ValueKind &&
            d->tag != DefinitionTag::ExceptionType)
            return std::optional<Value>();
        if (d->tag == DefinitionTag::Module) {
            TRY_ASSIGN(proxy, heap().allocate_object(MappingProxyPayload{v, 0}, roots(), meter()));
            return std::optional(proxy);
        }
        auto cls = py_as_class(*ctx_, v);
        if (!cls) {
            if (d->tag == DefinitionTag::ExceptionType) return fail(PyError::unsupported("exception type is not registered"));
            return fail(PyError::unsupported("value kind is not registered"));
        }
        TRY_ASSIGN(proxy, heap().allocate_object(MappingProxyPayload{Value::absent(), *cls}, roots(), meter()));
        return std::optional(proxy);
    }
    const HeapSlot* s = heap().get_if_object(v);
    if (!s) return std::optional<Value>();
    if (const auto* m = std::get_if<ModulePayload>(&s->object)) {
        Value ns = heap().clone_value(m->namespace_);
        TRY_ASSIGN(nd, heap().allocate_object(NamespaceDictPayload{0, ns}, roots(), meter()));
        return std::optional(nd);
    }
    TRY_ASSIGN(cls, instance_class_value(heap(), types(), v));
    if (cls || instance_type_record(heap(), types(), v)) {
        if (const HeapSlot* self = heap().get_if_object(v); self && self->attributes)
            if (const HeapSlot* cached = heap().get_if_object(self->attributes->dict_mapping))
                if (const auto* nd = std::get_if<NamespaceDictPayload>(&cached->object); nd && nd->word == 1 && nd->namespace_ == v)
                    return std::optional(heap().get_if_object(v)->attributes->dict_mapping);
        TRY_ASSIGN(nd, heap().allocate_object(NamespaceDictPayload{1, v}, roots(), meter()));
        TRY_ASSIGN(m, heap().slot_mut(v));
        if (m->attributes) m->attributes->dict_mapping = nd;
        return std::optional(nd);
    }
    s = heap().get_if_object(v);
    if (s && std::holds_alternative<ClassPayload>(s->object)) {
        TRY_ASSIGN(proxy, heap().allocate_object(MappingProxyPayload{v, 0}, roots(), meter()));
        return std::optional(proxy);
    }
    return std::optional<Value>();
}

std::optional<std::uint32_t> EngineRuntime::object_id(Value v) {
    auto id = heap().object_identity(v);
    if (!id || !*id || **id == 0) return std::nullopt;
    return *id;
}

bool EngineRuntime::is_identical(Value a, Value b) { return a == b; }

PyResult<Value> EngineRuntime::call_native(NativeCallback callback, void* data) {
    NativeCallScope scope(*ctx_);
    EngineRuntime nested(scope.context);
    return callback(nested, data);
}

std::optional<std::int64_t> EngineRuntime::to_i64(Value v) {
    if (v.is_float()) return std::nullopt;
    const NumericView n = py_numeric_view(heap(), v);
    if (n.kind != NumericView::Small) return std::nullopt;
    if (v.is_object()) {
        const HeapSlot* s = heap().get_if_object(v);
        if (!s || !std::holds_alternative<BigIntPayload>(s->object)) return std::nullopt;
    }
    return n.small;
}

PyResult<std::optional<std::string>> EngineRuntime::to_string(Value v) { return value_to_owned_string(heap(), v); }

PyResult<std::optional<std::string>> EngineRuntime::to_bytes(Value v) {
    const HeapSlot* s = heap().get_if_object(v);
    if (!s) return std::optional<std::string>();
    if (const auto* b = std::get_if<BytesPayload>(&s->object)) return std::optional(b->bytes);
    if (const auto* b = std::get_if<ByteArrayPayload>(&s->object)) return std::optional(b->bytes);
    return std::optional<std::string>();
}

PyResult<std::string> EngineRuntime::bytearray_bytes(Value v) {
    auto kind_error = [] { return PyError::runtime_error("bytearray handle changed object kind"); };
    const HeapSlot* s = heap().get_if_object(v);
    const auto* b = s ? std::get_if<ByteArrayPayload>(&s->object) : nullptr;
    if (!b) return fail(kind_error());
    TRY_DO(charge_memory(b->bytes.size()));
    s = heap().get_if_object(v);
    b = s ? std::get_if<ByteArrayPayload>(&s->object) : nullptr;
    if (!b) return fail(kind_error());
    return b->bytes;
}

PyStatus EngineRuntime::bytearray_assign(Value v, std::string bytes) {
    const HeapSlot* s = heap().get_if_object(v);
    const auto* b = s ? std::get_if<ByteArrayPayload>(&s->object) : nullptr;
    if (!b) return fail(PyError::runtime_error("bytearray handle changed object kind"));
    const std::uint64_t old_size = b->bytes.size(), new_size = bytes.size();
    if (new_size > old_size) TRY_DO(heap().update_object_size(v, new_size - old_size, roots(), meter()));
    TRY_ASSIGN(slot, heap().slot_mut(v));
    std::get<ByteArrayPayload>(slot->object).bytes = std::move(bytes);
    if (new_size < old_size) heap().shrink_object_size(v, old_size - new_size, meter());
    return {};
}

bool EngineRuntime::is_int_type(Value v) { return is_builtin_type_handle(v, BuiltinType::Int); }
bool EngineRuntime::is_str_type(Value v) { return is_builtin_type_handle(v, BuiltinType::String); }
bool EngineRuntime::is_ellipsis(Value v) { return is_tag(v, DefinitionTag::Ellipsis); }
Value EngineRuntime::not_implemented() { return not_implemented_value(); }
bool EngineRuntime::is_not_implemented(Value v) { return py::is_not_implemented(v); }

PyResult<Value> EngineRuntime::new_complex(double real, double imag) {
    return heap().allocate_object(ComplexPayload{real, imag}, roots(), meter());
}

PyResult<bool> EngineRuntime::is_true(Value v) { return py_is_true(*ctx_, v); }
PyResult<std::string> EngineRuntime::to_str(Value v) { return py_str(*ctx_, v); }
PyResult<std::string> EngineRuntime::repr(Value v) { return py_repr(*ctx_, v); }
PyResult<std::string> EngineRuntime::default_repr(Value v) { return py_default_object_repr(*ctx_, v); }
PyResult<std::optional<std::uint64_t>> EngineRuntime::len(Value v) { return py_builtin_len(*ctx_, v); }

PyResult<std::string> EngineRuntime::format(Value v, std::string_view spec) {
    // A registered native number formats as the builtin number it stands for.
    if (auto parts = registered_parts(heap(), v)) {
        heap().push_root(parts->plain);
        return vm::format_with_spec(*ctx_, parts->plain, spec);
    }
    if (spec.empty()) return py_str(*ctx_, v);
    return vm::format_with_spec(*ctx_, v, spec);
}

PyResult<bool> EngineRuntime::values_equal(Value a, Value b) { return vm::values_equal(*ctx_, a, b); }

PyResult<int> EngineRuntime::compare_order(Value a, Value b) {
    TRY_ASSIGN(less, less_than(a, b));
    if (less) return -1;
    TRY_ASSIGN(greater, less_than(b, a));
    return greater ? 1 : 0;
}

PyResult<bool> EngineRuntime::less_than(Value a, Value b) { return vm::compare_holds(*ctx_, std::uint8_t(RichCompareOp::Lt), a, b); }

PyResult<std::optional<Value>> EngineRuntime::getattr_optional(Value v, std::string_view name) {
    return consume_attribute_error(*ctx_, py_getattr(*ctx_, v, heap().symbols.lookup(name), name));
}

PyResult<Value> EngineRuntime::getattr(Value v, std::string_view name) {
    TRY_ASSIGN(found, py_generic_getattr(*ctx_, v, heap().symbols.lookup(name), name));
    if (!found) return fail(attribute_error_for(*ctx_, v, name));
    return *found;
}

PyStatus EngineRuntime::setattr(Value v, std::string_view name, Value value) {
    TRY_ASSIGN(symbol, heap().symbols.intern(name, meter()));
    return vm::store_attribute(*ctx_, v, symbol, value);
}

PyStatus EngineRuntime::set_pending_exception(std::string_view class_name, std::vector<Value> args) {
    return set_pending_exception_by_name(vm::interp(*ctx_), meter(), class_name, std::move(args));
}

PyResult<std::optional<std::pair<std::string, std::vector<Value>>>> EngineRuntime::exception_parts(Value v) {
    TRY_ASSIGN(parts, exception_instance_parts(vm::interp(*ctx_), v));
    if (!parts) return std::optional<std::pair<std::string, std::vector<Value>>>();
    for (const Value& a : parts->args) heap().push_root(a);
    return std::optional(std::pair{std::string(parts->class_name), std::move(parts->args)});
}

// ---- construction and small constructors --------------------------------------------------------------

PyResult<Value> EngineRuntime::new_str(std::string text) { return py::new_str(heap(), std::move(text), roots(), meter()); }

PyResult<Value> EngineRuntime::new_bytes(std::string bytes) {
    return heap().allocate_object(BytesPayload{std::move(bytes)}, roots(), meter());
}

PyResult<Value> EngineRuntime::new_bytearray(std::string bytes) {
    return heap().allocate_object(ByteArrayPayload{std::move(bytes)}, roots(), meter());
}

PyResult<Value> EngineRuntime::int_from_str(std::string_view digits) {
    TRY_DO(charge_work(digits.size()));
    const std::uint64_t doubled = digits.size() > std::numeric_limits<std::uint64_t>::max() / 2
                                      ? std::numeric_limits<std::uint64_t>::max()
                                      : digits.size() * 2;
    TRY_DO(charge_memory(doubled));
    const bool valid = !digits.empty() && std::all_of(digits.begin() + (digits[0] == '-' || digits[0] == '+'), digits.end(),
                                                      [](char c) { return c >= '0' && c <= '9'; }) &&
                       digits.find_first_of("0123456789") != std::string_view::npos;
    auto big = Box<BigInt>::make();
    const std::string text(digits.starts_with('+') ? digits.substr(1) : digits);
    if (!valid || mpz_set_str(big->get(), text.c_str(), 10) != 0) return fail(PyError::value_error("invalid integer"));
    if (big->fits_i64()) return Value::from_int(big->to_i64());
    TRY_DO(charge_work(mpz_size(big->get())));
    return heap().allocate_object(BigIntPayload{std::move(big)}, roots(), meter());
}

PyResult<Value> EngineRuntime::property_getter(Value property) {
    const HeapSlot* s = heap().get_if_object(property);
    const auto* p = s ? std::get_if<PropertyPayload>(&s->object) : nullptr;
    if (!p) return fail(PyError::runtime_error("property handle changed object kind"));
    return heap().clone_value(p->first);
}

PyResult<std::optional<Value>> EngineRuntime::property_setter(Value property) {
    const HeapSlot* s = heap().get_if_object(property);
    const auto* p = s ? std::get_if<PropertyPayload>(&s->object) : nullptr;
    if (!p) return fail(PyError::runtime_error("property handle changed object kind"));
    if (p->second.is_absent() || p->second.is_none()) return std::optional<Value>();
    return std::optional(heap().clone_value(p->second));
}

PyResult<Value> EngineRuntime::new_property(Value getter, std::optional<Value> setter) {
    return heap().allocate_object(PropertyPayload{getter, setter.value_or(Value::none())}, roots(), meter());
}

PyResult<Value> EngineRuntime::object_new(Value cls, bool has_arguments) {
    return vm::object_new(*ctx_, cls, has_arguments);
}

std::string EngineRuntime::program_name() { return ctx_->argv.empty() ? std::string("-") : ctx_->argv.front(); }

PyResult<Value> EngineRuntime::new_str_list(std::vector<std::string> texts) {
    std::vector<Value> items;
    items.reserve(texts.size());
    for (std::string& t : texts) {
        TRY_ASSIGN(v, new_str(std::move(t)));
        items.push_back(v);
    }
    return new_list(std::move(items));
}

PyResult<Value> EngineRuntime::search_path_list() { return vm::search_path_list(*ctx_); }
PyResult<Value> EngineRuntime::import_module(std::string_view name) { return vm::import_module_value(*ctx_, name); }

// ---- modules, program state and host services -----------------------------------------------------------

std::vector<std::string> EngineRuntime::collect_strings() {
    if (ctx_->argv.size() <= 1) return {};
    return {ctx_->argv.begin() + 1, ctx_->argv.end()};
}

PyResult<Value> EngineRuntime::new_module(std::string_view name, std::string_view origin, Value spec, Value loader) {
    auto dot = name.rfind('.');
    TRY_ASSIGN(name_value, new_str(std::string(name)));
    TRY_ASSIGN(package_value, new_str(std::string(dot == std::string_view::npos ? std::string_view() : name.substr(0, dot))));
    TRY_ASSIGN(origin_value, new_str(std::string(origin)));
    std::vector<std::pair<std::string, Value>> attrs{{"__name__", name_value},
                                                     {"__package__", package_value},
                                                     {"__loader__", loader},
                                                     {"__spec__", spec},
                                                     {"__file__", origin_value}};
    TRY_ASSIGN(module, new_module_object(vm::interp(*ctx_), meter(), name, attrs));
    return module.module;
}

PyStatus EngineRuntime::exec_module(Value module, std::string_view path) {
    TRY_ASSIGN(text, vfs_read_text(ctx_->machine, path));
    TRY_ASSIGN(code, load_module_code(ctx_->machine, heap(), text, path));
    const HeapSlot* s = heap().get_if_object(module);
    const auto* m = s ? std::get_if<ModulePayload>(&s->object) : nullptr;
    if (!m) return fail(PyError::runtime_error("module handle changed object kind"));
    Value ns = m->namespace_;
    TRY_ASSIGN(outcome, vm::run_module_code(*ctx_, code, ns, std::string(path)));
    switch (outcome.kind) {
        case StepOutcome::Halt: return {};
        case StepOutcome::Return:
            return fail(PyError::runtime_error(fmt::format("'return' outside function in module loaded from {}", path)));
        case StepOutcome::Yield:
            return fail(PyError::runtime_error(fmt::format("'yield' outside function in module loaded from {}", path)));
        case StepOutcome::Exit: return fail(PyError::exit(outcome.status));
        default: panic(fmt::format("a module body cannot end with {}", debug_text(outcome)));
    }
}

std::optional<std::string> EngineRuntime::exception_type_index(Value v) {
    auto d = decode_native_handle(v);
    if (!d || d->tag != DefinitionTag::ExceptionType) return std::nullopt;
    return std::string(d->name);
}

Value EngineRuntime::exception_type_value(std::string_view name) {
    const ExceptionClassRow* row = exception_class_by_name(name);
    if (!row) return Value::none();
    return intern_static_definition(StaticDefinition::of_exception(row->name));
}

PyStatus EngineRuntime::wait_resources(std::vector<WaitReason> resources) {
    if (resources.empty()) return fail(PyError::runtime_error("cannot wait on an empty resource set"));
    ExecState& st = exec();
    if (!st.suspension_allowed || st.synchronous_depth != 0)
        return fail(PyError::runtime_error("resource waits require bytecode scheduler dispatch"));
    Machine& machine = ctx_->machine;
    const std::uint64_t now = machine.clock.now_ns();
    for (const WaitReason& r : resources)
        if (ready_now(r, now)) return {};
    std::erase_if(st.timer_deadlines, [&](std::uint64_t t) { return t <= now; });
    for (const WaitReason& r : resources) {
        if (r.kind() != WaitKind::Timer) continue;
        const std::uint64_t t = r.deadline_ns();
        if (!st.timer_deadlines.insert(t).second) continue;
        auto scheduled = machine.clock.schedule_at(t, ClockEvent::timer_due(machine.states.active().pid));
        if (!scheduled) {
            st.timer_deadlines.erase(t);
            return fail(PyError::resource(error_text(scheduled.error())));
        }
    }
    if (ctx_->dispatched) {
        WaitReason wait = resources.size() == 1 ? std::move(resources.front()) : WaitReason::any(std::move(resources));
        return fail(PyError::suspended(std::move(wait)));
    }
    std::optional<std::uint64_t> deadline;
    for (const WaitReason& r : resources)
        if (r.kind() == WaitKind::Timer) deadline = std::min(deadline.value_or(r.deadline_ns()), r.deadline_ns());
    const Pid self = machine.states.active().pid;
    for (const auto& [child, parent] : machine.python_children) {
        if (parent != self) continue;
        auto ran = machine.run_nested(child, deadline);
        if (!ran) return fail(PyError::resource(ran.error()));
        return {};
    }
    if (deadline) {
        if (auto moved = machine.advance_time_to(*deadline); !moved) return fail(PyError::resource(moved.error()));
        return {};
    }
    return fail(PyError::runtime_error("asyncio resource wait has no live modeled child"));
}

std::optional<Value> EngineRuntime::frame_module_name(std::uint64_t depth) {
    const auto& frames = exec().frames;
    if (depth >= frames.size()) return std::nullopt;
    const Frame& f = frames[frames.size() - 1 - depth];
    auto v = namespace_get_str(heap(), f.globals, "__name__");
    if (!v || !*v) return std::nullopt;
    return **v;
}

std::optional<std::pair<std::string, std::uint32_t>> EngineRuntime::caller_location(std::optional<std::uint64_t> depth) {
    const auto& frames = exec().frames;
    if (!depth || *depth >= frames.size()) return std::nullopt;
    const Frame& f = frames[frames.size() - 1 - *depth];
    if (f.ip == 0 || !f.code || f.ip > f.code->positions.size()) return std::nullopt;
    const std::uint64_t line = f.code->positions[f.ip - 1].line;
    if (line > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return std::pair{program_display_name(ctx_->argv), std::uint32_t(line)};
}

PyResult<std::optional<std::vector<ParameterRecord>>> EngineRuntime::signature_parameters(Value callable) {
    const HeapSlot* s = heap().get_if_object(callable);
    bool bound = false;
    if (const auto* m = s ? std::get_if<BoundMethodPayload>(&s->object) : nullptr) {
        s = heap().get_if_object(m->function);
        bound = true;
    }
    const auto* f = s ? std::get_if<FunctionPayload>(&s->object) : nullptr;
    if (!f || !f->record->code) return std::optional<std::vector<ParameterRecord>>();
    const CodeObject& code = *f->record->code;
    std::vector<ParameterRecord> params;
    for (const ParamSlot& p : code.parameters)
        params.push_back({std::string(heap().symbols.name_of(p.symbol)), std::uint8_t(p.kind), std::nullopt});
    const auto& defaults = f->record->defaults;
    for (std::size_t i = 0; i < defaults.size() && i < code.default_indices.size(); ++i)
        if (code.default_indices[i] < params.size()) params[code.default_indices[i]].default_value = heap().clone_value(defaults[i]);
    if (bound) {
        if (params.empty() || params.front().kind >= 3) return fail(PyError::value_error("invalid method signature"));
        if (params.front().kind <= 1) params.erase(params.begin());
    }
    return std::optional(std::move(params));
}

std::optional<std::pair<bool, bool>> EngineRuntime::function_flags(Value v) {
    const HeapSlot* s = heap().get_if_object(v);
    if (const auto* m = s ? std::get_if<BoundMethodPayload>(&s->object) : nullptr) s = heap().get_if_object(m->function);
    if (!s) return std::nullopt;
    const CodeObject* code = nullptr;
    if (const auto* f = std::get_if<FunctionPayload>(&s->object)) code = f->record->code.get();
    if (const auto* g = std::get_if<GeneratorPayload>(&s->object)) code = g->record->code.get();
    if (!code) return std::nullopt;
    return std::pair{code->has_yield, code->is_async};
}

PyStatus EngineRuntime::kill(std::uint32_t pid, std::uint32_t signal) {
    std::optional<Signal> which;
    for (std::size_t i = 0; i < kSignalCount; ++i)
        if (std::uint32_t(signal_number(Signal(i))) == signal) which = Signal(i);
    if (!which) return fail(PyError::os_error(22, "Invalid argument"));
    auto sent = ctx_->machine.send_signal(pid, *which);
    if (sent) return {};
    if (sent.error().find("does not exist") != std::string::npos) return fail(PyError::os_error(3, "No such process"));
    return fail(PyError::runtime_error(sent.error()));
}

std::uint32_t EngineRuntime::getpid() { return ctx_->machine.states.active().pid; }
std::uint32_t EngineRuntime::getppid() { return ctx_->machine.states.active().ppid; }

std::string EngineRuntime::type_name(Value v) {
    auto name = vm::type_name(*ctx_, v);
    return name ? *name : std::string("object");
}

std::optional<Value> EngineRuntime::active_exception() {
    if (exec().active_exceptions.empty()) return std::nullopt;
    return heap().clone_value(exec().active_exceptions.back());
}

PyResult<Value> EngineRuntime::sys_modules() {
    std::vector<std::pair<std::string, Value>> modules(heap().modules().begin(), heap().modules().end());
    std::sort(modules.begin(), modules.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<ValuePair> pairs;
    pairs.reserve(modules.size());
    for (auto& [name, module] : modules) {
        TRY_ASSIGN(key, new_str(name));
        heap().push_root(module);
        pairs.emplace_back(key, module);
    }
    return new_dict(std::move(pairs));
}

PyStatus EngineRuntime::set_module(std::string_view name, Value module) {
    const HeapSlot* s = heap().get_if_object(module);
    const bool ok = is_tag(module, DefinitionTag::Module) || (s && std::holds_alternative<ModulePayload>(s->object));
    if (!ok) return fail(PyError::type_error("sys.modules values must be modules"));
    TRY_DO(heap().insert_module(std::string(name), module));
    return {};
}

bool EngineRuntime::remove_module(std::string_view name) { return heap().remove_module(name).has_value(); }

// ---- calls ----------------------------------------------------------------------------------------------

PyResult<Value> EngineRuntime::call(Value callable, std::span<const Value> positional,
                                    std::span<const KeywordArgument> keywords) {
    return call_value(*ctx_, callable, positional, keywords);
}

PyResult<Value> EngineRuntime::call_symbols(Value callable, std::span<const Value> positional,
                                            std::span<const std::pair<Symbol, Value>> keywords) {
    return call_value_symbols(*ctx_, callable, positional, keywords);
}

bool EngineRuntime::is_callable(Value v) {
    auto r = vm::is_callable(*ctx_, v);
    return r && *r;
}

PyResult<Value> call_value(RuntimeContext& ctx, Value callable, std::span<const Value> positional,
                           std::span<const KeywordArgument> keywords) {
    std::vector<std::pair<Symbol, Value>> named;
    named.reserve(keywords.size());
    for (const auto& [name, value] : keywords) {
        TRY_ASSIGN(s, ctx.heap.symbols.intern(name, ctx.machine.meter));
        named.emplace_back(s, value);
    }
    return vm::call_immediate(ctx, callable, positional, named);
}

PyResult<Value> call_value_symbols(RuntimeContext& ctx, Value callable, std::span<const Value> positional,
                                   std::span<const std::pair<Symbol, Value>> keywords) {
    return vm::call_immediate(ctx, callable, positional, keywords);
}

}  // namespace tw::py
