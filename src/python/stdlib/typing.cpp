// The `typing` module: annotations are only recorded, so its names are plain texts and its
// helpers answer their argument or an empty result.
#include <fmt/format.h>

#include <array>

#include "python/heap/heap.h"
#include "python/objects/descriptors.h"
#include "python/objects/value_access.h"
#include "python/vm/call.h"

namespace tw::py {

namespace {

PyStatus expect_count(const NativeCall& call, std::string_view name, std::size_t n) {
    if (call.positional.size() != n)
        return fail(PyError::type_error(
            fmt::format("{}() expected {}..={} positional arguments, got {}", name, n, n, call.positional.size())));
    if (!call.keywords.empty())
        return fail(PyError::type_error(fmt::format("{}() does not accept keyword arguments", name)));
    return {};
}

#define TW_EXPECT(call, name, n) \
    if (auto ok = expect_count(call, name, n); !ok) return fail(std::move(ok.error()))

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

constexpr NativeConstant lazy(std::string_view name, LazyBuilderFn builder) {
    NativeConstant c;
    c.tag = ConstantTag::Lazy;
    c.name = name;
    c.builder = builder;
    return c;
}
constexpr NativeConstant text(std::string_view name, std::string_view value) {
    NativeConstant c;
    c.tag = ConstantTag::Str;
    c.name = name;
    c.text = value;
    return c;
}

constexpr std::array kConstants{
    lazy("TYPE_CHECKING", &type_checking),
    lazy("List", &list_alias),
    text("Any", "typing.Any"),
    text("Optional", "typing.Optional"),
    text("Dict", "typing.Dict"),
    text("Tuple", "typing.Tuple"),
    text("Set", "typing.Set"),
    text("Callable", "typing.Callable"),
    text("Annotated", "Annotated"),
    text("ClassVar", "ClassVar"),
    text("Final", "Final"),
    text("Generic", "Generic"),
    text("Generator", "Generator"),
    text("Iterable", "Iterable"),
    text("Iterator", "Iterator"),
    text("Literal", "Literal"),
    text("Mapping", "Mapping"),
    text("MutableMapping", "MutableMapping"),
    text("Never", "Never"),
    text("Protocol", "Protocol"),
    text("Self", "Self"),
    text("Sequence", "Sequence"),
    text("Type", "Type"),
    text("TypeAlias", "TypeAlias"),
    text("Union", "Union"),
};

}  // namespace

extern const NativeModule kTypingNativeModule{"typing", kFunctions, kConstants};

}  // namespace tw::py
