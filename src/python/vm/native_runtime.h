// The engine's implementation of the native runtime interface over a runtime context, and the
// engine's own entry for calling a value to completion from native code.
#pragma once

#include <memory>

#include "python/vm/call.h"
#include "python/vm/runtime_context.h"

namespace tw::py {

class EngineRuntime final : public NativeRuntime {
public:
    explicit EngineRuntime(RuntimeContext& ctx) : ctx_(&ctx) {}

    RuntimeContext& context() override;
    Heap& heap() override;
    ResourceMeter& meter() override;
    RootSource* roots() override;
    const TypeRegistry& types() override;
    ExecState& exec() override;
    PyStatus charge_memory(std::uint64_t bytes) override;
    PyStatus charge_work(std::uint64_t units) override;
    bool set_deadline(bool enable, std::uint64_t timeout_ns) override;
    PyResult<ValueCategory> value_category(Value v) override;
    PyResult<Value> type_of(Value v) override;
    PyResult<std::optional<Value>> attribute_dict(Value v) override;
    std::optional<std::uint32_t> object_id(Value v) override;
    bool is_identical(Value a, Value b) override;
    PyResult<Value> call_native(NativeCallback callback, void* data) override;
    std::optional<std::int64_t> to_i64(Value v) override;
    PyResult<std::optional<std::string>> to_string(Value v) override;
    PyResult<std::optional<std::string>> to_bytes(Value v) override;
    PyResult<std::string> bytearray_bytes(Value v) override;
    PyStatus bytearray_assign(Value v, std::string bytes) override;
    bool is_int_type(Value v) override;
    bool is_str_type(Value v) override;
    bool is_ellipsis(Value v) override;
    Value not_implemented() override;
    bool is_not_implemented(Value v) override;
    PyResult<Value> new_complex(double real, double imag) override;
    PyResult<bool> is_true(Value v) override;
    PyResult<std::string> to_str(Value v) override;
    PyResult<std::string> repr(Value v) override;
    PyResult<std::string> default_repr(Value v) override;
    PyResult<std::optional<std::uint64_t>> len(Value v) override;
    PyResult<std::string> format(Value v, std::string_view spec) override;
    PyResult<bool> values_equal(Value a, Value b) override;
    PyResult<int> compare_order(Value a, Value b) override;
    PyResult<bool> less_than(Value a, Value b) override;
    PyResult<std::optional<Value>> getattr_optional(Value v, std::string_view name) override;
    PyResult<Value> getattr(Value v, std::string_view name) override;
    PyStatus setattr(Value v, std::string_view name, Value value) override;
    PyStatus set_pending_exception(std::string_view class_name, std::vector<Value> args) override;
    PyResult<std::optional<std::pair<std::string, std::vector<Value>>>> exception_parts(Value v) override;
    PyResult<std::optional<Value>> class_attribute(Value v, std::uint8_t selector) override;
    std::optional<std::uint8_t> native_object_kind(Value v) override;
    PyResult<std::optional<int>> deep_compare(Value a, Value b) override;
    PyResult<bool> builtin_equal(Value a, Value b) override;
    PyResult<std::optional<bool>> compare(std::uint8_t op, Value a, Value b) override;
    std::optional<BigInt> to_bigint(Value v) override;
    PyResult<std::uint64_t> stream_write(Value stream, std::string_view text) override;
    PyResult<StreamRead> stream_read(Value stream, bool has_limit, std::uint64_t limit, bool line) override;
    NumericView number_view(Value v) override;
    PyResult<std::string> repr_builtin(Value v) override;
    PyResult<std::string> format_fstring_field(Value v, std::int32_t conversion, std::string_view spec) override;
    PyResult<Value> reversed(Value v) override;
    PyResult<Value> native_reverse(Value v) override;
    PyResult<Value> new_generic_alias(Value origin, Value args) override;
    PyStatus setattr_generic(Value v, std::string_view name, Value value) override;
    PyStatus delattr_generic(Value v, std::string_view name) override;
    PyStatus raise_stop_iteration(Value generator) override;
    PyResult<std::uint64_t> list_len(Value list) override;
    PyResult<std::vector<Value>> list_to_vec(Value list) override;
    PyStatus list_append(Value list, Value v) override;
    PyStatus list_insert(Value list, std::uint64_t index, Value v) override;
    PyStatus list_extend(Value list, std::vector<Value> values) override;
    PyResult<Value> list_pop(Value list, std::uint64_t index) override;
    PyResult<std::optional<std::uint64_t>> list_index(Value list, Value v, std::uint64_t start, std::uint64_t stop) override;
    PyStatus list_reverse(Value list) override;
    PyStatus list_clear(Value list) override;
    PyResult<std::vector<Value>> tuple_to_vec(Value tuple) override;
    PyResult<std::optional<std::array<Value, 3>>> slice_parts(Value v) override;
    PyResult<std::vector<ValuePair>> dict_items(Value mapping) override;
    PyResult<std::optional<Value>> dict_get(Value mapping, Value key) override;
    PyStatus dict_set(Value mapping, Value key, Value v) override;
    PyResult<std::optional<Value>> dict_remove(Value mapping, Value key) override;
    PyResult<std::optional<Value>> dict_last_key(Value mapping) override;
    PyStatus dict_update(Value mapping, std::vector<ValuePair> pairs) override;
    PyResult<Value> subscript(Value container, Value key) override;
    PyResult<std::vector<Value>> set_items(Value set) override;
    PyResult<bool> set_is_frozen(Value set) override;
    PyResult<bool> set_add(Value set, Value v) override;
    PyResult<bool> set_discard(Value set, Value v) override;
    PyStatus list_replace(Value list, std::vector<Value> values) override;
    PyResult<Value> call(Value callable, std::span<const Value> positional, std::span<const KeywordArgument> keywords) override;
    PyResult<Value> call_symbols(Value callable, std::span<const Value> positional, std::span<const std::pair<Symbol, Value>> keywords) override;
    bool is_callable(Value v) override;
    bool iterator_kind(Value v) override;
    bool iterator_state(Value v) override;
    PyResult<Value> get_iterator(Value v) override;
    PyResult<std::optional<Value>> collect(Value v) override;
    bool has_builtin_payload(Value v) override;
    PyResult<std::optional<Value>> iterator_next(Value iterator) override;
    PyResult<std::optional<Value>> generator_state(Value generator, Value sent) override;
    PyResult<Value> coroutine_result(Value coroutine) override;
    PyResult<CoroutineStep> coroutine_step(Value coroutine, Value sent) override;
    PyStatus generator_close(Value generator) override;
    PyResult<Value> generator_throw(Value generator, Value exception) override;
    PyResult<Value> new_value_iterator(std::vector<Value> values) override;
    PyResult<Value> new_count_iterator(std::int64_t start, std::int64_t step) override;
    PyResult<Value> new_list(std::vector<Value> values) override;
    PyResult<Value> new_tuple(std::vector<Value> values) override;
    PyResult<Value> new_dict(std::vector<ValuePair> pairs) override;
    PyResult<Value> new_set(std::vector<Value> values) override;
    PyResult<Value> new_frozenset(std::vector<Value> values) override;
    PyResult<Value> new_defaultdict(Value factory) override;
    PyResult<Value> dict_copy(Value mapping) override;
    PyResult<Value> subscript_builtin(Value container, Value key) override;
    PyResult<bool> contains_native(Value container, Value item) override;
    PyResult<std::vector<ValuePair>> mapping_items(Value v) override;
    PyResult<Value> new_dict_view(std::uint8_t kind, Value mapping) override;
    std::optional<std::pair<std::uint8_t, Value>> dict_view_parts(Value v) override;
    PyResult<std::optional<Value>> set_first(Value set) override;
    PyStatus set_replace(Value set, std::vector<Value> values) override;
    PyResult<Value> type_call(Value cls, std::span<const Value> positional, std::span<const KeywordArgument> keywords) override;
    PyResult<Value> new_str(std::string text) override;
    PyResult<Value> new_bytes(std::string bytes) override;
    PyResult<Value> new_bytearray(std::string bytes) override;
    PyResult<Value> int_from_str(std::string_view digits) override;
    PyResult<Value> property_getter(Value property) override;
    PyResult<std::optional<Value>> property_setter(Value property) override;
    PyResult<Value> new_property(Value getter, std::optional<Value> setter) override;
    PyResult<Value> object_new(Value cls, bool has_arguments) override;
    std::string program_name() override;
    PyResult<Value> new_str_list(std::vector<std::string> texts) override;
    PyResult<Value> search_path_list() override;
    PyResult<Value> import_module(std::string_view name) override;
    PyResult<Value> registered_kind_value(const ValueKindDef& kind, std::uint64_t payload) override;
    std::optional<std::uint64_t> is_registered_kind(Value v, const ValueKindDef& kind) override;
    PyResult<Value> new_registered_object(const ValueKindDef& kind, std::array<std::uint64_t, 2> payload) override;
    std::optional<std::array<std::uint64_t, 2>> registered_object_payload(Value v, const ValueKindDef& kind) override;
    const ValueKindDef* registered_kind_of(Value v) override;
    std::optional<std::string> native_type_name(Value v) override;
    std::optional<Value> builtin_by_name(std::string_view name) override;
    PyResult<Value> registered_kind_class(const ValueKindDef& kind) override;
    PyResult<Value> apply_operator(std::uint8_t kind, std::uint8_t code, std::span<const Value> operands) override;
    PyResult<Value> new_bigint(BigInt value) override;
    PyResult<Value> type_new(TypeId builtin, Value cls, NativeCall arguments) override;
    Value static_value(std::uint8_t selector) override;
    PyResult<Value> type_new_class(Value metaclass, Value name, Value bases, Value ns) override;
    PyStatus mark_dataclass(Value cls) override;
    PyResult<Value> new_argparse_parser(std::string prog, std::optional<std::string> description, bool add_help, bool is_subcommand) override;
    PyResult<ArgumentParserRecord> argparse_snapshot(Value parser) override;
    PyStatus argparse_add_argument(Value parser, ArgumentSpec argument) override;
    PyStatus argparse_add_subparsers(Value parser, SubparsersSpec subparsers) override;
    PyResult<std::uint64_t> argparse_add_parser(Value parser, SubcommandSpec command) override;
    PyResult<Value> new_array(ArrayStorage storage, PyArrayDtype dtype, std::vector<std::uint64_t> shape, std::vector<std::int64_t> strides) override;
    PyResult<Value> array_view(Value array, PyArrayView view) override;
    PyResult<PyArrayView> array_info(Value array) override;
    PyResult<std::uint32_t> array_storage_id(Value array) override;
    PyResult<std::optional<Value>> array_base(Value array) override;
    PyStatus set_array_writeable(Value array, bool writeable) override;
    PyResult<Value> array_data(std::span<const Value> arrays, ArrayReadCallback callback, void* data) override;
    PyResult<Value> array_assign(Value array, ArrayWriteCallback callback, void* data) override;
    PyResult<Value> new_regex(std::string pattern, std::uint32_t flags) override;
    PyResult<Value> new_match(MatchRecord match) override;
    PyResult<std::pair<std::string, std::uint32_t>> regex_pattern(Value regex) override;
    PyResult<MatchRecord> match_snapshot(Value match) override;
    std::vector<std::string> collect_strings() override;
    PyResult<Value> new_module(std::string_view name, std::string_view origin, Value spec, Value loader) override;
    PyStatus exec_module(Value module, std::string_view path) override;
    PyResult<Value> new_namespace(std::vector<std::pair<std::string, Value>> entries) override;
    PyResult<Value> new_raises_context(std::string expected) override;
    PyResult<std::string> raises_context(Value v) override;
    std::optional<std::string> exception_type_index(Value v) override;
    Value exception_type_value(std::string_view name) override;
    PyStatus wait_resources(std::vector<WaitReason> resources) override;
    PyClock& clock() override;
    PyEnvironment& environment() override;
    PyHttp& http() override;
    PyVfs& vfs() override;
    std::optional<Value> frame_module_name(std::uint64_t depth) override;
    std::optional<std::pair<std::string, std::uint32_t>> caller_location(std::optional<std::uint64_t> depth) override;
    PyResult<std::optional<std::vector<ParameterRecord>>> signature_parameters(Value callable) override;
    std::optional<std::pair<bool, bool>> function_flags(Value v) override;
    PyStatus kill(std::uint32_t pid, std::uint32_t signal) override;
    std::uint32_t getpid() override;
    std::uint32_t getppid() override;
    std::string type_name(Value v) override;
    std::optional<Value> active_exception() override;
    PyResult<Value> sys_modules() override;
    PyStatus set_module(std::string_view name, Value module) override;
    bool remove_module(std::string_view name) override;

private:
    PyResult<std::optional<int>> deep_compare_at(Value a, Value b, std::uint64_t depth);
    PyResult<bool> item_equal(Value a, Value b);

    struct Services;
    Services& services();

    RuntimeContext* ctx_;
    std::shared_ptr<Services> services_;  // made at the first use of a service
};

// The same entry as `NativeRuntime::call`, for code holding only the runtime context.
PyResult<Value> call_value(RuntimeContext& ctx, Value callable, std::span<const Value> positional,
                           std::span<const KeywordArgument> keywords = {});
PyResult<Value> call_value_symbols(RuntimeContext& ctx, Value callable, std::span<const Value> positional,
                                   std::span<const std::pair<Symbol, Value>> keywords);

}  // namespace tw::py
