#include "commands/git/store.h"

#include <fmt/format.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <set>

#include "base/utf8.h"
#include "commands/util/text.h"
#include "kernel/syscall_error.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {

namespace {

constexpr std::size_t kMaxScanFiles = 100000;
constexpr std::size_t kMaxIgnoreFiles = 64;
constexpr std::size_t kMaxIgnoreRules = 1024;
constexpr std::uint64_t kMaxIgnoreFileBytes = 65536;
constexpr std::uint64_t kMaxConfigBytes = 262144;
constexpr std::size_t kMaxConfigKeys = 256;
constexpr std::size_t kMaxReflogEntries = 1000;
constexpr std::size_t kMaxWalk = 10000;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

std::string_view trim_end(std::string_view s) {
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::uint64_t memory_limit(Syscalls& sys) { return sys.limits().memory; }

std::optional<Bytes> read_limited(Syscalls& sys, std::string_view path, std::uint64_t limit) {
    auto bytes = sys.read_file("/", path, limit);
    if (!bytes) return std::nullopt;
    return std::move(*bytes);
}

std::vector<std::string> walk(Syscalls& sys, std::string_view dir) {
    auto listing = sys.walk_tree("/", dir);
    if (!listing) return {};
    return std::move(*listing);
}

}  // namespace

// ---- file kinds ----

GitFileKind fs_file_kind(Syscalls& sys, std::string_view path) {
    auto st = sys.stat("/", path, true);
    if (!st) return GitFileKind::Missing;
    if (st->file_type == 1) return GitFileKind::Directory;
    if (st->file_type == 0 && !st->is_native) return GitFileKind::Regular;
    return GitFileKind::Other;
}

bool fs_is_directory(Syscalls& sys, std::string_view path) { return fs_file_kind(sys, path) == GitFileKind::Directory; }

bool fs_is_regular_file(Syscalls& sys, std::string_view path) { return fs_file_kind(sys, path) == GitFileKind::Regular; }

bool fs_path_exists(Syscalls& sys, std::string_view path) { return fs_file_kind(sys, path) != GitFileKind::Missing; }

std::uint32_t git_file_mode_or_default(Syscalls& sys, std::string_view path) {
    auto st = sys.stat("/", path, false);
    return st ? st->mode : 0644;
}

// ---- object ids and store files ----

std::string git_sha1_hex(std::string_view bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha1(), nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 15]);
    }
    return out;
}

namespace {
std::string sha1_with_header(std::string_view kind, std::string_view content) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    std::string header = fmt::format("{} {}", kind, content.size());
    header.push_back('\0');
    EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr);
    EVP_DigestUpdate(ctx, header.data(), header.size());
    EVP_DigestUpdate(ctx, content.data(), content.size());
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, digest.data(), &length);
    EVP_MD_CTX_free(ctx);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 15]);
    }
    return out;
}
}  // namespace

std::string git_blob_id(std::string_view content) { return sha1_with_header("blob", content); }

std::string git_abbrev_id(std::string_view id) { return std::string(id.substr(0, 7)); }

std::string path_join(std::string_view dir, std::string_view name) {
    if (dir == "/") return fmt::format("/{}", name);
    return fmt::format("{}/{}", dir, name);
}

std::string git_path(std::string_view root, std::string_view name) {
    return path_join(root, fmt::format(".git/{}", name));
}

std::optional<Bytes> git_read_file(Syscalls& sys, std::string_view path) {
    return read_limited(sys, path, memory_limit(sys));
}

std::optional<std::string> git_write_file(Syscalls& sys, std::string_view path, Bytes bytes) {
    auto written = sys.write_file("/", path, std::move(bytes), 0644);
    if (!written) return error_text(written.error());
    return std::nullopt;
}

std::string git_entry_mode(const TreeEntry& entry) {
    if (entry.symlink) return "120000";
    if (entry.executable) return "100755";
    return "100644";
}

std::string git_format_tree(const GitTree& tree) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const auto& [path, entry] : tree) {
        for (unsigned char c : path) {
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
        out.push_back('\t');
        out += entry.id;
        if (entry.symlink) out += "\t120000";
        else if (entry.executable) out += "\t100755";
        out.push_back('\n');
    }
    return out;
}

std::optional<GitTree> git_parse_tree(std::string_view bytes) {
    std::string text = utf8_lossy(bytes);
    GitTree tree;
    for (std::string_view line : split_lines(text)) {
        std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos) return std::nullopt;
        std::string_view field = line.substr(0, tab);
        if (field.empty() || field.size() % 2 != 0) return std::nullopt;
        std::string path;
        for (std::size_t i = 0; i < field.size(); i += 2) {
            if (!is_hex(field[i]) || !is_hex(field[i + 1])) return std::nullopt;
            path.push_back(static_cast<char>(hex_value(field[i]) * 16 + hex_value(field[i + 1])));
        }
        if (utf8_lossy(path) != path) return std::nullopt;
        std::string_view rest = line.substr(tab + 1);
        std::string_view mode = "100644";
        std::size_t tab2 = rest.find('\t');
        std::string_view id = rest.substr(0, tab2);
        if (tab2 != std::string_view::npos) mode = rest.substr(tab2 + 1);
        if (id.size() != 40 || !std::all_of(id.begin(), id.end(), is_hex)) return std::nullopt;
        tree[path] = TreeEntry{std::string(id), mode == "100755", mode == "120000"};
    }
    return tree;
}

std::string git_tree_object_id(const GitTree& tree) { return sha1_with_header("tree", git_format_tree(tree)); }

std::optional<GitCommit> git_parse_commit(std::string_view bytes) {
    std::string text = utf8_lossy(bytes);
    std::size_t split = text.find("\n\n");
    if (split == std::string::npos) return std::nullopt;
    GitCommit commit;
    commit.message = text.substr(split + 2);
    std::string_view header = std::string_view(text).substr(0, split);
    for (std::string_view line : split_lines(header)) {
        if (line.starts_with("parent ")) {
            commit.parents.emplace_back(trim(line.substr(7)));
        } else if (line.starts_with("author ")) {
            std::string_view rest = line.substr(7);
            std::size_t lt = rest.rfind(" <");
            if (lt == std::string_view::npos) return std::nullopt;
            commit.author_name = std::string(rest.substr(0, lt));
            std::string_view tail = rest.substr(lt + 2);
            std::size_t gt = tail.find("> ");
            if (gt == std::string_view::npos) return std::nullopt;
            commit.author_email = std::string(tail.substr(0, gt));
            std::string_view words = trim(tail.substr(gt + 2));
            std::string_view word = words.substr(0, std::min(words.size(), words.find_first_of(" \t")));
            std::int64_t t = 0;
            auto [ptr, ec] = std::from_chars(word.data(), word.data() + word.size(), t);
            commit.time = (ec == std::errc{} && ptr == word.data() + word.size()) ? t : 0;
        }
    }
    return commit;
}

std::optional<GitCommit> git_read_commit(Syscalls& sys, std::string_view root, std::string_view id) {
    auto bytes = git_read_file(sys, git_path(root, fmt::format("commits/{}.commit", id)));
    if (!bytes) return std::nullopt;
    return git_parse_commit(*bytes);
}

std::optional<GitTree> git_read_commit_tree(Syscalls& sys, std::string_view root, std::string_view id) {
    auto bytes = git_read_file(sys, git_path(root, fmt::format("commits/{}.tree", id)));
    if (!bytes) return std::nullopt;
    return git_parse_tree(*bytes);
}

std::optional<Bytes> git_read_object(Syscalls& sys, std::string_view root, std::string_view id) {
    return git_read_file(sys, git_path(root, fmt::format("objects/{}", id)));
}

Result<std::string, std::string> git_create_commit(Syscalls& sys, std::string_view root, const NewCommit& commit,
                                                   const GitTree& tree) {
    std::string tree_text = git_format_tree(tree);
    std::string header;
    for (const std::string& p : commit.parents) header += fmt::format("parent {}\n", p);
    header += fmt::format("author {} <{}> {} +0000\n\n", commit.author_name, commit.author_email, commit.time);
    header += commit.message;
    std::string id = git_sha1_hex(fmt::format("tree {}\n{}", git_sha1_hex(tree_text), header));
    if (auto e = git_write_file(sys, git_path(root, fmt::format("commits/{}.tree", id)), std::move(tree_text)))
        return std::unexpected(*e);
    if (auto e = git_write_file(sys, git_path(root, fmt::format("commits/{}.commit", id)), std::move(header)))
        return std::unexpected(*e);
    return id;
}

Result<std::string, std::string> git_write_blob(Syscalls& sys, std::string_view root, std::string_view content) {
    std::string id = git_blob_id(content);
    if (auto e = git_write_file(sys, git_path(root, fmt::format("objects/{}", id)), Bytes(content)))
        return std::unexpected(*e);
    return id;
}

std::string git_commit_subject(std::string_view message) {
    auto lines = split_lines(message);
    return lines.empty() ? std::string() : std::string(lines.front());
}

bool git_content_is_binary(std::string_view bytes) {
    if (bytes.substr(0, 8000).find('\0') != std::string_view::npos) return true;
    return utf8_lossy(bytes) != bytes;
}

// ---- HEAD, refs, reflog, revisions ----

std::optional<std::string> git_find_worktree(Syscalls& sys) {
    std::string dir = sys.getcwd();
    while (true) {
        if (fs_is_directory(sys, path_join(dir, ".git"))) return dir;
        if (dir == "/") return std::nullopt;
        auto parent = vfs_parent_path(dir);
        dir = parent ? std::string(*parent) : std::string("/");
    }
}

std::optional<std::string> git_read_ref_file(Syscalls& sys, std::string_view root, std::string_view name) {
    auto bytes = git_read_file(sys, git_path(root, name));
    if (!bytes) return std::nullopt;
    std::string text(trim(utf8_lossy(*bytes)));
    if (text.empty()) return std::nullopt;
    return text;
}

std::optional<std::string> git_read_head(Syscalls& sys, std::string_view root) {
    auto bytes = git_read_file(sys, git_path(root, "HEAD"));
    if (!bytes) return std::nullopt;
    return std::string(trim(utf8_lossy(*bytes)));
}

std::optional<std::string> git_head_symref(Syscalls& sys, std::string_view root) {
    auto head = git_read_head(sys, root);
    if (!head || !head->starts_with("ref: ")) return std::nullopt;
    return head->substr(5);
}

std::optional<std::string> git_current_branch(Syscalls& sys, std::string_view root) {
    auto ref = git_head_symref(sys, root);
    if (!ref || !ref->starts_with("refs/heads/")) return std::nullopt;
    return ref->substr(11);
}

std::optional<std::string> git_resolve_head(Syscalls& sys, std::string_view root) {
    auto head = git_read_head(sys, root);
    if (!head) return std::nullopt;
    if (head->starts_with("ref: ")) return git_read_ref_file(sys, root, head->substr(5));
    if (head->empty()) return std::nullopt;
    return head;
}

GitTree git_head_tree(Syscalls& sys, std::string_view root) {
    auto id = git_resolve_head(sys, root);
    if (!id) return {};
    auto tree = git_read_commit_tree(sys, root, *id);
    return tree ? std::move(*tree) : GitTree{};
}

std::optional<std::string> git_write_ref(Syscalls& sys, std::string_view root, std::string_view name,
                                         std::string_view id) {
    return git_write_file(sys, git_path(root, name), fmt::format("{}\n", id));
}

std::optional<std::string> git_update_head(Syscalls& sys, std::string_view root, std::string_view id,
                                           std::string_view message) {
    auto old = git_resolve_head(sys, root);
    auto target = git_head_symref(sys, root);
    if (auto e = git_write_ref(sys, root, target ? *target : std::string("HEAD"), id)) return e;
    git_reflog_append(sys, root, old, id, message);
    return std::nullopt;
}

std::vector<ReflogEntry> git_reflog_parse(std::string_view text) {
    std::string decoded = utf8_lossy(text);
    std::vector<ReflogEntry> entries;
    for (std::string_view line : split_lines(decoded)) {
        std::size_t t1 = line.find('\t');
        if (t1 == std::string_view::npos) continue;
        std::string_view rest = line.substr(t1 + 1);
        std::size_t t2 = rest.find('\t');
        ReflogEntry e{std::string(line.substr(0, t1)), std::string(rest.substr(0, t2)), {}};
        if (t2 != std::string_view::npos) e.message = std::string(rest.substr(t2 + 1));
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<ReflogEntry> git_reflog_read(Syscalls& sys, std::string_view root) {
    auto bytes = git_read_file(sys, git_path(root, "logs/HEAD"));
    if (!bytes) return {};
    auto entries = git_reflog_parse(*bytes);
    std::reverse(entries.begin(), entries.end());
    return entries;
}

void git_reflog_append(Syscalls& sys, std::string_view root, const std::optional<std::string>& old_id,
                       std::string_view new_id, std::string_view message) {
    auto entries = git_reflog_read(sys, root);
    std::reverse(entries.begin(), entries.end());
    std::string clean(message);
    std::replace(clean.begin(), clean.end(), '\t', ' ');
    std::replace(clean.begin(), clean.end(), '\n', ' ');
    entries.push_back({old_id ? *old_id : kGitZeroId, std::string(new_id), clean});
    std::size_t skip = entries.size() > kMaxReflogEntries ? entries.size() - kMaxReflogEntries : 0;
    std::string text;
    for (std::size_t i = skip; i < entries.size(); ++i)
        text += fmt::format("{}\t{}\t{}\n", entries[i].old_id, entries[i].new_id, entries[i].message);
    (void)git_write_file(sys, git_path(root, "logs/HEAD"), std::move(text));
}

std::vector<std::string> git_list_refs(Syscalls& sys, std::string_view root, std::string_view kind) {
    std::string dir = git_path(root, fmt::format("refs/{}", kind));
    std::string prefix = dir + "/";
    std::vector<std::string> names;
    for (const std::string& path : walk(sys, dir)) {
        if (!path.starts_with(prefix) || !fs_is_regular_file(sys, path)) continue;
        names.push_back(path.substr(prefix.size()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

std::optional<std::uint64_t> parse_u64(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t n = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (ec != std::errc{} || ptr != digits.data() + digits.size()) return std::nullopt;
    return n;
}

std::optional<std::string> resolve_base(Syscalls& sys, std::string_view root, std::string_view base) {
    if (base.empty() || base == "HEAD" || base == "@") return git_resolve_head(sys, root);
    if ((base.starts_with("HEAD@{") || base.starts_with("@{")) && base.ends_with("}")) {
        std::size_t open = base.find('{');
        std::string_view inside = base.substr(open + 1, base.size() - open - 2);
        if (!inside.empty() && std::all_of(inside.begin(), inside.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            auto n = parse_u64(inside);
            if (n) {
                if (*n == 0) return git_resolve_head(sys, root);
                auto log = git_reflog_read(sys, root);
                if (*n > log.size()) return std::nullopt;
                return log[*n - 1].old_id;
            }
        }
    }
    if (base == "@{-1}") {
        auto prev = git_read_prev_head(sys, root);
        if (!prev) return std::nullopt;
        return git_read_ref_file(sys, root, fmt::format("refs/heads/{}", *prev));
    }
    for (const std::string& name :
         {fmt::format("refs/heads/{}", base), fmt::format("refs/tags/{}", base), std::string(base)}) {
        if (name.find("..") != std::string::npos) continue;  // never read outside the store
        if (auto id = git_read_ref_file(sys, root, name)) return id;
    }
    if (base.size() >= 4 && std::all_of(base.begin(), base.end(), is_hex)) {
        std::vector<std::string> names;
        for (const std::string& path : walk(sys, git_path(root, "commits")))
            names.push_back(path.substr(path.rfind('/') + 1));
        auto ids = git_commit_ids_with_prefix(names, base);
        if (ids.size() != 1) return std::nullopt;
        return ids.front();
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> git_resolve_revision(Syscalls& sys, std::string_view root, std::string_view spec) {
    std::size_t op = spec.find_first_of("~^");
    auto id = resolve_base(sys, root, spec.substr(0, std::min(op, spec.size())));
    if (!id || op == std::string_view::npos) return id;
    std::string_view suffix = spec.substr(op);
    while (!suffix.empty()) {
        char kind = suffix.front();
        suffix.remove_prefix(1);
        std::size_t digits = 0;
        while (digits < suffix.size() && suffix[digits] >= '0' && suffix[digits] <= '9') ++digits;
        std::uint64_t n = 1;
        if (digits > 0) {
            auto parsed = parse_u64(suffix.substr(0, digits));
            if (!parsed) return std::nullopt;
            n = *parsed;
        }
        suffix.remove_prefix(digits);
        if (kind == '~') {
            for (std::uint64_t i = 0; i < n; ++i) {
                auto commit = git_read_commit(sys, root, *id);
                if (!commit || commit->parents.empty()) return std::nullopt;
                id = commit->parents.front();
                if (i >= kMaxWalk) return std::nullopt;
            }
        } else if (kind == '^') {
            if (n == 0) continue;
            auto commit = git_read_commit(sys, root, *id);
            if (!commit || commit->parents.size() < n) return std::nullopt;
            id = commit->parents[n - 1];
        } else {
            return std::nullopt;
        }
    }
    return id;
}

// ---- work-tree paths, index, scan ----

bool path_is_within(std::string_view root, std::string_view path) {
    if (root == "/" || path == root) return true;
    return path.size() > root.size() && path.starts_with(root) && path[root.size()] == '/';
}

std::optional<std::string> git_repo_relative_path(std::string_view root, std::string_view path) {
    if (!path_is_within(root, path)) return std::nullopt;
    std::string_view rest = root == "/" ? path : path.substr(root.size());
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    if (rest.empty()) return std::nullopt;
    return std::string(rest);
}

bool git_path_is_in_git_dir(std::string_view root, std::string_view path) {
    return path_is_within(path_join(root, ".git"), path);
}

std::string git_user_path_to_repo_path(std::string_view cwd, std::string_view root, std::string_view text) {
    std::string absolute = path_join_normalize(cwd, text);
    if (auto rel = git_repo_relative_path(root, absolute)) return *rel;
    if (absolute == root) return {};
    return std::string(text);
}

std::optional<Bytes> git_read_regular_file(Syscalls& sys, std::string_view path) {
    auto st = sys.stat("/", path, false);
    if (!st || st->is_native || st->file_type == 1) return std::nullopt;
    if (st->file_type == 2) {
        if (!st->link_target) return std::nullopt;
        return *st->link_target;
    }
    return git_read_file(sys, path);
}

std::optional<GitTree> git_read_index(Syscalls& sys, std::string_view root) {
    auto bytes = git_read_file(sys, git_path(root, "index"));
    if (!bytes) return GitTree{};
    return git_parse_tree(*bytes);
}

Result<GitTree, std::int32_t> git_read_index_or_fatal(Syscalls& sys, std::string_view root, Bytes& err) {
    auto index = git_read_index(sys, root);
    if (!index) {
        err += "fatal: index file corrupt\n";
        return std::unexpected(128);
    }
    return std::move(*index);
}

std::optional<std::string> git_write_index(Syscalls& sys, std::string_view root, const GitTree& tree) {
    return git_write_file(sys, git_path(root, "index"), git_format_tree(tree));
}

std::optional<std::pair<GitTree, std::string>> git_resolve_blob_spec(Syscalls& sys, std::string_view root,
                                                                     std::string_view spec) {
    std::size_t colon = spec.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view rev = spec.substr(0, colon);
    std::string_view path = spec.substr(colon + 1);
    if (rev.empty()) {
        if (path.starts_with("0:")) path.remove_prefix(2);
        auto index = git_read_index(sys, root);
        return std::make_pair(index ? std::move(*index) : GitTree{}, std::string(path));
    }
    auto id = git_resolve_revision(sys, root, rev);
    if (!id) return std::nullopt;
    auto tree = git_read_commit_tree(sys, root, *id);
    if (!tree) return std::nullopt;
    return std::make_pair(std::move(*tree), std::string(path));
}

Result<GitTree, std::int32_t> git_scan_worktree(Syscalls& sys, std::string_view root, Bytes& err) {
    struct Candidate {
        std::string path;
        std::string rel;
        bool symlink;
    };
    std::vector<Candidate> files;
    std::uint64_t path_bytes = 0;
    std::uint64_t size_total = 0;
    for (std::string& path : walk(sys, root)) {
        if (git_path_is_in_git_dir(root, path) || !path_is_within(root, path)) continue;
        auto st = sys.stat("/", path, false);
        if (!st || st->file_type == 1 || st->is_native) continue;
        auto rel = git_repo_relative_path(root, path);
        if (!rel) continue;
        if (path_bytes > UINT64_MAX - rel->size() || size_total > UINT64_MAX - st->size)
            return std::unexpected(sys.exhausted_status());
        path_bytes += rel->size();
        size_total += st->size;
        files.push_back({std::move(path), std::move(*rel), st->file_type == 2});
        if (files.size() > kMaxScanFiles) return std::unexpected(sys.exhausted_status());
    }
    std::uint64_t memory = saturating_add(files.size() * 64, path_bytes);
    if (!sys.charge_memory(memory)) return std::unexpected(sys.exhausted_status());
    if (!sys.charge_cpu(saturating_add(path_bytes, size_total))) {
        sys.release_memory(memory);
        return std::unexpected(sys.exhausted_status());
    }
    GitTree tree;
    for (const Candidate& file : files) {
        auto content = git_read_regular_file(sys, file.path);
        if (!content) {
            // A file that exists but cannot be read (larger than the memory limit) must not look
            // deleted: the caller would stage its removal.
            auto again = sys.read_file("/", file.path, memory_limit(sys));
            if (sys.stat("/", file.path, false)) {
                err += fmt::format("fatal: unable to read '{}': {}\n", file.rel,
                                   again ? std::string("unreadable file") : error_text(again.error()));
                sys.release_memory(memory);
                return std::unexpected(128);
            }
            continue;
        }
        std::uint32_t mode = git_file_mode_or_default(sys, file.path);
        tree[file.rel] = TreeEntry{git_blob_id(*content), !file.symlink && (mode & 0111) != 0, file.symlink};
    }
    sys.release_memory(memory);
    return tree;
}

// ---- pathspecs and ignore rules ----

namespace {

// Matches a bracket class starting at pattern[p] == '['. Returns the index after the closing
// bracket and whether `c` is in the class, or nothing when the class has no closing bracket.
std::optional<std::pair<std::size_t, bool>> match_class(std::u32string_view pattern, std::size_t p, char32_t c) {
    std::size_t i = p + 1;
    bool negate = false;
    if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) {
        negate = true;
        ++i;
    }
    bool matched = false;
    bool first = true;
    while (i < pattern.size()) {
        if (pattern[i] == ']' && !first) return std::make_pair(i + 1, matched != negate);
        first = false;
        char32_t lo = pattern[i];
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            char32_t hi = pattern[i + 2];
            if (c >= lo && c <= hi) matched = true;
            i += 3;
        } else {
            if (c == lo) matched = true;
            ++i;
        }
    }
    return std::nullopt;
}

bool glob_at(std::u32string_view pattern, std::size_t p, std::u32string_view text, std::size_t t, int depth) {
    if (depth > 64) return false;
    std::size_t star_p = std::u32string_view::npos;
    std::size_t star_t = 0;
    while (true) {
        if (t == text.size()) {
            while (p < pattern.size() && pattern[p] == '*') ++p;
            if (p == pattern.size()) return true;
        } else if (p < pattern.size()) {
            char32_t pc = pattern[p];
            if (pc == '*' && p + 1 < pattern.size() && pattern[p + 1] == '*') {
                std::size_t rest = p + 2;
                while (rest < pattern.size() && pattern[rest] == '*') ++rest;
                if (rest < pattern.size() && pattern[rest] == '/') ++rest;
                for (std::size_t start = t; start <= text.size(); ++start)
                    if (glob_at(pattern, rest, text, start, depth + 1)) return true;
                return false;
            }
            if (pc == '*') {
                star_p = ++p;
                star_t = t;
                continue;
            }
            char32_t tc = text[t];
            bool ok = false;
            std::size_t next = p + 1;
            if (pc == '?') {
                ok = tc != '/';
            } else if (pc == '[') {
                auto cls = match_class(pattern, p, tc);
                if (cls) {
                    ok = tc != '/' && cls->second;
                    next = cls->first;
                } else {
                    ok = tc == '[';
                }
            } else {
                ok = tc == pc;
            }
            if (ok) {
                p = next;
                ++t;
                continue;
            }
        }
        if (star_p == std::u32string_view::npos || star_t >= text.size() || text[star_t] == '/') return false;
        ++star_t;
        t = star_t;
        p = star_p;
    }
}

std::u32string to_chars32(std::string_view s) {
    std::u32string out;
    std::string text = utf8_lossy(s);
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
        for (int k = 1; k < len && i + k < text.size(); ++k) cp = (cp << 6) | (text[i + k] & 0x3F);
        out.push_back(cp);
        i += len;
    }
    return out;
}

}  // namespace

bool git_glob_match(std::string_view pattern, std::string_view text) {
    std::u32string p = to_chars32(pattern);
    std::u32string t = to_chars32(text);
    return glob_at(p, 0, t, 0, 0);
}

bool git_pathspec_match(std::string_view spec, std::string_view path) {
    if (spec.empty()) return true;
    if (spec.find_first_of("*?[") != std::string_view::npos) {
        std::string glob;
        for (std::size_t i = 0; i < spec.size(); ++i) {
            if (spec[i] == '*') {
                while (i + 1 < spec.size() && spec[i + 1] == '*') ++i;
                glob += "**";
            } else {
                glob.push_back(spec[i]);
            }
        }
        return git_glob_match(glob, path);
    }
    return path == spec || (path.size() > spec.size() && path.starts_with(spec) && path[spec.size()] == '/');
}

bool git_pathspec_matches_any(const std::vector<std::string>& specs, std::string_view path) {
    if (specs.empty()) return true;
    return std::any_of(specs.begin(), specs.end(), [&](const std::string& s) { return git_pathspec_match(s, path); });
}

void git_parse_ignore_rules(std::vector<IgnoreRule>& rules, std::string_view base, std::string_view source,
                            std::string_view text) {
    std::uint32_t number = 0;
    for (std::string_view raw : split_lines(text)) {
        ++number;
        if (rules.size() >= kMaxIgnoreRules) return;
        std::string_view line = trim_end(raw);
        if (line.empty() || line.front() == '#') continue;
        IgnoreRule rule{std::string(base), {}, std::string(source), std::string(line), number};
        std::string_view pattern = line;
        if (pattern.front() == '!') {
            rule.negated = true;
            pattern.remove_prefix(1);
        }
        if (!pattern.empty() && pattern.back() == '/') {
            rule.directory_only = true;
            pattern.remove_suffix(1);
        }
        rule.has_slash = pattern.find('/') != std::string_view::npos;
        if (!pattern.empty() && pattern.front() == '/') pattern.remove_prefix(1);
        if (pattern.empty()) continue;
        rule.pattern = std::string(pattern);
        rules.push_back(std::move(rule));
    }
}

std::vector<IgnoreRule> git_load_ignore_rules(Syscalls& sys, std::string_view root) {
    std::vector<IgnoreRule> rules;
    std::size_t files = 0;
    if (auto exclude = git_read_file(sys, git_path(root, "info/exclude"))) {
        git_parse_ignore_rules(rules, "", ".git/info/exclude", utf8_lossy(*exclude));
        ++files;
    }
    for (const std::string& path : walk(sys, root)) {
        if (!path.ends_with(".gitignore") || git_path_is_in_git_dir(root, path)) continue;
        auto rel = git_repo_relative_path(root, path);
        if (!rel) continue;
        auto st = sys.stat("/", path, false);
        if (!st || st->file_type != 0 || st->is_native || st->size > kMaxIgnoreFileBytes) continue;
        if (files >= kMaxIgnoreFiles || rules.size() > kMaxIgnoreRules - 1) break;
        auto bytes = read_limited(sys, path, kMaxIgnoreFileBytes);
        if (!bytes) continue;
        ++files;
        std::string base = rel->substr(0, rel->size() - std::string_view(".gitignore").size());
        git_parse_ignore_rules(rules, base, *rel, utf8_lossy(*bytes));
    }
    return rules;
}

const IgnoreRule* git_ignore_match(const std::vector<IgnoreRule>& rules, std::string_view path) {
    const IgnoreRule* result = nullptr;
    auto matches = [&](const IgnoreRule& rule, std::string_view candidate, bool is_dir) {
        if (rule.directory_only && !is_dir) return false;
        if (!candidate.starts_with(rule.base)) return false;
        std::string_view rest = candidate.substr(rule.base.size());
        if (git_glob_match(rule.pattern, rest)) return true;
        if (rule.has_slash) return false;
        for (std::size_t i = 0; i < rest.size(); ++i)
            if (rest[i] == '/' && git_glob_match(rule.pattern, rest.substr(i + 1))) return true;
        return false;
    };
    for (std::size_t i = 0; i <= path.size(); ++i) {
        bool is_dir = i < path.size();
        if (is_dir && path[i] != '/') continue;
        std::string_view candidate = path.substr(0, i);
        for (const IgnoreRule& rule : rules)
            if (matches(rule, candidate, is_dir)) result = &rule;
        if (is_dir && result && !result->negated) return result;
    }
    return result;
}

bool git_is_ignored(const std::vector<IgnoreRule>& rules, std::string_view path) {
    const IgnoreRule* rule = git_ignore_match(rules, path);
    return rule && !rule->negated;
}

// ---- path resolution and staging ----

Result<std::vector<std::string>, std::string> git_resolve_pathspecs(std::string_view cwd, std::string_view root,
                                                                    const std::vector<std::string>& operands,
                                                                    const GitTree& a, const GitTree& b) {
    std::set<std::string> paths;
    for (const std::string& operand : operands) {
        if (operand.starts_with("-")) return std::unexpected(fmt::format("unsupported pathspec: {}", operand));
        std::string absolute = path_join_normalize(cwd, operand);
        if (!path_is_within(root, absolute))
            return std::unexpected(fmt::format("pathspec '{}' is outside the repository", operand));
        std::string rel = git_repo_relative_path(root, absolute).value_or("");
        bool any = false;
        for (const GitTree* tree : {&a, &b}) {
            for (const auto& [path, entry] : *tree) {
                if (rel.empty() || git_pathspec_match(rel, path)) {
                    paths.insert(path);
                    any = true;
                }
            }
        }
        if (!rel.empty() && !any)
            return std::unexpected(fmt::format("pathspec '{}' did not match any files", operand));
    }
    return std::vector<std::string>(paths.begin(), paths.end());
}

std::int32_t git_stage_paths(Syscalls& sys, std::string_view root, GitTree& index, const GitTree& scan,
                             const std::vector<std::string>& paths, GitStageMode mode, Bytes& out, Bytes& err) {
    for (const std::string& path : paths) {
        auto scanned = scan.find(path);
        if (mode != GitStageMode::Quiet)
            out += fmt::format("{} '{}'\n", scanned == scan.end() ? "remove" : "add", path);
        if (mode == GitStageMode::DryRun) continue;
        if (scanned == scan.end()) {
            index.erase(path);
            continue;
        }
        auto content = git_read_regular_file(sys, path_join(root, path));
        if (!content) {
            err += fmt::format("git add: unable to read '{}'\n", path);
            return 1;
        }
        if (git_blob_id(*content) != scanned->second.id) {
            err += fmt::format("git add: '{}' changed while building the index\n", path);
            return 1;
        }
        if (auto written = git_write_blob(sys, root, *content); !written) {
            err += fmt::format("git add: {}\n", written.error());
            return 1;
        }
        index[path] = scanned->second;
    }
    if (mode == GitStageMode::DryRun) return 0;
    if (auto e = git_write_index(sys, root, index)) {
        err += fmt::format("git add: {}\n", *e);
        return 1;
    }
    return 0;
}

// ---- configuration and identity ----

GitConfig git_config_parse_text(std::string_view text) {
    GitConfig config;
    std::string prefix;
    for (std::string_view raw : split_lines(text)) {
        std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
            std::string_view inner = line.substr(1, line.size() - 2);
            std::size_t ws = inner.find_first_of(" \t");
            if (ws == std::string_view::npos) {
                prefix = ascii_lower(inner) + ".";
            } else {
                std::string_view sub = trim(inner.substr(ws + 1));
                while (!sub.empty() && sub.front() == '"') sub.remove_prefix(1);
                while (!sub.empty() && sub.back() == '"') sub.remove_suffix(1);
                prefix = fmt::format("{}.{}.", ascii_lower(inner.substr(0, ws)), sub);
            }
            continue;
        }
        std::size_t eq = line.find('=');
        if (eq != std::string_view::npos) {
            std::string key = prefix + ascii_lower(trim(line.substr(0, eq)));
            if (config.size() >= kMaxConfigKeys) break;
            std::string_view value = trim(line.substr(eq + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
            config[key].emplace_back(value);
        } else {
            config[prefix + ascii_lower(line)].emplace_back("true");
        }
    }
    return config;
}

GitConfig git_config_parse(Syscalls& sys, std::string_view path) {
    auto bytes = read_limited(sys, path, kMaxConfigBytes);
    if (!bytes) return {};
    return git_config_parse_text(utf8_lossy(*bytes));
}

std::optional<std::string> git_env_value(Syscalls& sys, std::string_view name) {
    for (const std::string& entry : sys.environment()) {
        if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=')
            return entry.substr(name.size() + 1);
    }
    return std::nullopt;
}

std::string git_global_config_path(Syscalls& sys) {
    return path_join(git_env_value(sys, "HOME").value_or("/root"), ".gitconfig");
}

GitConfig git_load_global_config(Syscalls& sys) { return git_config_parse(sys, git_global_config_path(sys)); }

GitConfig git_load_repo_config(Syscalls& sys, std::string_view root) {
    return git_config_parse(sys, git_path(root.empty() ? "/" : root, "config"));
}

GitConfig git_load_config(Syscalls& sys, std::string_view root, const GitConfigOverrides& overrides) {
    GitConfig config = git_load_global_config(sys);
    for (auto& [key, values] : git_load_repo_config(sys, root)) config[key] = std::move(values);
    for (const auto& [key, value] : overrides) config[key] = {value};
    return config;
}

std::string git_write_config(const GitConfig& config) {
    std::string out;
    std::optional<std::string> previous;
    for (const auto& [key, values] : config) {
        std::string header;
        std::string name;
        std::size_t d1 = key.find('.');
        if (d1 == std::string::npos) {
            header = name = key;
        } else {
            std::size_t d2 = key.find('.', d1 + 1);
            if (d2 == std::string::npos) {
                header = key.substr(0, d1);
                name = key.substr(d1 + 1);
            } else {
                header = fmt::format("{} \"{}\"", key.substr(0, d1), key.substr(d1 + 1, d2 - d1 - 1));
                name = key.substr(d2 + 1);
            }
        }
        if (header != previous) out += fmt::format("[{}]\n", header);
        previous = header;
        for (const std::string& value : values) out += fmt::format("\t{} = {}\n", name, value);
    }
    return out;
}

std::optional<std::string> git_config_last(const GitConfig& config, std::string_view key) {
    auto it = config.find(std::string(key));
    if (it == config.end() || it->second.empty()) return std::nullopt;
    return it->second.back();
}

GitIdentity git_author_identity(Syscalls& sys, std::string_view root, const GitConfigOverrides& overrides) {
    GitConfig config = git_load_config(sys, root, overrides);
    auto environment = git_environment(sys);
    return {git_identity_field(environment, config, "GIT_AUTHOR_NAME", "user.name", kGitDefaultName),
            git_identity_field(environment, config, "GIT_AUTHOR_EMAIL", "user.email", kGitDefaultEmail)};
}

// ---- further store services ----

std::vector<std::pair<std::string, TreeEntry>> git_subtree_entries(const GitTree& tree, std::string_view prefix) {
    std::vector<std::pair<std::string, TreeEntry>> entries;
    for (auto it = tree.lower_bound(std::string(prefix)); it != tree.end() && it->first.starts_with(prefix); ++it)
        entries.emplace_back(it->first.substr(prefix.size()), it->second);
    return entries;
}

std::vector<std::string> git_commit_ids_with_prefix(const std::vector<std::string>& names, std::string_view prefix) {
    std::vector<std::string> ids;
    for (std::string_view name : names) {
        if (!name.ends_with(".commit")) continue;
        name.remove_suffix(7);
        if (name.starts_with(prefix)) ids.emplace_back(name);
    }
    return ids;
}

Result<GitTree, std::int32_t> git_commit_tree_or_fatal(Syscalls& sys, std::string_view root, std::string_view id,
                                                       Bytes& err) {
    auto tree = git_read_commit_tree(sys, root, id);
    if (!tree) {
        err += fmt::format("fatal: unable to read tree of commit {}\n", id);
        return std::unexpected(128);
    }
    return std::move(*tree);
}

std::optional<GitCommit> git_read_tag_annotation(Syscalls& sys, std::string_view root, std::string_view name) {
    auto bytes = git_read_file(sys, git_path(root, fmt::format("tags/{}.annotation", name)));
    if (!bytes) return std::nullopt;
    return git_parse_commit(*bytes);
}

std::optional<std::string> git_switch_head_to_branch(Syscalls& sys, std::string_view root, std::string_view name,
                                                     std::string_view message) {
    auto old = git_resolve_head(sys, root);
    if (auto e = git_write_file(sys, git_path(root, "HEAD"), fmt::format("ref: refs/heads/{}\n", name))) return e;
    if (auto now = git_resolve_head(sys, root)) git_reflog_append(sys, root, old, *now, message);
    return std::nullopt;
}

std::optional<std::string> git_detach_head(Syscalls& sys, std::string_view root, std::string_view id,
                                           std::string_view message) {
    auto old = git_resolve_head(sys, root);
    if (auto e = git_write_file(sys, git_path(root, "HEAD"), fmt::format("{}\n", id))) return e;
    git_reflog_append(sys, root, old, id, message);
    return std::nullopt;
}

std::vector<std::string> git_list_branches(Syscalls& sys, std::string_view root) {
    return git_list_refs(sys, root, "heads");
}

std::optional<std::string> git_read_prev_head(Syscalls& sys, std::string_view root) {
    return git_read_ref_file(sys, root, "PREV_HEAD");
}

bool git_ref_name_is_valid(std::string_view name) {
    if (name.empty() || name.starts_with("-") || name.starts_with("/") || name.ends_with("/")) return false;
    if (name.find("..") != std::string_view::npos) return false;
    if (name.find_first_of("~^:?*[\\") != std::string_view::npos) return false;
    for (char32_t c : utf8_chars(name))
        if (is_white_space(c)) return false;
    return true;
}

std::optional<std::string> git_remove_git_file(Syscalls& sys, std::string_view root, std::string_view name) {
    if (auto removed = sys.remove("/", git_path(root, name)); !removed) return error_text(removed.error());
    return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> git_remote_urls(const GitConfig& config) {
    std::vector<std::pair<std::string, std::string>> remotes;
    for (const auto& [key, values] : config) {
        if (values.empty() || key.size() < 11 || !key.starts_with("remote.") || !key.ends_with(".url")) continue;
        remotes.emplace_back(key.substr(7, key.size() - 11), values.back());
    }
    return remotes;
}

std::optional<std::string> git_first_operand(std::span<const std::string> args) {
    for (const std::string& a : args)
        if (!a.starts_with("-")) return a;
    return std::nullopt;
}

void git_config_output_line(std::string_view prefix, std::string_view value, bool boolean, Bytes& out) {
    std::string shown(value);
    if (boolean) {
        std::string lower = ascii_lower(value);
        shown = (lower.empty() || lower == "true" || lower == "yes" || lower == "on" || lower == "1") ? "true" : "false";
    }
    out += fmt::format("{}{}\n", prefix, shown);
}

std::optional<std::string> git_save_config(Syscalls& sys, std::string_view root, const GitConfig& config) {
    return git_write_file(sys, git_path(root, "config"), git_write_config(config));
}

std::map<std::string, std::string> git_environment(Syscalls& sys) {
    std::map<std::string, std::string> env;
    for (const std::string& entry : sys.environment()) {
        std::size_t eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    return env;
}

std::string git_identity_field(const std::map<std::string, std::string>& environment, const GitConfig& config,
                               std::string_view variable, std::string_view key, std::string_view fallback) {
    if (auto it = environment.find(std::string(variable)); it != environment.end() && !it->second.empty())
        return it->second;
    if (auto v = git_config_last(config, key)) return *v;
    return std::string(fallback);
}

std::optional<Bytes> git_read_worktree_file(Syscalls& sys, std::string_view root, std::string_view path) {
    return git_read_regular_file(sys, path_join(root, path));
}

std::pair<std::string, InstallOp> git_prepare_blob_write(std::string_view root, std::string_view content) {
    std::string id = git_blob_id(content);
    InstallOp op = InstallOp::write_file(git_path(root, fmt::format("objects/{}", id)), Bytes(content), 0644);
    return {std::move(id), std::move(op)};
}

InstallOp git_prepare_index_write(std::string_view root, const GitTree& tree) {
    return InstallOp::write_file(git_path(root, "index"), git_format_tree(tree), 0644);
}

void git_prune_empty_dirs(Syscalls& sys, std::string_view root, std::string_view removed) {
    auto parent = vfs_parent_path(removed);
    while (parent) {
        std::string dir(*parent);
        if (dir == root || !path_is_within(root, dir) || git_path_is_in_git_dir(root, dir)) return;
        auto entries = sys.read_dir("/", dir);
        if (!entries || !entries->empty()) return;
        if (!sys.rmdir("/", dir)) return;
        parent = vfs_parent_path(dir);
    }
}

std::optional<std::uint64_t> git_parse_dash_count(std::string_view arg) {
    if (arg.size() < 2 || arg.front() != '-') return std::nullopt;
    return parse_decimal_u64(arg.substr(1));
}

bool git_arg_is_worktree_path(Syscalls& sys, std::string_view root, std::string_view argument) {
    std::string absolute = path_join_normalize(sys.getcwd(), argument);
    if (fs_path_exists(sys, absolute)) return true;
    auto rel = git_repo_relative_path(root, absolute);
    if (!path_is_within(root, absolute)) return true;
    if (!rel) return false;
    auto index = git_read_index(sys, root);
    if (!index) return false;
    if (index->contains(*rel)) return true;
    std::string dir = *rel + "/";
    auto it = index->lower_bound(dir);
    return it != index->end() && it->first.starts_with(dir);
}

}  // namespace tw
