#include "commands/awk/check.h"

#include <fmt/format.h>

#include "base/regex.h"
#include "base/stack.h"
#include "commands/awk/runtime.h"

namespace tw {

namespace {

using Fault = std::optional<std::string>;

Fault check_expression(const AwkExpr& e);

Fault check_guarded(const AwkExpr& e) {
    return with_stack_headroom([&] { return check_expression(e); });
}

Fault check_each(const std::vector<AwkExprPtr>& list) {
    for (const AwkExprPtr& e : list)
        if (e)
            if (Fault f = check_guarded(*e)) return f;
    return std::nullopt;
}

Fault check_lvalue(const AwkExpr& target) {
    switch (target.kind) {
    case AwkExprKind::Var:
        if (awk_is_readonly_special(target.text)) return fmt::format("assignment to '{}' is not supported", target.text);
        return std::nullopt;
    case AwkExprKind::Field: return check_guarded(*target.kids[0]);
    case AwkExprKind::Index: return check_each(target.kids);
    default: return std::nullopt;
    }
}

Fault check_expression(const AwkExpr& e) {
    switch (e.kind) {
    case AwkExprKind::Regex: {
        auto compiled = Regex::compile(e.text);
        if (!compiled) return fmt::format("invalid regular expression: {}", error_text(compiled.error()));
        return std::nullopt;
    }
    case AwkExprKind::Field:
    case AwkExprKind::Unary:
    case AwkExprKind::Index:
    case AwkExprKind::Infix: return check_each(e.kids);
    case AwkExprKind::Call:
        if (e.builtin == AwkBuiltin::Unknown) return fmt::format("unsupported function '{}'", e.text);
        return check_each(e.kids);
    case AwkExprKind::Assign:
        if (Fault f = check_lvalue(*e.kids[0])) return f;
        return check_guarded(*e.kids[1]);
    case AwkExprKind::IncDec: return check_lvalue(*e.kids[0]);
    case AwkExprKind::Str:
    case AwkExprKind::Num:
    case AwkExprKind::Var: return std::nullopt;
    }
    return std::nullopt;
}

Fault check_statement(const AwkStmt& s);

Fault check_statement_guarded(const AwkStmt& s) {
    return with_stack_headroom([&] { return check_statement(s); });
}

Fault check_statement(const AwkStmt& s) {
    switch (s.kind) {
    case AwkStmtKind::ForIn:
        if (awk_is_readonly_special(s.var)) return fmt::format("assignment to '{}' is not supported", s.var);
        return check_statement_guarded(*s.body[0]);
    case AwkStmtKind::Delete: return check_lvalue(*s.exprs[0]);
    case AwkStmtKind::If:
    case AwkStmtKind::While:
    case AwkStmtKind::For:
    case AwkStmtKind::Block:
    case AwkStmtKind::Exit:
    case AwkStmtKind::Print:
    case AwkStmtKind::Printf:
    case AwkStmtKind::ExprStmt: {
        // Conditions and clauses come before the bodies.
        if (Fault f = check_each(s.exprs)) return f;
        for (const AwkStmtPtr& b : s.body)
            if (Fault f = check_statement_guarded(*b)) return f;
        return std::nullopt;
    }
    case AwkStmtKind::Break:
    case AwkStmtKind::Continue:
    case AwkStmtKind::Next:
    case AwkStmtKind::NextFile: return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> awk_check_program(const AwkProgram& program) {
    for (const AwkRule& rule : program.rules) {
        if (rule.pattern == AwkPatternKind::Expr)
            if (Fault f = check_guarded(*rule.expr)) return f;
        for (const AwkStmtPtr& s : rule.action)
            if (Fault f = check_statement_guarded(*s)) return f;
    }
    return std::nullopt;
}

}  // namespace tw
