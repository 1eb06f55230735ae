// str.format and printf-style str % values over the value protocols: the template engines of
// python/string with arguments converted by str(), repr() and format() of any value.
#include <fmt/format.h>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/number/format_spec.h"
#include "python/number/values.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/string/format.h"
#include "python/string/percent_format.h"
#include "python/types/number_runtime.h"
#include "python/types/string_rows.h"
#include "python/types/string_types.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/protocols.h"
#include "python/vm/repr.h"
#include "python/vm/str_formatting.h"

namespace tw::py {

namespace {

using namespace strarg;

// repr() with every non-ASCII code point escaped (the "a" conversion).
std::string ascii_escaped(std::string_view text) {
    std::string out;
    for (std::size_t p = 0; p < text.size();) {
        const char32_t c = utf8_next(text, p);
        if (c < 0x80) out.push_back(char(c));
        else if (c < 0x100) out += fmt::format("\\x{:02x}", std::uint32_t(c));
        else if (c < 0x10000) out += fmt::format("\\u{:04x}", std::uint32_t(c));
        else out += fmt::format("\\U{:08x}", std::uint32_t(c));
    }
    return out;
}

// A field: the conversion applied, then the value formatted with its format text.
PyResult<std::string> format_field(NativeRuntime& rt, Value v, char32_t conversion, std::string_view spec) {
    RuntimeContext& ctx = rt.context();
    if (!conversion) return py_format(ctx, v, spec);
    TW_TRY(text, conversion == 's' ? py_str(ctx, v) : py_repr(ctx, v));
    if (conversion == 'a') text = ascii_escaped(text);
    if (spec.empty()) return text;
    auto r = py_format_str(text, spec);
    if (!r) return fail(r.error().to_py_error());
    return std::move(*r);
}

struct CallArguments final : FormatArguments {
    NativeRuntime& rt;
    const NativeCall& call;
    CallArguments(NativeRuntime& r, const NativeCall& c) : rt(r), call(c) {}

    std::uint64_t positional_count() const override { return call.positional.size(); }
    PyResult<std::string> format_positional(std::uint64_t i, char32_t conv, std::string_view spec) override {
        return format_field(rt, call.positional[i], conv, spec);
    }
    PyResult<std::string> format_named(std::string_view name, char32_t conv, std::string_view spec) override {
        for (const auto& [key, value] : call.keywords)
            if (key == name) return format_field(rt, value, conv, spec);
        return fail(PyError::exception("KeyError", std::string(name)));
    }
};

PyResult<Value> str_format_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(tmpl, expect_str(rt, self));
    CallArguments args(rt, call);
    MeterCharges charges(number_env(rt));
    TW_TRY(out, str_format(charges, tmpl.text, args));
    return make_str(rt, std::move(out));
}

struct OperandArguments final : PercentArguments {
    NativeRuntime& rt;
    Value operand;
    bool str_or_tuple = false;
    OperandArguments(NativeRuntime& r, Value o) : rt(r), operand(o) {}

    // %(key)s: the operand subscripted with the key, as any mapping answers it.
    PyResult<Value> lookup_key(std::string_view key) override {
        auto k = make_str(rt, std::string(key));
        if (!k) return fail(std::move(k.error()));
        rt.heap().push_root(*k);
        return vm::subscript(rt.context(), operand, *k);
    }
    bool operand_is_str_or_tuple() const override { return str_or_tuple; }
    PyResult<std::string> to_str(Value v) override { return py_str(rt.context(), v); }
    PyResult<std::string> repr(Value v) override { return py_repr(rt.context(), v); }
    std::string type_name(Value v) override { return strarg::type_name(rt, v).value_or("object"); }
    PyResult<std::optional<tw::BigInt>> integer(Value v) override { return value_to_bigint(rt.heap(), v); }
    PyResult<std::optional<std::string>> str_text(Value v) override {
        TW_TRY(s, str_of(rt, v));
        if (!s) return std::optional<std::string>();
        return std::optional(std::move(s->text));
    }
    PyResult<std::optional<double>> real(Value v) override {
        const NumericView n = py_numeric_view(rt.heap(), v);
        switch (n.kind) {
            case NumericView::Small: return std::optional(double(n.small));
            case NumericView::U64: return std::optional(double(n.u64));
            case NumericView::Float: return std::optional(n.real);
            case NumericView::Big: {
                const double d = mpz_get_d(n.big->get());
                if (std::isinf(d) || mpz_sizeinbase(n.big->get(), 2) > 1024)
                    return fail(PyError::overflow_error("int too large to convert to float"));
                return std::optional(d);
            }
            default: return std::optional<double>();
        }
    }
};

}  // namespace

PyResult<std::optional<Value>> str_percent_slot(NativeRuntime& rt, Value self, Value operand) {
    TW_TRY(tmpl, str_of(rt, self));
    if (!tmpl) return std::optional<Value>();
    OperandArguments host(rt, operand);
    std::vector<Value> args{operand};
    const HeapSlot* slot = rt.heap().get_if_object(operand);
    if (const auto* tuple = slot ? std::get_if<TuplePayload>(&slot->object) : nullptr) {
        args = tuple->items;
        host.str_or_tuple = true;
    } else {
        TW_TRY(s, str_of(rt, operand));
        host.str_or_tuple = s.has_value();
    }
    MeterCharges charges(number_env(rt));
    TW_TRY(out, str_percent_format(charges, tmpl->text, args, host));
    TW_TRY(v, make_str(rt, std::move(out)));
    return std::optional(v);
}

namespace {
constexpr NativeFunction kStrFormatMethods[] = {{"str", "format", nullptr, str_format_row}};
constexpr NativeClass kStrFormatClass{"str", kStrFormatMethods, {}};
}  // namespace

const NativeClass& str_format_native_class() { return kStrFormatClass; }

void attach_str_format_rows(TypeRegistry& registry, Symbols& symbols) {
    registry.attach_native_class(symbols, type_id(BuiltinType::String), kStrFormatClass);
}

}  // namespace tw::py
