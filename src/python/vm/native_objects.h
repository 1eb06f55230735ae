// The records of the native objects the runtime keeps in the heap for native modules: argument
// parsers (`argparse.ArgumentParser`), raises contexts, argparse namespaces, compiled patterns
// (`re.Pattern`) and match snapshots (`re.Match`). Each is held by a `NativeObject` of its own
// type identity and reached only through the native runtime's operations.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/heap/value.h"

namespace tw::py {

struct ArgumentSpec {
    std::vector<std::string> names;  // the option strings, or the positional name
    std::string dest;
    bool required = false;
    Value default_value;  // absent when none
    bool store_true = false;
    bool store_false = false;
    bool integer = false;  // values are converted to int
    std::optional<std::vector<std::string>> choices;
    std::optional<std::string> help;
};

struct SubcommandSpec {
    std::string name;
    std::optional<std::string> help;
    Value parser;  // the subcommand's own parser
};

struct SubparsersSpec {
    std::optional<std::string> dest;
    std::vector<SubcommandSpec> commands;
    std::optional<std::string> help;
    bool required = false;
};

struct ArgumentParserRecord {
    std::string prog;
    std::optional<std::string> description;
    bool add_help = true;
    bool is_subcommand = false;
    std::vector<ArgumentSpec> arguments;
    std::optional<SubparsersSpec> subparsers;
};

struct RaisesContextRecord {
    std::string expected;  // the name of the expected builtin exception class
};

struct NamespaceRecord {
    std::vector<std::pair<std::string, Value>> entries;
};

struct RegexRecord {
    std::string pattern;
    std::uint32_t flags = 0;
};

struct MatchRecord {
    Value subject;
    Value regex;
    std::string text;
    std::vector<std::optional<std::string>> groups;
    std::vector<std::optional<std::string>> group_names;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    std::uint64_t pos = 0;
    std::uint64_t endpos = 0;
};

}  // namespace tw::py
