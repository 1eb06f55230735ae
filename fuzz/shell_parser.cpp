// The shell lexer and parser on any text: a syntax tree or a syntax error, never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "shell/lexer.h"
#include "shell/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    (void)tw::shell_lex(source);
    (void)tw::shell_parse(source);
    return 0;
}
