#include "python/front/ast.h"

#include <charconv>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "base/panic.h"
#include "base/stack.h"

namespace tw {

// ---------------------------------------------------------------------------------------------
// Operators

std::string_view operator_text(BinaryOperator op) {
    static constexpr std::string_view kTexts[] = {"+", "-", "*", "@", "**", "/", "//",
                                                  "%", "<<", ">>", "&", "^", "|"};
    return kTexts[static_cast<std::size_t>(op)];
}

std::string_view operator_text(UnaryOperator op) {
    static constexpr std::string_view kTexts[] = {"+", "-", "~", "not"};
    return kTexts[static_cast<std::size_t>(op)];
}

std::string_view operator_text(BoolOperator op) { return op == BoolOperator::And ? "and" : "or"; }

std::string_view operator_text(CompareOperator op) {
    static constexpr std::string_view kTexts[] = {"==", "!=", "<", "<=", ">",
                                                  ">=", "in", "not in", "is", "is not"};
    return kTexts[static_cast<std::size_t>(op)];
}

bool Stmt::is_compound() const {
    switch (kind()) {
    case StmtKind::If:
    case StmtKind::While:
    case StmtKind::For:
    case StmtKind::AsyncFor:
    case StmtKind::FunctionDef:
    case StmtKind::ClassDef:
    case StmtKind::Decorated:
    case StmtKind::Try:
    case StmtKind::With:
    case StmtKind::AsyncWith:
        return true;
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// The tree

std::string_view PyModuleTree::text(TextId id) const {
    const TextRef& r = text_refs_table_[index(id)];
    return std::string_view(text_pool_).substr(r.offset, r.length);
}

std::size_t PyModuleTree::modeled_size() const {
    auto bytes = [](const auto& v) { return v.size() * sizeof(v[0]); };
    return sizeof(PyModuleTree) + bytes(stmts_) + bytes(exprs_) + bytes(targets_) + bytes(constants_) +
           text_pool_.size() + bytes(text_refs_table_) + bytes(stmt_refs_) + bytes(expr_refs_) +
           bytes(target_refs_) + bytes(text_refs_) + bytes(params_) + bytes(call_args_) +
           bytes(comprehensions_) + bytes(dict_items_) + bytes(fstring_parts_) + bytes(handlers_) +
           bytes(aliases_) + bytes(comparisons_);
}

// ---------------------------------------------------------------------------------------------
// The builder

// Ids are 32-bit and the all-ones value means "absent".
std::uint32_t PyTreeBuilder::next_index(std::size_t size, std::size_t adding) {
    constexpr std::size_t kMaxTableEntries = 0xFFFFFFFEu;
    if (size > kMaxTableEntries || adding > kMaxTableEntries - size)
        panic("python syntax tree table is full");
    return static_cast<std::uint32_t>(size);
}

StmtId PyTreeBuilder::add(Stmt s) {
    StmtId id{next_index(tree_.stmts_.size())};
    tree_.stmts_.push_back(std::move(s));
    return id;
}

ExprId PyTreeBuilder::add(Expr e) {
    ExprId id{next_index(tree_.exprs_.size())};
    tree_.exprs_.push_back(std::move(e));
    return id;
}

TargetId PyTreeBuilder::add(Target t) {
    TargetId id{next_index(tree_.targets_.size())};
    tree_.targets_.push_back(std::move(t));
    return id;
}

ConstId PyTreeBuilder::add(AstConstant c) {
    ConstId id{next_index(tree_.constants_.size())};
    tree_.constants_.push_back(c);
    return id;
}

TextId PyTreeBuilder::add_text(std::string_view text) {
    TextId id{next_index(tree_.text_refs_table_.size())};
    std::size_t offset = tree_.text_pool_.size();
    if (offset > 0xFFFFFFFFu || text.size() > 0xFFFFFFFFu - offset)
        panic("python syntax tree text pool is full");
    tree_.text_pool_.append(text);
    tree_.text_refs_table_.push_back({static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(text.size())});
    return id;
}

TextId PyTreeBuilder::intern(std::string_view text) {
    auto it = interned_.find(text);
    if (it != interned_.end())
        return it->second;
    TextId id = add_text(text);
    interned_.emplace(std::string(text), id);
    return id;
}

ExprId PyTreeBuilder::add_constant_expr(AstConstant c, SourceSpan span) {
    ConstId k = add(c);
    return add(Expr{Expr::Constant{k}, span});
}

PyModuleTree PyTreeBuilder::finish(StmtList body) {
    tree_.body_ = body;
    PyModuleTree out = std::move(tree_);
    tree_ = PyModuleTree{};
    interned_.clear();
    return out;
}

// ---------------------------------------------------------------------------------------------
// Copying subtrees between trees

namespace {

class SubtreeCopier {
public:
    SubtreeCopier(PyTreeBuilder& b, const PyModuleTree& src) : b_(b), src_(src) {}

    TextId ident(TextId t) { return present(t) ? b_.intern(src_.text(t)) : kNoText; }
    TextId literal(TextId t) { return present(t) ? b_.add_text(src_.text(t)) : kNoText; }

    ExprId opt(ExprId e) { return present(e) ? expr(e) : kNoExpr; }
    TargetId opt(TargetId t) { return present(t) ? target(t) : kNoTarget; }

    // Copies a list of the source tree into the builder, rewriting each element with `fix`.
    template <class T, class Fix>
    NodeList<T> remap(NodeList<T> l, Fix fix) {
        std::vector<T> v(src_.list(l).begin(), src_.list(l).end());
        for (auto& x : v) fix(x);
        return b_.list(v);
    }

    ExprList exprs(ExprList l) { return remap(l, [&](ExprId& e) { e = expr(e); }); }
    StmtList stmts(StmtList l) { return remap(l, [&](StmtId& x) { x = stmt(x); }); }
    TargetList targets(TargetList l) { return remap(l, [&](TargetId& t) { t = target(t); }); }
    TextList idents(TextList l) { return remap(l, [&](TextId& t) { t = ident(t); }); }
    NodeList<Parameter> params(NodeList<Parameter> l) {
        return remap(l, [&](Parameter& p) {
            p.name = ident(p.name);
            p.default_value = opt(p.default_value);
        });
    }
    NodeList<CallArg> args(NodeList<CallArg> l) {
        return remap(l, [&](CallArg& a) {
            a.name = ident(a.name);
            a.value = expr(a.value);
        });
    }
    NodeList<Comprehension> clauses(NodeList<Comprehension> l) {
        return remap(l, [&](Comprehension& c) {
            c.target = target(c.target);
            c.iter = expr(c.iter);
            c.ifs = exprs(c.ifs);
        });
    }
    NodeList<DictItem> items(NodeList<DictItem> l) {
        return remap(l, [&](DictItem& i) {
            i.key = opt(i.key);
            i.value = expr(i.value);
        });
    }
    NodeList<FStringPart> parts(NodeList<FStringPart> l) {
        return remap(l, [&](FStringPart& p) {
            p.text = literal(p.text);
            p.expr = opt(p.expr);
        });
    }
    NodeList<ExceptClause> handlers(NodeList<ExceptClause> l) {
        return remap(l, [&](ExceptClause& h) {
            h.type = opt(h.type);
            h.name = ident(h.name);
            h.body = stmts(h.body);
        });
    }
    NodeList<ImportAlias> aliases(NodeList<ImportAlias> l) {
        return remap(l, [&](ImportAlias& a) {
            a.path = ident(a.path);
            a.bind = ident(a.bind);
        });
    }
    NodeList<Comparison> comparisons(NodeList<Comparison> l) {
        return remap(l, [&](Comparison& c) { c.value = expr(c.value); });
    }

    ConstId constant(ConstId k) {
        AstConstant c = src_.constant(k);
        c.text = literal(c.text);
        return b_.add(c);
    }

    TargetId target(TargetId id) {
        return with_stack_headroom([&] {
            Target t = src_.target(id);
            std::visit(
                [&](auto& n) {
                    using N = std::decay_t<decltype(n)>;
                    if constexpr (std::is_same_v<N, Target::Name>) {
                        n.id = ident(n.id);
                    } else if constexpr (std::is_same_v<N, Target::Starred>) {
                        n.target = target(n.target);
                    } else if constexpr (std::is_same_v<N, Target::Tuple>) {
                        n.elts = targets(n.elts);
                    } else if constexpr (std::is_same_v<N, Target::Attribute>) {
                        n.value = expr(n.value);
                        n.attr = ident(n.attr);
                    } else {
                        n.value = expr(n.value);
                        n.index = expr(n.index);
                    }
                },
                t.node);
            return b_.add(std::move(t));
        });
    }

    ExprId expr(ExprId id) {
        return with_stack_headroom([&] {
            Expr e = src_.expr(id);
            std::visit([&](auto& n) { copy_expr_node(n); }, e.node);
            return b_.add(std::move(e));
        });
    }

    StmtId stmt(StmtId id) {
        return with_stack_headroom([&] {
            Stmt s = src_.stmt(id);
            std::visit([&](auto& n) { copy_stmt_node(n); }, s.node);
            return b_.add(std::move(s));
        });
    }

private:
    void copy_expr_node(Expr::Constant& n) { n.value = constant(n.value); }
    void copy_expr_node(Expr::JoinedStr& n) { n.parts = parts(n.parts); }
    void copy_expr_node(Expr::Starred& n) { n.value = expr(n.value); }
    void copy_expr_node(Expr::Name& n) { n.id = ident(n.id); }
    void copy_expr_node(Expr::NamedExpr& n) {
        n.target = ident(n.target);
        n.value = expr(n.value);
    }
    void copy_expr_node(Expr::List& n) { n.elts = exprs(n.elts); }
    void copy_expr_node(Expr::Tuple& n) { n.elts = exprs(n.elts); }
    void copy_expr_node(Expr::Dict& n) { n.items = items(n.items); }
    void copy_expr_node(Expr::Set& n) { n.elts = exprs(n.elts); }
    void copy_expr_node(Expr::ListComp& n) {
        n.elt = expr(n.elt);
        n.generators = clauses(n.generators);
    }
    void copy_expr_node(Expr::SetComp& n) {
        n.elt = expr(n.elt);
        n.generators = clauses(n.generators);
    }
    void copy_expr_node(Expr::DictComp& n) {
        n.key = expr(n.key);
        n.value = expr(n.value);
        n.generators = clauses(n.generators);
    }
    void copy_expr_node(Expr::GeneratorExp& n) {
        n.elt = expr(n.elt);
        n.generators = clauses(n.generators);
    }
    void copy_expr_node(Expr::Yield& n) { n.value = opt(n.value); }
    void copy_expr_node(Expr::YieldFrom& n) { n.value = expr(n.value); }
    void copy_expr_node(Expr::Await& n) { n.value = expr(n.value); }
    void copy_expr_node(Expr::Attribute& n) {
        n.value = expr(n.value);
        n.attr = ident(n.attr);
    }
    void copy_expr_node(Expr::Subscript& n) {
        n.value = expr(n.value);
        n.index = expr(n.index);
    }
    void copy_expr_node(Expr::Slice& n) {
        n.lower = opt(n.lower);
        n.upper = opt(n.upper);
        n.step = opt(n.step);
    }
    void copy_expr_node(Expr::Call& n) {
        n.func = expr(n.func);
        n.args = args(n.args);
    }
    void copy_expr_node(Expr::Lambda& n) {
        n.params = params(n.params);
        n.body = expr(n.body);
    }
    void copy_expr_node(Expr::UnaryOp& n) { n.operand = expr(n.operand); }
    void copy_expr_node(Expr::BinaryOp& n) {
        n.left = expr(n.left);
        n.right = expr(n.right);
    }
    void copy_expr_node(Expr::IfExp& n) {
        n.test = expr(n.test);
        n.body = expr(n.body);
        n.orelse = expr(n.orelse);
    }
    void copy_expr_node(Expr::BoolOp& n) {
        n.left = expr(n.left);
        n.right = expr(n.right);
    }
    void copy_expr_node(Expr::Compare& n) {
        n.left = expr(n.left);
        n.comparators = comparisons(n.comparators);
    }

    void copy_stmt_node(Stmt::Import& n) { n.names = aliases(n.names); }
    void copy_stmt_node(Stmt::ImportFrom& n) {
        n.module = ident(n.module);
        n.names = aliases(n.names);
    }
    void copy_stmt_node(Stmt::ImportStar& n) { n.module = ident(n.module); }
    void copy_stmt_node(Stmt::Assign& n) {
        n.targets = targets(n.targets);
        n.value = expr(n.value);
    }
    void copy_stmt_node(Stmt::AugAssign& n) {
        n.target = target(n.target);
        n.value = expr(n.value);
    }
    void copy_stmt_node(Stmt::Delete& n) { n.target = target(n.target); }
    void copy_stmt_node(Stmt::Expr& n) { n.value = expr(n.value); }
    void copy_stmt_node(Stmt::If& n) {
        n.test = expr(n.test);
        n.body = stmts(n.body);
        n.orelse = stmts(n.orelse);
    }
    void copy_stmt_node(Stmt::While& n) {
        n.test = expr(n.test);
        n.body = stmts(n.body);
        n.orelse = stmts(n.orelse);
    }
    void copy_stmt_node(Stmt::For& n) {
        n.target = target(n.target);
        n.iter = expr(n.iter);
        n.body = stmts(n.body);
        n.orelse = stmts(n.orelse);
    }
    void copy_stmt_node(Stmt::AsyncFor& n) {
        n.target = target(n.target);
        n.iter = expr(n.iter);
        n.body = stmts(n.body);
        n.orelse = stmts(n.orelse);
    }
    void copy_stmt_node(Stmt::FunctionDef& n) {
        n.name = ident(n.name);
        n.params = params(n.params);
        n.body = stmts(n.body);
    }
    void copy_stmt_node(Stmt::ClassDef& n) {
        n.name = ident(n.name);
        n.bases = exprs(n.bases);
        n.metaclass = opt(n.metaclass);
        n.body = stmts(n.body);
    }
    void copy_stmt_node(Stmt::Decorated& n) {
        n.decorators = exprs(n.decorators);
        n.definition = stmt(n.definition);
    }
    void copy_stmt_node(Stmt::AnnAssign& n) {
        n.target = target(n.target);
        n.value = opt(n.value);
    }
    void copy_stmt_node(Stmt::Return& n) { n.value = opt(n.value); }
    void copy_stmt_node(Stmt::Break&) {}
    void copy_stmt_node(Stmt::Continue&) {}
    void copy_stmt_node(Stmt::Global& n) { n.names = idents(n.names); }
    void copy_stmt_node(Stmt::Nonlocal& n) { n.names = idents(n.names); }
    void copy_stmt_node(Stmt::Pass&) {}
    void copy_stmt_node(Stmt::Assert& n) {
        n.test = expr(n.test);
        n.msg = opt(n.msg);
    }
    void copy_stmt_node(Stmt::Try& n) {
        n.body = stmts(n.body);
        n.handlers = handlers(n.handlers);
        n.orelse = stmts(n.orelse);
        n.finalbody = stmts(n.finalbody);
    }
    void copy_stmt_node(Stmt::Raise& n) {
        n.exc = opt(n.exc);
        n.cause = opt(n.cause);
    }
    void copy_stmt_node(Stmt::With& n) {
        n.ctx = expr(n.ctx);
        n.target = opt(n.target);
        n.body = stmts(n.body);
    }
    void copy_stmt_node(Stmt::AsyncWith& n) {
        n.ctx = expr(n.ctx);
        n.target = opt(n.target);
        n.body = stmts(n.body);
    }

    PyTreeBuilder& b_;
    const PyModuleTree& src_;
};

}  // namespace

ExprId PyTreeBuilder::copy_expr_from(const PyModuleTree& source, ExprId id) {
    return SubtreeCopier(*this, source).expr(id);
}

StmtId PyTreeBuilder::copy_stmt_from(const PyModuleTree& source, StmtId id) {
    return SubtreeCopier(*this, source).stmt(id);
}

// ---------------------------------------------------------------------------------------------
// Dump

namespace {

constexpr std::string_view kBinaryNames[] = {"Add", "Sub", "Mult", "MatMult", "Pow", "Div", "FloorDiv",
                                             "Mod", "LShift", "RShift", "BitAnd", "BitXor", "BitOr"};
constexpr std::string_view kUnaryNames[] = {"UAdd", "USub", "Invert", "Not"};
constexpr std::string_view kCompareNames[] = {"Eq", "NotEq", "Lt", "LtE", "Gt", "GtE", "In", "NotIn", "Is", "IsNot"};

}  // namespace

// Python's repr of a float: the shortest digits that read back, positional notation for
// decimal exponents from -4 to 15, scientific otherwise.
std::string py_float_repr(double v) {
    if (std::isnan(v))
        return "nan";
    if (std::isinf(v))
        return v < 0 ? "-inf" : "inf";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
    std::string sign;
    if (!s.empty() && s[0] == '-') {
        sign = "-";
        s.remove_prefix(1);
    }
    auto epos = s.find('e');
    std::string digits;
    for (char c : s.substr(0, epos))
        if (c != '.')
            digits += c;
    int exp = std::stoi(std::string(s.substr(epos + 1)));
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::string out;
    if (exp >= -4 && exp < 16) {
        if (exp < 0) {
            out = "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
        } else if (static_cast<std::size_t>(exp) + 1 >= digits.size()) {
            out = digits + std::string(static_cast<std::size_t>(exp) + 1 - digits.size(), '0') + ".0";
        } else {
            out = digits.substr(0, static_cast<std::size_t>(exp) + 1) + "." + digits.substr(static_cast<std::size_t>(exp) + 1);
        }
    } else {
        out = digits.substr(0, 1);
        if (digits.size() > 1)
            out += "." + digits.substr(1);
        out += fmt::format("e{}{:02}", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
    }
    return sign + out;
}

std::string py_quote_text(std::string_view text, bool bytes) {
    bool has_single = text.find('\'') != std::string_view::npos;
    bool has_double = text.find('"') != std::string_view::npos;
    char q = has_single && !has_double ? '"' : '\'';
    std::string out;
    if (bytes)
        out += 'b';
    out += q;
    for (unsigned char c : text) {
        if (c == static_cast<unsigned char>(q) || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f || (bytes && c >= 0x80)) {
            out += fmt::format("\\x{:02x}", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    out += q;
    return out;
}

namespace {

class Dumper {
public:
    explicit Dumper(const PyModuleTree& t) : t_(t) {}

    std::string out;

    void text(TextId id) {
        if (present(id))
            out += t_.text(id);
        else
            out += '-';
    }

    void constant(ConstId k) {
        const AstConstant& c = t_.constant(k);
        switch (c.kind) {
        case ConstantKind::None: out += "None"; break;
        case ConstantKind::Ellipsis: out += "..."; break;
        case ConstantKind::Bool: out += c.flag ? "True" : "False"; break;
        case ConstantKind::Int: out += fmt::format("{}", c.int_value); break;
        case ConstantKind::BigInt: out += t_.text(c.text); break;
        case ConstantKind::Float: out += py_float_repr(c.float_value); break;
        case ConstantKind::Imaginary: {
            // Python writes whole imaginary parts without ".0": 2j, 1.5j.
            std::string r = py_float_repr(c.float_value);
            if (r.ends_with(".0"))
                r.resize(r.size() - 2);
            out += r + "j";
            break;
        }
        case ConstantKind::Str: out += py_quote_text(t_.text(c.text), false); break;
        case ConstantKind::Bytes: out += py_quote_text(t_.text(c.text), true); break;
        }
    }

    template <class L, class F>
    void each(L l, F&& f) {
        out += '[';
        bool first = true;
        for (const auto& item : t_.list(l)) {
            if (!first)
                out += ", ";
            first = false;
            f(item);
        }
        out += ']';
    }

    void exprs(ExprList l) { each(l, [&](ExprId e) { expr(e); }); }
    void stmts(StmtList l) { each(l, [&](StmtId s) { stmt(s); }); }

    void opt(ExprId e) {
        if (present(e))
            expr(e);
        else
            out += '-';
    }

    void params(NodeList<Parameter> l) {
        each(l, [&](const Parameter& p) {
            switch (p.kind) {
            case ParamKind::PositionalOnly: out += "pos:"; break;
            case ParamKind::PositionalOrKeyword: break;
            case ParamKind::VarPositional: out += '*'; break;
            case ParamKind::KeywordOnly: out += "kw:"; break;
            case ParamKind::VarKeyword: out += "**"; break;
            }
            text(p.name);
            if (present(p.default_value)) {
                out += '=';
                expr(p.default_value);
            }
        });
    }

    void clauses(NodeList<Comprehension> l) {
        each(l, [&](const Comprehension& c) {
            out += "for ";
            target(c.target);
            out += " in ";
            expr(c.iter);
            for (ExprId cond : t_.list(c.ifs)) {
                out += " if ";
                expr(cond);
            }
        });
    }

    void target(TargetId id) {
        with_stack_headroom([&] {
            if (!present(id)) {
                out += '-';
                return;
            }
            std::visit([&](const auto& n) { target_node(n); }, t_.target(id).node);
        });
    }

    void expr(ExprId id) {
        with_stack_headroom([&] { std::visit([&](const auto& n) { expr_node(n); }, t_.expr(id).node); });
    }

    void stmt(StmtId id) {
        with_stack_headroom([&] { std::visit([&](const auto& n) { stmt_node(n); }, t_.stmt(id).node); });
    }

private:
    void target_node(const Target::Name& n) {
        out += "Name(";
        text(n.id);
        out += ')';
    }
    void target_node(const Target::Starred& n) {
        out += "Starred(";
        target(n.target);
        out += ')';
    }
    void target_node(const Target::Tuple& n) {
        out += "Tuple(";
        each(n.elts, [&](TargetId t) { target(t); });
        out += ')';
    }
    void target_node(const Target::Attribute& n) {
        out += "Attribute(";
        expr(n.value);
        out += ", ";
        text(n.attr);
        out += ')';
    }
    void target_node(const Target::Subscript& n) {
        out += "Subscript(";
        expr(n.value);
        out += ", ";
        expr(n.index);
        out += ')';
    }

    void open(std::string_view kind) {
        out += kind;
        out += '(';
    }
    void sep() { out += ", "; }
    void close() { out += ')'; }

    void expr_node(const Expr::Constant& n) {
        open("Constant");
        constant(n.value);
        close();
    }
    void expr_node(const Expr::JoinedStr& n) {
        open("JoinedStr");
        each(n.parts, [&](const FStringPart& p) {
            if (p.kind == FStringPart::Kind::Text) {
                out += py_quote_text(t_.text(p.text), false);
                return;
            }
            out += '{';
            expr(p.expr);
            if (p.kind == FStringPart::Kind::FormattedField) {
                if (p.conversion != 0) {
                    out += '!';
                    out += p.conversion;
                }
                out += ':';
                if (present(p.text))
                    out += t_.text(p.text);
            }
            out += '}';
        });
        close();
    }
    void expr_node(const Expr::Starred& n) {
        open("Starred");
        expr(n.value);
        close();
    }
    void expr_node(const Expr::Name& n) {
        open("Name");
        text(n.id);
        close();
    }
    void expr_node(const Expr::NamedExpr& n) {
        open("NamedExpr");
        text(n.target);
        sep();
        expr(n.value);
        close();
    }
    void expr_node(const Expr::List& n) {
        open("List");
        exprs(n.elts);
        close();
    }
    void expr_node(const Expr::Tuple& n) {
        open("Tuple");
        exprs(n.elts);
        close();
    }
    void expr_node(const Expr::Dict& n) {
        open("Dict");
        each(n.items, [&](const DictItem& i) {
            if (present(i.key)) {
                expr(i.key);
                out += ": ";
            } else {
                out += "**";
            }
            expr(i.value);
        });
        close();
    }
    void expr_node(const Expr::Set& n) {
        open("Set");
        exprs(n.elts);
        close();
    }
    void expr_node(const Expr::ListComp& n) {
        open("ListComp");
        expr(n.elt);
        sep();
        clauses(n.generators);
        close();
    }
    void expr_node(const Expr::SetComp& n) {
        open("SetComp");
        expr(n.elt);
        sep();
        clauses(n.generators);
        close();
    }
    void expr_node(const Expr::DictComp& n) {
        open("DictComp");
        expr(n.key);
        out += ": ";
        expr(n.value);
        sep();
        clauses(n.generators);
        close();
    }
    void expr_node(const Expr::GeneratorExp& n) {
        open("GeneratorExp");
        expr(n.elt);
        sep();
        clauses(n.generators);
        close();
    }
    void expr_node(const Expr::Yield& n) {
        open("Yield");
        opt(n.value);
        close();
    }
    void expr_node(const Expr::YieldFrom& n) {
        open("YieldFrom");
        expr(n.value);
        close();
    }
    void expr_node(const Expr::Await& n) {
        open("Await");
        expr(n.value);
        close();
    }
    void expr_node(const Expr::Attribute& n) {
        open("Attribute");
        expr(n.value);
        sep();
        text(n.attr);
        close();
    }
    void expr_node(const Expr::Subscript& n) {
        open("Subscript");
        expr(n.value);
        sep();
        expr(n.index);
        close();
    }
    void expr_node(const Expr::Slice& n) {
        open("Slice");
        opt(n.lower);
        sep();
        opt(n.upper);
        sep();
        opt(n.step);
        close();
    }
    void expr_node(const Expr::Call& n) {
        open("Call");
        expr(n.func);
        sep();
        each(n.args, [&](const CallArg& a) {
            switch (a.kind) {
            case CallArg::Kind::Positional: break;
            case CallArg::Kind::Starred: out += '*'; break;
            case CallArg::Kind::DoubleStarred: out += "**"; break;
            case CallArg::Kind::Keyword:
                text(a.name);
                out += '=';
                break;
            }
            expr(a.value);
        });
        close();
    }
    void expr_node(const Expr::Lambda& n) {
        open("Lambda");
        params(n.params);
        sep();
        expr(n.body);
        close();
    }
    void expr_node(const Expr::UnaryOp& n) {
        open("UnaryOp");
        out += kUnaryNames[static_cast<std::size_t>(n.op)];
        sep();
        expr(n.operand);
        close();
    }
    void expr_node(const Expr::BinaryOp& n) {
        open("BinaryOp");
        out += kBinaryNames[static_cast<std::size_t>(n.op)];
        sep();
        expr(n.left);
        sep();
        expr(n.right);
        close();
    }
    void expr_node(const Expr::IfExp& n) {
        open("IfExp");
        expr(n.test);
        sep();
        expr(n.body);
        sep();
        expr(n.orelse);
        close();
    }
    void expr_node(const Expr::BoolOp& n) {
        open("BoolOp");
        out += n.op == BoolOperator::And ? "And" : "Or";
        sep();
        expr(n.left);
        sep();
        expr(n.right);
        close();
    }
    void expr_node(const Expr::Compare& n) {
        open("Compare");
        expr(n.left);
        sep();
        each(n.comparators, [&](const Comparison& c) {
            out += kCompareNames[static_cast<std::size_t>(c.op)];
            out += ' ';
            expr(c.value);
        });
        close();
    }

    void aliases(NodeList<ImportAlias> l) {
        each(l, [&](const ImportAlias& a) {
            text(a.path);
            out += " as ";
            text(a.bind);
        });
    }

    void stmt_node(const Stmt::Import& n) {
        open("Import");
        aliases(n.names);
        close();
    }
    void stmt_node(const Stmt::ImportFrom& n) {
        open("ImportFrom");
        text(n.module);
        sep();
        aliases(n.names);
        close();
    }
    void stmt_node(const Stmt::ImportStar& n) {
        open("ImportStar");
        text(n.module);
        close();
    }
    void stmt_node(const Stmt::Assign& n) {
        open("Assign");
        each(n.targets, [&](TargetId t) { target(t); });
        sep();
        expr(n.value);
        close();
    }
    void stmt_node(const Stmt::AugAssign& n) {
        open("AugAssign");
        out += kBinaryNames[static_cast<std::size_t>(n.op)];
        sep();
        target(n.target);
        sep();
        expr(n.value);
        close();
    }
    void stmt_node(const Stmt::Delete& n) {
        open("Delete");
        target(n.target);
        close();
    }
    void stmt_node(const Stmt::Expr& n) {
        open("Expr");
        expr(n.value);
        close();
    }
    void stmt_node(const Stmt::If& n) {
        open("If");
        expr(n.test);
        sep();
        stmts(n.body);
        sep();
        stmts(n.orelse);
        close();
    }
    void stmt_node(const Stmt::While& n) {
        open("While");
        expr(n.test);
        sep();
        stmts(n.body);
        sep();
        stmts(n.orelse);
        close();
    }
    template <class F>
    void for_node(std::string_view kind, const F& n) {
        open(kind);
        target(n.target);
        sep();
        expr(n.iter);
        sep();
        stmts(n.body);
        sep();
        stmts(n.orelse);
        close();
    }
    void stmt_node(const Stmt::For& n) { for_node("For", n); }
    void stmt_node(const Stmt::AsyncFor& n) { for_node("AsyncFor", n); }
    void stmt_node(const Stmt::FunctionDef& n) {
        open("FunctionDef");
        if (n.is_async)
            out += "async ";
        text(n.name);
        sep();
        params(n.params);
        sep();
        stmts(n.body);
        close();
    }
    void stmt_node(const Stmt::ClassDef& n) {
        open("ClassDef");
        text(n.name);
        sep();
        exprs(n.bases);
        sep();
        opt(n.metaclass);
        sep();
        stmts(n.body);
        close();
    }
    void stmt_node(const Stmt::Decorated& n) {
        open("Decorated");
        exprs(n.decorators);
        sep();
        stmt(n.definition);
        close();
    }
    void stmt_node(const Stmt::AnnAssign& n) {
        open("AnnAssign");
        target(n.target);
        sep();
        opt(n.value);
        close();
    }
    void stmt_node(const Stmt::Return& n) {
        open("Return");
        opt(n.value);
        close();
    }
    void stmt_node(const Stmt::Break&) { out += "Break"; }
    void stmt_node(const Stmt::Continue&) { out += "Continue"; }
    void stmt_node(const Stmt::Global& n) {
        open("Global");
        each(n.names, [&](TextId t) { text(t); });
        close();
    }
    void stmt_node(const Stmt::Nonlocal& n) {
        open("Nonlocal");
        each(n.names, [&](TextId t) { text(t); });
        close();
    }
    void stmt_node(const Stmt::Pass&) { out += "Pass"; }
    void stmt_node(const Stmt::Assert& n) {
        open("Assert");
        expr(n.test);
        sep();
        opt(n.msg);
        close();
    }
    void stmt_node(const Stmt::Try& n) {
        open("Try");
        stmts(n.body);
        sep();
        each(n.handlers, [&](const ExceptClause& h) {
            open("Handler");
            opt(h.type);
            sep();
            text(h.name);
            sep();
            stmts(h.body);
            close();
        });
        sep();
        stmts(n.orelse);
        sep();
        stmts(n.finalbody);
        close();
    }
    void stmt_node(const Stmt::Raise& n) {
        open("Raise");
        opt(n.exc);
        sep();
        opt(n.cause);
        close();
    }
    template <class W>
    void with_node(std::string_view kind, const W& n) {
        open(kind);
        expr(n.ctx);
        sep();
        target(n.target);
        sep();
        stmts(n.body);
        close();
    }
    void stmt_node(const Stmt::With& n) { with_node("With", n); }
    void stmt_node(const Stmt::AsyncWith& n) { with_node("AsyncWith", n); }

    const PyModuleTree& t_;
};

}  // namespace

std::string py_tree_dump(const PyModuleTree& tree) {
    Dumper d(tree);
    for (StmtId s : tree.list(tree.body())) {
        d.stmt(s);
        d.out += '\n';
    }
    return std::move(d.out);
}

std::string py_expr_dump(const PyModuleTree& tree, ExprId id) {
    Dumper d(tree);
    d.expr(id);
    return std::move(d.out);
}

std::string py_stmt_dump(const PyModuleTree& tree, StmtId id) {
    Dumper d(tree);
    d.stmt(id);
    return std::move(d.out);
}

}  // namespace tw
