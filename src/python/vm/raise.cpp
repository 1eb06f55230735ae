#include "python/vm/raise.h"

#include "python/heap/heap.h"
#include "python/objects/truth.h"
#include "python/objects/types.h"
#include "python/vm/exceptions.h"
#include "python/vm/exec_state.h"

namespace tw::py {

namespace {

PyResult<Value> pop_operand(Interpreter& in) {
    std::uint64_t base = in.state.frames.empty() ? 0 : in.state.frames.back().value_base;
    if (in.state.values.size() <= base) return fail(PyError::unsupported("invalid bytecode stack effect"));
    Value v = in.state.values.back();
    in.state.values.pop_back();
    return in.heap.clone_value(v);
}

// An instance with the exception layout whose class derives from BaseException.
bool is_exception_instance(Interpreter& in, const Value& v) {
    const HeapSlot* slot = in.heap.get_if_object(v);
    if (!slot || slot->kind() != HeapObjectKind::Exception) return false;
    auto is = in.types.is_subtype(slot->type_id, type_id(BuiltinType::Exception));
    return is && *is;
}

// A class object (not a builtin type handle): program classes and value kinds are called.
bool is_class(Interpreter& in, const Value& v) {
    if (v.is_native())
        return v.native_kind() == NativeKind::BuiltinType || v.native_kind() == NativeKind::ValueKind ||
               v.native_kind() == NativeKind::ExceptionType;
    const HeapSlot* slot = in.heap.get_if_object(v);
    return slot && slot->kind() == HeapObjectKind::Class;
}

PyError raise_value(Interpreter& in, ResourceMeter& meter, Value v, ClassCaller call_class) {
    if (is_exception_instance(in, v)) {
        in.state.pending_exception = v;
        return PyError::raised();
    }
    if (auto name = exception_identity(in.heap, in.types, v); name && v.is_native()) {
        auto e = new_exception(in, meter, *name, {});
        if (!e) return std::move(e.error());
        in.state.pending_exception = *e;
        return PyError::raised();
    }
    if (is_class(in, v)) {
        if (!call_class) return PyError::unsupported("exceptions must derive from BaseException");
        auto instance = call_class(in, meter, v);
        if (!instance) return std::move(instance.error());
        if (!is_exception_instance(in, *instance))
            return PyError::unsupported("exception class produced a non-exception instance");
        in.state.pending_exception = *instance;
        return PyError::raised();
    }
    return PyError::unsupported("exceptions must derive from BaseException");
}

}  // namespace

PyError raise_exception(Interpreter& in, ResourceMeter& meter, bool has_operand, ClassCaller call_class) {
    if (!has_operand) {
        if (in.state.active_exceptions.empty()) return PyError::unsupported("No active exception to reraise");
        in.state.pending_exception = in.heap.clone_value(in.state.active_exceptions.back());
        return PyError::raised();
    }
    auto v = pop_operand(in);
    if (!v) return std::move(v.error());
    return raise_value(in, meter, *v, call_class);
}

PyError raise_exception_from(Interpreter& in, ResourceMeter& meter, ClassCaller call_class) {
    auto cause = pop_operand(in);
    if (!cause) return std::move(cause.error());
    if (!cause->is_none() && !is_exception_instance(in, *cause) &&
        !exception_identity(in.heap, in.types, *cause).has_value())
        return PyError::type_error("exception causes must derive from BaseException");
    auto v = pop_operand(in);
    if (!v) return std::move(v.error());
    return raise_value(in, meter, *v, call_class);
}

}  // namespace tw::py
