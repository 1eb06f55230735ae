// The slot functions and native methods of bool, int, float and complex over a real runtime.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "pynumber/runtime_fixture.h"
#include "python/vm/protocols.h"
#include "python/types/number_slots.h"

namespace tw::py {
namespace {


using testing::B;
using testing::F;
using testing::I;
using testing::Runtime;

TEST(NumericSlots, ReflectedOperandsAndDivmod) {
    Runtime r;
    EXPECT_EQ(**numeric_rsub(r.rt, I(3), I(10)), I(7));
    EXPECT_EQ(**numeric_rlshift(r.rt, I(3), I(1)), I(8));
    EXPECT_EQ(**numeric_add(r.rt, I(3), I(10)), I(13));
    EXPECT_EQ(**numeric_add(r.rt, B(true), B(true)), I(2));
    auto d = r.tuple(**numeric_divmod(r.rt, I(7), I(-2)));
    EXPECT_EQ(d, (std::vector<Value>{I(-4), I(-1)}));
    auto rd = r.tuple(**numeric_rdivmod(r.rt, F(2.5), I(7)));
    EXPECT_EQ(rd, (std::vector<Value>{F(2.0), F(2.0)}));
    EXPECT_FALSE(numeric_add(r.rt, I(1), r.complex(0, 2)).value());
    EXPECT_EQ(numeric_truediv(r.rt, I(1), I(0)).error().message(), "division by zero");
    // The mended true division: the correctly rounded quotient of two huge integers.
    EXPECT_EQ(**numeric_truediv(r.rt, r.big("1" + std::string(400, '0')), r.big("1" + std::string(399, '0'))), F(10.0));
    EXPECT_EQ(numeric_truediv(r.rt, r.big("1" + std::string(400, '0')), I(0)).error().message(), "division by zero");
    EXPECT_EQ(r.decimal(**numeric_neg(r.rt, I(std::numeric_limits<std::int64_t>::min()))), "9223372036854775808");
}

TEST(NumericSlots, OrderingDeclinesAcrossKinds) {
    Runtime r;
    EXPECT_FALSE(numeric_lt(r.rt, I(1), F(2.5)).value());
    EXPECT_EQ(**numeric_gt(r.rt, F(2.5), I(1)), B(true));
    for (auto slot : {numeric_lt, numeric_le, numeric_gt, numeric_ge}) EXPECT_EQ(**slot(r.rt, F(NAN), F(1.0)), B(false));
    // Exact comparison of a float with a big integer.
    EXPECT_EQ(**numeric_lt(r.rt, F(9007199254740992.0), r.big("9007199254740993")), B(true));
    EXPECT_EQ(**numeric_hash(r.rt, B(true)), **numeric_hash(r.rt, I(1)));
    EXPECT_EQ(**numeric_hash(r.rt, F(2.0)), I(2));
}

TEST(NumericSlots, EqualityTruthAndBoolBitwise) {
    Runtime r;
    EXPECT_FALSE(number_eq(r.rt, I(1), F(1.0)).value());
    EXPECT_FALSE(number_eq(r.rt, F(1.0), r.complex(0, 1)).value());
    EXPECT_EQ(**number_eq(r.rt, F(1.0), I(1)), B(true));
    EXPECT_EQ(**number_eq(r.rt, r.complex(1, 0), I(1)), B(true));
    EXPECT_EQ(**number_eq(r.rt, r.complex(NAN, 0), r.complex(NAN, 0)), B(false));
    EXPECT_FALSE(number_ne(r.rt, I(1), Value::try_inline_str("a")).value());
    EXPECT_EQ(**number_bool(r.rt, r.complex(0.0, -0.0)), B(false));
    EXPECT_EQ(**number_bool(r.rt, r.complex(NAN, 0)), B(true));
    EXPECT_EQ(**number_bool(r.rt, F(-0.0)), B(false));
    EXPECT_EQ(**bool_and(r.rt, B(true), B(false)), B(false));
    EXPECT_EQ(**bool_or(r.rt, B(true), B(false)), B(true));
    EXPECT_EQ(**bool_xor(r.rt, B(true), I(3)), I(2));
}

TEST(ComplexSlots, ArithmeticAndRefusals) {
    Runtime r;
    auto product = py_numeric_view(r.in.heap, **complex_mul(r.rt, r.complex(1, 2), r.complex(3, -4)));
    EXPECT_EQ(product.real, 11.0);
    EXPECT_EQ(product.imag, 2.0);
    EXPECT_EQ(complex_floordiv(r.rt, r.complex(1, 1), I(1)).error().message(),
              "unsupported operand type(s) for //: 'complex' and 'int'");
    EXPECT_EQ(complex_rmod(r.rt, r.complex(0, 1), I(1)).error().message(),
              "unsupported operand type(s) for %: 'int' and 'complex'");
    EXPECT_FALSE(complex_add(r.rt, r.complex(1, 2), Value::try_inline_str("a")).value());
    EXPECT_EQ(complex_neg(r.rt, I(1)).error().message(), "descriptor requires a 'complex' object");
    EXPECT_EQ(**complex_hash(r.rt, r.complex(1, 0)), I(1));
    EXPECT_FALSE(number_rich_compare(r.rt, r.complex(0, 1), r.complex(0, 2), 2).value());
    EXPECT_EQ(*number_rich_compare(r.rt, r.complex(1, 0), I(1), 0).value(), true);
}

TEST(NumberMethods, IntMethods) {
    Runtime r;
    const NativeClass& c = int_native_class();
    EXPECT_EQ(*r.get(c, "real", B(true)), I(1));
    EXPECT_EQ(*r.get(c, "imag", I(7)), I(0));
    EXPECT_EQ(*r.call(c, "bit_length", r.big("-18446744073709551616")), I(65));
    EXPECT_EQ(*r.call(c, "bit_count", I(255)), I(8));
    EXPECT_EQ(*r.call(c, "bit_count", I(-5)), I(2));
    EXPECT_EQ(r.call(c, "bit_length", I(5), NativeCall{{}, {{"x", I(1)}}}).error().message(),
              "int.bit_length() takes no keyword arguments");
    EXPECT_EQ(r.call(c, "bit_length", Value::try_inline_str("a")).error().message(),
              "descriptor 'bit_length' requires a 'int' object");
    auto ratio = r.tuple(*r.call(c, "as_integer_ratio", I(-3)));
    EXPECT_EQ(ratio, (std::vector<Value>{I(-3), I(1)}));
}

TEST(NumberMethods, ToBytesAndFromBytes) {
    Runtime r;
    const NativeClass& c = int_native_class();
    auto bytes_of = [&](PyResult<Value> v) {
        if (!v) return "!" + std::string(v.error().message());
        return std::get<BytesPayload>(r.in.heap.get(*v).value()->object).bytes;
    };
    const Value big = Value::try_inline_str("big"), little = Value::try_inline_str("little");
    EXPECT_EQ(bytes_of(r.call(c, "to_bytes", I(255), {{I(1), big}, {}})), "\xff");
    EXPECT_EQ(bytes_of(r.call(c, "to_bytes", I(255), {{I(1), big}, {{"signed", B(true)}}})), "!int too big to convert");
    EXPECT_EQ(bytes_of(r.call(c, "to_bytes", I(-1), {{I(2), little}, {{"signed", B(true)}}})), "\xff\xff");
    EXPECT_EQ(bytes_of(r.call(c, "to_bytes", I(-1), {{I(1)}, {}})), "!can't convert negative int to unsigned");
    EXPECT_EQ(bytes_of(r.call(c, "to_bytes", I(1), {{I(-1)}, {}})), "!length argument must be non-negative");
    EXPECT_EQ(bytes_of(r.call(c, "to_bytes", I(1), {{I(2), Value::try_inline_str("middle")}, {}})),
              "!byteorder must be either 'little' or 'big'");
    EXPECT_EQ(bytes_of(r.call(c, "to_bytes", I(1))), "\x01");
    EXPECT_EQ(bytes_of(r.call(c, "to_bytes", I(0), {{I(0)}, {}})), "");
    EXPECT_EQ(bytes_of(r.call(c, "to_bytes", I(-128), {{I(1), big}, {{"signed", B(true)}}})), "\x80");
    EXPECT_EQ(bytes_of(r.call(c, "to_bytes", I(-129), {{I(2), little}, {{"signed", B(true)}}})), "\x7f\xff");
    EXPECT_EQ(bytes_of(r.call(c, "to_bytes", I(1), {{I(1)}, {{"length", I(1)}}})),
              "!argument for to_bytes() given by name ('length') and position (1)");
    // (2**100).to_bytes(13, 'big') round-trips through from_bytes.
    const Value two100 = r.big("1267650600228229401496703205376");
    const Value encoded = *r.call(c, "to_bytes", two100, {{I(13), big}, {}});
    EXPECT_EQ(bytes_of(encoded), std::string("\x10", 1) + std::string(12, '\0'));
    const NativeFunction& from = int_from_bytes_row();
    EXPECT_EQ(r.decimal(*from.method_handler(r.rt, Value::absent(), {{encoded, big}, {}})), "1267650600228229401496703205376");
    const Value fe = new_str(r.in.heap, "\xff\xfe", nullptr, r.machine.meter).value();
    (void)fe;
    const Value two_bytes = r.in.heap.allocate_object(HeapObject{BytesPayload{"\xff\xfe"}}, nullptr, r.machine.meter).value();
    EXPECT_EQ(*from.method_handler(r.rt, Value::absent(), {{two_bytes, little}, {{"signed", B(true)}}}), I(-257));
    const Value list = r.in.heap.allocate_object(HeapObject{ListPayload{{I(1), I(0)}}}, nullptr, r.machine.meter).value();
    EXPECT_EQ(*from.method_handler(r.rt, Value::absent(), {{list, big}, {}}), I(256));
    EXPECT_EQ(from.method_handler(r.rt, Value::absent(), {{I(5), big}, {}}).error().message(),
              "cannot convert 'int' object to bytes");
}

TEST(NumberMethods, FloatAndComplexMethods) {
    Runtime r;
    const NativeClass& f = float_native_class();
    EXPECT_EQ(r.text(*r.call(f, "hex", F(1.5))), "0x1.8000000000000p+0");
    EXPECT_EQ(r.text(*r.call(f, "hex", F(5e-324))), "0x0.0000000000001p-1022");
    EXPECT_EQ(r.text(*r.call(f, "hex", F(-0.0))), "-0x0.0p+0");
    EXPECT_EQ(r.text(*r.call(f, "hex", F(-INFINITY))), "-inf");
    EXPECT_EQ(r.call(f, "hex", F(1.0), {{I(1)}, {}}).error().message(), "float.hex() takes no arguments (1 given)");
    EXPECT_EQ(r.tuple(*r.call(f, "as_integer_ratio", F(0.75))), (std::vector<Value>{I(3), I(4)}));
    EXPECT_EQ(r.tuple(*r.call(f, "as_integer_ratio", F(-0.0))), (std::vector<Value>{I(0), I(1)}));
    EXPECT_EQ(r.call(f, "as_integer_ratio", F(NAN)).error().message(), "cannot convert NaN to integer ratio");
    EXPECT_EQ(*r.call(f, "is_integer", F(3.0)), B(true));
    EXPECT_EQ(*r.call(f, "is_integer", F(INFINITY)), B(false));
    EXPECT_EQ(*r.call(f, "is_integer", F(2.5), {{}, {{"x", I(1)}}}), B(false));
    EXPECT_EQ(*r.get(f, "imag", F(2.5)), F(0.0));
    const NativeClass& c = complex_native_class();
    auto conj = py_numeric_view(r.in.heap, *r.call(c, "conjugate", r.complex(1, 2)));
    EXPECT_EQ(conj.imag, -2.0);
    EXPECT_EQ(r.call(c, "conjugate", r.complex(1, 2), {{I(1)}, {}}).error().message(),
              "complex.conjugate() expected 0..=0 positional arguments, got 1");
}

TEST(FormatSlot, FormatsBuiltinScalars) {
    Runtime r;
    auto fmt = [&](Value v, std::string_view spec) {
        auto res = builtin_format_slot(r.rt, v, new_str(r.in.heap, std::string(spec), nullptr, r.machine.meter).value());
        return res ? r.text(**res) : "!" + std::string(res.error().message());
    };
    EXPECT_EQ(fmt(I(5), "03d"), "005");
    EXPECT_EQ(fmt(F(1234.5678), ",.2f"), "1,234.57");
    EXPECT_EQ(fmt(B(true), "d"), "1");
    EXPECT_EQ(fmt(B(true), ""), "True");
    EXPECT_EQ(fmt(F(1.0), ""), "1.0");
    EXPECT_EQ(fmt(r.complex(1, 2), "8"), "  (1+2j)");
    EXPECT_EQ(fmt(Value::try_inline_str("ab"), "^5"), " ab  ");
    EXPECT_EQ(fmt(Value::none(), "5"), "!unsupported format string passed to NoneType.__format__");
    auto bad = builtin_format_slot(r.rt, I(5), I(5));
    EXPECT_EQ(bad.error().message(), "expected a string, got int");
    // A width beyond the memory budget fails on the charge, before any text is made.
    EXPECT_EQ(fmt(I(1), "2000000000"), "!memory limit exceeded");
    EXPECT_EQ(fmt(F(1.5), ".1000000000f"), "!memory limit exceeded");
}

// The generic format() reaches the number slots through the type's slot table.
TEST(FormatSlot, GenericFormatUsesTheInstalledSlots) {
    Runtime r;
    EXPECT_EQ(*py_format(r.ctx, F(1234.5678), ",.2f"), "1,234.57");
    EXPECT_EQ(*py_format(r.ctx, B(true), "^5"), "  1  ");
    EXPECT_EQ(*py_format(r.ctx, r.complex(1, 2), ".1f"), "1.0+2.0j");
    EXPECT_EQ(py_format(r.ctx, F(1.5), "ff").error().message(), "Invalid format specifier 'ff' for object of type 'float'");
}

TEST(NumberConversion, NumbersStringsAndPlainObjects) {
    Runtime r;
    auto parts = py_number_from_dunder(r.rt, r.complex(1, 2));
    EXPECT_EQ(parts->kind, 1);
    EXPECT_EQ(parts->imag, 2.0);
    EXPECT_EQ(py_number_from_dunder(r.rt, I(3))->real, 3.0);
    EXPECT_EQ(py_number_from_dunder(r.rt, Value::try_inline_str("1j"))->kind, 2);
    EXPECT_EQ(py_number_from_dunder(r.rt, r.make(ListPayload{}))->kind, 2);
    EXPECT_EQ(py_number_from_dunder(r.rt, r.big("1" + std::string(400, '0'))).error().message(),
              "int too large to convert to float");
}

TEST(CompareSlots, BytesRangesSlicesAndAliases) {
    Runtime r;
    auto make = [&](HeapObject o) { return r.in.heap.allocate_object(std::move(o), nullptr, r.machine.meter).value(); };
    const Value abc = make(BytesPayload{"abc"}), abd = make(ByteArrayPayload{"abd"}), ab = make(BytesPayload{"ab"});
    EXPECT_EQ(*bytes_compare(r.rt, abc, abd, 2).value(), true);
    EXPECT_EQ(*bytes_compare(r.rt, ab, abc, 2).value(), true);
    EXPECT_EQ(*bytes_compare(r.rt, abc, make(ByteArrayPayload{"abc"}), 0).value(), true);
    EXPECT_FALSE(bytes_compare(r.rt, abc, Value::try_inline_str("abc"), 0).value());
    EXPECT_EQ(*same_type_value_compare(r.rt, make(RangePayload{0, 0, 1}), make(RangePayload{5, 5, 2}), 0).value(), true);
    EXPECT_EQ(*same_type_value_compare(r.rt, make(RangePayload{3, 4, 1}), make(RangePayload{3, 10, 7}), 0).value(), true);
    EXPECT_FALSE(same_type_value_compare(r.rt, make(RangePayload{0, 3, 1}), make(RangePayload{0, 4, 1}), 2).value());
    const Value s1 = make(SlicePayload{I(1), I(2), Value::none()}), s2 = make(SlicePayload{I(1), I(2), Value::none()});
    EXPECT_EQ(*same_type_value_compare(r.rt, s1, s2, 0).value(), true);
    EXPECT_FALSE(same_type_value_compare(r.rt, s1, make(TuplePayload{{I(1), I(2)}}), 0).value());
    const Value list_type = Value::native(NativeKind::BuiltinType, 11);
    const Value alias = **builtin_class_getitem_slot(r.rt, list_type, Value::native(NativeKind::BuiltinType, 6));
    const auto& payload = std::get<GenericAliasPayload>(r.in.heap.get(alias).value()->object);
    EXPECT_EQ(payload.origin, list_type);
    EXPECT_EQ(payload.args.size(), 1u);
    const Value pair = make(TuplePayload{{Value::native(NativeKind::BuiltinType, 8), Value::native(NativeKind::BuiltinType, 6)}});
    const Value dict_alias = **builtin_class_getitem_slot(r.rt, Value::native(NativeKind::BuiltinType, 13), pair);
    EXPECT_EQ(std::get<GenericAliasPayload>(r.in.heap.get(dict_alias).value()->object).args.size(), 2u);
}

}  // namespace
}  // namespace tw::py
