#include "command_table/table.h"

#include <array>

#include <fmt/format.h>

#include "base/panic.h"

namespace tw {
namespace {

constexpr CommandTrust R = CommandTrust::Real;
constexpr CommandTrust P = CommandTrust::Partial;

using H = HandlerId;

constexpr CommandRow builtin(std::string_view name, HandlerId handler, CommandTrust trust = R) {
    return {name, CommandKind::Builtin, kBuiltinCost, kCommandMemory, trust, handler};
}

constexpr CommandRow continuing(std::string_view name, HandlerId handler, CommandTrust trust = R) {
    return {name, CommandKind::ContinuingBuiltin, kBuiltinCost, kCommandMemory, trust, handler};
}

constexpr CommandRow unsupported(std::string_view name) {
    return {name, CommandKind::Builtin, kBuiltinCost, kCommandMemory, CommandTrust::Unsupported, H::Unsupported};
}

constexpr CommandRow native(std::string_view path, HandlerId handler, CommandTrust trust = R,
                            std::uint64_t cost = kNativeCost) {
    return {path, CommandKind::Native, cost, kCommandMemory, trust, handler};
}

constexpr CommandRow suspendable(std::string_view path, HandlerId handler, CommandTrust trust = R,
                                 std::uint64_t cost = kNativeCost, std::uint64_t memory = kCommandMemory) {
    return {path, CommandKind::SuspendableNative, cost, memory, trust, handler};
}

// The awk family: four paths, one handler, a larger budget.
constexpr CommandRow awk(std::string_view path) {
    return suspendable(path, H::Awk, P, 150, 24576);
}

constexpr auto kTable = std::to_array<CommandRow>({
    // Builtins.
    builtin("cd", H::Cd),
    builtin("pwd", H::Pwd),
    builtin("export", H::Export),
    builtin("unset", H::Unset),
    builtin("set", H::Set),
    builtin("declare", H::Declare),
    builtin("typeset", H::Declare),
    builtin("local", H::Local),
    builtin("readonly", H::Readonly),
    builtin("exit", H::Exit),
    builtin("return", H::Return),
    builtin("break", H::Break),
    builtin("continue", H::Continue),
    builtin("shift", H::Shift),
    builtin("true", H::True),
    builtin(":", H::True),
    builtin("false", H::False),
    builtin("test", H::Test),
    builtin("[", H::Bracket),
    builtin("[[", H::DoubleBracket),
    builtin("read", H::Read),
    builtin("jobs", H::Jobs),
    builtin("bg", H::Bg),
    builtin("trap", H::Trap),
    builtin("disown", H::Disown),
    builtin("umask", H::Umask, P),
    builtin("ulimit", H::Ulimit, P),
    builtin("hash", H::Hash),
    builtin("shopt", H::Shopt, P),
    builtin("exec", H::Exec, P),
    builtin("kill", H::Kill),
    builtin("which", H::Which),
    builtin("type", H::Type),
    builtin("alias", H::Alias, P),
    builtin("unalias", H::Unalias),
    builtin("getopts", H::Getopts),
    builtin("let", H::Let),
    builtin("mapfile", H::Mapfile),
    builtin("readarray", H::Mapfile),
    builtin("pushd", H::Pushd),
    builtin("popd", H::Popd),
    builtin("dirs", H::Dirs),
    builtin("uv", H::Uv, P),
    builtin("uvx", H::Uv, P),
    builtin("pytest", H::Pytest, P),
    builtin("pip", H::Pip, P),
    builtin("pip3", H::Pip, P),

    // Continuing builtins.
    continuing("source", H::Source),
    continuing(".", H::Source),
    continuing("eval", H::Eval),
    continuing("wait", H::Wait),
    continuing("fg", H::Fg),
    continuing("flock", H::Flock, P),
    continuing("command", H::Command),
    continuing("python3", H::Python, P),
    continuing("python", H::Python, P),
    continuing("python3.11", H::Python, P),
    continuing("python3.12", H::Python, P),
    continuing("python3.13", H::Python, P),
    continuing("python3.14", H::Python, P),

    // Well-known names the system does not implement.
    unsupported("complete"),
    unsupported("bind"),
    unsupported("history"),
    unsupported("pr"),
    unsupported("factor"),
    unsupported("debugfs"),
    unsupported("journalctl"),
    unsupported("losetup"),
    unsupported("mkfs.ext2"),
    unsupported("mount"),
    unsupported("setfacl"),
    unsupported("su"),
    unsupported("umount"),
    unsupported("useradd"),
    unsupported("gdb"),
    unsupported("mkdocs"),
    unsupported("redis-cli"),
    unsupported("redis-server"),
    unsupported("rsyslog"),
    unsupported("wstest"),
    unsupported("openssl"),
    unsupported("renice"),
    unsupported("watch"),
    unsupported("uvenv"),
    unsupported("conda"),
    unsupported("pipx"),
    unsupported("apt"),
    unsupported("apt-get"),
    unsupported("npm"),
    unsupported("node"),
    unsupported("cargo"),
    unsupported("cmake"),
    unsupported("gcc"),
    unsupported("g++"),
    unsupported("cc"),
    unsupported("clang"),
    unsupported("mvn"),
    unsupported("gradle"),
    unsupported("javac"),
    unsupported("java"),
    unsupported("docker"),
    unsupported("systemctl"),
    unsupported("service"),
    unsupported("uvicorn"),
    unsupported("gunicorn"),
    unsupported("flask"),
    unsupported("ld"),
    unsupported("rustc"),
    unsupported("go"),

    // Natives run to completion.
    native("/usr/bin/diff", H::Diff, P),
    native("/usr/bin/cmp", H::Cmp),
    native("/usr/bin/echo", H::Echo, R, 20),
    native("/usr/bin/expr", H::Expr),
    native("/usr/bin/printf", H::Printf, R, 25),
    native("/usr/bin/printenv", H::Printenv),
    native("/usr/bin/uname", H::Uname),
    native("/usr/bin/arch", H::Arch),
    native("/usr/bin/hostname", H::Hostname),
    native("/usr/bin/whoami", H::Whoami),
    native("/usr/bin/logname", H::Whoami),
    native("/usr/bin/id", H::Id),
    native("/usr/bin/groups", H::Groups),
    native("/usr/bin/nproc", H::Nproc),
    native("/usr/bin/getconf", H::Getconf, P),
    native("/usr/bin/df", H::Df),
    native("/usr/bin/free", H::Free),
    native("/usr/bin/ps", H::Ps, P),
    native("/usr/bin/pgrep", H::Pgrep, P),
    native("/usr/bin/pkill", H::Pkill, P),
    native("/usr/bin/killall", H::Killall, P),
    native("/usr/bin/lsof", H::Lsof, P),
    native("/usr/bin/ss", H::Ss, P),
    native("/usr/bin/netstat", H::Ss, P),
    native("/usr/bin/ar", H::Ar, P),
    native("/usr/bin/ranlib", H::Ranlib, P),
    native("/usr/bin/seq", H::Seq),
    native("/usr/bin/ls", H::Ls),
    native("/usr/bin/mkdir", H::Mkdir),
    native("/usr/bin/rmdir", H::Rmdir),
    native("/usr/bin/rm", H::Rm),
    native("/usr/bin/cp", H::Cp),
    native("/usr/bin/mv", H::Mv),
    native("/usr/bin/touch", H::Touch),
    native("/usr/bin/ln", H::Ln),
    native("/usr/bin/chmod", H::Chmod),
    native("/usr/bin/chown", H::Chown),
    native("/usr/bin/chgrp", H::Chown),
    native("/usr/bin/basename", H::Basename),
    native("/usr/bin/dirname", H::Dirname),
    native("/usr/bin/realpath", H::Realpath),
    native("/usr/bin/readlink", H::Readlink),
    native("/usr/bin/stat", H::Stat),
    native("/usr/bin/du", H::Du),
    native("/usr/bin/mktemp", H::Mktemp),
    native("/usr/bin/file", H::File),
    native("/usr/bin/install", H::Install),
    native("/usr/bin/truncate", H::Truncate),
    native("/usr/bin/tree", H::Tree),
    native("/usr/bin/net", H::Net),
    native("/usr/bin/date", H::Date),
    native("/usr/bin/sync", H::Sync),
    native("/usr/bin/zip", H::Zip, P),
    native("/usr/bin/unzip", H::Unzip, P),

    // Suspendable natives.
    suspendable("/usr/bin/gzip", H::GzipEntry, P),
    suspendable("/usr/bin/gunzip", H::GunzipEntry, P),
    suspendable("/usr/bin/zcat", H::ZcatEntry, P),
    awk("/usr/bin/awk"),
    awk("/usr/bin/gawk"),
    awk("/usr/bin/mawk"),
    awk("/usr/bin/nawk"),
    suspendable("/usr/bin/bc", H::Bc, P),
    suspendable("/usr/bin/dd", H::Dd, P),
    suspendable("/usr/bin/fold", H::Fold),
    suspendable("/usr/bin/fmt", H::Fmt, P),
    suspendable("/usr/bin/expand", H::Expand),
    suspendable("/usr/bin/unexpand", H::Unexpand),
    suspendable("/usr/bin/column", H::Column, P),
    suspendable("/usr/bin/grep", H::Grep, P),
    suspendable("/usr/bin/egrep", H::Egrep, P),
    suspendable("/usr/bin/fgrep", H::Fgrep, P),
    suspendable("/usr/bin/sort", H::Sort, R, kNativeCost, 16384),
    suspendable("/usr/bin/tac", H::Tac),
    suspendable("/usr/bin/tail", H::Tail),
    suspendable("/usr/bin/envsubst", H::Envsubst, P),
    suspendable("/usr/bin/tar", H::Tar, P),
    suspendable("/usr/bin/wc", H::Wc),
    suspendable("/usr/bin/uniq", H::Uniq),
    suspendable("/usr/bin/cut", H::Cut),
    suspendable("/usr/bin/tr", H::Tr),
    suspendable("/usr/bin/rev", H::Rev),
    suspendable("/usr/bin/nl", H::Nl),
    suspendable("/usr/bin/paste", H::Paste),
    suspendable("/usr/bin/comm", H::Comm),
    suspendable("/usr/bin/join", H::Join, P),
    suspendable("/usr/bin/split", H::Split, P),
    suspendable("/usr/bin/shuf", H::Shuf, P),
    suspendable("/usr/bin/tsort", H::Tsort),
    suspendable("/usr/bin/git", H::Git, P, 150, 16384),
    suspendable("/usr/bin/sha256sum", H::Sha256sum),
    suspendable("/usr/bin/sha1sum", H::Sha1sum),
    suspendable("/usr/bin/sha512sum", H::Sha512sum),
    suspendable("/usr/bin/md5sum", H::Md5sum),
    suspendable("/usr/bin/cksum", H::Cksum),
    suspendable("/usr/bin/base64", H::Base64),
    suspendable("/usr/bin/base32", H::Base64),
    suspendable("/usr/bin/xxd", H::Xxd, P),
    suspendable("/usr/bin/hexdump", H::Xxd, P),
    suspendable("/usr/bin/od", H::Xxd, P),
    suspendable("/usr/bin/strings", H::Strings),
    suspendable("/usr/bin/curl", H::Curl),
    suspendable("/usr/bin/wget", H::Wget),
    suspendable("/usr/bin/apply_patch", H::ApplyPatch, P, kNativeCost, 16384),
    suspendable("/usr/bin/patch", H::Patch, P, kNativeCost, 16384),
    suspendable("/usr/bin/jq", H::Jq, P),
    suspendable("/usr/bin/rg", H::Rg, P),
    suspendable("/usr/bin/sed", H::Sed, P),
});

constexpr bool is_native(CommandKind kind) {
    return kind == CommandKind::Native || kind == CommandKind::SuspendableNative;
}

// What the registration operations can express: natives are keyed by "/usr/bin/NAME" and builtins
// by a bare name; builtins all cost the same; run-to-completion natives all use the default
// memory; every unsupported name is a plain builtin with the shared handler.
constexpr bool table_rows_are_well_formed() {
    for (const CommandRow& row : kTable) {
        if (row.key.empty()) return false;
        bool absolute = row.key.front() == '/';
        if (absolute != is_native(row.kind)) return false;
        if (absolute && (!row.key.starts_with("/usr/bin/") || row.key.size() == 9 ||
                         row.key.find('/', 9) != std::string_view::npos))
            return false;
        if (!is_native(row.kind) && (row.cost != kBuiltinCost || row.memory != kCommandMemory)) return false;
        if (row.kind == CommandKind::Native && row.memory != kCommandMemory) return false;
        bool unsupported_row = row.trust == CommandTrust::Unsupported;
        bool unsupported_handler = row.handler == HandlerId::Unsupported;
        if (unsupported_row != unsupported_handler) return false;
        if (unsupported_row && row.kind != CommandKind::Builtin) return false;
    }
    return true;
}
static_assert(table_rows_are_well_formed());

}  // namespace

std::string_view command_trust_name(CommandTrust trust) {
    switch (trust) {
    case CommandTrust::Real: return "real";
    case CommandTrust::Partial: return "partial";
    case CommandTrust::Unsupported: return "unsupported";
    }
    unreachable("command trust value");
}

std::span<const CommandRow> command_table() { return kTable; }

std::vector<NativeStubEntry> native_stub_entries() {
    std::vector<NativeStubEntry> stubs;
    stubs.reserve(kTable.size());
    for (const CommandRow& row : kTable) {
        if (is_native(row.kind)) {
            stubs.push_back({std::string(row.key), NativeProgram::registered(std::string(row.key)), row.key});
        } else if (row.key != "." && row.key != "..") {
            stubs.push_back({fmt::format("/usr/bin/{}", row.key), NativeProgram::named(std::string(row.key)), row.key});
        }
    }
    return stubs;
}

}  // namespace tw
