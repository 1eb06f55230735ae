// The native methods and properties of float.
#include <fmt/format.h>

#include <bit>
#include <cmath>

#include "python/types/native_args.h"
#include "python/types/number_runtime.h"
#include "python/types/number_slots.h"

namespace tw::py {

namespace {

PyError float_descriptor_error(std::string_view name) {
    return PyError::type_error(fmt::format("descriptor '{}' requires a 'float' object", name));
}

std::optional<double> float_receiver(NativeRuntime& rt, Value v) {
    const NumericView view = py_numeric_view(rt.heap(), v);
    if (view.kind != NumericView::Float) return std::nullopt;
    return view.real;
}

PyStatus positional_only_none(const NativeCall& call, std::string_view name) {
    return native_check_positional_arity(call.positional.size(), name, 0, 0);
}

PyResult<Value> float_is_integer(NativeRuntime& rt, Value receiver, NativeCall call) {
    if (auto r = positional_only_none(call, "float.is_integer"); !r) return fail(std::move(r.error()));
    auto x = float_receiver(rt, receiver);
    if (!x) return fail(float_descriptor_error("is_integer"));
    return Value::from_bool(std::isfinite(*x) && std::floor(*x) == *x);
}

PyResult<Value> float_as_integer_ratio(NativeRuntime& rt, Value receiver, NativeCall call) {
    if (auto r = positional_only_none(call, "float.as_integer_ratio"); !r) return fail(std::move(r.error()));
    auto x = float_receiver(rt, receiver);
    if (!x) return fail(float_descriptor_error("as_integer_ratio"));
    if (std::isnan(*x)) return fail(PyError::value_error("cannot convert NaN to integer ratio"));
    if (std::isinf(*x)) return fail(PyError::overflow_error("cannot convert Infinity to integer ratio"));
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(*x);
    const int biased = int((bits >> 52) & 0x7FF);
    std::uint64_t m = bits & ((std::uint64_t(1) << 52) - 1);
    int e = biased == 0 ? -1074 : biased - 1075;
    if (biased != 0) m |= std::uint64_t(1) << 52;
    if (m == 0) return new_number_tuple(rt, {Value::from_int(0), Value::from_int(1)});
    while (e < 0 && (m & 1) == 0) m >>= 1, ++e;
    tw::BigInt numerator = tw::BigInt::from_u64(m), denominator(1);
    if (e >= 0) mpz_mul_2exp(numerator.raw(), numerator.raw(), std::uint64_t(e));
    else mpz_mul_2exp(denominator.raw(), denominator.raw(), std::uint64_t(-e));
    if (std::signbit(*x)) numerator = numerator.negated();
    auto n = new_int_value(number_env(rt), numerator);
    if (!n) return n;
    rt.heap().push_root(*n);
    auto d = new_int_value(number_env(rt), denominator);
    if (!d) return d;
    rt.heap().push_root(*d);
    return new_number_tuple(rt, {*n, *d});
}

PyResult<Value> float_hex(NativeRuntime& rt, Value receiver, NativeCall call) {
    if (auto r = native_reject_keywords(!call.keywords.empty(), "float.hex"); !r) return fail(std::move(r.error()));
    if (!call.positional.empty())
        return fail(PyError::type_error(fmt::format("float.hex() takes no arguments ({} given)", call.positional.size())));
    auto x = float_receiver(rt, receiver);
    if (!x) return fail(float_descriptor_error("hex"));
    std::string text;
    if (std::isnan(*x)) text = "nan";
    else if (std::isinf(*x)) text = *x < 0 ? "-inf" : "inf";
    else if (*x == 0) text = std::signbit(*x) ? "-0x0.0p+0" : "0x0.0p+0";
    else {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(*x);
        const int biased = int((bits >> 52) & 0x7FF);
        const std::uint64_t mantissa = bits & ((std::uint64_t(1) << 52) - 1);
        const int exponent = biased == 0 ? -1022 : biased - 1023;
        text = fmt::format("{}0x{}.{:013x}p{:+d}", std::signbit(*x) ? "-" : "", biased == 0 ? 0 : 1, mantissa, exponent);
    }
    return new_str(rt.heap(), std::move(text), rt.roots(), rt.meter());
}

constexpr NativeFunction kFloatMethods[] = {
    {"float", "conjugate", nullptr, number_conjugate},
    {"float", "is_integer", nullptr, float_is_integer},
    {"float", "as_integer_ratio", nullptr, float_as_integer_ratio},
    {"float", "hex", nullptr, float_hex},
};
constexpr NativeProperty kFloatProperties[] = {
    {"float", "real", number_real},
    {"float", "imag", number_imag},
};
constexpr NativeClass kFloatClass{"float", kFloatMethods, kFloatProperties};

}  // namespace

const NativeClass& float_native_class() { return kFloatClass; }

}  // namespace tw::py
