#include "shell/parser.h"

#include <fmt/format.h>

#include <array>
#include <memory>
#include <utility>

#include "base/panic.h"
#include "base/stack.h"

namespace tw {

namespace {

using C = ShellCommand;
using Kind = ShellTokenKind;
// Nodes are built mutable (a `|&` still adds a redirection to the stage before it) and frozen
// into ShellCommandPtr when they become children.
using MutPtr = std::shared_ptr<ShellCommand>;

constexpr int kMaxDepth = 999;

template <class T>
MutPtr node(T value) {
    return std::make_shared<ShellCommand>(C::Node(std::move(value)));
}

std::vector<ShellCommandPtr> frozen(std::vector<MutPtr> nodes) {
    return {std::make_move_iterator(nodes.begin()), std::make_move_iterator(nodes.end())};
}

constexpr std::array<std::string_view, 19> kReservedWords = {
    "if", "then", "elif", "else", "fi",       "for", "while", "until", "do", "done",
    "case", "esac", "in", "function", "{", "}",   "!",     "[[",    "]]"};

bool is_list_terminator_word(std::string_view w) {
    return w == "then" || w == "elif" || w == "else" || w == "fi" || w == "do" || w == "done" ||
           w == "esac" || w == "}" || w == ")";
}

bool is_case_terminator(std::string_view op) { return op == ";;" || op == ";&" || op == ";;&"; }

bool is_redirection(Kind kind) {
    switch (kind) {
        case Kind::RedirectIn: case Kind::RedirectOut: case Kind::RedirectAppend:
        case Kind::HereDoc: case Kind::HereString: case Kind::DupOutput: case Kind::CloseOutput:
        case Kind::FdRedirect:
            return true;
        default:
            return false;
    }
}

std::string_view trim(std::string_view text) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

// Splits the text of `for ((init; condition; step))` at its first two top-level semicolons.
std::array<std::string, 3> split_arith_for(std::string_view text) {
    std::array<std::string_view, 3> parts{text, {}, {}};
    std::size_t part = 0, start = 0;
    int nesting = 0;
    char quote = 0;
    for (std::size_t i = 0; i < text.size() && part < 2; ++i) {
        char c = text[i];
        if (quote) {
            if (c == '\\' && quote != '\'') {
                ++i;
            } else if (c == quote) {
                quote = 0;
            }
            continue;
        }
        switch (c) {
            case '\\': ++i; break;
            case '\'': case '"': case '`': quote = c; break;
            case '(': case '[': case '{': ++nesting; break;
            case ')': case ']': case '}': --nesting; break;
            case ';':
                if (nesting == 0) {
                    parts[part] = text.substr(start, i - start);
                    start = i + 1;
                    parts[++part] = text.substr(start);
                }
                break;
            default: break;
        }
    }
    return {std::string(trim(parts[0])), std::string(trim(parts[1])), std::string(trim(parts[2]))};
}

class Parser {
public:
    explicit Parser(std::vector<ShellToken> tokens) : tokens_(std::move(tokens)) {}

    MutPtr parse_list();
    const ShellToken& cur() const { return pos_ < tokens_.size() ? tokens_[pos_] : end_; }
    void unexpected(std::string_view expected);

    std::optional<ShellParseError> error;

private:
    const ShellToken& at(std::size_t ahead) const {
        return pos_ + ahead < tokens_.size() ? tokens_[pos_ + ahead] : end_;
    }
    bool is_word(std::string_view w) const { return cur().kind == Kind::Word && cur().text == w; }
    bool is_op(std::string_view o) const { return cur().kind == Kind::Operator && cur().text == o; }
    void advance() { ++pos_; }
    void record(ShellParseError e) {
        if (!error) error = std::move(e);
    }

    void skip_separators() {
        while (is_op("\n") || is_op(";")) advance();
    }
    void skip_newlines() {
        while (is_op("\n")) advance();
    }
    void expect_keyword(std::string_view keyword);
    std::string expect_word();
    void expect_close();
    bool at_list_terminator() const;

    template <class F>
    MutPtr guarded(F&& parse);

    MutPtr parse_pipeline();
    MutPtr parse_command();
    MutPtr parse_if();
    MutPtr parse_for();
    MutPtr parse_loop();
    MutPtr parse_case();
    MutPtr parse_function_keyword();
    MutPtr parse_function_body(std::string name);
    MutPtr parse_simple();
    MutPtr trailing_redirections(MutPtr command);
    void read_redirection(std::vector<Redirection>& out);

    std::vector<ShellToken> tokens_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    ShellToken end_{};
};

template <class F>
MutPtr Parser::guarded(F&& parse) {
    if (depth_ > kMaxDepth) {
        record(ShellParseError::too_deep());
        return nullptr;
    }
    ++depth_;
    MutPtr result = with_stack_headroom(parse);
    --depth_;
    if (!result) record(ShellParseError::too_deep());
    return result;
}

void Parser::unexpected(std::string_view expected) {
    if (error) return;
    const ShellToken& t = cur();
    if (t.kind == Kind::End) {
        record(ShellParseError::unexpected_eof(std::string(expected)));
        return;
    }
    std::string found;
    switch (t.kind) {
        case Kind::Word:
        case Kind::Operator: found = fmt::format("`{}`", t.text); break;
        case Kind::RedirectIn: found = "`<`"; break;
        case Kind::RedirectOut: found = "`>`"; break;
        case Kind::RedirectAppend: found = "`>>`"; break;
        case Kind::HereDoc: found = "heredoc"; break;
        case Kind::ArithCommand: found = "arithmetic command"; break;
        case Kind::HereString: found = "here-string"; break;
        case Kind::DupOutput:
        case Kind::CloseOutput:
        case Kind::FdRedirect: found = "redirection"; break;
        case Kind::End: break;
    }
    record(ShellParseError::unexpected_token(std::move(found), std::string(expected)));
}

void Parser::expect_keyword(std::string_view keyword) {
    skip_separators();
    if (is_word(keyword))
        advance();
    else
        unexpected(fmt::format("`{}`", keyword));
}

std::string Parser::expect_word() {
    if (cur().kind == Kind::Word) {
        std::string text = cur().text;
        advance();
        return text;
    }
    unexpected("word");
    return {};
}

void Parser::expect_close() {
    if (is_op(")"))
        advance();
    else
        unexpected("`)`");
}

bool Parser::at_list_terminator() const {
    const ShellToken& t = cur();
    if (t.kind == Kind::Word) return is_list_terminator_word(t.text);
    return t.kind == Kind::Operator && (t.text == ")" || is_case_terminator(t.text));
}

MutPtr Parser::parse_list() {
    skip_separators();
    std::vector<MutPtr> items;
    while (!error && cur().kind != Kind::End && !is_op(")")) {
        std::size_t start = pos_;
        MutPtr item = guarded([&] { return parse_pipeline(); });
        if (error) return nullptr;
        // The and-or chain; each link counts one level of nesting until the chain ends.
        int links = 0;
        while (!error && cur().kind == Kind::Operator) {
            std::string op = cur().text;
            if (op != "&&" && op != "||" && op != "&") break;
            advance();
            if (depth_ > kMaxDepth) {
                record(ShellParseError::too_deep());
                break;
            }
            ++depth_;
            ++links;
            if (op == "&") {
                item = node(C::Background{std::move(item)});
                continue;
            }
            skip_newlines();
            MutPtr right = guarded([&] { return parse_pipeline(); });
            if (error) break;
            if (op == "&&")
                item = node(C::And{std::move(item), std::move(right)});
            else
                item = node(C::Or{std::move(item), std::move(right)});
        }
        depth_ -= links;
        if (error) return nullptr;
        items.push_back(std::move(item));
        if (pos_ == start) {
            unexpected("command");
            return nullptr;
        }
        skip_separators();
        if (at_list_terminator()) break;
    }
    if (error) return nullptr;
    if (items.size() == 1) return std::move(items.front());
    return node(C::List{frozen(std::move(items))});
}

MutPtr Parser::parse_pipeline() {
    if (is_word("time")) {
        advance();
        bool posix = false;
        if (is_word("-p")) {
            advance();
            posix = true;
        }
        MutPtr body;
        if (cur().kind == Kind::End || (cur().kind == Kind::Operator && cur().text != "(")) {
            body = node(C::List{});
        } else {
            body = guarded([&] { return parse_pipeline(); });
            if (error) return nullptr;
        }
        return node(C::Time{std::move(body), posix});
    }
    bool negate = false;
    if (is_word("!")) {
        advance();
        negate = true;
    }
    std::vector<MutPtr> stages;
    stages.push_back(guarded([&] { return parse_command(); }));
    if (error) return nullptr;
    while (is_op("|") || is_op("|&")) {
        if (cur().text == "|&") {
            // Standard error goes down the pipe too.
            Redirection dup{"&1", 2, RedirectKind::Duplicate};
            MutPtr& last = stages.back();
            if (auto* simple = std::get_if<C::Simple>(&last->node))
                simple->redirections.push_back(std::move(dup));
            else if (auto* redirected = std::get_if<C::Redirected>(&last->node))
                redirected->redirections.push_back(std::move(dup));
            else
                last = node(C::Redirected{{std::move(dup)}, std::move(last)});
        }
        advance();
        skip_newlines();
        stages.push_back(guarded([&] { return parse_command(); }));
        if (error) return nullptr;
    }
    MutPtr result = stages.size() == 1 ? std::move(stages.front())
                                       : node(C::Pipeline{frozen(std::move(stages))});
    if (negate) result = node(C::Not{std::move(result)});
    return result;
}

MutPtr Parser::parse_command() {
    skip_newlines();
    const ShellToken& t = cur();
    switch (t.kind) {
        case Kind::End:
            unexpected("command");
            return nullptr;
        case Kind::Operator:
            if (t.text == ")" || t.text == "|" || t.text == "&&" || t.text == "||") {
                unexpected("command");
                return nullptr;
            }
            if (t.text == "(") {
                advance();
                MutPtr body = parse_list();
                if (error) return nullptr;
                expect_close();
                if (error) return nullptr;
                return trailing_redirections(node(C::Subshell{std::move(body)}));
            }
            break;
        case Kind::ArithCommand: {
            std::string expression = t.text;
            advance();
            return trailing_redirections(node(C::Arith{std::move(expression)}));
        }
        case Kind::Word: {
            const std::string& w = t.text;
            if (w == "if") return trailing_redirections(parse_if());
            if (w == "for") return trailing_redirections(parse_for());
            if (w == "while" || w == "until") return trailing_redirections(parse_loop());
            if (w == "case") return trailing_redirections(parse_case());
            if (w == "function") return parse_function_keyword();
            if (w == "{") {
                advance();
                MutPtr body = parse_list();
                if (error) return nullptr;
                expect_keyword("}");
                if (error) return nullptr;
                return trailing_redirections(node(C::BraceGroup{std::move(body)}));
            }
            bool reserved = is_shell_reserved_word(w);
            if (!reserved && at(1).kind == Kind::Operator && at(1).text == "(" &&
                at(2).kind == Kind::Operator && at(2).text == ")") {
                std::string name = w;
                pos_ += 3;
                return parse_function_body(std::move(name));
            }
            if (reserved && w != "[[") {
                unexpected("command");
                return nullptr;
            }
            break;
        }
        default:
            break;
    }
    return parse_simple();
}

MutPtr Parser::parse_if() {
    advance();
    C::If result;
    result.condition = parse_list();
    if (error) return nullptr;
    expect_keyword("then");
    if (error) return nullptr;
    result.then_branch = parse_list();
    if (error) return nullptr;
    while (true) {
        skip_separators();
        if (is_word("elif")) {
            advance();
            MutPtr condition = parse_list();
            if (error) return nullptr;
            expect_keyword("then");
            if (error) return nullptr;
            MutPtr branch = parse_list();
            if (error) return nullptr;
            result.elif_branches.push_back(C::ElifBranch{std::move(condition), std::move(branch)});
        } else if (is_word("else")) {
            advance();
            result.else_branch = parse_list();
            if (error) return nullptr;
        } else {
            break;
        }
    }
    expect_keyword("fi");
    if (error) return nullptr;
    return node(std::move(result));
}

MutPtr Parser::parse_for() {
    if (at(1).kind == Kind::ArithCommand) {
        auto parts = split_arith_for(at(1).text);
        pos_ += 2;
        skip_separators();
        expect_keyword("do");
        if (error) return nullptr;
        MutPtr body = parse_list();
        if (error) return nullptr;
        expect_keyword("done");
        if (error) return nullptr;
        return node(C::ArithFor{std::move(parts[0]), std::move(parts[1]), std::move(parts[2]),
                                std::move(body)});
    }
    advance();
    C::For result;
    result.name = expect_word();
    if (error) return nullptr;
    skip_separators();
    if (is_word("in")) {
        advance();
        while (cur().kind == Kind::Word && !is_shell_reserved_word(cur().text)) {
            result.words.push_back(cur().text);
            advance();
        }
    } else {
        result.words.push_back("\"$@\"");
    }
    expect_keyword("do");
    if (error) return nullptr;
    result.body = parse_list();
    if (error) return nullptr;
    expect_keyword("done");
    if (error) return nullptr;
    return node(std::move(result));
}

MutPtr Parser::parse_loop() {
    bool until = cur().text == "until";
    advance();
    MutPtr condition = parse_list();
    if (error) return nullptr;
    expect_keyword("do");
    if (error) return nullptr;
    MutPtr body = parse_list();
    if (error) return nullptr;
    expect_keyword("done");
    if (error) return nullptr;
    return node(C::Loop{std::move(condition), std::move(body), until});
}

MutPtr Parser::parse_case() {
    advance();
    C::Case result;
    result.word = expect_word();
    if (error) return nullptr;
    expect_keyword("in");
    if (error) return nullptr;
    skip_separators();
    while (!is_word("esac") && cur().kind != Kind::End && !error) {
        std::size_t start = pos_;
        CaseArm arm;
        if (is_op("(")) advance();
        arm.patterns.push_back(expect_word());
        while (!error && is_op("|")) {
            advance();
            arm.patterns.push_back(expect_word());
        }
        expect_close();
        if (error) return nullptr;
        skip_separators();
        // An arm may be empty: directly followed by its terminator or by `esac`.
        if (!(cur().kind == Kind::Operator && is_case_terminator(cur().text)) && !is_word("esac")) {
            arm.body = parse_list();
            if (error) return nullptr;
        }
        skip_separators();
        if (is_op(";&"))
            arm.terminator = CaseTerminator::FallThrough;
        else if (is_op(";;&"))
            arm.terminator = CaseTerminator::Continue;
        if (cur().kind == Kind::Operator && is_case_terminator(cur().text)) advance();
        skip_separators();
        result.arms.push_back(std::move(arm));
        if (pos_ == start) {
            unexpected("case arm");
            return nullptr;
        }
    }
    expect_keyword("esac");
    if (error) return nullptr;
    return node(std::move(result));
}

MutPtr Parser::parse_function_keyword() {
    advance();
    std::string name = cur().kind == Kind::Word ? cur().text : std::string();
    advance();
    if (is_op("(")) {
        advance();
        expect_close();
        if (error) return nullptr;
    }
    return parse_function_body(std::move(name));
}

MutPtr Parser::parse_function_body(std::string name) {
    skip_newlines();
    MutPtr body = guarded([&] { return parse_command(); });
    if (error) return nullptr;
    return node(C::FunctionDef{std::move(name), std::move(body)});
}

MutPtr Parser::parse_simple() {
    C::Simple result;
    while (cur().kind == Kind::Word && is_assignment_word(cur().text)) {
        const std::string& text = cur().text;
        std::size_t eq = text.find('=');
        result.assignments.push_back(Assignment{text.substr(0, eq), text.substr(eq + 1)});
        advance();
    }
    while (!error) {
        const ShellToken& t = cur();
        if (t.kind == Kind::Word) {
            if (result.words.empty() && t.text != "[[" && is_shell_reserved_word(t.text)) break;
            result.words.push_back(t.text);
            advance();
        } else if (is_redirection(t.kind)) {
            read_redirection(result.redirections);
        } else {
            break;
        }
    }
    if (error) return nullptr;
    return node(std::move(result));
}

MutPtr Parser::trailing_redirections(MutPtr command) {
    if (!command || error) return nullptr;
    std::vector<Redirection> redirections;
    while (!error && is_redirection(cur().kind)) read_redirection(redirections);
    if (error) return nullptr;
    if (redirections.empty()) return command;
    return node(C::Redirected{std::move(redirections), std::move(command)});
}

void Parser::read_redirection(std::vector<Redirection>& out) {
    const ShellToken t = cur();
    advance();
    switch (t.kind) {
        case Kind::RedirectIn:
            out.push_back({expect_word(), 0, RedirectKind::Read});
            return;
        case Kind::RedirectOut:
            out.push_back({expect_word(), 1, RedirectKind::Write});
            return;
        case Kind::RedirectAppend:
            out.push_back({expect_word(), 1, RedirectKind::Append});
            return;
        case Kind::HereDoc:
            out.push_back({t.text, t.fd, t.quoted ? RedirectKind::HereDocLiteral : RedirectKind::HereDoc});
            return;
        case Kind::HereString:
            out.push_back({t.text, t.fd, RedirectKind::HereString});
            return;
        case Kind::DupOutput:
            out.push_back({fmt::format("&{}", t.fd), 1, RedirectKind::Duplicate});
            return;
        case Kind::CloseOutput:
            out.push_back({"-", 1, RedirectKind::Close});
            return;
        case Kind::FdRedirect: {
            const std::string& op = t.text;
            if (op == "&>" || op == "&>>") {
                out.push_back({expect_word(), 1, op == "&>" ? RedirectKind::Write : RedirectKind::Append});
                out.push_back({"&1", 2, RedirectKind::Duplicate});
            } else if (op == ">&-" || op == "<&-") {
                out.push_back({"-", t.fd, RedirectKind::Close});
            } else if (op.starts_with(">&") || op.starts_with("<&")) {
                out.push_back({"&" + op.substr(2), t.fd, RedirectKind::Duplicate});
            } else if (op == "<>") {
                out.push_back({expect_word(), t.fd, RedirectKind::ReadWrite});
            } else if (op == ">") {
                out.push_back({expect_word(), t.fd, RedirectKind::Write});
            } else if (op == ">>") {
                out.push_back({expect_word(), t.fd, RedirectKind::Append});
            } else if (op == "<") {
                out.push_back({expect_word(), t.fd, RedirectKind::Read});
            } else {
                panic(fmt::format("unknown redirection operator {}", op));
            }
            return;
        }
        default:
            unreachable("redirection token expected");
    }
}

}  // namespace

bool is_shell_reserved_word(std::string_view word) {
    for (auto reserved : kReservedWords)
        if (word == reserved) return true;
    return false;
}

bool is_assignment_word(std::string_view word) {
    std::size_t eq = word.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    std::string_view lhs = word.substr(0, eq);
    if (lhs.ends_with('+')) lhs.remove_suffix(1);
    std::string_view name = lhs;
    if (std::size_t bracket = lhs.find('['); bracket != std::string_view::npos) {
        if (!lhs.ends_with(']')) return false;
        name = lhs.substr(0, bracket);
    }
    if (name.empty()) return false;
    auto start = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (!start(name.front())) return false;
    for (char c : name)
        if (!start(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

Result<ShellCommandPtr, ShellParseError> shell_parse(std::string_view source) {
    ShellLexResult lexed = shell_lex(source);
    if (lexed.error) return std::unexpected(std::move(*lexed.error));
    Parser parser(std::move(lexed.tokens));
    MutPtr command = parser.parse_list();
    if (!parser.error && parser.cur().kind != Kind::End) parser.unexpected("end of input");
    if (parser.error) return std::unexpected(std::move(*parser.error));
    return ShellCommandPtr(std::move(command));
}

std::optional<std::vector<std::string>> alias_value_words(std::string_view text) {
    auto parsed = shell_parse(text);
    if (!parsed) return std::nullopt;
    const auto* simple = (*parsed)->as<C::Simple>();
    if (!simple || simple->words.empty() || !simple->assignments.empty() ||
        !simple->redirections.empty())
        return std::nullopt;
    return simple->words;
}

std::string alias_line(std::string_view name, std::string_view text) {
    std::string quoted;
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return fmt::format("alias {}='{}'\n", name, quoted);
}

}  // namespace tw
