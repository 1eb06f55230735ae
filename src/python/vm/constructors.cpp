// The constructors of the builtin types: what `int(...)`, `float(...)`, `complex(...)`,
// `dict(...)`, `bytes(...)`, `range(...)` and the others make when a builtin type is called.
#include <fmt/format.h>

#include <cmath>

#include "base/bigint.h"
#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/number/int_text.h"
#include "python/number/parse.h"
#include "python/number/values.h"
#include "python/objects/truth.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/types/number_slots.h"
#include "python/vm/attributes.h"
#include "python/vm/call.h"
#include "python/vm/classes.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/namespace.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

PyError arity_error(std::uint64_t lo, std::uint64_t hi, std::uint64_t n) {
    return PyError::unsupported(fmt::format("expected {}..={} arguments, got {}", lo, hi, n));
}
PyStatus check_arity(std::size_t n, std::uint64_t lo, std::uint64_t hi) {
    if (n < lo || n > hi) return fail(arity_error(lo, hi, n));
    return {};
}

bool is_complex(const Heap& heap, Value v) {
    const HeapSlot* s = heap.get_if_object(v);
    return s && s->kind() == HeapObjectKind::Complex;
}

NumberEnv env_of(RuntimeContext& ctx) { return NumberEnv{ctx.heap, ctx.machine.meter, ctx.roots}; }

// A conversion method of the value's class (`__int__`, `__index__`, `__float__`, `__bytes__`):
// its result, or none when the class has none.
PyResult<std::optional<Value>> call_conversion(RuntimeContext& ctx, Value v, std::string_view name) {
    TRY_ASSIGN(cls, instance_class_value(ctx.heap, interp(ctx).types, v));
    if (!cls) return std::optional<Value>();
    TRY_ASSIGN(hit, py_mro_lookup(ctx, *cls, ctx.heap.symbols.lookup(name)));
    if (!hit) return std::optional<Value>();
    TRY_ASSIGN(bound, py_descriptor_get(ctx, hit->value, v, *cls, hit->owner));
    TRY_ASSIGN(r, call_value(ctx, bound, {}));
    ctx.heap.push_root(r);
    return std::optional(r);
}

bool is_integer(const Heap& heap, Value v) {
    NumericView view = py_numeric_view(heap, v);
    return view.kind == NumericView::Small || view.kind == NumericView::Big || view.kind == NumericView::U64;
}

// The integer of a value through `__index__`.
PyResult<Value> index_value(RuntimeContext& ctx, Value v) {
    if (v.is_bool()) return Value::from_int(v.as_bool() ? 1 : 0);
    if (is_integer(ctx.heap, v)) return v;
    TRY_ASSIGN(r, call_conversion(ctx, v, "__index__"));
    if (r && is_integer(ctx.heap, *r) && !r->is_bool()) return *r;
    if (r) {
        TRY_ASSIGN(tn, type_name(ctx, *r));
        return fail(PyError::type_error(fmt::format("__index__ returned non-int (type {})", tn)));
    }
    TRY_ASSIGN(tn, type_name(ctx, v));
    return fail(PyError::type_error(fmt::format("'{}' object cannot be interpreted as an integer", tn)));
}

PyResult<std::int64_t> index_i64(RuntimeContext& ctx, Value v) {
    TRY_ASSIGN(i, index_value(ctx, v));
    if (i.is_int()) return i.as_int();
    return fail(PyError::overflow_error("Python int too large to convert to C ssize_t"));
}

PyResult<Value> int_from_text(RuntimeContext& ctx, std::string_view text, std::int64_t base) {
    TRY_DO(python_charge_work(ctx.machine.meter, text.size()));
    TRY_ASSIGN(z, py_int_parse(text, base));
    return new_int_value(env_of(ctx), z);
}

PyResult<Value> construct_int(RuntimeContext& ctx, const std::vector<Value>& args) {
    Heap& heap = ctx.heap;
    TRY_DO(check_arity(args.size(), 0, 2));
    if (args.empty()) return Value::from_int(0);
    Value v = args[0];
    if (args.size() == 2) {
        if (!args[1].is_int() && !args[1].is_bool()) return fail(PyError::type_error("int() base must be an integer"));
        TRY_ASSIGN(text, value_to_owned_string(heap, v));
        if (!text) return fail(PyError::type_error("int() can't convert non-string with explicit base"));
        return int_from_text(ctx, *text, args[1].as_int());
    }
    if (v.is_bool()) return Value::from_int(v.as_bool() ? 1 : 0);
    if (is_integer(heap, v) && !heap.get_if_object(v)) return v;
    if (const HeapSlot* s = heap.get_if_object(v); s && s->kind() == HeapObjectKind::BigInt) {
        auto z = value_to_bigint(heap, v);
        if (z) return new_int_value(env_of(ctx), *z);
    }
    TRY_ASSIGN(text, value_to_owned_string(heap, v));
    if (text) return int_from_text(ctx, *text, 10);
    for (std::string_view method : {"__int__", "__index__"}) {
        TRY_ASSIGN(r, call_conversion(ctx, v, method));
        if (!r) continue;
        if (!is_integer(heap, *r)) {
            TRY_ASSIGN(tn, type_name(ctx, *r));
            return fail(PyError::type_error(fmt::format("{} returned non-int (type {})", method, tn)));
        }
        if (r->is_bool()) return Value::from_int(r->as_bool() ? 1 : 0);
        return *r;
    }
    NumericView view = py_numeric_view(heap, v);
    if (view.kind == NumericView::Float) {
        double d = view.real;
        if (std::isnan(d)) return fail(PyError::value_error("cannot convert float NaN to integer"));
        if (std::isinf(d)) return fail(PyError::overflow_error("cannot convert float infinity to integer"));
        tw::BigInt z;
        mpz_set_d(z.raw(), d);
        return new_int_value(env_of(ctx), z);
    }
    if (is_integer(heap, v)) {
        auto z = value_to_bigint(heap, v);
        if (z) return new_int_value(env_of(ctx), *z);
    }
    TRY_ASSIGN(tn, type_name(ctx, v));
    return fail(PyError::type_error(
        fmt::format("int() argument must be a string, a bytes-like object or a real number, not '{}'", tn)));
}

PyResult<Value> construct_float(RuntimeContext& ctx, const std::vector<Value>& args) {
    Heap& heap = ctx.heap;
    TRY_DO(check_arity(args.size(), 0, 1));
    if (args.empty()) return Value::from_float(0.0);
    Value v = args[0];
    TRY_ASSIGN(own, call_conversion(ctx, v, "__float__"));
    if (own) {
        if (py_numeric_view(heap, *own).kind != NumericView::Float) {
            TRY_ASSIGN(vt, type_name(ctx, v));
            TRY_ASSIGN(rt, type_name(ctx, *own));
            return fail(PyError::type_error(fmt::format("{}.__float__ returned non-float (type {})", vt, rt)));
        }
        return Value::from_float(py_numeric_view(heap, *own).real);
    }
    TRY_ASSIGN(idx, call_conversion(ctx, v, "__index__"));
    if (idx) v = *idx;
    NumericView view = py_numeric_view(heap, v);
    if (view.kind == NumericView::Float) return Value::from_float(view.real);
    if (v.is_bool() || view.kind == NumericView::Small) return Value::from_float(double(v.is_bool() ? v.as_bool() : view.small));
    if (view.kind == NumericView::Big || view.kind == NumericView::U64) {
        auto z = value_to_bigint(heap, v);
        double d = z ? mpz_get_d(z->raw()) : double(view.u64);
        if (z && mpz_sizeinbase(z->raw(), 2) > 1024) return fail(PyError::overflow_error("int too large to convert to float"));
        return Value::from_float(d);
    }
    TRY_ASSIGN(text, value_to_owned_string(heap, v));
    if (text) {
        std::optional<double> d;
        if (text->find('_') == std::string::npos) d = py_float_from_text(*text);
        if (!d) return fail(PyError::value_error(fmt::format("could not convert string to float: {}", py_str_repr(*text))));
        return Value::from_float(*d);
    }
    TRY_ASSIGN(tn, type_name(ctx, v));
    return fail(PyError::type_error(fmt::format("float() argument must be a string or a real number, not '{}'", tn)));
}

// complex(text).
PyResult<Value> complex_from_text(RuntimeContext& ctx, std::string_view original) {
    TRY_DO(python_charge_work(ctx.machine.meter, original.size()));
    std::string clean;
    for (std::size_t k = 0; k < original.size(); ++k) {
        const char c = original[k];
        if (c == '_') {
            const bool between = k > 0 && k + 1 < original.size() && ascii_digit_run(original, k - 1) > 0 &&
                                 ascii_digit_run(original, k + 1) > 0;
            if (!between) {
                std::string quoted = "\"";
                for (char ch : original) {
                    if (ch == '"' || ch == '\\') quoted.push_back('\\');
                    quoted.push_back(ch);
                }
                return fail(PyError::value_error(fmt::format("could not convert string to complex: {}\"", quoted)));
            }
            continue;
        }
        clean.push_back(c);
    }
    std::string_view t = clean;
    t.remove_prefix(leading_space(t));
    t.remove_suffix(trailing_space(t));
    if (!t.empty() && t.front() == '(') {
        auto close = t.rfind(')');
        if (close == std::string_view::npos || close != t.size() - 1) return fail(complex_malformed_string_error());
        t = t.substr(1, close - 1);
        t.remove_prefix(leading_space(t));
        t.remove_suffix(trailing_space(t));
    }
    if (t.empty()) return fail(complex_malformed_string_error());
    double re = 0, im = 0;
    std::size_t pos = 0;
    auto is_j = [&](std::size_t p) { return p < t.size() && (t[p] == 'j' || t[p] == 'J'); };
    FloatPrefix first = py_float_parse(t, 0);
    if (first.found) {
        pos = first.end;
        if (pos == t.size()) {
            re = first.value;
        } else if (is_j(pos)) {
            im = first.value;
            ++pos;
        } else if (t[pos] == '+' || t[pos] == '-') {
            re = first.value;
            FloatPrefix second = py_float_parse(t, pos);
            if (second.found) {
                im = second.value;
                pos = second.end;
            } else {
                im = t[pos] == '-' ? -1.0 : 1.0;
                ++pos;
            }
            if (!is_j(pos)) return fail(complex_malformed_string_error());
            ++pos;
        }
    } else {
        double sign = 1;
        if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) sign = t[pos++] == '-' ? -1 : 1;
        if (!is_j(pos)) return fail(complex_malformed_string_error());
        im = sign;
        ++pos;
    }
    if (pos != t.size()) return fail(complex_malformed_string_error());
    return new_complex_value(env_of(ctx), re, im);
}

PyResult<Value> construct_complex(RuntimeContext& ctx, const NativeCall& call) {
    Heap& heap = ctx.heap;
    if (call.positional.size() > 2)
        return fail(PyError::type_error(fmt::format("complex() expected 0..=2 positional arguments, got {}", call.positional.size())));
    std::optional<Value> real, imag;
    if (!call.positional.empty()) real = call.positional[0];
    if (call.positional.size() > 1) imag = call.positional[1];
    for (const auto& [k, v] : call.keywords) {
        if (k != "real" && k != "imag")
            return fail(PyError::type_error(fmt::format("complex() got an unexpected keyword argument '{}'", k)));
        std::optional<Value>& slot = k == "real" ? real : imag;
        if (slot) return fail(PyError::type_error(fmt::format("argument for complex() given by name ('{}') and position", k)));
        slot = v;
    }
    if (real) {
        TRY_ASSIGN(text, value_to_owned_string(heap, *real));
        if (text) {
            if (imag) return fail(PyError::type_error("complex() argument 'real' must be a real number, not str"));
            return complex_from_text(ctx, *text);
        }
    }
    EngineRuntime rt(ctx);
    // A number's parts, or the TypeError `message` naming the value's type.
    auto parts_of = [&](std::optional<Value> v, std::string_view message) -> PyResult<ComplexParts> {
        if (!v) return ComplexParts{0, 0, 0};
        TRY_ASSIGN(p, py_number_from_dunder(rt, *v));
        if (p.kind != 2) return p;
        TRY_ASSIGN(tn, type_name(ctx, *v));
        return fail(PyError::type_error(fmt::format("{}{}", message, tn)));
    };
    TRY_ASSIGN(r, parts_of(real, "complex() argument must be a string or a number, not "));
    TRY_ASSIGN(i, parts_of(imag, "complex() argument 'imag' must be a real number, not "));
    if (real && !imag) {
        const HeapSlot* s = heap.get_if_object(*real);
        if (s && s->kind() == HeapObjectKind::Complex && s->type_id == type_id(BuiltinType::Complex)) return *real;
    }
    double re = r.real - (i.kind == 1 ? i.imag : 0.0);
    double im = r.kind == 1 ? r.imag + i.real : i.real;
    if (r.kind != 1 && !imag) im = 0.0;
    return new_complex_value(env_of(ctx), re, im);
}

PyResult<Value> construct_bytes(RuntimeContext& ctx, const std::vector<Value>& args, bool bytearray) {
    Heap& heap = ctx.heap;
    TRY_DO(check_arity(args.size(), 0, 2));
    auto make = [&](std::string bytes) -> PyResult<Value> {
        if (bytearray) return heap.allocate_object(ByteArrayPayload{std::move(bytes)}, ctx.roots, ctx.machine.meter);
        return heap.allocate_object(BytesPayload{std::move(bytes)}, ctx.roots, ctx.machine.meter);
    };
    if (args.empty()) return make({});
    if (args.size() == 2) {
        TRY_ASSIGN(text, value_to_owned_string(heap, args[0]));
        if (!text) return fail(PyError::unsupported("encoding without a string argument"));
        TRY_ASSIGN(encoding, value_to_owned_string(heap, args[1]));
        if (!encoding) return fail(PyError::unsupported("bytes() encoding must be a string"));
        std::string lower = *encoding;
        for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (lower != "utf-8" && lower != "utf8") return fail(PyError::unsupported("only UTF-8 encoding is supported"));
        return make(*text);
    }
    Value v = args[0];
    if (const HeapSlot* s = heap.get_if_object(v)) {
        if (auto* b = std::get_if<BytesPayload>(&s->object)) return make(b->bytes);
        if (auto* b = std::get_if<ByteArrayPayload>(&s->object)) return make(b->bytes);
    }
    if (v.is_int() || v.is_bool() || (is_integer(heap, v) && heap.get_if_object(v))) {
        TRY_ASSIGN(n, index_i64(ctx, v));
        if (n < 0) return fail(PyError::value_error("negative count"));
        TRY_DO(heap.reserve_memory(std::uint64_t(n), nullptr, ctx.roots, ctx.machine.meter));
        heap.record_native_charge(std::uint64_t(n));
        return make(std::string(std::size_t(n), '\0'));
    }
    if (!bytearray) {
        TRY_ASSIGN(converted, call_conversion(ctx, v, "__bytes__"));
        if (converted) {
            const HeapSlot* s = heap.get_if_object(*converted);
            if (auto* b = s ? std::get_if<BytesPayload>(&s->object) : nullptr) return make(b->bytes);
            if (auto* b = s ? std::get_if<ByteArrayPayload>(&s->object) : nullptr) return make(b->bytes);
            TRY_ASSIGN(tn, type_name(ctx, *converted));
            return fail(PyError::type_error(fmt::format("__bytes__ returned non-bytes (type {})", tn)));
        }
    }
    TRY_ASSIGN(items, collect_iterable(ctx, v));
    std::string out;
    for (const Value& item : items) {
        if (!is_integer(heap, item)) {
            TRY_ASSIGN(tn, type_name(ctx, item));
            return fail(PyError::type_error(fmt::format("'{}' object cannot be interpreted as an integer", tn)));
        }
        if (!item.is_int() && !item.is_bool()) return fail(PyError::value_error("bytes must be in range(0, 256)"));
        std::int64_t b = item.as_int();
        if (b < 0 || b > 255) return fail(PyError::value_error("bytes must be in range(0, 256)"));
        out.push_back(char(b));
    }
    return make(std::move(out));
}

PyResult<Value> construct_dict(RuntimeContext& ctx, const NativeCall& call) {
    Heap& heap = ctx.heap;
    if (call.positional.size() > 1)
        return fail(PyError::type_error(fmt::format("dict expected at most 1 argument, got {}", call.positional.size())));
    TRY_ASSIGN(d, new_dict(ctx, {}));
    heap.push_root(d);
    std::vector<std::pair<Value, Value>> pairs;
    if (!call.positional.empty()) {
        Value src = call.positional[0];
        const HeapSlot* s = heap.get_if_object(src);
        if (const DictTable* t = s ? dict_table_of(const_cast<HeapObject&>(s->object)) : nullptr) {
            t->for_each_live([&](const DictSlot& e) { pairs.emplace_back(e.key, e.value); });
        } else {
            TRY_ASSIGN(keys_method, py_getattr_by_name(ctx, src, "keys"));
            if (keys_method && !is_integer(heap, src)) {
                TRY_ASSIGN(keys, call_value(ctx, *keys_method, {}));
                heap.push_root(keys);
                TRY_ASSIGN(all, collect_iterable(ctx, keys));
                for (const Value& k : all) {
                    TRY_ASSIGN(v, subscript(ctx, src, k));
                    heap.push_root(v);
                    pairs.emplace_back(k, v);
                }
            } else {
                TRY_ASSIGN(items, collect_iterable(ctx, src));
                for (const Value& item : items) {
                    auto kv = collect_iterable(ctx, item);
                    if (!kv) {
                        const PyError& e = kv.error();
                        const bool type_error = (e.detail() && e.detail()->class_name == "TypeError");
                        if (type_error) return fail(PyError::type_error("object is not iterable"));
                        return fail(std::move(kv.error()));
                    }
                    if (kv->size() != 2)
                        return fail(PyError::value_error(fmt::format(
                            "dictionary update sequence element #{} has length {}; 2 is required", pairs.size(), kv->size())));
                    pairs.emplace_back((*kv)[0], (*kv)[1]);
                }
            }
        }
    }
    for (const auto& [k, v] : pairs) {
        TRY_DO(python_charge_work(ctx.machine.meter, 1));
        TRY_DO(dict_store(ctx, d, k, v));
    }
    for (const auto& [k, v] : call.keywords) {
        TRY_ASSIGN(key, make_str(ctx, k));
        TRY_DO(dict_store(ctx, d, key, v));
    }
    return d;
}

PyResult<Value> construct_range(RuntimeContext& ctx, const std::vector<Value>& args) {
    if (args.empty() || args.size() > 3)
        return fail(PyError::type_error(fmt::format("range expected at {}, got {}",
                                                    args.empty() ? "least 1 argument" : "most 3 arguments", args.size())));
    std::int64_t parts[3] = {0, 0, 1};
    std::vector<std::int64_t> given;
    for (const Value& a : args) {
        TRY_ASSIGN(i, index_i64(ctx, a));
        given.push_back(i);
    }
    if (given.size() == 1) {
        parts[1] = given[0];
    } else {
        parts[0] = given[0], parts[1] = given[1];
        if (given.size() == 3) parts[2] = given[2];
    }
    if (parts[2] == 0) return fail(PyError::value_error("range() arg 3 must not be zero"));
    return ctx.heap.allocate_object(RangePayload{parts[0], parts[1], parts[2]}, ctx.roots, ctx.machine.meter);
}

PyResult<Value> construct(RuntimeContext& ctx, TypeId type, NativeCall call) {
    Heap& heap = ctx.heap;
    const std::string_view name = builtin_type_name(type);
    const BuiltinType t = BuiltinType(type);
    if (t == BuiltinType::Int) {
        for (std::size_t i = 0; i < call.keywords.size(); ++i)
            if (call.keywords[i].first == "base") {
                if (call.positional.size() != 1) return fail(PyError::type_error("int() missing string argument"));
                call.positional.push_back(call.keywords[i].second);
                call.keywords.erase(call.keywords.begin() + std::ptrdiff_t(i));
                break;
            }
    }
    if (t != BuiltinType::Dict && t != BuiltinType::Complex && !call.keywords.empty())
        return fail(PyError::unsupported(fmt::format("{}() does not accept keyword arguments in this slice", name)));
    if ((t == BuiltinType::Int || t == BuiltinType::Float) && !call.positional.empty() && is_complex(heap, call.positional[0]))
        return fail(PyError::type_error(t == BuiltinType::Int
                                            ? "int() argument must be a string, a bytes-like object or a real number, not 'complex'"
                                            : "float() argument must be a string or a real number, not 'complex'"));
    const std::vector<Value>& args = call.positional;
    switch (t) {
        case BuiltinType::Object:
            TRY_DO(check_arity(args.size(), 0, 0));
            return heap.insert_object(type_id(BuiltinType::Object), ObjectPayload{}, ctx.roots, ctx.machine.meter);
        case BuiltinType::Type: {
            if (args.size() == 1) return type_of(ctx, args[0]);
            if (args.size() != 3) return fail(PyError::unsupported("type() expects one or three arguments"));
            TRY_ASSIGN(text, value_to_owned_string(heap, args[0]));
            if (!text) return fail(PyError::unsupported("type name must be a string"));
            Value meta = intern_static_definition(StaticDefinition::of_builtin_type(type_id(BuiltinType::Type)));
            return type_new_class(ctx, meta, args[0], args[1], args[2]);
        }
        case BuiltinType::None: TRY_DO(check_arity(args.size(), 0, 0)); return Value::none();
        case BuiltinType::Ellipsis:
            TRY_DO(check_arity(args.size(), 0, 0));
            return intern_static_definition(StaticDefinition::of(DefinitionTag::Ellipsis));
        case BuiltinType::NotImplemented:
            TRY_DO(check_arity(args.size(), 0, 0));
            return intern_static_definition(StaticDefinition::of(DefinitionTag::NotImplemented));
        case BuiltinType::Bool: {
            TRY_DO(check_arity(args.size(), 0, 1));
            if (args.empty()) return Value::from_bool(false);
            TRY_ASSIGN(b, truth(ctx, args[0]));
            return Value::from_bool(b);
        }
        case BuiltinType::Int: return construct_int(ctx, args);
        case BuiltinType::Float: return construct_float(ctx, args);
        case BuiltinType::Complex: return construct_complex(ctx, call);
        case BuiltinType::String: {
            TRY_DO(check_arity(args.size(), 0, 1));
            if (args.empty()) return make_str(ctx, "");
            if (args[0].is_int()) {  // str(i): the digits straight into an inline str when they fit
                const IntDecimal d = int_decimal_digits(args[0].as_int());
                if (Value inline_text = Value::try_inline_str(d.view()); inline_text.is_present()) return inline_text;
                return make_str(ctx, std::string(d.view()));
            }
            TRY_ASSIGN(text, str_text(ctx, args[0]));
            return make_str(ctx, std::move(text));
        }
        case BuiltinType::Bytes: return construct_bytes(ctx, args, false);
        case BuiltinType::ByteArray: return construct_bytes(ctx, args, true);
        case BuiltinType::List:
        case BuiltinType::Tuple:
        case BuiltinType::Set:
        case BuiltinType::FrozenSet: {
            TRY_DO(check_arity(args.size(), 0, 1));
            std::vector<Value> items;
            if (!args.empty()) {
                TRY_ASSIGN(all, collect_iterable(ctx, args[0]));
                items = std::move(all);
            }
            if (t == BuiltinType::List) return new_list(ctx, std::move(items));
            if (t == BuiltinType::Tuple) return new_tuple(ctx, std::move(items));
            return new_set(ctx, items, t == BuiltinType::FrozenSet);
        }
        case BuiltinType::Dict: return construct_dict(ctx, call);
        case BuiltinType::Range: return construct_range(ctx, args);
        case BuiltinType::Slice: {
            if (args.empty()) return fail(PyError::type_error("slice expected at least 1 argument, got 0"));
            if (args.size() > 3)
                return fail(PyError::type_error(fmt::format("slice expected at most 3 arguments, got {}", args.size())));
            Value p[3] = {Value::none(), Value::none(), Value::none()};
            if (args.size() == 1) p[1] = args[0];
            else for (std::size_t i = 0; i < args.size(); ++i) p[i] = args[i];
            return heap.allocate_object(SlicePayload{p[0], p[1], p[2]}, ctx.roots, ctx.machine.meter);
        }
        case BuiltinType::Property: {
            TRY_DO(check_arity(args.size(), 0, 2));
            Value fget = args.size() > 0 ? args[0] : Value::none();
            Value fset = args.size() > 1 && !args[1].is_none() ? args[1] : Value::absent();
            return heap.allocate_object(PropertyPayload{fget, fset}, ctx.roots, ctx.machine.meter);
        }
        case BuiltinType::StaticMethod:
            TRY_DO(check_arity(args.size(), 1, 1));
            return heap.allocate_object(StaticMethodPayload{args[0]}, ctx.roots, ctx.machine.meter);
        case BuiltinType::ClassMethod:
            TRY_DO(check_arity(args.size(), 1, 1));
            return heap.allocate_object(ClassMethodPayload{args[0]}, ctx.roots, ctx.machine.meter);
        case BuiltinType::Module: {
            TRY_DO(check_arity(args.size(), 1, 2));
            TRY_ASSIGN(text, value_to_owned_string(heap, args[0]));
            if (!text) return fail(PyError::type_error("module name must be a string"));
            std::vector<std::pair<std::string, Value>> attrs{{"__doc__", args.size() > 1 ? args[1] : Value::none()}};
            TRY_ASSIGN(m, new_module_object(interp(ctx), ctx.machine.meter, *text, attrs));
            return m.module;
        }
        default: break;
    }
    return fail(PyError::unsupported(fmt::format("cannot create '{}' instances", name)));
}

}  // namespace

PyResult<StepOutcome> py_builtin_constructor(RuntimeContext& ctx, TypeId type, NativeCall call) {
    if (type >= kBuiltinTypeCount) return fail(PyError::unsupported("invalid type reference"));
    for (const Value& v : call.positional) ctx.heap.push_root(v);
    for (const auto& kv : call.keywords) ctx.heap.push_root(kv.second);
    TRY_ASSIGN(v, construct(ctx, type, std::move(call)));
    ctx.exec.values.push_back(v);
    return StepOutcome::of(StepOutcome::Next);
}

PyResult<Value> construct_builtin_type(RuntimeContext& ctx, TypeId type, NativeCall call) {
    return py_call_builtin_type(ctx, type, std::move(call));
}

}  // namespace tw::py::vm
