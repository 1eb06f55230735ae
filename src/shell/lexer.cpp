#include "shell/lexer.h"

#include <fmt/format.h>

#include <cctype>
#include <charconv>
#include <utility>

#include "base/stack.h"

namespace tw {

std::string error_text(const ShellParseError& error) {
    switch (error.kind) {
        case ShellParseError::Kind::UnexpectedEof:
            return fmt::format("unexpected end of file (expected {})", error.expected);
        case ShellParseError::Kind::UnexpectedToken:
            return fmt::format("unexpected token {} (expected {})", error.found, error.expected);
        case ShellParseError::Kind::UnclosedQuote:
            return fmt::format("unclosed {} quote", error.quote);
        case ShellParseError::Kind::TooDeep:
            return "commands are nested too deeply";
    }
    return "commands are nested too deeply";
}

namespace {

// Nesting of substitutions, quotes inside them and braced parameters; beyond it the input is
// refused as too deep.
constexpr int kMaxNesting = 999;
// Parenthesis depth inside an arithmetic command beyond which it is refused as too deep.
constexpr int kMaxArithParens = 1001;

// What all the lexers of one shell_lex call share (substitutions are read by nested lexers).
struct Shared {
    std::optional<ShellParseError> error;
    bool complete = true;
    int nesting = 0;

    void record(ShellParseError e) {
        if (!error) error = std::move(e);
    }
};

// Top: the whole input. Command: the inside of $(...), <(...) or >(...), up to its closing
// parenthesis. Array: the inside of an array literal name=(...).
enum class Mode : std::uint8_t { Top, Command, Array };

struct PendingHeredoc {
    std::string delimiter;
    bool strip_tabs = false;
    std::size_t token = 0;
};

// Where a `case` inside a substitution is, so that the `)` after its patterns does not close
// the substitution.
enum class CasePhase : std::uint8_t { Subject, ExpectIn, Pattern, Body };

struct CaseFrame {
    CasePhase phase = CasePhase::Subject;
    bool pattern_start = false;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_name_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }

// Characters that end a word outside quotes.
bool ends_word(char c) {
    switch (c) {
        case ' ': case '\t': case '\n': case ';': case '<': case '>': case '|': case '&':
        case '(': case ')':
            return true;
        default:
            return false;
    }
}

// Removes line continuations (backslash-newline pairs) from an arithmetic text.
std::string without_continuations(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            if (text[i + 1] != '\n') {
                out += text[i];
                out += text[i + 1];
            }
            ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

// Digits as a signed 32-bit number, or `fallback` when they do not fit.
std::int32_t parse_fd(std::string_view digits, std::int32_t fallback) {
    std::int32_t value = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || ptr != digits.data() + digits.size()) return fallback;
    return value;
}

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!is_digit(c)) return false;
    return true;
}

// Appends `c` so that it survives inside double quotes as itself.
void dq_literal(std::string& out, char c) {
    if (c == '$' || c == '`' || c == '"' || c == '\\') out += '\\';
    out += c;
}

// Appends `c` as a character that a regular expression matches literally, inside double quotes.
void regex_literal(std::string& out, char c) {
    switch (c) {
        case '\\': case '^': case '$': case '.': case '|': case '?': case '*': case '+':
        case '(': case ')': case '[': case ']': case '{': case '}':
            dq_literal(out, '\\');
            break;
        default:
            break;
    }
    dq_literal(out, c);
}

// The value of the ANSI-C escape at text[i] (just after the backslash); advances i past it.
std::string ansi_escape(std::string_view text, std::size_t& i) {
    char c = text[i++];
    switch (c) {
        case 'n': return "\n";
        case 't': return "\t";
        case 'r': return "\r";
        case 'a': return "\a";
        case 'b': return "\b";
        case 'e': case 'E': return "\x1b";
        case 'f': return "\f";
        case 'v': return "\v";
        case '\\': return "\\";
        case '\'': return "'";
        case '"': return "\"";
        case 'x': {
            int value = 0, count = 0;
            while (count < 2 && i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]))) {
                char h = text[i++];
                value = value * 16 + (is_digit(h) ? h - '0' : (h | 0x20) - 'a' + 10);
                ++count;
            }
            if (count == 0) return "\\x";
            return std::string(1, static_cast<char>(value));
        }
        default:
            if (c >= '0' && c <= '7') {
                int value = c - '0', count = 1;
                while (count < 3 && i < text.size() && text[i] >= '0' && text[i] <= '7') {
                    value = value * 8 + (text[i++] - '0');
                    ++count;
                }
                return std::string(1, static_cast<char>(value & 0xFF));
            }
            return std::string{'\\', c};
    }
}

class Lexer {
public:
    Lexer(std::string_view src, std::size_t pos, Mode mode, Shared& shared)
        : s_(src), pos_(pos), mode_(mode), shared_(shared) {}

    // Reads tokens: to the end of the input (Top), or to the parenthesis that closes the group
    // (Command, Array), which is consumed and sets `closed`.
    void run();

    std::vector<ShellToken> tokens;
    std::size_t pos() const { return pos_; }
    bool closed() const { return closed_; }

private:
    bool at_end() const { return pos_ >= s_.size(); }
    char peek(std::size_t ahead = 0) const {
        return pos_ + ahead < s_.size() ? s_[pos_ + ahead] : '\0';
    }
    bool has(std::size_t ahead) const { return pos_ + ahead < s_.size(); }

    void push(ShellTokenKind kind, std::string text = {}, std::int32_t fd = 0, bool quoted = false);
    void push_operator(std::string text, std::size_t length) {
        pos_ += length;
        push(ShellTokenKind::Operator, std::move(text));
    }
    bool last_is_word(std::string_view text) const {
        return !tokens.empty() && tokens.back().kind == ShellTokenKind::Word &&
               tokens.back().text == text;
    }

    // Nesting guard around recursive reads: false (with the input abandoned) when too deep.
    template <class F>
    void nested(F&& read);

    void newline();
    void line_continuation();
    bool comment_starts_here() const;
    void read_pending_heredocs();
    void read_heredoc_body(const PendingHeredoc& pending);

    void open_paren();
    bool close_paren();  // true when it closed this lexer's group
    void less();
    void greater();
    bool numbered_redirection();
    std::string dup_target();
    void heredoc_operator(std::int32_t fd);
    void here_string(std::int32_t fd);
    void arith_command();
    void word();
    void regex_operand();

    void scan_word(std::string& out);
    void scan_single(std::string& out);
    void scan_double(std::string& out);
    void scan_backquote(std::string& out);
    void scan_ansi(std::string& out);
    void scan_dollar(std::string& out, bool in_double_quotes);
    void scan_brace(std::string& out);
    void scan_group(std::string& out, Mode mode);

    enum class ArithProbe : std::uint8_t { Arith, NotArith, Eof, TooDeep };
    ArithProbe probe_arith(std::size_t open, std::size_t& close) const;

    void regex_double(std::string& out);
    void regex_parameter(std::string& out);
    bool regex_expansion_follows() const;

    void track_case(const ShellToken& token);
    bool in_case_pattern() const {
        return !cases_.empty() && cases_.back().phase == CasePhase::Pattern;
    }

    std::string_view s_;
    std::size_t pos_;
    Mode mode_;
    Shared& shared_;
    bool closed_ = false;
    bool in_double_bracket_ = false;
    std::vector<PendingHeredoc> pending_;
    int paren_depth_ = 0;
    std::vector<CaseFrame> cases_;
    bool command_start_ = true;
};

template <class F>
void Lexer::nested(F&& read) {
    if (shared_.nesting >= kMaxNesting) {
        shared_.record(ShellParseError::too_deep());
        pos_ = s_.size();
        return;
    }
    ++shared_.nesting;
    with_stack_headroom(read);
    --shared_.nesting;
}

void Lexer::push(ShellTokenKind kind, std::string text, std::int32_t fd, bool quoted) {
    tokens.push_back(ShellToken{kind, std::move(text), fd, quoted});
    if (mode_ == Mode::Command) track_case(tokens.back());
}

void Lexer::run() {
    while (!at_end()) {
        if (in_double_bracket_ && last_is_word("=~")) {
            regex_operand();
            continue;
        }
        char c = peek();
        if (is_blank(c)) {
            ++pos_;
            continue;
        }
        if (c == '\n') {
            newline();
            continue;
        }
        if (c == '#' && comment_starts_here()) {
            while (!at_end() && peek() != '\n') ++pos_;
            continue;
        }
        if (c == '\\' && peek(1) == '\n') {
            line_continuation();
            continue;
        }
        switch (c) {
            case ';':
                if (peek(1) == ';')
                    peek(2) == '&' ? push_operator(";;&", 3) : push_operator(";;", 2);
                else
                    peek(1) == '&' ? push_operator(";&", 2) : push_operator(";", 1);
                continue;
            case '&':
                if (in_double_bracket_) {
                    std::size_t n = peek(1) == '&' ? 2 : 1;
                    pos_ += n;
                    push(ShellTokenKind::Word, std::string(n, '&'));
                } else if (peek(1) == '>' && peek(2) == '>') {
                    pos_ += 3;
                    push(ShellTokenKind::FdRedirect, "&>>", 1);
                } else if (peek(1) == '>') {
                    pos_ += 2;
                    push(ShellTokenKind::FdRedirect, "&>", 1);
                } else if (peek(1) == '&') {
                    push_operator("&&", 2);
                } else {
                    push_operator("&", 1);
                }
                continue;
            case '|':
                if (in_double_bracket_) {
                    std::size_t n = peek(1) == '|' ? 2 : 1;
                    pos_ += n;
                    push(ShellTokenKind::Word, std::string(n, '|'));
                } else if (peek(1) == '&') {
                    push_operator("|&", 2);
                } else if (peek(1) == '|') {
                    push_operator("||", 2);
                } else {
                    push_operator("|", 1);
                }
                continue;
            case '(':
                if (in_double_bracket_) {
                    ++pos_;
                    push(ShellTokenKind::Word, "(");
                } else if (peek(1) == '(') {
                    arith_command();
                } else {
                    open_paren();
                }
                continue;
            case ')':
                if (in_double_bracket_) {
                    ++pos_;
                    push(ShellTokenKind::Word, ")");
                } else if (close_paren()) {
                    return;
                }
                continue;
            case '<':
                if (in_double_bracket_) {
                    ++pos_;
                    push(ShellTokenKind::Word, "<");
                } else {
                    less();
                }
                continue;
            case '>':
                if (in_double_bracket_) {
                    ++pos_;
                    push(ShellTokenKind::Word, ">");
                } else {
                    greater();
                }
                continue;
            default:
                break;
        }
        if (is_digit(c) && !in_double_bracket_ && numbered_redirection()) continue;
        word();
    }
    if (mode_ != Mode::Top) return;
    read_pending_heredocs();
    if (in_double_bracket_) shared_.record(ShellParseError::unexpected_eof("`]]`"));
    push(ShellTokenKind::End);
}

// At a backslash-newline pair outside quotes: skipped. When it ends the input, the line it
// continues is still to come.
void Lexer::line_continuation() {
    pos_ += 2;
    if (at_end()) shared_.complete = false;
}

void Lexer::newline() {
    ++pos_;
    read_pending_heredocs();
    // Inside [[ ]] a line may end after an operator that needs a right side.
    if (in_double_bracket_ && !tokens.empty() && tokens.back().kind == ShellTokenKind::Word) {
        const std::string& last = tokens.back().text;
        if (last == "&&" || last == "||" || last == "(" || last == "!") return;
    }
    push(ShellTokenKind::Operator, "\n");
}

bool Lexer::comment_starts_here() const {
    if (pos_ == 0) return true;
    switch (s_[pos_ - 1]) {
        case '\t': case '\n': case ' ': case '&': case '(': case ';': case '|':
            return true;
        default:
            return false;
    }
}

void Lexer::read_pending_heredocs() {
    if (pending_.empty()) return;
    std::vector<PendingHeredoc> pending = std::move(pending_);
    pending_.clear();
    for (const auto& p : pending) read_heredoc_body(p);
}

void Lexer::read_heredoc_body(const PendingHeredoc& pending) {
    std::string body;
    while (true) {
        std::size_t end = s_.find('\n', pos_);
        bool has_newline = end != std::string_view::npos;
        if (!has_newline) end = s_.size();
        std::string_view line = s_.substr(pos_, end - pos_);
        pos_ = has_newline ? end + 1 : end;
        if (pending.strip_tabs)
            while (!line.empty() && line.front() == '\t') line.remove_prefix(1);
        if (line == pending.delimiter) break;
        body.append(line);
        body += '\n';
        if (!has_newline) {
            shared_.complete = false;
            break;
        }
    }
    tokens[pending.token].text = std::move(body);
}

void Lexer::open_paren() {
    // The optional '(' before a case pattern is not a group.
    if (mode_ != Mode::Top && !(in_case_pattern() && cases_.back().pattern_start)) ++paren_depth_;
    push_operator("(", 1);
}

bool Lexer::close_paren() {
    if (mode_ != Mode::Top && !in_case_pattern()) {
        if (paren_depth_ == 0) {
            ++pos_;
            closed_ = true;
            return true;
        }
        --paren_depth_;
    }
    push_operator(")", 1);
    return false;
}

// At '<' outside [[ ]].
void Lexer::less() {
    char next = peek(1);
    if (next == '&') {
        pos_ += 2;
        push(ShellTokenKind::FdRedirect, "<&" + dup_target(), 0);
    } else if (next == '>') {
        pos_ += 2;
        push(ShellTokenKind::FdRedirect, "<>", 0);
    } else if (next == '<' && peek(2) == '<') {
        pos_ += 3;
        here_string(0);
    } else if (next == '<') {
        pos_ += 2;
        heredoc_operator(0);
    } else if (next == '(') {
        std::string text = "<";
        ++pos_;
        scan_group(text, Mode::Command);
        push(ShellTokenKind::Word, std::move(text));
    } else {
        ++pos_;
        push(ShellTokenKind::RedirectIn);
    }
}

// At '>' outside [[ ]].
void Lexer::greater() {
    char next = peek(1);
    if (next == '&' && peek(2) == '-') {
        pos_ += 3;
        push(ShellTokenKind::CloseOutput);
    } else if (next == '&') {
        pos_ += 2;
        std::string target = dup_target();
        if (target.empty())
            push(ShellTokenKind::DupOutput, {}, 1);
        else if (all_digits(target))
            push(ShellTokenKind::DupOutput, {}, parse_fd(target, 1));
        else if (target == "-")
            push(ShellTokenKind::CloseOutput);
        else
            push(ShellTokenKind::FdRedirect, ">&" + target, 1);
    } else if (next == '|') {
        pos_ += 2;
        push(ShellTokenKind::RedirectOut);
    } else if (next == '>') {
        pos_ += 2;
        push(ShellTokenKind::RedirectAppend);
    } else if (next == '(') {
        std::string text = ">";
        ++pos_;
        scan_group(text, Mode::Command);
        push(ShellTokenKind::Word, std::move(text));
    } else {
        ++pos_;
        push(ShellTokenKind::RedirectOut);
    }
}

// After ">&" or "<&": a dash, or the word naming the descriptor (blanks before it are skipped).
// Answers "-", the raw word (usually digits), or nothing when no word follows.
std::string Lexer::dup_target() {
    if (peek() == '-') {
        ++pos_;
        return "-";
    }
    std::size_t save = pos_;
    while (is_blank(peek())) ++pos_;
    if (at_end() || ends_word(peek())) {
        pos_ = save;
        return {};
    }
    std::string target;
    scan_word(target);
    return target;
}

// A run of digits directly followed by '<' or '>'; false (nothing consumed) otherwise.
bool Lexer::numbered_redirection() {
    std::size_t end = pos_;
    while (end < s_.size() && is_digit(s_[end])) ++end;
    if (end >= s_.size() || (s_[end] != '<' && s_[end] != '>')) return false;
    std::int32_t fd = parse_fd(s_.substr(pos_, end - pos_), -1);
    pos_ = end;
    char op = peek(), next = peek(1);
    if (op == '>') {
        if (next == '&') {
            pos_ += 2;
            std::string target = dup_target();
            push(ShellTokenKind::FdRedirect, target == "-" ? ">&-" : ">&" + target, fd);
        } else if (next == '>') {
            pos_ += 2;
            push(ShellTokenKind::FdRedirect, ">>", fd);
        } else {
            pos_ += next == '|' ? 2 : 1;
            push(ShellTokenKind::FdRedirect, ">", fd);
        }
        return true;
    }
    if (next == '>') {
        pos_ += 2;
        push(ShellTokenKind::FdRedirect, "<>", fd);
    } else if (next == '&') {
        pos_ += 2;
        std::string target = dup_target();
        push(ShellTokenKind::FdRedirect, "<&" + target, fd);
    } else if (next == '<' && peek(2) == '<') {
        pos_ += 3;
        here_string(fd);
    } else if (next == '<') {
        pos_ += 2;
        heredoc_operator(fd);
    } else {
        ++pos_;
        push(ShellTokenKind::FdRedirect, "<", fd);
    }
    return true;
}

void Lexer::here_string(std::int32_t fd) {
    while (is_blank(peek())) ++pos_;
    std::string text;
    if (!at_end() && !ends_word(peek())) scan_word(text);
    push(ShellTokenKind::HereString, std::move(text), fd);
}

// After "<<": the delimiter word. Quoting anywhere in it ('...', "...", \X) makes the body
// literal; the delimiter is the word with its quotes removed.
void Lexer::heredoc_operator(std::int32_t fd) {
    bool strip_tabs = false;
    if (peek() == '-') {
        strip_tabs = true;
        ++pos_;
    }
    while (is_blank(peek())) ++pos_;
    std::string raw;
    if (!at_end() && !ends_word(peek())) scan_word(raw);
    std::string delimiter;
    bool quoted = false;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '\'') {
            quoted = true;
            for (++i; i < raw.size() && raw[i] != '\''; ++i) delimiter += raw[i];
        } else if (c == '"') {
            quoted = true;
            for (++i; i < raw.size() && raw[i] != '"'; ++i) {
                if (raw[i] == '\\' && i + 1 < raw.size() &&
                    (raw[i + 1] == '"' || raw[i + 1] == '\\' || raw[i + 1] == '$' || raw[i + 1] == '`'))
                    ++i;
                delimiter += raw[i];
            }
        } else if (c == '\\' && i + 1 < raw.size()) {
            quoted = true;
            delimiter += raw[++i];
        } else {
            delimiter += c;
        }
    }
    pending_.push_back(PendingHeredoc{std::move(delimiter), strip_tabs, tokens.size()});
    push(ShellTokenKind::HereDoc, {}, fd, quoted);
}

// At "((" at the start of a token: an arithmetic command when the parentheses pair up as
// "((...))"; otherwise the first '(' opens a subshell.
void Lexer::arith_command() {
    std::size_t close = 0;
    switch (probe_arith(pos_, close)) {
        case ArithProbe::Arith: {
            std::string text = without_continuations(s_.substr(pos_ + 2, close - (pos_ + 2)));
            pos_ = close + 2;
            push(ShellTokenKind::ArithCommand, std::move(text));
            return;
        }
        case ArithProbe::NotArith:
            open_paren();
            return;
        case ArithProbe::Eof: {
            shared_.record(ShellParseError::unexpected_eof("`))`"));
            std::string text = without_continuations(s_.substr(pos_ + 2));
            pos_ = s_.size();
            push(ShellTokenKind::ArithCommand, std::move(text));
            return;
        }
        case ArithProbe::TooDeep:
            shared_.record(ShellParseError::too_deep());
            pos_ = s_.size();
            return;
    }
}

// From s_[open] == '(' and s_[open + 1] == '(': finds the "))" that closes both parentheses at
// once (its position in `close`). A single ')' closing the inner parenthesis first means the
// text is not arithmetic. Quotes are skipped, so parentheses inside them do not count.
Lexer::ArithProbe Lexer::probe_arith(std::size_t open, std::size_t& close) const {
    std::size_t p = open + 2;
    int depth = 2;
    const std::size_t n = s_.size();
    while (p < n) {
        char c = s_[p];
        switch (c) {
            case '\\':
                p += 2;
                continue;
            case '\'': {
                std::size_t q = s_.find('\'', p + 1);
                if (q == std::string_view::npos) return ArithProbe::Eof;
                p = q + 1;
                continue;
            }
            case '"':
            case '`': {
                ++p;
                while (p < n && s_[p] != c) p += s_[p] == '\\' ? 2 : 1;
                if (p >= n) return ArithProbe::Eof;
                ++p;
                continue;
            }
            case '(':
                if (++depth > kMaxArithParens) return ArithProbe::TooDeep;
                ++p;
                continue;
            case ')':
                if (depth == 2) {
                    if (p + 1 < n && s_[p + 1] == ')') {
                        close = p;
                        return ArithProbe::Arith;
                    }
                    return p + 1 < n ? ArithProbe::NotArith : ArithProbe::Eof;
                }
                --depth;
                ++p;
                continue;
            default:
                ++p;
                continue;
        }
    }
    return ArithProbe::Eof;
}

void Lexer::word() {
    std::string text;
    // Array literal: name=( or name+=( takes the parenthesised list into the word.
    std::size_t p = pos_;
    if (is_name_start(peek())) {
        while (p < s_.size() && is_name_char(s_[p])) ++p;
        std::size_t eq = p < s_.size() && s_[p] == '+' ? p + 1 : p;
        if (eq + 1 < s_.size() && s_[eq] == '=' && s_[eq + 1] == '(') {
            text.assign(s_.substr(pos_, eq + 1 - pos_));
            pos_ = eq + 1;
            scan_group(text, Mode::Array);
        }
    }
    scan_word(text);
    if (text == "[[")
        in_double_bracket_ = true;
    else if (text == "]]" && in_double_bracket_)
        in_double_bracket_ = false;
    push(ShellTokenKind::Word, std::move(text));
}

void Lexer::scan_word(std::string& out) {
    while (!at_end()) {
        char c = peek();
        if (ends_word(c)) return;
        switch (c) {
            case '\\':
                if (peek(1) == '\n') {
                    line_continuation();
                } else {
                    out += c;
                    if (has(1)) out += peek(1);
                    pos_ += has(1) ? 2 : 1;
                }
                break;
            case '\'':
                scan_single(out);
                break;
            case '"':
                scan_double(out);
                break;
            case '`':
                scan_backquote(out);
                break;
            case '$':
                scan_dollar(out, false);
                break;
            default:
                out += c;
                ++pos_;
                break;
        }
    }
}

void Lexer::scan_single(std::string& out) {
    std::size_t close = s_.find('\'', pos_ + 1);
    if (close == std::string_view::npos) {
        out.append(s_.substr(pos_));
        pos_ = s_.size();
        shared_.record(ShellParseError::unclosed_quote('\''));
        return;
    }
    out.append(s_.substr(pos_, close + 1 - pos_));
    pos_ = close + 1;
}

void Lexer::scan_ansi(std::string& out) {
    out += "$'";
    pos_ += 2;
    while (!at_end()) {
        char c = peek();
        if (c == '\'') {
            out += c;
            ++pos_;
            return;
        }
        out += c;
        if (c == '\\' && has(1)) {
            out += peek(1);
            ++pos_;
        }
        ++pos_;
    }
    shared_.record(ShellParseError::unclosed_quote('\''));
}

void Lexer::scan_double(std::string& out) {
    nested([&] {
        out += '"';
        ++pos_;
        while (!at_end()) {
            char c = peek();
            switch (c) {
                case '"':
                    out += c;
                    ++pos_;
                    return;
                case '\\':
                    if (peek(1) == '\n') {
                        pos_ += 2;
                    } else {
                        out += c;
                        if (has(1)) out += peek(1);
                        pos_ += has(1) ? 2 : 1;
                    }
                    break;
                case '$':
                    scan_dollar(out, true);
                    break;
                case '`':
                    scan_backquote(out);
                    break;
                default:
                    out += c;
                    ++pos_;
                    break;
            }
        }
        shared_.record(ShellParseError::unclosed_quote('"'));
    });
}

void Lexer::scan_backquote(std::string& out) {
    out += '`';
    ++pos_;
    while (!at_end()) {
        char c = peek();
        out += c;
        if (c == '`') {
            ++pos_;
            return;
        }
        if (c == '\\' && has(1)) {
            out += peek(1);
            ++pos_;
        }
        ++pos_;
    }
    shared_.record(ShellParseError::unclosed_quote('`'));
}

// At '$': an expansion or quoting form, or a lone dollar sign.
void Lexer::scan_dollar(std::string& out, bool in_double_quotes) {
    char next = peek(1);
    if (next == '(') {
        if (peek(2) == '(') {
            std::size_t close = 0;
            switch (probe_arith(pos_ + 1, close)) {
                case ArithProbe::Arith:
                    out += "$((";
                    out += without_continuations(s_.substr(pos_ + 3, close - (pos_ + 3)));
                    out += "))";
                    pos_ = close + 2;
                    return;
                case ArithProbe::TooDeep:
                    shared_.record(ShellParseError::too_deep());
                    pos_ = s_.size();
                    return;
                case ArithProbe::NotArith:
                case ArithProbe::Eof: {
                    // A command substitution starting with a subshell: written "$( (" so that
                    // "$((" in a raw word always means arithmetic.
                    std::size_t mark = out.size();
                    out += '$';
                    ++pos_;
                    scan_group(out, Mode::Command);
                    out.insert(mark + 2, 1, ' ');
                    return;
                }
            }
        }
        out += '$';
        ++pos_;
        scan_group(out, Mode::Command);
        return;
    }
    if (next == '{') {
        scan_brace(out);
        return;
    }
    if (!in_double_quotes && next == '\'') {
        scan_ansi(out);
        return;
    }
    if (!in_double_quotes && next == '"') {
        out += '$';
        ++pos_;
        scan_double(out);
        return;
    }
    out += '$';
    ++pos_;
}

// At "${": the braced parameter up to its matching '}', braces nesting.
void Lexer::scan_brace(std::string& out) {
    nested([&] {
        out += "${";
        pos_ += 2;
        int depth = 1;
        while (!at_end()) {
            char c = peek();
            switch (c) {
                case '\\':
                    if (peek(1) == '\n') {
                        pos_ += 2;
                    } else {
                        out += c;
                        if (has(1)) out += peek(1);
                        pos_ += has(1) ? 2 : 1;
                    }
                    break;
                case '\'':
                    scan_single(out);
                    break;
                case '"':
                    scan_double(out);
                    break;
                case '`':
                    scan_backquote(out);
                    break;
                case '$':
                    scan_dollar(out, false);
                    break;
                case '{':
                    ++depth;
                    out += c;
                    ++pos_;
                    break;
                case '}':
                    out += c;
                    ++pos_;
                    if (--depth == 0) return;
                    break;
                default:
                    out += c;
                    ++pos_;
                    break;
            }
        }
        shared_.record(ShellParseError::unexpected_eof("`}`"));
    });
}

// At '(': a command substitution, process substitution or array literal, read by a nested lexer
// up to the matching ')' so that quotes, comments, nested substitutions, case patterns and
// here-documents inside it are respected. Appends the text from '(' to ')' verbatim.
void Lexer::scan_group(std::string& out, Mode mode) {
    std::size_t open = pos_;
    nested([&] {
        Lexer inner(s_, open + 1, mode, shared_);
        inner.run();
        pos_ = inner.pos();
        if (!inner.closed()) shared_.record(ShellParseError::unexpected_eof("`)`"));
    });
    out.append(s_.substr(open, pos_ - open));
}

// The operand after "=~" inside [[ ]]: one double-quoted word whose expansion is the regular
// expression. It ends at a blank, a newline, or one of ; & < > ) outside parentheses; '|' and
// brackets belong to it ("^[[:space:]]*$" is one operand). Quoted sections may hold blanks, and
// so may parentheses; quoted and escaped characters are escaped for the regular-expression
// engine.
void Lexer::regex_operand() {
    char c = peek();
    if (is_blank(c)) {
        ++pos_;
        return;
    }
    if (c == '\n') {
        newline();
        return;
    }
    if (c == ']' && peek(1) == ']' && (!has(2) || ends_word(peek(2)))) {
        // No operand before the closing brackets: an empty pattern.
        push(ShellTokenKind::Word, "\"\"");
        return;
    }
    std::string out = "\"";
    int depth = 0;
    while (!at_end()) {
        c = peek();
        if (c == '\n') break;
        if (depth == 0 && (is_blank(c) || c == ')' || c == ';' || c == '&' || c == '<' || c == '>'))
            break;
        switch (c) {
            case '(':
                ++depth;
                out += c;
                ++pos_;
                break;
            case ')':
                --depth;
                out += c;
                ++pos_;
                break;
            case '\\':
                if (peek(1) == '\n') {
                    pos_ += 2;
                } else if (has(1)) {
                    regex_literal(out, peek(1));
                    pos_ += 2;
                } else {
                    regex_literal(out, c);
                    ++pos_;
                }
                break;
            case '\'': {
                std::size_t close = s_.find('\'', pos_ + 1);
                std::size_t end = close == std::string_view::npos ? s_.size() : close;
                for (std::size_t i = pos_ + 1; i < end; ++i) regex_literal(out, s_[i]);
                if (close == std::string_view::npos) {
                    shared_.record(ShellParseError::unclosed_quote('\''));
                    pos_ = s_.size();
                } else {
                    pos_ = close + 1;
                }
                break;
            }
            case '"':
                regex_double(out);
                break;
            case '`':
                scan_backquote(out);
                break;
            case '$':
                if (peek(1) == '\'') {
                    std::string raw;
                    scan_ansi(raw);
                    std::string_view body(raw);
                    body.remove_prefix(2);
                    if (!body.empty() && body.back() == '\'') body.remove_suffix(1);
                    for (std::size_t i = 0; i < body.size();) {
                        if (body[i] == '\\' && i + 1 < body.size()) {
                            ++i;
                            for (char d : ansi_escape(body, i)) regex_literal(out, d);
                        } else {
                            regex_literal(out, body[i++]);
                        }
                    }
                } else if (peek(1) == '"') {
                    ++pos_;
                    regex_double(out);
                } else if (regex_expansion_follows()) {
                    regex_parameter(out);
                } else {
                    out += '$';
                    ++pos_;
                }
                break;
            default:
                out += c;
                ++pos_;
                break;
        }
    }
    out += '"';
    push(ShellTokenKind::Word, std::move(out));
}

// At '$': true when a parameter or substitution starts here.
bool Lexer::regex_expansion_follows() const {
    char next = peek(1);
    if (is_name_char(next) || next == '{' || next == '(') return true;
    switch (next) {
        case '@': case '*': case '#': case '?': case '$': case '!': case '-':
            return true;
        default:
            return false;
    }
}

// At '$' starting an expansion inside a regular-expression operand. A plain parameter is written
// in braces, since the characters after it in the rewritten word may be name characters.
void Lexer::regex_parameter(std::string& out) {
    char next = peek(1);
    if (is_name_start(next)) {
        std::size_t end = pos_ + 1;
        while (end < s_.size() && is_name_char(s_[end])) ++end;
        out += "${";
        out.append(s_.substr(pos_ + 1, end - pos_ - 1));
        out += '}';
        pos_ = end;
    } else if (next != '{' && next != '(') {
        out += "${";
        out += next;
        out += '}';
        pos_ += 2;
    } else {
        scan_dollar(out, true);
    }
}

// A double-quoted section of a regular-expression operand: its characters match literally,
// its expansions stay expansions.
void Lexer::regex_double(std::string& out) {
    ++pos_;
    while (!at_end()) {
        char c = peek();
        if (c == '"') {
            ++pos_;
            return;
        }
        if (c == '\\') {
            char next = peek(1);
            if (next == '\n') {
                pos_ += 2;
            } else if (next == '$' || next == '`' || next == '"' || next == '\\') {
                regex_literal(out, next);
                pos_ += 2;
            } else {
                regex_literal(out, c);
                ++pos_;
            }
        } else if (c == '$' && regex_expansion_follows()) {
            regex_parameter(out);
        } else if (c == '`') {
            scan_backquote(out);
        } else {
            regex_literal(out, c);
            ++pos_;
        }
    }
    shared_.record(ShellParseError::unclosed_quote('"'));
}

// Follows `case ... in` inside a substitution: the ')' that ends a pattern list belongs to the
// case, not to the substitution.
void Lexer::track_case(const ShellToken& token) {
    bool start = command_start_;
    command_start_ = false;
    if (token.kind == ShellTokenKind::Operator) {
        command_start_ = true;
        if (cases_.empty()) return;
        CaseFrame& top = cases_.back();
        if (top.phase == CasePhase::Pattern) {
            if (token.text == ")") top.phase = CasePhase::Body;
            if (token.text != "\n") top.pattern_start = false;
        } else if (top.phase == CasePhase::Body &&
                   (token.text == ";;" || token.text == ";&" || token.text == ";;&")) {
            top.phase = CasePhase::Pattern;
            top.pattern_start = true;
        }
        return;
    }
    if (token.kind != ShellTokenKind::Word) return;
    const std::string& w = token.text;
    if (!cases_.empty()) {
        CaseFrame& top = cases_.back();
        switch (top.phase) {
            case CasePhase::Subject:
                top.phase = CasePhase::ExpectIn;
                return;
            case CasePhase::ExpectIn:
                if (w == "in") {
                    top.phase = CasePhase::Pattern;
                    top.pattern_start = true;
                }
                return;
            case CasePhase::Pattern:
                if (top.pattern_start && w == "esac") {
                    cases_.pop_back();
                    return;
                }
                top.pattern_start = false;
                return;
            case CasePhase::Body:
                break;
        }
    }
    if (!start) return;
    if (w == "case") {
        cases_.push_back(CaseFrame{});
    } else if (w == "esac" && !cases_.empty()) {
        cases_.pop_back();
    } else {
        static constexpr std::string_view kLeadIns[] = {"then", "do",    "else", "elif", "if",
                                                        "while", "until", "{",    "!",    "time"};
        for (auto lead : kLeadIns)
            if (w == lead) command_start_ = true;
    }
}

}  // namespace

ShellLexResult shell_lex(std::string_view source) {
    Shared shared;
    Lexer lexer(source, 0, Mode::Top, shared);
    lexer.run();
    return ShellLexResult{std::move(lexer.tokens), shared.complete, std::move(shared.error)};
}

}  // namespace tw
