#include "shell/arith.h"

#include <fmt/format.h>

namespace tw {

std::string error_text(const ArithError& error) { return error.message; }

std::string render_arith_error(const ArithError& error, std::string_view expression) {
    if (error.verbatim) return error.message;
    std::size_t start = 0;
    while (start < expression.size() && (expression[start] == ' ' || expression[start] == '\t' || expression[start] == '\n'))
        ++start;
    return fmt::format("{}: {}", expression.substr(start), error.message);
}

Result<std::int64_t, ArithError> arith_eval(ArithEnv& env, std::string_view text) {
    return std::unexpected(ArithError{"arithmetic syntax error in expression", false});
}

}  // namespace tw
