// The slot functions of complex, the equality and truth shared by all number types, and the
// native members of complex.
#include <fmt/format.h>

#include <cmath>

#include "python/heap/heap.h"
#include "python/number/hash.h"
#include "python/objects/float_text.h"
#include "python/types/native_args.h"
#include "python/types/number_runtime.h"
#include "python/types/number_slots.h"

namespace tw::py {

namespace {

// str() of a builtin scalar, what an empty format spec gives.
PyResult<std::string> number_str_text(NativeRuntime& rt, Value v) {
    if (v.is_bool()) return std::string(v.as_bool() ? "True" : "False");
    const NumericView view = py_numeric_view(rt.heap(), v);
    switch (view.kind) {
        case NumericView::Small: return fmt::format("{}", view.small);
        case NumericView::U64: return fmt::format("{}", view.u64);
        case NumericView::Big: {
            tw::BigInt big = *value_to_bigint(rt.heap(), v);
            if (py_int_exceeds_str_digits(*view.big)) return fail(int_str_digits_limit(4300));
            return big.to_decimal();
        }
        case NumericView::Float: return py_float_repr(view.real);
        case NumericView::Complex: return py_complex_repr(view.real, view.imag);
        default: break;
    }
    auto text = str_view(rt.heap(), v);
    if (!text) return fail(std::move(text.error()));
    if (*text) return std::string(**text);
    auto type = number_type_name(rt, v);
    if (!type) return fail(std::move(type.error()));
    return fail(PyError::type_error(fmt::format("unsupported format string passed to {}.__format__", *type)));
}

PyError complex_descriptor_error() { return PyError::type_error("descriptor requires a 'complex' object"); }

PyResult<Complex> self_parts(NativeRuntime& rt, Value v) {
    const NumericView view = py_numeric_view(rt.heap(), v);
    if (view.kind != NumericView::Complex) return fail(complex_descriptor_error());
    return Complex{view.real, view.imag};
}

SlotValue complex_value(NativeRuntime& rt, PyResult<Complex> c) {
    if (!c) return fail(std::move(c.error()));
    auto v = new_complex_value(number_env(rt), c->re, c->im);
    if (!v) return fail(std::move(v.error()));
    return std::optional(*v);
}

SlotValue complex_binary(NativeRuntime& rt, Value left, Value right, ComplexOp op) {
    auto a = complex_operand(rt.heap(), left);
    if (!a) return fail(std::move(a.error()));
    auto b = complex_operand(rt.heap(), right);
    if (!b) return fail(std::move(b.error()));
    if (a->kind == ComplexOperand::NotANumber || b->kind == ComplexOperand::NotANumber) return std::optional<Value>();
    return complex_value(rt, py_complex_binary_op(op, *a, *b));
}

SlotValue unsupported(NativeRuntime& rt, Value left, Value right, std::string_view op) {
    auto l = number_type_name(rt, left);
    if (!l) return fail(std::move(l.error()));
    auto r = number_type_name(rt, right);
    if (!r) return fail(std::move(r.error()));
    return fail(PyError::type_error(fmt::format("unsupported operand type(s) for {}: '{}' and '{}'", op, *l, *r)));
}

bool integer_kind(const NumericView& v) {
    return v.kind == NumericView::Small || v.kind == NumericView::Big || v.kind == NumericView::U64;
}

// Whether the receiver's kind compares with the other's: integers with integers, floats with
// every real, complex numbers with every number.
bool comparable(const NumericView& self, const NumericView& other) {
    if (integer_kind(self)) return integer_kind(other);
    if (self.kind == NumericView::Float) return other.kind != NumericView::Complex;
    return self.kind == NumericView::Complex;
}

SlotValue equality(NativeRuntime& rt, Value self, Value other, bool negate) {
    const NumericView a = py_numeric_view(rt.heap(), self), b = py_numeric_view(rt.heap(), other);
    if (a.kind == NumericView::None || b.kind == NumericView::None || !comparable(a, b)) return std::optional<Value>();
    return std::optional(Value::from_bool(numeric_view_eq(a, b) != negate));
}

}  // namespace

SlotValue number_eq(NativeRuntime& rt, Value self, Value other) { return equality(rt, self, other, false); }
SlotValue number_ne(NativeRuntime& rt, Value self, Value other) { return equality(rt, self, other, true); }

SlotValue number_bool(NativeRuntime& rt, Value self) {
    const NumericView v = py_numeric_view(rt.heap(), self);
    switch (v.kind) {
        case NumericView::Small: return std::optional(Value::from_bool(v.small != 0));
        case NumericView::U64: return std::optional(Value::from_bool(v.u64 != 0));
        case NumericView::Big: return std::optional(Value::from_bool(mpz_sgn(v.big->get()) != 0));
        case NumericView::Float: return std::optional(Value::from_bool(v.real != 0.0));
        case NumericView::Complex: return std::optional(Value::from_bool(v.real != 0.0 || v.imag != 0.0));
        default: return std::optional<Value>();
    }
}

SlotValue complex_hash(NativeRuntime& rt, Value self) {
    auto c = self_parts(rt, self);
    if (!c) return fail(std::move(c.error()));
    return std::optional(Value::from_int(py_hash_complex(c->re, c->im)));
}

SlotValue complex_pos(NativeRuntime& rt, Value self) {
    auto c = self_parts(rt, self);
    if (!c) return fail(std::move(c.error()));
    return std::optional(self);
}

SlotValue complex_neg(NativeRuntime& rt, Value self) {
    auto c = self_parts(rt, self);
    if (!c) return fail(std::move(c.error()));
    return complex_value(rt, Complex{-c->re, -c->im});
}

SlotValue complex_abs(NativeRuntime& rt, Value self) {
    auto c = self_parts(rt, self);
    if (!c) return fail(std::move(c.error()));
    auto r = py_complex_abs(c->re, c->im);
    if (!r) return fail(std::move(r.error()));
    return std::optional(Value::from_float(*r));
}

SlotValue complex_add(NativeRuntime& rt, Value s, Value o) { return complex_binary(rt, s, o, ComplexOp::Add); }
SlotValue complex_sub(NativeRuntime& rt, Value s, Value o) { return complex_binary(rt, s, o, ComplexOp::Subtract); }
SlotValue complex_rsub(NativeRuntime& rt, Value s, Value o) { return complex_binary(rt, o, s, ComplexOp::Subtract); }
SlotValue complex_mul(NativeRuntime& rt, Value s, Value o) { return complex_binary(rt, s, o, ComplexOp::Multiply); }
SlotValue complex_truediv(NativeRuntime& rt, Value s, Value o) { return complex_binary(rt, s, o, ComplexOp::Divide); }
SlotValue complex_rtruediv(NativeRuntime& rt, Value s, Value o) { return complex_binary(rt, o, s, ComplexOp::Divide); }
SlotValue complex_pow(NativeRuntime& rt, Value s, Value o) { return complex_binary(rt, s, o, ComplexOp::Power); }
SlotValue complex_rpow(NativeRuntime& rt, Value s, Value o) { return complex_binary(rt, o, s, ComplexOp::Power); }
SlotValue complex_floordiv(NativeRuntime& rt, Value s, Value o) { return unsupported(rt, s, o, "//"); }
SlotValue complex_rfloordiv(NativeRuntime& rt, Value s, Value o) { return unsupported(rt, o, s, "//"); }
SlotValue complex_mod(NativeRuntime& rt, Value s, Value o) { return unsupported(rt, s, o, "%"); }
SlotValue complex_rmod(NativeRuntime& rt, Value s, Value o) { return unsupported(rt, o, s, "%"); }

SlotCompare number_rich_compare(NativeRuntime& rt, Value left, Value right, std::uint8_t op) {
    const NumericView a = py_numeric_view(rt.heap(), left), b = py_numeric_view(rt.heap(), right);
    if (a.kind == NumericView::None || b.kind == NumericView::None) return std::optional<bool>();
    if (a.kind == NumericView::Complex || b.kind == NumericView::Complex) {
        if (op >= 2) return std::optional<bool>();
        return std::optional((numeric_view_eq(a, b)) != (op == 1));
    }
    if (op < 2) return std::optional(numeric_view_eq(a, b) != (op == 1));
    const auto c = numeric_view_compare(a, b);
    if (!c) return std::optional(false);
    switch (op) {
        case 2: return std::optional(*c < 0);
        case 3: return std::optional(*c <= 0);
        case 4: return std::optional(*c > 0);
        default: return std::optional(*c >= 0);
    }
}

namespace {

PyResult<Value> complex_real(NativeRuntime& rt, Value receiver) {
    auto c = self_parts(rt, receiver);
    if (!c) return fail(std::move(c.error()));
    return Value::from_float(c->re);
}

PyResult<Value> complex_imag(NativeRuntime& rt, Value receiver) {
    auto c = self_parts(rt, receiver);
    if (!c) return fail(std::move(c.error()));
    return Value::from_float(c->im);
}

PyResult<Value> complex_conjugate(NativeRuntime& rt, Value receiver, NativeCall call) {
    if (auto r = native_check_positional_arity(call.positional.size(), "complex.conjugate", 0, 0); !r)
        return fail(std::move(r.error()));
    if (auto r = native_reject_keywords(!call.keywords.empty(), "complex.conjugate"); !r) return fail(std::move(r.error()));
    auto c = self_parts(rt, receiver);
    if (!c) return fail(std::move(c.error()));
    return new_complex_value(number_env(rt), c->re, -c->im);
}

constexpr NativeFunction kComplexMethods[] = {
    {"complex", "conjugate", nullptr, complex_conjugate},
};
constexpr NativeProperty kComplexProperties[] = {
    {"complex", "real", complex_real},
    {"complex", "imag", complex_imag},
};
constexpr NativeClass kComplexClass{"complex", kComplexMethods, kComplexProperties};

}  // namespace

const NativeClass& complex_native_class() { return kComplexClass; }

SlotValue builtin_format_slot(NativeRuntime& rt, Value self, Value spec) {
    auto text = native_expect_str(rt, spec);
    if (!text) return fail(std::move(text.error()));
    if (text->empty()) {
        auto plain = number_str_text(rt, self);
        if (!plain) return fail(std::move(plain.error()));
        auto v = new_str(rt.heap(), std::move(*plain), rt.roots(), rt.meter());
        if (!v) return fail(std::move(v.error()));
        return std::optional(*v);
    }
    auto type = number_type_name(rt, self);
    if (!type) return fail(std::move(type.error()));
    MeterCharges charges(number_env(rt));
    auto r = py_format_builtin(rt.heap(), charges, self, *text, *type);
    if (!r) return fail(std::move(r.error()));
    auto v = new_str(rt.heap(), std::move(*r), rt.roots(), rt.meter());
    if (!v) return fail(std::move(v.error()));
    return std::optional(*v);
}

}  // namespace tw::py
