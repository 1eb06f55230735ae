// The translations of patterns into the regex engine's syntax: glob matching, the shell's
// pattern regex, sed's basic expressions and word anchors. The first line of the input is the
// pattern, the rest the text it is tried on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/glob.h"
#include "base/regex.h"
#include "commands/sed/bre.h"
#include "commands/sed/engine.h"
#include "fuzz/input.h"
#include "shell/pattern.h"

namespace {

void try_regex(const std::string& pattern, std::string_view text) {
    auto compiled = tw::Regex::compile(pattern);
    if (!compiled) return;
    (void)compiled->find(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return -1;
    const auto [pattern, text] = tw::fuzz::split_input(data, size, '\n');
    (void)tw::glob_to_regex(pattern, text);
    (void)tw::glob_to_regex(pattern, text, true);
    try_regex(tw::shell_pattern_regex(pattern), text);
    if (auto bre = tw::bre_to_regex(pattern)) try_regex(*bre, text);
    try_regex(tw::ere_word_anchors(pattern), text);
    for (bool extended : {false, true})
        if (auto regex = tw::sed_compile_regex(pattern, extended, false)) (void)regex->find(text);
    return 0;
}
