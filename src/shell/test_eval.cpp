#include "shell/test_eval.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "base/regex.h"
#include "kernel/machine.h"
#include "shell/expand.h"
#include "shell/variables.h"

namespace tw {

namespace {

using Operands = std::span<const std::string>;

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
        return patterns_ ? metered_pattern_match(machine_, right, left).value_or(false) : left == right;
    }

    bool regex_match(std::string_view subject, std::string_view pattern) {
        auto re = Regex::compile(pattern);
        if (!re) return false;
        ShellArray::Indexed groups;
        auto found = paid_search(*re, subject, pattern.size());
        bool matched = found && found->has_value();
        if (matched) {
            const Match& m = **found;
            for (std::size_t g = 0; g <= m.group_count(); ++g) groups.elements.emplace(g, std::string(m.text(subject, g)));
        }
        store_array(state(), "BASH_REMATCH", ShellArray{std::move(groups)});
        return matched;
    }

    // A search whose engine work is paid for as it goes: it starts with a small match limit and
    // raises it fourfold while the CPU budget pays half a unit per step of the limit. A search
    // that needs more than the engine's own limit fails as before.
    Result<std::optional<Match>, RegexError> paid_search(const Regex& re, std::string_view subject,
                                                         std::size_t pattern_size) {
        std::uint64_t limit = 256 + 2 * static_cast<std::uint64_t>(subject.size() + pattern_size);
        while (true) {
            limit = std::min<std::uint64_t>(limit, kRegexMatchLimit);
            if (!machine_.meter.charge_cpu(limit / 2)) return std::unexpected(RegexError{});
            RegexMatchLimit scope(static_cast<std::uint32_t>(limit));
            auto found = re.find(subject);
            if (found || found.error().kind != RegexError::Kind::MatchLimit || limit >= kRegexMatchLimit) return found;
            limit *= 4;
        }
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
