#include "python/vm/exceptions.h"

#include <fmt/format.h>

#include "python/front/definitions.h"
#include "python/front/text_forms.h"
#include "python/heap/heap.h"
#include "python/objects/truth.h"
#include "python/objects/value_access.h"
#include "python/vm/exec_state.h"

namespace tw::py {

namespace {

constexpr std::size_t kMaxStrDepth = 256;

PyError not_registered(std::string_view name) {
    return PyError::unsupported(fmt::format("exception type {} is not registered", name));
}

PyResult<Value> str_value(Interpreter& in, ResourceMeter& meter, std::string text) {
    return new_str(in.heap, std::move(text), &in, meter);
}

}  // namespace

std::string_view errno_exception_class(std::int32_t e) {
    switch (e) {
        case 1:
        case 13: return "PermissionError";
        case 2: return "FileNotFoundError";
        case 3: return "ProcessLookupError";
        case 4: return "InterruptedError";
        case 10: return "ChildProcessError";
        case 11:
        case 114:
        case 115: return "BlockingIOError";
        case 17: return "FileExistsError";
        case 20: return "NotADirectoryError";
        case 21: return "IsADirectoryError";
        case 32:
        case 108: return "BrokenPipeError";
        case 103: return "ConnectionAbortedError";
        case 104: return "ConnectionResetError";
        case 110: return "TimeoutError";
        case 111: return "ConnectionRefusedError";
        default: return "OSError";
    }
}

PyResult<Value> new_exception(Interpreter& in, ResourceMeter& meter, std::string_view class_name,
                              std::vector<Value> args) {
    auto id = in.types.exception_id_by_name(class_name);
    if (!id) return fail(not_registered(class_name));
    args.shrink_to_fit();
    return in.heap.insert_object(*id, ExceptionPayload{std::move(args)}, &in, meter);
}

PyResult<Value> new_exception_with_message(Interpreter& in, ResourceMeter& meter, std::string_view class_name,
                                           std::string message) {
    std::vector<Value> args;
    if (!message.empty()) {
        auto s = str_value(in, meter, std::move(message));
        if (!s) return fail(std::move(s.error()));
        args.push_back(*s);
    }
    return new_exception(in, meter, class_name, std::move(args));
}

PyStatus set_pending_exception_by_name(Interpreter& in, ResourceMeter& meter, std::string_view class_name,
                                       std::vector<Value> args) {
    auto e = new_exception(in, meter, class_name, std::move(args));
    if (!e) return fail(std::move(e.error()));
    in.state.pending_exception = *e;
    return {};
}

std::optional<PyError> error_to_pending_exception(Interpreter& in, ResourceMeter& meter, PyError error) {
    const ErrorDetail* d = error.detail();
    if (!d) return std::nullopt;
    if (d->kind == ErrorKindTag::Exception) {
        auto e = new_exception_with_message(in, meter, d->class_name, d->message);
        if (!e) return std::move(e.error());
        in.state.pending_exception = *e;
        return std::nullopt;
    }
    if (d->kind == ErrorKindTag::OsError) {
        std::vector<Value> args{Value::from_int(d->code)};
        auto msg = str_value(in, meter, d->message);
        if (!msg) return std::move(msg.error());
        args.push_back(*msg);
        if (d->filename) {
            auto file = str_value(in, meter, *d->filename);
            if (!file) return std::move(file.error());
            args.push_back(*file);
        }
        if (auto r = set_pending_exception_by_name(in, meter, errno_exception_class(d->code), std::move(args)); !r)
            return std::move(r.error());
        return std::nullopt;
    }
    return error;
}

PyResult<Value> propagate_pending_exception(Interpreter& in, ResourceMeter& meter, PyError error) {
    if (auto passed = error_to_pending_exception(in, meter, std::move(error))) return fail(std::move(*passed));
    if (!in.state.pending_exception)
        return fail(PyError::unsupported("exception unwound without a pending exception"));
    Value v = *in.state.pending_exception;
    in.state.pending_exception.reset();
    return in.heap.clone_value(v);
}

std::optional<std::string_view> instance_type_record(const Heap& heap, const TypeRegistry& registry, const Value& v) {
    const HeapSlot* slot = heap.get_if_object(v);
    if (!slot) return std::nullopt;
    if (auto name = registry.exception_name_by_id(slot->type_id)) return name;
    auto rec = registry.get(slot->type_id);
    if (!rec) return std::nullopt;
    for (TypeId t : (*rec)->mro)
        if (auto name = registry.exception_name_by_id(t)) return name;
    return std::nullopt;
}

PyResult<std::optional<ExceptionParts>> exception_instance_parts(Interpreter& in, const Value& v) {
    auto name = instance_type_record(in.heap, in.types, v);
    if (!name) return std::optional<ExceptionParts>();
    const HeapSlot* slot = in.heap.get_if_object(v);
    auto* e = std::get_if<ExceptionPayload>(&slot->object);
    if (!e) return fail(PyError::unsupported("exception instance has a non-exception layout"));
    ExceptionParts parts{*name, e->args};
    for (const Value& a : parts.args) in.heap.push_root(a);
    return std::optional(std::move(parts));
}

PyResult<std::string> exception_str(Interpreter& in, const Value& v) {
    StrRecursionGuard guard;
    return exception_str_guarded(in, v, guard);
}

PyResult<std::string> exception_str_guarded(Interpreter& in, const Value& v, StrRecursionGuard& guard) {
    auto text = str_view(in.heap, v);
    if (!text) return fail(std::move(text.error()));
    if (*text) return std::string(**text);
    auto parts = exception_instance_parts(in, v);
    if (!parts) return fail(std::move(parts.error()));
    if (!*parts) return basic_repr(in, v, guard);
    std::uint32_t identity = v.handle().index + 1;
    if (!guard.active.insert(identity).second || guard.active.size() >= kMaxStrDepth)
        return fail(PyError::exception("RecursionError",
                                       "maximum recursion depth exceeded while getting the str of an object"));
    auto out = exception_text(in, (*parts)->class_name, (*parts)->args, guard);
    guard.active.erase(identity);
    return out;
}

PyResult<std::string> exception_text(Interpreter& in, std::string_view class_name, std::span<const Value> args,
                                     StrRecursionGuard& guard) {
    if (args.empty()) return std::string();
    if (args.size() == 1) {
        if (exception_name_is_subclass(class_name, "KeyError")) return basic_repr(in, args[0], guard);
        return exception_str_guarded(in, args[0], guard);
    }
    if (args.size() <= 5 && exception_name_is_subclass(class_name, "OSError")) {
        auto code = exception_str_guarded(in, args[0], guard);
        if (!code) return code;
        auto msg = exception_str_guarded(in, args[1], guard);
        if (!msg) return msg;
        std::string out = fmt::format("[Errno {}] {}", *code, *msg);
        const bool has_file = args.size() >= 3 && !args[2].is_none();
        if (has_file) {
            auto file = basic_repr(in, args[2], guard);
            if (!file) return file;
            out += ": " + *file;
        }
        // The second file name only follows a first one: "[Errno 2] m -> 'g'" would read as if
        // the message were a path.
        if (has_file && args.size() == 5 && !args[4].is_none()) {
            auto file2 = basic_repr(in, args[4], guard);
            if (!file2) return file2;
            out += " -> " + *file2;
        }
        return out;
    }
    std::string out = "(";
    for (std::size_t i = 0; i < args.size(); ++i) {
        auto r = basic_repr(in, args[i], guard);
        if (!r) return r;
        if (i) out += ", ";
        out += *r;
    }
    return out + ")";
}

PyResult<std::string> basic_repr(Interpreter& in, const Value& v, StrRecursionGuard& guard) {
    switch (Tag(v.tag())) {
        case Tag::Int: return std::to_string(v.as_int());
        case Tag::Bool: return std::string(v.as_bool() ? "True" : "False");
        case Tag::None: return std::string("None");
        case Tag::Float: return py_float_repr(v.as_float());
        default: break;
    }
    auto text = str_view(in.heap, v);
    if (!text) return fail(std::move(text.error()));
    if (*text) return py_str_repr(**text);
    if (const HeapSlot* slot = in.heap.get_if_object(v)) {
        if (auto* b = std::get_if<BigIntPayload>(&slot->object)) return b->value->to_decimal();
        if (auto* f = std::get_if<FloatPayload>(&slot->object)) return py_float_repr(f->value);
        if (auto* t = std::get_if<TuplePayload>(&slot->object)) {
            std::vector<Value> items = t->items;
            std::string out = "(";
            for (std::size_t i = 0; i < items.size(); ++i) {
                auto r = basic_repr(in, items[i], guard);
                if (!r) return r;
                out += (i ? ", " : "") + *r;
            }
            return out + (items.size() == 1 ? ",)" : ")");
        }
        auto parts = exception_instance_parts(in, v);
        if (!parts) return fail(std::move(parts.error()));
        if (*parts) {
            std::uint32_t identity = v.handle().index + 1;
            if (!guard.active.insert(identity).second || guard.active.size() >= kMaxStrDepth)
                return fail(PyError::exception("RecursionError",
                                               "maximum recursion depth exceeded while getting the repr of an object"));
            std::string out = std::string(in.types.get(slot->type_id).value()->name) + "(";
            for (std::size_t i = 0; i < (*parts)->args.size(); ++i) {
                auto r = basic_repr(in, (*parts)->args[i], guard);
                if (!r) {
                    guard.active.erase(identity);
                    return r;
                }
                out += (i ? ", " : "") + *r;
            }
            guard.active.erase(identity);
            return out + ")";
        }
    }
    auto type = py_type_name(in.heap, in.types, v);
    if (!type) return fail(std::move(type.error()));
    return fail(PyError::unsupported(fmt::format("repr of '{}' objects is not implemented", *type)));
}

bool exception_name_is_subclass(std::string_view name, std::string_view base) {
    for (int depth = 0; depth < 64; ++depth) {
        if (name == base) return true;
        const ExceptionClassRow* row = exception_class_by_name(name);
        if (!row) {
            name = "Exception";
            continue;
        }
        if (!row->parent.empty() && exception_name_is_subclass(row->parent, base)) return true;
        return !row->second_base.empty() && exception_name_is_subclass(row->second_base, base);
    }
    return false;
}

std::optional<TypeId> exception_type_id_by_name(const TypeRegistry& registry, std::string_view class_name) {
    return registry.exception_id_by_name(class_name);
}

PyResult<bool> value_is_exception_type(Interpreter& in, const Value& v, std::string_view class_name) {
    auto base = in.types.exception_id_by_name(class_name);
    if (!base) return fail(not_registered(class_name));
    auto id = py_type_id_of(in.heap, in.types, v);
    if (!id) return fail(std::move(id.error()));
    return in.types.is_subtype(*id, *base);
}

bool pending_exception_is_instance(Interpreter& in, std::string_view class_name) {
    if (!in.state.pending_exception) return false;
    auto r = value_is_exception_type(in, *in.state.pending_exception, class_name);
    return r && *r;
}

std::optional<std::string> exception_type_name(Interpreter& in, const Value& v) {
    const HeapSlot* slot = in.heap.get_if_object(v);
    if (!slot) return std::nullopt;
    auto is = in.types.is_subtype(slot->type_id, type_id(BuiltinType::Exception));
    if (!is || !*is) return std::nullopt;
    return in.types.get(slot->type_id).value()->name;
}

std::string frame_function_name(const Heap& heap, const Value& v) {
    const HeapSlot* slot = heap.get_if_object(v);
    if (slot)
        if (auto* f = std::get_if<FunctionPayload>(&slot->object)) return f->record->name;
    return "<function>";
}

}  // namespace tw::py
