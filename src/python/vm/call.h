// The handle native code holds on the running interpreter: `NativeRuntime`, an abstract
// interface whose one implementation is the engine's (vm/native_runtime.h). Native functions of
// modules and the slot and method rows of the builtin types reach the heap, the execution state
// and the machine only through it, so the libraries that define them do not depend on the
// engine. A handle lives no longer than the native call it was made for.
//
// Operations that run Python code (call, is_true, to_str, repr, format, the comparisons,
// getattr, setattr, import_module and the dict operations that hash keys) run it to completion
// before they return. Every heap handle an operation hands out is a root until the native call
// ends; a native function keeps none beyond its call except inside heap objects.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/heap/bigint.h"
#include "python/heap/error.h"
#include "python/heap/namespace.h"
#include "python/heap/type_id.h"
#include "python/heap/value.h"
#include "python/objects/descriptors.h"
#include "python/objects/value_access.h"
#include "python/vm/native_objects.h"
#include "python/vm/py_vfs.h"
#include "python/vm/services.h"

namespace tw {
class ResourceMeter;
class WaitReason;
}  // namespace tw

namespace tw::py {

class Heap;
class ExecState;
class TypeRegistry;
struct RootSource;
struct RuntimeContext;

// A keyword argument of a call made by native code: the name's text and the value.
using KeywordArgument = std::pair<std::string, Value>;
using ValuePair = std::pair<Value, Value>;

// The coarse class of a value (`value_category`).
enum class ValueCategory : std::uint8_t {
    None = 0, Bool, Int, Float, Str, Bytes, ByteArray, List, Tuple, Dict, Set, Function, Class, Instance,
    Iterator, Generator, Module, NdArray, Complex, Other,
};

// One parameter of a Python function: its name, its kind (0 positional-only, 1 positional or
// keyword, 2 *args, 3 keyword-only, 4 **kwargs) and its default.
struct ParameterRecord {
    std::string name;
    std::uint8_t kind = 0;
    std::optional<Value> default_value;
};

// One step of a coroutine driven by a native event loop: the value it yielded, the value it
// returned, or the exception it raised.
struct CoroutineStep {
    enum Kind : std::uint8_t { Yielded = 0, Returned = 1, Raised = 2 } kind = Yielded;
    Value value;
};

// What a read of standard input gives: text (sys.stdin) or bytes (sys.stdin.buffer).
struct StreamRead {
    bool bytes = false;
    std::string data;
};

class NativeRuntime;
// A callback run by `call_native` with a nested handle.
using NativeCallback = PyResult<Value> (*)(NativeRuntime& rt, void* data);
using ArrayReadCallback = PyResult<Value> (*)(NativeRuntime& rt, std::span<const ArrayData> arrays, void* data);
using ArrayWriteCallback = PyResult<Value> (*)(NativeRuntime& rt, ArrayStorage& storage, void* data);

class NativeRuntime {
public:
    virtual ~NativeRuntime() = default;

    // ---- the records behind the handle ----------------------------------------------------------
    virtual RuntimeContext& context() = 0;  // for the engine's own native code
    virtual Heap& heap() = 0;
    virtual ResourceMeter& meter() = 0;
    virtual RootSource* roots() = 0;
    virtual const TypeRegistry& types() = 0;
    virtual ExecState& exec() = 0;

    // ---- core value operations ------------------------------------------------------------------
    // A native allocation of `bytes`, given back when the native call (or callback) ends.
    virtual PyStatus charge_memory(std::uint64_t bytes) = 0;
    virtual PyStatus charge_work(std::uint64_t units) = 0;
    // Arms the program's deadline (true) or clears it (false when `enable` is false or the
    // timeout is 0).
    virtual bool set_deadline(bool enable, std::uint64_t timeout_ns) = 0;
    virtual PyResult<ValueCategory> value_category(Value v) = 0;
    virtual PyResult<Value> type_of(Value v) = 0;
    // `vars(x)`: a live mapping of a module's or an instance's attributes, a read-only proxy of a
    // class's; none for values without attributes.
    virtual PyResult<std::optional<Value>> attribute_dict(Value v) = 0;
    // Slot index + 1 of a live heap object; none otherwise.
    virtual std::optional<std::uint32_t> object_id(Value v) = 0;
    virtual bool is_identical(Value a, Value b) = 0;
    virtual PyResult<Value> call_native(NativeCallback callback, void* data) = 0;
    virtual std::optional<std::int64_t> to_i64(Value v) = 0;
    virtual PyResult<std::optional<std::string>> to_string(Value v) = 0;
    virtual PyResult<std::optional<std::string>> to_bytes(Value v) = 0;
    virtual PyResult<std::string> bytearray_bytes(Value v) = 0;
    virtual PyStatus bytearray_assign(Value v, std::string bytes) = 0;
    virtual bool is_int_type(Value v) = 0;
    virtual bool is_str_type(Value v) = 0;
    virtual bool is_ellipsis(Value v) = 0;
    virtual Value not_implemented() = 0;
    virtual bool is_not_implemented(Value v) = 0;
    virtual PyResult<Value> new_complex(double real, double imag) = 0;
    virtual PyResult<bool> is_true(Value v) = 0;
    virtual PyResult<std::string> to_str(Value v) = 0;
    virtual PyResult<std::string> repr(Value v) = 0;
    virtual PyResult<std::string> default_repr(Value v) = 0;
    virtual PyResult<std::optional<std::uint64_t>> len(Value v) = 0;
    virtual PyResult<std::string> format(Value v, std::string_view spec) = 0;
    virtual PyResult<bool> values_equal(Value a, Value b) = 0;
    // -1, 0 or 1 from `<` both ways.
    virtual PyResult<int> compare_order(Value a, Value b) = 0;
    virtual PyResult<bool> less_than(Value a, Value b) = 0;
    // Attribute lookup; an AttributeError gives none.
    virtual PyResult<std::optional<Value>> getattr_optional(Value v, std::string_view name) = 0;
    virtual PyResult<Value> getattr(Value v, std::string_view name) = 0;
    virtual PyStatus setattr(Value v, std::string_view name, Value value) = 0;
    // Makes an exception of the builtin class the pending exception.
    virtual PyStatus set_pending_exception(std::string_view class_name, std::vector<Value> args) = 0;
    virtual PyResult<std::optional<std::pair<std::string, std::vector<Value>>>> exception_parts(Value v) = 0;
    // Class metadata: 0 `__name__`, 1 `__module__`, 2 `__bases__`, 3 `__mro__`; none for a value
    // that is no class.
    virtual PyResult<std::optional<Value>> class_attribute(Value v, std::uint8_t selector) = 0;
    // 4 for a property; none for other values.
    virtual std::optional<std::uint8_t> native_object_kind(Value v) = 0;
    // Three-way order (-1, 0, 1) of builtin numbers, strings, bytes, lists and tuples without
    // running user code; none for values it cannot order.
    virtual PyResult<std::optional<int>> deep_compare(Value a, Value b) = 0;
    // Equality decided without running user code.
    virtual PyResult<bool> builtin_equal(Value a, Value b) = 0;
    // The structural comparison of two lists, two tuples, two dicts or two sets (op 0..5: ==, !=,
    // <, <=, >, >=); none for every other pair.
    virtual PyResult<std::optional<bool>> compare(std::uint8_t op, Value a, Value b) = 0;
    virtual std::optional<BigInt> to_bigint(Value v) = 0;
    // Writes to standard output (stream 1) or error (stream 2) under the output budget: the number
    // of characters of the text. TypeError "expected a simulated stream"; ValueError "standard
    // input is not writable".
    virtual PyResult<std::uint64_t> stream_write(Value stream, std::string_view text) = 0;
    // Reads standard input as text (stream 0) or bytes (stream 3): at most `limit` characters
    // (bytes) when `has_limit`, up to and including a line feed when `line`. A dispatched program
    // that must wait is suspended. ValueError "only standard input is readable".
    virtual PyResult<StreamRead> stream_read(Value stream, bool has_limit, std::uint64_t limit, bool line) = 0;
    virtual NumericView number_view(Value v) = 0;
    virtual PyResult<std::string> repr_builtin(Value v) = 0;
    virtual PyResult<std::string> format_fstring_field(Value v, std::int32_t conversion, std::string_view spec) = 0;
    // `reversed(x)`.
    virtual PyResult<Value> reversed(Value v) = 0;
    virtual PyResult<Value> native_reverse(Value v) = 0;
    // `origin[args]`.
    virtual PyResult<Value> new_generic_alias(Value origin, Value args) = 0;
    virtual PyStatus setattr_generic(Value v, std::string_view name, Value value) = 0;
    virtual PyStatus delattr_generic(Value v, std::string_view name) = 0;
    // StopIteration carrying the generator's return value becomes the pending exception.
    virtual PyStatus raise_stop_iteration(Value generator) = 0;

    // ---- containers -----------------------------------------------------------------------------
    virtual PyResult<std::uint64_t> list_len(Value list) = 0;
    virtual PyResult<std::vector<Value>> list_to_vec(Value list) = 0;
    virtual PyStatus list_append(Value list, Value v) = 0;
    virtual PyStatus list_insert(Value list, std::uint64_t index, Value v) = 0;
    virtual PyStatus list_extend(Value list, std::vector<Value> values) = 0;
    // IndexError "pop index out of range".
    virtual PyResult<Value> list_pop(Value list, std::uint64_t index) = 0;
    virtual PyResult<std::optional<std::uint64_t>> list_index(Value list, Value v, std::uint64_t start,
                                                              std::uint64_t stop) = 0;
    virtual PyStatus list_reverse(Value list) = 0;
    virtual PyStatus list_clear(Value list) = 0;
    virtual PyResult<std::vector<Value>> tuple_to_vec(Value tuple) = 0;
    virtual PyResult<std::optional<std::array<Value, 3>>> slice_parts(Value v) = 0;
    // Dicts, defaultdicts and the namespace dicts of modules and objects.
    virtual PyResult<std::vector<ValuePair>> dict_items(Value mapping) = 0;
    virtual PyResult<std::optional<Value>> dict_get(Value mapping, Value key) = 0;
    virtual PyStatus dict_set(Value mapping, Value key, Value v) = 0;
    virtual PyResult<std::optional<Value>> dict_remove(Value mapping, Value key) = 0;
    virtual PyResult<std::optional<Value>> dict_last_key(Value mapping) = 0;
    // The contents become exactly `pairs`.
    virtual PyStatus dict_update(Value mapping, std::vector<ValuePair> pairs) = 0;
    virtual PyResult<Value> subscript(Value container, Value key) = 0;
    virtual PyResult<std::vector<Value>> set_items(Value set) = 0;
    virtual PyResult<bool> set_is_frozen(Value set) = 0;
    virtual PyResult<bool> set_add(Value set, Value v) = 0;
    virtual PyResult<bool> set_discard(Value set, Value v) = 0;
    virtual PyStatus list_replace(Value list, std::vector<Value> values) = 0;
    // Calls any callable value to completion; a Python exception the callee does not catch is
    // pending when this fails with the raised marker.
    virtual PyResult<Value> call(Value callable, std::span<const Value> positional,
                                 std::span<const KeywordArgument> keywords = {}) = 0;
    virtual PyResult<Value> call_symbols(Value callable, std::span<const Value> positional,
                                         std::span<const std::pair<Symbol, Value>> keywords) = 0;
    virtual bool is_callable(Value v) = 0;
    // ---- iterators and generators ----------------------------------------------------------------
    // The value is an iterator (a native iterator kind or a generator).
    virtual bool iterator_kind(Value v) = 0;
    // The value is an `itertools.count` iterator.
    virtual bool iterator_state(Value v) = 0;
    // `iter(x)`.
    virtual PyResult<Value> get_iterator(Value v) = 0;
    // A native iterator over a builtin iterable; none for instances of program classes and values
    // that are not iterable.
    virtual PyResult<std::optional<Value>> collect(Value v) = 0;
    // The value is an instance of a user class.
    virtual bool has_builtin_payload(Value v) = 0;
    // One `next()` step; none when the iterator is exhausted.
    virtual PyResult<std::optional<Value>> iterator_next(Value iterator) = 0;
    // `generator.send(value)`: the yielded value, or none when the generator finished.
    virtual PyResult<std::optional<Value>> generator_state(Value generator, Value sent) = 0;
    // A copy of a finished coroutine's return value: RuntimeError "coroutine has not completed".
    virtual PyResult<Value> coroutine_result(Value coroutine) = 0;
    // Sends the value into the coroutine; a Python exception it raises is the Raised step.
    virtual PyResult<CoroutineStep> coroutine_step(Value coroutine, Value sent) = 0;
    virtual PyStatus generator_close(Value generator) = 0;
    // `generator.throw(exc)`: the yielded value; StopIteration with the return value when the
    // generator finishes.
    virtual PyResult<Value> generator_throw(Value generator, Value exception) = 0;
    virtual PyResult<Value> new_value_iterator(std::vector<Value> values) = 0;
    virtual PyResult<Value> new_count_iterator(std::int64_t start, std::int64_t step) = 0;

    virtual PyResult<Value> new_list(std::vector<Value> values) = 0;
    virtual PyResult<Value> new_tuple(std::vector<Value> values) = 0;
    virtual PyResult<Value> new_dict(std::vector<ValuePair> pairs) = 0;
    virtual PyResult<Value> new_set(std::vector<Value> values) = 0;
    virtual PyResult<Value> new_frozenset(std::vector<Value> values) = 0;
    virtual PyResult<Value> new_defaultdict(Value factory) = 0;
    // A shallow copy as a new dict (a defaultdict keeps its factory).
    virtual PyResult<Value> dict_copy(Value mapping) = 0;
    virtual PyResult<Value> subscript_builtin(Value container, Value key) = 0;
    virtual PyResult<bool> contains_native(Value container, Value item) = 0;
    // The items of any mapping argument.
    virtual PyResult<std::vector<ValuePair>> mapping_items(Value v) = 0;
    // View kinds: 0 dict_keys, 1 dict_values, 2 dict_items, 3 mappingproxy.
    virtual PyResult<Value> new_dict_view(std::uint8_t kind, Value mapping) = 0;
    virtual std::optional<std::pair<std::uint8_t, Value>> dict_view_parts(Value v) = 0;
    virtual PyResult<std::optional<Value>> set_first(Value set) = 0;
    virtual PyStatus set_replace(Value set, std::vector<Value> values) = 0;
    // `type.__call__(cls, ...)`.
    virtual PyResult<Value> type_call(Value cls, std::span<const Value> positional,
                                      std::span<const KeywordArgument> keywords = {}) = 0;

    // ---- construction and small constructors ------------------------------------------------------
    virtual PyResult<Value> new_str(std::string text) = 0;
    virtual PyResult<Value> new_bytes(std::string bytes) = 0;
    virtual PyResult<Value> new_bytearray(std::string bytes) = 0;
    // ValueError "invalid integer".
    virtual PyResult<Value> int_from_str(std::string_view digits) = 0;
    virtual PyResult<Value> property_getter(Value property) = 0;
    virtual PyResult<std::optional<Value>> property_setter(Value property) = 0;
    virtual PyResult<Value> new_property(Value getter, std::optional<Value> setter) = 0;
    // `object.__new__(cls)`.
    virtual PyResult<Value> object_new(Value cls, bool has_arguments) = 0;
    virtual std::string program_name() = 0;
    virtual PyResult<Value> new_str_list(std::vector<std::string> texts) = 0;
    // The one `sys.path` list object.
    virtual PyResult<Value> search_path_list() = 0;
    virtual PyResult<Value> import_module(std::string_view name) = 0;
    // Registered value kinds (the kinds of value_kind_list(): kind k is type 43 + k).
    virtual PyResult<Value> registered_kind_value(const ValueKindDef& kind, std::uint64_t payload) = 0;
    virtual std::optional<std::uint64_t> is_registered_kind(Value v, const ValueKindDef& kind) = 0;
    virtual PyResult<Value> new_registered_object(const ValueKindDef& kind, std::array<std::uint64_t, 2> payload) = 0;
    virtual std::optional<std::array<std::uint64_t, 2>> registered_object_payload(Value v, const ValueKindDef& kind) = 0;
    virtual const ValueKindDef* registered_kind_of(Value v) = 0;
    virtual std::optional<std::string> native_type_name(Value v) = 0;
    // The builtin type of that full name ("int", "re.Pattern").
    virtual std::optional<Value> builtin_by_name(std::string_view name) = 0;
    virtual PyResult<Value> registered_kind_class(const ValueKindDef& kind) = 0;
    // Kinds: 1 binary, 2 comparison, 3 abs, anything else unary.
    virtual PyResult<Value> apply_operator(std::uint8_t kind, std::uint8_t code, std::span<const Value> operands) = 0;
    virtual PyResult<Value> new_bigint(BigInt value) = 0;
    // `T.__new__(cls, *args, **kwargs)` for the builtin type T.
    virtual PyResult<Value> type_new(TypeId builtin, Value cls, NativeCall arguments) = 0;
    // 1 enum.Enum, 2 unittest.TestCase, 3 os.environ, 4..7 the standard streams (stdin text,
    // stdin bytes, stdout, stderr), 8 numpy.ndarray, anything else the typing.List marker.
    virtual Value static_value(std::uint8_t selector) = 0;
    // `type.__new__(metaclass, name, bases, namespace)`.
    virtual PyResult<Value> type_new_class(Value metaclass, Value name, Value bases, Value ns) = 0;
    // Stores the class's annotated field names as `__tarnwick_dataclass_field_names__` and marks
    // it so that instantiation fills the fields from the call's arguments.
    virtual PyStatus mark_dataclass(Value cls) = 0;

    // ---- argument parsers, patterns and matches ------------------------------------------------------
    virtual PyResult<Value> new_argparse_parser(std::string prog, std::optional<std::string> description, bool add_help,
                                                bool is_subcommand) = 0;
    // A copy of the parser's configuration, charged as a native allocation.
    virtual PyResult<ArgumentParserRecord> argparse_snapshot(Value parser) = 0;
    virtual PyStatus argparse_add_argument(Value parser, ArgumentSpec argument) = 0;
    virtual PyStatus argparse_add_subparsers(Value parser, SubparsersSpec subparsers) = 0;
    // The number of commands in the group after adding this one.
    virtual PyResult<std::uint64_t> argparse_add_parser(Value parser, SubcommandSpec command) = 0;
    // A `numpy.ndarray` over a new storage object: "array is too big.", "array storage does not
    // match its shape and dtype".
    virtual PyResult<Value> new_array(ArrayStorage storage, PyArrayDtype dtype, std::vector<std::uint64_t> shape,
                                      std::vector<std::int64_t> strides) = 0;
    // A new array sharing the array's storage; its base is the first array of the chain.
    virtual PyResult<Value> array_view(Value array, PyArrayView view) = 0;
    virtual PyResult<PyArrayView> array_info(Value array) = 0;
    virtual PyResult<std::uint32_t> array_storage_id(Value array) = 0;
    virtual PyResult<std::optional<Value>> array_base(Value array) = 0;
    virtual PyStatus set_array_writeable(Value array, bool writeable) = 0;
    virtual PyResult<Value> array_data(std::span<const Value> arrays, ArrayReadCallback callback, void* data) = 0;
    // ValueError "assignment destination is read-only" for a read-only view.
    virtual PyResult<Value> array_assign(Value array, ArrayWriteCallback callback, void* data) = 0;
    virtual PyResult<Value> new_regex(std::string pattern, std::uint32_t flags) = 0;
    virtual PyResult<Value> new_match(MatchRecord match) = 0;
    virtual PyResult<std::pair<std::string, std::uint32_t>> regex_pattern(Value regex) = 0;
    virtual PyResult<MatchRecord> match_snapshot(Value match) = 0;

    // ---- modules, program state and host services ---------------------------------------------------
    virtual std::vector<std::string> collect_strings() = 0;
    // A module object (not entered into sys.modules).
    virtual PyResult<Value> new_module(std::string_view name, std::string_view origin, Value spec, Value loader) = 0;
    virtual PyStatus exec_module(Value module, std::string_view path) = 0;
    // An `argparse.Namespace` holding the pairs in order.
    virtual PyResult<Value> new_namespace(std::vector<std::pair<std::string, Value>> entries) = 0;
    virtual PyResult<Value> new_raises_context(std::string expected) = 0;
    virtual PyResult<std::string> raises_context(Value v) = 0;
    virtual std::optional<std::string> exception_type_index(Value v) = 0;
    virtual Value exception_type_value(std::string_view name) = 0;
    // Makes the program wait until one of the resources is ready.
    virtual PyStatus wait_resources(std::vector<WaitReason> resources) = 0;
    // The machine services, acting for the running process.
    virtual PyClock& clock() = 0;
    virtual PyEnvironment& environment() = 0;
    virtual PyHttp& http() = 0;
    virtual PyVfs& vfs() = 0;
    virtual std::optional<Value> frame_module_name(std::uint64_t depth) = 0;
    // (display file name, line) of a frame: depth 0 is the running frame.
    virtual std::optional<std::pair<std::string, std::uint32_t>> caller_location(std::optional<std::uint64_t> depth) = 0;
    virtual PyResult<std::optional<std::vector<ParameterRecord>>> signature_parameters(Value callable) = 0;
    // (is generator, is coroutine) of a function, bound method, generator or coroutine.
    virtual std::optional<std::pair<bool, bool>> function_flags(Value v) = 0;
    virtual PyStatus kill(std::uint32_t pid, std::uint32_t signal) = 0;
    virtual std::uint32_t getpid() = 0;
    virtual std::uint32_t getppid() = 0;
    virtual std::string type_name(Value v) = 0;
    virtual std::optional<Value> active_exception() = 0;
    virtual PyResult<Value> sys_modules() = 0;
    virtual PyStatus set_module(std::string_view name, Value module) = 0;
    virtual bool remove_module(std::string_view name) = 0;
};

}  // namespace tw::py
