// Numbers as Values: operands read from Values through the numeric view, kernel results made
// into Values (inline ints and floats, heap big ints and complex numbers), and the charges of the
// kernel against the machine's budgets.
#pragma once

#include <optional>
#include <string>

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/number/complex.h"
#include "python/number/format_spec.h"
#include "python/number/number.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

class Heap;
struct RootSource;

// The heap and budgets a number operation works in.
struct NumberEnv {
    Heap& heap;
    ResourceMeter& meter;
    RootSource* roots = nullptr;
};

// Work through the CPU budget; memory as a native allocation given back when the current
// native-call scope ends.
class MeterCharges final : public NumberCharges {
public:
    explicit MeterCharges(NumberEnv env) : env_(env) {}
    PyStatus charge_work(std::uint64_t units) override;
    PyStatus charge_memory(std::uint64_t bytes) override;

private:
    NumberEnv env_;
};

// An int Value: inline when it fits 64 bits, else a heap big integer.
PyResult<Value> new_int_value(NumberEnv env, const tw::BigInt& v);
PyResult<Value> new_complex_value(NumberEnv env, double re, double im);
// The Value of a kernel result; nothing for "not handled".
PyResult<std::optional<Value>> number_value_to_py(NumberEnv env, NumberValue v);

// The kernel operand of a value: int and bool as Small, heap big ints and unsigned registered
// values as Big, floats as Float. Nothing for a value carrying a registered native kind (its own
// slots decide), a complex and every non-number.
std::optional<NumberOperand> numeric_operand(const Heap& heap, const Value& v);
// The complex-kernel operand of a value: integers and floats as reals (a big integer beyond
// the float range fails), complex numbers as complex; NotANumber for the rest and for registered
// kinds that derive from neither float nor complex.
PyResult<ComplexOperand> complex_operand(const Heap& heap, const Value& v);
// The tw::BigInt of an integer value (int, bool, heap big int, unsigned registered); nothing else.
std::optional<tw::BigInt> value_to_bigint(const Heap& heap, const Value& v);

// format(value, spec) for int, bool, float, complex and str values with a non-empty spec:
// the text, or the error of the format (TypeError for other values, naming `type_name`). The
// text's size bound (widths, precisions, the value's digits) is charged before it is made.
PyResult<std::string> py_format_builtin(const Heap& heap, NumberCharges& charges, const Value& v,
                                        std::string_view spec, std::string_view type_name);

// The (kind, real, imaginary) of a number for complex(): kind 0 real, 1 complex, 2 not a number.
struct ComplexParts {
    std::uint8_t kind = 2;
    double real = 0, imag = 0;
};
PyResult<ComplexParts> py_value_as_complex_parts(const Heap& heap, const Value& v);

struct NumericView;
// The exact order of two real numbers (integers of any size and floats): -1, 0 or 1, nothing
// when a NaN takes part. Neither view may be complex or empty.
std::optional<int> numeric_view_compare(const NumericView& a, const NumericView& b);
// Exact equality of two numbers of any kind (complex included).
bool numeric_view_eq(const NumericView& a, const NumericView& b);
// The hash of a number view.
std::int64_t py_hash_numeric(const NumericView& v);

// The content identity of a value without a heap identity (id() of immediates).
std::optional<std::int64_t> py_identity(const Value& v);

}  // namespace tw::py
