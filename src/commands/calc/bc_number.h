// bc's decimal numbers: an exact integer with a count of fraction digits, the variable store,
// the arithmetic with its scale rules, limits and work charges, and the printed form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

#include "base/bigint.h"
#include "base/bytes.h"
#include "base/result.h"

namespace tw {

class SyscallContext;
using Syscalls = SyscallContext;

inline constexpr std::uint64_t kBcMaxDigits = 100000;
inline constexpr std::uint64_t kBcMaxScale = 20000;
inline constexpr std::uint64_t kBcMaxPowScale = 80000;
inline constexpr std::uint64_t kBcMaxPowBits = 400000;

// The value is unscaled / 10^scale. Equal values with different scales print differently.
struct BcNumber {
    BigInt unscaled;
    std::uint64_t scale = 0;

    static BcNumber integer(std::int64_t v) { return {BigInt(v), 0}; }
    // Decimal digits of the magnitude of the unscaled integer (zero has one).
    std::uint64_t digits() const { return unscaled.decimal_digits(); }
    bool is_zero() const { return unscaled.is_zero(); }
};

// A variable: a named one, or one of the special three.
struct BcVarName {
    enum class Kind : std::uint8_t { Named, Scale, Ibase, Obase };
    Kind kind = Kind::Named;
    std::string name;  // Named
};

// The failure of an operation: the CPU budget refused a charge, or a message.
struct BcEvalError {
    bool exhausted = false;
    std::string message;

    static BcEvalError out_of_budget() { return {true, {}}; }
    static BcEvalError text(std::string_view message) { return {false, std::string(message)}; }
};

template <class T>
using BcResult = Result<T, BcEvalError>;

// The outcome of one statement.
struct BcFlow {
    enum class Kind : std::uint8_t { Normal, Break, Quit, Error };
    Kind kind = Kind::Normal;
    BcEvalError error;
};

struct BcExpr;
struct BcStmt;

enum class BcArith : std::uint8_t { Add, Sub, Mul, Div, Mod, Pow };
enum class BcCompare : std::uint8_t { Eq, Ne, Lt, Le, Gt, Ge };

class BcInterpreter {
public:
    explicit BcInterpreter(Syscalls& sys) : sys_(sys) {}
    // Releases the memory charged for the stored variables.
    ~BcInterpreter();
    BcInterpreter(const BcInterpreter&) = delete;
    BcInterpreter& operator=(const BcInterpreter&) = delete;

    BcNumber get_variable(const BcVarName& name) const;
    BcResult<void> set_variable(const BcVarName& name, const BcNumber& value);
    // The one entry that charges the six arithmetic operators.
    BcResult<BcNumber> arithmetic(BcArith op, const BcNumber& left, const BcNumber& right);
    BcResult<BcNumber> sqrt(const BcNumber& x);
    static BcNumber length(const BcNumber& x);
    static BcNumber scale_of(const BcNumber& x);
    static BcNumber compare(BcCompare op, const BcNumber& left, const BcNumber& right);
    static BcNumber negate(const BcNumber& x);
    // x + 1 or x - 1 at the scale of x, uncharged.
    static BcNumber step(const BcNumber& x, bool up);

    // Runs one statement, appending printed values to `out` (bc_lang.cpp).
    BcFlow execute(const BcStmt& stmt, Bytes& out);
    BcResult<BcNumber> eval(const BcExpr& expr);

    std::uint64_t scale() const { return scale_; }
    // Charges work units; false when the budget refuses.
    bool charge(std::uint64_t units);

private:
    BcResult<BcNumber> divide(const BcNumber& left, const BcNumber& right) const;
    BcNumber multiply(const BcNumber& left, const BcNumber& right) const;

    Syscalls& sys_;
    std::unordered_map<std::string, BcNumber> variables_;
    std::uint64_t scale_ = 0;
    std::uint64_t memory_charged_ = 0;  // the modeled size of `variables_`
};

// The number a number token denotes: digits with at most one '.'.
BcNumber bc_parse_literal(std::string_view text);
// The number at scale `s` (truncated toward zero when digits are dropped).
BcNumber bc_rescale(const BcNumber& x, std::uint64_t s);
// The printed text without its final newline, wrapped at 68 characters.
std::string bc_format_number(const BcNumber& x);

}  // namespace tw
