// The shell's syntax tree.
//
// `shell_parse` (shell/parser.h) builds a tree of `ShellCommand` nodes. A tree is immutable once
// parsed: nodes hold their children as `ShellCommandPtr` (shared pointers to const nodes), so
// frames, function tables, traps and machine snapshots share one tree by reference and copying a
// tree is copying a pointer. A tree is plain data: it never points into a machine.
//
// ---------------------------------------------------------------------------------------------
// Raw texts
//
// Every text in the tree (words, assignment names and values, redirection targets, `for` words,
// the `case` word and patterns, function names, arithmetic texts) is raw: the source text of the
// word with all its quoting kept, to be expanded by the executor when the command runs
// (`expand_words`). A raw word may contain, exactly as written in the source:
//   - single quotes '...'            literal text, no escapes;
//   - double quotes "..."            with \X pairs and the expansions below inside;
//   - ANSI-C quotes $'...'           backslash escapes inside (\n, \t, \', \\, \xHH, \NNN, ...);
//                                    a \' does not end the quote;
//   - locale quotes $"..."           to be read as "...";
//   - backslash pairs \X             (outside quotes: X literally);
//   - parameters $name, $1, $@, ...  and braced forms ${...}, whose whole text is kept, with any
//                                    blanks, quotes and nested expansions inside (the braces
//                                    nest: ${x:-{a}} is one expansion);
//   - command substitutions $(...)   and backquotes `...`: the text between the delimiters is
//                                    kept verbatim (newlines, comments and here-document bodies
//                                    included) and is parsed again when the substitution runs;
//                                    inside backquotes a backslash pair \X is kept as written
//                                    (\` does not end the substitution);
//   - arithmetic $((...))            the expression text between the double parentheses;
//                                    "$((" always starts arithmetic: a command substitution
//                                    that starts with a subshell is written "$( (";
//   - tilde prefixes, glob characters and brace lists, untouched.
// A word starting with "<(" or ">(" is a whole process substitution (the command text between
// the parentheses kept verbatim).
//
// Line continuations (a backslash followed by a newline) outside single quotes are removed from
// words, double-quoted sections, braced parameters and arithmetic texts; inside $(...), `...`,
// <(...) and >(...) the text is verbatim and the continuations go when that text is parsed.
//
// Special cases:
//   - An assignment's `value` for an array literal (`a=(1 'b c' 3)`) is the whole parenthesised
//     text as written, parentheses, blanks, newlines and comments included; its elements are the
//     words that `shell_lex` gives for the text between the parentheses.
//   - The operand after `=~` inside `[[ ... ]]` is rewritten into one double-quoted word whose
//     expansion is the regular expression to match: unquoted parts stay as they are (so
//     `^a(b|c)$` becomes "^a(b|c)$"), characters that were quoted or backslash-escaped in the
//     source are escaped for the regular-expression engine so they match literally, and
//     expansions ($x, ${...}, $(...)) stay expansions whose value is used as a pattern.
//   - Redirection targets: see `Redirection` below.
//   - Here-document bodies are the lines between the operator's line and the delimiter line,
//     each ending in a newline (leading tabs already removed for `<<-`). The body of a
//     `HereDoc` is expanded when the command runs (parameters, command substitutions,
//     arithmetic, and backslash before $, `, \ and newline; quotes are ordinary characters);
//     the body of a `HereDocLiteral` (quoted delimiter: 'EOF', "EOF", \EOF, E"O"F) is used as is.
//   - `Arith::expression` and the three `ArithFor` texts are the texts between the parentheses
//     (the `ArithFor` parts trimmed of surrounding white space).
// ---------------------------------------------------------------------------------------------
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tw {

struct ShellCommand;
using ShellCommandPtr = std::shared_ptr<const ShellCommand>;

// `name` is everything before the first '=' (a trailing '+' and a subscript included: "a+",
// "arr[3]"); `value` is everything after it, raw.
struct Assignment {
    std::string name;
    std::string value;
    bool operator==(const Assignment&) const = default;
};

enum class RedirectKind : std::uint8_t {
    Read,            // <       fd 0 unless written
    Write,           // > >| &> fd 1 unless written
    Append,          // >> &>>  fd 1 unless written
    ReadWrite,       // <>      fd 0 unless written
    Duplicate,       // >&N <&N fd 1 for >&, 0 for <&
    Close,           // >&- <&- target "-"
    HereDoc,         // << <<-  unquoted delimiter: the body is expanded
    HereDocLiteral,  // << <<-  quoted delimiter: the body is literal
    HereString,      // <<<     the raw word
};

// One redirection. `target` is the raw word for Read, Write, Append, ReadWrite and HereString;
// the body for the here-documents; "-" for Close. For Duplicate it is "&" followed by what was
// written after the operator: usually digits ("&1"), only "&" when nothing usable followed, or
// a raw word (`>&$fd` gives "&$fd") whose expansion names the descriptor (digits) or, for `>&`
// without a descriptor number, "-" to close or a file that receives both outputs.
// `&>` and `&>>` are two redirections: Write (Append) of fd 1, then Duplicate of fd 2 to "&1".
struct Redirection {
    std::string target;
    std::int32_t fd = 0;
    RedirectKind kind = RedirectKind::Read;
    bool operator==(const Redirection&) const = default;
};

// How a case arm ends: `;;` stops, `;&` runs the next arm's body without testing its patterns,
// `;;&` goes on testing the patterns of the following arms.
enum class CaseTerminator : std::uint8_t { Break, FallThrough, Continue };

struct CaseArm {
    std::vector<std::string> patterns;  // at least one
    ShellCommandPtr body;               // null when the arm has no commands
    CaseTerminator terminator = CaseTerminator::Break;
};

struct ShellCommand {
    // A simple command; any of the three lists may be empty.
    struct Simple {
        std::vector<Assignment> assignments;
        std::vector<std::string> words;
        std::vector<Redirection> redirections;
    };
    // Words already expanded (built by the `command` builtin, never by the parser).
    struct Words {
        std::vector<std::string> words;
    };
    // Two or more stages joined by pipes.
    struct Pipeline {
        std::vector<ShellCommandPtr> stages;
    };
    struct And {
        ShellCommandPtr left, right;
    };
    struct Or {
        ShellCommandPtr left, right;
    };
    // None, or two or more items run one after the other.
    struct List {
        std::vector<ShellCommandPtr> items;
    };
    struct Background {
        ShellCommandPtr body;
    };
    struct Subshell {
        ShellCommandPtr body;
    };
    struct BraceGroup {
        ShellCommandPtr body;
    };
    struct ElifBranch {
        ShellCommandPtr condition, branch;
    };
    struct If {
        ShellCommandPtr condition, then_branch;
        std::vector<ElifBranch> elif_branches;
        ShellCommandPtr else_branch;  // null when absent
    };
    struct For {
        std::string name;
        std::vector<std::string> words;
        ShellCommandPtr body;
    };
    struct ArithFor {
        std::string init, condition, step;
        ShellCommandPtr body;
    };
    // `while` (until = false) or `until` (until = true).
    struct Loop {
        ShellCommandPtr condition, body;
        bool until = false;
    };
    struct Case {
        std::string word;
        std::vector<CaseArm> arms;
    };
    struct FunctionDef {
        std::string name;
        ShellCommandPtr body;
    };
    struct Arith {
        std::string expression;
    };
    struct Not {
        ShellCommandPtr body;
    };
    struct Time {
        ShellCommandPtr body;
        bool posix = false;
    };
    // A compound command followed by redirections.
    struct Redirected {
        std::vector<Redirection> redirections;
        ShellCommandPtr body;
    };

    using Node = std::variant<Simple, Words, Pipeline, And, Or, List, Background, Subshell,
                              BraceGroup, If, For, ArithFor, Loop, Case, FunctionDef, Arith, Not,
                              Time, Redirected>;
    Node node;

    explicit ShellCommand(Node n) : node(std::move(n)) {}
    ShellCommand(const ShellCommand&) = default;
    ShellCommand(ShellCommand&&) noexcept = default;
    ShellCommand& operator=(const ShellCommand&) = default;
    ShellCommand& operator=(ShellCommand&&) noexcept = default;
    // Releasing a deep tree recurses through its children; when the stack runs low the rest is
    // released on a fresh stack segment (base/stack.h).
    ~ShellCommand();

    template <class T>
    const T* as() const {
        return std::get_if<T>(&node);
    }
    template <class T>
    bool is() const {
        return std::holds_alternative<T>(node);
    }
};

template <class T>
ShellCommandPtr make_shell_command(T node) {
    return std::make_shared<const ShellCommand>(ShellCommand::Node(std::move(node)));
}

// The modeled size of a tree for the memory budget: 80 per node plus the texts it holds (words and
// patterns +24 each, assignments +48, redirections +32); saturating.
std::uint64_t shell_value_modeled_size(const ShellCommand& command);

// A one-line structural outline of a tree, for diagnostics and tests, e.g.
// (and (simple "a") (simple "b" (> 1 "f"))). Texts are shown raw between double quotes, with
// backslash, double quote and newline escaped.
std::string shell_command_outline(const ShellCommand& command);

// A function definition as shell text that reads back as the same function, in the layout of
// a function listing ("name () \n{ \n    body\n}\n").
std::string shell_function_source(const std::string& name, const ShellCommand& body);

}  // namespace tw
