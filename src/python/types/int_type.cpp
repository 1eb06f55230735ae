// The slot functions shared by bool, int and float (operators, ordering, hash) and the native
// methods and properties of int.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "python/heap/heap.h"
#include "python/number/hash.h"
#include "python/objects/truth.h"
#include "python/types/native_args.h"
#include "python/types/number_runtime.h"
#include "python/types/number_slots.h"

namespace tw::py {

namespace {

SlotValue unary(NativeRuntime& rt, Value self, UnaryOp op) {
    auto operand = numeric_operand(rt.heap(), self);
    if (!operand) return std::optional<Value>();
    MeterCharges charges(number_env(rt));
    auto r = py_int_unary_op(charges, std::move(*operand), op);
    if (!r) return fail(std::move(r.error()));
    return number_value_to_py(number_env(rt), std::move(*r));
}

SlotValue binary(NativeRuntime& rt, Value left, Value right, BinaryOp op) {
    auto a = numeric_operand(rt.heap(), left);
    if (!a) return std::optional<Value>();
    auto b = numeric_operand(rt.heap(), right);
    if (!b) return std::optional<Value>();
    MeterCharges charges(number_env(rt));
    auto r = py_number_binary_op(charges, std::move(*a), std::move(*b), op);
    if (!r) return fail(std::move(r.error()));
    return number_value_to_py(number_env(rt), std::move(*r));
}

PyResult<Value> new_tuple(NativeRuntime& rt, std::vector<Value> items) { return new_number_tuple(rt, std::move(items)); }

SlotValue divmod(NativeRuntime& rt, Value left, Value right) {
    auto a = numeric_operand(rt.heap(), left);
    if (!a) return std::optional<Value>();
    auto b = numeric_operand(rt.heap(), right);
    if (!b) return std::optional<Value>();
    MeterCharges charges(number_env(rt));
    auto q = py_number_binary_op(charges, *a, *b, BinaryOp::FloorDivide);
    if (!q) return fail(std::move(q.error()));
    if (q->kind == NumberValue::NotHandled) return std::optional<Value>();
    auto r = py_number_binary_op(charges, std::move(*a), std::move(*b), BinaryOp::Remainder);
    if (!r) return fail(std::move(r.error()));
    if (r->kind == NumberValue::NotHandled) return std::optional<Value>();
    auto qv = number_value_to_py(number_env(rt), std::move(*q));
    if (!qv) return fail(std::move(qv.error()));
    rt.heap().push_root(**qv);
    auto rv = number_value_to_py(number_env(rt), std::move(*r));
    if (!rv) return fail(std::move(rv.error()));
    rt.heap().push_root(**rv);
    auto t = new_tuple(rt, {**qv, **rv});
    if (!t) return fail(std::move(t.error()));
    return std::optional(*t);
}

// The accepted orderings of a slot: bit 0 less, bit 1 equal, bit 2 greater.
SlotValue order(NativeRuntime& rt, Value self, Value other, unsigned accepted) {
    const NumericView a = py_numeric_view(rt.heap(), self), b = py_numeric_view(rt.heap(), other);
    if (a.kind == NumericView::None || b.kind == NumericView::None) return std::optional<Value>();
    const bool a_int = a.kind == NumericView::Small || a.kind == NumericView::Big || a.kind == NumericView::U64;
    const bool b_int = b.kind == NumericView::Small || b.kind == NumericView::Big || b.kind == NumericView::U64;
    if (a_int ? !b_int : (a.kind != NumericView::Float || b.kind == NumericView::Complex))
        return std::optional<Value>();
    const auto c = numeric_view_compare(a, b);
    if (!c) return std::optional(Value::from_bool(false));
    return std::optional(Value::from_bool((accepted >> (*c + 1)) & 1));
}

}  // namespace

SlotValue numeric_pos(NativeRuntime& rt, Value self) { return unary(rt, self, UnaryOp::Positive); }
SlotValue numeric_neg(NativeRuntime& rt, Value self) { return unary(rt, self, UnaryOp::Negative); }
SlotValue numeric_invert(NativeRuntime& rt, Value self) { return unary(rt, self, UnaryOp::Invert); }
SlotValue numeric_abs(NativeRuntime& rt, Value self) { return unary(rt, self, UnaryOp::Absolute); }
SlotValue numeric_add(NativeRuntime& rt, Value s, Value o) { return binary(rt, s, o, BinaryOp::Add); }
SlotValue numeric_sub(NativeRuntime& rt, Value s, Value o) { return binary(rt, s, o, BinaryOp::Subtract); }
SlotValue numeric_rsub(NativeRuntime& rt, Value s, Value o) { return binary(rt, o, s, BinaryOp::Subtract); }
SlotValue numeric_mul(NativeRuntime& rt, Value s, Value o) { return binary(rt, s, o, BinaryOp::Multiply); }
SlotValue numeric_pow(NativeRuntime& rt, Value s, Value o) { return binary(rt, s, o, BinaryOp::Power); }
SlotValue numeric_rpow(NativeRuntime& rt, Value s, Value o) { return binary(rt, o, s, BinaryOp::Power); }
SlotValue numeric_truediv(NativeRuntime& rt, Value s, Value o) { return binary(rt, s, o, BinaryOp::Divide); }
SlotValue numeric_rtruediv(NativeRuntime& rt, Value s, Value o) { return binary(rt, o, s, BinaryOp::Divide); }
SlotValue numeric_floordiv(NativeRuntime& rt, Value s, Value o) { return binary(rt, s, o, BinaryOp::FloorDivide); }
SlotValue numeric_rfloordiv(NativeRuntime& rt, Value s, Value o) { return binary(rt, o, s, BinaryOp::FloorDivide); }
SlotValue numeric_mod(NativeRuntime& rt, Value s, Value o) { return binary(rt, s, o, BinaryOp::Remainder); }
SlotValue numeric_rmod(NativeRuntime& rt, Value s, Value o) { return binary(rt, o, s, BinaryOp::Remainder); }
SlotValue numeric_divmod(NativeRuntime& rt, Value s, Value o) { return divmod(rt, s, o); }
SlotValue numeric_rdivmod(NativeRuntime& rt, Value s, Value o) { return divmod(rt, o, s); }
SlotValue numeric_lshift(NativeRuntime& rt, Value s, Value o) { return binary(rt, s, o, BinaryOp::LeftShift); }
SlotValue numeric_rlshift(NativeRuntime& rt, Value s, Value o) { return binary(rt, o, s, BinaryOp::LeftShift); }
SlotValue numeric_rshift(NativeRuntime& rt, Value s, Value o) { return binary(rt, s, o, BinaryOp::RightShift); }
SlotValue numeric_rrshift(NativeRuntime& rt, Value s, Value o) { return binary(rt, o, s, BinaryOp::RightShift); }
SlotValue numeric_and(NativeRuntime& rt, Value s, Value o) { return binary(rt, s, o, BinaryOp::BitwiseAnd); }
SlotValue numeric_xor(NativeRuntime& rt, Value s, Value o) { return binary(rt, s, o, BinaryOp::BitwiseXor); }
SlotValue numeric_or(NativeRuntime& rt, Value s, Value o) { return binary(rt, s, o, BinaryOp::BitwiseOr); }
SlotValue numeric_lt(NativeRuntime& rt, Value s, Value o) { return order(rt, s, o, 0b001); }
SlotValue numeric_le(NativeRuntime& rt, Value s, Value o) { return order(rt, s, o, 0b011); }
SlotValue numeric_gt(NativeRuntime& rt, Value s, Value o) { return order(rt, s, o, 0b100); }
SlotValue numeric_ge(NativeRuntime& rt, Value s, Value o) { return order(rt, s, o, 0b110); }

SlotValue numeric_hash(NativeRuntime& rt, Value self) {
    const NumericView v = py_numeric_view(rt.heap(), self);
    if (v.kind == NumericView::None) return std::optional<Value>();
    return std::optional(Value::from_int(py_hash_numeric(v)));
}

// ---- methods and properties of int ----------------------------------------------------------

PyResult<Value> number_real(NativeRuntime& rt, Value receiver) {
    if (receiver.is_bool()) return Value::from_int(receiver.as_bool());
    const NumericView v = py_numeric_view(rt.heap(), receiver);
    if (v.kind == NumericView::Small) return Value::from_int(v.small);
    return receiver;
}

PyResult<Value> number_imag(NativeRuntime& rt, Value receiver) {
    if (py_numeric_view(rt.heap(), receiver).kind == NumericView::Float) return Value::from_float(0.0);
    return Value::from_int(0);
}

PyResult<Value> number_conjugate(NativeRuntime& rt, Value receiver, NativeCall call) {
    if (auto r = native_check_positional_arity(call.positional.size(), "conjugate", 0, 0); !r) return fail(std::move(r.error()));
    if (auto r = native_reject_keywords(!call.keywords.empty(), "conjugate"); !r) return fail(std::move(r.error()));
    return number_real(rt, receiver);
}

PyResult<Value> new_number_tuple(NativeRuntime& rt, std::vector<Value> items) {
    const NumberEnv env = number_env(rt);
    return env.heap.allocate_object(HeapObject{TuplePayload{std::move(items)}}, env.roots, env.meter);
}

namespace {

PyError descriptor_error(std::string_view name, std::string_view type) {
    return PyError::type_error(fmt::format("descriptor '{}' requires a '{}' object", name, type));
}

// The keyword and positional checks of the argument-less int methods.
PyStatus no_arguments(const NativeCall& call, std::string_view name) {
    if (!call.keywords.empty()) return fail(PyError::type_error(fmt::format("{}() takes no keyword arguments", name)));
    if (!call.positional.empty())
        return fail(PyError::type_error(fmt::format("{}() takes no arguments ({} given)", name, call.positional.size())));
    return {};
}

std::optional<tw::BigInt> int_receiver(NativeRuntime& rt, Value v) { return value_to_bigint(rt.heap(), v); }

PyResult<Value> int_denominator(NativeRuntime&, Value) { return Value::from_int(1); }

PyResult<Value> int_bit_length(NativeRuntime& rt, Value receiver, NativeCall call) {
    if (auto r = no_arguments(call, "int.bit_length"); !r) return fail(std::move(r.error()));
    auto v = int_receiver(rt, receiver);
    if (!v) return fail(descriptor_error("bit_length", "int"));
    return Value::from_int(std::int64_t(v->bit_length()));
}

PyResult<Value> int_bit_count(NativeRuntime& rt, Value receiver, NativeCall call) {
    if (auto r = no_arguments(call, "int.bit_count"); !r) return fail(std::move(r.error()));
    auto v = int_receiver(rt, receiver);
    if (!v) return fail(descriptor_error("bit_count", "int"));
    tw::BigInt m = v->abs();
    return Value::from_int(std::int64_t(m.is_zero() ? 0 : mpz_popcount(m.raw())));
}

PyResult<Value> int_as_integer_ratio(NativeRuntime& rt, Value receiver, NativeCall call) {
    if (auto r = no_arguments(call, "int.as_integer_ratio"); !r) return fail(std::move(r.error()));
    if (!int_receiver(rt, receiver)) return fail(descriptor_error("as_integer_ratio", "int"));
    auto real = number_real(rt, receiver);
    if (!real) return real;
    return new_tuple(rt, {*real, Value::from_int(1)});
}

PyResult<Value> int_is_integer(NativeRuntime& rt, Value receiver, NativeCall call) {
    if (auto r = no_arguments(call, "int.is_integer"); !r) return fail(std::move(r.error()));
    if (!int_receiver(rt, receiver)) return fail(descriptor_error("is_integer", "int"));
    return Value::from_bool(true);
}

// The (length or bytes, byteorder, signed) arguments of to_bytes and from_bytes.
struct BytesArguments {
    Value first = Value::absent();
    Value byteorder = Value::absent();
    Value signed_flag = Value::absent();
};

PyResult<BytesArguments> bytes_arguments(const NativeCall& call, std::string_view name, std::string_view first) {
    const std::size_t total = call.positional.size() + call.keywords.size();
    if (total > 3)
        return fail(PyError::type_error(fmt::format("{}() takes at most 3 arguments ({} given)", name, total)));
    if (call.positional.size() > 2)
        return fail(PyError::type_error(
            fmt::format("{}() takes at most 2 positional arguments ({} given)", name, call.positional.size())));
    BytesArguments out;
    if (!call.positional.empty()) out.first = call.positional[0];
    if (call.positional.size() > 1) out.byteorder = call.positional[1];
    for (const auto& [key, value] : call.keywords) {
        Value* slot = key == first ? &out.first : key == "byteorder" ? &out.byteorder : key == "signed" ? &out.signed_flag : nullptr;
        if (!slot)
            return fail(PyError::type_error(fmt::format("{}() got an unexpected keyword argument '{}'", name, key)));
        if (slot->is_present()) {
            const int position = key == first ? 1 : key == "byteorder" ? 2 : 3;
            return fail(PyError::type_error(
                fmt::format("argument for {}() given by name ('{}') and position ({})", name, key, position)));
        }
        *slot = value;
    }
    return out;
}

// True for "little"; "big" by default.
PyResult<bool> little_endian(NativeRuntime& rt, Value byteorder, std::string_view name) {
    if (byteorder.is_absent()) return false;
    auto text = str_view(rt.heap(), byteorder);
    if (!text) return fail(std::move(text.error()));
    if (!*text) {
        auto type = number_type_name(rt, byteorder);
        if (!type) return fail(std::move(type.error()));
        return fail(PyError::type_error(fmt::format("{}() argument 'byteorder' must be str, not {}", name, *type)));
    }
    if (**text == "little") return true;
    if (**text == "big") return false;
    return fail(PyError::value_error("byteorder must be either 'little' or 'big'"));
}

PyResult<bool> signed_argument(NativeRuntime& rt, Value flag) {
    if (flag.is_absent()) return false;
    return py_truth_of(rt, flag);
}

PyResult<Value> int_to_bytes(NativeRuntime& rt, Value receiver, NativeCall call) {
    auto args = bytes_arguments(call, "to_bytes", "length");
    if (!args) return fail(std::move(args.error()));
    std::int64_t length = 1;
    if (args->first.is_present()) {
        auto index = py_index_of(rt, args->first);
        if (!index) return fail(std::move(index.error()));
        auto& n = *index;
        if (!n) {
            auto type = number_type_name(rt, args->first);
            if (!type) return fail(std::move(type.error()));
            return fail(PyError::type_error(fmt::format("'{}' object cannot be interpreted as an integer", *type)));
        }
        auto small = n->to_i64();
        if (!small) return fail(PyError::overflow_error("Python int too large to convert to C ssize_t"));
        length = *small;
    }
    auto little = little_endian(rt, args->byteorder, "to_bytes");
    if (!little) return fail(std::move(little.error()));
    auto is_signed = signed_argument(rt, args->signed_flag);
    if (!is_signed) return fail(std::move(is_signed.error()));
    if (length < 0) return fail(PyError::value_error("length argument must be non-negative"));
    auto v = int_receiver(rt, receiver);
    if (!v) return fail(descriptor_error("to_bytes", "int"));
    const bool negative = v->sign() < 0;
    if (negative && !*is_signed) return fail(PyError::overflow_error("can't convert negative int to unsigned"));
    // Little-endian bytes of the magnitude, without leading zero bytes.
    tw::BigInt magnitude = v->abs();
    std::string bytes((magnitude.bit_length() + 7) / 8, '\0');
    if (!bytes.empty()) mpz_export(bytes.data(), nullptr, -1, 1, 0, 0, magnitude.raw());
    if (*is_signed && !bytes.empty()) {
        const bool top = (static_cast<unsigned char>(bytes.back()) & 0x80) != 0;
        bool exact_power = false;
        if (negative && top && static_cast<unsigned char>(bytes.back()) == 0x80)
            exact_power = std::all_of(bytes.begin(), bytes.end() - 1, [](char c) { return c == 0; });
        if (top && !exact_power) bytes.push_back('\0');
        if (negative) {
            unsigned carry = 1;
            for (char& c : bytes) {
                const unsigned x = (~static_cast<unsigned char>(c) & 0xFF) + carry;
                c = char(x & 0xFF);
                carry = x >> 8;
            }
        }
    }
    if (bytes.size() > std::uint64_t(length)) return fail(PyError::overflow_error("int too big to convert"));
    const NumberEnv env = number_env(rt);
    MeterCharges charges(env);
    if (auto r = charges.charge_memory(std::uint64_t(length)); !r) return fail(std::move(r.error()));
    if (auto r = charges.charge_work(std::uint64_t(length)); !r) return fail(std::move(r.error()));
    bytes.resize(std::size_t(length), negative && *is_signed ? char(0xFF) : '\0');
    if (!*little) std::reverse(bytes.begin(), bytes.end());
    return env.heap.allocate_object(HeapObject{BytesPayload{std::move(bytes)}}, env.roots, env.meter);
}

// The bytes of a from_bytes source: bytes or bytearray, or a list or tuple of ints in 0..255.
PyResult<std::string> source_bytes(NativeRuntime& rt, Value source) {
    const HeapSlot* slot = rt.heap().get_if_object(source);
    if (slot) {
        if (auto* b = std::get_if<BytesPayload>(&slot->object)) return b->bytes;
        if (auto* b = std::get_if<ByteArrayPayload>(&slot->object)) return b->bytes;
        const std::vector<Value>* items = nullptr;
        if (auto* l = std::get_if<ListPayload>(&slot->object)) items = &l->items;
        if (auto* t = std::get_if<TuplePayload>(&slot->object)) items = &t->items;
        if (items) {
            std::string out;
            for (const Value& item : *items) {
                auto n = value_to_bigint(rt.heap(), item);
                if (!n) {
                    auto type = number_type_name(rt, item);
                    if (!type) return fail(std::move(type.error()));
                    return fail(PyError::type_error(fmt::format("'{}' object cannot be interpreted as an integer", *type)));
                }
                auto small = n->to_i64();
                if (!small || *small < 0 || *small > 255) return fail(byte_range_error());
                out.push_back(char(*small));
            }
            return out;
        }
    }
    const NumericView view = py_numeric_view(rt.heap(), source);
    auto text = str_view(rt.heap(), source);
    if (!text) return fail(std::move(text.error()));
    if (view.kind != NumericView::None || *text) {
        auto type = number_type_name(rt, source);
        if (!type) return fail(std::move(type.error()));
        return fail(PyError::type_error(fmt::format("cannot convert '{}' object to bytes", *type)));
    }
    // Any other source: what bytes() makes of it (an iterable of ints, __bytes__).
    const Value bytes_type = Value::native(NativeKind::BuiltinType, type_id(BuiltinType::Bytes));
    auto made = rt.call(bytes_type, std::span(&source, 1));
    if (!made) return fail(std::move(made.error()));
    rt.heap().push_root(*made);
    const HeapSlot* made_slot = rt.heap().get_if_object(*made);
    if (const auto* b = made_slot ? std::get_if<BytesPayload>(&made_slot->object) : nullptr) return b->bytes;
    return fail(PyError::type_error("bytes() gave a value that is not bytes"));
}

PyResult<Value> int_from_bytes(NativeRuntime& rt, Value cls, NativeCall call) {
    auto args = bytes_arguments(call, "from_bytes", "bytes");
    if (!args) return fail(std::move(args.error()));
    if (args->first.is_absent())
        return fail(PyError::type_error("from_bytes() missing required argument 'bytes' (pos 1)"));
    auto little = little_endian(rt, args->byteorder, "from_bytes");
    if (!little) return fail(std::move(little.error()));
    auto is_signed = signed_argument(rt, args->signed_flag);
    if (!is_signed) return fail(std::move(is_signed.error()));
    auto bytes = source_bytes(rt, args->first);
    if (!bytes) return fail(std::move(bytes.error()));
    MeterCharges charges(number_env(rt));
    if (auto r = charges.charge_work(bytes->size()); !r) return fail(std::move(r.error()));
    if (!*little) std::reverse(bytes->begin(), bytes->end());
    tw::BigInt n;
    if (!bytes->empty()) mpz_import(n.raw(), bytes->size(), -1, 1, 0, 0, bytes->data());
    if (*is_signed && !bytes->empty() && (static_cast<unsigned char>(bytes->back()) & 0x80)) {
        tw::BigInt power(1);
        mpz_mul_2exp(power.raw(), power.raw(), 8 * bytes->size());
        n = n - power;
    }
    auto made = new_int_value(number_env(rt), n);
    if (!made) return fail(std::move(made.error()));
    const Value value = *made;
    // A subclass's from_bytes: the class called with the integer.
    const Value int_type = Value::native(NativeKind::BuiltinType, type_id(BuiltinType::Int));
    if (cls.is_absent() || cls == int_type) return value;
    rt.heap().push_root(value);
    return rt.call(cls, std::span(&value, 1));
}

constexpr NativeFunction kIntMethods[] = {
    {"int", "conjugate", nullptr, number_conjugate},
    {"int", "bit_length", nullptr, int_bit_length},
    {"int", "bit_count", nullptr, int_bit_count},
    {"int", "as_integer_ratio", nullptr, int_as_integer_ratio},
    {"int", "is_integer", nullptr, int_is_integer},
    {"int", "to_bytes", nullptr, int_to_bytes},
};
constexpr NativeProperty kIntProperties[] = {
    {"int", "real", number_real},
    {"int", "imag", number_imag},
    {"int", "numerator", number_real},
    {"int", "denominator", int_denominator},
};
constexpr NativeClass kIntClass{"int", kIntMethods, kIntProperties};
constexpr NativeFunction kIntFromBytes{"int", "from_bytes", nullptr, int_from_bytes};

}  // namespace

const NativeClass& int_native_class() { return kIntClass; }

void attach_number_classes(TypeRegistry& registry, Symbols& symbols) {
    registry.attach_native_class(symbols, type_id(BuiltinType::Int), int_native_class());
    registry.attach_class_method(symbols, type_id(BuiltinType::Int), int_from_bytes_row());
    registry.attach_native_class(symbols, type_id(BuiltinType::Float), float_native_class());
    registry.attach_native_class(symbols, type_id(BuiltinType::Complex), complex_native_class());
}
const NativeFunction& int_from_bytes_row() { return kIntFromBytes; }

}  // namespace tw::py
