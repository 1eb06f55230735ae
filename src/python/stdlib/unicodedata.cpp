// The `_unicodedata` native module: Unicode normalization (NFC, NFD, NFKC, NFKD) over utf8proc's
// character data. The output's size is estimated from the decompositions first, and its memory
// charged, before the text is normalized.
#include <utf8proc.h>

#include <array>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

#include "python/stdlib/native_rows.h"
#include "python/types/native_args.h"
#include "python/vm/call.h"

namespace tw::py {

namespace {

constexpr std::uint64_t kOutputLimit = std::uint64_t(1) << 60;
constexpr std::uint32_t kHangulFirst = 0xAC00, kHangulLast = 0xD7A3;

PyError too_large() { return PyError::exception("MemoryError", "normalization output is too large"); }

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

// The number of characters the text's full decompositions hold: an upper bound of the
// normalized length in any form.
PyResult<std::uint64_t> estimated_length(std::string_view text, bool compatibility) {
    const auto options = utf8proc_option_t(UTF8PROC_DECOMPOSE | (compatibility ? UTF8PROC_COMPAT : 0));
    std::array<utf8proc_int32_t, 32> buffer{};
    std::uint64_t total = 0;
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    utf8proc_ssize_t left = utf8proc_ssize_t(text.size());
    while (left > 0) {
        utf8proc_int32_t c = 0;
        const utf8proc_ssize_t n = utf8proc_iterate(p, left, &c);
        if (n <= 0) return fail(PyError::value_error("string is not valid UTF-8"));
        p += n;
        left -= n;
        std::uint64_t count = 1;
        if (c >= 0x80) {
            if (std::uint32_t(c) >= kHangulFirst && std::uint32_t(c) <= kHangulLast) {
                count = (std::uint32_t(c) - kHangulFirst) % 28 == 0 ? 2 : 3;
            } else {
                int boundclass = 0;
                const utf8proc_ssize_t d =
                    utf8proc_decompose_char(c, buffer.data(), utf8proc_ssize_t(buffer.size()), options, &boundclass);
                if (d > 1) count = std::uint64_t(d);
            }
        }
        total += count;
        if (total >= kOutputLimit) return fail(too_large());
    }
    return total;
}

PyResult<Value> normalize(NativeRuntime& rt, NativeCall call) {
    constexpr std::string_view kName = "unicodedata.normalize";
    if (auto ok = expect_positional(call, kName, 2, 2); !ok) return fail(std::move(ok.error()));
    auto form = native_expect_str(rt, call.positional[0]);
    if (!form) return fail(std::move(form.error()));
    auto text = native_expect_str(rt, call.positional[1]);
    if (!text) return fail(std::move(text.error()));
    int options = UTF8PROC_STABLE;
    if (*form == "NFC") options |= UTF8PROC_COMPOSE;
    else if (*form == "NFD") options |= UTF8PROC_DECOMPOSE;
    else if (*form == "NFKC") options |= UTF8PROC_COMPOSE | UTF8PROC_COMPAT;
    else if (*form == "NFKD") options |= UTF8PROC_DECOMPOSE | UTF8PROC_COMPAT;
    else return fail(PyError::value_error("invalid normalization form"));

    if (auto c = rt.charge_work(saturating_mul(text->size(), 32)); !c) return fail(std::move(c.error()));
    auto estimate = estimated_length(*text, (options & UTF8PROC_COMPAT) != 0);
    if (!estimate) return fail(std::move(estimate.error()));
    if (auto c = rt.charge_memory(saturating_mul(*estimate, 16)); !c) return fail(std::move(c.error()));
    if (text->empty()) return rt.new_str({});

    utf8proc_uint8_t* mapped = nullptr;
    const utf8proc_ssize_t size = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text->data()),
                                               utf8proc_ssize_t(text->size()), &mapped, utf8proc_option_t(options));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(mapped, &std::free);
    if (size == UTF8PROC_ERROR_NOMEM || size == UTF8PROC_ERROR_OVERFLOW) return fail(too_large());
    if (size < 0) return fail(PyError::value_error(utf8proc_errmsg(size)));
    std::string result(reinterpret_cast<const char*>(mapped), std::size_t(size));
    std::uint64_t characters = 0;
    for (unsigned char byte : result) characters += (byte & 0xC0) != 0x80;
    if (auto c = rt.charge_work(characters); !c) return fail(std::move(c.error()));
    return rt.new_str(std::move(result));
}

constexpr std::array kFunctions{NativeFunction{"unicodedata", "normalize", &normalize, nullptr}};

}  // namespace

extern const NativeModule kUnicodedataNativeModule{"_unicodedata", kFunctions, {}};

}  // namespace tw::py
