// The code builder and the compilation of statements.
#include <algorithm>
#include <fmt/format.h>

#include "base/panic.h"
#include "base/stack.h"
#include "python/compiler/compiler.h"
#include "python/compiler/compiler_internal.h"
#include "python/front/parser.h"

namespace tw::pycompile {

// ---------------------------------------------------------------------------------------------
// Compilation context

CompileContext::CompileContext(const PyModuleTree& t, CodeHost& h) : tree(t), host(h) {
    by_text_.assign(t.text_count(), 0);
    std::uint64_t nodes = t.stmt_count() + t.expr_count() + t.target_count();
    instruction_limit = std::min(PyCompiler::kMaxInstructions,
                                 PyCompiler::kBaseInstructions + PyCompiler::kInstructionsPerNode * nodes);
}

NameId CompileContext::name(std::string_view text) {
    if (auto it = index_.find(text); it != index_.end())
        return it->second;
    auto id = static_cast<NameId>(names_.size());
    names_.emplace_back(text);
    index_.emplace(names_.back(), id);
    return id;
}

NameId CompileContext::name(TextId id) {
    auto i = static_cast<std::size_t>(std::to_underlying(id));
    if (i >= by_text_.size())
        return name(tree.text(id));
    if (by_text_[i] == 0)
        by_text_[i] = name(tree.text(id)) + 1;
    return by_text_[i] - 1;
}

std::uint32_t CompileContext::symbol(NameId id) {
    if (symbols_.size() <= id)
        symbols_.resize(names_.size(), 0);
    if (symbols_[id] == 0) {
        std::uint32_t s = host.intern(names_[id]);
        // A failed intern is remembered as such: the host has recorded the error already.
        symbols_[id] = s == kNoSymbol ? kNoSymbol : s + 1;
    }
    return symbols_[id] == kNoSymbol ? kNoSymbol : symbols_[id] - 1;
}

// ---------------------------------------------------------------------------------------------
// Bookkeeping

std::uint32_t PyCompiler::emit(PyOpcode op, const SourceSpan& span, std::uint32_t a, std::uint32_t b,
                               std::uint8_t flag) {
    auto index = here();
    ir.push_back(IrInstr{op, flag, a, b, span});
    ++ctx_.emitted;
    return index;
}

namespace {

bool is_patchable_jump(PyOpcode op) {
    switch (op) {
        case PyOpcode::ForIter:
        case PyOpcode::Jump:
        case PyOpcode::JumpIfFalseOrPop:
        case PyOpcode::JumpIfTrueOrPop:
        case PyOpcode::PopJumpIfFalse: return true;
        default: return false;
    }
}

CodeConstant none_constant() { return CodeConstant{}; }

CodeConstant bool_constant(bool b) {
    CodeConstant c;
    c.kind = ConstantKind::Bool;
    c.flag = b;
    return c;
}

}  // namespace

void PyCompiler::patch_jump(std::uint32_t index, std::uint32_t target) {
    if (index >= ir.size() || !is_patchable_jump(ir[index].op))
        panic("compiler attempted to patch a non-jump operation");
    ir[index].a = target;
}

void PyCompiler::patch_handler(std::uint32_t index, std::uint32_t target) {
    if (index >= ir.size() || ir[index].op != PyOpcode::SetupExcept)
        panic("compiler attempted to patch a non-handler operation");
    ir[index].a = target;
}

LoopRecord PyCompiler::pop_loop() {
    expect(!loops.empty(), "a loop was pushed");
    LoopRecord record = std::move(loops.back());
    loops.pop_back();
    return record;
}

void PyCompiler::patch_breaks(const LoopRecord& record) {
    for (auto j : record.break_jumps)
        patch_jump(j, here());
}

std::uint32_t PyCompiler::emit_syntax_error(std::string_view message, const SourceSpan& span) {
    auto index = static_cast<std::uint32_t>(syntax_messages.size());
    syntax_messages.emplace_back(message);
    return emit(PyOpcode::RaiseSyntaxError, span, index);
}

std::uint32_t PyCompiler::emit_const(CodeConstant c, const SourceSpan& span) {
    auto index = static_cast<std::uint32_t>(constants.size());
    constants.push_back(std::move(c));
    return emit(PyOpcode::LoadConst, span, index);
}

std::uint32_t PyCompiler::emit_call(PyOpcode op, IrCallSite site, const SourceSpan& span) {
    auto index = static_cast<std::uint32_t>(call_sites.size());
    call_sites.push_back(std::move(site));
    return emit(op, span, index);
}

std::uint32_t PyCompiler::emit_simple_call(std::uint32_t positional, const SourceSpan& span) {
    IrCallSite site;
    site.flags.assign(positional, 0);
    site.positional_count = positional;
    return emit_call(PyOpcode::Call, std::move(site), span);
}

void PyCompiler::emit_async_exit_call(NameId context, const SourceSpan& span) {
    emit_name(PyOpcode::LoadName, context, span);
    emit_name(PyOpcode::LoadAttr, ctx_.name("__aexit__"), span);
    for (int i = 0; i < 3; ++i)
        emit_const(none_constant(), span);
    emit_simple_call(3, span);
    emit(PyOpcode::YieldValue, span);
    emit(PyOpcode::ResumeAwait, span);
    emit(PyOpcode::PopTop, span);
}

void PyCompiler::unwind_to(std::uint32_t depth_to, const SourceSpan& span) {
    expect(depth_to <= unwind.size(), "unwinding past the top of the unwind stack");
    std::vector<UnwindEntry> saved = unwind;
    for (std::size_t i = saved.size(); i-- > depth_to;) {
        const UnwindEntry& entry = saved[i];
        // While a cleanup is compiled, only the regions around it are left to unwind: an
        // early exit inside an inlined finally body runs the cleanups outside its try
        // statement, and those only.
        unwind.resize(i);
        switch (entry.kind) {
            case UnwindEntry::Kind::WithExit:
                emit(PyOpcode::PopBlock, span);
                emit(PyOpcode::WithExit, span);
                break;
            case UnwindEntry::Kind::AsyncWithExit:
                emit(PyOpcode::PopBlock, span);
                emit_async_exit_call(entry.context, span);
                break;
            case UnwindEntry::Kind::ExceptHandler: emit(PyOpcode::PopExcept, span); break;
            case UnwindEntry::Kind::Finally:
                // The region's own handler goes first: an exception raised by the finally
                // body or after the jump must not land in the handler of the region left.
                if (entry.handler_active)
                    emit(PyOpcode::PopBlock, span);
                compile_body(entry.finally_body);
                break;
        }
    }
    unwind = std::move(saved);
}

bool PyCompiler::in(const std::vector<NameId>& set, NameId name) const {
    return std::find(set.begin(), set.end(), name) != set.end();
}

void PyCompiler::declare(std::vector<NameId>& set, TextList names) {
    for (TextId t : tree_.list(names)) {
        NameId n = ctx_.name(t);
        if (!in(set, n))
            set.push_back(n);
    }
}

void PyCompiler::store_name(NameId name, const SourceSpan& span) {
    if (in(globals, name))
        emit_name(PyOpcode::StoreGlobal, name, span);
    else if (in(nonlocals, name))
        emit_name(PyOpcode::StoreNonlocal, name, span);
    else
        emit_name(PyOpcode::StoreName, name, span);
}

std::shared_ptr<const std::string> PyCompiler::body_docstring(StmtList body) const {
    if (body.empty())
        return nullptr;
    const Stmt& first = tree_.stmt(tree_.list(body)[0]);
    auto* e = std::get_if<Stmt::Expr>(&first.node);
    if (e == nullptr)
        return nullptr;
    auto* c = std::get_if<Expr::Constant>(&tree_.expr(e->value).node);
    if (c == nullptr)
        return nullptr;
    const AstConstant& k = tree_.constant(c->value);
    if (k.kind != ConstantKind::Str)
        return nullptr;
    return std::make_shared<const std::string>(tree_.text(k.text));
}

std::unique_ptr<PyCompiler> PyCompiler::nested() const {
    auto c = std::make_unique<PyCompiler>(ctx_);
    c->depth = depth;
    return c;
}

ComprehensionScope PyCompiler::comprehension_scope() const {
    ComprehensionScope s;
    if (is_class_body) {
        s.kind = ScopeKind::ClassComprehension;
        s.depth = 1;
        s.globals = globals;
        s.nonlocals = nonlocals;
    } else if (scope.kind == ScopeKind::ClassComprehension) {
        s.kind = ScopeKind::ClassComprehension;
    } else if (scope.kind == ScopeKind::Comprehension) {
        s.kind = ScopeKind::Comprehension;
        s.depth = scope.depth == UINT32_MAX ? UINT32_MAX : scope.depth + 1;
        s.globals = scope.globals;
        s.nonlocals = scope.nonlocals;
    } else {
        s.kind = ScopeKind::Comprehension;
        s.depth = 1;
        s.globals = globals;
        s.nonlocals = nonlocals;
    }
    return s;
}

CodeObjectPtr PyCompiler::finish_code(const std::vector<ParamSpec>& params) {
    CodeKind kind = is_class_body ? CodeKind::ClassBody : is_function ? CodeKind::FunctionBody : CodeKind::ModuleBody;
    return lower_code(*this, ctx_, params, kind);
}

void PyCompiler::compile_body(StmtList body) {
    for (StmtId s : tree_.list(body))
        compile_statement(s);
}

// ---------------------------------------------------------------------------------------------
// Statements

void PyCompiler::compile_statement(StmtId id) {
    with_stack_headroom([&] {
        if (depth >= kMaxNesting) {
            emit_syntax_error("compiler structural nesting limit exceeded", tree_.stmt(id).span);
            return;
        }
        if (ctx_.over_limit()) {
            emit_syntax_error("compiled code too large", tree_.stmt(id).span);
            return;
        }
        ++depth;
        compile_statement_kind(id);
        --depth;
    });
}

void PyCompiler::compile_statement_kind(StmtId id) {
    const Stmt& stmt = tree_.stmt(id);
    const SourceSpan& span = stmt.span;
    switch (stmt.kind()) {
        case StmtKind::Import:
            for (const ImportAlias& alias : tree_.list(std::get<Stmt::Import>(stmt.node).names)) {
                std::string_view path = tree_.text(alias.path);
                std::string_view bind = tree_.text(alias.bind);
                bool top_level = path.substr(0, path.find('.')) == bind;
                emit(PyOpcode::ImportModule, span, ctx_.name(alias.path), 0, top_level ? 1 : 0);
                emit_name(PyOpcode::StoreName, ctx_.name(alias.bind), span);
            }
            return;
        case StmtKind::ImportFrom: {
            auto& s = std::get<Stmt::ImportFrom>(stmt.node);
            if (tree_.text(s.module) == "__future__")
                return;
            emit(PyOpcode::ImportModule, span, ctx_.name(s.module), 0, 0);
            for (const ImportAlias& alias : tree_.list(s.names)) {
                emit_name(PyOpcode::ImportFrom, ctx_.name(alias.path), span);
                emit_name(PyOpcode::StoreName, ctx_.name(alias.bind), span);
            }
            emit(PyOpcode::PopTop, span);
            return;
        }
        case StmtKind::ImportStar:
            emit(PyOpcode::ImportModule, span, ctx_.name(std::get<Stmt::ImportStar>(stmt.node).module), 0, 0);
            emit(PyOpcode::ImportStar, span);
            return;
        case StmtKind::Assign: {
            auto& s = std::get<Stmt::Assign>(stmt.node);
            compile_expression(s.value);
            auto targets = tree_.list(s.targets);
            for (std::size_t i = 0; i < targets.size(); ++i) {
                if (i + 1 < targets.size())
                    emit(PyOpcode::Copy, span, 1);
                compile_store(targets[i], span);
            }
            return;
        }
        case StmtKind::AugAssign: compile_aug_assign(std::get<Stmt::AugAssign>(stmt.node), span); return;
        case StmtKind::Delete: compile_delete(std::get<Stmt::Delete>(stmt.node).target, span); return;
        case StmtKind::Expr:
            compile_expression(std::get<Stmt::Expr>(stmt.node).value);
            emit(PyOpcode::ExprStatement, span);
            return;
        case StmtKind::If: {
            auto& s = std::get<Stmt::If>(stmt.node);
            compile_expression(s.test);
            auto a = emit_jump(PyOpcode::PopJumpIfFalse, span);
            compile_body(s.body);
            auto b = emit_jump(PyOpcode::Jump, span);
            patch_jump(a, here());
            compile_body(s.orelse);
            patch_jump(b, here());
            return;
        }
        case StmtKind::While: {
            auto& s = std::get<Stmt::While>(stmt.node);
            auto start = here();
            compile_expression(s.test);
            auto a = emit_jump(PyOpcode::PopJumpIfFalse, span);
            compile_loop(start, a, s.body, s.orelse, false, span);
            return;
        }
        case StmtKind::For: {
            auto& s = std::get<Stmt::For>(stmt.node);
            compile_expression(s.iter);
            emit(PyOpcode::GetIter, span);
            auto start = here();
            auto a = emit_jump(PyOpcode::ForIter, span);
            compile_store(s.target, span);
            compile_loop(start, a, s.body, s.orelse, true, span);
            return;
        }
        case StmtKind::AsyncFor: compile_async_for(std::get<Stmt::AsyncFor>(stmt.node), span); return;
        case StmtKind::FunctionDef: compile_function_def(std::get<Stmt::FunctionDef>(stmt.node), span); return;
        case StmtKind::ClassDef: compile_class_def(std::get<Stmt::ClassDef>(stmt.node), span); return;
        case StmtKind::Decorated: compile_decorated(std::get<Stmt::Decorated>(stmt.node), span); return;
        case StmtKind::AnnAssign: {
            auto& s = std::get<Stmt::AnnAssign>(stmt.node);
            if (present(s.value)) {
                compile_expression(s.value);
                compile_store(s.target, span);
            }
            return;
        }
        case StmtKind::Return: {
            if (!is_function) {
                emit_syntax_error("'return' outside function", span);
                return;
            }
            auto value = std::get<Stmt::Return>(stmt.node).value;
            if (present(value))
                compile_expression(value);
            else
                emit_const(none_constant(), span);
            unwind_to(0, span);
            emit(PyOpcode::ReturnValue, span);
            return;
        }
        case StmtKind::Break:
        case StmtKind::Continue: compile_loop_exit(stmt.kind() == StmtKind::Break, span); return;
        case StmtKind::Global: declare(globals, std::get<Stmt::Global>(stmt.node).names); return;
        case StmtKind::Nonlocal:
            if (!is_function)
                emit_syntax_error("nonlocal declaration at module scope", span);
            else
                declare(nonlocals, std::get<Stmt::Nonlocal>(stmt.node).names);
            return;
        case StmtKind::Pass: return;
        case StmtKind::Assert: {
            auto& s = std::get<Stmt::Assert>(stmt.node);
            compile_expression(s.test);
            auto a = emit_jump(PyOpcode::JumpIfTrueOrPop, span);
            emit_const(bool_constant(false), span);
            if (present(s.msg))
                compile_expression(s.msg);
            else
                emit_const(none_constant(), span);
            emit(PyOpcode::RaiseAssertionError, span);
            auto p = emit(PyOpcode::PopTop, span);
            patch_jump(a, p);
            return;
        }
        case StmtKind::Try: compile_try(std::get<Stmt::Try>(stmt.node), span); return;
        case StmtKind::Raise: {
            auto& s = std::get<Stmt::Raise>(stmt.node);
            if (!present(s.exc)) {
                emit(PyOpcode::Raise, span, 0, 0, 0);
            } else if (present(s.cause)) {
                compile_expression(s.exc);
                compile_expression(s.cause);
                emit(PyOpcode::RaiseFrom, span);
            } else {
                compile_expression(s.exc);
                emit(PyOpcode::Raise, span, 0, 0, 1);
            }
            return;
        }
        case StmtKind::With: compile_with(std::get<Stmt::With>(stmt.node), span); return;
        case StmtKind::AsyncWith: compile_async_with(std::get<Stmt::AsyncWith>(stmt.node), span); return;
    }
}

void PyCompiler::compile_loop(std::uint32_t start, std::uint32_t exit_jump, StmtList body, StmtList orelse,
                              bool pops_iterator, const SourceSpan& span) {
    loops.push_back(LoopRecord{{}, start, static_cast<std::uint32_t>(unwind.size()), pops_iterator});
    compile_body(body);
    emit(PyOpcode::Jump, span, start);
    LoopRecord record = pop_loop();
    patch_jump(exit_jump, here());
    compile_body(orelse);
    patch_breaks(record);
}

void PyCompiler::compile_loop_exit(bool is_break, const SourceSpan& span) {
    if (loops.empty()) {
        emit_syntax_error(is_break ? "'break' outside loop" : "'continue' outside loop", span);
        return;
    }
    std::size_t loop = loops.size() - 1;
    unwind_to(loops[loop].unwind_depth, span);
    if (!is_break) {
        emit(PyOpcode::Jump, span, loops[loop].continue_target);
        return;
    }
    // The iterator stays on the stack while the cleanups run: a finally body inlined above
    // may still continue the loop, or raise into a handler inside it.
    if (loops[loop].pops_iterator)
        emit(PyOpcode::PopTop, span);
    auto j = emit_jump(PyOpcode::Jump, span);
    loops[loop].break_jumps.push_back(j);
}

void PyCompiler::compile_aug_assign(const Stmt::AugAssign& s, const SourceSpan& span) {
    auto op = static_cast<std::uint8_t>(s.op);
    const Target& t = tree_.target(s.target);
    if (auto* n = std::get_if<Target::Name>(&t.node)) {
        NameId name = ctx_.name(n->id);
        emit_name(PyOpcode::LoadName, name, span);
        compile_expression(s.value);
        emit(PyOpcode::InplaceOp, span, 0, 0, op);
        store_name(name, span);
    } else if (auto* a = std::get_if<Target::Attribute>(&t.node)) {
        NameId attr = ctx_.name(a->attr);
        compile_expression(a->value);
        emit(PyOpcode::Copy, span, 1);
        emit_name(PyOpcode::LoadAttr, attr, span);
        compile_expression(s.value);
        emit(PyOpcode::InplaceOp, span, 0, 0, op);
        emit(PyOpcode::Swap, span, 2);
        emit_name(PyOpcode::StoreAttr, attr, span);
    } else if (auto* sub = std::get_if<Target::Subscript>(&t.node)) {
        compile_expression(sub->value);
        compile_expression(sub->index);
        emit(PyOpcode::Copy, span, 2);
        emit(PyOpcode::Copy, span, 2);
        emit(PyOpcode::LoadSubscr, span);
        compile_expression(s.value);
        emit(PyOpcode::InplaceOp, span, 0, 0, op);
        emit(PyOpcode::Swap, span, 3);
        emit(PyOpcode::Swap, span, 2);
        emit(PyOpcode::StoreSubscr, span);
    } else {
        emit_syntax_error("augmented assignment cannot unpack a sequence", span);
    }
}

void PyCompiler::compile_async_for(const Stmt::AsyncFor& s, const SourceSpan& span) {
    NameId h = ctx_.name(fmt::format("$__tarnwick_async_iterator_{}", here()));
    compile_expression(s.iter);
    emit_name(PyOpcode::LoadAttr, ctx_.name("__aiter__"), span);
    emit_simple_call(0, span);
    emit_name(PyOpcode::StoreName, h, span);
    auto start = here();
    auto setup = emit(PyOpcode::SetupExcept, span, kOpenTarget);
    emit_name(PyOpcode::LoadName, h, span);
    emit_name(PyOpcode::LoadAttr, ctx_.name("__anext__"), span);
    emit_simple_call(0, span);
    emit(PyOpcode::YieldValue, span);
    emit(PyOpcode::ResumeAwait, span);
    emit(PyOpcode::PopBlock, span);
    compile_store(s.target, span);
    loops.push_back(LoopRecord{{}, start, static_cast<std::uint32_t>(unwind.size()), false});
    compile_body(s.body);
    emit(PyOpcode::Jump, span, start);
    LoopRecord record = pop_loop();
    patch_handler(setup, here());
    emit_name(PyOpcode::LoadName, ctx_.name("StopAsyncIteration"), span);
    emit(PyOpcode::ExceptionMatch, span, 0, 0, 1);
    auto m = emit_jump(PyOpcode::PopJumpIfFalse, span);
    emit(PyOpcode::PopTop, span);
    emit(PyOpcode::PopExcept, span);
    compile_body(s.orelse);
    auto e = emit_jump(PyOpcode::Jump, span);
    patch_jump(m, here());
    emit(PyOpcode::PopTop, span);
    emit(PyOpcode::Reraise, span);
    patch_jump(e, here());
    patch_breaks(record);
}

std::uint32_t PyCompiler::function_defaults(NodeList<Parameter> params) {
    std::uint32_t k = 0;
    for (const Parameter& p : tree_.list(params)) {
        if (present(p.default_value)) {
            compile_expression(p.default_value);
            ++k;
        }
    }
    return k;
}

std::vector<ParamSpec> PyCompiler::param_specs(NodeList<Parameter> params) {
    std::vector<ParamSpec> specs;
    specs.reserve(params.size());
    for (const Parameter& p : tree_.list(params))
        specs.push_back(ParamSpec{ctx_.name(p.name), present(p.default_value), p.kind});
    return specs;
}

static std::uint32_t push_function(PyCompiler& c, IrFunction f, const SourceSpan& span) {
    auto index = static_cast<std::uint32_t>(c.functions.size());
    c.functions.push_back(std::move(f));
    return c.emit(PyOpcode::MakeFunction, span, index);
}

void PyCompiler::compile_function_def(const Stmt::FunctionDef& s, const SourceSpan& span) {
    std::uint32_t k = function_defaults(s.params);
    auto inner = nested();
    inner->is_function = true;
    inner->is_async = s.is_async;
    inner->docstring = body_docstring(s.body);
    inner->compile_body(s.body);
    inner->emit_const(none_constant(), span);
    inner->emit(PyOpcode::ReturnValue, span);
    CodeObjectPtr code = inner->finish_code(param_specs(s.params));
    inner.reset();
    NameId name = ctx_.name(s.name);
    push_function(*this, IrFunction{std::move(code), k, name}, span);
    emit_name(PyOpcode::StoreName, name, span);
}

std::vector<std::string> PyCompiler::class_annotated_names(StmtList body) const {
    std::vector<std::string> names;
    for (StmtId id : tree_.list(body)) {
        auto* a = std::get_if<Stmt::AnnAssign>(&tree_.stmt(id).node);
        if (a == nullptr)
            continue;
        if (auto* n = std::get_if<Target::Name>(&tree_.target(a->target).node))
            names.emplace_back(tree_.text(n->id));
    }
    return names;
}

void PyCompiler::compile_class_def(const Stmt::ClassDef& s, const SourceSpan& span) {
    auto inner = nested();
    inner->is_class_body = true;
    inner->docstring = body_docstring(s.body);
    inner->compile_body(s.body);
    inner->emit(PyOpcode::Halt, span);
    CodeObjectPtr code = inner->finish_code({});
    inner.reset();
    for (ExprId base : tree_.list(s.bases))
        compile_expression(base);
    if (present(s.metaclass))
        compile_expression(s.metaclass);
    NameId name = ctx_.name(s.name);
    auto index = static_cast<std::uint32_t>(classes.size());
    classes.push_back(IrClass{std::move(code), class_annotated_names(s.body),
                              static_cast<std::uint32_t>(s.bases.size()), name, present(s.metaclass)});
    emit(PyOpcode::MakeClass, span, index);
    emit_name(PyOpcode::StoreName, name, span);
}

void PyCompiler::compile_decorated(const Stmt::Decorated& s, const SourceSpan& span) {
    const Stmt& def = tree_.stmt(s.definition);
    TextId name_text;
    if (auto* f = std::get_if<Stmt::FunctionDef>(&def.node)) {
        name_text = f->name;
    } else if (auto* c = std::get_if<Stmt::ClassDef>(&def.node)) {
        name_text = c->name;
    } else {
        emit_syntax_error("decorators may only be applied to functions and classes", span);
        return;
    }
    for (ExprId d : tree_.list(s.decorators))
        compile_expression(d);
    compile_statement(s.definition);
    NameId name = ctx_.name(name_text);
    for (std::size_t i = 0; i < s.decorators.size(); ++i) {
        emit_name(PyOpcode::LoadName, name, span);
        emit_simple_call(1, span);
        emit_name(PyOpcode::StoreName, name, span);
    }
}

void PyCompiler::compile_try(const Stmt::Try& s, const SourceSpan& span) {
    auto fin = [&] { compile_body(s.finalbody); };
    auto finally_entry = [&](bool handler_active) {
        UnwindEntry e;
        e.kind = UnwindEntry::Kind::Finally;
        e.handler_active = handler_active;
        e.finally_body = s.finalbody;
        return e;
    };
    UnwindEntry except_entry;
    except_entry.kind = UnwindEntry::Kind::ExceptHandler;

    auto h = emit(PyOpcode::SetupExcept, span, kOpenTarget);
    unwind.push_back(finally_entry(true));
    compile_body(s.body);
    unwind.pop_back();
    emit(PyOpcode::PopBlock, span);
    auto e = emit_jump(PyOpcode::Jump, span);
    patch_handler(h, here());

    std::vector<std::uint32_t> end_jumps;
    std::uint32_t previous_test = kOpenTarget;
    bool has_finally = !s.finalbody.empty();
    for (const ExceptClause& clause : tree_.list(s.handlers)) {
        if (previous_test != kOpenTarget)
            patch_jump(previous_test, here());
        if (present(clause.type))
            compile_expression(clause.type);
        emit(PyOpcode::ExceptionMatch, span, 0, 0, present(clause.type) ? 1 : 0);
        previous_test = emit_jump(PyOpcode::PopJumpIfFalse, span);
        if (present(clause.name))
            emit_name(PyOpcode::StoreName, ctx_.name(clause.name), span);
        else
            emit(PyOpcode::PopTop, span);
        std::uint32_t h2 = 0;
        if (has_finally)
            h2 = emit(PyOpcode::SetupExcept, span, kOpenTarget);
        unwind.push_back(except_entry);
        unwind.push_back(finally_entry(has_finally));
        compile_body(clause.body);
        unwind.pop_back();
        unwind.pop_back();
        if (has_finally) {
            emit(PyOpcode::PopBlock, span);
            auto j2 = emit_jump(PyOpcode::Jump, span);
            patch_handler(h2, here());
            emit(PyOpcode::PopTop, span);
            // Both the clause's exception and the one its body raised are active here; an
            // early exit from this finally copy leaves both.
            unwind.push_back(except_entry);
            unwind.push_back(except_entry);
            fin();
            unwind.resize(unwind.size() - 2);
            emit(PyOpcode::Reraise, span);
            patch_jump(j2, here());
        }
        emit(PyOpcode::PopExcept, span);
        fin();
        end_jumps.push_back(emit_jump(PyOpcode::Jump, span));
    }
    if (previous_test != kOpenTarget)
        patch_jump(previous_test, here());

    emit(PyOpcode::PopTop, span);
    unwind.push_back(except_entry);
    fin();
    unwind.pop_back();
    emit(PyOpcode::Reraise, span);

    patch_jump(e, here());
    unwind.push_back(finally_entry(false));
    compile_body(s.orelse);
    unwind.pop_back();
    fin();
    for (auto j : end_jumps)
        patch_jump(j, here());
}

void PyCompiler::compile_with(const Stmt::With& s, const SourceSpan& span) {
    compile_expression(s.ctx);
    emit(PyOpcode::WithEnter, span);
    if (present(s.target))
        compile_store(s.target, span);
    else
        emit(PyOpcode::PopTop, span);
    auto h = emit(PyOpcode::SetupExcept, span, kOpenTarget);
    UnwindEntry entry;
    entry.kind = UnwindEntry::Kind::WithExit;
    unwind.push_back(entry);
    compile_body(s.body);
    unwind.pop_back();
    emit(PyOpcode::PopBlock, span);
    emit(PyOpcode::WithExit, span);
    auto j = emit_jump(PyOpcode::Jump, span);
    patch_handler(h, here());
    emit(PyOpcode::WithExceptExit, span);
    patch_jump(j, here());
}

void PyCompiler::compile_async_with(const Stmt::AsyncWith& s, const SourceSpan& span) {
    NameId c = ctx_.name(fmt::format("$__tarnwick_async_context_{}", here()));
    compile_expression(s.ctx);
    emit_name(PyOpcode::StoreName, c, span);
    emit_name(PyOpcode::LoadName, c, span);
    emit_name(PyOpcode::LoadAttr, ctx_.name("__aenter__"), span);
    emit_simple_call(0, span);
    emit(PyOpcode::YieldValue, span);
    emit(PyOpcode::ResumeAwait, span);
    if (present(s.target))
        compile_store(s.target, span);
    else
        emit(PyOpcode::PopTop, span);
    auto h = emit(PyOpcode::SetupExcept, span, kOpenTarget);
    // An early exit from the body leaves through __aexit__ as the normal path does.
    UnwindEntry entry;
    entry.kind = UnwindEntry::Kind::AsyncWithExit;
    entry.context = c;
    unwind.push_back(entry);
    compile_body(s.body);
    unwind.pop_back();
    emit(PyOpcode::PopBlock, span);
    emit_async_exit_call(c, span);
    auto j = emit_jump(PyOpcode::Jump, span);
    patch_handler(h, here());
    emit_name(PyOpcode::LoadName, c, span);
    emit(PyOpcode::AsyncWithExceptExit, span);
    emit(PyOpcode::YieldValue, span);
    emit(PyOpcode::ResumeAwait, span);
    emit(PyOpcode::AsyncWithExceptResult, span);
    patch_jump(j, here());
}

// ---------------------------------------------------------------------------------------------
// Targets

namespace {

bool contains_starred(const PyModuleTree& tree, TargetId id) {
    const Target& t = tree.target(id);
    if (std::holds_alternative<Target::Starred>(t.node))
        return true;
    if (auto* tuple = std::get_if<Target::Tuple>(&t.node))
        for (TargetId e : tree.list(tuple->elts))
            if (contains_starred(tree, e))
                return true;
    return false;
}

}  // namespace

void PyCompiler::compile_member_target(const Target& t, PyOpcode attr_op, PyOpcode subscript_op,
                                       const SourceSpan& span) {
    if (auto* a = std::get_if<Target::Attribute>(&t.node)) {
        compile_expression(a->value);
        emit_name(attr_op, ctx_.name(a->attr), span);
    } else {
        auto& s = std::get<Target::Subscript>(t.node);
        compile_expression(s.value);
        compile_expression(s.index);
        emit(subscript_op, span);
    }
}

void PyCompiler::compile_store(TargetId target, const SourceSpan& span) {
    with_stack_headroom([&] { compile_store_target(target, span); });
}

void PyCompiler::compile_store_target(TargetId target, const SourceSpan& span) {
    const Target& t = tree_.target(target);
    switch (static_cast<TargetKind>(t.node.index())) {
        case TargetKind::Name: store_name(ctx_.name(std::get<Target::Name>(t.node).id), span); return;
        case TargetKind::Attribute:
        case TargetKind::Subscript: compile_member_target(t, PyOpcode::StoreAttr, PyOpcode::StoreSubscr, span); return;
        case TargetKind::Starred: compile_store(std::get<Target::Starred>(t.node).target, span); return;
        case TargetKind::Tuple: {
            auto elements = tree_.list(std::get<Target::Tuple>(t.node).elts);
            std::uint32_t starred = kNoIndex;
            std::size_t starred_count = 0;
            for (std::size_t i = 0; i < elements.size(); ++i) {
                if (contains_starred(tree_, elements[i])) {
                    ++starred_count;
                    if (starred == kNoIndex)
                        starred = static_cast<std::uint32_t>(i);
                }
            }
            if (starred_count > 1) {
                emit_syntax_error("multiple starred expressions in assignment", span);
                return;
            }
            emit(PyOpcode::UnpackSequence, span, static_cast<std::uint32_t>(elements.size()), starred);
            for (TargetId e : elements)
                compile_store(e, span);
            return;
        }
    }
}

void PyCompiler::compile_delete(TargetId target, const SourceSpan& span) {
    with_stack_headroom([&] { compile_delete_target(target, span); });
}

void PyCompiler::compile_delete_target(TargetId target, const SourceSpan& span) {
    const Target& t = tree_.target(target);
    switch (static_cast<TargetKind>(t.node.index())) {
        case TargetKind::Name: {
            NameId n = ctx_.name(std::get<Target::Name>(t.node).id);
            emit_name(in(globals, n) ? PyOpcode::DeleteGlobal : PyOpcode::DeleteName, n, span);
            return;
        }
        case TargetKind::Attribute:
        case TargetKind::Subscript:
            compile_member_target(t, PyOpcode::DeleteAttr, PyOpcode::DeleteSubscr, span);
            return;
        case TargetKind::Tuple:
            for (TargetId e : tree_.list(std::get<Target::Tuple>(t.node).elts))
                compile_delete(e, span);
            return;
        case TargetKind::Starred: emit_syntax_error("cannot delete starred", span); return;
    }
}

}  // namespace tw::pycompile

namespace tw {

CodeObjectPtr compile_module(const PyModuleTree& tree, CodeHost& host) {
    pycompile::CompileContext context(tree, host);
    pycompile::PyCompiler compiler(context);
    compiler.docstring = compiler.body_docstring(tree.body());
    compiler.compile_body(tree.body());
    compiler.emit(PyOpcode::Halt, SourceSpan{0, 0, 0, 0});
    return compiler.finish_code({});
}

Result<CodeObjectPtr, SyntaxError> compile_source(std::string_view source, CodeHost& host) {
    auto tree = py_parse_source(source);
    if (!tree)
        return std::unexpected(std::move(tree.error()));
    return compile_module(*tree, host);
}

CodeObjectPtr compile_eval_expression(const PyModuleTree& tree, ExprId expr, CodeHost& host) {
    pycompile::CompileContext context(tree, host);
    pycompile::PyCompiler compiler(context);
    compiler.compile_expression(expr);
    compiler.emit(PyOpcode::ReturnValue, tree.expr(expr).span);
    return pycompile::lower_code(compiler, context, {}, CodeKind::ClassBody);
}

}  // namespace tw
