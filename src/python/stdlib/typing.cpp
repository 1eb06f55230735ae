// The `typing` module: annotations are only recorded, so its names are plain texts and its
// helpers answer their argument or an empty result.
#include <fmt/format.h>

#include <array>

#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/stdlib/native_rows.h"
#include "python/objects/value_access.h"
#include "python/vm/call.h"

namespace tw::py {

namespace {

#define TW_EXPECT(call, name, n) \
    if (auto ok = expect_positional(call, name, n, n); !ok) return fail(std::move(ok.error()))

PyResult<Value> type_var(NativeRuntime& rt, NativeCall call) {
    if (call.positional.empty())
        return fail(PyError::type_error("typing.TypeVar() expected at least 1 positional argument, got 0"));
    auto name = str_view(rt.heap(), call.positional[0]);
    if (!name) return fail(std::move(name.error()));
    if (!*name) return fail(PyError::type_error("TypeVar name must be a string"));
    return rt.new_str(fmt::format("~{}", **name));
}

PyResult<Value> cast(NativeRuntime&, NativeCall call) {
    TW_EXPECT(call, "typing.cast", 2);
    return call.positional[1];
}

PyResult<Value> unchanged(NativeRuntime&, NativeCall call) {
    TW_EXPECT(call, "typing decorator", 1);
    return call.positional[0];
}

PyResult<Value> get_origin(NativeRuntime&, NativeCall call) {
    TW_EXPECT(call, "typing.get_origin", 1);
    return Value::none();
}

PyResult<Value> get_args(NativeRuntime& rt, NativeCall call) {
    TW_EXPECT(call, "typing.get_args", 1);
    return rt.new_tuple({});
}

PyResult<Value> named_tuple(NativeRuntime& rt, NativeCall call) {
    if (!call.keywords.empty())
        return fail(PyError::unsupported("typing.NamedTuple with keyword-argument fields is not supported"));
    if (call.positional.size() == 1)
        return fail(PyError::unsupported("typing.NamedTuple without a fields list is not supported"));
    TW_EXPECT(call, "NamedTuple", 2);
    Value module_name = rt.frame_module_name(0).value_or(Value::none());
    auto collections = rt.import_module("collections");
    if (!collections) return fail(std::move(collections.error()));
    auto build = rt.getattr_optional(*collections, "_namedtuple_from_pairs");
    if (!build) return fail(std::move(build.error()));
    if (!*build) return fail(PyError::runtime_error("collections._namedtuple_from_pairs is missing"));
    const Value args[3] = {call.positional[0], call.positional[1], module_name};
    return rt.call(**build, args);
}

#undef TW_EXPECT

PyResult<Value> type_checking(NativeRuntime&) { return Value::from_bool(false); }
PyResult<Value> list_alias(NativeRuntime& rt) { return rt.static_value(0); }

constexpr std::array kFunctions{
    NativeFunction{"typing", "TypeVar", &type_var, nullptr},
    NativeFunction{"typing", "cast", &cast, nullptr},
    NativeFunction{"typing", "overload", &unchanged, nullptr},
    NativeFunction{"typing", "runtime_checkable", &unchanged, nullptr},
    NativeFunction{"typing", "get_origin", &get_origin, nullptr},
    NativeFunction{"typing", "get_args", &get_args, nullptr},
    NativeFunction{"typing", "NamedTuple", &named_tuple, nullptr},
};

constexpr std::array kConstants{
    lazy_constant("TYPE_CHECKING", &type_checking),
    lazy_constant("List", &list_alias),
    text_constant("Any", "typing.Any"),
    text_constant("Optional", "typing.Optional"),
    text_constant("Dict", "typing.Dict"),
    text_constant("Tuple", "typing.Tuple"),
    text_constant("Set", "typing.Set"),
    text_constant("Callable", "typing.Callable"),
    text_constant("Annotated", "Annotated"),
    text_constant("ClassVar", "ClassVar"),
    text_constant("Final", "Final"),
    text_constant("Generic", "Generic"),
    text_constant("Generator", "Generator"),
    text_constant("Iterable", "Iterable"),
    text_constant("Iterator", "Iterator"),
    text_constant("Literal", "Literal"),
    text_constant("Mapping", "Mapping"),
    text_constant("MutableMapping", "MutableMapping"),
    text_constant("Never", "Never"),
    text_constant("Protocol", "Protocol"),
    text_constant("Self", "Self"),
    text_constant("Sequence", "Sequence"),
    text_constant("Type", "Type"),
    text_constant("TypeAlias", "TypeAlias"),
    text_constant("Union", "Union"),
};

}  // namespace

extern const NativeModule kTypingNativeModule{"typing", kFunctions, kConstants};

}  // namespace tw::py
