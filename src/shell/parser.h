// The shell parser: source text to a syntax tree (shell/ast.h).
//
// Recursive descent over the tokens of `shell_lex`. Syntax errors are values: the first one
// found is returned, with the texts of `ShellParseError` (shell/lexer.h); callers that report a
// failure print "tarnwick: syntax error: " and the error's text. Nesting beyond 999 levels is
// refused with "commands are nested too deeply"; recursion below that continues on fresh stack
// segments (base/stack.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "shell/ast.h"
#include "shell/lexer.h"

namespace tw {

// The whole source as one command: a single item is returned as itself, none or several as a
// List. Here-documents missing their delimiter line are not an error here (shell_lex says the
// input is incomplete).
Result<ShellCommandPtr, ShellParseError> shell_parse(std::string_view source);

// The 19 reserved words: if then elif else fi for while until do done case esac in function
// { } ! [[ ]].
bool is_shell_reserved_word(std::string_view word);

// True when `word` is an assignment: text before the first '=' (not at the start) that, without
// one trailing '+', is a name optionally followed by a subscript in brackets.
bool is_assignment_word(std::string_view word);

// An alias as the alias table keeps it: the value as written and its words.
struct AliasRecord {
    std::string text;
    std::vector<std::string> words;
    bool operator==(const AliasRecord&) const = default;
};

// The words of an alias value, when it parses into one simple command with at least one word and
// no assignments or redirections; nothing otherwise.
std::optional<std::vector<std::string>> alias_value_words(std::string_view text);

// "alias NAME='TEXT'" and a newline, each single quote of TEXT written as '\''.
std::string alias_line(std::string_view name, std::string_view text);

}  // namespace tw
