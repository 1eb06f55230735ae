// Shell arithmetic: $(( )), (( )), let, the arithmetic for loop and substring offsets all
// evaluate their text here. One pass of recursive descent parses and evaluates at once; the
// short-circuit and conditional operators parse their unused operand without evaluating it.
// Integers are signed 64-bit and wrap on overflow.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace tw {

struct ProcessState;
class ResourceMeter;

// How the evaluator reads and writes variables. Each operation answers its result or an error
// text that the evaluator passes on verbatim.
class ArithEnv {
public:
    virtual ~ArithEnv() = default;
    virtual Result<std::optional<std::string>, std::string> get(std::string_view name) = 0;
    virtual Result<std::optional<std::string>, std::string> get_element(std::string_view name,
                                                                        std::int64_t index) = 0;
    virtual Result<void, std::string> set(std::string_view name, std::int64_t value) = 0;
    virtual Result<void, std::string> set_element(std::string_view name, std::int64_t index,
                                                  std::int64_t value) = 0;
    // Associative arrays: their elements are addressed by the subscript text as written
    // (m[key]), which is not evaluated. Without associative arrays these are never called.
    virtual bool is_associative(std::string_view name) { return false; }
    virtual Result<std::optional<std::string>, std::string> get_key(std::string_view name, std::string_view key) {
        return std::optional<std::string>();
    }
    virtual Result<void, std::string> set_key(std::string_view name, std::string_view key, std::int64_t value) {
        return {};
    }
    // The work of parsing a text (the expression, and every variable value evaluated as an
    // expression inside it), asked for before the text is parsed; false stops the evaluation
    // with a refused error.
    virtual bool charge_work(std::uint64_t units) { return true; }
};

// Work units asked for each byte of text the evaluator parses, and for starting the evaluation
// of a variable's value as an expression of its own.
inline constexpr std::uint64_t kArithByteWork = 4;
inline constexpr std::uint64_t kArithNestedWork = 64;

struct ArithError {
    std::string message;
    // Errors of the variable operations are shown as they are; syntax and evaluation errors
    // are shown after the expression text.
    bool verbatim = false;
    // The environment refused the work (`ArithEnv::charge_work`): nothing to show, the caller's
    // resource meter holds the reason.
    bool refused = false;
    bool operator==(const ArithError&) const = default;
};

// The message alone.
std::string error_text(const ArithError& error);

// The error as a caller holding the expression shows it: a verbatim message as it is, any other
// as "{expression without leading white space}: {message}".
std::string render_arith_error(const ArithError& error, std::string_view expression);

// Nesting of parentheses, subscripts, conditionals, unary operators and powers.
inline constexpr std::uint32_t kArithMaxNesting = 256;
// Depth of variable texts evaluated as expressions inside one another.
inline constexpr std::uint32_t kArithMaxRecursion = 128;

Result<std::int64_t, ArithError> arith_eval(ArithEnv& env, std::string_view text);

// arith_eval over the variables of a shell process (ShellArithEnv, shell/variables.h); with a
// meter, the parsing work is charged to its CPU budget.
Result<std::int64_t, ArithError> arith_eval(ProcessState& state, std::string_view text,
                                            ResourceMeter* meter = nullptr);

}  // namespace tw
