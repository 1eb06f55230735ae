#include "commands/git/git_command.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <set>

#include "base/utf8.h"
#include "commands/git/history_commands.h"
#include "commands/git/merge.h"
#include "commands/git/work_commands.h"
#include "commands/util/io.h"
#include "kernel/syscall_error.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {

namespace {

constexpr std::size_t kMaxAliasDepth = 64;

constexpr std::string_view kVersionText = "git version 2.45.0 (tarnwick)";

constexpr std::array<std::string_view, 13> kQuietSubcommands = {
    "add", "branch", "checkout", "clean", "commit", "merge", "mv", "reset", "restore", "rm", "stash", "switch", "tag"};
constexpr std::array<std::string_view, 6> kNetworkSubcommands = {"clone", "fetch", "pull", "push", "submodule",
                                                                 "ls-remote"};
constexpr std::array<std::string_view, 8> kUnsupportedSubcommands = {"am", "bisect", "bundle", "filter-branch",
                                                                     "gc", "notes", "replace", "worktree"};

constexpr std::array<std::pair<std::string_view, std::string_view>, 33> kUsageRows = {{
    {"add", "stage working-tree contents"},
    {"apply", "apply a unified diff to the working tree"},
    {"archive", "write committed files as a tar archive"},
    {"branch", "list, create, rename, or delete branches"},
    {"cat-file", "show an object's type, size, or contents"},
    {"check-ignore", "report which paths .gitignore excludes"},
    {"checkout", "switch branches or restore files"},
    {"clean", "remove untracked files"},
    {"commit", "record staged changes"},
    {"config", "read or write repository-local configuration"},
    {"describe", "name a commit using the nearest tag"},
    {"diff", "show changes between commits, the index, and the working tree"},
    {"grep", "search tracked files"},
    {"hash-object", "compute a blob id"},
    {"init", "create a repository"},
    {"log", "show commit history"},
    {"ls-files", "list files in the index and working tree"},
    {"ls-tree", "list the contents of a tree"},
    {"merge", "join two development histories"},
    {"merge-base", "find a common ancestor"},
    {"mv", "move or rename a tracked file"},
    {"remote", "record remote names (the simulation has no network)"},
    {"reset", "reset HEAD, the index, and optionally the working tree"},
    {"restore", "restore working-tree or staged files"},
    {"rev-list", "list commit ids reachable from a revision"},
    {"rev-parse", "resolve revisions and repository paths"},
    {"rm", "remove files from the index and working tree"},
    {"shortlog", "summarize history by author"},
    {"show", "show a commit or a file at a revision"},
    {"stash", "save and restore uncommitted work"},
    {"status", "show the working-tree status"},
    {"switch", "switch branches"},
    {"tag", "list, create, or delete tags"},
}};

std::string usage_text() {
    std::string out = "usage: git [-C DIRECTORY] [-c NAME=VALUE] COMMAND [ARGUMENTS]\n\nSupported commands:\n";
    for (const auto& [name, description] : kUsageRows) out += fmt::format("   {:<11} {}\n", name, description);
    return out;
}

template <std::size_t N>
bool is_one_of(const std::array<std::string_view, N>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::size_t char_count(std::string_view s) {
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool run_is_quiet(std::span<const std::string> args) {
    for (const std::string& a : args) {
        if (a == "--") break;
        if (a == "--quiet") return true;
        if (a.size() >= 2 && a[0] == '-' && a[1] != '-' &&
            std::all_of(a.begin() + 1, a.end(), is_ascii_letter) && a.find('q') != std::string::npos)
            return true;
    }
    return false;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::vector<std::string> split_words(std::string_view text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
        std::size_t start = i;
        while (i < text.size() && !(text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
        if (i > start) words.emplace_back(text.substr(start, i - start));
    }
    return words;
}

// The names of the aliases being expanded, outermost first: an alias met again is a loop.
struct AliasChain {
    std::vector<std::string> names;
};

std::int32_t dispatch(GitRun& run, const std::string& name, std::vector<std::string> args, AliasChain& chain);

}  // namespace

// ---- argument cursor ----

GitArgs& GitArgs::expand_short_flags(std::string_view letters) {
    std::vector<std::string> expanded;
    bool after = false;
    for (const std::string& a : args_) {
        if (!after && a.size() > 2 && a[0] == '-' && a[1] != '-' &&
            std::all_of(a.begin() + 1, a.end(), [&](char c) { return letters.find(c) != std::string_view::npos; })) {
            for (std::size_t i = 1; i < a.size(); ++i) expanded.push_back(std::string("-") + a[i]);
            continue;
        }
        if (a == "--") after = true;
        expanded.push_back(a);
    }
    args_ = std::move(expanded);
    return *this;
}

GitArgItem GitArgs::next() {
    while (true) {
        if (position_ >= args_.size()) return {};
        std::string arg = args_[position_++];
        if (after_double_dash_) return {GitArgItem::Kind::Positional, std::move(arg), std::nullopt};
        if (arg == "--") {
            after_double_dash_ = true;
            continue;
        }
        if (arg == "-" || !arg.starts_with("-")) return {GitArgItem::Kind::Positional, std::move(arg), std::nullopt};
        if (arg.starts_with("--")) {
            std::size_t eq = arg.find('=');
            if (eq != std::string::npos)
                return {GitArgItem::Kind::Option, arg.substr(0, eq), arg.substr(eq + 1)};
            return {GitArgItem::Kind::Option, std::move(arg), std::nullopt};
        }
        std::string_view rest = std::string_view(arg).substr(1);
        if (char_count(rest) == 1) return {GitArgItem::Kind::Option, std::move(arg), std::nullopt};
        if (value_letters_.find(rest.front()) != std::string::npos)
            return {GitArgItem::Kind::Option, fmt::format("-{}", rest.front()), std::string(rest.substr(1))};
        return {GitArgItem::Kind::Option, std::move(arg), std::nullopt};
    }
}

std::optional<std::string> GitArgs::value(const std::optional<std::string>& attached) {
    if (attached) return attached;
    if (position_ >= args_.size()) return std::nullopt;
    return args_[position_++];
}

// ---- reports ----

void git_report_error(Bytes& err, std::string_view message) {
    if (message.starts_with("usage:")) err += fmt::format("{}\n", message);
    else err += fmt::format("error: {}\n", message);
}

void git_report_fatal(Bytes& err, std::string_view message) { err += fmt::format("fatal: {}\n", message); }

void git_report_ambiguous_argument(Bytes& err, std::string_view argument) {
    err += fmt::format(
        "fatal: ambiguous argument '{}': unknown revision or path not in the working tree.\n"
        "Use '--' to separate paths from revisions, like this:\n"
        "'git <command> [<revision>...] -- [<file>...]'\n",
        argument);
}

void git_report_not_a_repository(Bytes& err) {
    err += "fatal: not a git repository (or any parent up to mount point /)\n"
           "Stopping at filesystem boundary (GIT_DISCOVERY_ACROSS_FILESYSTEM not set).\n";
}

std::optional<std::string> git_worktree_or_report(GitRun& run) {
    auto root = git_find_worktree(run.sys);
    if (!root) git_report_not_a_repository(run.io.err);
    return root;
}

void git_report_write_failure(Bytes& err, std::string_view what, std::string_view error) {
    git_report_fatal(err, fmt::format("unable to write {}: {}", what, error));
}

bool git_valid_config_key(std::string_view key) {
    if (key.find('.') == std::string_view::npos || key.front() == '.' || key.back() == '.') return false;
    if (key.find("..") != std::string_view::npos) return false;
    return std::all_of(key.begin(), key.end(), [](char c) {
        return is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
    });
}

bool git_invocation_reads_stdin(std::span<const std::string> args) {
    if (!args.empty() && args[0] == "apply")
        return std::all_of(args.begin() + 1, args.end(), [](const std::string& a) { return a.starts_with("-"); });
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--stdin" || args[i] == "--file=-") return true;
        if (args[i] == "-" && i > 0 && (args[i - 1] == "-F" || args[i - 1] == "--file")) return true;
    }
    return false;
}

// ---- entry and dispatcher ----

void git_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    if (git_invocation_reads_stdin(invocation.args)) {
        if (auto pending = command_read_stdin(invocation, io)) {
            step = *pending;
            return;
        }
    }
    Syscalls& sys = invocation.sys;
    auto finish = [&](std::int32_t status) { step = NativeStep::finished(status); };
    GitConfigOverrides overrides;
    std::optional<std::string> directory;
    GitArgs cursor(invocation.args);
    cursor.with_value_flags("Cc");
    std::string subcommand;
    std::vector<std::string> sub_args;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) {
            io.err += usage_text();
            return finish(1);
        }
        if (item.kind == GitArgItem::Kind::Positional) {
            subcommand = item.text;
            break;
        }
        const std::string& name = item.text;
        if (name == "-C" || name == "-c") {
            auto value = cursor.value(item.value);
            if (name == "-C") {
                if (!value) {
                    git_report_error(io.err, "-C requires a directory");
                    return finish(129);
                }
                directory = path_join_normalize(directory ? *directory : sys.getcwd(), *value);
            } else {
                std::size_t eq = value ? value->find('=') : std::string::npos;
                if (eq == std::string::npos) {
                    git_report_error(io.err, "-c requires NAME=VALUE");
                    return finish(129);
                }
                std::string key = ascii_lower(std::string_view(*value).substr(0, eq));
                if (!git_valid_config_key(key)) {
                    git_report_fatal(io.err, fmt::format("invalid config key: {}", key));
                    return finish(128);
                }
                overrides[key] = value->substr(eq + 1);
            }
        } else if (name == "--no-pager" || name == "-P" || name == "--paginate" || name == "--no-replace-objects" ||
                   name == "--literal-pathspecs" || name == "--no-optional-locks") {
        } else if (name == "--version") {
            io.out += fmt::format("{}\n", kVersionText);
            return finish(0);
        } else if (name == "--help" || name == "-h") {
            io.out += usage_text();
            return finish(0);
        } else if (name == "--git-dir" || name == "--work-tree") {
            git_report_error(io.err, fmt::format("{} is unsupported; run git inside the tree", name));
            return finish(129);
        } else {
            git_report_error(io.err, fmt::format("unsupported global option: {}", name));
            return finish(129);
        }
    }
    sub_args = cursor.remaining();
    if (subcommand == "help") {
        io.out += usage_text();
        return finish(0);
    }
    std::optional<std::string> saved_cwd;
    if (directory) {
        saved_cwd = sys.getcwd();
        if (!sys.chdir(*directory)) {
            io.err += fmt::format("fatal: cannot change to '{}': No such file or directory\n", *directory);
            return finish(128);
        }
    }
    bool quiet = is_one_of(kQuietSubcommands, subcommand) && run_is_quiet(sub_args);
    std::size_t out_mark = io.out.size();
    std::size_t err_mark = io.err.size();
    GitRun run{sys, invocation, io, overrides};
    std::int32_t status = git_dispatch(run, subcommand, std::move(sub_args));
    if (quiet) {
        io.out.resize(out_mark);
        if (status == 0) io.err.resize(err_mark);
    }
    if (saved_cwd) (void)sys.chdir(*saved_cwd);
    finish(status);
}

std::int32_t git_dispatch(GitRun& run, const std::string& name, std::vector<std::string> args) {
    AliasChain chain;
    return dispatch(run, name, std::move(args), chain);
}

namespace {

std::int32_t dispatch(GitRun& run, const std::string& name, std::vector<std::string> args, AliasChain& chain) {
    if (name == "init") return git_cmd_init(run, args);
    if (name == "status") return git_cmd_status(run, args);
    if (name == "add") return git_cmd_add(run, args);
    if (name == "commit") return git_cmd_commit(run, args);
    if (name == "rev-parse") return git_cmd_rev_parse(run, args);
    if (name == "hash-object") return git_cmd_hash_object(run, args);
    if (name == "diff") return git_cmd_diff(run, args);
    if (name == "log") return git_cmd_log(run, args);
    if (name == "show") return git_cmd_show(run, args);
    if (name == "shortlog") return git_cmd_shortlog(run, args);
    if (name == "describe") return git_cmd_describe(run, args);
    if (name == "blame") return git_cmd_blame(run, args);
    if (name == "grep") return git_cmd_grep(run, args);
    if (name == "archive") return git_cmd_archive(run, args);
    if (name == "apply") return git_cmd_apply(run, args);
    if (name == "stash") return git_cmd_stash(run, args);
    if (name == "rebase") return git_cmd_rebase(run, args);
    if (name == "merge") return git_cmd_merge(run, args);
    if (name == "cherry-pick") return git_cmd_cherry_pick(run, args);
    if (name == "revert") return git_cmd_revert(run, args);
    if (name == "branch") return git_cmd_branch(run, args);
    if (name == "switch") return git_cmd_switch(run, args);
    if (name == "checkout") return git_cmd_checkout(run, args);
    if (name == "restore") return git_cmd_restore(run, args);
    if (name == "reset") return git_cmd_reset(run, args);
    if (name == "rm") return git_cmd_rm(run, args);
    if (name == "mv") return git_cmd_mv(run, args);
    if (name == "clean") return git_cmd_clean(run, args);
    if (name == "ls-files") return git_cmd_ls_files(run, args);
    if (name == "ls-tree") return git_cmd_ls_tree(run, args);
    if (name == "cat-file") return git_cmd_cat_file(run, args);
    if (name == "tag") return git_cmd_tag(run, args);
    if (name == "config") return git_cmd_config(run, args);
    if (name == "remote") return git_cmd_remote(run, args);
    if (name == "symbolic-ref") return git_cmd_symbolic_ref(run, args);
    if (name == "show-ref") return git_cmd_show_ref(run, args);
    if (name == "for-each-ref") return git_cmd_for_each_ref(run, args);
    if (name == "rev-list") return git_cmd_rev_list(run, args);
    if (name == "reflog") return git_cmd_reflog(run, args);
    if (name == "merge-base") return git_cmd_merge_base(run, args);
    if (name == "check-ignore") return git_cmd_check_ignore(run, args);
    Bytes& err = run.io.err;
    if (is_one_of(kNetworkSubcommands, name)) {
        run.sys.record_unsupported(fmt::format("git:{}", name));
        err += fmt::format("fatal: git {} needs network access, which the simulation does not provide\n", name);
        return 128;
    }
    if (is_one_of(kUnsupportedSubcommands, name)) {
        run.sys.record_unsupported(fmt::format("git:{}", name));
        git_report_error(err, fmt::format("unsupported subcommand: {}", name));
        return 129;
    }
    auto root = git_find_worktree(run.sys);
    GitConfig config = git_load_config(run.sys, root.value_or(""), run.overrides);
    if (auto alias = git_config_last(config, fmt::format("alias.{}", ascii_lower(name)))) {
        std::vector<std::string> words = split_words(*alias);
        if (!alias->starts_with("!") && !words.empty() && words.front() != name) {
            if (std::find(chain.names.begin(), chain.names.end(), name) != chain.names.end() ||
                chain.names.size() >= kMaxAliasDepth) {
                git_report_fatal(err, fmt::format("alias loop detected: expansion of '{}' does not terminate",
                                                  chain.names.front()));
                return 128;
            }
            chain.names.push_back(name);
            std::string target = words.front();
            std::vector<std::string> expanded(words.begin() + 1, words.end());
            expanded.insert(expanded.end(), args.begin(), args.end());
            return dispatch(run, target, std::move(expanded), chain);
        }
    }
    run.sys.record_unsupported(fmt::format("git:{}", name));
    err += fmt::format("git: '{}' is not a git command. See 'git --help'.\n", name);
    return 1;
}

}  // namespace

// ---- init ----

std::int32_t git_cmd_init(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    GitArgs cursor(args);
    cursor.with_value_flags("b").expand_short_flags("q");
    bool quiet = false;
    std::string branch = "main";
    std::optional<std::string> directory;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            if (directory) {
                git_report_error(err, "usage: git init [-b BRANCH] [DIRECTORY]");
                return 129;
            }
            directory = item.text;
        } else if (item.text == "-q" || item.text == "--quiet") {
            quiet = true;
        } else if (item.text == "-b" || item.text == "--initial-branch") {
            auto value = cursor.value(item.value);
            if (!value) {
                git_report_error(err, "-b requires a branch name");
                return 129;
            }
            branch = *value;
        } else if (item.text == "--bare") {
            git_report_error(err, "--bare is unsupported");
            return 129;
        } else {
            git_report_error(err, fmt::format("unsupported init option: {}", item.text));
            return 129;
        }
    }
    std::string target = directory ? path_join_normalize(sys.getcwd(), *directory) : sys.getcwd();
    auto is_dir = [&](const std::string& p) {
        auto st = sys.stat("/", p, true);
        return st && st->file_type == 1;
    };
    if (!is_dir(target)) {
        if (auto made = sys.mkdir_all("/", target); !made) {
            err += fmt::format("git init: {}\n", error_text(made.error()));
            return 1;
        }
    }
    std::string store = path_join(target, ".git");
    bool existed = is_dir(store);
    for (std::string_view sub : {"", "refs/heads", "refs/tags", "commits", "objects"}) {
        std::string dir = sub.empty() ? store : path_join(store, sub);
        if (auto made = sys.mkdir_all("/", dir); !made) {
            err += fmt::format("git init: {}\n", error_text(made.error()));
            return 1;
        }
    }
    if (!existed) {
        GitConfig config{{"core.bare", {"false"}},
                         {"core.filemode", {"true"}},
                         {"core.logallrefupdates", {"true"}},
                         {"core.repositoryformatversion", {"0"}}};
        std::array<std::pair<std::string, std::string>, 3> files = {{
            {"HEAD", fmt::format("ref: refs/heads/{}\n", branch)},
            {"index", ""},
            {"config", git_write_config(config)},
        }};
        for (auto& [name, text] : files) {
            if (auto e = git_write_file(sys, path_join(store, name), text)) {
                err += fmt::format("git init: {}\n", *e);
                return 1;
            }
        }
    }
    if (!quiet)
        run.io.out += fmt::format("{} Git repository in {}/\n", existed ? "Reinitialized existing" : "Initialized empty",
                                  store);
    return 0;
}

// ---- hash-object ----

std::int32_t git_cmd_hash_object(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    GitArgs cursor(args);
    cursor.with_value_flags("t");
    bool write = false;
    bool from_stdin = false;
    std::vector<std::string> files;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            files.push_back(item.text);
        } else if (item.text == "-w") {
            write = true;
        } else if (item.text == "--stdin") {
            from_stdin = true;
        } else if (item.text == "-t") {
            auto value = cursor.value(item.value);
            if (!value || *value != "blob") {
                git_report_error(run.io.err, fmt::format("unsupported object type: {}", value.value_or("")));
                return 129;
            }
        } else {
            git_report_error(run.io.err, fmt::format("unsupported hash-object option: {}", item.text));
            return 129;
        }
    }
    std::optional<std::string> root;
    if (write) {
        root = git_find_worktree(sys);
        if (!root) {
            git_report_not_a_repository(run.io.err);
            return 128;
        }
    }
    std::vector<Bytes> contents;
    if (from_stdin) contents.push_back(run.io.in);
    for (const std::string& file : files) {
        auto bytes = sys.read_file(sys.getcwd(), file, sys.limits().memory);
        if (!bytes) {
            git_report_fatal(run.io.err, fmt::format("could not open '{}' for reading: No such file or directory", file));
            return 128;
        }
        contents.push_back(std::move(*bytes));
    }
    if (contents.empty()) {
        git_report_error(run.io.err, "usage: git hash-object [-w] [--stdin] [FILE...]");
        return 129;
    }
    for (const Bytes& content : contents) {
        if (write) {
            auto id = git_write_blob(sys, *root, content);
            if (!id) {
                git_report_write_failure(run.io.err, "the object", id.error());
                return 128;
            }
        }
        run.io.out += fmt::format("{}\n", git_blob_id(content));
    }
    return 0;
}

// ---- rev-parse ----

std::int32_t git_cmd_rev_parse(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    auto found = git_find_worktree(sys);
    if (!found) {
        git_report_not_a_repository(err);
        return 128;
    }
    const std::string root = *found;
    const std::string cwd = sys.getcwd();
    std::string prefix = git_repo_relative_path(root, cwd).value_or("");
    GitArgs cursor(args);
    std::vector<std::string> revisions;
    std::optional<std::size_t> short_len;
    bool abbrev_ref = false;
    bool full_name = false;
    bool quiet = false;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            revisions.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "--show-toplevel") {
            out += root + "\n";
            return 0;
        }
        if (o == "--is-inside-work-tree") {
            out += "true\n";
            return 0;
        }
        if (o == "--is-inside-git-dir") {
            out += git_path_is_in_git_dir(root, cwd) ? "true\n" : "false\n";
            return 0;
        }
        if (o == "--git-dir") {
            out += cwd == root ? std::string(".git\n") : path_join(root, ".git") + "\n";
            return 0;
        }
        if (o == "--absolute-git-dir") {
            out += path_join(root, ".git") + "\n";
            return 0;
        }
        if (o == "--is-bare-repository") {
            out += "false\n";
            return 0;
        }
        if (o == "--show-cdup") {
            if (!prefix.empty())
                for (std::size_t i = 0; i <= static_cast<std::size_t>(std::count(prefix.begin(), prefix.end(), '/')); ++i)
                    out += "../";
            out += "\n";
            return 0;
        }
        if (o == "--show-prefix") {
            out += prefix.empty() ? std::string("\n") : prefix + "/\n";
            return 0;
        }
        if (o == "--short") {
            std::size_t n = 7;
            if (item.value) {
                const std::string& v = *item.value;
                if (v.empty() || v.size() > 19 || !std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                    git_report_error(err, "--short requires a length");
                    return 129;
                }
                n = std::stoull(v);
            }
            short_len = std::clamp<std::size_t>(n, 4, 40);
        } else if (o == "--abbrev-ref") {
            abbrev_ref = true;
        } else if (o == "--symbolic-full-name") {
            full_name = true;
        } else if (o == "--verify") {
        } else if (o == "-q" || o == "--quiet") {
            quiet = true;
        } else {
            git_report_error(err, fmt::format("unsupported rev-parse option: {}", o));
            return 129;
        }
    }
    if (revisions.empty()) revisions.push_back("HEAD");
    for (const std::string& rev : revisions) {
        if (full_name) {
            if (rev == "HEAD") {
                auto branch = git_current_branch(sys, root);
                out += branch ? fmt::format("refs/heads/{}\n", *branch) : std::string("HEAD\n");
            } else if (rev.starts_with("refs/")) {
                out += rev + "\n";
            } else {
                auto branches = git_list_branches(sys, root);
                auto tags = git_list_refs(sys, root, "tags");
                if (std::find(branches.begin(), branches.end(), rev) != branches.end())
                    out += fmt::format("refs/heads/{}\n", rev);
                else if (std::find(tags.begin(), tags.end(), rev) != tags.end())
                    out += fmt::format("refs/tags/{}\n", rev);
                else
                    out += "\n";
            }
            continue;
        }
        if (abbrev_ref) {
            if (rev == "HEAD") out += git_current_branch(sys, root).value_or("HEAD") + "\n";
            else out += rev.substr(rev.rfind('/') == std::string::npos ? 0 : rev.rfind('/') + 1) + "\n";
            continue;
        }
        std::optional<std::string> id;
        if (rev.find(':') != std::string::npos) {
            if (auto spec = git_resolve_blob_spec(sys, root, rev)) {
                const auto& [tree, path] = *spec;
                if (path.empty()) {
                    id = git_tree_object_id(tree);
                } else if (auto it = tree.find(git_user_path_to_repo_path(root, root, path)); it != tree.end()) {
                    id = it->second.id;
                }
            }
        } else if (rev.ends_with("^{tree}")) {
            if (auto commit = git_resolve_revision(sys, root, std::string_view(rev).substr(0, rev.size() - 7)))
                if (auto tree = git_read_commit_tree(sys, root, *commit)) id = git_tree_object_id(*tree);
        } else if (rev.ends_with("^{commit}")) {
            id = git_resolve_revision(sys, root, std::string_view(rev).substr(0, rev.size() - 9));
        } else if (rev.ends_with("^{}")) {
            id = git_resolve_revision(sys, root, std::string_view(rev).substr(0, rev.size() - 3));
        } else {
            id = git_resolve_revision(sys, root, rev);
        }
        if (!id) {
            if (quiet) return 1;
            git_report_ambiguous_argument(err, rev);
            return 128;
        }
        out += (short_len ? id->substr(0, *short_len) : *id) + "\n";
    }
    return 0;
}

}  // namespace tw
