// Calling classes built directly: data-class initialisers with defaults, factories and the
// keyword-only option; enumeration lookups; the registry's size after a class changes.
#include <gtest/gtest.h>

#include "pyvm/runtime_fixture.h"
#include "python/objects/instance.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/vm/attributes.h"
#include "python/vm/call.h"
#include "python/vm/classes.h"
#include "python/vm/engine.h"

namespace tw::py {
namespace {

struct Instantiation : RuntimeFixture {
    Symbol sym(std::string_view name) { return in.heap.symbols.intern(name, machine.meter).value(); }

    Value build(std::string name, std::vector<std::pair<std::string, Value>> fields,
                std::vector<std::pair<std::string, Value>> members = {}, std::uint32_t layout = vm::kObjectLayout) {
        vm::ClassSpec spec;
        spec.name = std::move(name);
        spec.metaclass = type(BuiltinType::Type);
        spec.layout = layout;
        for (auto& [f, v] : fields) {
            if (v.is_present()) spec.ns.insert(sym(f), v);
            spec.fields.emplace_back(f, v);
        }
        for (auto& [m, v] : members) spec.members.emplace_back(sym(m), v);
        auto cls = vm::py_build_class(ctx, std::move(spec));
        EXPECT_TRUE(cls) << error_of(cls);
        return *cls;
    }

    PyResult<Value> call(Value cls, std::vector<Value> positional, std::vector<std::pair<std::string, Value>> keywords = {}) {
        auto r = vm::py_instantiate(ctx, cls, NativeCall{std::move(positional), std::move(keywords)}, true);
        if (!r) return fail(std::move(r.error()));
        Value v = in.state.values.back();
        in.state.values.pop_back();
        return v;
    }

    Value attr(Value obj, std::string_view name) {
        auto v = instance_get_attr(in.heap, obj, sym(name));
        return v && *v ? **v : Value::absent();
    }
};

TEST_F(Instantiation, DataClassFieldsTakeArgumentsThenDefaults) {
    Value point = build("Point", {{"x", Value::absent()}, {"y", Value::from_int(0)}});
    ASSERT_TRUE(vm::mark_dataclass(ctx, point));
    auto p = call(point, {Value::from_int(1)});
    ASSERT_TRUE(p) << error_of(p);
    EXPECT_EQ(attr(*p, "x"), Value::from_int(1));
    EXPECT_EQ(attr(*p, "y"), Value::from_int(0));
    auto q = call(point, {}, {{"y", Value::from_int(5)}, {"x", Value::from_int(4)}});
    ASSERT_TRUE(q) << error_of(q);
    EXPECT_EQ(attr(*q, "y"), Value::from_int(5));

    struct Case {
        std::vector<Value> positional;
        std::vector<std::pair<std::string, Value>> keywords;
        const char* message;
    };
    const Case cases[] = {
        {{}, {}, "Point() missing required argument: \"x\""},
        {{Value::from_int(1)}, {{"x", Value::from_int(2)}}, "Point() got multiple values for argument \"x\""},
        {{}, {{"x", Value::from_int(1)}, {"x", Value::from_int(2)}}, "Point() got multiple values for argument \"x\""},
        {{Value::from_int(1), Value::from_int(2), Value::from_int(3)}, {}, "Point() takes 2 positional arguments but 3 were given"},
        {{Value::from_int(1)}, {{"z", Value::from_int(2)}}, "Point() got an unexpected keyword argument \"z\""},
    };
    for (const Case& c : cases) EXPECT_EQ(error_of(call(point, c.positional, c.keywords)), c.message);

    // The field names are stored for the data class module; instances refuse hashing.
    auto names = vm::load_attribute(ctx, point, sym("__tarnwick_dataclass_field_names__"));
    ASSERT_TRUE(names) << error_of(names);
    EXPECT_EQ(std::get<TuplePayload>(in.heap.get_if_object(*names)->object).items.size(), 2u);
    EXPECT_EQ(error_of(vm::hash_value(ctx, *p)), "unhashable type: 'Point'");

    // The keyword-only option refuses positional arguments.
    ASSERT_TRUE(vm::store_attribute(ctx, point, sym("__tarnwick_dataclass_kw_only__"), Value::from_bool(true)));
    EXPECT_EQ(error_of(call(point, {Value::from_int(1)})), "Point() accepts keyword arguments only");
}

TEST_F(Instantiation, DataClassFactoriesMakeAValuePerInstance) {
    Value marker_class = build("Field", {});
    auto marker = call(marker_class, {});
    ASSERT_TRUE(marker) << error_of(marker);
    StoreContext sc{in.heap, &in, machine.meter};
    ASSERT_TRUE(instance_store_attr(sc, *marker, sym("_tarnwick_dataclass_field"), Value::from_bool(true)));
    ASSERT_TRUE(instance_store_attr(sc, *marker, sym("has_factory"), Value::from_bool(true)));
    ASSERT_TRUE(instance_store_attr(sc, *marker, sym("default_factory"), type(BuiltinType::List)));
    Value bag = build("Bag", {{"items", *marker}});
    ASSERT_TRUE(vm::mark_dataclass(ctx, bag));
    auto a = call(bag, {});
    auto b = call(bag, {});
    ASSERT_TRUE(a && b) << error_of(a) << error_of(b);
    Value la = attr(*a, "items"), lb = attr(*b, "items");
    ASSERT_TRUE(in.heap.get_if_object(la) && in.heap.get_if_object(la)->kind() == HeapObjectKind::List);
    EXPECT_NE(la, lb);

    // A marker that lost its factory flag is an internal inconsistency.
    Value broken_marker = *call(marker_class, {});
    ASSERT_TRUE(instance_store_attr(sc, broken_marker, sym("_tarnwick_dataclass_field"), Value::from_bool(true)));
    Value broken = build("Broken", {{"v", broken_marker}});
    ASSERT_TRUE(vm::mark_dataclass(ctx, broken));
    EXPECT_EQ(error_of(call(broken, {})), "data class field lost factory marker");
}

TEST_F(Instantiation, EnumerationCallsLookMembersUp) {
    Value color = build("Color", {}, {{"RED", Value::from_int(1)}, {"GREEN", Value::from_int(2)}});
    auto green = call(color, {Value::from_int(2)});
    ASSERT_TRUE(green) << error_of(green);
    EXPECT_EQ(std::string(*str_view(in.heap, attr(*green, "_name_")).value()), "GREEN");
    auto same = vm::load_attribute(ctx, color, sym("GREEN"));
    ASSERT_TRUE(same);
    EXPECT_EQ(*same, *green);
    EXPECT_EQ(error_of(call(color, {Value::from_int(7)})), "7 is not a valid Color");
    EXPECT_EQ(error_of(call(color, {str("x")})), "'x' is not a valid Color");
    EXPECT_EQ(error_of(call(color, {Value::from_int(1), Value::from_int(2)})), "Color() expects one value");
    EXPECT_EQ(error_of(call(color, {}, {{"value", Value::from_int(1)}})), "Color() expects one value");

    // Members of an int-based enumeration carry the integer as their payload.
    Value level = build("Level", {}, {{"LOW", Value::from_int(3)}}, type_id(BuiltinType::Int));
    auto low = call(level, {Value::from_int(3)});
    ASSERT_TRUE(low) << error_of(low);
    NumericView view = py_numeric_view(in.heap, *low);
    EXPECT_EQ(view.kind, NumericView::Small);
    EXPECT_EQ(view.small, 3);
}

TEST_F(Instantiation, ClassAttributeChangesRecountTheRegistry) {
    Value cls = build("C", {});
    const std::uint64_t before = in.types.modeled_size();
    ASSERT_TRUE(vm::store_attribute(ctx, cls, sym("__len__"), Value::from_int(1)));
    EXPECT_EQ(in.types.modeled_size(), before + 24);  // one more declared slot
    ASSERT_TRUE(vm::delete_attribute(ctx, cls, sym("__len__")));
    EXPECT_EQ(in.types.modeled_size(), before);
}

TEST(InstanceLayouts, CompareByKindAndPayloadType) {
    EXPECT_TRUE(vm::type_layouts_equal(vm::kObjectLayout, vm::kObjectLayout));
    EXPECT_TRUE(vm::type_layouts_equal(6, 6));
    EXPECT_FALSE(vm::type_layouts_equal(6, 11));
    EXPECT_FALSE(vm::type_layouts_equal(6, vm::kObjectLayout));
    EXPECT_TRUE(vm::type_layouts_differ(vm::kClassLayout, vm::kObjectLayout));
}

}  // namespace
}  // namespace tw::py
