// The Python tokenizer and parser on any text: a module tree or a syntax error, never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "python/front/lexer.h"
#include "python/front/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    if (auto tokens = tw::py_tokenize(source)) (void)tw::py_parse_module(std::move(*tokens));
    return 0;
}
