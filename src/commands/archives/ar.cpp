// The ar archive format with its symbol index over WebAssembly objects (Wasm objects with a
// "linking" section and 32-bit ELF relocatable objects), and the ar and ranlib commands.
#include <fmt/format.h>

#include <cstdint>
#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "commands/archives/archive_bytes.h"
#include "commands/archives/archive_commands.h"
#include "commands/archives/gzip_codec.h"
#include "commands/util/io.h"
#include "kernel/syscall_error.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

constexpr std::uint64_t kArLimit = std::uint64_t{1} << 25;
constexpr std::size_t kArMemberLimit = 4096;
constexpr std::uint64_t kSymbolTableLimit = 100000;
// The memory charged for each symbol besides its name bytes: the list slot holding it.
constexpr std::uint64_t kSymbolOverhead = 32;

struct ArMember {
    std::string name;
    Bytes data;
    std::vector<std::string> symbols;
};

// Symbol gathering charges every name to the memory budget; `stopped` tells a refused charge
// (the command then ends with the exhausted status) from a format fault.
struct ArContext {
    Syscalls& sys;
    bool stopped = false;

    bool charge_symbol(std::string_view name) {
        if (sys.charge_memory(name.size() + kSymbolOverhead)) return true;
        stopped = true;
        return false;
    }
};

std::unexpected<std::string> fail(std::string text) { return std::unexpected(std::move(text)); }


using Symbols = std::vector<std::string>;

Result<Symbols, std::string> elf_symbols(ArContext& ctx, BytesView o) {
    const std::string truncated = "truncated ELF object";
    if (o.size() < 52 || o[4] != 1 || o[5] != 1 || o[6] != 1 || read_le16(o, 16) != 1 || read_le16(o, 18) != 0x4157)
        return fail("unsupported ELF object");
    const std::uint64_t shoff = read_le32(o, 32), shentsize = read_le16(o, 46), shnum = read_le16(o, 48);
    if (shentsize < 40 || shnum > 4096) return fail("unsupported ELF sections");
    if (shoff + shentsize * shnum > o.size()) return fail(truncated);
    Symbols out;
    for (std::uint64_t i = 0; i < shnum; ++i) {
        const std::size_t sh = shoff + i * shentsize;
        if (read_le32(o, sh + 4) != 2) continue;
        const std::uint64_t off = read_le32(o, sh + 16), size = read_le32(o, sh + 20), entsize = read_le32(o, sh + 36);
        if (entsize < 16 || size % entsize != 0 || size / entsize > kSymbolTableLimit)
            return fail("invalid ELF symbol table");
        const std::uint64_t link = read_le32(o, sh + 24);
        if (link >= shnum) return fail("invalid ELF string table index");
        const std::size_t strsh = shoff + link * shentsize;
        if (read_le32(o, strsh + 4) != 3) return fail("invalid ELF string table");
        const std::uint64_t stroff = read_le32(o, strsh + 16), strsize = read_le32(o, strsh + 20);
        if (off + size > o.size() || stroff + strsize > o.size()) return fail(truncated);
        const BytesView strtab = o.substr(stroff, strsize);
        for (std::uint64_t s = off; s < off + size; s += entsize) {
            const unsigned bind = static_cast<unsigned char>(o[s + 12]) >> 4;
            if ((bind != 1 && bind != 2) || read_le16(o, s + 14) == 0) continue;
            const std::uint64_t name_at = read_le32(o, s);
            if (name_at >= strtab.size()) return fail("invalid ELF symbol name");
            const std::size_t end = strtab.find('\0', name_at);
            if (end == BytesView::npos) return fail("unterminated ELF symbol name");
            const BytesView name = strtab.substr(name_at, end - name_at);
            if (name.empty()) continue;
            if (!utf8_valid(name)) return fail("non-UTF-8 ELF symbol name");
            if (!ctx.charge_symbol(name)) return fail("memory limit exceeded");
            out.emplace_back(name);
        }
    }
    return out;
}

// A reader of LEB128 values and byte runs over one Wasm object.
struct WasmReader {
    BytesView data;
    std::size_t pos = 0;
    std::string error;

    bool need(std::size_t n) {
        if (data.size() - pos >= n) return true;
        if (error.empty()) error = "truncated Wasm object";
        return false;
    }
    std::optional<std::uint32_t> leb() {
        std::uint64_t v = 0;
        for (int i = 0; i < 5; ++i) {
            if (!need(1)) return std::nullopt;
            const auto b = static_cast<unsigned char>(data[pos++]);
            v |= std::uint64_t(b & 0x7F) << (7 * i);
            if (!(b & 0x80)) return static_cast<std::uint32_t>(v);
        }
        error = "invalid Wasm LEB128";
        return std::nullopt;
    }
    std::optional<BytesView> bytes(std::size_t n) {
        if (!need(n)) return std::nullopt;
        const BytesView b = data.substr(pos, n);
        pos += n;
        return b;
    }
    std::optional<BytesView> name() {
        auto len = leb();
        if (!len) return std::nullopt;
        auto b = bytes(*len);
        if (b && !utf8_valid(*b)) {
            error = "invalid Wasm symbol name";
            return std::nullopt;
        }
        return b;
    }
};

Result<Symbols, std::string> wasm_symbol_table(ArContext& ctx, BytesView payload) {
    WasmReader r{payload};
    auto bad = [&] { return fail(r.error.empty() ? "truncated Wasm object" : r.error); };
    auto count = r.leb();
    if (!count) return bad();
    if (*count > kSymbolTableLimit) return fail("too many Wasm symbols");
    Symbols out;
    for (std::uint32_t i = 0; i < *count; ++i) {
        auto kind = r.bytes(1);
        if (!kind) return bad();
        const auto k = static_cast<unsigned char>((*kind)[0]);
        if (k > 5) return fail("unsupported Wasm symbol kind");
        auto flags = r.leb();
        if (!flags) return bad();
        const bool local = (*flags & 3) == 2, undefined = (*flags & 0x10) != 0, explicit_name = (*flags & 0x40) != 0;
        std::optional<BytesView> name;
        if (k == 3) {
            if (!r.leb()) return bad();
            continue;
        }
        if (k == 1) {
            if (!(name = r.name())) return bad();
            if (!undefined)
                for (int v = 0; v < 3; ++v)
                    if (!r.leb()) return bad();
        } else {
            if (!r.leb()) return bad();
            if (!undefined || explicit_name)
                if (!(name = r.name())) return bad();
        }
        if (name && !local && !undefined) {
            if (!ctx.charge_symbol(*name)) return fail("memory limit exceeded");
            out.emplace_back(*name);
        }
    }
    return out;
}

Result<Symbols, std::string> wasm_symbols(ArContext& ctx, BytesView o) {
    WasmReader r{o, 8};
    while (r.pos < o.size()) {
        auto id = r.bytes(1);
        auto size = id ? r.leb() : std::nullopt;
        auto payload = size ? r.bytes(*size) : std::nullopt;
        if (!payload) return fail(r.error);
        if ((*id)[0] != 0) continue;
        WasmReader s{*payload};
        auto name = s.name();
        if (!name) return fail(s.error);
        if (*name != "linking") continue;
        if (!s.leb()) return fail(s.error);
        while (s.pos < payload->size()) {
            auto sub = s.bytes(1);
            auto sub_size = sub ? s.leb() : std::nullopt;
            auto sub_payload = sub_size ? s.bytes(*sub_size) : std::nullopt;
            if (!sub_payload) return fail(s.error);
            if ((*sub)[0] == 8) return wasm_symbol_table(ctx, *sub_payload);
        }
    }
    return fail("Wasm object has no linking symbol table");
}

Result<Symbols, std::string> ar_object_symbols(ArContext& ctx, BytesView o) {
    if (o.starts_with("\x7f" "ELF")) return elf_symbols(ctx, o);
    if (o.starts_with(std::string_view("\0asm\1\0\0\0", 8))) return wasm_symbols(ctx, o);
    return fail("member is not a supported WebAssembly object");
}

Result<Bytes, std::string> ar_read_input(Syscalls& sys, std::string_view path) {
    const std::string cwd = sys.getcwd();
    auto st = sys.stat(cwd, path, true);
    if (!st) return fail(error_text(st.error()));
    if (st->size > kArLimit || !sys.charge_cpu(st->size)) return fail("archive resource limit exceeded");
    auto bytes = sys.read_file(cwd, path, kArLimit);
    if (!bytes) return fail(error_text(bytes.error()));
    return std::move(*bytes);
}

Result<std::uint64_t, std::string> decimal_field(BytesView f) {
    if (!utf8_valid(f)) return fail("invalid member size");
    while (!f.empty() && (f.front() == ' ' || f.front() == '\t')) f.remove_prefix(1);
    while (!f.empty() && (f.back() == ' ' || f.back() == '\t')) f.remove_suffix(1);
    if (f.empty() || f.size() > 10) return fail("invalid member size");
    std::uint64_t v = 0;
    for (char c : f) {
        if (c < '0' || c > '9') return fail("invalid member size");
        v = v * 10 + std::uint64_t(c - '0');
    }
    return v;
}

Result<std::vector<ArMember>, std::string> ar_parse_archive(ArContext& ctx, BytesView a) {
    if (a.size() > kArLimit || !a.starts_with("!<arch>\n")) return fail("unsupported or oversized archive");
    std::vector<ArMember> members;
    std::uint64_t offset = 8;
    while (offset < a.size()) {
        if (offset + 60 > a.size()) return fail("archive exceeds size limit");
        const BytesView h = a.substr(offset, 60);
        if (h[58] != '`' || h[59] != '\n') return fail("malformed archive header");
        auto size = decimal_field(h.substr(48, 10));
        if (!size) return std::unexpected(size.error());
        const std::uint64_t data_at = offset + 60;
        if (data_at + *size > a.size()) return fail("archive exceeds size limit");
        BytesView name = h.substr(0, 16);
        if (!utf8_valid(name)) return fail("invalid member name");
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        while (!name.empty() && name.back() == '/') name.remove_suffix(1);
        if (!name.empty()) {
            if (name.size() > 15) return fail("unsupported archive member name");
            const BytesView data = a.substr(data_at, *size);
            auto symbols = ar_object_symbols(ctx, data);
            if (!symbols) return std::unexpected(symbols.error());
            if (members.size() >= kArMemberLimit) return fail("too many archive members");
            members.push_back({std::string(name), Bytes(data), std::move(*symbols)});
        }
        offset = data_at + *size + (*size & 1);
        if (offset > a.size()) return fail("archive exceeds size limit");
    }
    return members;
}

void ar_write_member_header(Bytes& out, std::string_view name, std::uint64_t size) {
    out += fmt::format("{:<16}{:<12}{:<6}{:<6}{:<8}{:<10}`\n", name, "0", "0", "0", "100644", size);
}

void put_be32(Bytes& out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out += static_cast<char>((v >> s) & 0xFF);
}

Result<void, std::string> ar_write_archive(Syscalls& sys, std::string_view path, const std::vector<ArMember>& members) {
    std::uint64_t data_total = 0, count = 0, names = 0;
    for (const ArMember& m : members) {
        data_total += m.data.size();
        count += m.symbols.size();
        for (const std::string& s : m.symbols) names += s.size() + 1;
    }
    if (data_total > kArLimit || !sys.charge_cpu(data_total)) return fail("archive resource limit exceeded");
    const std::uint64_t index = 4 + 4 * count + names;
    std::vector<std::uint32_t> offsets;
    std::uint64_t at = 8 + 60 + index + (index & 1);
    for (const ArMember& m : members) {
        if (at > kArLimit) return fail("archive exceeds size limit");
        offsets.push_back(static_cast<std::uint32_t>(at));
        at += 60 + m.data.size() + (m.data.size() & 1);
    }
    if (at > kArLimit) return fail("archive exceeds size limit");
    Bytes out;
    out.reserve(at);
    out += "!<arch>\n";
    ar_write_member_header(out, "/", index);
    put_be32(out, static_cast<std::uint32_t>(count));
    for (std::size_t i = 0; i < members.size(); ++i)
        for (std::size_t k = 0; k < members[i].symbols.size(); ++k) put_be32(out, offsets[i]);
    for (const ArMember& m : members)
        for (const std::string& s : m.symbols) (out += s) += '\0';
    if (index & 1) out += '\n';
    for (const ArMember& m : members) {
        ar_write_member_header(out, m.name + "/", m.data.size());
        out += m.data;
        if (m.data.size() & 1) out += '\n';
    }
    if (auto w = sys.write_file_mode(sys.getcwd(), path, std::move(out), 0644); !w) return fail(error_text(w.error()));
    return {};
}

Result<void, std::string> ar_rebuild_index(ArContext& ctx, std::string_view path) {
    auto bytes = ar_read_input(ctx.sys, path);
    if (!bytes) return std::unexpected(bytes.error());
    auto members = ar_parse_archive(ctx, *bytes);
    if (!members) return std::unexpected(members.error());
    return ar_write_archive(ctx.sys, path, *members);
}

Result<void, std::string> ar_replace(ArContext& ctx, std::string_view path, std::span<const std::string> objects) {
    if (objects.empty()) return fail("expected at least one object");
    std::vector<ArMember> members;
    if (auto st = ctx.sys.stat(ctx.sys.getcwd(), path, true); st && st->file_type == 0 && !st->is_native) {
        auto bytes = ar_read_input(ctx.sys, path);
        if (!bytes) return std::unexpected(bytes.error());
        auto parsed = ar_parse_archive(ctx, *bytes);
        if (!parsed) return std::unexpected(parsed.error());
        members = std::move(*parsed);
    }
    for (const std::string& object : objects) {
        const std::string_view arg = object;
        const std::string name(arg.substr(arg.rfind('/') == std::string_view::npos ? 0 : arg.rfind('/') + 1));
        if (name.empty() || name.size() > 15 ||
            !std::ranges::all_of(name, [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
            return fail(fmt::format("unsupported member name '{}'", name));
        auto data = ar_read_input(ctx.sys, object);
        if (!data) return std::unexpected(data.error());
        auto symbols = ar_object_symbols(ctx, *data);
        if (!symbols) return std::unexpected(symbols.error());
        ArMember m{name, std::move(*data), std::move(*symbols)};
        auto same = std::ranges::find(members, name, &ArMember::name);
        if (same != members.end()) {
            *same = std::move(m);
        } else {
            if (members.size() >= kArMemberLimit) return fail("too many archive members");
            members.push_back(std::move(m));
        }
    }
    return ar_write_archive(ctx.sys, path, members);
}

// The status of a finished operation: 0, the exhausted status after a refused memory charge, or
// 2 after "NAME: MESSAGE".
std::int32_t ar_status(ArContext& ctx, const Result<void, std::string>& r, std::string_view name, CommandIo& io) {
    if (r) return 0;
    if (ctx.stopped) return ctx.sys.exhausted_status();
    push_message(io.err, name, r.error());
    return 2;
}

}  // namespace

std::int32_t ar_command(NativeInvocation& invocation, CommandIo& io) {
    const auto& args = invocation.args;
    if (args.empty()) {
        push_message(io.err, "ar", "expected operation and archive");
        return 2;
    }
    std::string_view op = args[0];
    if (op.starts_with('-')) op.remove_prefix(1);
    if (args.size() == 1) {
        push_message(io.err, "ar", "expected archive path");
        return 2;
    }
    MemoryMark mark(invocation.sys);
    ArContext ctx{invocation.sys};
    if (op == "s") return ar_status(ctx, ar_rebuild_index(ctx, args[1]), "ar", io);
    if (op == "rc" || op == "cr" || op == "rcs" || op == "crs")
        return ar_status(ctx, ar_replace(ctx, args[1], std::span(args).subspan(2)), "ar", io);
    push_message(io.err, "ar", fmt::format("unsupported operation '{}'", op));
    return 2;
}

std::int32_t ranlib_command(NativeInvocation& invocation, CommandIo& io) {
    if (invocation.args.size() != 1) {
        push_message(io.err, "ranlib", "expected one archive path");
        return 2;
    }
    MemoryMark mark(invocation.sys);
    ArContext ctx{invocation.sys};
    return ar_status(ctx, ar_rebuild_index(ctx, invocation.args[0]), "ranlib", io);
}

}  // namespace tw
