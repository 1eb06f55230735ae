// The native functions of the builtins module: __import__, ascii, id, map, filter, reversed,
// getattr, hasattr and round. map and filter compute their whole result when called.
#include <fmt/format.h>

#include <cfenv>
#include <cmath>
#include <cstdlib>

#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/number/values.h"
#include "python/objects/value_access.h"
#include "python/types/native_args.h"
#include "python/types/number_runtime.h"
#include "python/vm/builtin_functions.h"
#include "python/vm/call.h"
#include "python/vm/imports.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/native_runtime.h"
#include "python/vm/exceptions.h"
#include "python/vm/sequence_support.h"
#include "python/vm/sequences.h"
#include "python/vm/try.h"

namespace tw::py::vm {

std::string double_quoted(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) out += fmt::format("\\x{:02x}", c);
                else out.push_back(char(c));
        }
    }
    out.push_back('"');
    return out;
}

namespace {

PyStatus check(const NativeCall& c, std::string_view name, std::size_t min, std::size_t max) {
    TRY_DO(native_check_positional_arity(c.positional.size(), name, min, max));
    return native_reject_keywords(!c.keywords.empty(), name);
}

// Whether a failed lookup failed with AttributeError (a raised instance or an error value).
bool is_attribute_error(RuntimeContext& ctx, const PyError& e) {
    if (e.is_raised_marker()) {
        if (!pending_exception_is_instance(*ctx.interpreter, "AttributeError")) return false;
        ctx.exec.pending_exception.reset();
        return true;
    }
    return e.kind() == ErrorKindTag::Exception && e.detail() && e.detail()->class_name == "AttributeError";
}

// An attribute, or nothing when the lookup raised AttributeError.
PyResult<std::optional<Value>> getattr_optional(RuntimeContext& ctx, Value obj, std::string_view name) {
    TRY_ASSIGN(symbol, ctx.heap.symbols.intern(name, ctx.machine.meter));
    auto r = load_attribute_optional(ctx, obj, symbol);
    if (!r) {
        if (is_attribute_error(ctx, r.error())) return std::optional<Value>();
        return fail(std::move(r.error()));
    }
    return *r;
}

PyResult<Value> values_iterator(RuntimeContext& ctx, std::vector<Value> values) {
    return ctx.heap.allocate_object(ValuesIteratorPayload{0, std::move(values)}, ctx.roots, ctx.machine.meter);
}

PyResult<Value> builtin_import(NativeRuntime& rt, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(native_check_positional_arity(c.positional.size(), "__import__", 1, 5));
    static constexpr std::string_view kAccepted[] = {"globals", "locals", "fromlist", "level"};
    TRY_DO(native_reject_unsupported_keywords(c.keywords, "__import__", kAccepted));
    TRY_ASSIGN(name, native_expect_str(rt, c.positional[0]));
    TRY_ASSIGN(level_kw, native_keyword_value(c.keywords, "__import__", "level"));
    std::optional<Value> level = c.positional.size() > 4 ? std::optional(c.positional[4]) : level_kw;
    if (level) {
        TRY_ASSIGN(n, native_expect_int(rt, *level, "level must be an integer"));
        if (!n.value || *n.value != 0) return fail(PyError::value_error("relative __import__ is not supported"));
    }
    // The named module is imported; without a non-empty fromlist the top-level package of a
    // dotted name is the result, as `import a.b` binds `a`.
    TRY_ASSIGN(fromlist_kw, native_keyword_value(c.keywords, "__import__", "fromlist"));
    std::optional<Value> fromlist = c.positional.size() > 3 ? std::optional(c.positional[3]) : fromlist_kw;
    bool wants_module = false;
    if (fromlist) {
        TRY_ASSIGN(t, truth(ctx, *fromlist));
        wants_module = t;
    }
    const std::string full(name);
    TRY_ASSIGN(module, import_module_value(ctx, full));
    const std::size_t dot = full.find('.');
    if (wants_module || dot == std::string::npos) return module;
    return import_module_value(ctx, full.substr(0, dot));
}

PyResult<Value> builtin_ascii(NativeRuntime& rt, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(check(c, "ascii", 1, 1));
    TRY_ASSIGN(text, repr_text(ctx, c.positional[0]));
    TRY_DO(python_charge_work(ctx.machine.meter, text.size()));
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            out.push_back(char(b));
            ++i;
            continue;
        }
        const std::size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
        std::uint32_t cp = b & (0xFF >> (len + 1));
        for (std::size_t k = 1; k < len && i + k < text.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += len;
        if (cp <= 0xFF) out += fmt::format("\\x{:02x}", cp);
        else if (cp <= 0xFFFF) out += fmt::format("\\u{:04x}", cp);
        else out += fmt::format("\\U{:08x}", cp);
    }
    return make_str(ctx, std::move(out));
}

PyResult<Value> builtin_id(NativeRuntime& rt, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(check(c, "id", 1, 1));
    TRY_ASSIGN(n, ctx.heap.object_identity(c.positional[0]));
    if (n) return Value::from_int(std::int64_t(0x7F0000000000ULL + 16 * std::uint64_t(*n)));
    if (auto h = py_identity(c.positional[0])) return Value::from_int(*h);
    return fail(PyError::unsupported("value has no identity"));
}

PyResult<Value> builtin_map(NativeRuntime& rt, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(native_check_positional_arity(c.positional.size(), "map", 2, std::size_t(-1) >> 1));
    TRY_DO(native_reject_keywords(!c.keywords.empty(), "map"));
    TRY_ASSIGN(function, native_expect_callable(rt, c.positional[0]));
    std::vector<Value> iterators;
    for (std::size_t i = 1; i < c.positional.size(); ++i) {
        TRY_ASSIGN(it, get_iterator(ctx, c.positional[i]));
        ctx.heap.push_root(it);
        iterators.push_back(it);
    }
    std::vector<Value> results, args(iterators.size());
    for (;;) {
        for (std::size_t i = 0; i < iterators.size(); ++i) {
            TRY_ASSIGN(step, iterator_next(ctx, iterators[i]));
            if (!step.item) return values_iterator(ctx, std::move(results));
            ctx.heap.push_root(*step.item);
            args[i] = *step.item;
        }
        TRY_ASSIGN(r, call_value(ctx, function, args));
        ctx.heap.push_root(r);
        results.push_back(r);
    }
}

PyResult<Value> builtin_filter(NativeRuntime& rt, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(check(c, "filter", 2, 2));
    Value function = c.positional[0];
    if (!function.is_none()) TRY_DO(native_expect_callable(rt, function));
    TRY_ASSIGN(it, get_iterator(ctx, c.positional[1]));
    ctx.heap.push_root(it);
    std::vector<Value> kept;
    for (;;) {
        TRY_ASSIGN(step, iterator_next(ctx, it));
        if (!step.item) break;
        Value item = *step.item;
        ctx.heap.push_root(item);
        Value tested = item;
        if (!function.is_none()) {
            TRY_ASSIGN(r, call_value(ctx, function, std::span<const Value>(&item, 1)));
            tested = r;
        }
        TRY_ASSIGN(t, truth(ctx, tested));
        if (t) kept.push_back(item);
    }
    return values_iterator(ctx, std::move(kept));
}

PyResult<Value> builtin_reversed(NativeRuntime& rt, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(check(c, "reversed", 1, 1));
    const Value x = c.positional[0];
    Interpreter& in = *ctx.interpreter;
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, in.types, x));
    if (cls) {
        TRY_ASSIGN(hook, class_lookup(ctx, *cls, ctx.heap.symbols.intern_static("__reversed__")));
        if (hook) {
            if (hook->is_none()) {
                TRY_ASSIGN(tn, type_name(ctx, x));
                return fail(PyError::type_error(fmt::format("'{}' object is not reversible", tn)));
            }
            return call_immediate(ctx, *hook, std::span<const Value>(&x, 1), {});
        }
        TRY_ASSIGN(len, class_lookup(ctx, *cls, ctx.heap.symbols.intern_static("__len__")));
        TRY_ASSIGN(item, class_lookup(ctx, *cls, ctx.heap.symbols.intern_static("__getitem__")));
        if (!item) {
            TRY_ASSIGN(tn, type_name(ctx, x));
            return fail(PyError::type_error(fmt::format("'{}' object is not reversible", tn)));
        }
        if (!len) return fail(PyError::type_error("reversed() requires a sequence"));
        TRY_ASSIGN(n, call_immediate(ctx, *len, std::span<const Value>(&x, 1), {}));
        if (!n.is_int()) return fail(PyError::type_error("reversed() requires a sequence"));
        if (n.as_int() < 0) return fail(PyError::value_error("__len__() should return >= 0"));
        // Items are fetched with __getitem__ as the iteration reaches them.
        return ctx.heap.allocate_object(ReversedIteratorPayload{std::uint64_t(n.as_int()), x}, ctx.roots, ctx.machine.meter);
    }
    TRY_ASSIGN(id, py_type_id_of(ctx.heap, in.types, x));
    TRY_ASSIGN(entry, in.types.slot(id, DunderSlot::Reversed));
    if (entry && entry->kind == SlotKind::Unary) {
        TRY_ASSIGN(r, entry->as_unary()(rt, x));
        if (r) return *r;
    }
    // str, range and the other builtin sequences: their items from the last.
    const HeapSlot* slot = ctx.heap.get_if_object(x);
    if (x.is_inline_str() || (slot && (slot->kind() == HeapObjectKind::Str || slot->kind() == HeapObjectKind::Range ||
                                       slot->kind() == HeapObjectKind::Bytes || slot->kind() == HeapObjectKind::ByteArray ||
                                       dict_table_of(const_cast<HeapObject&>(slot->object))))) {
        TRY_ASSIGN(items, collect_iterable(ctx, x));
        std::reverse(items.begin(), items.end());
        return values_iterator(ctx, std::move(items));
    }
    TRY_ASSIGN(tn, type_name(ctx, x));
    return fail(PyError::type_error(fmt::format("'{}' object is not reversible", tn)));
}

PyResult<Value> builtin_getattr(NativeRuntime& rt, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(check(c, "getattr", 2, 3));
    TRY_ASSIGN(name, native_expect_str(rt, c.positional[1]));
    TRY_ASSIGN(found, getattr_optional(ctx, c.positional[0], name));
    if (found) return *found;
    if (c.positional.size() > 2) return c.positional[2];
    return fail(PyError::exception("AttributeError", fmt::format("attribute {} not found", double_quoted(name))));
}

PyResult<Value> builtin_hasattr(NativeRuntime& rt, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(check(c, "hasattr", 2, 2));
    TRY_ASSIGN(name, native_expect_str(rt, c.positional[1]));
    TRY_ASSIGN(found, getattr_optional(ctx, c.positional[0], name));
    return Value::from_bool(found.has_value());
}

// ---- round ------------------------------------------------------------------------------------

PyResult<Value> int_value(RuntimeContext& ctx, const tw::BigInt& v) {
    return new_int_value(NumberEnv{ctx.heap, ctx.machine.meter, ctx.roots}, v);
}

double round_half_even(double x) {
    const int saved = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(x);
    std::fesetround(saved);
    return r;
}

PyResult<Value> round_integer(RuntimeContext& ctx, tw::BigInt value, std::optional<NativeInt> ndigits) {
    if (!ndigits || (ndigits->value ? *ndigits->value >= 0 : ndigits->sign > 0)) return int_value(ctx, value);
    if (!ndigits->value) return Value::from_int(0);
    const std::uint64_t n = std::uint64_t(-(*ndigits->value + 1)) + 1;
    const std::uint64_t bits = mpz_sgn(value.raw()) == 0 ? 0 : mpz_sizeinbase(value.raw(), 2);
    const std::uint64_t bound = bits > UINT64_MAX / 30103 ? 184467440737096ULL : bits * 30103 / 100000 + 1;
    if (bound < n) return Value::from_int(0);
    if (n > UINT32_MAX) return fail(PyError::resource("rounding precision is too large"));
    TRY_DO(python_charge_work(ctx.machine.meter, n));
    tw::BigInt power(1), q, r, twice;
    mpz_ui_pow_ui(power.raw(), 10, n);
    mpz_fdiv_qr(q.raw(), r.raw(), value.raw(), power.raw());
    mpz_mul_2exp(twice.raw(), r.raw(), 1);
    const int c = mpz_cmp(twice.raw(), power.raw());
    if (c > 0 || (c == 0 && mpz_odd_p(q.raw()))) mpz_add_ui(q.raw(), q.raw(), 1);
    mpz_mul(q.raw(), q.raw(), power.raw());
    return int_value(ctx, q);
}

PyResult<Value> round_float(RuntimeContext& ctx, double x, std::optional<NativeInt> ndigits) {
    if (!ndigits) {
        if (std::isnan(x)) return fail(PyError::value_error("cannot convert float NaN to integer"));
        if (std::isinf(x)) return fail(PyError::overflow_error("cannot convert float infinity to integer"));
        tw::BigInt z;
        mpz_set_d(z.raw(), round_half_even(x));
        return int_value(ctx, z);
    }
    if (!std::isfinite(x)) return Value::from_float(x);
    const std::int64_t d = ndigits->value ? *ndigits->value : (ndigits->sign > 0 ? 309 : -309);
    if (d > 308) return Value::from_float(x);
    if (d < -308) return Value::from_float(std::copysign(0.0, x));
    if (d < 0) {
        const double p = std::pow(10.0, double(-d));
        return Value::from_float(round_half_even(x / p) * p);
    }
    TRY_DO(charge_native_memory(ctx, std::uint64_t(d) + 320));
    TRY_DO(python_charge_work(ctx.machine.meter, std::uint64_t(d)));
    const std::string text = fmt::format("{:.{}f}", x, int(d));
    return Value::from_float(std::strtod(text.c_str(), nullptr));
}

PyResult<Value> builtin_round(NativeRuntime& rt, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(native_check_positional_arity(c.positional.size(), "round", 1, 2));
    static constexpr std::string_view kAccepted[] = {"ndigits"};
    TRY_DO(native_reject_unsupported_keywords(c.keywords, "round", kAccepted));
    TRY_ASSIGN(keyword, native_keyword_value(c.keywords, "round", "ndigits"));
    if (keyword && c.positional.size() > 1)
        return fail(PyError::type_error("round() got multiple values for argument 'ndigits'"));
    std::optional<Value> ndigits_value = c.positional.size() > 1 ? std::optional(c.positional[1]) : keyword;
    if (ndigits_value && ndigits_value->is_none()) ndigits_value.reset();
    std::optional<NativeInt> ndigits;
    if (ndigits_value) {
        TRY_ASSIGN(n, native_expect_int(rt, *ndigits_value, "ndigits must be an integer"));
        ndigits = n;
    }
    const Value x = c.positional[0];
    const HeapSlot* slot = ctx.heap.get_if_object(x);
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, ctx.interpreter->types, x));
    const bool delegated = x.is_registered() || cls || (slot && slot->kind() == HeapObjectKind::Registered) ||
                           (slot && slot->kind() == HeapObjectKind::Complex);
    if (delegated) {
        TRY_ASSIGN(method, getattr_optional(ctx, x, "__round__"));
        if (!method) {
            TRY_ASSIGN(tn, type_name(ctx, x));
            return fail(PyError::type_error(fmt::format("type {} doesn't define __round__ method", tn)));
        }
        if (ndigits_value) return call_value(ctx, *method, std::span<const Value>(&*ndigits_value, 1));
        return call_value(ctx, *method, {});
    }
    TRY_ASSIGN(real, native_expect_real(rt, x));
    if (auto* i = std::get_if<std::int64_t>(&real)) return round_integer(ctx, tw::BigInt(*i), ndigits);
    if (auto* b = std::get_if<tw::BigInt>(&real)) return round_integer(ctx, *b, ndigits);
    return round_float(ctx, std::get<double>(real), ndigits);
}

constexpr NativeFunction kBuiltinsRows[] = {
    {"builtins", "__import__", builtin_import}, {"builtins", "ascii", builtin_ascii},
    {"builtins", "id", builtin_id},             {"builtins", "map", builtin_map},
    {"builtins", "filter", builtin_filter},     {"builtins", "reversed", builtin_reversed},
    {"builtins", "getattr", builtin_getattr},   {"builtins", "hasattr", builtin_hasattr},
    {"builtins", "round", builtin_round},
};

}  // namespace

const NativeFunction* builtins_native_row(std::string_view name) {
    for (const NativeFunction& row : kBuiltinsRows)
        if (row.name == name) return &row;
    return nullptr;
}

std::optional<Value> builtin_native_function(std::string_view name) {
    const NativeFunction* row = builtins_native_row(name);
    if (!row) return std::nullopt;
    return intern_static_definition(StaticDefinition::of_native_function(row));
}

}  // namespace tw::py::vm
