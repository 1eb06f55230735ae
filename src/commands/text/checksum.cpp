// The running digests of standard input keep the block functions' state between steps, which
// only the plain (deprecated) interfaces expose as copyable structures.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "commands/text/checksum.h"

#include <fmt/format.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/panic.h"
#include "base/utf8.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "commands/util/text.h"
#include "kernel/syscall_error.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

const EVP_MD* digest_of(std::string_view algorithm) {
    if (algorithm == "md5") return EVP_md5();
    if (algorithm == "sha1") return EVP_sha1();
    if (algorithm == "sha256") return EVP_sha256();
    if (algorithm == "sha512") return EVP_sha512();
    return nullptr;
}

std::string hex(const unsigned char* bytes, std::size_t n) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(n * 2, '0');
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return out;
}

// One line of a check list: the expected digest text and the file name.
struct CheckLine {
    std::string expected;
    std::string name;
};

std::size_t skip_spaces(std::string_view text, std::size_t pos) {
    while (pos < text.size()) {
        std::size_t next = pos;
        if (!is_white_space(utf8_next_char(text, next))) break;
        pos = next;
    }
    return pos;
}

std::size_t skip_word(std::string_view text, std::size_t pos) {
    while (pos < text.size()) {
        std::size_t next = pos;
        if (is_white_space(utf8_next_char(text, next))) break;
        pos = next;
    }
    return pos;
}

// A list line is the digest text, white space, an optional "*" and the file name. The digest of
// crc32 is two words (the CRC and the length), as the digest lines of cksum write it.
std::optional<CheckLine> parse_check_line(std::string_view line, std::string_view algorithm) {
    std::size_t end = skip_word(line, 0);
    if (algorithm == "crc32" && end < line.size()) {
        const std::size_t second = skip_spaces(line, end);
        const std::size_t second_end = skip_word(line, second);
        if (second == second_end) return std::nullopt;
        CheckLine parsed;
        parsed.expected = fmt::format("{} {}", line.substr(0, end), line.substr(second, second_end - second));
        end = second_end;
        std::string_view rest = line.substr(skip_spaces(line, end));
        if (end >= line.size()) return std::nullopt;
        if (rest.starts_with('*')) rest.remove_prefix(1);
        if (rest.empty()) return std::nullopt;
        parsed.name = rest;
        return parsed;
    }
    if (end >= line.size()) return std::nullopt;
    std::string_view rest = line.substr(skip_spaces(line, end));
    if (rest.starts_with('*')) rest.remove_prefix(1);
    if (rest.empty()) return std::nullopt;
    return CheckLine{std::string(line.substr(0, end)), std::string(rest)};
}

// The POSIX cksum CRC: polynomial 0x04C11DB7 over the bytes and then the length (low byte
// first, as few bytes as it needs), most significant bit first, complemented.
// The POSIX cksum CRC in two parts: the bytes, then the length and the final complement.
std::uint32_t cksum_feed(std::uint32_t crc, BytesView data) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k) c = (c & 0x80000000U) ? (c << 1) ^ 0x04C11DB7U : c << 1;
            t[i] = c;
        }
        return t;
    }();
    for (char c : data) crc = (crc << 8) ^ table[((crc >> 24) ^ static_cast<unsigned char>(c)) & 0xFF];
    return crc;
}

std::uint32_t cksum_finish(std::uint32_t crc, std::uint64_t size) {
    for (std::uint64_t n = size; n != 0; n >>= 8) {
        const char byte = static_cast<char>(n & 0xFF);
        crc = cksum_feed(crc, BytesView(&byte, 1));
    }
    return ~crc;
}

std::uint32_t posix_cksum(BytesView data) { return cksum_finish(cksum_feed(0, data), data.size()); }

// A digest of standard input computed as the input arrives, kept as bytes between steps: the
// byte count so far, then the state of the algorithm (a block function's context, or the CRC).
template <typename Ctx, auto Init, auto Update, auto Final, std::size_t Length>
struct BlockDigest {
    static void start(Bytes& state) {
        Ctx ctx;
        Init(&ctx);
        state.append(reinterpret_cast<const char*>(&ctx), sizeof ctx);
    }
    static void add(char* at, BytesView bytes) {
        Ctx ctx;
        std::memcpy(&ctx, at, sizeof ctx);
        Update(&ctx, bytes.data(), bytes.size());
        std::memcpy(at, &ctx, sizeof ctx);
    }
    static std::string finish(const char* at) {
        Ctx ctx;
        std::memcpy(&ctx, at, sizeof ctx);
        unsigned char out[Length];
        Final(out, &ctx);
        return hex(out, Length);
    }
};

using Md5Digest = BlockDigest<MD5_CTX, MD5_Init, MD5_Update, MD5_Final, MD5_DIGEST_LENGTH>;
using Sha1Digest = BlockDigest<SHA_CTX, SHA1_Init, SHA1_Update, SHA1_Final, SHA_DIGEST_LENGTH>;
using Sha256Digest = BlockDigest<SHA256_CTX, SHA256_Init, SHA256_Update, SHA256_Final, SHA256_DIGEST_LENGTH>;
using Sha512Digest = BlockDigest<SHA512_CTX, SHA512_Init, SHA512_Update, SHA512_Final, SHA512_DIGEST_LENGTH>;

struct CrcDigest {
    static void start(Bytes& state) { state.append(sizeof(std::uint32_t), '\0'); }
    static void add(char* at, BytesView bytes) {
        std::uint32_t crc = 0;
        std::memcpy(&crc, at, sizeof crc);
        crc = cksum_feed(crc, bytes);
        std::memcpy(at, &crc, sizeof crc);
    }
    static std::uint32_t value(const char* at, std::uint64_t size) {
        std::uint32_t crc = 0;
        std::memcpy(&crc, at, sizeof crc);
        return cksum_finish(crc, size);
    }
};

// Calls `body` with the running-digest type of `algorithm`.
template <typename Body>
void with_running_digest(std::string_view algorithm, Body body) {
    if (algorithm == "md5") body(Md5Digest{});
    else if (algorithm == "sha1") body(Sha1Digest{});
    else if (algorithm == "sha256") body(Sha256Digest{});
    else if (algorithm == "sha512") body(Sha512Digest{});
    else body(CrcDigest{});
}

std::uint64_t running_size(const Bytes& state) {
    std::uint64_t size = 0;
    std::memcpy(&size, state.data(), sizeof size);
    return size;
}

void running_start(std::string_view algorithm, Bytes& state) {
    const std::uint64_t size = 0;
    state.assign(reinterpret_cast<const char*>(&size), sizeof size);
    with_running_digest(algorithm, [&](auto digest) { digest.start(state); });
}

void running_add(std::string_view algorithm, Bytes& state, BytesView bytes) {
    const std::uint64_t size = running_size(state) + bytes.size();
    std::memcpy(state.data(), &size, sizeof size);
    with_running_digest(algorithm, [&](auto digest) { digest.add(state.data() + sizeof size, bytes); });
}

// The same text as checksum_digest_text over all the bytes added.
std::string running_text(std::string_view algorithm, const Bytes& state) {
    const char* at = state.data() + sizeof(std::uint64_t);
    if (algorithm == "crc32") return fmt::format("{} {}", CrcDigest::value(at, running_size(state)), running_size(state));
    std::string text;
    with_running_digest(algorithm, [&](auto digest) {
        if constexpr (!std::is_same_v<decltype(digest), CrcDigest>) text = digest.finish(at);
    });
    return text;
}

}  // namespace

std::string checksum_digest_text(std::string_view algorithm, BytesView data) {
    if (algorithm == "crc32") return fmt::format("{} {}", posix_cksum(data), data.size());
    const EVP_MD* md = digest_of(algorithm);
    if (md == nullptr) return {};
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(data.data(), data.size(), out, &n, md, nullptr) != 1) panic("digest computation failed");
    return hex(out, n);
}

void checksum_command_run(NativeStep& step, NativeInvocation& invocation, std::string_view algorithm, CommandIo& io) {
    const std::string name = algorithm == "crc32" ? std::string("cksum") : fmt::format("{}sum", algorithm);
    // cksum writes "CRC SIZE" and a file's name after one space; the digests two spaces.
    const std::string_view gap = algorithm == "crc32" ? " " : "  ";
    const CommandArgs args = CommandArgs::parse(invocation.args);
    bool check = false;
    for (char32_t f : args.flags) {
        if (f == 'c') check = true;
        else if (f != 'b' && f != 't') {
            push_message(io.err, name, "unimplemented option");
            step = NativeStep::finished(2);
            return;
        }
    }
    // The long forms of the three flags; any other long option is refused rather than ignored,
    // so that an option which would change the output never passes unnoticed.
    for (const auto& [long_name, value] : args.long_options) {
        if (long_name == "check") check = true;
        else if (long_name != "binary" && long_name != "text") {
            push_message(io.err, name, "unimplemented option");
            step = NativeStep::finished(2);
            return;
        }
    }
    Syscalls& sys = invocation.sys;
    auto charge = [&](std::size_t n) { return sys.charge_cpu(n); };
    std::string out, err;
    auto finish = [&](std::int32_t status) {
        io.out += out;
        io.err += err;
        step = NativeStep::finished(status);
    };

    if (!check) {
        if (args.operands.empty()) {
            // Standard input is hashed as it arrives; the state waits in the fold state.
            Bytes local;
            Bytes& state = command_fold_state(invocation, local);
            if (state.empty()) running_start(algorithm, state);
            if (command_fold_stdin(step, invocation, io,
                                   [&](BytesView bytes) { running_add(algorithm, state, bytes); }))
                return;
            if (!charge(running_size(state))) return finish(sys.exhausted_status());
            if (algorithm == "crc32") push_line(out, running_text(algorithm, state));
            else push_line(out, fmt::format("{}  -", running_text(algorithm, state)));
            return finish(0);
        }
        std::int32_t status = 0;
        const std::string cwd = sys.getcwd();
        for (std::string_view op : args.operands) {
            // The file's own bytes are hashed in place: nothing here changes the file system.
            auto data = sys.lend_file(cwd, op, sys.limits().memory);
            if (!data) {
                push_message(err, name, fmt::format("{}: {}", op, error_text(data.error())));
                status = 1;
                continue;
            }
            if (!charge(data->size())) return finish(sys.exhausted_status());
            push_line(out, fmt::format("{}{}{}", checksum_digest_text(algorithm, data->view()), gap, op));
        }
        return finish(status);
    }

    std::vector<std::string_view> lists(args.operands.begin(), args.operands.end());
    if (lists.empty()) lists.push_back("-");
    for (std::string_view list : lists) {
        if (list == "-") {
            if (auto s = command_read_stdin(invocation, io)) {
                step = *s;
                return;
            }
            break;
        }
    }
    std::int32_t status = 0;
    for (std::string_view list : lists) {
        Bytes file;
        std::string_view raw;
        if (list == "-") {
            raw = io.in;
        } else {
            auto data = command_read_file(sys, list);
            if (!data) {
                push_message(err, name, fmt::format("{}: {}", list, error_text(data.error())));
                status = 1;
                continue;
            }
            file = std::move(*data);
            raw = file;
        }
        if (!charge(raw.size())) return finish(sys.exhausted_status());
        std::string storage;
        const std::string_view text = valid_utf8_view(raw, storage);
        const std::vector<std::string_view> lines = split_lines(text);
        // A list without one well-formed line is one error, not a silent success.
        if (std::ranges::none_of(lines, [&](std::string_view line) { return parse_check_line(line, algorithm).has_value(); })) {
            push_message(err, name,
                         fmt::format("{}: no properly formatted checksum lines found",
                                     list == "-" ? std::string_view("'standard input'") : list));
            status = 1;
            continue;
        }
        for (std::string_view line : lines) {
            auto parsed = parse_check_line(line, algorithm);
            if (!parsed) {
                push_message(err, name, "malformed checksum line");
                status = 1;
                continue;
            }
            auto data = command_read_file(sys, parsed->name);
            if (!data) {
                push_message(err, name, fmt::format("{}: {}", parsed->name, error_text(data.error())));
                status = 1;
                continue;
            }
            if (!charge(data->size())) return finish(sys.exhausted_status());
            if (checksum_digest_text(algorithm, *data) == parsed->expected) {
                push_line(out, fmt::format("{}: OK", parsed->name));
            } else {
                push_line(out, fmt::format("{}: FAILED", parsed->name));
                status = 1;
            }
        }
    }
    finish(status);
}

}  // namespace tw
