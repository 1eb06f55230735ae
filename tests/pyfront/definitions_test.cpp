#include "python/front/definitions.h"

#include <gtest/gtest.h>

#include "base/panic.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace tw::py {

// Stand-ins for static rows: only their addresses matter to the registries.
struct NativeModule {
    int id;
};
struct NativeFunction {
    int id;
};

namespace {

TEST(StaticDefinitions, FixedTables) {
    EXPECT_EQ(intern_static_definition(StaticDefinition::of_function(4)), Value::native(NativeKind::Function, 4));
    EXPECT_EQ(builtin_function_name(4), "exit");
    EXPECT_EQ(kBuiltinFunctions[5].name, "quit");
    EXPECT_EQ(intern_static_definition(StaticDefinition::of_function(36)), Value::native(NativeKind::Function, 37));
    EXPECT_EQ(intern_static_definition(StaticDefinition::of_exception("AxisError")),
              Value::native(NativeKind::ExceptionType, 70));
    EXPECT_EQ(intern_static_definition(StaticDefinition::of(DefinitionTag::Ellipsis)),
              Value::native(NativeKind::Ellipsis, 0));
    EXPECT_EQ(intern_static_definition(StaticDefinition::of_slot_wrapper(18, 6)),
              Value::native(NativeKind::SlotWrapper, 6 * 256 + 18));
    EXPECT_EQ(intern_static_definition(StaticDefinition::of_builtin_type(42)),
              Value::native(NativeKind::BuiltinType, 42));
    EXPECT_EQ(intern_static_definition(StaticDefinition::of_stream(2)), Value::native(NativeKind::Stream, 2));
    EXPECT_THROW(intern_static_definition(StaticDefinition::of_exception("NoSuchError")), Panic);

    ASSERT_EQ(kExceptionClasses.size(), 73u);
    const ExceptionClassRow* axis = exception_class_by_name("AxisError");
    ASSERT_NE(axis, nullptr);
    EXPECT_EQ(axis->parent, "ValueError");
    EXPECT_EQ(axis->second_base, "IndexError");
    EXPECT_EQ(axis->module, "numpy.exceptions");
    EXPECT_EQ(exception_class_by_name("Skipped")->builtins_flag, 1u);
    EXPECT_EQ(exception_class_by_name("Failed")->builtins_flag, 0u);
    EXPECT_EQ(exception_class_by_name("BaseException")->parent, "");
}

TEST(StaticDefinitions, RowsInternOnceAcrossThreads) {
    static NativeModule mods[64];
    static NativeFunction methods[64];
    std::vector<std::vector<Value>> seen(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &seen] {
            for (int round = 0; round < 50; ++round)
                for (int i = 0; i < 64; ++i) {
                    int k = (i * 7 + t * 13 + round) % 64;
                    Value m = intern_static_definition(StaticDefinition::of_module(&mods[k]));
                    Value f = intern_static_definition(StaticDefinition::of_native_method(&methods[k]));
                    if (round == 49) {
                        seen[t].push_back(m);
                        seen[t].push_back(f);
                    }
                }
        });
    for (auto& th : threads) th.join();
    // Every thread saw the same handle for each row, and each handle decodes back to its row.
    for (int i = 0; i < 64; ++i) {
        Value m = intern_static_definition(StaticDefinition::of_module(&mods[i]));
        EXPECT_EQ(m.native_kind(), NativeKind::Module);
        EXPECT_EQ(module_registry_get(m.native_index()), &mods[i]);
        Value f = intern_static_definition(StaticDefinition::of_native_class_method(&methods[i]));
        EXPECT_EQ(f.native_kind(), NativeKind::NativeClassMethod);
        EXPECT_EQ(definition_registry_get(f.native_index()), &methods[i]);
        for (auto& s : seen) EXPECT_NE(std::find(s.begin(), s.end(), m), s.end());
    }
    EXPECT_EQ(module_registry_get(1'000'000), nullptr);
}

}  // namespace
}  // namespace tw::py
