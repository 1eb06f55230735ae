// bool's own bitwise slots: `True & False` is False, as in Python; with any other operand they
// answer like int's.
#include "python/types/number_runtime.h"
#include "python/types/number_slots.h"

namespace tw::py {

namespace {

SlotValue bool_bitwise(NativeRuntime& rt, Value self, Value other, BinaryOp op) {
    if (self.is_bool() && other.is_bool())
        if (auto r = py_bool_bitwise(op, self.as_bool(), other.as_bool())) return std::optional(Value::from_bool(*r));
    switch (op) {
        case BinaryOp::BitwiseAnd: return numeric_and(rt, self, other);
        case BinaryOp::BitwiseXor: return numeric_xor(rt, self, other);
        default: return numeric_or(rt, self, other);
    }
}

}  // namespace

SlotValue bool_and(NativeRuntime& rt, Value self, Value other) { return bool_bitwise(rt, self, other, BinaryOp::BitwiseAnd); }
SlotValue bool_xor(NativeRuntime& rt, Value self, Value other) { return bool_bitwise(rt, self, other, BinaryOp::BitwiseXor); }
SlotValue bool_or(NativeRuntime& rt, Value self, Value other) { return bool_bitwise(rt, self, other, BinaryOp::BitwiseOr); }

}  // namespace tw::py
