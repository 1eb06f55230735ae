#include "shell/test_eval.h"

#include <cctype>
#include <charconv>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "base/regex.h"
#include "kernel/machine.h"
#include "shell/variables.h"

namespace tw {

namespace {

using Operands = std::span<const std::string>;

// ---- shell patterns of [[ = ]] ----
//
// `*` any text, `?` one character, `[...]` a set (leading `!` or `^` negates it; ranges, `]` first
// as a member, [:class:]), a backslash quotes the next character. A `[` without its `]` is
// itself. Characters are UTF-8 characters; a byte outside valid UTF-8 is one character.

std::vector<char32_t> decode_chars(std::string_view s) {
    std::vector<char32_t> out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        std::size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
        char32_t c = b;
        bool valid = len != 0 && i + len <= s.size();
        if (valid && len > 1) {
            c = b & (0xFF >> (len + 1));
            for (std::size_t k = 1; k < len && valid; ++k) {
                auto cb = static_cast<unsigned char>(s[i + k]);
                valid = (cb & 0xC0) == 0x80;
                c = (c << 6) | (cb & 0x3F);
            }
            constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
            valid = valid && c >= kMin[len] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
        }
        if (!valid) {
            // Kept apart from every real character.
            c = 0x110000 + b;
            len = 1;
        }
        out.push_back(c);
        i += len;
    }
    return out;
}

bool in_class(std::string_view cls, char32_t c) {
    if (c >= 0x80) return false;
    auto ch = static_cast<unsigned char>(c);
    if (cls == "alpha") return std::isalpha(ch);
    if (cls == "digit") return std::isdigit(ch);
    if (cls == "alnum") return std::isalnum(ch);
    if (cls == "upper") return std::isupper(ch);
    if (cls == "lower") return std::islower(ch);
    if (cls == "space") return std::isspace(ch);
    if (cls == "blank") return ch == ' ' || ch == '\t';
    if (cls == "punct") return std::ispunct(ch);
    if (cls == "print") return std::isprint(ch);
    if (cls == "graph") return std::isgraph(ch);
    if (cls == "cntrl") return std::iscntrl(ch);
    if (cls == "xdigit") return std::isxdigit(ch);
    if (cls == "word") return std::isalnum(ch) || ch == '_';
    return false;
}

// Matches the set starting at p[i] == '[' against c. Answers the index after the set, or nothing
// when the set is not closed (the `[` is then an ordinary character).
std::optional<std::size_t> match_set(const std::vector<char32_t>& p, std::size_t i, char32_t c, bool& matched) {
    std::size_t j = i + 1;
    bool negate = false;
    if (j < p.size() && (p[j] == '!' || p[j] == '^')) {
        negate = true;
        ++j;
    }
    bool hit = false;
    bool first = true;
    while (j < p.size()) {
        char32_t lo = p[j];
        if (lo == ']' && !first) {
            matched = hit != negate;
            return j + 1;
        }
        first = false;
        if (lo == '[' && j + 1 < p.size() && p[j + 1] == ':') {
            std::size_t k = j + 2;
            while (k + 1 < p.size() && !(p[k] == ':' && p[k + 1] == ']')) ++k;
            if (k + 1 < p.size()) {
                std::string name;
                for (std::size_t n = j + 2; n < k; ++n) name.push_back(p[n] < 0x80 ? static_cast<char>(p[n]) : '?');
                hit = hit || in_class(name, c);
                j = k + 2;
                continue;
            }
        }
        if (lo == '\\' && j + 1 < p.size()) lo = p[++j];
        ++j;
        if (j + 1 < p.size() && p[j] == '-' && p[j + 1] != ']') {
            char32_t hi = p[j + 1];
            j += 2;
            if (hi == '\\' && j < p.size()) hi = p[j++];
            hit = hit || (c >= lo && c <= hi);
        } else {
            hit = hit || c == lo;
        }
    }
    return std::nullopt;
}

// Whether the whole text matches the pattern; backtracks to the most recent `*` only.
bool pattern_match(std::string_view pattern, std::string_view text) {
    const std::vector<char32_t> p = decode_chars(pattern);
    const std::vector<char32_t> t = decode_chars(text);
    std::size_t pi = 0, ti = 0;
    std::optional<std::size_t> star_p, star_t;
    while (ti < t.size()) {
        if (pi < p.size()) {
            char32_t pc = p[pi];
            if (pc == '*') {
                while (pi < p.size() && p[pi] == '*') ++pi;
                star_p = pi;
                star_t = ti;
                continue;
            }
            if (pc == '?') {
                ++pi;
                ++ti;
                continue;
            }
            if (pc == '[') {
                bool matched = false;
                if (auto next = match_set(p, pi, t[ti], matched)) {
                    if (matched) {
                        pi = *next;
                        ++ti;
                        continue;
                    }
                } else if (t[ti] == '[') {
                    ++pi;
                    ++ti;
                    continue;
                }
            } else {
                if (pc == '\\' && pi + 1 < p.size()) pc = p[pi + 1];
                if (pc == t[ti]) {
                    pi += p[pi] == '\\' && pi + 1 < p.size() ? 2 : 1;
                    ++ti;
                    continue;
                }
            }
        }
        if (!star_p) return false;
        pi = *star_p;
        ti = ++*star_t;
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

// ---- integers ----

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::optional<std::int64_t> parse_integer(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        if (!s.empty() && s.front() == '-') return std::nullopt;
    }
    if (s.empty()) return std::nullopt;
    std::int64_t v = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

bool is_integer_operator(std::string_view op) {
    return op == "-eq" || op == "-ne" || op == "-lt" || op == "-le" || op == "-gt" || op == "-ge";
}

// ---- the evaluator ----

struct Outcome {
    bool error = false;
    // Without error: the truth. With error: true when nothing is to be printed.
    bool value = false;
};

class Evaluator {
public:
    Evaluator(Machine& machine, bool patterns) : machine_(machine), patterns_(patterns) {}

    Outcome eval(Operands ops, std::uint32_t depth) {
        if (depth > kTestMaxDepth) return {true, false};
        while (ops.size() >= 2 && ops.front() == "(" && ops.back() == ")") {
            if (!machine_.meter.charge_cpu(ops.size())) return {true, true};
            std::int64_t level = 0;
            bool encloses = true;
            for (std::size_t i = 0; i + 1 < ops.size(); ++i) {
                if (ops[i] == "(") ++level;
                else if (ops[i] == ")") --level;
                if (level <= 0) {
                    encloses = false;
                    break;
                }
            }
            if (!encloses) break;
            ops = ops.subspan(1, ops.size() - 2);
        }
        if (!machine_.meter.charge_cpu(ops.size())) return {true, true};

        if (auto at = split_at(ops, "-o", "||")) {
            Outcome left = eval(ops.first(*at), depth + 1);
            if (left.error || left.value) return left;
            return eval(ops.subspan(*at + 1), depth + 1);
        }
        if (auto at = split_at(ops, "-a", "&&")) {
            Outcome left = eval(ops.first(*at), depth + 1);
            if (left.error || !left.value) return left;
            return eval(ops.subspan(*at + 1), depth + 1);
        }
        if (!ops.empty() && ops.front() == "!") {
            Outcome inner = eval(ops.subspan(1), depth + 1);
            if (!inner.error) inner.value = !inner.value;
            return inner;
        }
        switch (ops.size()) {
        case 1: return {false, !ops[0].empty()};
        case 2: return {false, unary(ops[0], ops[1])};
        case 3: return {false, binary(ops[0], ops[1], ops[2])};
        default: return {false, false};
        }
    }

private:
    // The leftmost `a` or `b` outside parentheses.
    static std::optional<std::size_t> split_at(Operands ops, std::string_view a, std::string_view b) {
        std::int64_t level = 0;
        for (std::size_t i = 0; i < ops.size(); ++i) {
            if (ops[i] == "(") ++level;
            else if (ops[i] == ")") --level;
            else if (level == 0 && (ops[i] == a || ops[i] == b)) return i;
        }
        return std::nullopt;
    }

    ProcessState& state() { return machine_.states.active_mut(); }

    std::optional<FileStat> stat(std::string_view path, bool follow) {
        auto st = machine_.stat_path(state().cwd, path, follow);
        if (!st) return std::nullopt;
        return *st;
    }

    bool unary(std::string_view op, const std::string& operand) {
        if (op == "-z") return operand.empty();
        if (op == "-n") return !operand.empty();
        if (op == "!") return operand.empty();
        if (op == "-v") return lookup_parameter(state(), operand).has_value() || is_array(state(), operand);
        if (op == "-s") {
            auto size = machine_.file_size_at(state().cwd, operand);
            return size && *size > 0;
        }
        if (op == "-L" || op == "-h") {
            auto st = stat(operand, false);
            return st && st->file_type == 2;
        }
        if (op.size() == 2 && op[0] == '-' && std::string_view("eafdrwx").find(op[1]) != std::string_view::npos) {
            auto st = stat(operand, true);
            if (!st) return false;
            switch (op[1]) {
            case 'f': return st->file_type == 0;
            case 'd': return st->file_type == 1;
            case 'r': return (st->mode & 0444) != 0;
            case 'w': return (st->mode & 0222) != 0;
            case 'x': return (st->mode & 0111) != 0;
            default: return true;
            }
        }
        return !op.empty();
    }

    bool binary(const std::string& left, std::string_view op, const std::string& right) {
        if (op == "=" || op == "==") return equal(left, right);
        if (op == "!=") return !equal(left, right);
        if (is_integer_operator(op)) {
            std::int64_t a = parse_integer(left).value_or(0);
            std::int64_t b = parse_integer(right).value_or(0);
            if (op == "-eq") return a == b;
            if (op == "-ne") return a != b;
            if (op == "-lt") return a < b;
            if (op == "-le") return a <= b;
            if (op == "-gt") return a > b;
            return a >= b;
        }
        if (op == "<") return left < right;
        if (op == ">") return left > right;
        if (op == "=~") return regex_match(left, right);
        if (op == "-nt" || op == "-ot") {
            auto l = stat(left, true);
            auto r = stat(right, true);
            if (op == "-nt") return l && (!r || l->mtime_ms > r->mtime_ms);
            return r && (!l || l->mtime_ms < r->mtime_ms);
        }
        return false;
    }

    // `test` and `[` compare texts; `[[` matches the right side as a pattern.
    bool equal(std::string_view left, std::string_view right) const {
        return patterns_ ? pattern_match(right, left) : left == right;
    }

    bool regex_match(std::string_view subject, std::string_view pattern) {
        auto re = Regex::compile(pattern);
        if (!re) return false;
        ShellArray::Indexed groups;
        auto found = re->find(subject);
        bool matched = found && found->has_value();
        if (matched) {
            const Match& m = **found;
            for (std::size_t g = 0; g <= m.group_count(); ++g) groups.elements.emplace(g, std::string(m.text(subject, g)));
        }
        store_array(state(), "BASH_REMATCH", ShellArray{std::move(groups)});
        return matched;
    }

    Machine& machine_;
    bool patterns_;
};

}  // namespace

std::int32_t test_evaluate(Machine& machine, std::string_view name, std::span<const std::string> operands,
                           Bytes& err) {
    const std::string_view closing = name == "[[" ? "]]" : "]";
    Operands ops = operands;
    if (!ops.empty() && ops.back() == closing) {
        ops = ops.first(ops.size() - 1);
    } else if (name == "[" || name == "[[") {
        err += fmt::format("{}: missing '{}'\n", name, closing);
        return 2;
    }
    if (ops.size() == 3 && is_integer_operator(ops[1]) && (!parse_integer(ops[0]) || !parse_integer(ops[2]))) {
        err += fmt::format("{}: integer expression expected\n", name);
        return 2;
    }
    Outcome outcome = Evaluator(machine, name == "[[").eval(ops, 0);
    if (!outcome.error) return outcome.value ? 0 : 1;
    if (!outcome.value) err += fmt::format("{}: expression is nested too deeply\n", name);
    return 2;
}

}  // namespace tw
