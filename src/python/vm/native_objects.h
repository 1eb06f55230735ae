// The records of the native objects the runtime keeps in the heap for native modules: argument
// parsers (`argparse.ArgumentParser`), raises contexts, argparse namespaces, compiled patterns
// (`re.Pattern`) and match snapshots (`re.Match`). Each is held by a `NativeObject` of its own
// type identity and reached only through the native runtime's operations.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
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

// Arrays of the numeric library: a view (shape, strides, offset, dtype, writeable) over a storage
// object that views of one array share. Strides count bytes for byte storage and elements for
// value storage.
struct PyArrayDtype {
    std::uint32_t tag = 0;  // element code, byte-order flag and string width
    std::uint32_t itemsize = 0;
    bool values = false;    // the storage holds Values
    bool operator==(const PyArrayDtype&) const = default;
};

struct PyArrayView {
    std::vector<std::uint64_t> shape;
    std::vector<std::int64_t> strides;
    std::uint64_t offset = 0;
    PyArrayDtype dtype;
    bool writeable = true;
    bool operator==(const PyArrayView&) const = default;
};

struct ArrayStorage {
    std::variant<std::string, std::vector<Value>> data;  // packed little-endian bytes, or Values
    bool holds_values() const { return data.index() == 1; }
    // Bytes for byte storage, elements for value storage.
    std::uint64_t size() const {
        return holds_values() ? std::get<1>(data).size() : std::get<0>(data).size();
    }
};

struct ArrayRecord {
    PyArrayView view;
    Value storage;  // the native object holding the ArrayStorage
    Value base;     // the array whose storage a view shares; absent for none
};

// What array_data hands its callback for each array.
struct ArrayData {
    const PyArrayView* view;
    const ArrayStorage* storage;
};

}  // namespace tw::py
