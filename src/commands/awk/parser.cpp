#include "commands/awk/parser.h"

#include <fmt/format.h>

#include <array>

#include "base/stack.h"
#include "commands/awk/runtime.h"

namespace tw {

namespace {

using K = AwkTokenKind;

constexpr std::array<std::string_view, 8> kSpecialNames{"NR", "FNR", "NF", "FILENAME", "FS", "OFS", "ORS", "RS"};
static_assert(kSpecialNames.size() == kAwkSpecialCount);

constexpr std::array<std::string_view, 12> kBuiltinNames{
    "length", "substr", "index", "tolower", "toupper", "int", "log", "split", "sub", "gsub", "match", "sprintf",
};

AwkBuiltin builtin_of(std::string_view name) {
    for (std::size_t i = 0; i < kBuiltinNames.size(); ++i)
        if (kBuiltinNames[i] == name) return static_cast<AwkBuiltin>(i);
    return AwkBuiltin::Unknown;
}

AwkExprPtr node(AwkExprKind kind) {
    auto e = std::make_unique<AwkExpr>();
    e->kind = kind;
    return e;
}

AwkExprPtr infix(AwkInfixOp op, AwkExprPtr left, AwkExprPtr right) {
    auto e = node(AwkExprKind::Infix);
    e->op = static_cast<std::uint8_t>(op);
    e->kids.push_back(std::move(left));
    e->kids.push_back(std::move(right));
    return e;
}

AwkStmtPtr statement(AwkStmtKind kind) {
    auto s = std::make_unique<AwkStmt>();
    s->kind = kind;
    return s;
}

// The action of a rule written without braces: print the record.
std::vector<AwkStmtPtr> default_action() {
    std::vector<AwkStmtPtr> action;
    action.push_back(statement(AwkStmtKind::Print));
    return action;
}

constexpr std::array<AwkParser::OpEntry, 1> kOrTable{{{K::Or, AwkInfixOp::Or}}};
constexpr std::array<AwkParser::OpEntry, 1> kAndTable{{{K::And, AwkInfixOp::And}}};
constexpr std::array<AwkParser::OpEntry, 9> kComparisonTable{{
    {K::Equal, AwkInfixOp::Equal}, {K::NotEqual, AwkInfixOp::NotEqual}, {K::Less, AwkInfixOp::Less},
    {K::LessEqual, AwkInfixOp::LessEqual}, {K::Greater, AwkInfixOp::Greater},
    {K::GreaterEqual, AwkInfixOp::GreaterEqual}, {K::Match, AwkInfixOp::Match},
    {K::NotMatch, AwkInfixOp::NotMatch}, {K::In, AwkInfixOp::In},
}};
constexpr std::array<AwkParser::OpEntry, 2> kAdditiveTable{{{K::Plus, AwkInfixOp::Add}, {K::Minus, AwkInfixOp::Sub}}};
constexpr std::array<AwkParser::OpEntry, 3> kMultiplicativeTable{
    {{K::Star, AwkInfixOp::Mul}, {K::Slash, AwkInfixOp::Div}, {K::Percent, AwkInfixOp::Rem}}};

}  // namespace

AwkParser::AwkParser(std::vector<AwkToken> tokens) : tokens_(std::move(tokens)) {
    for (std::string_view name : kSpecialNames) scalar_slot(std::string(name));
}

std::uint32_t AwkParser::scalar_slot(const std::string& name) {
    auto [it, inserted] = scalars_.try_emplace(name, static_cast<std::uint32_t>(program_.scalar_names.size()));
    if (inserted) program_.scalar_names.push_back(name);
    return it->second;
}

std::uint32_t AwkParser::array_slot(const std::string& name) {
    auto [it, inserted] = arrays_.try_emplace(name, static_cast<std::uint32_t>(program_.array_names.size()));
    if (inserted) program_.array_names.push_back(name);
    return it->second;
}

std::uint32_t AwkParser::regex_slot(const std::string& source) {
    auto [it, inserted] = regexes_.try_emplace(source, static_cast<std::uint32_t>(program_.regex_sources.size()));
    if (inserted) program_.regex_sources.push_back(source);
    return it->second;
}

bool AwkParser::eat(AwkTokenKind kind) {
    if (!peek_is(kind)) return false;
    ++pos_;
    return true;
}

void AwkParser::skip_newlines() {
    while (eat(K::Semicolon)) {
    }
}

AwkParser::R<void> AwkParser::expect(AwkTokenKind kind, std::string_view message) {
    if (eat(kind)) return {};
    return Fail(fmt::format("{}; found {}", message, awk_token_display(peek())));
}

bool AwkParser::at_statement_end() const { return peek_is(K::RBrace) || peek_is(K::Semicolon) || peek_is(K::Eof); }

AwkParser::R<void> AwkParser::enter() {
    if (depth_ >= kAwkMaxNesting) return Fail(std::string("program is nested too deeply"));
    ++depth_;
    return {};
}

AwkParser::R<AwkExprPtr> AwkParser::parse_guarded() {
    if (auto ok = enter(); !ok) return Fail(std::move(ok.error()));
    auto r = with_stack_headroom([&] { return parse_assignment(); });
    --depth_;
    return r;
}

AwkParser::R<AwkStmtPtr> AwkParser::parse_statement_guarded() {
    if (auto ok = enter(); !ok) return Fail(std::move(ok.error()));
    auto r = with_stack_headroom([&] { return parse_statement(); });
    --depth_;
    return r;
}

AwkParser::R<AwkExprPtr> AwkParser::parse_unary_guarded() {
    if (auto ok = enter(); !ok) return Fail(std::move(ok.error()));
    auto r = with_stack_headroom([&] { return parse_unary(); });
    --depth_;
    return r;
}

Result<AwkProgram, std::string> AwkParser::parse_program(std::vector<AwkToken> tokens) {
    AwkParser p(std::move(tokens));
    p.skip_newlines();
    while (!p.peek_is(K::Eof)) {
        AwkRule rule;
        if (p.eat(K::Begin)) {
            rule.pattern = AwkPatternKind::Begin;
        } else if (p.eat(K::End)) {
            rule.pattern = AwkPatternKind::End;
        } else if (!p.peek_is(K::LBrace)) {
            auto e = p.parse_guarded();
            if (!e) return std::unexpected(std::move(e.error()));
            rule.pattern = AwkPatternKind::Expr;
            rule.expr = std::move(*e);
        }
        p.skip_newlines();
        if (p.peek_is(K::LBrace)) {
            auto block = p.parse_statement_guarded();
            if (!block) return std::unexpected(std::move(block.error()));
            rule.action = std::move((*block)->body);
        } else {
            rule.action = default_action();
        }
        p.program_.rules.push_back(std::move(rule));
        p.skip_newlines();
    }
    if (p.program_.rules.empty()) return std::unexpected(std::string("empty program"));
    return std::move(p.program_);
}

AwkParser::R<AwkStmtPtr> AwkParser::parse_statement() {
    skip_newlines();
    if (eat(K::LBrace)) {
        auto block = statement(AwkStmtKind::Block);
        while (true) {
            // Separators before the closing brace are skipped, so a block may hold only line ends.
            skip_newlines();
            if (eat(K::RBrace)) break;
            if (peek_is(K::Eof)) return Fail(std::string("unterminated statement block"));
            auto s = parse_statement_guarded();
            if (!s) return s;
            block->body.push_back(std::move(*s));
        }
        return block;
    }
    if (eat(K::If)) {
        auto s = statement(AwkStmtKind::If);
        if (auto ok = expect(K::LParen, "expected '(' after if"); !ok) return Fail(std::move(ok.error()));
        auto cond = parse_guarded();
        if (!cond) return Fail(std::move(cond.error()));
        if (auto ok = expect(K::RParen, "expected ')' after if condition"); !ok) return Fail(std::move(ok.error()));
        auto then_branch = parse_statement_guarded();
        if (!then_branch) return then_branch;
        s->exprs.push_back(std::move(*cond));
        s->body.push_back(std::move(*then_branch));
        skip_newlines();
        if (eat(K::Else)) {
            auto else_branch = parse_statement_guarded();
            if (!else_branch) return else_branch;
            s->body.push_back(std::move(*else_branch));
        }
        return s;
    }
    if (eat(K::While)) {
        auto s = statement(AwkStmtKind::While);
        if (auto ok = expect(K::LParen, "expected '(' after while"); !ok) return Fail(std::move(ok.error()));
        auto cond = parse_guarded();
        if (!cond) return Fail(std::move(cond.error()));
        if (auto ok = expect(K::RParen, "expected ')' after while condition"); !ok)
            return Fail(std::move(ok.error()));
        auto body = parse_statement_guarded();
        if (!body) return body;
        s->exprs.push_back(std::move(*cond));
        s->body.push_back(std::move(*body));
        return s;
    }
    if (eat(K::For)) {
        if (auto ok = expect(K::LParen, "expected '(' after for"); !ok) return Fail(std::move(ok.error()));
        if (pos_ + 2 < tokens_.size() && tokens_[pos_].kind == K::Ident && tokens_[pos_ + 1].kind == K::In &&
            tokens_[pos_ + 2].kind == K::Ident) {
            auto s = statement(AwkStmtKind::ForIn);
            s->var = tokens_[pos_].text;
            s->array = tokens_[pos_ + 2].text;
            s->var_slot = scalar_slot(s->var);
            s->array_slot = array_slot(s->array);
            pos_ += 3;
            if (auto ok = expect(K::RParen, "expected ')' after for-in clause"); !ok)
                return Fail(std::move(ok.error()));
            auto body = parse_statement_guarded();
            if (!body) return body;
            s->body.push_back(std::move(*body));
            return s;
        }
        auto s = statement(AwkStmtKind::For);
        auto clause = [&](AwkTokenKind absent_at) -> R<AwkExprPtr> {
            if (peek_is(absent_at)) return AwkExprPtr{};
            return parse_guarded();
        };
        auto init = clause(K::Semicolon);
        if (!init) return Fail(std::move(init.error()));
        if (auto ok = expect(K::Semicolon, "expected ';' in for clause"); !ok) return Fail(std::move(ok.error()));
        auto cond = clause(K::Semicolon);
        if (!cond) return Fail(std::move(cond.error()));
        if (auto ok = expect(K::Semicolon, "expected second ';' in for clause"); !ok)
            return Fail(std::move(ok.error()));
        auto step = clause(K::RParen);
        if (!step) return Fail(std::move(step.error()));
        if (auto ok = expect(K::RParen, "expected ')' after for clause"); !ok) return Fail(std::move(ok.error()));
        auto body = parse_statement_guarded();
        if (!body) return body;
        s->exprs.push_back(std::move(*init));
        s->exprs.push_back(std::move(*cond));
        s->exprs.push_back(std::move(*step));
        s->body.push_back(std::move(*body));
        return s;
    }
    if (eat(K::Break)) return statement(AwkStmtKind::Break);
    if (eat(K::Continue)) return statement(AwkStmtKind::Continue);
    if (eat(K::Next)) return statement(AwkStmtKind::Next);
    if (eat(K::NextFile)) return statement(AwkStmtKind::NextFile);
    if (eat(K::Exit)) {
        auto s = statement(AwkStmtKind::Exit);
        if (!at_statement_end()) {
            auto code = parse_guarded();
            if (!code) return Fail(std::move(code.error()));
            s->exprs.push_back(std::move(*code));
        }
        return s;
    }
    if (eat(K::Delete)) {
        auto target = parse_guarded();
        if (!target) return Fail(std::move(target.error()));
        if ((*target)->kind != AwkExprKind::Index) return Fail(std::string("delete requires an array element"));
        auto s = statement(AwkStmtKind::Delete);
        s->exprs.push_back(std::move(*target));
        return s;
    }
    if (eat(K::Print) || peek_is(K::Printf)) {
        const bool formatted = eat(K::Printf);
        auto args = parse_print_args();
        if (!args) return Fail(std::move(args.error()));
        if (formatted && args->empty()) return Fail(std::string("printf requires a format expression"));
        auto s = statement(formatted ? AwkStmtKind::Printf : AwkStmtKind::Print);
        s->exprs = std::move(*args);
        return s;
    }
    auto e = parse_guarded();
    if (!e) return Fail(std::move(e.error()));
    auto s = statement(AwkStmtKind::ExprStmt);
    s->exprs.push_back(std::move(*e));
    return s;
}

AwkParser::R<std::vector<AwkExprPtr>> AwkParser::parse_print_args() {
    std::vector<AwkExprPtr> args;
    if (at_statement_end()) return args;
    const std::size_t start = pos_;
    bool parenthesized = eat(K::LParen);
    if (parenthesized && eat(K::RParen)) return args;
    while (true) {
        const std::size_t from = pos_;
        auto e = parse_guarded();
        if (!e) return Fail(std::move(e.error()));
        args.push_back(std::move(*e));
        if (!parenthesized) {
            int depth = 0;
            for (std::size_t i = from; i < pos_; ++i) {
                switch (tokens_[i].kind) {
                case K::LParen:
                case K::LBracket: ++depth; break;
                case K::RParen:
                case K::RBracket: depth = depth > 0 ? depth - 1 : 0; break;
                case K::Greater:
                    if (depth == 0) return Fail(std::string("output redirection is not supported"));
                    break;
                default: break;
                }
            }
            if (eat(K::Comma)) continue;
            return args;
        }
        if (eat(K::Comma)) continue;
        if (auto ok = expect(K::RParen, "expected ')' after output arguments"); !ok) return Fail(std::move(ok.error()));
        // A parenthesized first operand followed by more of an expression ("print (a) b") is an
        // unparenthesized argument list: read it again as one, so that nothing is dropped.
        if (!at_statement_end()) {
            pos_ = start;
            args.clear();
            parenthesized = false;
            continue;
        }
        return args;
    }
}

AwkParser::R<AwkExprPtr> AwkParser::parse_assignment() {
    auto left = parse_or();
    if (!left) return left;
    AwkAssignOp op;
    switch (peek().kind) {
    case K::Assign: op = AwkAssignOp::Set; break;
    case K::AddAssign: op = AwkAssignOp::Add; break;
    case K::SubAssign: op = AwkAssignOp::Sub; break;
    case K::MulAssign: op = AwkAssignOp::Mul; break;
    case K::DivAssign: op = AwkAssignOp::Div; break;
    case K::RemAssign: op = AwkAssignOp::Rem; break;
    default: return left;
    }
    if (!(*left)->is_lvalue()) return Fail(std::string("assignment target is not writable"));
    ++pos_;
    auto value = parse_guarded();
    if (!value) return value;
    auto e = node(AwkExprKind::Assign);
    e->op = static_cast<std::uint8_t>(op);
    e->kids.push_back(std::move(*left));
    e->kids.push_back(std::move(*value));
    return e;
}

AwkParser::R<AwkExprPtr> AwkParser::parse_level(R<AwkExprPtr> (AwkParser::*next)(), std::span<const OpEntry> table) {
    const std::size_t entry = depth_;
    auto left = (this->*next)();
    if (!left) return left;
    while (true) {
        if (depth_ >= kAwkMaxNesting) {
            depth_ = entry;
            return Fail(std::string("program is nested too deeply"));
        }
        ++depth_;
        const OpEntry* found = nullptr;
        for (const OpEntry& o : table) {
            if (peek_is(o.token)) {
                found = &o;
                break;
            }
        }
        if (!found) break;
        ++pos_;
        auto right = (this->*next)();
        if (!right) {
            depth_ = entry;
            return right;
        }
        left = infix(found->op, std::move(*left), std::move(*right));
        // "key in name": the array of that name.
        if (found->op == AwkInfixOp::In && (*left)->kids[1]->kind == AwkExprKind::Var)
            (*left)->slot = array_slot((*left)->kids[1]->text);
    }
    depth_ = entry;
    return left;
}

AwkParser::R<AwkExprPtr> AwkParser::parse_or() { return parse_level(&AwkParser::parse_and, kOrTable); }
AwkParser::R<AwkExprPtr> AwkParser::parse_and() { return parse_level(&AwkParser::parse_comparison, kAndTable); }
AwkParser::R<AwkExprPtr> AwkParser::parse_comparison() {
    return parse_level(&AwkParser::parse_concatenation, kComparisonTable);
}
AwkParser::R<AwkExprPtr> AwkParser::parse_additive() {
    return parse_level(&AwkParser::parse_multiplicative, kAdditiveTable);
}
AwkParser::R<AwkExprPtr> AwkParser::parse_multiplicative() {
    return parse_level(&AwkParser::parse_unary_guarded, kMultiplicativeTable);
}

AwkParser::R<AwkExprPtr> AwkParser::parse_concatenation() {
    const std::size_t entry = depth_;
    auto left = parse_additive();
    if (!left) return left;
    while (true) {
        if (depth_ >= kAwkMaxNesting) {
            depth_ = entry;
            return Fail(std::string("program is nested too deeply"));
        }
        ++depth_;
        switch (peek().kind) {
        case K::Ident:
        case K::Number:
        case K::String:
        case K::Regex:
        case K::LParen:
        case K::Dollar:
        case K::Plus:
        case K::Minus:
        case K::PlusPlus:
        case K::MinusMinus:
        case K::Not: break;
        default: depth_ = entry; return left;
        }
        auto right = parse_additive();
        if (!right) {
            depth_ = entry;
            return right;
        }
        left = infix(AwkInfixOp::Concat, std::move(*left), std::move(*right));
    }
}

AwkParser::R<AwkExprPtr> AwkParser::parse_unary() {
    auto unary = [&](AwkUnaryOp op) -> R<AwkExprPtr> {
        auto operand = parse_unary_guarded();
        if (!operand) return operand;
        auto e = node(AwkExprKind::Unary);
        e->op = static_cast<std::uint8_t>(op);
        e->kids.push_back(std::move(*operand));
        return e;
    };
    if (eat(K::Not)) return unary(AwkUnaryOp::Not);
    if (eat(K::Plus)) return unary(AwkUnaryOp::Plus);
    if (eat(K::Minus)) return unary(AwkUnaryOp::Negate);
    auto incdec = [&](AwkExprPtr target, bool prefix, std::int8_t delta) -> R<AwkExprPtr> {
        if (!target->is_lvalue()) return Fail(std::string("increment target is not writable"));
        auto e = node(AwkExprKind::IncDec);
        e->prefix = prefix;
        e->delta = delta;
        e->kids.push_back(std::move(target));
        return e;
    };
    if (peek_is(K::PlusPlus) || peek_is(K::MinusMinus)) {
        const std::int8_t delta = peek_is(K::PlusPlus) ? 1 : -1;
        ++pos_;
        auto target = parse_primary();
        if (!target) return target;
        return incdec(std::move(*target), true, delta);
    }
    auto e = parse_primary();
    if (!e) return e;
    if (peek_is(K::PlusPlus) || peek_is(K::MinusMinus)) {
        const std::int8_t delta = peek_is(K::PlusPlus) ? 1 : -1;
        ++pos_;
        return incdec(std::move(*e), false, delta);
    }
    return e;
}

AwkParser::R<AwkExprPtr> AwkParser::parse_primary() {
    if (eat(K::Dollar)) {
        auto operand = parse_unary_guarded();
        if (!operand) return operand;
        auto e = node(AwkExprKind::Field);
        e->kids.push_back(std::move(*operand));
        return e;
    }
    AwkToken& t = tokens_[pos_];
    AwkExprPtr e;
    switch (t.kind) {
    case K::Ident:
        ++pos_;
        e = node(AwkExprKind::Var);
        e->text = t.text;
        e->slot = scalar_slot(t.text);
        break;
    case K::Number:
        ++pos_;
        e = node(AwkExprKind::Num);
        e->number = t.number;
        e->text = awk_format_number(t.number);
        break;
    case K::String:
        ++pos_;
        e = node(AwkExprKind::Str);
        e->text = t.text;
        break;
    case K::Regex:
        ++pos_;
        e = node(AwkExprKind::Regex);
        e->text = t.text;
        e->slot = regex_slot(t.text);
        break;
    case K::LParen: {
        ++pos_;
        auto inner = parse_guarded();
        if (!inner) return inner;
        if (auto ok = expect(K::RParen, "expected ')' after expression"); !ok) return Fail(std::move(ok.error()));
        e = std::move(*inner);
        break;
    }
    default: {
        ++pos_;
        return Fail(fmt::format("expected expression, found {}", awk_token_display(t)));
    }
    }
    while (true) {
        if (eat(K::LParen)) {
            if (e->kind != AwkExprKind::Var) return Fail(std::string("only named functions can be called"));
            auto args = parse_list(K::RParen);
            if (!args) return Fail(std::move(args.error()));
            auto call = node(AwkExprKind::Call);
            call->text = std::move(e->text);
            call->builtin = builtin_of(call->text);
            call->kids = std::move(*args);
            // split's second argument names an array.
            if (call->builtin == AwkBuiltin::Split && call->kids.size() >= 2 &&
                call->kids[1]->kind == AwkExprKind::Var)
                call->slot = array_slot(call->kids[1]->text);
            e = std::move(call);
        } else if (eat(K::LBracket)) {
            if (e->kind != AwkExprKind::Var) return Fail(std::string("only named arrays can be indexed"));
            auto subs = parse_list(K::RBracket);
            if (!subs) return Fail(std::move(subs.error()));
            if (subs->empty()) return Fail(std::string("array index cannot be empty"));
            auto index = node(AwkExprKind::Index);
            index->slot = array_slot(e->text);
            index->text = std::move(e->text);
            index->kids = std::move(*subs);
            e = std::move(index);
        } else {
            return e;
        }
    }
}

AwkParser::R<std::vector<AwkExprPtr>> AwkParser::parse_list(AwkTokenKind close) {
    std::vector<AwkExprPtr> items;
    if (eat(close)) return items;
    while (true) {
        auto e = parse_guarded();
        if (!e) return Fail(std::move(e.error()));
        items.push_back(std::move(*e));
        if (!eat(K::Comma)) break;
    }
    if (auto ok = expect(close, "unterminated argument or index list"); !ok) return Fail(std::move(ok.error()));
    return items;
}

}  // namespace tw
