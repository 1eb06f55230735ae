// enum.Enum members built directly as an enumeration class: their name and value properties and
// their representation, text and hash.
#include <gtest/gtest.h>

#include "pyvm/runtime_fixture.h"
#include "python/number/hash.h"
#include "python/types/mapping_types.h"
#include "python/vm/call.h"
#include "python/vm/native_runtime.h"
#include "python/vm/classes.h"
#include "python/vm/engine.h"

namespace tw::py {
namespace {

struct EnumMembers : RuntimeFixture {
    EngineRuntime rt{ctx};
    Symbol sym(std::string_view name) { return in.heap.symbols.intern(name, machine.meter).value(); }

    // An enumeration class over enum.Enum with the members given.
    Value enumeration(std::string name, std::vector<std::pair<std::string, Value>> members) {
        vm::ClassSpec spec;
        spec.name = std::move(name);
        spec.metaclass = type(BuiltinType::Type);
        spec.bases = {type(BuiltinType::Enum)};
        for (auto& [m, v] : members) spec.members.emplace_back(sym(m), v);
        auto cls = vm::py_build_class(ctx, std::move(spec));
        EXPECT_TRUE(cls) << error_of(cls);
        return *cls;
    }
    Value member(Value cls, std::string_view name) { return vm::load_attribute(ctx, cls, sym(name)).value(); }
    std::string text(const SlotValue& r) {
        if (!r || !*r) return "error: " + error_of(r);
        return std::string(*str_view(in.heap, **r).value());
    }
};

TEST_F(EnumMembers, NameValueReprStrHash) {
    Value color = enumeration("Color", {{"RED", Value::from_int(1)}, {"GREEN", str("g")}});
    Value red = member(color, "RED");
    EXPECT_EQ(text(enum_repr(rt, red)), "<Color.RED: 1>");
    EXPECT_EQ(text(enum_str(rt, red)), "Color.RED");
    EXPECT_EQ(text(enum_repr(rt, member(color, "GREEN"))), "<Color.GREEN: 'g'>");
    auto h = enum_hash(rt, red);
    ASSERT_TRUE(h && *h);
    EXPECT_EQ((*h)->as_int(), py_hash_str("RED"));
    EXPECT_EQ(vm::load_attribute(ctx, red, sym("value"))->as_int(), 1);
    EXPECT_EQ(*str_view(in.heap, *vm::load_attribute(ctx, red, sym("name"))).value(), "RED");
    // The protocols reach the slots: repr() and str() of a member.
    EXPECT_EQ(vm::repr_text(ctx, red).value(), "<Color.RED: 1>");
    EXPECT_EQ(vm::str_text(ctx, red).value(), "Color.RED");
}

TEST_F(EnumMembers, BrokenMembers) {
    Value color = enumeration("Color", {{"RED", Value::from_int(1)}});
    Value red = member(color, "RED");
    // A name that is no str: str, repr and hash fail, the name property still answers.
    ASSERT_TRUE(vm::store_attribute(ctx, red, sym("_name_"), Value::from_int(5)));
    EXPECT_EQ(text(enum_str(rt, red)), "error: enum member name must be a string");
    EXPECT_EQ(text(enum_repr(rt, red)), "error: enum member name must be a string");
    EXPECT_EQ(error_of(enum_hash(rt, red)), "enum member name must be a string");
    EXPECT_EQ(vm::load_attribute(ctx, red, sym("name"))->as_int(), 5);
    // Without a value: str works, repr names the missing attribute.
    ASSERT_TRUE(vm::store_attribute(ctx, red, sym("_name_"), str("RED")));
    ASSERT_TRUE(vm::delete_attribute(ctx, red, sym("_value_")));
    EXPECT_EQ(text(enum_str(rt, red)), "Color.RED");
    EXPECT_EQ(text(enum_repr(rt, red)), "error: enum member has no _value_");
}

}  // namespace
}  // namespace tw::py
