// A program's runtime for calling slot functions and native methods directly.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/types/number_runtime.h"
#include "python/vm/exec_state.h"
#include "python/vm/native_runtime.h"

namespace tw::py::testing {

struct Runtime {
    Runtime()
        : machine(Machine::build({.cpu = 100'000'000, .memory = 64 << 20, .disk = 1 << 20, .output = 1 << 20})),
          ctx{machine, {}, {}, in.heap, in.state, out, err, in.heap.root_depth(), false, false, &in, &in},
          rt(ctx) {}

    Value big(std::string_view decimal) {
        tw::BigInt v;
        mpz_set_str(v.raw(), std::string(decimal).c_str(), 10);
        return new_int_value(number_env(rt), v).value();
    }
    Value make(HeapObject o) { return in.heap.allocate_object(std::move(o), nullptr, machine.meter).value(); }
    Value complex(double re, double im) { return new_complex_value(number_env(rt), re, im).value(); }
    std::string text(Value v) {
        auto s = str_view(in.heap, v).value();
        return s ? std::string(*s) : "<not a str>";
    }
    std::string decimal(Value v) {
        auto b = value_to_bigint(in.heap, v);
        return b ? b->to_decimal() : "<not an int>";
    }
    std::vector<Value> tuple(Value v) { return std::get<TuplePayload>(in.heap.get(v).value()->object).items; }
    const NativeFunction& method(const NativeClass& cls, std::string_view name) {
        for (const NativeFunction& f : cls.functions)
            if (f.name == name) return f;
        throw std::runtime_error("no method");
    }
    const NativeProperty& property(const NativeClass& cls, std::string_view name) {
        for (const NativeProperty& p : cls.properties)
            if (p.name == name) return p;
        throw std::runtime_error("no property");
    }
    PyResult<Value> call(const NativeClass& cls, std::string_view name, Value receiver, NativeCall call = {}) {
        return method(cls, name).method_handler(rt, receiver, std::move(call));
    }
    PyResult<Value> get(const NativeClass& cls, std::string_view name, Value receiver) {
        return property(cls, name).getter(rt, receiver);
    }

    Machine machine;
    Interpreter in;
    std::string out, err;
    RuntimeContext ctx;
    EngineRuntime rt;
};

inline Value I(std::int64_t v) { return Value::from_int(v); }
inline Value F(double v) { return Value::from_float(v); }
inline Value B(bool v) { return Value::from_bool(v); }

}  // namespace tw::py::testing
