// The engine's internal operations shared by the dispatch loop, the call machinery and the
// program runner: frames, calls, unwinding, names, attributes, operators and value building.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/compiler/code.h"
#include "python/heap/error.h"
#include "python/heap/namespace.h"
#include "python/heap/value.h"
#include "python/vm/dispatch.h"
#include "python/vm/exec_state.h"
#include "python/vm/runtime_context.h"
#include "python/vm/step_outcome.h"

namespace tw::py {

class NativeRuntime;
struct NativeCall;

namespace vm {

inline constexpr std::int32_t kBudgetStopStatus = 137;
inline constexpr std::int32_t kTimeoutStatus = 124;

Interpreter& interp(const RuntimeContext& ctx);
ResourceMeter& meter_of(const RuntimeContext& ctx);

// ---- frames and unwinding -------------------------------------------------------------------
// Removes the innermost frame, lowering the call depth (never below 0) and the stacks.
void pop_frame(ExecState& st);
// Either a handler was entered (nullopt) or the error leaves the run.
std::optional<SliceFailure> propagate_error(RuntimeContext& ctx, PyError error, SourceSpan position);
// Pushes an Entry frame for `code` and runs it to completion.
SliceResult run_code_synchronously(RuntimeContext& ctx, std::shared_ptr<const CodeObject> code,
                                   const FrameDescriptor& d);
SliceResult run_frames_to_completion(RuntimeContext& ctx, std::size_t depth);
// Resumes the parked native call: an outcome that ends the slice, or none to go on.
std::expected<std::optional<StepOutcome>, SliceFailure> resume_parked_call(RuntimeContext& ctx);
// " in {} at line {}, column {}" appended to a non-exception error.
void append_error_location(PyError& e, std::string_view function, const SourceSpan& at);

// ---- calls -------------------------------------------------------------------------------------
enum class CallMode : std::uint8_t { Frame = 1, Immediate = 0 };

// `Call` and `CallMethod`: the callee and the arguments are on the value stack.
PyResult<StepOutcome> call_site(RuntimeContext& ctx, const CodeObject& code, std::uint32_t site, bool method);
// The call dispatcher: the callee lies beneath `positional` values and `keywords.size()` keyword
// values on the value stack; all of them are consumed.
PyResult<StepOutcome> dispatch_call(RuntimeContext& ctx, std::uint32_t positional,
                                    std::span<const KeywordName> keywords, CallMode mode);
// Calls with the arguments given and gives the result (Immediate mode).
PyResult<Value> call_immediate(RuntimeContext& ctx, Value callee, std::span<const Value> positional,
                               std::span<const std::pair<Symbol, Value>> keywords);
PyResult<bool> is_callable(RuntimeContext& ctx, Value v);

// ---- names ---------------------------------------------------------------------------------------
PyStatus push_builtin_name(RuntimeContext& ctx, Symbol s);
PyResult<std::optional<Value>> load_builtin(RuntimeContext& ctx, std::string_view name);
PyStatus store_scope_name(RuntimeContext& ctx, Value scope, Symbol symbol, Value v);
PyResult<std::optional<Value>> delete_scope_name(RuntimeContext& ctx, Value scope, Symbol symbol);
// (defining class, first argument) of the innermost method frame.
std::optional<std::pair<Value, Value>> load_dunder_class(RuntimeContext& ctx);

// ---- attributes ----------------------------------------------------------------------------------
PyResult<Value> load_attribute(RuntimeContext& ctx, Value obj, Symbol name);
// None when the attribute is missing (no error raised).
PyResult<std::optional<Value>> load_attribute_optional(RuntimeContext& ctx, Value obj, Symbol name);
PyStatus store_attribute(RuntimeContext& ctx, Value obj, Symbol name, Value v);
PyStatus delete_attribute(RuntimeContext& ctx, Value obj, Symbol name);
// `LoadMethod`: (callable, receiver or the no-receiver marker).
PyResult<std::pair<Value, Value>> load_method(RuntimeContext& ctx, Value obj, Symbol name);
// The value a class (and its MRO) binds to `name`, unbound.
PyResult<std::optional<Value>> class_lookup(RuntimeContext& ctx, Value cls, Symbol name);
// Fills an attribute site cache entry after a generic lookup on `obj` (a plain instance):
// `method` is the class function a LoadMethod bound (when `bound`).
void record_attribute_site(RuntimeContext& ctx, SiteEntry& site, Value obj, Symbol name, Value method, bool bound);
// Any attribute change of a class invalidates the attribute caches.
void invalidate_attribute_caches(RuntimeContext& ctx);

// ---- operators ------------------------------------------------------------------------------------
PyResult<Value> binary_operation(RuntimeContext& ctx, std::uint8_t op, Value a, Value b, bool inplace);
PyResult<Value> compare_operation(RuntimeContext& ctx, std::uint8_t op, Value a, Value b);
PyResult<Value> unary_operation(RuntimeContext& ctx, std::uint8_t op, Value a);
PyResult<bool> truth(RuntimeContext& ctx, Value v);
// Whether the comparison `op` (0 ==, 1 !=, 2 <, 3 <=, 4 >, 5 >=) holds, by the full operator.
PyResult<bool> compare_holds(RuntimeContext& ctx, std::uint8_t op, Value a, Value b);
PyResult<bool> values_equal(RuntimeContext& ctx, Value a, Value b);
PyResult<std::uint64_t> hash_value(RuntimeContext& ctx, Value v);
PyResult<Value> subscript(RuntimeContext& ctx, Value container, Value key);
PyStatus store_subscript(RuntimeContext& ctx, Value container, Value key, Value v);
PyStatus delete_subscript(RuntimeContext& ctx, Value container, Value key);
PyResult<bool> contains(RuntimeContext& ctx, Value container, Value item);
// `format(v, spec)` of builtin values and program classes with __format__.
PyResult<std::string> format_with_spec(RuntimeContext& ctx, Value v, std::string_view spec);
PyResult<Value> format_field(RuntimeContext& ctx, Value v, std::int32_t conversion, std::string_view spec);

// ---- text ----------------------------------------------------------------------------------------
PyResult<std::string> repr_text(RuntimeContext& ctx, Value v);
PyResult<std::string> str_text(RuntimeContext& ctx, Value v);
PyResult<std::string> type_name(RuntimeContext& ctx, Value v);
// `type(x)`: a class object, a builtin type handle or an exception type handle.
PyResult<Value> type_of(RuntimeContext& ctx, Value v);

// ---- values -------------------------------------------------------------------------------------
PyResult<Value> new_list(RuntimeContext& ctx, std::vector<Value> items);
PyResult<Value> new_tuple(RuntimeContext& ctx, std::vector<Value> items);
PyResult<Value> new_dict(RuntimeContext& ctx, std::span<const std::pair<Value, Value>> pairs);
PyResult<Value> new_set(RuntimeContext& ctx, std::span<const Value> items, bool frozen);
PyResult<Value> make_str(RuntimeContext& ctx, std::string text);
PyStatus dict_store(RuntimeContext& ctx, Value dict, Value key, Value v);
// Adds an element to a set; true when it was not there.
PyResult<bool> set_insert(RuntimeContext& ctx, Value set, Value element);
PyResult<std::optional<Value>> dict_lookup(RuntimeContext& ctx, Value dict, Value key);
// Every element of an iterable, each charged one work unit.
PyResult<std::vector<Value>> collect_iterable(RuntimeContext& ctx, Value iterable);
PyResult<Value> get_iterator(RuntimeContext& ctx, Value v);
// One step: a value, none when exhausted, or Refresh when a frame was pushed.
struct IterStep {
    std::optional<Value> item;
    bool refresh = false;
};
PyResult<IterStep> iterator_next(RuntimeContext& ctx, Value it);
PyResult<Value> make_function(RuntimeContext& ctx, const FunctionInfo& info, std::vector<Value> defaults);
PyResult<Value> make_class(RuntimeContext& ctx, const ClassInfo& info, std::vector<Value> bases, Value metaclass);
// Instantiates a program class.
PyResult<StepOutcome> instantiate_class(RuntimeContext& ctx, Value cls, NativeCall call);
PyResult<std::optional<std::string>> exception_class_name(RuntimeContext& ctx, Value v);
PyResult<bool> exception_matches(RuntimeContext& ctx, Value exc, Value type);
PyResult<bool> isinstance(RuntimeContext& ctx, Value v, Value cls);
PyResult<TypeId> class_type_id(RuntimeContext& ctx, Value cls);

// ---- generators ------------------------------------------------------------------------------
PyResult<Value> make_generator(RuntimeContext& ctx, Value function, Value scope, Value globals,
                               std::shared_ptr<const CodeObject> code);
// Runs the generator until it yields (the value), or none when it has finished.
PyResult<std::optional<Value>> generator_step(RuntimeContext& ctx, Value gen, Value sent);

// ---- streams ------------------------------------------------------------------------------------
PyStatus write_stdout(RuntimeContext& ctx, std::string_view text);
PyStatus write_stderr(RuntimeContext& ctx, std::string_view text);
// One line of standard input for `input()` (suspends while none is there): the str without its
// line end; EOFError "EOF when reading a line" at the end of input.
PyResult<Value> read_input_line(RuntimeContext& ctx);
// How a read of standard input ends: at a line feed (kept), after `limit` characters (bytes when
// raw), or at the end of input. A raw read answers bytes; any other must be valid UTF-8
// ("standard input is not valid UTF-8").
struct StdinRead {
    bool raw = false;
    bool line = false;
    std::optional<std::uint64_t> limit;
};
// The text read; empty at the end of input. A dispatched program that must wait fails with the
// suspension; the read is repeated once the input is there and loses nothing.
PyResult<std::string> read_stdin(RuntimeContext& ctx, const StdinRead& how);
// One line of standard input with its line end (a str, or bytes for the byte stream); none at the
// end of input. A dispatched program that must wait fails with the suspension.
PyResult<std::optional<Value>> read_stdin_line(RuntimeContext& ctx, bool bytes);

// ---- builtins --------------------------------------------------------------------------------
// Runs builtin function `id` with its arguments; pushes its result.
PyResult<StepOutcome> call_builtin_function(RuntimeContext& ctx, std::uint32_t id, NativeCall call, CallMode mode);
PyResult<Value> construct_builtin_type(RuntimeContext& ctx, TypeId type, NativeCall call);
// A native function of the builtins the engine provides itself (getattr, hasattr, id, ...).
std::optional<Value> builtin_native_function(std::string_view name);
// The native method of a builtin type by name, or none.
std::optional<Value> builtin_method(TypeId type, std::string_view name);

}  // namespace vm
}  // namespace tw::py
