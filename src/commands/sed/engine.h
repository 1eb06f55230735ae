// The stream editor's engine: the script model, the cursor that reads script text, the parser
// of one script piece, and the executor that runs a parsed script over input text.
//
// The engine does no command I/O: input texts come in, the output comes back as bytes, and the
// only thing it asks of its surroundings is the budget accounting of a `SedMeter` (the machine's
// budgets through `Syscalls` for commands). Any caller that holds a `SedMeter` can run scripts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/regex.h"
#include "base/result.h"

namespace tw {

class SyscallContext;

// ---- script model ----

struct SedAddress {
    enum class Kind : std::uint8_t { Line, Last, Regex };
    Kind kind = Kind::Line;
    std::uint64_t line = 0;            // Line: at least 1
    std::optional<tw::Regex> regex;    // Regex: found anywhere in the pattern space

    static SedAddress line_number(std::uint64_t n) { return {Kind::Line, n, std::nullopt}; }
    static SedAddress last() { return {Kind::Last, 0, std::nullopt}; }
    static SedAddress pattern(tw::Regex r) { return {Kind::Regex, 0, std::move(r)}; }
};

// One piece of a parsed replacement: literal text, or a capture group (0 = the whole match).
struct SedReplacementPart {
    static constexpr std::size_t kLiteral = static_cast<std::size_t>(-1);
    std::string literal;
    std::size_t group = kLiteral;
};

struct SedSubstitute {
    // In expansion syntax: "${N}" is capture group N, "$$" one dollar sign, anything else literal.
    std::string replacement;
    tw::Regex regex;
    std::uint64_t occurrence = 0;  // 0: not given
    bool global = false;
    bool print = false;
    std::vector<SedReplacementPart> parts;  // `replacement`, parsed once

    static SedSubstitute make(tw::Regex regex, std::string replacement, std::uint64_t occurrence, bool global,
                              bool print);
};
struct SedDelete {};
struct SedPrint {};
struct SedQuit {};
struct SedAppend { std::string text; };
struct SedInsert { std::string text; };
struct SedChange { std::string text; };
struct SedTransliterate { std::vector<std::pair<char32_t, char32_t>> pairs; };
struct SedLineNumber {};

using SedAction = std::variant<SedSubstitute, SedDelete, SedPrint, SedQuit, SedAppend, SedInsert, SedChange,
                               SedTransliterate, SedLineNumber>;

struct SedCommand {
    std::optional<SedAddress> first;
    std::optional<SedAddress> second;  // only with `first`: the range first,second
    SedAction action;
    bool negated = false;
    bool in_range = false;  // run-time state of a range; the executor updates it
};

// The expansion of a parsed replacement for one match of `subject`, appended to `out`. A group
// that does not exist or did not take part in the match inserts nothing.
void sed_expand(std::string& out, std::span<const SedReplacementPart> parts, const Match& match,
                std::string_view subject);

// ---- script text ----

// A cursor over one piece of script text. Failures are message texts.
class SedParser {
public:
    static constexpr char32_t kEnd = static_cast<char32_t>(-1);

    struct Delimited {
        char32_t delimiter = 0;
        std::string text;
    };

    SedParser(std::string_view text, bool extended) : text_(text), extended_(extended) {}

    std::size_t pos() const { return pos_; }
    bool at_end() const { return pos_ >= text_.size(); }
    bool extended() const { return extended_; }

    // The character at the cursor, or kEnd.
    char32_t peek() const;
    // Moves past the current character and answers it (kEnd, without moving, at the end).
    char32_t bump();
    // Bumps when the current character is `c`.
    bool eat(char32_t c);
    // Skips space, tab and carriage return; answers the next character.
    char32_t skip_blanks();
    // Skips white space (newlines included), ";" and "#" comments up to their newline.
    char32_t skip_separators();
    // The character at the cursor without moving; "missing delimiter" at the end.
    Result<char32_t, std::string> next_char() const;
    // Takes one character as the delimiter and reads the text up to the next unescaped one.
    Result<Delimited, std::string> read_delimiter();
    // The text up to the next unescaped `delimiter` (consumed, not kept). A backslash before the
    // delimiter gives the delimiter alone (both, with `keep_escaped_delimiter`); before anything
    // else it stays with that character.
    Result<std::string, std::string> read_delimited(char32_t delimiter, bool keep_escaped_delimiter = false);
    // The text up to the end, a newline or ";" (the cursor stays there), trimmed.
    std::string read_argument();
    // The text of a, i and c, to the end of its line.
    Result<std::string, std::string> text_argument();
    // An optional address: a line number, "$" or /regex/.
    Result<std::optional<SedAddress>, std::string> parse_address();

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    bool extended_ = false;
};

// The characters of a y string: \t a tab, \n a newline, a backslash before any other character
// that character, a final backslash itself.
std::vector<char32_t> sed_unescape_text(std::string_view text);

// A sed replacement in expansion syntax: "&" the whole match, \N group N, \t and \n tab and
// newline, a backslash before any other character that character, "$" a literal dollar sign.
// A backslash before `delimiter` (the s command's) always gives the delimiter literally.
std::string sed_replacement_template(std::string_view replacement, char32_t delimiter = 0);

// Compiles a sed expression: a basic expression (translated) unless `extended`. The error is
// the translator's text or the engine's description.
Result<tw::Regex, std::string> sed_compile_regex(std::string_view pattern, bool extended, bool caseless);

// Parses one piece of a script (an -e text, a -f file, a script operand) into commands in
// script order. A command never continues into another piece.
Result<std::vector<SedCommand>, std::string> sed_parse_script(std::string_view piece, bool extended);

// ---- execution ----

// The budgets the executor charges as it works.
class SedMeter {
public:
    virtual ~SedMeter() = default;
    virtual std::uint64_t memory_used() = 0;
    virtual bool charge_cpu(std::uint64_t units) = 0;
    virtual bool charge_memory(std::uint64_t bytes) = 0;
    virtual void release_memory(std::uint64_t bytes) = 0;
    virtual std::uint64_t output_remaining() = 0;
    virtual bool charge_output(std::uint64_t bytes) = 0;
    virtual std::int32_t exhausted_status() = 0;
};

// The machine's budgets, through the system-call interface of the calling process.
class SyscallSedMeter final : public SedMeter {
public:
    explicit SyscallSedMeter(SyscallContext& sys) : sys_(sys) {}
    std::uint64_t memory_used() override;
    bool charge_cpu(std::uint64_t units) override;
    bool charge_memory(std::uint64_t bytes) override;
    void release_memory(std::uint64_t bytes) override;
    std::uint64_t output_remaining() override;
    bool charge_output(std::uint64_t bytes) override;
    std::int32_t exhausted_status() override;

private:
    SyscallContext& sys_;
};

// Why a run stopped early: a refused budget (status 137, no message), or a match the regex
// engine gave up on (its limits), with a message for the caller to print after its name.
struct SedStop {
    std::int32_t status = 0;
    std::string message;
};
std::string error_text(const SedStop& stop);

struct SedRunOptions {
    bool quiet = false;     // -n: no automatic print
    bool separate = false;  // each input is its own stream: line numbers, "$" and ranges restart
    char delimiter = '\n';  // what ends an input line ('\0' for -z)
};

// Runs `commands` over the inputs, one after the other. Without `separate` the inputs form one
// stream (line numbers go on, "$" is the last line of the last input), but a line never spans two
// inputs. Answers the output bytes.
Result<std::string, SedStop> sed_execute(SedMeter& meter, std::span<const std::string_view> inputs,
                                         std::span<SedCommand> commands, const SedRunOptions& options);
// One input text, through the machine's budgets.
Result<std::string, SedStop> sed_execute(SyscallContext& sys, std::string_view input, std::span<SedCommand> commands,
                                         bool quiet);

}  // namespace tw
