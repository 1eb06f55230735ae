#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/panic.h"
#include "command_table/native_program.h"
#include "commands/registry/registry.h"
#include "command_table/table.h"

namespace tw {
namespace {

using Names = std::set<std::string>;

const CommandRegistry& reg() { return CommandRegistry::instance(); }

std::string base_name(std::string_view path) { return std::string(path.substr(path.rfind('/') + 1)); }

// The group a row belongs to in registration order.
enum class Group { Builtin, Continuing, Unsupported, Native, Suspendable };

Group group_of(const CommandRow& row) {
    switch (row.kind) {
    case CommandKind::Builtin: return row.trust == CommandTrust::Unsupported ? Group::Unsupported : Group::Builtin;
    case CommandKind::ContinuingBuiltin: return Group::Continuing;
    case CommandKind::Native: return Group::Native;
    case CommandKind::SuspendableNative: return Group::Suspendable;
    }
    return Group::Builtin;
}

TEST(CommandTable, GroupsAppearInRegistrationOrderWithTheirCounts) {
    std::map<Group, int> counts;
    Group previous = Group::Builtin;
    for (const CommandRow& row : command_table()) {
        Group g = group_of(row);
        EXPECT_GE(static_cast<int>(g), static_cast<int>(previous)) << row.key << " is out of its group";
        previous = g;
        ++counts[g];
    }
    EXPECT_EQ(command_table().size(), 216u);
    EXPECT_EQ(counts[Group::Builtin], 47);
    EXPECT_EQ(counts[Group::Continuing], 13);
    EXPECT_EQ(counts[Group::Unsupported], 49);
    EXPECT_EQ(counts[Group::Native], 54);
    EXPECT_EQ(counts[Group::Suspendable], 53);
    EXPECT_EQ(reg().size(), 323u);
}

TEST(CommandTable, TrustFollowsEachGroupsPartialList) {
    const std::map<Group, Names> partial = {
        {Group::Builtin, {"umask", "ulimit", "shopt", "exec", "alias", "uv", "uvx", "pytest", "pip", "pip3"}},
        {Group::Continuing,
         {"flock", "python3", "python", "python3.11", "python3.12", "python3.13", "python3.14"}},
        {Group::Native,
         {"diff", "getconf", "ps", "pgrep", "pkill", "killall", "lsof", "ss", "netstat", "ar", "ranlib", "zip",
          "unzip"}},
        {Group::Suspendable,
         {"gzip", "gunzip", "zcat", "awk", "gawk", "mawk", "nawk", "bc", "dd", "fmt", "column", "grep", "egrep",
          "fgrep", "envsubst", "tar", "join", "split", "shuf", "git", "xxd", "hexdump", "od", "apply_patch",
          "patch", "jq", "rg", "sed"}},
    };
    std::map<Group, Names> seen;
    for (const CommandRow& row : command_table()) {
        Group g = group_of(row);
        if (g == Group::Unsupported) continue;
        std::string name = base_name(row.key);
        if (row.trust == CommandTrust::Partial) seen[g].insert(name);
        else EXPECT_EQ(row.trust, CommandTrust::Real) << name;
    }
    EXPECT_EQ(seen, partial);
}

TEST(CommandTable, SharedHandlersAreExactlyTheListedFamilies) {
    std::map<HandlerId, Names> by_handler;
    for (const CommandRow& row : command_table()) by_handler[row.handler].insert(base_name(row.key));
    std::set<Names> shared;
    for (auto& [id, names] : by_handler)
        if (names.size() > 1 && id != HandlerId::Unsupported) shared.insert(names);
    const std::set<Names> expected = {
        {"declare", "typeset"},
        {"true", ":"},
        {"mapfile", "readarray"},
        {"uv", "uvx"},
        {"pip", "pip3"},
        {"source", "."},
        {"python3", "python", "python3.11", "python3.12", "python3.13", "python3.14"},
        {"whoami", "logname"},
        {"ss", "netstat"},
        {"chown", "chgrp"},
        {"awk", "gawk", "mawk", "nawk"},
        {"base64", "base32"},
        {"xxd", "hexdump", "od"},
    };
    EXPECT_EQ(shared, expected);
    EXPECT_EQ(by_handler[HandlerId::Unsupported].size(), 49u);
}

TEST(CommandRegistry, LooksUpKindsCostsAndTrust) {
    struct Case {
        std::string_view key;
        CommandKind kind;
        std::uint64_t cost;
        std::uint64_t memory;
        CommandTrust trust;
    };
    const Case cases[] = {
        {"grep", CommandKind::SuspendableNative, 100, 10240, CommandTrust::Partial},
        {"/usr/bin/grep", CommandKind::SuspendableNative, 100, 10240, CommandTrust::Partial},
        {"echo", CommandKind::Native, 20, 10240, CommandTrust::Real},
        {"printf", CommandKind::Native, 25, 10240, CommandTrust::Real},
        {"/usr/bin/ls", CommandKind::Native, 100, 10240, CommandTrust::Real},
        {"awk", CommandKind::SuspendableNative, 150, 24576, CommandTrust::Partial},
        {"/usr/bin/nawk", CommandKind::SuspendableNative, 150, 24576, CommandTrust::Partial},
        {"git", CommandKind::SuspendableNative, 150, 16384, CommandTrust::Partial},
        {"sort", CommandKind::SuspendableNative, 100, 16384, CommandTrust::Real},
        {"patch", CommandKind::SuspendableNative, 100, 16384, CommandTrust::Partial},
        {"apply_patch", CommandKind::SuspendableNative, 100, 16384, CommandTrust::Partial},
        {"gcc", CommandKind::Builtin, 1000, 10240, CommandTrust::Unsupported},
        {"cd", CommandKind::Builtin, 1000, 10240, CommandTrust::Real},
        {"[[", CommandKind::Builtin, 1000, 10240, CommandTrust::Real},
        {".", CommandKind::ContinuingBuiltin, 1000, 10240, CommandTrust::Real},
        {"eval", CommandKind::ContinuingBuiltin, 1000, 10240, CommandTrust::Real},
        {"python3.12", CommandKind::ContinuingBuiltin, 1000, 10240, CommandTrust::Partial},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        const CommandSpec* spec = reg().get(c.key);
        ASSERT_NE(spec, nullptr);
        EXPECT_EQ(spec->kind, c.kind);
        EXPECT_EQ(spec->cost, c.cost);
        EXPECT_EQ(spec->memory, c.memory);
        EXPECT_EQ(spec->trust, c.trust);
    }
    for (std::string_view absent : {"/bin/grep", "make", "cat", "head", "bash", "sh", "GREP", "", "..", "/usr/bin/cd"})
        EXPECT_EQ(reg().get(absent), nullptr) << absent;
}

TEST(CommandRegistry, EveryRowIsFiledWithAHandlerOfItsKind) {
    for (const CommandRow& row : command_table()) {
        SCOPED_TRACE(row.key);
        const CommandSpec* spec = reg().get(row.key);
        ASSERT_NE(spec, nullptr);
        EXPECT_EQ(spec->handler.index(), static_cast<std::size_t>(spec->kind));
        EXPECT_EQ(spec->kind, row.kind);
        EXPECT_EQ(spec->cost, row.cost);
        EXPECT_EQ(spec->memory, row.memory);
        EXPECT_EQ(spec->trust, row.trust);
        if (row.key.starts_with('/')) {
            const CommandSpec* by_base = reg().get(base_name(row.key));
            ASSERT_NE(by_base, nullptr);
            EXPECT_EQ(*by_base, *spec);
        }
    }
}

TEST(CommandRegistry, NativeForPathOnlyAnswersAbsoluteNativePaths) {
    auto sort = reg().native_for_path("/usr/bin/sort");
    ASSERT_TRUE(sort.has_value());
    EXPECT_TRUE(sort->suspendable);
    EXPECT_EQ(sort->cost, 100u);
    EXPECT_EQ(sort->memory, 16384u);
    EXPECT_EQ(sort->trust, CommandTrust::Real);

    auto echo = reg().native_for_path("/usr/bin/echo");
    ASSERT_TRUE(echo.has_value());
    EXPECT_FALSE(echo->suspendable);
    EXPECT_EQ(echo->cost, 20u);

    for (std::string_view absent : {"sort", "echo", "/usr/bin/cd", "/usr/bin/gcc", "/bin/sort", "/usr/bin/cat", "cd"})
        EXPECT_FALSE(reg().native_for_path(absent).has_value()) << absent;
}

// What a user sees in /usr/bin besides the resumable programs and the shells.
const Names kRegisteredStubs = {
    "apply_patch", "ar",       "arch",     "awk",     "base32",   "base64",   "basename",  "bc",
    "chgrp",       "chmod",    "chown",    "cksum",   "cmp",      "column",   "comm",      "cp",
    "curl",        "cut",      "date",     "dd",      "df",       "diff",     "dirname",   "du",
    "echo",        "egrep",    "envsubst", "expand",  "expr",     "fgrep",    "file",      "fmt",
    "fold",        "free",     "gawk",     "getconf", "git",      "grep",     "groups",    "gunzip",
    "gzip",        "hexdump",  "hostname", "id",      "install",  "join",     "jq",        "killall",
    "ln",          "logname",  "ls",       "lsof",    "mawk",     "md5sum",   "mkdir",     "mktemp",
    "mv",          "nawk",     "net",      "netstat", "nl",       "nproc",    "od",        "paste",
    "patch",       "pgrep",    "pkill",    "printenv", "printf",  "ps",       "ranlib",    "readlink",
    "realpath",    "rev",      "rg",       "rm",      "rmdir",    "sed",      "seq",       "sha1sum",
    "sha256sum",   "sha512sum", "shuf",    "sort",    "split",    "ss",       "stat",      "strings",
    "sync",        "tac",      "tail",     "tar",     "touch",    "tr",       "tree",      "truncate",
    "tsort",       "uname",    "unexpand", "uniq",    "unzip",    "wc",       "wget",      "whoami",
    "xxd",         "zcat",     "zip",
};

const Names kNamedStubs = {
    ":",          "[",          "[[",         "alias",     "apt",        "apt-get",      "bg",
    "bind",       "break",      "cargo",      "cc",        "cd",         "clang",        "cmake",
    "command",    "complete",   "conda",      "continue",  "debugfs",    "declare",      "dirs",
    "disown",     "docker",     "eval",       "exec",      "exit",       "export",       "factor",
    "fg",         "flask",      "flock",      "g++",       "gcc",        "gdb",          "getopts",
    "go",         "gradle",     "gunicorn",   "hash",      "history",    "java",         "javac",
    "jobs",       "journalctl", "kill",       "ld",        "let",        "local",        "losetup",
    "mapfile",    "mkdocs",     "mkfs.ext2",  "mount",     "mvn",        "node",         "npm",
    "openssl",    "pip",        "pip3",       "pipx",      "popd",       "pr",           "pushd",
    "pytest",     "python",     "python3",    "python3.11", "python3.12", "python3.13",  "python3.14",
    "read",       "readarray",  "readonly",   "redis-cli", "redis-server", "renice",     "return",
    "rsyslog",    "rustc",      "service",    "set",       "setfacl",    "shift",        "shopt",
    "source",     "su",         "systemctl",  "test",      "trap",       "type",         "typeset",
    "ulimit",     "umask",      "umount",     "unalias",   "unset",      "useradd",      "uv",
    "uvenv",      "uvicorn",    "uvx",        "wait",      "watch",      "which",        "wstest",
};

TEST(NativeStubEntries, MatchTheBootImageListsAfterSkippingResumablePrograms) {
    ASSERT_EQ(kRegisteredStubs.size(), 107u);
    ASSERT_EQ(kNamedStubs.size(), 105u);
    Names registered, named, skipped, paths;
    for (const NativeStubEntry& e : native_stub_entries()) {
        SCOPED_TRACE(e.path);
        EXPECT_TRUE(paths.insert(e.path).second) << "duplicate stub path";
        ASSERT_NE(reg().get(e.key), nullptr);
        switch (e.program.tag()) {
        case NativeProgram::Tag::Registered:
            EXPECT_EQ(e.path, e.key);
            EXPECT_EQ(e.program.text(), e.path);
            registered.insert(std::string(e.program.name()));
            break;
        case NativeProgram::Tag::Named:
            EXPECT_EQ(e.path, "/usr/bin/" + std::string(e.key));
            EXPECT_EQ(e.program.text(), e.key);
            if (program_kind_from_name(e.program.name()).has_value())
                skipped.insert(e.program.text());
            else
                named.insert(e.program.text());
            break;
        case NativeProgram::Tag::Resumable: ADD_FAILURE() << "the registry names no resumable program"; break;
        }
    }
    EXPECT_EQ(registered, kRegisteredStubs);
    EXPECT_EQ(named, kNamedStubs);
    EXPECT_EQ(skipped, (Names{"true", "false", "pwd"}));
}

TEST(NativeStubEntries, SpecificStubs) {
    std::map<std::string, NativeStubEntry> by_path;
    for (NativeStubEntry& e : native_stub_entries()) by_path.emplace(e.path, e);

    ASSERT_TRUE(by_path.contains("/usr/bin/[["));
    EXPECT_EQ(by_path.at("/usr/bin/[[").program, NativeProgram::named("[["));
    ASSERT_TRUE(by_path.contains("/usr/bin/gcc"));
    EXPECT_EQ(by_path.at("/usr/bin/gcc").program, NativeProgram::named("gcc"));
    ASSERT_TRUE(by_path.contains("/usr/bin/zcat"));
    EXPECT_EQ(by_path.at("/usr/bin/zcat").program, NativeProgram::registered("/usr/bin/zcat"));
    EXPECT_EQ(by_path.at("/usr/bin/zcat").key, "/usr/bin/zcat");
    EXPECT_FALSE(by_path.contains("/usr/bin/."));
    EXPECT_FALSE(by_path.contains("/usr/bin/.."));
    for (auto& [path, e] : by_path) {
        EXPECT_NE(e.key, "zcat");
        EXPECT_NE(e.key, ".");
    }
}

TEST(NativeProgram, Names) {
    EXPECT_EQ(NativeProgram::registered("/usr/bin/gunzip").name(), "gunzip");
    EXPECT_EQ(NativeProgram::registered("gunzip").name(), "gunzip");
    EXPECT_EQ(NativeProgram::resumable(ProgramKind::Usleep).name(), "usleep");
    EXPECT_EQ(NativeProgram::named("python3.12").name(), "python3.12");
}

TEST(CommandTrust, JsonNames) {
    EXPECT_EQ(command_trust_name(CommandTrust::Real), "real");
    EXPECT_EQ(command_trust_name(CommandTrust::Partial), "partial");
    EXPECT_EQ(command_trust_name(CommandTrust::Unsupported), "unsupported");
}

std::int32_t fake_native(NativeInvocation&, CommandIo&) { return 7; }
std::int32_t other_native(NativeInvocation&, CommandIo&) { return 8; }

TEST(CommandRegistryRegistration, NativesAreFiledUnderPathAndBaseName) {
    CommandRegistry r;
    EXPECT_EQ(r.get("x"), nullptr);
    r.register_plain_native_with_cost("/usr/bin/x", CommandTrust::Partial, &fake_native, 42);
    r.register_native_with_budget("/usr/bin/y", CommandTrust::Real, nullptr, 7, 9);
    r.register_builtins({"b1", "b2"}, CommandTrust::Partial, nullptr);
    r.register_unsupported({"u"});
    EXPECT_EQ(r.size(), 7u);

    const CommandSpec* x = r.get("x");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(*x, *r.get("/usr/bin/x"));
    EXPECT_EQ(x->kind, CommandKind::Native);
    EXPECT_EQ(x->cost, 42u);
    EXPECT_EQ(x->memory, 10240u);
    EXPECT_TRUE(x->has_handler());
    EXPECT_EQ(std::get<NativeHandler>(x->handler), &fake_native);

    const CommandSpec* y = r.get("y");
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(y->kind, CommandKind::SuspendableNative);
    EXPECT_EQ(y->cost, 7u);
    EXPECT_EQ(y->memory, 9u);
    EXPECT_FALSE(y->has_handler());

    EXPECT_EQ(r.get("b2")->trust, CommandTrust::Partial);
    EXPECT_EQ(r.get("u")->trust, CommandTrust::Unsupported);
    EXPECT_EQ(r.get("u")->kind, CommandKind::Builtin);

    // A second native with the same base name takes the base-name key; the first path stays.
    r.register_plain_native("/opt/bin/x", CommandTrust::Real, &other_native);
    EXPECT_EQ(std::get<NativeHandler>(r.get("x")->handler), &other_native);
    EXPECT_EQ(std::get<NativeHandler>(r.get("/usr/bin/x")->handler), &fake_native);
    EXPECT_EQ(r.get("x")->cost, 100u);
}

TEST(CommandRegistryRegistration, BrokenNativePathsPanic) {
    CommandRegistry r;
    r.register_plain_native("/usr/bin/x", CommandTrust::Real, nullptr);
    try {
        r.register_native("/usr/bin/x", CommandTrust::Real, nullptr);
        FAIL() << "duplicate path accepted";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message(), "duplicate native path: /usr/bin/x");
    }
    EXPECT_EQ(r.get("x")->kind, CommandKind::Native);  // unchanged by the refused insertion
    EXPECT_THROW(r.register_plain_native("usr/bin/z", CommandTrust::Real, nullptr), Panic);
    EXPECT_THROW(r.register_plain_native("/usr/bin/z/", CommandTrust::Real, nullptr), Panic);
    EXPECT_THROW(r.register_plain_native("/", CommandTrust::Real, nullptr), Panic);
    EXPECT_EQ(r.get("z"), nullptr);
    EXPECT_EQ(r.size(), 2u);
}

TEST(CommandRegistry, InstanceIsBuiltOnceForAllThreads) {
    std::vector<const CommandRegistry*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = &CommandRegistry::instance(); });
    for (auto& t : threads) t.join();
    for (const CommandRegistry* p : seen) EXPECT_EQ(p, &CommandRegistry::instance());
    EXPECT_EQ(CommandRegistry::build().size(), CommandRegistry::instance().size());
}

}  // namespace
}  // namespace tw
