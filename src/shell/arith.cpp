#include "shell/arith.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <optional>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "base/stack.h"

namespace tw {

namespace {

// ---- text ----

constexpr char32_t kEnd = 0x110000;

bool is_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}
bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }
bool is_letter(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_name_start(char32_t c) { return c == '_' || is_letter(c); }
bool is_name_char(char32_t c) { return is_name_start(c) || is_digit(c); }

// The character that starts at byte `i` of a text and its length in bytes; a byte that is not
// part of valid UTF-8 is one character of its own (U+FFFD).
struct Decoded {
    char32_t c;
    std::size_t len;
};

Decoded decode_at(std::string_view s, std::size_t i) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) return {b, 1};
    std::size_t len = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return {0xFFFD, 1};
    char32_t c = b & (0xFF >> (len + 1));
    for (std::size_t k = 1; k < len; ++k) {
        auto cb = static_cast<unsigned char>(s[i + k]);
        if ((cb & 0xC0) != 0x80) return {0xFFFD, 1};
        c = (c << 6) | (cb & 0x3F);
    }
    static constexpr std::array<char32_t, 5> kMin{0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {0xFFFD, 1};
    return {c, len};
}

// The byte offset of the first character at or after `i` that is not white space.
std::size_t skip_space_from(std::string_view s, std::size_t i) {
    while (i < s.size()) {
        const Decoded d = decode_at(s, i);
        if (!is_space(d.c)) break;
        i += d.len;
    }
    return i;
}

std::string_view trim_space(std::string_view s) {
    const std::size_t a = skip_space_from(s, 0);
    std::size_t b = a;  // the end of the last character that is not white space
    for (std::size_t i = a; i < s.size();) {
        const Decoded d = decode_at(s, i);
        i += d.len;
        if (!is_space(d.c)) b = i;
    }
    return s.substr(a, b - a);
}

// A signed decimal: optional sign, digits only, no overflow.
std::optional<std::int64_t> parse_decimal(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (v > (limit - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return negative ? static_cast<std::int64_t>(-v) : static_cast<std::int64_t>(v);
}

std::int64_t wrap(std::uint64_t v) { return static_cast<std::int64_t>(v); }
std::uint64_t bits(std::int64_t v) { return static_cast<std::uint64_t>(v); }

// ---- the evaluator ----

// Operators that a shorter candidate must not be taken from.
constexpr std::array<std::string_view, 19> kLongOperators{
    "<<=", ">>=", "**", "<<", ">>", "<=", ">=", "==", "!=", "&&", "||",
    "*=", "/=", "%=", "+=", "-=", "&=", "^=", "|="};

// The left-associative binary levels, loosest first; each level's candidates in matcher order.
constexpr std::size_t kBinaryLevelCount = 8;
constexpr std::array<std::array<std::string_view, 4>, kBinaryLevelCount> kBinaryLevels{{
    {"|"},
    {"^"},
    {"&"},
    {"==", "!="},
    {"<=", ">=", "<", ">"},
    {"<<", ">>"},
    {"+", "-"},
    {"*", "/", "%"},
}};

constexpr std::array<std::string_view, 11> kAssignOperators{
    "<<=", ">>=", "*=", "/=", "%=", "+=", "-=", "&=", "^=", "|=", "="};

// The result of a sub-expression: a number, or a reference to a variable, an element of an
// indexed array or an element of an associative array, with its current value (which the
// assignment operators and ++/-- need).
struct Operand {
    enum class Kind : std::uint8_t { Number, Variable, Element, Keyed };
    Kind kind = Kind::Number;
    std::int64_t value = 0;
    std::string_view name;  // into the parser's text
    std::int64_t index = 0;
    std::string_view key;   // Keyed: the subscript text as written, into the parser's text

    static Operand number(std::int64_t v) { return Operand{Kind::Number, v, {}, 0, {}}; }
};

// One evaluation of one text, read in place: positions are byte offsets. Everything the grammar
// looks for is ASCII, and no byte of a multi-byte character is, so only white space needs
// characters decoded. Variable texts are evaluated inside one another up to 128 levels,
// each nesting up to 256 deep, and assignment chains are not counted at all: together far more
// recursion than a thread stack holds, so the recursive steps run with stack headroom.
// The grammar functions answer false after recording the error; the evaluation then unwinds
// without further work. Frames are kept small: nesting recurses through all of them once per
// level.
class Parser {
public:
    Parser(ArithEnv& env, std::string_view text, std::uint32_t level)
        : env_(env), text_(text), level_(level) {}

    Result<std::int64_t, ArithError> run() {
        skip_space();
        if (at_end()) return 0;
        Operand v;
        if (comma(true, v)) {
            skip_space();
            if (at_end()) return v.value;
            err_pos_ = pos_;
            fail("arithmetic syntax error in expression");
        }
        return std::unexpected(std::move(*error_));
    }

private:
    std::size_t size() const { return text_.size(); }
    bool at_end() const { return pos_ >= size(); }
    // The byte at `i` (kEnd past the end): equal to an ASCII character exactly where that
    // character stands.
    char32_t at(std::size_t i) const { return i < size() ? static_cast<unsigned char>(text_[i]) : kEnd; }

    void skip_space() { pos_ = skip_space_from(text_, pos_); }

    bool matches_at(std::size_t p, std::string_view op) const {
        return p <= size() && text_.substr(p).starts_with(op);
    }

    // The first candidate that matches here and is not the start of a longer operator outside
    // the candidates; white space before it is skipped. Empty when none.
    std::string_view match(std::span<const std::string_view> candidates) {
        skip_space();
        if (at_end()) return {};
        const char32_t first = at(pos_);
        // Every operator starts with ASCII punctuation: names, numbers and other text match none.
        if (first >= 0x80 || (first >= '0' && first <= '9') || ((first | 0x20) >= 'a' && (first | 0x20) <= 'z') ||
            first == '_')
            return {};
        for (std::string_view cand : candidates) {
            // The cheap first-character test comes first: most candidates fail on it.
            if (cand.empty() || first != static_cast<char32_t>(static_cast<unsigned char>(cand[0])) ||
                !matches_at(pos_, cand))
                continue;
            bool rejected = false;
            for (std::string_view longer : kLongOperators) {
                if (longer.size() <= cand.size() || longer[0] != cand[0] || !longer.starts_with(cand)) continue;
                if (!matches_at(pos_, longer)) continue;
                if (std::find(candidates.begin(), candidates.end(), longer) != candidates.end()) continue;
                rejected = true;
                break;
            }
            if (!rejected) return cand;
        }
        return {};
    }
    bool match_one(std::string_view op) { return !match(std::span<const std::string_view>(&op, 1)).empty(); }

    void eat(std::size_t length) {
        err_pos_ = pos_;
        pos_ += length;
    }

    bool fail(std::string_view message) {
        std::size_t from = std::min(err_pos_, size());
        error_ = ArithError{fmt::format("{} (error token is \"{}\")", message, text_.substr(from)), false};
        return false;
    }
    bool fail_with(ArithError error) {
        error_ = std::move(error);
        return false;
    }

    bool nest() {
        ++depth_;
        return depth_ <= kArithMaxNesting || fail("expression nesting too deep");
    }

    // ---- grammar, loosest first ----

    bool comma(bool eval, Operand& out) {
        return with_stack_headroom([&] {
            if (!assignment(eval, out)) return false;
            bool chained = false;
            while (match_one(",")) {
                eat(1);
                if (!assignment(eval, out)) return false;
                chained = true;
            }
            if (chained) out = Operand::number(out.value);
            return true;
        });
    }

    bool assignment(bool eval, Operand& out) {
        if (!conditional(eval, out)) return false;
        std::string_view op = match(kAssignOperators);
        if (op.empty()) return true;
        eat(op.size());
        if (out.kind == Operand::Kind::Number) return fail("attempted assignment to non-variable");
        Operand rhs;
        // Right associative and not bounded by the nesting count: a=b=c=... recurses per operator.
        if (!with_stack_headroom([&] { return assignment(eval, rhs); })) return false;
        if (!eval) {
            out = Operand::number(0);
            return true;
        }
        std::int64_t value = rhs.value;
        if (op != "=" && !apply(op.substr(0, op.size() - 1), out.value, rhs.value, value)) return false;
        if (!write(out, value)) return false;
        out = Operand::number(value);
        return true;
    }

    bool conditional(bool eval, Operand& out) {
        if (!logical_or(eval, out)) return false;
        if (!match_one("?")) return true;
        eat(1);
        if (!nest()) return false;
        bool taken = out.value != 0;
        Operand yes, no;
        if (!comma(eval && taken, yes)) return false;
        if (!match_one(":")) {
            err_pos_ = pos_;
            return fail("`:' expected for conditional expression");
        }
        eat(1);
        if (!conditional(eval && !taken, no)) return false;
        --depth_;
        out = Operand::number(taken ? yes.value : no.value);
        return true;
    }

    bool logical_or(bool eval, Operand& out) {
        if (!logical_and(eval, out)) return false;
        if (!match_one("||")) return true;
        bool any = out.value != 0;
        Operand right;
        while (match_one("||")) {
            eat(2);
            if (!logical_and(eval && !any, right)) return false;
            any = any || right.value != 0;
        }
        out = Operand::number(any ? 1 : 0);
        return true;
    }

    bool logical_and(bool eval, Operand& out) {
        if (!binary(0, eval, out)) return false;
        if (!match_one("&&")) return true;
        bool all = out.value != 0;
        Operand right;
        while (match_one("&&")) {
            eat(2);
            if (!binary(0, eval && all, right)) return false;
            all = all && right.value != 0;
        }
        out = Operand::number(all ? 1 : 0);
        return true;
    }

    // The binary levels from `min_level` up, by precedence climbing: after an operand the
    // tightest level's operators are tried first, exactly as a ladder of one function per level
    // would return through its levels, but with one frame per nesting instead of eight.
    bool binary(std::size_t min_level, bool eval, Operand& out) {
        if (!power(eval, out)) return false;
        for (;;) {
            std::string_view op;
            std::size_t level = kBinaryLevelCount;
            while (level > min_level) {
                --level;
                op = match(kBinaryLevels[level]);
                if (!op.empty()) break;
            }
            if (op.empty()) return true;
            eat(op.size());
            Operand right;
            if (!binary(level + 1, eval, right)) return false;
            std::int64_t v = 0;
            if (eval && !apply(op, out.value, right.value, v)) return false;
            out = Operand::number(v);
        }
    }

    bool power(bool eval, Operand& out) {
        if (!unary(eval, out)) return false;
        if (!match_one("**")) return true;
        eat(2);
        if (!nest()) return false;
        Operand exponent;
        if (!with_stack_headroom([&] { return power(eval, exponent); })) return false;
        --depth_;
        std::int64_t v = 0;
        if (eval && !apply("**", out.value, exponent.value, v)) return false;
        out = Operand::number(v);
        return true;
    }

    bool unary(bool eval, Operand& out) {
        skip_space();
        for (char sign : {'+', '-'}) {
            if (at(pos_) != static_cast<char32_t>(sign) || at(pos_ + 1) != static_cast<char32_t>(sign)) continue;
            const std::size_t after = skip_space_from(text_, pos_ + 2);
            if (!is_name_start(at(after))) continue;
            eat(2);
            if (!primary(eval, out)) return false;
            if (out.kind == Operand::Kind::Number) return fail("attempted assignment to non-variable");
            if (!eval) {
                out = Operand::number(0);
                return true;
            }
            std::int64_t v = wrap(sign == '+' ? bits(out.value) + 1 : bits(out.value) - 1);
            if (!write(out, v)) return false;
            out = Operand::number(v);
            return true;
        }
        char32_t c = at(pos_);
        if (c == '-' || c == '+' || c == '!' || c == '~') {
            eat(1);
            if (!nest() || !unary(eval, out)) return false;
            --depth_;
            std::int64_t v = out.value;
            if (c == '-') v = wrap(0 - bits(v));
            else if (c == '!') v = v == 0 ? 1 : 0;
            else if (c == '~') v = ~v;
            out = Operand::number(eval ? v : 0);
            return true;
        }
        return primary(eval, out);
    }

    bool primary(bool eval, Operand& out) {
        skip_space();
        char32_t c = at(pos_);
        if (c == '(') {
            eat(1);
            if (!nest() || !comma(eval, out)) return false;
            --depth_;
            if (!match_one(")")) {
                err_pos_ = pos_;
                return fail("missing `)'");
            }
            eat(1);
            out = Operand::number(out.value);
            return true;
        }
        if (c == kEnd) return fail("arithmetic syntax error: operand expected");
        if (is_digit(c)) {
            out = Operand::number(0);
            return literal(out.value);
        }
        if (is_name_start(c)) return reference(eval, out);
        err_pos_ = pos_;
        return fail("arithmetic syntax error: operand expected");
    }

    bool reference(bool eval, Operand& out) {
        std::size_t start = pos_;
        err_pos_ = start;
        while (is_name_char(at(pos_))) ++pos_;
        std::string_view name = text_.substr(start, pos_ - start);
        Operand ref{Operand::Kind::Variable, 0, name, 0, {}};
        if (at(pos_) == '[' && env_.is_associative(name)) {
            // The key of an associative element is its subscript text, not a number: up to the
            // matching bracket, nested brackets counted.
            std::size_t open = pos_;
            eat(1);
            std::size_t level = 1;
            while (!at_end()) {
                if (text_[pos_] == '[') ++level;
                else if (text_[pos_] == ']' && --level == 0) break;
                ++pos_;
            }
            if (at_end()) {
                err_pos_ = pos_;
                return fail("missing `]'");
            }
            ref.kind = Operand::Kind::Keyed;
            ref.key = text_.substr(open + 1, pos_ - (open + 1));
            eat(1);
        } else if (at(pos_) == '[') {
            eat(1);
            Operand index;
            if (!nest() || !comma(eval, index)) return false;
            --depth_;
            if (!match_one("]")) {
                err_pos_ = pos_;
                return fail("missing `]'");
            }
            eat(1);
            ref.kind = Operand::Kind::Element;
            ref.index = index.value;
        }
        if (eval && !read(ref)) return false;
        out = ref;
        for (char sign : {'+', '-'}) {
            char op[2] = {sign, sign};
            if (!match_one(std::string_view(op, 2))) continue;
            eat(2);
            if (!eval) {
                out = Operand::number(0);
                return true;
            }
            if (!write(ref, wrap(sign == '+' ? bits(ref.value) + 1 : bits(ref.value) - 1))) return false;
            out = Operand::number(ref.value);
            return true;
        }
        return true;
    }

    // A number literal: letters, digits, `#`, `@` and `_` from the current digit on.
    bool literal(std::int64_t& out) {
        std::size_t start = pos_;
        err_pos_ = start;
        while (is_letter(at(pos_)) || is_digit(at(pos_)) || at(pos_) == '#' || at(pos_) == '@' || at(pos_) == '_')
            ++pos_;
        std::string_view lit = text_.substr(start, pos_ - start);
        std::uint64_t base = 10;
        std::string_view digits = lit;
        if (std::size_t hash = lit.find('#'); hash != std::string_view::npos) {
            std::string_view base_text = lit.substr(0, hash);
            std::optional<std::int64_t> b;
            if (!base_text.empty() && base_text.front() != '+' && base_text.front() != '-') b = parse_decimal(base_text);
            if (!b || *b < 2 || *b > 64) return fail("invalid arithmetic base");
            base = static_cast<std::uint64_t>(*b);
            digits = lit.substr(hash + 1);
            if (digits.empty()) return fail("invalid integer constant");
        } else if (lit.starts_with("0x") || lit.starts_with("0X")) {
            base = 16;
            digits = lit.substr(2);
        } else if (lit.size() > 1 && lit.front() == '0') {
            base = 8;
            digits = lit.substr(1);
        }
        std::uint64_t value = 0;
        for (char ch : digits) {
            std::uint64_t d = 0;
            if (ch >= '0' && ch <= '9') d = static_cast<std::uint64_t>(ch - '0');
            else if (ch >= 'a' && ch <= 'z') d = static_cast<std::uint64_t>(ch - 'a') + 10;
            else if (ch >= 'A' && ch <= 'Z') d = static_cast<std::uint64_t>(ch - 'A') + (base > 36 ? 36 : 10);
            else if (ch == '@') d = 62;
            else if (ch == '_') d = 63;
            else return fail("invalid integer constant");
            if (d >= base) return fail("value too great for base");
            value = value * base + d;
        }
        out = wrap(value);
        return true;
    }

    // ---- variables ----

    // Fills in the reference's current value.
    bool read(Operand& ref) {
        auto got = ref.kind == Operand::Kind::Element ? env_.get_element(ref.name, ref.index)
                   : ref.kind == Operand::Kind::Keyed ? env_.get_key(ref.name, ref.key)
                                                      : env_.get(ref.name);
        if (!got) return fail_with(ArithError{std::move(got.error()), true});
        ref.value = 0;
        if (!*got) return true;
        std::string_view text = trim_space(**got);
        if (text.empty()) return true;
        if (auto v = parse_decimal(text)) {
            ref.value = *v;
            return true;
        }
        if (level_ + 1 >= kArithMaxRecursion)
            return fail_with(ArithError{
                fmt::format("expression recursion level exceeded (error token is \"{}\")", ref.name), false});
        if (!env_.charge_work(sat_add(sat_mul(text.size(), kArithByteWork), kArithNestedWork)))
            return fail_with(ArithError{{}, true, true});
        std::string owned(text);
        auto inner = with_stack_headroom([&] { return Parser(env_, owned, level_ + 1).run(); });
        if (!inner) return fail_with(std::move(inner.error()));
        ref.value = *inner;
        return true;
    }

    bool write(const Operand& ref, std::int64_t value) {
        auto done = ref.kind == Operand::Kind::Element ? env_.set_element(ref.name, ref.index, value)
                    : ref.kind == Operand::Kind::Keyed ? env_.set_key(ref.name, ref.key, value)
                                                       : env_.set(ref.name, value);
        if (!done) return fail_with(ArithError{std::move(done.error()), true});
        return true;
    }

    // ---- operators ----

    bool apply(std::string_view op, std::int64_t a, std::int64_t b, std::int64_t& out) {
        constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
        if (op == "|") out = a | b;
        else if (op == "^") out = a ^ b;
        else if (op == "&") out = a & b;
        else if (op == "==") out = a == b;
        else if (op == "!=") out = a != b;
        else if (op == "<=") out = a <= b;
        else if (op == ">=") out = a >= b;
        else if (op == "<") out = a < b;
        else if (op == ">") out = a > b;
        else if (op == "<<") out = wrap(bits(a) << (bits(b) & 63));
        else if (op == ">>") out = a >> (bits(b) & 63);
        else if (op == "+") out = wrap(bits(a) + bits(b));
        else if (op == "-") out = wrap(bits(a) - bits(b));
        else if (op == "*") out = wrap(bits(a) * bits(b));
        else if (op == "/" || op == "%") {
            if (b == 0) return fail("division by 0");
            if (b == -1) out = op == "/" ? (a == kMin ? kMin : -a) : 0;
            else out = op == "/" ? a / b : a % b;
        } else if (op == "**") {
            if (b < 0) return fail("exponent less than 0");
            std::uint64_t result = 1, square = bits(a);
            for (std::uint64_t e = bits(b); e != 0; e >>= 1) {
                if (e & 1) result *= square;
                square *= square;
            }
            out = wrap(result);
        } else {
            unreachable("arithmetic operator");
        }
        return true;
    }

    ArithEnv& env_;
    std::string_view text_;
    std::uint32_t level_;
    std::size_t pos_ = 0;
    std::size_t err_pos_ = 0;
    std::uint32_t depth_ = 0;
    std::optional<ArithError> error_;
};

}  // namespace

std::string error_text(const ArithError& error) { return error.message; }

std::string render_arith_error(const ArithError& error, std::string_view expression) {
    if (error.verbatim) return error.message;
    return fmt::format("{}: {}", expression.substr(skip_space_from(expression, 0)), error.message);
}

Result<std::int64_t, ArithError> arith_eval(ArithEnv& env, std::string_view text) {
    if (!env.charge_work(sat_mul(text.size(), kArithByteWork))) return std::unexpected(ArithError{{}, true, true});
    return Parser(env, text, 0).run();
}

}  // namespace tw
