// find: the command line. Start paths come first; the rest is an expression of tests and actions
// joined by "!", implicit or explicit "and", "-o" and parentheses, parsed by recursive descent
// with a nesting guard and stack growth for deep but legal nesting.
#include <charconv>
#include <limits>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <utf8proc.h>

#include "base/sat.h"
#include "base/stack.h"
#include "base/utf8.h"
#include "shell/program/find_internal.h"

namespace tw {

FindNodeId FindExpr::add(FindNode node) {
    nodes.push_back(std::move(node));
    return static_cast<FindNodeId>(nodes.size() - 1);
}

namespace {

const char* compare_sign(FindCompare c) {
    switch (c) {
        case FindCompare::Less: return "-";
        case FindCompare::Exact: return "";
        case FindCompare::Greater: return "+";
    }
    return "";
}

}  // namespace

std::string find_lowercase(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        utf8proc_int32_t cp = 0;
        const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + i),
                                        static_cast<utf8proc_ssize_t>(text.size() - i), &cp);
        if (n <= 0) {
            out.push_back(text[i]);
            ++i;
            continue;
        }
        utf8_append(out, static_cast<char32_t>(utf8proc_tolower(cp)));
        i += static_cast<std::size_t>(n);
    }
    return out;
}

namespace {

// An unsigned number in the ordinary text form: digits of `base`, after at most one "+".
template <class T>
std::optional<T> parse_unsigned(std::string_view text, int base = 10) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    T value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// A leading "+" or "-" taken off as the comparison.
FindCompare take_sign(std::string_view& text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        return FindCompare::Greater;
    }
    if (!text.empty() && text.front() == '-') {
        text.remove_prefix(1);
        return FindCompare::Less;
    }
    return FindCompare::Exact;
}

using Parsed = Result<FindNodeId, std::string>;

class FindParser {
public:
    explicit FindParser(std::span<const std::string> args) : args_(args) {}

    Parsed parse_or();
    Parsed parse_and();
    Parsed parse_primary();

    std::size_t position() const { return pos_; }

    FindExpr expr;
    std::optional<std::uint64_t> maxdepth;
    std::uint64_t mindepth = 0;
    std::uint64_t next_batch = 0;
    std::vector<FindNodeId> batch_nodes;
    bool has_action = false;
    bool deletes = false;
    bool explicit_depth = false;
    bool prune = false;

private:
    const std::string* peek() const { return pos_ < args_.size() ? &args_[pos_] : nullptr; }
    bool next_is(std::string_view a, std::string_view b) const {
        const std::string* arg = peek();
        return arg != nullptr && (*arg == a || *arg == b);
    }
    // A primary as an operand: refused past the nesting limit, one level deeper while it parses.
    Parsed guarded_primary();
    // The operand of an option; the error names the option.
    Result<std::string, std::string> operand(std::string_view option);
    Parsed exec(const std::string& option, bool in_directory);

    std::span<const std::string> args_;
    std::size_t pos_ = 0;
    std::uint64_t depth_ = 0;
};

constexpr std::string_view kTooDeep = "expression is nested too deeply";

Parsed FindParser::guarded_primary() {
    if (depth_ > kFindMaxNesting) return std::unexpected(std::string(kTooDeep));
    ++depth_;
    Parsed result = with_stack_headroom([&] { return parse_primary(); });
    --depth_;
    return result;
}

Parsed FindParser::parse_or() {
    Parsed left = parse_and();
    if (!left) return left;
    std::uint64_t added = 0;
    Parsed result = left;
    while (next_is("-o", "-or")) {
        ++pos_;
        if (depth_ > kFindMaxNesting) {
            result = std::unexpected(std::string(kTooDeep));
            break;
        }
        ++depth_;
        ++added;
        Parsed right = parse_and();
        if (!right) {
            result = std::move(right);
            break;
        }
        result = expr.add(find_expr::Or{*result, *right});
    }
    depth_ -= added;
    return result;
}

Parsed FindParser::parse_and() {
    Parsed result = guarded_primary();
    if (!result) return result;
    std::uint64_t added = 0;
    while (true) {
        if (next_is("-a", "-and")) {
            ++pos_;
        } else {
            const std::string* arg = peek();
            if (arg == nullptr || *arg == ")" || *arg == "-o" || *arg == "-or") break;
        }
        if (depth_ > kFindMaxNesting) {
            result = std::unexpected(std::string(kTooDeep));
            break;
        }
        ++depth_;
        ++added;
        Parsed right = guarded_primary();
        if (!right) {
            result = std::move(right);
            break;
        }
        result = expr.add(find_expr::And{*result, *right});
    }
    depth_ -= added;
    return result;
}

Result<std::string, std::string> FindParser::operand(std::string_view option) {
    const std::string* arg = peek();
    if (arg == nullptr) return std::unexpected(fmt::format("missing argument to '{}'", option));
    ++pos_;
    return *arg;
}

Parsed FindParser::exec(const std::string& option, bool in_directory) {
    std::vector<std::string> words;
    std::optional<std::string> terminator;
    while (const std::string* arg = peek()) {
        ++pos_;
        if (*arg == ";" || *arg == "+") {
            terminator = *arg;
            break;
        }
        words.push_back(*arg);
    }
    if (!terminator) return std::unexpected(fmt::format("missing terminator for '{}'", option));
    find_expr::Exec node{std::nullopt, {}, in_directory};
    if (*terminator == "+") {
        if (words.empty() || words.back() != "{}")
            return std::unexpected(fmt::format("'{} ... +' requires '{{}}' immediately before '+'", option));
        words.pop_back();
    }
    if (words.empty()) return std::unexpected(fmt::format("missing command for '{}'", option));
    if (*terminator == "+") {
        if (in_directory)
            return std::unexpected(
                std::string("'-execdir ... +' is unsupported: batching would require grouping matches by directory"));
        node.batch = next_batch;
        next_batch = sat_add(next_batch, 1);
    }
    node.words = std::move(words);
    has_action = true;
    const bool batch = node.batch.has_value();
    const FindNodeId id = expr.add(std::move(node));
    if (batch) batch_nodes.push_back(id);
    return id;
}

Parsed FindParser::parse_primary() {
    if (next_is("!", "-not")) {
        ++pos_;
        Parsed operand = guarded_primary();
        if (!operand) return operand;
        return expr.add(find_expr::Not{*operand});
    }
    const std::string* taken = peek();
    if (taken == nullptr) return std::unexpected(std::string("expected predicate"));
    ++pos_;
    const std::string& arg = *taken;

    if (arg == "(") {
        Parsed inner = parse_or();
        if (!inner) return inner;
        if (!next_is(")", ")")) return std::unexpected(std::string("missing ')'"));
        ++pos_;
        return inner;
    }

    // Options without an operand.
    if (arg == "-prune") {
        prune = true;
        return expr.add(find_expr::Prune{});
    }
    if (arg == "-depth") {
        explicit_depth = true;
        return expr.add(find_expr::True{});
    }
    if (arg == "-empty") return expr.add(find_expr::Empty{});
    if (arg == "-print" || arg == "-print0") {
        has_action = true;
        return expr.add(find_expr::Print{arg == "-print0"});
    }
    if (arg == "-delete") {
        has_action = true;
        deletes = true;
        return expr.add(find_expr::Delete{});
    }
    if (arg == "-exec" || arg == "-execdir") return exec(arg, arg == "-execdir");
    if (arg == "-ok" || arg == "-okdir")
        return std::unexpected(fmt::format(
            "'{}' is unsupported: it requires an interactive terminal, which the simulator does not provide", arg));

    static constexpr std::string_view kWithOperand[] = {"-type", "-name",  "-iname", "-path",     "-wholename",
                                                         "-newer", "-size", "-perm",  "-mtime",    "-mmin",
                                                         "-maxdepth", "-mindepth"};
    bool takes_operand = false;
    for (std::string_view option : kWithOperand) takes_operand = takes_operand || arg == option;
    if (!takes_operand) {
        if (!arg.empty() && arg.front() == '-') return std::unexpected(fmt::format("unsupported predicate '{}'", arg));
        return std::unexpected(fmt::format("unexpected path or expression '{}'", arg));
    }

    auto value = operand(arg);
    if (!value) return std::unexpected(std::move(value.error()));
    const std::string& text = *value;

    if (arg == "-type") {
        if (text != "d" && text != "f" && text != "l")
            return std::unexpected(fmt::format("unsupported file type '{}'", text));
        return expr.add(find_expr::Type{text[0]});
    }
    if (arg == "-name") return expr.add(find_expr::Name{text});
    if (arg == "-iname") return expr.add(find_expr::IName{find_lowercase(text)});
    if (arg == "-path" || arg == "-wholename") return expr.add(find_expr::Path{text});
    if (arg == "-newer") return expr.add(find_expr::Newer{text});
    if (arg == "-size") {
        std::string_view rest = text;
        const FindCompare comparison = take_sign(rest);
        const std::string unsigned_text(rest);
        std::uint64_t unit = 512;
        if (!rest.empty() && rest.back() == 'c') unit = 1;
        else if (!rest.empty() && rest.back() == 'k') unit = 1024;
        else if (!rest.empty() && rest.back() == 'M') unit = 1048576;
        if (unit != 512) rest.remove_suffix(1);
        auto count = parse_unsigned<std::uint64_t>(rest);
        if (!count) return std::unexpected(fmt::format("invalid argument to '-size': '{}'", unsigned_text));
        return expr.add(find_expr::Size{*count, unit, comparison});
    }
    if (arg == "-perm") {
        std::string_view rest = text;
        PermMatch kind = PermMatch::Exact;
        if (!rest.empty() && rest.front() == '-') {
            kind = PermMatch::AllOf;
            rest.remove_prefix(1);
        } else if (!rest.empty() && rest.front() == '/') {
            kind = PermMatch::AnyOf;
            rest.remove_prefix(1);
        }
        auto mode = parse_unsigned<std::uint32_t>(rest, 8);
        if (!mode) return std::unexpected(fmt::format("invalid mode to '-perm': '{}'", text));
        return expr.add(find_expr::Perm{*mode, kind});
    }
    if (arg == "-mtime" || arg == "-mmin") {
        std::string_view rest = text;
        const FindCompare comparison = take_sign(rest);
        auto count = parse_unsigned<std::uint64_t>(rest);
        if (!count) return std::unexpected(fmt::format("invalid age '{}'", text));
        return expr.add(find_expr::Age{*count, arg == "-mtime" ? 86'400'000ULL : 60'000ULL, comparison});
    }
    // -maxdepth, -mindepth
    auto number = parse_unsigned<std::uint64_t>(text);
    if (!number) return std::unexpected(fmt::format("invalid argument to '{}': '{}'", arg, text));
    if (arg == "-maxdepth") maxdepth = *number;
    else mindepth = *number;
    return expr.add(find_expr::True{});
}

bool starts_expression(const std::string& arg) {
    return (!arg.empty() && arg.front() == '-') || arg == "!" || arg == "(" || arg == ")";
}

}  // namespace

Result<FindCommand, std::string> FindCommand::parse(std::span<const std::string> args) {
    FindCommand command;
    std::size_t first = 0;
    while (first < args.size() && !starts_expression(args[first])) command.start_paths.push_back(args[first++]);
    if (command.start_paths.empty()) command.start_paths.push_back(".");

    const std::span<const std::string> rest = args.subspan(first);
    FindParser parser(rest);
    if (!rest.empty()) {
        Parsed root = parser.parse_or();
        if (!root) return std::unexpected(std::move(root.error()));
        if (parser.position() < rest.size())
            return std::unexpected(fmt::format("unexpected argument '{}'", rest[parser.position()]));
        parser.expr.root = *root;
    }
    if (parser.prune && parser.deletes && !parser.explicit_depth)
        return std::unexpected(
            std::string("-delete implies -depth, which makes -prune ineffective; specify -depth explicitly"));

    command.maxdepth = parser.maxdepth;
    command.mindepth = parser.mindepth;
    command.expression = std::move(parser.expr);
    command.batch_count = parser.next_batch;
    command.batch_nodes = std::move(parser.batch_nodes);
    command.has_action = parser.has_action;
    command.depth_first = parser.deletes || parser.explicit_depth;
    return command;
}

std::string FindExpr::describe() const { return describe(root); }

std::string FindExpr::describe(FindNodeId id) const {
    struct Describe {
        const FindExpr& e;
        std::string operator()(const find_expr::True&) const { return "True"; }
        std::string operator()(const find_expr::Prune&) const { return "Prune"; }
        std::string operator()(const find_expr::Type& n) const { return fmt::format("Type {}", n.letter); }
        std::string operator()(const find_expr::Name& n) const { return fmt::format("Name {}", n.pattern); }
        std::string operator()(const find_expr::IName& n) const { return fmt::format("IName {}", n.pattern); }
        std::string operator()(const find_expr::Path& n) const { return fmt::format("Path {}", n.pattern); }
        std::string operator()(const find_expr::Empty&) const { return "Empty"; }
        std::string operator()(const find_expr::Newer& n) const { return fmt::format("Newer {}", n.reference); }
        std::string operator()(const find_expr::Size& n) const {
            return fmt::format("Size {}{}*{}", compare_sign(n.comparison), n.count, n.unit);
        }
        std::string operator()(const find_expr::Perm& n) const {
            const char* prefix = n.kind == PermMatch::AllOf ? "-" : n.kind == PermMatch::AnyOf ? "/" : "";
            return fmt::format("Perm {}{:o}", prefix, n.mode);
        }
        std::string operator()(const find_expr::Age& n) const {
            return fmt::format("Age {}{}*{}", compare_sign(n.comparison), n.count, n.unit);
        }
        std::string operator()(const find_expr::Print& n) const { return n.nul ? "Print0" : "Print"; }
        std::string operator()(const find_expr::Delete&) const { return "Delete"; }
        std::string operator()(const find_expr::Exec& n) const {
            std::string mode = n.batch ? fmt::format("Batch {}", *n.batch) : std::string("Each");
            return fmt::format("{}({}: {})", n.in_directory ? "ExecDir" : "Exec", mode, fmt::join(n.words, " "));
        }
        std::string operator()(const find_expr::Not& n) const { return fmt::format("Not({})", e.describe(n.operand)); }
        std::string operator()(const find_expr::And& n) const {
            return fmt::format("And({}, {})", e.describe(n.left), e.describe(n.right));
        }
        std::string operator()(const find_expr::Or& n) const {
            return fmt::format("Or({}, {})", e.describe(n.left), e.describe(n.right));
        }
    };
    return with_stack_headroom([&] { return std::visit(Describe{*this}, nodes[id]); });
}

}  // namespace tw
