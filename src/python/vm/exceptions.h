// Exception objects: creating instances of registered exception classes, raising them as the
// pending exception, converting error values into them (errno to OSError subclass), taking the
// pending exception when it propagates, the text of str() of an exception, and matching by class
// name and by type.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/type_id.h"
#include "python/heap/value.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

class Interpreter;
class Heap;
class ExecState;
class TypeRegistry;

// The OSError subclass of an errno (Linux numbering).
std::string_view errno_exception_class(std::int32_t errno_value);

// A new exception instance of a registered class; "exception type {} is not registered".
PyResult<Value> new_exception(Interpreter& in, ResourceMeter& meter, std::string_view class_name,
                              std::vector<Value> args);
// With [message] as its arguments, or none for an empty message.
PyResult<Value> new_exception_with_message(Interpreter& in, ResourceMeter& meter, std::string_view class_name,
                                           std::string message);
PyStatus set_pending_exception_by_name(Interpreter& in, ResourceMeter& meter, std::string_view class_name,
                                       std::vector<Value> args);
// Converts Exception and OsError errors into the pending exception (nothing returned), leaves the
// raised marker as it is, and gives every other error back unchanged.
std::optional<PyError> error_to_pending_exception(Interpreter& in, ResourceMeter& meter, PyError error);
// Converts as above, then takes the pending exception out; "exception unwound without a pending
// exception".
PyResult<Value> propagate_pending_exception(Interpreter& in, ResourceMeter& meter, PyError error);

// The builtin exception class of a heap object's class (along its MRO), or none.
std::optional<std::string_view> instance_type_record(const Heap& heap, const TypeRegistry& registry, const Value& v);

struct ExceptionParts {
    std::string_view class_name;
    std::vector<Value> args;
};
// The builtin exception class name and the arguments of an exception instance, or none;
// "exception instance has a non-exception layout".
PyResult<std::optional<ExceptionParts>> exception_instance_parts(Interpreter& in, const Value& v);

// Identities of the exceptions being rendered, to stop cycles.
struct StrRecursionGuard {
    std::unordered_set<std::uint32_t> active;
};
// The text of str() of an exception (or any value it holds as an argument).
PyResult<std::string> exception_str(Interpreter& in, const Value& v);
PyResult<std::string> exception_str_guarded(Interpreter& in, const Value& v, StrRecursionGuard& guard);
PyResult<std::string> exception_text(Interpreter& in, std::string_view class_name, std::span<const Value> args,
                                     StrRecursionGuard& guard);

// Name matching along the builtin exception table; a name not in it counts as an Exception.
bool exception_name_is_subclass(std::string_view name, std::string_view base);
// Whether a value is an instance of the registered exception class `class_name`.
PyResult<bool> value_is_exception_type(Interpreter& in, const Value& v, std::string_view class_name);
bool pending_exception_is_instance(Interpreter& in, std::string_view class_name);
// The class name of an exception instance, or none.
std::optional<std::string> exception_type_name(Interpreter& in, const Value& v);
std::optional<TypeId> exception_type_id_by_name(const TypeRegistry& registry, std::string_view class_name);
// The name of a function object; "<function>" for other values.
std::string frame_function_name(const Heap& heap, const Value& v);

// The repr of the builtin scalar values and strings an exception carries.
PyResult<std::string> basic_repr(Interpreter& in, const Value& v, StrRecursionGuard& guard);

}  // namespace tw::py
