// The builtin function table, the constructors of the builtin types and the native methods of
// the builtin containers and strings that the engine provides.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <mutex>

#include "base/panic.h"
#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/objects/float_text.h"
#include "python/objects/truth.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/types/mapping_types.h"
#include "python/vm/builtins_io.h"
#include "python/vm/native_runtime.h"
#include "python/vm/engine.h"
#include "python/vm/try.h"
#include "python/vm/exceptions.h"
#include "python/vm/comparison.h"
#include "python/vm/generators.h"
#include "python/vm/builtin_functions.h"
#include "python/vm/sequences.h"

namespace tw::py::vm {

namespace {


PyError arity(std::uint64_t lo, std::uint64_t hi, std::uint64_t n) {
    return PyError::unsupported(fmt::format("expected {}..={} arguments, got {}", lo, hi, n));
}
PyStatus check_arity(const NativeCall& c, std::uint64_t lo, std::uint64_t hi) {
    if (c.positional.size() < lo || c.positional.size() > hi) return fail(arity(lo, hi, c.positional.size()));
    return {};
}
RuntimeContext& ctx_of(NativeRuntime& rt) { return rt.context(); }

std::optional<std::string_view> text_of(const Heap& heap, const Value& v) {
    auto s = str_view(heap, v);
    if (!s || !*s) return std::nullopt;
    return **s;
}


PyResult<Value> str_join(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = ctx_of(rt);
    TRY_DO(check_arity(c, 1, 1));
    std::string sep(*text_of(ctx.heap, self));
    TRY_ASSIGN(items, collect_iterable(ctx, c.positional[0]));
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        auto t = text_of(ctx.heap, items[i]);
        if (!t) {
            TRY_ASSIGN(tn, type_name(ctx, items[i]));
            return fail(PyError::type_error(fmt::format("sequence item {}: expected str instance, {} found", i, tn)));
        }
        if (i) out += sep;
        out += *t;
    }
    TRY_DO(python_charge_work(ctx.machine.meter, out.size() / 64 + 1));
    return make_str(ctx, std::move(out));
}

// str.join takes any iterable through the engine's iteration; the other str methods are the
// string library's rows in the type's namespace.
constexpr NativeFunction kStrMethods[] = {{"str", "join", nullptr, str_join}};

struct MethodTable {
    TypeId type;
    std::span<const NativeFunction> rows;
};
const MethodTable kMethodTables[] = {
    {type_id(BuiltinType::List), list_native_class().functions},
    {type_id(BuiltinType::Tuple), tuple_native_class().functions},
    {type_id(BuiltinType::String), kStrMethods},
    {type_id(BuiltinType::Generator), kGeneratorMethods},
};

}  // namespace

std::optional<Value> builtin_method(TypeId type, std::string_view name) {
    // The handles are interned once: interning takes the shared registry's lock.
    static const std::vector<std::vector<Value>> handles = [] {
        std::vector<std::vector<Value>> all;
        for (const MethodTable& t : kMethodTables) {
            std::vector<Value> row_handles;
            for (const NativeFunction& row : t.rows)
                row_handles.push_back(intern_static_definition(StaticDefinition::of_native_method(&row)));
            all.push_back(std::move(row_handles));
        }
        return all;
    }();
    for (std::size_t i = 0; i < std::size(kMethodTables); ++i) {
        const MethodTable& t = kMethodTables[i];
        if (t.type != type) continue;
        for (std::size_t j = 0; j < t.rows.size(); ++j)
            if (t.rows[j].name == name) return handles[i][j];
    }
    return std::nullopt;
}

PyResult<std::string> format_with_spec(RuntimeContext& ctx, Value v, std::string_view spec) {
    // [[fill]align][sign][#][0][width][,|_][.precision][type]
    char fill = ' ', align = 0, sign = '-', type = 0, grouping = 0;
    bool alternate = false;
    std::size_t i = 0, width = 0;
    std::optional<std::size_t> precision;
    auto is_align = [](char c) { return c == '<' || c == '>' || c == '^' || c == '='; };
    if (spec.size() >= 2 && is_align(spec[1])) fill = spec[0], align = spec[1], i = 2;
    else if (!spec.empty() && is_align(spec[0])) align = spec[0], i = 1;
    if (i < spec.size() && (spec[i] == '+' || spec[i] == '-' || spec[i] == ' ')) sign = spec[i++];
    if (i < spec.size() && spec[i] == '#') alternate = true, ++i;
    if (i < spec.size() && spec[i] == '0') {
        if (!align) fill = '0', align = '=';
        ++i;
    }
    while (i < spec.size() && std::isdigit(static_cast<unsigned char>(spec[i]))) width = width * 10 + (spec[i++] - '0');
    if (i < spec.size() && (spec[i] == ',' || spec[i] == '_')) grouping = spec[i++];
    if (i < spec.size() && spec[i] == '.') {
        ++i;
        std::size_t p = 0;
        while (i < spec.size() && std::isdigit(static_cast<unsigned char>(spec[i]))) p = p * 10 + (spec[i++] - '0');
        precision = p;
    }
    if (i < spec.size()) type = spec[i++];
    if (i != spec.size()) return fail(PyError::value_error("Invalid format specifier"));
    (void)alternate;
    Heap& heap = ctx.heap;
    std::string body, sign_text;
    bool numeric = false;
    if (auto s = text_of(heap, v)) {
        if (type && type != 's') return fail(PyError::value_error(fmt::format("Unknown format code '{}' for object of type 'str'", type)));
        body = *s;
        if (precision && body.size() > *precision) body.resize(*precision);
        if (!align) align = '<';
    } else if ((v.is_int() || v.is_bool()) && type != 'f' && type != 'e' && type != '%' && type != 'g') {
        numeric = true;
        std::int64_t x = v.as_int();
        std::uint64_t mag = x < 0 ? std::uint64_t(0) - std::uint64_t(x) : std::uint64_t(x);
        switch (type) {
            case 'x': body = fmt::format("{:x}", mag); break;
            case 'X': body = fmt::format("{:X}", mag); break;
            case 'o': body = fmt::format("{:o}", mag); break;
            case 'b': body = fmt::format("{:b}", mag); break;
            case 0:
            case 'd':
            case 'n': body = fmt::format("{}", mag); break;
            case 'c': body = std::string(1, char(mag)); break;
            default: return fail(PyError::value_error(fmt::format("Unknown format code '{}' for object of type 'int'", type)));
        }
        if (grouping) {
            std::string g;
            for (std::size_t k = 0; k < body.size(); ++k) {
                if (k && (body.size() - k) % 3 == 0) g.push_back(grouping);
                g.push_back(body[k]);
            }
            body = std::move(g);
        }
        sign_text = x < 0 ? "-" : sign == '+' ? "+" : sign == ' ' ? " " : "";
    } else if (v.is_float() || v.is_int() || v.is_bool()) {
        numeric = true;
        double d = v.is_float() ? v.as_float() : double(v.as_int());
        bool neg = std::signbit(d) && !std::isnan(d);
        double mag = std::fabs(d);
        std::size_t p = precision.value_or(6);
        switch (type) {
            case 'f': case 'F': body = fmt::format("{:.{}f}", mag, p); break;
            case 'e': case 'E': body = fmt::format("{:.{}e}", mag, p); break;
            case '%': body = fmt::format("{:.{}f}%", mag * 100, p); break;
            case 'g': case 'G': body = fmt::format("{:.{}g}", mag, p == 0 ? 1 : p); break;
            case 0:
                body = precision ? fmt::format("{:.{}g}", mag, p == 0 ? 1 : p) : py_float_repr(mag);
                break;
            default: return fail(PyError::value_error(fmt::format("Unknown format code '{}' for object of type 'float'", type)));
        }
        if (std::isinf(mag)) body = "inf";
        if (std::isnan(mag)) body = "nan";
        if (grouping) {
            std::size_t dot = body.find_first_of(".e%");
            std::string intpart = body.substr(0, dot), rest = dot == std::string::npos ? "" : body.substr(dot);
            std::string g;
            for (std::size_t k = 0; k < intpart.size(); ++k) {
                if (k && (intpart.size() - k) % 3 == 0) g.push_back(grouping);
                g.push_back(intpart[k]);
            }
            body = g + rest;
        }
        sign_text = neg ? "-" : sign == '+' ? "+" : sign == ' ' ? " " : "";
    } else {
        TRY_ASSIGN(t, str_text(ctx, v));
        body = std::move(t);
        if (!align) align = '<';
    }
    if (!align) align = numeric ? '>' : '<';
    std::size_t len = 0;
    for (unsigned char ch : sign_text + body) len += (ch & 0xC0) != 0x80;
    if (len >= width) return sign_text + body;
    std::size_t pad = width - len;
    std::string f(1, fill);
    auto rep = [&](std::size_t n) {
        std::string s;
        for (std::size_t k = 0; k < n; ++k) s += f;
        return s;
    };
    switch (align) {
        case '<': return sign_text + body + rep(pad);
        case '^': return rep(pad / 2) + sign_text + body + rep(pad - pad / 2);
        case '=': return sign_text + rep(pad) + body;
        default: return rep(pad) + sign_text + body;
    }
}

PyResult<StepOutcome> call_builtin_function(RuntimeContext& ctx, std::uint32_t id, NativeCall call, CallMode mode) {
    static constexpr std::uint32_t kTakesKeywords[] = {0, 11, 17, 18, 19};
    if (!call.keywords.empty() && std::find(std::begin(kTakesKeywords), std::end(kTakesKeywords), id) == std::end(kTakesKeywords))
        return fail(PyError::unsupported("this builtin does not accept keyword arguments"));
    ExecState& st = ctx.exec;
    const auto& a = call.positional;
    auto push = [&](PyResult<Value> r) -> PyResult<StepOutcome> {
        if (!r) return fail(std::move(r.error()));
        st.values.push_back(*r);
        return StepOutcome::of(StepOutcome::Next);
    };
    if (auto r = call_value_builtin(ctx, id, call)) return push(std::move(*r));
    switch (id) {
        case 0: return push(builtin_print(ctx, call));
        case 1: {
            TRY_DO(check_arity(call, 0, 1));
            if (!a.empty()) {
                TRY_ASSIGN(prompt, str_text(ctx, a[0]));
                TRY_DO(write_stdout(ctx, prompt));
            }
            bool saved = st.suspension_allowed;
            auto r = read_input_line(ctx);
            st.suspension_allowed = saved;
            if (!r && r.error().kind() == ErrorKindTag::Suspend) {
                if (mode != CallMode::Frame || !ctx.dispatched || st.synchronous_depth != 0)
                    return fail(PyError::unsupported("waiting for input inside a synchronous call"));
                ParkedCall parked;
                parked.kind = ParkedCall::Kind::InputLine;
                parked.wait = std::shared_ptr<const WaitReason>(std::move(r.error().take_detail()->wait));
                const Frame& f = st.frames.back();
                if (f.ip > 0) parked.position = f.code->positions.at(f.ip - 1);
                st.parked_call = Box<ParkedCall>::make(std::move(parked));
                return StepOutcome::of(StepOutcome::Blocked);
            }
            return push(std::move(r));
        }
        case 2: case 3: {
            const CodeRunner run = [](RuntimeContext& c, std::shared_ptr<const CodeObject> code, const FrameDescriptor& d) {
                return run_code_synchronously(c, std::move(code), d);
            };
            return id == 2 ? builtin_exec(ctx, call, run) : builtin_eval(ctx, call, run);
        }
        case 4: return fail(builtin_exit(ctx, call));
        default: break;
    }
    return fail(PyError::unsupported(fmt::format("builtin {} is not implemented", builtin_function_name(std::uint8_t(id)))));
}

}  // namespace tw::py::vm
