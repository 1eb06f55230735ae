#include "kernel/vfs_path.h"

#include <algorithm>

namespace tw {
namespace {

// Appends the components of `text` to `out`, which holds either nothing (the root) or a normal
// path other than "/". ".." drops the last component of `out`, stopping at the root.
void append_components(std::string& out, std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        if (text[i] == '/') {
            ++i;
            continue;
        }
        std::size_t j = text.find('/', i);
        if (j == std::string_view::npos) j = n;
        const std::string_view component = text.substr(i, j - i);
        if (component == "..") {
            const std::size_t slash = out.rfind('/');
            if (slash != std::string::npos) out.resize(slash);
        } else if (component != ".") {
            out += '/';
            out += component;
        }
        i = j;
    }
}

}  // namespace

bool path_is_normal(std::string_view path) {
    if (path.empty() || path[0] != '/') return false;
    if (path.size() == 1) return true;
    if (path.back() == '/') return false;
    // Every component starts right after a "/"; check each is non-empty and not "." or "..".
    std::size_t i = 1;
    const std::size_t n = path.size();
    while (i <= n) {
        std::size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = n;
        const std::size_t len = j - i;
        if (len == 0) return false;
        if (path[i] == '.' && (len == 1 || (len == 2 && path[i + 1] == '.'))) return false;
        i = j + 1;
    }
    return true;
}

std::string path_normalize(std::string_view path) {
    if (path_is_normal(path)) return std::string(path);
    std::string out;
    out.reserve(path.size() + 1);
    append_components(out, path);
    if (out.empty()) out = "/";
    return out;
}

std::uint64_t path_resolution_work(std::string_view base, std::string_view path) {
    const auto slashes = [](std::string_view text) {
        return static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '/'));
    };
    std::uint64_t length = path.size() + 1;
    std::uint64_t components = slashes(path) + 1;
    if (!path.starts_with('/')) {
        length += base.size();
        components += slashes(base);
    }
    return components * length / 64;  // both are far below 2^32: a path is held in memory
}

std::string path_join_normalize(std::string_view base, std::string_view path) {
    if (!path.empty() && path[0] == '/') return path_normalize(path);
    std::string out;
    out.reserve(base.size() + path.size() + 2);
    if (path_is_normal(base)) {
        if (base.size() > 1) out.assign(base);
    } else {
        append_components(out, base);
    }
    append_components(out, path);
    if (out.empty()) out = "/";
    return out;
}

std::optional<std::size_t> vfs_split_path(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::nullopt;
    return slash;
}

std::optional<std::string_view> vfs_parent_path(std::string_view path) {
    if (path == "/") return std::nullopt;
    const auto slash = vfs_split_path(path);
    if (!slash) return std::nullopt;
    if (*slash == 0) return std::string_view("/");
    return path.substr(0, *slash);
}

std::string_view vfs_file_name(std::string_view path) {
    if (path == "/") return "/";
    const auto slash = vfs_split_path(path);
    if (!slash) return path;
    return path.substr(*slash + 1);
}

std::string vfs_child_path(std::string_view parent, std::string_view name) {
    std::string out;
    out.reserve(parent.size() + name.size() + 1);
    if (parent != "/") out.assign(parent);
    out += '/';
    out += name;
    return out;
}

}  // namespace tw
