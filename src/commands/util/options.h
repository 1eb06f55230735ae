// Option splitting for native commands: the general splitter `CommandArgs::parse`, which knows no
// option values, and the table-driven scanner `scan_options` for commands with an option table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"

namespace tw {

// The next character of `text` at `pos` (a Unicode scalar value), moving `pos` past it. A byte
// that does not start a valid UTF-8 sequence gives U+FFFD and moves one byte.
char32_t utf8_next_char(std::string_view text, std::size_t& pos);

// Arguments split into short flags, operands and long options, in the order met.
//   "--"            ends option parsing (dropped); everything after it is an operand;
//   "--NAME[=VAL]"  a long option (the value is empty without "=");
//   "-abc"          the flags a, b, c, unless a digit follows the dash ("-5" is an operand);
//   anything else   an operand ("-" alone and the empty argument included).
struct CommandArgs {
    std::vector<char32_t> flags;
    std::vector<std::string_view> operands;  // views into the arguments
    std::vector<std::pair<std::string_view, std::string_view>> long_options;

    static CommandArgs parse(std::span<const std::string> args);

    bool has_flag(char32_t flag) const;
    // The long option of that name, the last one when repeated.
    std::optional<std::string_view> long_value(std::string_view name) const;
    bool has_long(std::string_view name) const { return long_value(name).has_value(); }
};

enum class OptionValue : std::uint8_t {
    None,      // takes no value
    Required,  // takes a value: attached, or the next argument
    Optional,  // takes a value only when attached ("--name=value", "-xvalue")
};

// One row of a command's option table. Rows with the same id are synonyms. Every table has a
// row "help" without a short letter.
struct OptionSpec {
    std::string_view long_name;
    char32_t short_name = 0;  // 0: no short letter
    OptionValue value = OptionValue::None;
    int id = 0;
};

struct ScannedOption {
    int id = 0;
    std::optional<std::string_view> value;
    bool operator==(const ScannedOption&) const = default;
};

struct ScannedOptions {
    std::vector<ScannedOption> options;      // in argument order
    std::vector<std::string_view> operands;  // in order; options may follow operands

    bool has(int id) const;
    // The value of the last occurrence of id.
    std::optional<std::string_view> last_value(int id) const;
};

// Scans the arguments against the table. The error is the message without the command's name,
// for example "unsupported option '--frob'" or "option '-e' requires an argument".
Result<ScannedOptions, std::string> scan_options(std::span<const std::string> args,
                                                 std::span<const OptionSpec> table);

}  // namespace tw
