#include <gtest/gtest.h>

#include <string>

#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/instance.h"
#include "python/vm/attributes.h"
#include "python/vm/exec_state.h"
#include "python/vm/namespace.h"
#include "python/vm/runtime_context.h"
#include "runtime_fixture.h"

namespace tw::py {
namespace {

struct Attributes : RuntimeFixture {
    Symbol sym(std::string_view s) { return in.heap.symbols.intern_static(s); }
    // A program class `name` with `attrs` in its namespace, and its type identity.
    Value make_class(std::string name, std::vector<std::pair<std::string, Value>> attrs = {}) {
        auto rec = Box<ClassRecord>::make();
        rec->name = name;
        for (auto& [k, v] : attrs) rec->namespace_.insert(sym(k), v);
        TypeRecord type;
        type.name = name;
        type.bases = {type_id(BuiltinType::Object)};
        type.mro = {type_id(BuiltinType::Object)};
        type.origin = TypeOrigin::Program;
        TypeId id = in.types.append(std::move(type));
        in.types.resolve_from_mro(id);
        rec->type_id = id;
        rec->metaclass = intern_static_definition(StaticDefinition::of_builtin_type(type_id(BuiltinType::Type)));
        Value cls = alloc(ClassPayload{std::move(rec)});
        in.types.get_mut(id)->class_value = cls;
        return cls;
    }
    Value instance_of(Value cls) {
        TypeId id = std::get<ClassPayload>(in.heap.get(cls).value()->object).record->type_id;
        return in.heap.insert_object(id, ObjectPayload{}, &in, machine.meter).value();
    }
    std::optional<Value> get(Value obj, std::string_view name) { return py_getattr_by_name(ctx, obj, name).value(); }
    std::string set_error(Value obj, std::string_view name, Value v) {
        auto r = py_setattr(ctx, obj, sym(name), name, v);
        return r ? "no error" : std::string(r.error().message());
    }
    std::string del_error(Value obj, std::string_view name) {
        auto r = py_delattr(ctx, obj, sym(name), name);
        return r ? "no error" : std::string(r.error().message());
    }
};

TEST_F(Attributes, InstancesAndClasses) {
    Value cls = make_class("C", {{"x", Value::from_int(1)}, {"__module__", str("__main__")}});
    Value obj = instance_of(cls);
    EXPECT_EQ(get(obj, "x"), Value::from_int(1));
    ASSERT_EQ(set_error(obj, "x", Value::from_int(2)), "no error");
    EXPECT_EQ(get(obj, "x"), Value::from_int(2));  // the instance's value wins over a plain class attribute
    EXPECT_EQ(get(cls, "x"), Value::from_int(1));
    EXPECT_FALSE(get(obj, "never_interned_name").has_value());
    EXPECT_EQ(del_error(obj, "y"), "'C' object has no attribute 'y'");
    EXPECT_EQ(del_error(obj, "x"), "no error");
    EXPECT_EQ(get(obj, "x"), Value::from_int(1));
    EXPECT_EQ(set_error(cls, "__name__", Value::from_int(1)), "assigning or deleting a class's __name__ is not supported");
    EXPECT_EQ(del_error(cls, "__mro__"), "assigning or deleting a class's __mro__ is not supported");
    EXPECT_EQ(del_error(cls, "missing"), "type object 'C' has no attribute 'missing'");
    EXPECT_EQ(attribute_error_for(ctx, obj, "q").message(), "'C' object has no attribute 'q'");
    EXPECT_EQ(attribute_error_for(ctx, cls, "q").message(), "type object 'C' has no attribute 'q'");
}

TEST_F(Attributes, ClassStoresRefreshTheSlots) {
    Value base = make_class("A");
    TypeId a = std::get<ClassPayload>(in.heap.get(base).value()->object).record->type_id;
    // A subclass of A.
    Value sub = make_class("B");
    TypeId b = std::get<ClassPayload>(in.heap.get(sub).value()->object).record->type_id;
    in.types.get_mut(b)->mro.insert(in.types.get_mut(b)->mro.begin(), a);
    Value fn = alloc(FunctionPayload{Box<FunctionRecord>::make()});
    ASSERT_EQ(set_error(base, "__eq__", fn), "no error");
    EXPECT_EQ(in.types.slot(b, DunderSlot::Equal).value()->value, fn);
    ASSERT_EQ(del_error(base, "__eq__"), "no error");
    EXPECT_EQ(in.types.slot(b, DunderSlot::Equal).value(), nullptr);
}

TEST_F(Attributes, ReplacingDict) {
    Value obj = instance_of(make_class("C"));
    ASSERT_EQ(set_error(obj, "a", Value::from_int(1)), "no error");
    auto table = Box<DictTable>::make();
    Value bad = alloc(DictPayload{std::move(table)});
    EXPECT_EQ(set_error(obj, "__dict__", Value::from_int(3)), "__dict__ must be set to a dictionary, not a 'int'");
    EXPECT_EQ(set_error(obj, "__dict__", bad), "no error");  // an empty dict removes everything
    EXPECT_FALSE(get(obj, "a").has_value());
}

TEST_F(Attributes, BuiltinValuesRefuseStores) {
    EXPECT_EQ(set_error(Value::from_int(1), "x", Value::none()),
              "'int' object has no attribute 'x' and no __dict__ for setting new attributes");
    EXPECT_EQ(del_error(Value::from_int(1), "x"),
              "'int' object has no attribute 'x' and no __dict__ for setting new attributes");
    Value fn = alloc(FunctionPayload{Box<FunctionRecord>::make()});
    EXPECT_EQ(set_error(fn, "__name__", Value::from_int(3)), "__name__ must be set to a string object");
    EXPECT_EQ(del_error(fn, "__name__"), "__name__ must be set to a string object");
    ASSERT_EQ(set_error(fn, "__name__", str("g")), "no error");
    EXPECT_EQ(std::string(*str_view(in.heap, *get(fn, "__name__")).value()), "g");
    ASSERT_EQ(set_error(fn, "tag", Value::from_int(4)), "no error");
    EXPECT_EQ(get(fn, "tag"), Value::from_int(4));
    EXPECT_EQ(get(fn, "__doc__"), Value::none());
    EXPECT_EQ(del_error(fn, "nothing"), "'function' object has no attribute 'nothing'");
}

TEST_F(Attributes, Modules) {
    ModuleObject m = new_module_object(in, machine.meter, "m", {}).value();
    ASSERT_EQ(set_error(m.module, "x", Value::from_int(9)), "no error");
    EXPECT_EQ(get(m.module, "x"), Value::from_int(9));
    EXPECT_EQ(del_error(m.module, "y"), "module 'm' has no attribute 'y'");
    EXPECT_EQ(del_error(m.module, "x"), "no error");
    EXPECT_FALSE(get(m.module, "x").has_value());
}

TEST_F(Attributes, ExceptionArgs) {
    Value e = alloc(ExceptionPayload{{Value::from_int(1)}});
    Value r = alloc(RangePayload{0, 3, 1});
    ASSERT_EQ(set_error(e, "args", r), "no error");
    const auto& args = std::get<ExceptionPayload>(in.heap.get(e).value()->object).args;
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[2], Value::from_int(2));
    ASSERT_EQ(set_error(e, "errno", Value::from_int(5)), "no error");
    EXPECT_EQ(get(e, "errno"), Value::from_int(5));
}

}  // namespace
}  // namespace tw::py
