#include "shell/test_eval.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "base/regex.h"
#include "kernel/machine.h"
#include "kernel/vfs_path.h"
#include "shell/pattern.h"
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

bool is_and(std::string_view op) { return op == "-a" || op == "&&"; }
bool is_or(std::string_view op) { return op == "-o" || op == "||"; }

bool is_binary_operator(std::string_view op) {
    return op == "=" || op == "==" || op == "!=" || op == "<" || op == ">" || op == "=~" || op == "-nt" ||
           op == "-ot" || op == "-ef" || is_integer_operator(op);
}

bool is_unary_operator(std::string_view op) {
    return op.size() == 2 && op[0] == '-' && std::string_view("abcdefghknoprstuvwxzGLNOSR").find(op[1]) != std::string_view::npos;
}

// The descriptor a path names when it is one of the process's own descriptor links.
std::optional<std::int32_t> descriptor_path(std::string_view path) {
    if (path == "/dev/stdin") return 0;
    if (path == "/dev/stdout") return 1;
    if (path == "/dev/stderr") return 2;
    for (std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (!path.starts_with(prefix)) continue;
        std::string_view digits = path.substr(prefix.size());
        std::int32_t fd = 0;
        auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), fd);
        if (ec == std::errc{} && ptr == digits.data() + digits.size() && !digits.empty() && fd >= 0) return fd;
    }
    return std::nullopt;
}

// The argument-count rules of POSIX `test` for up to four operands, and a recursive-descent
// parse of `!`, parentheses, `-a`/`&&` and `-o`/`||` for longer expressions. The first syntax
// error ends the evaluation: `failed_` is set and `message_` holds its text (empty when nothing
// is to be printed, as for a refused CPU charge).
class Evaluator {
public:
    Evaluator(Machine& machine, bool patterns, Operands ops) : machine_(machine), patterns_(patterns), ops_(ops) {}

    bool failed() const { return failed_; }
    const std::string& message() const { return message_; }

    bool evaluate() {
        if (!machine_.meter.charge_cpu(ops_.size())) return fail("");
        switch (ops_.size()) {
        case 0: return false;
        case 1: return !ops_[0].empty();
        case 2: return two(0);
        case 3: return three(0);
        case 4:
            if (ops_[0] == "!") {
                bool value = three(1);
                return !failed_ && !value;
            }
            if (ops_[0] == "(" && ops_[3] == ")") return two(1);
            break;
        default: break;
        }
        bool value = disjunction(0);
        if (failed_) return false;
        if (pos_ != ops_.size()) return fail("too many arguments");
        return value;
    }

private:
    bool fail(std::string message) {
        if (!failed_) {
            failed_ = true;
            message_ = std::move(message);
        }
        return false;
    }

    bool two(std::size_t p) {
        if (ops_[p] == "!") return ops_[p + 1].empty();
        if (is_unary_operator(ops_[p])) return unary(ops_[p], ops_[p + 1]);
        return fail(fmt::format("{}: unary operator expected", ops_[p]));
    }

    bool three(std::size_t p) {
        const std::string& op = ops_[p + 1];
        if (is_binary_operator(op)) return binary(ops_[p], op, ops_[p + 2]);
        if (is_and(op)) return !ops_[p].empty() && !ops_[p + 2].empty();
        if (is_or(op)) return !ops_[p].empty() || !ops_[p + 2].empty();
        if (ops_[p] == "!") {
            bool value = two(p + 1);
            return !failed_ && !value;
        }
        if (ops_[p] == "(" && ops_[p + 2] == ")") return !ops_[p + 1].empty();
        return fail(fmt::format("{}: binary operator expected", op));
    }

    bool too_deep(std::uint32_t depth) { return depth > kTestMaxDepth && !fail("expression is nested too deeply"); }

    bool disjunction(std::uint32_t depth) {
        if (too_deep(depth)) return false;
        bool value = conjunction(depth);
        if (failed_ || pos_ >= ops_.size() || !is_or(ops_[pos_])) return value;
        ++pos_;
        bool rest = disjunction(depth + 1);
        return !failed_ && (value || rest);
    }

    bool conjunction(std::uint32_t depth) {
        if (too_deep(depth)) return false;
        bool value = term(depth);
        if (failed_ || pos_ >= ops_.size() || !is_and(ops_[pos_])) return value;
        ++pos_;
        bool rest = conjunction(depth + 1);
        return !failed_ && value && rest;
    }

    bool term(std::uint32_t depth) {
        if (too_deep(depth)) return false;
        if (pos_ >= ops_.size()) return fail("argument expected");
        const std::string& word = ops_[pos_];
        if (word == "!") {
            ++pos_;
            bool value = term(depth + 1);
            return !failed_ && !value;
        }
        if (word == "(") {
            ++pos_;
            if (pos_ >= ops_.size()) return fail("argument expected");
            bool value = disjunction(depth + 1);
            if (failed_) return false;
            if (pos_ >= ops_.size() || ops_[pos_] != ")") return fail("`)' expected");
            ++pos_;
            return value;
        }
        if (pos_ + 3 <= ops_.size() && is_binary_operator(ops_[pos_ + 1])) {
            pos_ += 3;
            return binary(ops_[pos_ - 3], ops_[pos_ - 2], ops_[pos_ - 1]);
        }
        if (is_unary_operator(word)) {
            if (pos_ + 1 >= ops_.size()) return fail("argument expected");
            pos_ += 2;
            return unary(word, ops_[pos_ - 1]);
        }
        ++pos_;
        return !word.empty();
    }

    ProcessState& state() { return machine_.states.active_mut(); }

    std::optional<FileStat> stat(std::string_view path, bool follow) {
        // A refused charge answers "no such file"; the meter has recorded the stop.
        if (!machine_.meter.charge_cpu(path_resolution_work(state().cwd, path))) return std::nullopt;
        auto st = machine_.stat_path(state().cwd, path, follow);
        if (!st) return std::nullopt;
        return *st;
    }

    // The kind of the open description behind a descriptor link such as /dev/stdin.
    std::optional<FileTypeCode> descriptor_type(std::string_view operand) {
        auto fd = descriptor_path(path_join_normalize(state().cwd, operand));
        if (!fd) return std::nullopt;
        auto number = state().descriptors.description_of(*fd);
        if (!number) return std::nullopt;
        auto info = machine_.open_descriptions.file_type(*number);
        if (!info) return std::nullopt;
        return info->type;
    }

    bool option_set(std::string_view name) {
        const ShellOptions& o = state().options;
        if (name == "pipefail") return o.pipefail;
        if (name == "errexit") return o.errexit;
        if (name == "errtrace") return o.errtrace;
        if (name == "nounset") return o.nounset;
        return false;
    }

    // `-v name[subscript]`: whether that element is set.
    bool element_set(std::string_view name, std::string_view subscript) {
        ProcessState& st = state();
        if (subscript == "@" || subscript == "*") return array_length(st, name) > 0 || lookup_parameter(st, name);
        if (is_associative_array(st, name)) return get_array_element(st, name, subscript).has_value();
        auto index = arith_eval(st, subscript);
        if (!index) return false;
        auto resolved = arith_resolve_subscript(st, name, *index);
        if (!resolved) return false;
        if (is_array(st, name)) return get_array_element(st, name, fmt::format("{}", *resolved)).has_value();
        return *resolved == 0 && lookup_parameter(st, name).has_value();
    }

    bool variable_set(std::string_view operand) {
        const std::size_t open = operand.find('[');
        if (open != std::string_view::npos && open > 0 && operand.ends_with(']'))
            return element_set(operand.substr(0, open), operand.substr(open + 1, operand.size() - open - 2));
        return lookup_parameter(state(), operand).has_value() || is_array(state(), operand);
    }

    bool unary(std::string_view op, const std::string& operand) {
        switch (op[1]) {
        case 'z': return operand.empty();
        case 'n': return !operand.empty();
        case 'v': return variable_set(operand);
        case 'o': return option_set(operand);
        case 't': return false;  // no descriptor is a terminal
        case 'R': return false;  // there are no name references
        case 's': {
            auto size = machine_.file_size_at(state().cwd, operand);
            return size && *size > 0;
        }
        case 'L':
        case 'h': {
            auto st = stat(operand, false);
            return st && st->file_type == 2;
        }
        case 'p': return descriptor_type(operand) == FileTypeCode::Pipe;
        case 'c': {
            if (auto type = descriptor_type(operand)) return *type == FileTypeCode::CharDevice;
            const std::string path = path_join_normalize(state().cwd, operand);
            return path == "/dev/null" || path == "/dev/zero" || path == "/dev/random" || path == "/dev/urandom";
        }
        default: break;
        }
        auto st = stat(operand, true);
        if (!st) return false;
        switch (op[1]) {
        case 'f': return st->file_type == 0;
        case 'd': return st->file_type == 1;
        case 'r': return (st->mode & 0444) != 0;
        case 'w': return (st->mode & 0222) != 0;
        case 'x': return (st->mode & 0111) != 0;
        case 'k': return (st->mode & 01000) != 0;
        case 'g': return (st->mode & 02000) != 0;
        case 'u': return (st->mode & 04000) != 0;
        case 'O': return st->uid == state().uid;
        case 'G': return st->gid == 0;
        case 'S':
        case 'b':
        case 'N': return false;  // no sockets, no block devices, no access times
        default: return true;    // -e and -a
        }
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
        auto l = stat(left, true);
        auto r = stat(right, true);
        if (op == "-nt") return l && (!r || l->mtime_ns > r->mtime_ns);
        if (op == "-ot") return r && (!l || l->mtime_ns < r->mtime_ns);
        return l && r && l->dev == r->dev && l->ino == r->ino;  // -ef
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
    Operands ops_;
    std::size_t pos_ = 0;
    bool failed_ = false;
    std::string message_;
};

}  // namespace

std::int32_t test_evaluate(Machine& machine, std::string_view name, std::span<const std::string> operands,
                           Bytes& err) {
    Operands ops = operands;
    if (name == "[" || name == "[[") {
        const std::string_view closing = name == "[[" ? "]]" : "]";
        if (ops.empty() || ops.back() != closing) {
            err += fmt::format("{}: missing '{}'\n", name, closing);
            return 2;
        }
        ops = ops.first(ops.size() - 1);
    }
    if (ops.size() == 3 && is_integer_operator(ops[1]) && (!parse_integer(ops[0]) || !parse_integer(ops[2]))) {
        err += fmt::format("{}: integer expression expected\n", name);
        return 2;
    }
    Evaluator evaluator(machine, name == "[[", ops);
    const bool value = evaluator.evaluate();
    if (!evaluator.failed()) return value ? 0 : 1;
    if (!evaluator.message().empty()) err += fmt::format("{}: {}\n", name, evaluator.message());
    return 2;
}

}  // namespace tw
