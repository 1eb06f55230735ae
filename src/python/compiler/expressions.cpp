// The compilation of expressions, displays and comprehensions.
#include "base/panic.h"
#include "base/stack.h"
#include "python/compiler/compiler_internal.h"

namespace tw::pycompile {

namespace {

CodeConstant to_code_constant(const PyModuleTree& tree, const AstConstant& c) {
    CodeConstant k;
    k.kind = c.kind;
    k.flag = c.flag;
    k.int_value = c.int_value;
    k.float_value = c.float_value;
    if (present(c.text))
        k.text = std::string(tree.text(c.text));
    return k;
}

CodeConstant text_constant(std::string_view text) {
    CodeConstant c;
    c.kind = ConstantKind::Str;
    c.text = std::string(text);
    return c;
}

constexpr std::uint8_t kAdd = static_cast<std::uint8_t>(BinaryOperator::Add);

}  // namespace

void PyCompiler::compile_expression(ExprId id) {
    with_stack_headroom([&] { compile_expression_kind(id); });
}

void PyCompiler::compile_expression_kind(ExprId id) {
    const Expr& expr = tree_.expr(id);
    const SourceSpan& span = expr.span;
    switch (expr.kind()) {
        case ExprKind::Constant:
            emit_const(to_code_constant(tree_, tree_.constant(std::get<Expr::Constant>(expr.node).value)), span);
            return;
        case ExprKind::JoinedStr:
            emit_const(text_constant(""), span);
            for (const FStringPart& part : tree_.list(std::get<Expr::JoinedStr>(expr.node).parts)) {
                if (part.kind == FStringPart::Kind::Text) {
                    emit_const(text_constant(tree_.text(part.text)), span);
                } else {
                    compile_expression(part.expr);
                    FormatFieldInfo field;
                    if (part.kind == FStringPart::Kind::FormattedField) {
                        if (present(part.text))
                            field.spec = std::string(tree_.text(part.text));
                        if (part.conversion != 0)
                            field.conversion = static_cast<unsigned char>(part.conversion);
                    }
                    auto index = static_cast<std::uint32_t>(format_fields.size());
                    format_fields.push_back(std::move(field));
                    emit(PyOpcode::FormatValue, span, index);
                }
                emit(PyOpcode::BinaryOp, span, 0, 0, kAdd);
            }
            return;
        case ExprKind::Starred:
            emit_syntax_error("starred expressions are only supported in calls and assignments", span);
            return;
        case ExprKind::Name: emit_name(PyOpcode::LoadName, ctx_.name(std::get<Expr::Name>(expr.node).id), span); return;
        case ExprKind::NamedExpr: {
            auto& e = std::get<Expr::NamedExpr>(expr.node);
            NameId name = ctx_.name(e.target);
            compile_expression(e.value);
            emit(PyOpcode::Copy, span, 1);
            switch (scope.kind) {
                case ScopeKind::Plain: store_name(name, span); break;
                case ScopeKind::Comprehension:
                    if (in(scope.globals, name))
                        emit_name(PyOpcode::StoreGlobal, name, span);
                    else if (in(scope.nonlocals, name))
                        emit_name(PyOpcode::StoreNonlocal, name, span);
                    else
                        emit(PyOpcode::StoreEnclosing, span, name, scope.depth);
                    break;
                case ScopeKind::ClassComprehension:
                    emit_syntax_error("assignment expression within a comprehension cannot be used in a class body", span);
                    break;
            }
            return;
        }
        case ExprKind::List: compile_sequence_display(0, std::get<Expr::List>(expr.node).elts, span); return;
        case ExprKind::Tuple: compile_sequence_display(1, std::get<Expr::Tuple>(expr.node).elts, span); return;
        case ExprKind::Set: compile_sequence_display(2, std::get<Expr::Set>(expr.node).elts, span); return;
        case ExprKind::Dict: {
            std::vector<std::uint8_t> flags;
            for (const DictItem& item : tree_.list(std::get<Expr::Dict>(expr.node).items)) {
                if (present(item.key)) {
                    compile_expression(item.key);
                    compile_expression(item.value);
                    flags.push_back(0);
                } else {
                    compile_expression(item.value);
                    flags.push_back(1);
                }
            }
            auto index = static_cast<std::uint32_t>(flag_lists.size());
            flag_lists.push_back(std::move(flags));
            emit(PyOpcode::BuildDict, span, index);
            return;
        }
        case ExprKind::ListComp: {
            auto& e = std::get<Expr::ListComp>(expr.node);
            compile_comprehension(0, e.elt, kNoExpr, e.generators, span);
            return;
        }
        case ExprKind::SetComp: {
            auto& e = std::get<Expr::SetComp>(expr.node);
            compile_comprehension(1, e.elt, kNoExpr, e.generators, span);
            return;
        }
        case ExprKind::DictComp: {
            auto& e = std::get<Expr::DictComp>(expr.node);
            compile_comprehension(2, e.key, e.value, e.generators, span);
            return;
        }
        case ExprKind::GeneratorExp: {
            auto& e = std::get<Expr::GeneratorExp>(expr.node);
            compile_comprehension(3, e.elt, kNoExpr, e.generators, span);
            return;
        }
        case ExprKind::Yield: {
            if (!is_function) {
                emit_syntax_error("'yield' outside function", span);
                return;
            }
            auto value = std::get<Expr::Yield>(expr.node).value;
            if (present(value))
                compile_expression(value);
            else
                emit_const(CodeConstant{}, span);
            emit(PyOpcode::YieldValue, span);
            return;
        }
        case ExprKind::YieldFrom:
            if (!is_function) {
                emit_syntax_error("'yield from' outside function", span);
                return;
            }
            compile_expression(std::get<Expr::YieldFrom>(expr.node).value);
            emit(PyOpcode::GetIter, span);
            emit_const(CodeConstant{}, span);
            emit(PyOpcode::YieldFrom, span, here() + 1);
            return;
        case ExprKind::Await:
            if (!is_async) {
                emit_syntax_error("'await' outside async function", span);
                return;
            }
            compile_expression(std::get<Expr::Await>(expr.node).value);
            emit(PyOpcode::YieldValue, span);
            emit(PyOpcode::ResumeAwait, span);
            return;
        case ExprKind::Attribute: {
            auto& e = std::get<Expr::Attribute>(expr.node);
            compile_expression(e.value);
            emit_name(PyOpcode::LoadAttr, ctx_.name(e.attr), span);
            return;
        }
        case ExprKind::Subscript: {
            auto& e = std::get<Expr::Subscript>(expr.node);
            compile_expression(e.value);
            compile_expression(e.index);
            emit(PyOpcode::LoadSubscr, span);
            return;
        }
        case ExprKind::Slice: {
            auto& e = std::get<Expr::Slice>(expr.node);
            std::uint8_t bits = 0;
            if (present(e.lower)) {
                compile_expression(e.lower);
                bits |= 1;
            }
            if (present(e.upper)) {
                compile_expression(e.upper);
                bits |= 2;
            }
            if (present(e.step)) {
                compile_expression(e.step);
                bits |= 4;
            }
            emit(PyOpcode::BuildSlice, span, 0, 0, bits);
            return;
        }
        case ExprKind::Call: compile_call(std::get<Expr::Call>(expr.node), span); return;
        case ExprKind::Lambda: {
            auto& e = std::get<Expr::Lambda>(expr.node);
            std::uint32_t k = function_defaults(e.params);
            auto inner = nested();
            inner->is_function = true;
            inner->compile_expression(e.body);
            inner->emit(PyOpcode::ReturnValue, span);
            CodeObjectPtr code = inner->finish_code(param_specs(e.params));
            inner.reset();
            auto index = static_cast<std::uint32_t>(functions.size());
            functions.push_back(IrFunction{std::move(code), k, ctx_.name("<lambda>")});
            emit(PyOpcode::MakeFunction, span, index);
            return;
        }
        case ExprKind::UnaryOp: {
            auto& e = std::get<Expr::UnaryOp>(expr.node);
            compile_expression(e.operand);
            emit(PyOpcode::UnaryOp, span, 0, 0, static_cast<std::uint8_t>(e.op));
            return;
        }
        case ExprKind::BinaryOp: {
            auto& e = std::get<Expr::BinaryOp>(expr.node);
            compile_expression(e.left);
            compile_expression(e.right);
            emit(PyOpcode::BinaryOp, span, 0, 0, static_cast<std::uint8_t>(e.op));
            return;
        }
        case ExprKind::IfExp: {
            auto& e = std::get<Expr::IfExp>(expr.node);
            compile_expression(e.test);
            auto a = emit_jump(PyOpcode::PopJumpIfFalse, span);
            compile_expression(e.body);
            auto b = emit_jump(PyOpcode::Jump, span);
            patch_jump(a, here());
            compile_expression(e.orelse);
            patch_jump(b, here());
            return;
        }
        case ExprKind::BoolOp: {
            auto& e = std::get<Expr::BoolOp>(expr.node);
            compile_expression(e.left);
            auto j = emit_jump(e.op == BoolOperator::And ? PyOpcode::JumpIfFalseOrPop : PyOpcode::JumpIfTrueOrPop, span);
            compile_expression(e.right);
            patch_jump(j, here());
            return;
        }
        case ExprKind::Compare: compile_compare(std::get<Expr::Compare>(expr.node), span); return;
    }
}

void PyCompiler::compile_call(const Expr::Call& call, const SourceSpan& span) {
    IrCallSite site;
    PyOpcode op = PyOpcode::Call;
    if (auto* attr = std::get_if<Expr::Attribute>(&tree_.expr(call.func).node)) {
        compile_expression(attr->value);
        emit_name(PyOpcode::LoadMethod, ctx_.name(attr->attr), span);
        op = PyOpcode::CallMethod;
        site.flags.push_back(0);
        site.positional_count = 1;
    } else {
        compile_expression(call.func);
    }
    for (const CallArg& arg : tree_.list(call.args)) {
        switch (arg.kind) {
            case CallArg::Kind::Positional:
                site.flags.push_back(0);
                ++site.positional_count;
                break;
            case CallArg::Kind::Starred:
                site.flags.push_back(1);
                ++site.positional_count;
                break;
            case CallArg::Kind::Keyword:
                site.flags.push_back(0);
                site.keyword_names.emplace_back(true, ctx_.name(arg.name));
                break;
            case CallArg::Kind::DoubleStarred:
                site.flags.push_back(1);
                site.keyword_names.emplace_back(false, 0);
                break;
        }
        compile_expression(arg.value);
    }
    emit_call(op, std::move(site), span);
}

void PyCompiler::compile_compare(const Expr::Compare& cmp, const SourceSpan& span) {
    compile_expression(cmp.left);
    auto comparisons = tree_.list(cmp.comparators);
    std::vector<std::uint32_t> cleanup;
    for (std::size_t i = 0; i < comparisons.size(); ++i) {
        compile_expression(comparisons[i].value);
        auto op = static_cast<std::uint8_t>(comparisons[i].op);
        if (i + 1 == comparisons.size()) {
            emit(PyOpcode::CompareOp, span, 0, 0, op);
        } else {
            emit(PyOpcode::Swap, span, 2);
            emit(PyOpcode::Copy, span, 2);
            emit(PyOpcode::CompareOp, span, 0, 0, op);
            cleanup.push_back(emit_jump(PyOpcode::JumpIfFalseOrPop, span));
        }
    }
    if (cleanup.empty())
        return;
    auto e = emit_jump(PyOpcode::Jump, span);
    auto c = here();
    emit(PyOpcode::Swap, span, 2);
    emit(PyOpcode::PopTop, span);
    for (auto j : cleanup)
        patch_jump(j, c);
    patch_jump(e, here());
}

void PyCompiler::compile_sequence_display(std::uint8_t kind, ExprList elements, const SourceSpan& span) {
    std::vector<std::uint8_t> flags;
    bool any_starred = false;
    for (ExprId e : tree_.list(elements)) {
        if (auto* s = std::get_if<Expr::Starred>(&tree_.expr(e).node)) {
            compile_expression(s->value);
            flags.push_back(1);
            any_starred = true;
        } else {
            compile_expression(e);
            flags.push_back(0);
        }
    }
    if (any_starred) {
        auto index = static_cast<std::uint32_t>(flag_lists.size());
        flag_lists.push_back(std::move(flags));
        emit(PyOpcode::BuildUnpacked, span, index, 0, kind);
        return;
    }
    static constexpr PyOpcode kBuild[] = {PyOpcode::BuildList, PyOpcode::BuildTuple, PyOpcode::BuildSet};
    emit(kBuild[kind], span, static_cast<std::uint32_t>(flags.size()));
}

void PyCompiler::compile_comprehension(std::uint8_t kind, ExprId element, ExprId value,
                                       NodeList<Comprehension> clauses, const SourceSpan& span) {
    auto inner = nested();
    inner->is_function = true;
    inner->scope = comprehension_scope();
    NameId result = ctx_.name("$__tarnwick_comprehension_result");
    switch (kind) {
        case 0:
            inner->emit(PyOpcode::BuildList, span, 0);
            inner->emit_name(PyOpcode::StoreName, result, span);
            break;
        case 1:
            inner->emit(PyOpcode::BuildSet, span, 0);
            inner->emit_name(PyOpcode::StoreName, result, span);
            break;
        case 2: {
            auto index = static_cast<std::uint32_t>(inner->flag_lists.size());
            inner->flag_lists.emplace_back();
            inner->emit(PyOpcode::BuildDict, span, index);
            inner->emit_name(PyOpcode::StoreName, result, span);
            break;
        }
        default: break;
    }
    auto list = tree_.list(clauses);
    expect(!list.empty(), "a comprehension has a clause");
    inner->compile_comprehension_loop(kind, element, value, list, 0, result, span);
    if (kind == 3) {
        inner->emit_const(CodeConstant{}, span);
    } else {
        inner->emit_name(PyOpcode::LoadName, result, span);
    }
    inner->emit(PyOpcode::ReturnValue, span);
    CodeObjectPtr code = inner->finish_code({ParamSpec{ctx_.name(".0"), false, ParamKind::PositionalOnly}});
    inner.reset();
    static constexpr std::string_view kNames[] = {"<comprehension>", "<comprehension>", "<dictcomp>", "<genexpr>"};
    auto index = static_cast<std::uint32_t>(functions.size());
    functions.push_back(IrFunction{std::move(code), 0, ctx_.name(kNames[kind])});
    emit(PyOpcode::MakeFunction, span, index);
    compile_expression(list[0].iter);
    emit(PyOpcode::GetIter, span);
    emit_simple_call(1, span);
}

void PyCompiler::compile_comprehension_loop(std::uint8_t kind, ExprId element, ExprId value,
                                            std::span<const Comprehension> clauses, std::size_t i,
                                            NameId result, const SourceSpan& span) {
    const Comprehension& clause = clauses[i];
    if (i == 0) {
        emit_name(PyOpcode::LoadName, ctx_.name(".0"), span);
    } else {
        compile_expression(clause.iter);
        emit(PyOpcode::GetIter, span);
    }
    auto start = here();
    auto f = emit_jump(PyOpcode::ForIter, span);
    compile_store(clause.target, span);
    for (ExprId cond : tree_.list(clause.ifs)) {
        compile_expression(cond);
        emit(PyOpcode::PopJumpIfFalse, span, start);
    }
    if (i + 1 < clauses.size()) {
        with_stack_headroom([&] { compile_comprehension_loop(kind, element, value, clauses, i + 1, result, span); });
    } else {
        switch (kind) {
            case 0:
            case 1:
                compile_expression(element);
                emit_name(PyOpcode::LoadName, result, span);
                emit_name(PyOpcode::LoadAttr, ctx_.name(kind == 0 ? "append" : "add"), span);
                emit(PyOpcode::Swap, span, 2);
                emit_simple_call(1, span);
                emit(PyOpcode::PopTop, span);
                break;
            case 2:
                compile_expression(value);
                emit_name(PyOpcode::LoadName, result, span);
                compile_expression(element);
                emit(PyOpcode::StoreSubscr, span);
                break;
            default:
                compile_expression(element);
                emit(PyOpcode::YieldValue, span);
                emit(PyOpcode::PopTop, span);
                break;
        }
    }
    emit(PyOpcode::Jump, span, start);
    patch_jump(f, here());
}

}  // namespace tw::pycompile
