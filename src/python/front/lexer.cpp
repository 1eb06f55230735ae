#include "python/front/lexer.h"

namespace tw {

Result<TokenList, SyntaxError> py_tokenize(std::string_view source) {
    TokenList out;
    out.push_back(Token{});
    return out;
}

std::optional<IntegerLiteral> lex_big_integer_literal(std::string_view digits, unsigned radix) { return std::nullopt; }

Result<std::size_t, std::string_view> py_decode_str_escape(std::string_view rest, std::string& out,
                                                           std::size_t* consumed_on_error) {
    return std::unexpected(std::string_view("unterminated escape sequence"));
}

std::string py_char_literal(char32_t c) { return {}; }

}  // namespace tw
