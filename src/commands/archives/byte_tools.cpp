// base64 and base32 (encode and decode), the one-line hex dump of xxd, hexdump and od, and strings.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "commands/archives/archive_commands.h"
#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

std::string_view invoked_name(const NativeInvocation& invocation) {
    std::string_view name = invocation.name;
    if (auto slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
    return name;
}

constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kBase32Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

// One radix codec for both encodings: `bits` bits per character, groups of `group` characters
// (4 for Base64, 8 for Base32) padded with "=".
struct Radix {
    std::string_view alphabet;
    unsigned bits;
    unsigned group;
};
constexpr Radix kBase64{kBase64Alphabet, 6, 4};
constexpr Radix kBase32{kBase32Alphabet, 5, 8};

std::string radix_encode(const Radix& r, BytesView data) {
    std::string out;
    out.reserve((data.size() * 8 / r.bits) + r.group + 1);
    std::uint32_t acc = 0;
    unsigned have = 0;
    const std::uint32_t mask = (1u << r.bits) - 1;
    for (unsigned char c : data) {
        acc = (acc << 8) | c;
        have += 8;
        while (have >= r.bits) {
            have -= r.bits;
            out += r.alphabet[(acc >> have) & mask];
        }
        acc &= (1u << have) - 1;
    }
    if (have > 0) out += r.alphabet[(acc << (r.bits - have)) & mask];
    while (out.size() % r.group != 0) out += '=';
    return out;
}

// Strict decoding of text without whitespace: complete groups, canonical padding and zero bits
// beyond the data. Nothing when the text is not a valid encoding.
std::optional<Bytes> radix_decode(const Radix& r, std::string_view text) {
    if (text.size() % r.group != 0) return std::nullopt;
    std::array<int, 256> value{};
    value.fill(-1);
    for (std::size_t i = 0; i < r.alphabet.size(); ++i) value[static_cast<unsigned char>(r.alphabet[i])] = int(i);
    std::size_t data_chars = text.size();
    while (data_chars > 0 && text[data_chars - 1] == '=') --data_chars;
    const std::size_t pad = text.size() - data_chars;
    if (pad >= r.group) return std::nullopt;
    // The characters that a final group of 1..n bytes leaves: only these paddings are canonical.
    const std::size_t tail = data_chars % r.group;
    if (pad > 0) {
        bool canonical = false;
        for (unsigned n = 1; n * 8 < r.group * r.bits; ++n)
            if ((n * 8 + r.bits - 1) / r.bits == tail) canonical = true;
        if (!canonical) return std::nullopt;
    }
    Bytes out;
    out.reserve(data_chars * r.bits / 8);
    std::uint32_t acc = 0;
    unsigned have = 0;
    for (std::size_t i = 0; i < data_chars; ++i) {
        const int v = value[static_cast<unsigned char>(text[i])];
        if (v < 0) return std::nullopt;
        acc = (acc << r.bits) | std::uint32_t(v);
        have += r.bits;
        if (have >= 8) {
            have -= 8;
            out += static_cast<char>((acc >> have) & 0xFF);
            acc &= (1u << have) - 1;
        }
    }
    if (acc != 0) return std::nullopt;  // bits beyond the data must be zero
    return out;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Standard input and operands, concatenated, and the charge for their length. Nothing when the
// handler must answer `step` now.
std::optional<std::string_view> gather_charged(NativeStep& step, NativeInvocation& invocation, CommandIo& io,
                                               const CommandArgs& args, std::string_view prefix, LentBytes& storage) {
    auto input = command_gather_input(step, invocation, io, args.operands, prefix, storage);
    if (!input) return std::nullopt;
    if (!invocation.sys.charge_cpu(input->size())) {
        step = NativeStep::finished(invocation.sys.exhausted_status());
        return std::nullopt;
    }
    return input;
}

}  // namespace

void base64_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const bool base32 = invoked_name(invocation) == "base32";
    const std::string_view name = base32 ? "base32" : "base64";
    const Radix& radix = base32 ? kBase32 : kBase64;
    const CommandArgs args = CommandArgs::parse(invocation.args);
    bool decode = false;
    for (char32_t f : args.flags) {
        if (f != 'd') {
            push_message(io.err, name, "unimplemented option");
            step = NativeStep::finished(2);
            return;
        }
        decode = true;
    }
    for (const auto& [long_name, value] : args.long_options) {
        if (long_name != "decode") {
            push_message(io.err, name, "unimplemented option");
            step = NativeStep::finished(2);
            return;
        }
        decode = true;
    }
    LentBytes storage;
    auto input = gather_charged(step, invocation, io, args, name, storage);
    if (!input) return;
    if (!decode) {
        push_line(io.out, radix_encode(radix, *input));
        step = NativeStep::finished(0);
        return;
    }
    std::string text;
    text.reserve(input->size());
    for (char c : *input)
        if (!is_space(c)) text += c;
    auto bytes = radix_decode(radix, text);
    if (!bytes) {
        step = NativeStep::finished(1);
        return;
    }
    io.out += *bytes;
    step = NativeStep::finished(0);
}

void xxd_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    // The one-line dump is the only layout: any option would ask for another one.
    if (report_unimplemented_option(invoked_name(invocation), args, "", io.err)) {
        step = NativeStep::finished(2);
        return;
    }
    LentBytes storage;
    auto input = gather_charged(step, invocation, io, args, "hexdump", storage);
    if (!input) return;
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string line(input->size() * 2, '\0');
    for (std::size_t i = 0; i < input->size(); ++i) {
        const auto c = static_cast<unsigned char>((*input)[i]);
        line[2 * i] = kDigits[c >> 4];
        line[2 * i + 1] = kDigits[c & 15];
    }
    push_line(io.out, line);
    step = NativeStep::finished(0);
}

void strings_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    LentBytes storage;
    auto input = gather_charged(step, invocation, io, args, "strings", storage);
    if (!input) return;
    std::size_t start = 0;
    auto flush = [&](std::size_t end) {
        if (end - start >= 4) push_line(io.out, input->substr(start, end - start));
    };
    for (std::size_t i = 0; i < input->size(); ++i) {
        const auto c = static_cast<unsigned char>((*input)[i]);
        if (c < 0x20 || c > 0x7E) {
            flush(i);
            start = i + 1;
        }
    }
    flush(input->size());
    step = NativeStep::finished(0);
}

}  // namespace tw
