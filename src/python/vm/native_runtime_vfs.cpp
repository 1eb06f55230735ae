// The engine's PyVfs: the Python file interface over the machine's filesystem, acting for the
// active process (its working directory and, for chdir, its PWD).
#include <fmt/format.h>

#include <memory>

#include "base/sat.h"
#include "base/utf8.h"
#include "kernel/machine.h"
#include "kernel/vfs_path.h"
#include "python/vm/host_bridges.h"
#include "python/vm/py_vfs.h"
#include "python/vm/runtime_context.h"
#include "python/vm/try.h"

namespace tw::py {

namespace {

constexpr std::uint64_t kEntryMemory = 64;  // charged per name listed or entry globbed

PyStatus os_fail(VfsError e) { return fail(vfs_error_to_os_error(std::move(e))); }

PyStatus syscall_fail(const SyscallError& e) {
    if (const VfsError* v = e.vfs_error()) return os_fail(*v);
    if (e.kind == SyscallError::Kind::ResourceExhausted) return fail(PyError::resource(error_text(e)));
    return fail(PyError::exception("OSError", error_text(e)));
}

// ---- glob patterns ------------------------------------------------------------------------------

// One code point of `s` at `i` (an invalid byte stands for itself); advances `i`.
char32_t next_char(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len = b0 < 0x80 ? 1 : (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
    if (len <= 1 || i + len > s.size()) {
        ++i;
        return b0;
    }
    char32_t c = b0 & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return b0;
        }
        c = (c << 6) | (b & 0x3F);
    }
    i += len;
    return c;
}

struct GlobToken {
    enum class Kind : std::uint8_t { Char, Any, Star, Set } kind = Kind::Char;
    char32_t ch = 0;
    bool negated = false;
    std::vector<std::pair<char32_t, char32_t>> ranges;
};

// A component of a pattern: `**` (recursive) or a run of tokens.
struct GlobComponent {
    bool recursive = false;
    std::vector<GlobToken> tokens;
};

Result<std::vector<GlobComponent>, std::string_view> compile_glob(std::string_view pattern) {
    std::vector<GlobComponent> out;
    std::size_t start = 0;
    while (start <= pattern.size()) {
        std::size_t end = pattern.find('/', start);
        if (end == std::string_view::npos) end = pattern.size();
        const std::string_view part = pattern.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        GlobComponent comp;
        std::size_t i = 0;
        while (i < part.size()) {
            const char c = part[i];
            if (c == '*') {
                std::size_t run = 0;
                while (i < part.size() && part[i] == '*') ++run, ++i;
                if (run > 2) return std::unexpected("wildcards are either regular `*` or recursive `**`");
                if (run == 2) {
                    if (part.size() != 2) return std::unexpected("recursive wildcards must form a single path component");
                    comp.recursive = true;
                } else {
                    comp.tokens.push_back({GlobToken::Kind::Star});
                }
            } else if (c == '?') {
                comp.tokens.push_back({GlobToken::Kind::Any});
                ++i;
            } else if (c == '[') {
                GlobToken set{GlobToken::Kind::Set};
                std::size_t j = i + 1;
                if (j < part.size() && part[j] == '!') set.negated = true, ++j;
                // The first character of a set is a member even when it is "]".
                const std::size_t close = j < part.size() ? part.find(']', j + 1) : std::string_view::npos;
                if (close == std::string_view::npos) return std::unexpected("invalid range pattern");
                const std::string_view body = part.substr(j, close - j);
                std::vector<char32_t> chars;
                for (std::size_t k = 0; k < body.size();) chars.push_back(next_char(body, k));
                for (std::size_t k = 0; k < chars.size(); ++k) {
                    if (k + 2 < chars.size() && chars[k + 1] == U'-') {
                        set.ranges.emplace_back(chars[k], chars[k + 2]);
                        k += 2;
                    } else {
                        set.ranges.emplace_back(chars[k], chars[k]);
                    }
                }
                comp.tokens.push_back(std::move(set));
                i = close + 1;
            } else {
                comp.tokens.push_back({GlobToken::Kind::Char, next_char(part, i)});
            }
        }
        out.push_back(std::move(comp));
    }
    return out;
}

bool token_matches(const GlobToken& t, char32_t c) {
    switch (t.kind) {
        case GlobToken::Kind::Char: return t.ch == c;
        case GlobToken::Kind::Any: return true;
        case GlobToken::Kind::Star: return false;
        case GlobToken::Kind::Set: {
            bool in = false;
            for (const auto& [lo, hi] : t.ranges) in = in || (lo <= c && c <= hi);
            return in != t.negated;
        }
    }
    return false;
}

// Whether one name matches a component's tokens. A leading "." is matched only by a literal ".".
bool component_matches(const std::vector<GlobToken>& tokens, std::string_view name) {
    std::vector<char32_t> chars;
    for (std::size_t k = 0; k < name.size();) chars.push_back(next_char(name, k));
    if (!chars.empty() && chars[0] == U'.' &&
        (tokens.empty() || tokens[0].kind != GlobToken::Kind::Char || tokens[0].ch != U'.'))
        return false;
    // Classic matching with one backtrack point per star: linear in the pattern times the name.
    std::size_t p = 0, c = 0, star_p = std::string_view::npos, star_c = 0;
    while (c < chars.size()) {
        if (p < tokens.size() && tokens[p].kind == GlobToken::Kind::Star) {
            star_p = p++;
            star_c = c;
        } else if (p < tokens.size() && token_matches(tokens[p], chars[c])) {
            ++p, ++c;
        } else if (star_p != std::string_view::npos) {
            p = star_p + 1;
            c = ++star_c;
        } else {
            return false;
        }
    }
    while (p < tokens.size() && tokens[p].kind == GlobToken::Kind::Star) ++p;
    return p == tokens.size();
}

std::vector<std::string_view> split_components(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Whether the components of a path match the compiled pattern (`**` never enters a name that
// starts with ".").
bool path_matches(const std::vector<GlobComponent>& pattern, const std::vector<std::string_view>& names) {
    const std::size_t k = pattern.size(), n = names.size();
    // ok[i][j]: pattern[i..] matches names[j..].
    std::vector<std::vector<char>> ok(k + 1, std::vector<char>(n + 1, 0));
    ok[k][n] = 1;
    for (std::size_t i = k; i-- > 0;) {
        for (std::size_t j = n + 1; j-- > 0;) {
            if (pattern[i].recursive) {
                ok[i][j] = ok[i + 1][j] || (j < n && !names[j].starts_with('.') && ok[i][j + 1]);
            } else {
                ok[i][j] = j < n && ok[i + 1][j + 1] && component_matches(pattern[i].tokens, names[j]);
            }
        }
    }
    return ok[0][0];
}

// ---- the interface --------------------------------------------------------------------------------

class EngineVfs final : public PyVfs {
public:
    explicit EngineVfs(RuntimeContext& ctx) : ctx_(ctx) {}

    std::string getcwd() override { return cwd(); }

    PyStatus chdir(std::string_view path) override {
        Machine& m = machine();
        auto resolved = m.vfs.resolve_symlinks(path_join_normalize(cwd(), path), true);
        if (!resolved) return os_fail(std::move(resolved.error()));
        auto node = m.node_at("/", *resolved, true);
        if (!node) return os_fail(std::move(node.error()));
        if (!node->is_dir()) return fail(PyError::exception("NotADirectoryError", fmt::format("Not a directory: {}", path)));
        ProcessState& p = m.states.active_mut();
        p.cwd = *resolved;
        p.store_variable("PWD", std::move(*resolved));
        return {};
    }

    PyResult<std::string> read_text(std::string_view path) override { return vfs_read_text(machine(), path); }

    PyResult<std::string> read_bytes(std::string_view path) override {
        Machine& m = machine();
        const std::string base = cwd();
        auto size = m.file_size_at(base, path);
        if (!size) return fail(vfs_error_to_os_error(std::move(size.error())));
        if (*size > kPyVfsReadLimit) return fail(PyError::resource("binary file exceeds the 4 MiB limit"));
        TRY_DO(charge(*size, *size));
        auto bytes = m.read_file_limited(base, path, kPyVfsReadLimit);
        if (!bytes) return fail(vfs_error_to_os_error(std::move(bytes.error())));
        return std::move(*bytes);
    }

    PyStatus write_text(std::string_view path, std::string_view text) override { return write_whole(path, text); }
    PyStatus write_bytes(std::string_view path, std::string_view bytes) override { return write_whole(path, bytes); }

    PyResult<std::uint64_t> append_text(std::string_view path, std::string_view text) override {
        return append(path, text);
    }
    PyResult<std::uint64_t> append_bytes(std::string_view path, std::string_view bytes) override {
        return append(path, bytes);
    }

    PyStatus remove_file(std::string_view path) override {
        // The machine's removal keeps a file that is still open readable through its descriptions.
        if (auto r = machine().remove_path(cwd(), path); !r) return syscall_fail(r.error());
        return {};
    }

    PyStatus remove_tree(std::string_view path) override {
        Machine& m = machine();
        const std::string joined = path_join_normalize(cwd(), path);
        if (auto r = Vfs::check_protected_path(joined); !r) return os_fail(std::move(r.error()));
        auto resolved = m.vfs.resolve_symlinks(joined, false);
        if (!resolved) return os_fail(std::move(resolved.error()));
        if (!m.vfs.node(*resolved)) return os_fail(VfsError::not_found(*resolved));
        if (*resolved == "/") return os_fail(VfsError::invalid(path));
        m.sync_vfs_clock();
        std::vector<std::string> entries = m.vfs.descendants(*resolved);
        // Deepest first: in key order every entry comes before the entries below it.
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
            const VfsNode* node = m.vfs.node(*it);
            if (!node) continue;
            if (node->is_dir()) {
                if (auto r = m.vfs.remove_dir("/", *it); !r) return os_fail(std::move(r.error()));
            } else if (auto r = m.remove_path("/", *it); !r) {
                return syscall_fail(r.error());
            }
        }
        return {};
    }

    PyStatus rename(std::string_view from, std::string_view to) override {
        Machine& m = machine();
        const std::string base = cwd();
        // The machine's move puts a source into an existing directory; a rename replaces the
        // destination instead: never a directory by a non-directory, and only an empty directory.
        auto dest = m.vfs.resolve_parent(base, to);
        auto source = m.vfs.canonical_path(base, from, false);
        const VfsNode* existing = dest ? m.vfs.node(*dest) : nullptr;
        const VfsNode* moving = source ? m.vfs.node(*source) : nullptr;
        if (existing && moving && existing == moving) {
            m.sync_vfs_clock();
            return {};  // onto itself
        }
        if (existing && moving && existing->is_dir()) {
            if (!moving->is_dir()) return os_fail(VfsError::is_a_dir(to));
            if (!m.vfs.below(*dest).empty()) return os_fail(VfsError::not_empty(to));
            const VfsNode saved = *existing;
            m.sync_vfs_clock();
            if (auto r = m.vfs.remove_dir("/", *dest); !r) return os_fail(std::move(r.error()));
            if (auto r = m.rename_path(base, from, to); !r) {
                // Put the emptied destination back as it was.
                m.vfs.store_node(*dest, saved);
                m.vfs.raise_peak();
                return syscall_fail(r.error());
            }
            return {};
        }
        if (auto r = m.rename_path(base, from, to); !r) return syscall_fail(r.error());
        return {};
    }

    bool exists(std::string_view path) override {
        const Machine& m = machine();
        auto resolved = m.vfs.resolve_symlinks(path_join_normalize(cwd(), path), true);
        return resolved && m.vfs.node(*resolved) != nullptr;
    }
    bool is_file(std::string_view path) override { return machine().vfs.is_file_at(cwd(), path); }
    bool is_dir(std::string_view path) override { return machine().vfs.is_dir_at(cwd(), path); }
    bool is_symlink(std::string_view path) override {
        auto node = machine().node_at(cwd(), path, false);
        return node && node->is_symlink();
    }

    PyResult<std::vector<std::string>> list_dir(std::string_view path) override {
        auto names = machine().list_dir_names(cwd(), path);
        if (!names) return fail(vfs_error_to_os_error(std::move(names.error())));
        TRY_DO(charge(sat_mul(names->size(), kEntryMemory), names->size()));
        return std::move(*names);
    }

    PyResult<VfsStat> stat(std::string_view path, bool follow_symlinks) override {
        Machine& m = machine();
        const std::string base = cwd();
        auto of = [](const VfsNode& n) {
            VfsStat s{0, n.mtime_ms, n.mode, static_cast<std::uint8_t>(n.kind())};
            if (const Bytes* d = n.data()) s.size = d->size();
            if (const std::string* t = n.link_target()) s.size = t->size();
            return s;
        };
        if (auto pseudo = m.pseudo_lookup(base, path, follow_symlinks)) {
            if (!*pseudo) return fail(vfs_error_to_os_error(std::move(pseudo->error())));
            return of(**pseudo);
        }
        auto node = m.vfs.lookup(base, path, follow_symlinks);
        if (!node) return fail(vfs_error_to_os_error(std::move(node.error())));
        return of(**node);
    }

    PyStatus mkdir(std::string_view path, bool parents, bool exist_ok) override {
        Machine& m = machine();
        const std::string base = cwd();
        if (exist_ok && m.vfs.is_dir_at(base, path)) return {};
        if (parents) {
            if (exists(path)) return os_fail(VfsError::exists(path));
            m.sync_vfs_clock();
            return vfs_unit_result_into_py(m.vfs.create_dir_all(base, path));
        }
        m.sync_vfs_clock();
        return vfs_unit_result_into_py(m.vfs.mkdir(base, path));
    }

    PyStatus rmdir(std::string_view path) override {
        machine().sync_vfs_clock();
        return vfs_unit_result_into_py(machine().vfs.remove_dir(cwd(), path));
    }

    PyStatus chmod(std::string_view path, std::uint32_t mode) override {
        machine().sync_vfs_clock();
        return vfs_unit_result_into_py(machine().vfs.chmod(cwd(), path, mode & 07777));
    }

    PyStatus symlink(std::string_view target, std::string_view link_path) override {
        machine().sync_vfs_clock();
        return vfs_unit_result_into_py(machine().vfs.symlink(cwd(), target, link_path));
    }

    PyResult<std::string> readlink(std::string_view path) override {
        return vfs_result_into_py(machine().read_link(cwd(), path));
    }

    PyStatus utime(std::string_view path) override {
        Machine& m = machine();
        const std::string base = cwd();
        m.sync_vfs_clock();
        // Only an existing node gets the time: utime never creates a file.
        auto node = m.vfs.lookup(base, path, false);
        if (!node) return os_fail(std::move(node.error()));
        const std::uint64_t ns = m.vfs.now_ns();
        return vfs_unit_result_into_py(m.vfs.set_times(base, path, ns / 1000000, std::uint32_t(ns % 1000000)));
    }

    std::pair<std::uint64_t, std::uint64_t> disk_usage() override {
        return {machine().vfs.used(), machine().vfs.capacity()};
    }

    PyResult<std::vector<std::string>> glob(std::string_view pattern) override {
        Machine& m = machine();
        const bool relative = !pattern.starts_with('/');
        const bool dirs_only = pattern.ends_with('/');
        std::string prefix;
        if (relative) {
            prefix = cwd();
            if (prefix != "/") prefix += '/';
        }
        // The working directory is matched as it is, not as a pattern.
        auto compiled = compile_glob(pattern);
        if (!compiled)
            return fail(PyError::value_error(fmt::format("invalid glob pattern: {}", compiled.error())));
        const std::uint64_t entries = m.vfs.tree().size();
        TRY_DO(charge(sat_mul(entries, kEntryMemory), entries));
        std::vector<std::string> out;
        for (const auto& [path, node] : m.vfs.tree()) {
            std::string_view rest = path;
            if (relative) {
                if (!rest.starts_with(prefix) || rest.size() == prefix.size()) continue;
                rest.remove_prefix(prefix.size());
            }
            if (!path_matches(*compiled, split_components(rest))) continue;
            // A pattern ending in "/" names directories, and its answers end in "/" too.
            if (dirs_only && !node.is_dir()) continue;
            out.emplace_back(rest);
            if (dirs_only && !out.back().ends_with('/')) out.back() += '/';
        }
        return out;
    }

private:
    Machine& machine() { return ctx_.machine; }
    const std::string& cwd() { return ctx_.machine.states.active().cwd; }

    // Memory first, then work; a refusal leaves nothing done.
    PyStatus charge(std::uint64_t memory, std::uint64_t work) {
        TRY_DO(python_charge_memory(machine(), memory));
        return python_charge_cpu(machine(), work);
    }

    PyStatus write_whole(std::string_view path, std::string_view data) {
        TRY_DO(charge(data.size(), data.size()));
        Machine& m = machine();
        const std::string target = path_join_normalize(cwd(), path);
        m.sync_vfs_clock();
        return vfs_unit_result_into_py(m.vfs.write_file(target, Bytes(data), kPyVfsFileMode));
    }

    PyResult<std::uint64_t> append(std::string_view path, std::string_view data) {
        TRY_DO(charge(data.size(), data.size()));
        Machine& m = machine();
        const std::string base = cwd();
        m.sync_vfs_clock();
        auto target = m.vfs.resolve_parent(base, path);
        if (!target) return fail(vfs_error_to_os_error(std::move(target.error())));
        TRY_DO(vfs_unit_result_into_py(m.vfs.lookup_dir(*target)));
        const VfsNode* node = m.vfs.node(*target);
        if (node && node->is_dir()) return fail(vfs_error_to_os_error(VfsError::is_a_dir(path)));
        if (node && node->is_file()) {
            TRY_DO(vfs_unit_result_into_py(m.vfs.write_file_range(*target, node->data()->size(), data)));
        } else {
            // A new file, or a link or program replaced by a file holding only the data.
            TRY_DO(vfs_unit_result_into_py(m.vfs.write_file_mode("/", *target, Bytes(data), kPyVfsFileMode)));
        }
        return vfs_result_into_py(m.vfs.file_size_at(base, path));
    }

    RuntimeContext& ctx_;
};

}  // namespace

std::unique_ptr<PyVfs> make_engine_vfs(RuntimeContext& ctx) { return std::make_unique<EngineVfs>(ctx); }

}  // namespace tw::py
