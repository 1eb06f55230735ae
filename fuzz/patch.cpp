// The patch parsers (unified diffs and the apply_patch envelope) and the applier: the input is
// split at the first NUL byte into the patch and the content it is applied to.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "commands/diff/patch_model.h"
#include "fuzz/input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 16384) return -1;
    const auto [patch, content] = tw::fuzz::split_input(data, size, '\0');
    (void)tw::patch_check_path(patch.substr(0, patch.find('\n')));
    (void)tw::patch_parse_envelope(patch);
    for (std::uint64_t strip : {0, 1}) {
        auto files = tw::patch_parse_unified(patch, strip);
        if (!files) continue;
        for (const tw::FilePatch& file : *files) (void)tw::patch_apply_file(content, file);
    }
    return 0;
}
