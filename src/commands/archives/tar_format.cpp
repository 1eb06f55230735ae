// Writing and reading tar archives.
#include "commands/archives/tar_format.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "base/utf8.h"
#include "commands/archives/gzip_codec.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

constexpr std::size_t kBlock = 512;
constexpr std::size_t kNameWidth = 100;
constexpr std::size_t kPrefixWidth = 155;

std::size_t padded(std::size_t n) { return (n + kBlock - 1) / kBlock * kBlock; }

std::unexpected<std::string> fail(std::string text) { return std::unexpected(std::move(text)); }

// Writes `value` in octal, zero-padded to `width` - 1 digits, and a NUL.
void put_octal(char* field, std::size_t width, std::uint64_t value) {
    const std::string digits = fmt::format("{:0{}o}", value, width - 1);
    std::memcpy(field, digits.data(), width - 1);
    field[width - 1] = '\0';
}

// The (prefix, name) split of a path of 100 to 255 bytes, cut at a "/" so that the name fits in
// 100 bytes and the prefix in 155; nothing when no "/" allows it.
std::optional<std::pair<std::string_view, std::string_view>> split_ustar(std::string_view path) {
    if (path.size() > kPrefixWidth + 1 + kNameWidth) return std::nullopt;
    for (std::size_t cut = std::min(path.size() - 1, kPrefixWidth); cut > 0; --cut) {
        if (path[cut] != '/') continue;
        const std::string_view name = path.substr(cut + 1);
        if (name.empty() || name.size() > kNameWidth) return std::nullopt;
        return std::pair{path.substr(0, cut), name};
    }
    return std::nullopt;
}

// One extended-header record "LEN KEY=VALUE\n", LEN counting the whole record.
std::string pax_record(std::string_view key, std::string_view value) {
    const std::size_t body = 1 + key.size() + 1 + value.size() + 1;
    std::size_t len = body + 1;
    while (std::to_string(len).size() + body != len) len = std::to_string(len).size() + body;
    return fmt::format("{} {}={}\n", len, key, value);
}

// The member path as the writer stores it (directories end with "/"), and whether it needs an
// extended header.
std::string stored_path(const TarEntry& e) {
    std::string path = e.path;
    if (std::holds_alternative<TarDirectory>(e.kind) && !path.ends_with('/')) path += '/';
    return path;
}
bool needs_pax(std::string_view path) { return path.size() >= kNameWidth && !split_ustar(path); }

void finish_header(char* h) {
    std::memset(h + 148, ' ', 8);
    std::memcpy(h + 257, "ustar\0" "00", 8);
    unsigned sum = 0;
    for (std::size_t i = 0; i < kBlock; ++i) sum += static_cast<unsigned char>(h[i]);
    put_octal(h + 148, 7, sum);
    h[155] = ' ';
}

// Appends a header block for `name`, `kind` (typeflag) and `size`; the name fields are filled
// from `path` (a path that does not fit gets a truncated name: its extended header carries it).
char* append_header(Bytes& out, std::string_view path, std::uint32_t mode, std::uint64_t size, char type) {
    const std::size_t at = out.size();
    out.append(kBlock, '\0');
    char* h = out.data() + at;
    if (path.size() < kNameWidth) {
        std::memcpy(h, path.data(), path.size());
    } else if (auto split = split_ustar(path)) {
        std::memcpy(h, split->second.data(), split->second.size());
        std::memcpy(h + 345, split->first.data(), split->first.size());
    } else {
        std::memcpy(h, path.data(), kNameWidth - 1);
    }
    put_octal(h + 100, 8, mode & 07777);
    put_octal(h + 108, 8, 0);
    put_octal(h + 116, 8, 0);
    put_octal(h + 124, 12, size);
    put_octal(h + 136, 12, 0);
    h[156] = type;
    return h;
}

Result<void, std::string> parse_pax_records(BytesView content, bool global, std::optional<std::string>& path) {
    while (!content.empty()) {
        const std::size_t space = content.find(' ');
        if (space == BytesView::npos) return fail("malformed PAX record");
        const BytesView digits = content.substr(0, space);
        std::uint64_t len = 0;
        if (digits.empty() || digits.size() > 19 ||
            !std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; }))
            return fail("malformed PAX record length");
        for (char c : digits) len = len * 10 + std::uint64_t(c - '0');
        if (len <= space + 1 || len > content.size()) return fail("malformed PAX record length");
        if (content[len - 1] != '\n') return fail("malformed PAX record");
        const BytesView text = content.substr(space + 1, len - space - 2);
        if (!utf8_valid(text)) return fail("PAX record is not UTF-8");
        const std::size_t eq = text.find('=');
        if (eq == BytesView::npos) return fail("malformed PAX record");
        const BytesView key = text.substr(0, eq);
        if (global) {
            if (key != "comment") return fail(fmt::format("unsupported PAX global key: {}", key));
        } else if (key == "path") {
            path = std::string(text.substr(eq + 1));
        } else if (key != "comment" && key != "mtime" && key != "atime" && key != "ctime") {
            return fail(fmt::format("unsupported PAX key: {}", key));
        }
        content.remove_prefix(len);
    }
    return {};
}

}  // namespace

Result<std::uint64_t, std::string> tar_parse_numeric_field(BytesView field) {
    if (!utf8_valid(field)) return fail("invalid tar numeric field");
    auto trim = [](char c) { return c == '\0' || c == ' '; };
    while (!field.empty() && trim(field.front())) field.remove_prefix(1);
    while (!field.empty() && trim(field.back())) field.remove_suffix(1);
    if (!field.empty() && field.front() == '+') field.remove_prefix(1);
    else if (field.empty()) return 0;
    if (field.empty() || field.size() > 21) return fail("invalid tar numeric field");
    std::uint64_t v = 0;
    for (char c : field) {
        if (c < '0' || c > '7') return fail("invalid tar numeric field");
        if (v > (UINT64_MAX >> 3)) return fail("invalid tar numeric field");
        v = (v << 3) | std::uint64_t(c - '0');
    }
    return v;
}

Result<std::string, std::string> tar_header_text_field(BytesView field) {
    field = field.substr(0, field.find('\0'));
    if (!utf8_valid(field)) return fail("archive path is not UTF-8");
    return std::string(field);
}

Result<void, std::string> tar_check_archive_path(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos)
        return fail("archive contains an invalid path");
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = path.find('/', start);
        const std::string_view part = path.substr(start, slash == std::string_view::npos ? path.npos : slash - start);
        if (part.empty() || part == "..") return fail(fmt::format("unsafe archive path: {}", path));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return {};
}

Result<Bytes, std::string> tar_write_archive(Syscalls& sys, const std::vector<TarEntry>& entries) {
    std::uint64_t size = 2 * kBlock;
    std::vector<std::string> paths;
    std::vector<std::string> pax;  // the extended-header content per entry, empty when none
    paths.reserve(entries.size());
    pax.reserve(entries.size());
    for (const TarEntry& e : entries) {
        paths.push_back(stored_path(e));
        pax.push_back(needs_pax(paths.back()) ? pax_record("path", paths.back()) : std::string());
        const TarFile* file = std::get_if<TarFile>(&e.kind);
        size += kBlock + padded(file ? file->content.size() : 0);
        if (!pax.back().empty()) size += kBlock + padded(pax.back().size());
        if (size > kArchiveByteLimit) break;
    }
    if (size > kArchiveByteLimit) return fail("archive exceeds the 16 MiB limit");
    if (!sys.charge_memory(size)) return fail("memory limit exceeded");
    if (!sys.charge_cpu(size)) return fail("resource limit exceeded");
    Bytes out;
    out.reserve(size);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const TarEntry& e = entries[i];
        const std::string& path = paths[i];
        if (!pax[i].empty()) {
            const std::string base = path.substr(path.rfind('/', path.size() - 2) + 1);
            const std::string name = fmt::format("PaxHeaders/{}", base).substr(0, kNameWidth - 1);
            finish_header(append_header(out, name, 0644, pax[i].size(), 'x'));
            out += pax[i];
            out.append(padded(pax[i].size()) - pax[i].size(), '\0');
        }
        std::uint64_t content_size = 0;
        char type = '0';
        std::string_view link;
        if (const auto* file = std::get_if<TarFile>(&e.kind)) {
            content_size = file->content.size();
        } else if (std::holds_alternative<TarDirectory>(e.kind)) {
            type = '5';
        } else {
            link = std::get<TarSymlink>(e.kind).target;
            if (link.find('\0') != std::string_view::npos) return fail("link target contains NUL");
            if (link.size() > kNameWidth) return fail("link target is too long for the tar format");
            type = '2';
        }
        char* h = append_header(out, path, e.mode, content_size, type);
        std::memcpy(h + 157, link.data(), link.size());
        finish_header(h);
        if (const auto* file = std::get_if<TarFile>(&e.kind)) {
            out += file->content;
            out.append(padded(content_size) - content_size, '\0');
        }
    }
    out.append(2 * kBlock, '\0');
    return out;
}

Result<std::vector<TarEntry>, std::string> tar_read_archive(BytesView archive) {
    std::vector<TarEntry> entries;
    std::size_t offset = 0;
    std::optional<std::string> pax_path;  // from a per-file extended header, for the next member
    while (true) {
        if (offset + kBlock > archive.size()) return fail("archive is truncated or lacks an end marker");
        const BytesView h = archive.substr(offset, kBlock);
        if (std::ranges::all_of(h, [](char c) { return c == '\0'; })) break;
        if (entries.size() >= kTarEntryLimit) return fail(fmt::format("archive exceeds the {}-entry limit", kTarEntryLimit));
        auto stored_sum = tar_parse_numeric_field(h.substr(148, 8));
        if (!stored_sum) return std::unexpected(stored_sum.error());
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < kBlock; ++i)
            sum += (i >= 148 && i < 156) ? 32u : static_cast<unsigned char>(h[i]);
        if (sum != *stored_sum) return fail("invalid header checksum");
        auto name = tar_header_text_field(h.substr(0, kNameWidth));
        if (!name) return std::unexpected(name.error());
        auto prefix = tar_header_text_field(h.substr(345, kPrefixWidth));
        if (!prefix) return std::unexpected(prefix.error());
        std::string path = prefix->empty() ? *name : fmt::format("{}/{}", *prefix, *name);
        const char type = h[156];
        if (pax_path && type != 'x' && type != 'g') path = *std::exchange(pax_path, std::nullopt);
        while (path.ends_with('/')) path.pop_back();
        if (auto ok = tar_check_archive_path(path); !ok) return std::unexpected(ok.error());
        auto size = tar_parse_numeric_field(h.substr(124, 12));
        if (!size) return std::unexpected(size.error());
        if (*size > archive.size() || offset + kBlock + *size > archive.size()) return fail("truncated archive entry");
        auto mode = tar_parse_numeric_field(h.substr(100, 8));
        if (!mode) return std::unexpected(mode.error());
        const BytesView content = archive.substr(offset + kBlock, *size);
        auto unsupported = [&] { return fail(fmt::format("unsupported entry type for {}", path)); };
        const auto mode32 = static_cast<std::uint32_t>(*mode);
        switch (type) {
        case '\0':
        case '0': entries.push_back({TarFile{Bytes(content)}, path, mode32}); break;
        case '5':
            if (*size != 0) return unsupported();
            entries.push_back({TarDirectory{}, path, mode32});
            break;
        case '2': {
            if (*size != 0) return unsupported();
            auto target = tar_header_text_field(h.substr(157, kNameWidth));
            if (!target) return std::unexpected(target.error());
            entries.push_back({TarSymlink{std::move(*target)}, path, mode32});
            break;
        }
        case 'g':
        case 'x': {
            std::optional<std::string> record_path;
            if (auto ok = parse_pax_records(content, type == 'g', record_path); !ok) {
                if (type == 'x' && ok.error().starts_with("unsupported PAX key")) return unsupported();
                return std::unexpected(ok.error());
            }
            if (record_path) pax_path = std::move(record_path);
            break;
        }
        default: return unsupported();
        }
        offset += kBlock + padded(*size);
    }
    return entries;
}

}  // namespace tw
