// A fresh interpreter and machine with a runtime context over them, for tests of the object
// protocols that need no running program.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/vm/exec_state.h"
#include "python/vm/runtime_context.h"

namespace tw::py {

struct RuntimeFixture : ::testing::Test {
    Machine machine = Machine::build({.cpu = 10'000'000, .memory = 64 << 20, .disk = 1 << 20, .output = 1 << 20});
    Interpreter in;
    std::string out, err;
    RuntimeContext ctx{machine, {}, {}, in.heap, in.state, out, err, in.heap.root_depth(), false, false, &in, &in};

    Value alloc(HeapObject o) { return in.heap.allocate_object(std::move(o), &in, machine.meter).value(); }
    Value list(std::vector<Value> items) { return alloc(ListPayload{std::move(items)}); }
    Value str(std::string s) { return new_str(in.heap, std::move(s), &in, machine.meter).value(); }
    static Value type(BuiltinType t) { return intern_static_definition(StaticDefinition::of_builtin_type(type_id(t))); }
    // The message of a failed result, or "no error".
    template <class R>
    static std::string error_of(const R& r) {
        return r ? std::string("no error") : std::string(r.error().message());
    }
};

}  // namespace tw::py
