#include <algorithm>
#include <limits>
#include <string>
#include <variant>

#include <fmt/format.h>

#include "base/bigint.h"
#include "base/regex.h"
#include "base/sat.h"
#include "base/stack.h"
#include "commands/calc/calc_commands.h"
#include "commands/sed/bre.h"
#include "commands/util/io.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::uint64_t kMaxDigits = 100000;
constexpr std::uint32_t kMaxDepth = 1000;

// A text or an integer of any size.
using ExprValue = std::variant<std::string, BigInt>;

// A message (printed after "expr: ", status 2), or a bare status without one.
struct ExprError {
    std::string message;
    std::int32_t status = 2;
};

template <class T>
using ExprResult = Result<T, ExprError>;

std::unexpected<ExprError> fail(std::string message) { return std::unexpected(ExprError{std::move(message), 2}); }

std::string to_text(const ExprValue& v) {
    if (const auto* text = std::get_if<std::string>(&v)) return *text;
    return std::get<BigInt>(v).to_decimal();
}

bool is_null(const ExprValue& v) {
    if (const auto* text = std::get_if<std::string>(&v)) return text->empty() || *text == "0";
    return std::get<BigInt>(v).is_zero();
}

// An optional sign and 1 to 100000 digits, nothing else.
std::optional<BigInt> read_integer(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.size() > kMaxDigits) return std::nullopt;
    auto value = parse_decimal_bigint(text);
    if (value && negative) return value->negated();
    return value;
}

std::optional<BigInt> as_integer(const ExprValue& v) {
    if (const auto* n = std::get_if<BigInt>(&v)) return *n;
    return read_integer(std::get<std::string>(v));
}

ExprValue operand(const std::string& token) {
    if (auto n = read_integer(token)) return std::move(*n);
    return token;
}

ExprValue integer(std::int64_t v) { return BigInt(v); }

// The text of `subject` from character `first` (0-based), at most `count` characters.
std::string char_substr(std::string_view subject, std::uint64_t first, std::uint64_t count) {
    std::size_t at = 0;
    std::uint64_t index = 0;
    while (at < subject.size() && index < first) {
        ++at;
        while (at < subject.size() && !utf8_char_start(subject[at])) ++at;
        ++index;
    }
    std::size_t end = at;
    std::uint64_t taken = 0;
    while (end < subject.size() && taken < count) {
        ++end;
        while (end < subject.size() && !utf8_char_start(subject[end])) ++end;
        ++taken;
    }
    return std::string(subject.substr(at, end - at));
}

class ExprParser {
public:
    ExprParser(Syscalls& sys, std::span<const std::string> args) : sys_(sys), args_(args) {}

    ExprResult<ExprValue> evaluate() { return level_or(); }
    bool done() const { return pos_ >= args_.size(); }
    const std::string& current() const { return args_[pos_]; }

private:
    bool next_is(std::string_view op) const { return !done() && args_[pos_] == op; }

    std::unexpected<ExprError> missing() const {
        return fail(fmt::format("syntax error: missing argument after '{}'", args_.back()));
    }

    ExprResult<ExprValue> level_or() {
        auto left = level_and();
        while (left && next_is("|")) {
            ++pos_;
            auto right = level_and();
            if (!right) return right;
            if (is_null(*left)) left = to_text(*right).empty() ? integer(0) : std::move(*right);
        }
        return left;
    }

    ExprResult<ExprValue> level_and() {
        auto left = level_compare();
        while (left && next_is("&")) {
            ++pos_;
            auto right = level_compare();
            if (!right) return right;
            if (is_null(*left) || is_null(*right)) left = integer(0);
        }
        return left;
    }

    ExprResult<ExprValue> level_compare() {
        static constexpr std::string_view kOps[] = {"=", "!=", "<", "<=", ">", ">="};
        auto left = level_add();
        while (left && !done() && std::ranges::find(kOps, current()) != std::end(kOps)) {
            const std::string op = args_[pos_++];
            auto right = level_add();
            if (!right) return right;
            int order = 0;
            auto a = as_integer(*left);
            auto b = as_integer(*right);
            if (a && b) {
                order = *a < *b ? -1 : *a > *b ? 1 : 0;
            } else {
                const int c = to_text(*left).compare(to_text(*right));
                order = c < 0 ? -1 : c > 0 ? 1 : 0;
            }
            const bool holds = op == "="    ? order == 0
                               : op == "!=" ? order != 0
                               : op == "<"  ? order < 0
                               : op == "<=" ? order <= 0
                               : op == ">"  ? order > 0
                                            : order >= 0;
            left = integer(holds ? 1 : 0);
        }
        return left;
    }

    ExprResult<ExprValue> arithmetic(char op, const ExprValue& left, const ExprValue& right) {
        auto a = as_integer(left);
        if (!a) return fail(fmt::format("non-integer argument '{}'", to_text(left)));
        auto b = as_integer(right);
        if (!b) return fail(fmt::format("non-integer argument '{}'", to_text(right)));
        const std::uint64_t d1 = a->decimal_digits();
        const std::uint64_t d2 = b->decimal_digits();
        const std::uint64_t units = op == '+' || op == '-' ? std::max(d1, d2) : sat_mul(d1, d2) / 8 + 1;
        if (!sys_.charge_cpu(std::max<std::uint64_t>(units, 1)))
            return std::unexpected(ExprError{{}, sys_.exhausted_status()});
        if ((op == '/' || op == '%') && b->is_zero()) return fail("division by zero");
        BigInt r = op == '+'   ? *a + *b
                   : op == '-' ? *a - *b
                   : op == '*' ? *a * *b
                   : op == '/' ? a->div_trunc(*b)
                               : a->rem_trunc(*b);
        if (r.decimal_digits() > kMaxDigits) return fail("number too large");
        return ExprValue(std::move(r));
    }

    // A left-associative chain of `operand`s joined by the one-character operators in `ops`.
    ExprResult<ExprValue> arithmetic_chain(ExprResult<ExprValue> (ExprParser::*operand)(), std::string_view ops) {
        auto left = (this->*operand)();
        while (left && !done() && current().size() == 1 && ops.find(current()[0]) != std::string_view::npos) {
            const char op = args_[pos_++][0];
            auto right = (this->*operand)();
            if (!right) return right;
            left = arithmetic(op, *left, *right);
        }
        return left;
    }

    ExprResult<ExprValue> level_add() { return arithmetic_chain(&ExprParser::level_mul, "+-"); }
    ExprResult<ExprValue> level_mul() { return arithmetic_chain(&ExprParser::level_match, "*/%"); }

    ExprResult<ExprValue> level_match() {
        auto left = primary();
        while (left && next_is(":")) {
            ++pos_;
            auto right = primary();
            if (!right) return right;
            left = match(*left, *right);
        }
        return left;
    }

    static ExprResult<ExprValue> match(const ExprValue& subject_value, const ExprValue& pattern_value) {
        const std::string subject = to_text(subject_value);
        auto translated = bre_to_regex(to_text(pattern_value));
        if (!translated) return fail(fmt::format("invalid regular expression: {}", translated.error()));
        auto regex = Regex::compile(fmt::format("^(?:{})", *translated));
        if (!regex) return fail(fmt::format("invalid regular expression: {}", error_text(regex.error())));
        auto found = regex->find(subject);
        // A pattern that compiled but could not be matched within the engine's limits is an error
        // of the evaluation (status 3), not of the expression.
        if (!found) return std::unexpected(ExprError{error_text(found.error()), 3});
        const std::optional<Match>& m = *found;
        if (regex->group_count() >= 1) return ExprValue(m ? std::string(m->text(subject, 1)) : std::string());
        return ExprValue(std::to_string(m ? m->span().size() : 0));
    }

    // A positive count or position above the signed 64-bit range counts as its largest value;
    // zero and negative values answer nothing.
    static std::optional<std::uint64_t> positive(const BigInt& v) {
        if (v.sign() <= 0) return std::nullopt;
        auto small = v.to_i64();
        return small ? static_cast<std::uint64_t>(*small)
                     : static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    }

    ExprResult<ExprValue> primary() {
        if (depth_ >= kMaxDepth) return fail("syntax error: expression is nested too deeply");
        ++depth_;
        auto result = with_stack_headroom([&] { return primary_body(); });
        --depth_;
        return result;
    }

    ExprResult<ExprValue> primary_body() {
        if (done()) return missing();
        const std::string& token = args_[pos_++];
        if (token == "(") {
            auto inner = level_or();
            if (!inner) return inner;
            if (done()) return missing();
            if (current() != ")") return fail(fmt::format("syntax error: expecting ')' but got '{}'", current()));
            ++pos_;
            return inner;
        }
        if (token == "+") {
            if (done()) return missing();
            return operand(args_[pos_++]);
        }
        if (token == "length") {
            auto x = primary();
            if (!x) return x;
            std::string storage;
            const std::string text = to_text(*x);
            return integer(static_cast<std::int64_t>(utf8_char_count(valid_utf8_view(text, storage))));
        }
        if (token == "match") {
            auto s = primary();
            if (!s) return s;
            auto p = primary();
            if (!p) return p;
            return match(*s, *p);
        }
        if (token == "index") {
            auto s = primary();
            if (!s) return s;
            auto c = primary();
            if (!c) return c;
            const std::u32string subject = utf8_chars(to_text(*s));
            const std::u32string chars = utf8_chars(to_text(*c));
            for (std::size_t i = 0; i < subject.size(); ++i)
                if (chars.find(subject[i]) != std::u32string::npos) return integer(static_cast<std::int64_t>(i + 1));
            return integer(0);
        }
        if (token == "substr") {
            auto s = primary();
            if (!s) return s;
            auto p = primary();
            if (!p) return p;
            auto p_int = as_integer(*p);
            if (!p_int) return fail(fmt::format("non-integer argument '{}'", to_text(*p)));
            auto l = primary();
            if (!l) return l;
            auto l_int = as_integer(*l);
            if (!l_int) return fail(fmt::format("non-integer argument '{}'", to_text(*l)));
            const std::string subject = to_text(*s);
            const auto first = positive(*p_int);
            const auto count = positive(*l_int);
            if (!first || !count) return ExprValue(std::string());
            return ExprValue(char_substr(subject, *first - 1, *count));
        }
        return operand(token);
    }

    Syscalls& sys_;
    std::span<const std::string> args_;
    std::size_t pos_ = 0;
    std::uint32_t depth_ = 0;
};

}  // namespace

std::int32_t expr_command(NativeInvocation& invocation, CommandIo& io) {
    std::span<const std::string> args = invocation.args;
    if (!args.empty() && args.front() == "--") args = args.subspan(1);
    Syscalls& sys = invocation.sys;
    std::uint64_t units = 0;
    for (const std::string& arg : args) units = sat_add(units, sat_add(arg.size(), 1));
    if (!sys.charge_cpu(std::max<std::uint64_t>(units, 1))) return sys.exhausted_status();
    if (args.empty()) {
        push_line(io.err, "expr: missing operand");
        push_line(io.err, "Try 'expr --help' for more information.");
        return 2;
    }
    ExprParser parser(sys, args);
    auto value = parser.evaluate();
    if (value && !parser.done())
        value = std::unexpected(ExprError{fmt::format("syntax error: unexpected argument '{}'", parser.current()), 2});
    if (!value) {
        if (!value.error().message.empty()) push_message(io.err, "expr", value.error().message);
        return value.error().status;
    }
    const std::string text = to_text(*value);
    push_line(io.out, text);
    return text.empty() || text == "0" ? 1 : 0;
}

}  // namespace tw
