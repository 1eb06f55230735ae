// The generic value protocols applied to any value: comparison and equality, truth, str(),
// format(), len(), next(), abs(), isinstance()/issubclass(), binary operators without a native
// rule, calling a slot wrapper, and the output of the standard streams. Each tries the builtin
// fast paths first, then the special method through the type's dunder slot, then a fixed fallback.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/type_id.h"
#include "python/heap/value.h"
#include "python/objects/types.h"

namespace tw::py {

struct RuntimeContext;

// Operators 0..5: ==, !=, <, <=, >, >=.
enum class RichCompareOp : std::uint8_t { Eq = 0, Ne, Lt, Le, Gt, Ge };
std::string_view compare_op_text(RichCompareOp op);

PyResult<bool> py_rich_compare(RuntimeContext& ctx, RichCompareOp op, Value left, Value right);
// == with the identity shortcut (a NaN equals itself here).
PyResult<bool> py_values_equal(RuntimeContext& ctx, Value left, Value right);
// The truth of any value: builtin values directly, then __bool__, then __len__.
PyResult<bool> py_is_true(RuntimeContext& ctx, Value v);
PyResult<std::string> py_str(RuntimeContext& ctx, Value v);
PyResult<std::string> py_format(RuntimeContext& ctx, Value v, std::string_view spec);
// The charge taken before a spec is applied: work and native memory by the largest number in it.
PyStatus py_format_charge(RuntimeContext& ctx, std::string_view spec);
// The length of str, list, tuple, dict, set, frozenset and range values; none for other values.
PyResult<std::optional<std::uint64_t>> py_builtin_len(RuntimeContext& ctx, Value v);
// next(it): the value, or none when exhausted.
PyResult<std::optional<Value>> py_next(RuntimeContext& ctx, Value it);
PyResult<Value> py_abs(RuntimeContext& ctx, Value v);
PyResult<bool> py_isinstance(RuntimeContext& ctx, Value obj, Value cls);
PyResult<bool> py_issubclass(RuntimeContext& ctx, Value cls, Value base);
// Appends to standard output (1) or standard error (2), charged to the output budget; bytes past
// the budget are dropped. Other stream numbers are charged and discarded.
PyStatus python_write_stdio(RuntimeContext& ctx, int stream, std::string_view bytes);

// A binary operator: its text ("+", "-=") and its normal and reflected dunder slots.
struct BinarySlotOperator {
    std::string_view text;
    DunderSlot slot;
    DunderSlot reflected;
};
// The special methods of both operands with the reflected and subclass-priority rules, then the
// TypeError of the operator.
PyResult<Value> py_binary_fallback(RuntimeContext& ctx, const BinarySlotOperator& op, Value left, Value right);

// int.__add__(1, 2) and the like: a slot wrapper called directly.
PyResult<Value> call_slot_wrapper(RuntimeContext& ctx, TypeId owner, DunderSlot slot, Value receiver,
                                  std::span<const Value> positional,
                                  std::span<const std::pair<std::string, Value>> keywords);
// The names a class and its MRO bind, in order, duplicates kept (for dir()).
PyResult<std::vector<std::string>> class_attribute_names(RuntimeContext& ctx, Value v);

// The operands of sum(): integer (signed 64-bit), converted integer (beyond 64 bits, held as its
// nearest float and whether that is finite), float, complex, other.
struct SumOperand {
    enum Kind : std::uint8_t { Integer, ConvertedInteger, Float, Complex, Other } kind = Other;
    std::int64_t integer = 0;
    double real = 0, imag = 0;
    bool finite = true;
};
SumOperand sum_classify(RuntimeContext& ctx, Value v);
// The float of a converted integer; OverflowError "int too large to convert to float".
PyResult<double> sum_int_to_float(const SumOperand& operand);
// One step of Neumaier's compensated summation; the result is sum + compensation.
void neumaier_add(double& sum, double& compensation, double x);
// The integer operand of three-argument pow() and a bound of its decimal digits; TypeError
// "pow() 3rd argument not allowed unless all arguments are integers".
struct PowOperand {
    Value integer;
    std::uint64_t digits_bound = 0;
};
PyResult<PowOperand> pow_integer_operand(RuntimeContext& ctx, Value v);

// The NotImplemented singleton.
Value not_implemented_value();
bool is_not_implemented(Value v);

}  // namespace tw::py
