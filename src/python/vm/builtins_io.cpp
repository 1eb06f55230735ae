#include "python/vm/builtins_io.h"

#include <cmath>

#include <fmt/format.h>

#include "kernel/machine.h"
#include "python/vm/protocol_support.h"
#include "python/compiler/compiler.h"
#include "python/front/definitions.h"
#include "python/front/lexer.h"
#include "python/front/parser.h"
#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/vm/attributes.h"
#include "python/vm/native_runtime.h"
#include "python/vm/compile.h"
#include "python/vm/namespace.h"
#include "python/vm/protocols.h"
#include "python/vm/runtime_context.h"

namespace tw::py {

using protocol::charge_native;
using protocol::meter_of;
using protocol::types_of;

namespace {


constexpr std::uint64_t kSourceByteBytes = 64;
constexpr std::uint64_t kTokenBytes = 192;
constexpr std::size_t kMaxExecFrames = 256;


PyError arity_error(std::size_t lo, std::size_t hi, std::size_t got) {
    return PyError::unsupported(fmt::format("expected {}..={} arguments, got {}", lo, hi, got));
}

std::optional<int> stream_number(Value v) {
    if (!v.is_native()) return std::nullopt;
    auto d = decode_native_handle(v);
    if (!d || d->tag != DefinitionTag::Stream) return std::nullopt;
    return int(d->number);
}

// The message of an error of the executed source, with its position inside that source.
PyError with_source_position(PyError e, std::string_view builtin, const SourceSpan& at) {
    ErrorDetail* d = e.detail();
    if (d && (d->kind == ErrorKindTag::Unsupported || d->kind == ErrorKindTag::Resource ||
              d->kind == ErrorKindTag::Exit || d->kind == ErrorKindTag::Suspend))
        d->message += fmt::format(" in {} source at line {}, column {}", builtin, at.line, at.column);
    return e;
}

PyResult<StepOutcome> run_source(RuntimeContext& ctx, std::string_view builtin, CodeObjectPtr code,
                                 const CodeRunner& run) {
    TRY_ASSIGN(d, exec_default_namespaces(ctx));
    SliceResult r = run(ctx, std::move(code), d);
    if (!r) return fail(with_source_position(std::move(r.error().error), builtin, r.error().position));
    return *r;
}

}  // namespace

PyResult<Value> builtin_print(RuntimeContext& ctx, const NativeCall& call) {
    std::string sep = " ", end = "\n";
    std::optional<Value> file;
    bool flush = false;
    for (const auto& [name, value] : call.keywords) {
        if (name == "sep" || name == "end") {
            const bool is_sep = name == "sep";
            std::optional<std::string> text;
            if (!value.is_none()) {
                TRY_ASSIGN(given, value_to_owned_string(ctx.heap, value));
                if (!given) return fail(PyError::unsupported(fmt::format("{} must be None or a string", name)));
                text = std::move(given);
            }
            // None keeps the default.
            (is_sep ? sep : end) = text ? std::move(*text) : std::string(1, is_sep ? ' ' : '\n');
        } else if (name == "file") {
            if (value.is_none()) file.reset();
            else file = value;
        } else if (name == "flush") {
            TRY_ASSIGN(t, py_is_true(ctx, value));
            flush = t;
        } else {
            std::string quoted = "\"";
            for (char c : name) {
                if (c == '"' || c == '\\') quoted += '\\';
                quoted += c;
            }
            return fail(PyError::unsupported(fmt::format("print() got an unexpected keyword argument {}\"", quoted)));
        }
    }
    Value target = intern_static_definition(StaticDefinition::of_stream(1));
    if (file) {
        target = *file;
    } else if (auto sys = ctx.heap.find_module("sys")) {
        TRY_ASSIGN(out, py_getattr_by_name(ctx, *sys, "stdout"));
        if (out) target = *out;
    }
    std::string text;
    for (std::size_t i = 0; i < call.positional.size(); ++i) {
        if (i) text += sep;
        TRY_ASSIGN(s, py_str(ctx, call.positional[i]));
        text += s;
    }
    if (auto stream = stream_number(target)) {
        text += end;
        TRY_DO(python_write_stdio(ctx, *stream, text));
        return Value::none();
    }
    TRY_ASSIGN(write, py_getattr_by_name(ctx, target, "write"));
    if (!write) {
        TRY_ASSIGN(tn, py_type_name(ctx.heap, ctx.interpreter->types, target));
        return fail(PyError::type_error(fmt::format("'{}' object has no write method", tn)));
    }
    NativeCallScope scope(ctx);
    RuntimeContext& c = scope.context;
    c.heap.push_root(*write);
    for (std::string* part : {&text, &end}) {
        TRY_ASSIGN(s, new_str(c.heap, *part, c.roots, meter_of(c)));
        Value args[1] = {s};
        TRY_DO(call_value(c, *write, args));
    }
    if (flush) {
        TRY_ASSIGN(f, py_getattr_by_name(c, target, "flush"));
        if (f) TRY_DO(call_value(c, *f, {}));
    }
    return Value::none();
}

PyStatus builtin_input_prompt(RuntimeContext& ctx, const NativeCall& call) {
    if (call.positional.size() > 1) return fail(arity_error(0, 1, call.positional.size()));
    if (call.positional.empty()) return {};
    TRY_ASSIGN(prompt, py_str(ctx, call.positional[0]));
    return python_write_stdio(ctx, 1, prompt);
}

PyResult<ExitRequest> exit_request_for_code(RuntimeContext& ctx, Value code) {
    if (code.is_absent() || code.is_none()) return ExitRequest{0, {}};
    if (code.is_int()) return ExitRequest{std::int32_t(std::uint32_t(std::uint64_t(code.as_int()))), {}};
    if (code.is_bool()) return ExitRequest{code.as_bool() ? 1 : 0, {}};
    if (const HeapSlot* s = ctx.heap.get_if_object(code); s && s->type_id == type_id(BuiltinType::Int))
        if (auto* b = std::get_if<BigIntPayload>(&s->object)) {
            // The low 32 bits of the two's complement, as for a small int.
            mpz_t low;
            mpz_init(low);
            mpz_fdiv_r_2exp(low, b->value->get(), 32);
            auto status = std::int32_t(std::uint32_t(mpz_get_ui(low)));
            mpz_clear(low);
            return ExitRequest{status, {}};
        }
    // Any other code is a message: its str() goes to standard error and the status is 1.
    TRY_ASSIGN(text, py_str(ctx, code));
    return ExitRequest{1, std::move(text)};
}

PyError builtin_exit(RuntimeContext& ctx, const NativeCall& call) {
    if (call.positional.size() > 1) return arity_error(0, 1, call.positional.size());
    auto request = exit_request_for_code(ctx, call.positional.empty() ? Value::none() : call.positional[0]);
    if (!request) return std::move(request.error());
    if (request->message) {
        auto w = python_write_stdio(ctx, 2, *request->message + "\n");
        if (!w) return std::move(w.error());
    }
    return PyError::exit(request->status);
}

PyResult<PyModuleTree> compile_exec_source(RuntimeContext& ctx, std::string_view builtin, Value source) {
    TRY_ASSIGN(text, value_to_owned_string(ctx.heap, source));
    if (!text) return fail(PyError::type_error(fmt::format("{}() arg 1 must be a string, bytes or code object", builtin)));
    std::string_view src = *text;
    if (builtin == "eval") {
        while (!src.empty() && (src.front() == ' ' || src.front() == '\t')) src.remove_prefix(1);
    }
    if (ctx.exec.frames.size() >= kMaxExecFrames)
        return fail(PyError::unsupported(fmt::format("maximum {} depth exceeded", builtin)));
    std::uint64_t bytes;
    if (__builtin_mul_overflow(std::uint64_t(src.size()), kSourceByteBytes, &bytes))
        return fail(PyError::unsupported(fmt::format("{} source is too large", builtin)));
    TRY_DO(python_charge_work(meter_of(ctx), src.size()));
    TRY_DO(charge_native(ctx, bytes));
    auto tokens = py_tokenize(src);
    if (!tokens) return fail(source_error_at_position(tokens.error().message, tokens.error().span.line, tokens.error().span.column));
    std::uint64_t token_bytes;
    if (__builtin_mul_overflow(std::uint64_t(tokens->size()), kTokenBytes, &token_bytes))
        return fail(PyError::unsupported(fmt::format("{} source is too large", builtin)));
    TRY_DO(charge_native(ctx, token_bytes));
    auto tree = py_parse_module(std::move(*tokens));
    if (!tree) return fail(source_error_at_position(tree.error().message, tree.error().span.line, tree.error().span.column));
    return std::move(*tree);
}

PyResult<FrameDescriptor> exec_default_namespaces(RuntimeContext& ctx) {
    ExecState& st = ctx.exec;
    if (st.frames.empty()) return fail(PyError::unsupported("exec and eval require running Python code"));
    const Frame& f = st.frames.back();
    if (!f.fast_locals) return FrameDescriptor{std::nullopt, f.scope, f.globals, Value::absent(), false, false};
    // Local slots are lent as a new namespace of their current values; assignments made by the
    // executed code stay there.
    std::vector<std::pair<Symbol, Value>> entries;
    if (f.code && f.code->local_names) {
        const auto& names = *f.code->local_names;
        for (std::size_t i = 0; i < names.size() && f.locals_base + i < st.locals.size(); ++i)
            if (st.locals[f.locals_base + i].is_present()) entries.emplace_back(names[i], st.locals[f.locals_base + i]);
    }
    std::optional<Value> parent;
    if (f.scope.is_object()) parent = f.scope;
    TRY_ASSIGN(ns, bind_locals(*ctx.interpreter, meter_of(ctx), parent, nullptr, {}, entries));
    ctx.heap.push_root(ns);
    return FrameDescriptor{std::nullopt, ns, f.globals, Value::absent(), false, false};
}

PyResult<StepOutcome> builtin_exec(RuntimeContext& ctx, const NativeCall& call, const CodeRunner& run) {
    if (call.positional.size() != 1) return fail(arity_error(1, 1, call.positional.size()));
    TRY_ASSIGN(tree, compile_exec_source(ctx, "exec", call.positional[0]));
    HeapCodeHost host(ctx.heap, meter_of(ctx));
    CodeObjectPtr code = compile_module(tree, host);
    if (host.first_error) return fail(std::move(*host.first_error));
    TRY_ASSIGN(r, run_source(ctx, "exec", std::move(code), run));
    if (r.kind == StepOutcome::Exit) return r;
    if (r.kind != StepOutcome::Halt && r.kind != StepOutcome::Return)
        return fail(PyError::unsupported("exec source did not finish normally"));
    ctx.exec.values.push_back(Value::none());
    return StepOutcome::of(StepOutcome::Next);
}

PyResult<StepOutcome> builtin_eval(RuntimeContext& ctx, const NativeCall& call, const CodeRunner& run) {
    if (call.positional.size() != 1) return fail(arity_error(1, 1, call.positional.size()));
    TRY_ASSIGN(tree, compile_exec_source(ctx, "eval", call.positional[0]));
    auto body = tree.list(tree.body());
    if (body.size() != 1 || tree.stmt(body[0]).kind() != StmtKind::Expr)
        return fail(PyError::exception("SyntaxError", "invalid syntax"));
    const ExprId expr = std::get<Stmt::Expr>(tree.stmt(body[0]).node).value;
    HeapCodeHost host(ctx.heap, meter_of(ctx));
    CodeObjectPtr code = compile_eval_expression(tree, expr, host);
    if (host.first_error) return fail(std::move(*host.first_error));
    TRY_ASSIGN(r, run_source(ctx, "eval", std::move(code), run));
    if (r.kind == StepOutcome::Exit) return r;
    if (r.kind != StepOutcome::Return) return fail(PyError::unsupported("eval source did not finish normally"));
    ctx.exec.values.push_back(r.value);
    return StepOutcome::of(StepOutcome::Next);
}

}  // namespace tw::py
