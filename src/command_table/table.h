// The command table: every command name the system implements itself (or knowingly refuses),
// with its kind, its fixed CPU and memory charges, how complete it is, and which handler runs it.
//
// This is plain data. The kernel derives the native-executable stubs of the boot image from it
// (native_stub_entries) and must not depend on any command code; the registry (registry.h) pairs
// each row with its handler function.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "command_table/native_program.h"

namespace tw {

// How a command is called (the handler signature follows from it, see registry.h).
enum class CommandKind : std::uint8_t {
    Builtin = 0,            // runs inside the shell, answers a status
    ContinuingBuiltin = 1,  // runs inside the shell, may continue (program to run, child to wait for, ...)
    Native = 2,             // a /usr/bin command that runs to completion
    SuspendableNative = 3,  // a /usr/bin command that may suspend when it runs as a process
};

// How complete a command is; copied into every invocation record.
enum class CommandTrust : std::uint8_t {
    Real = 0,         // a full implementation
    Partial = 1,      // a subset of the real tool's options and behaviour
    Unsupported = 2,  // registered only to report "not implemented"
};

// The serialized form: "real", "partial", "unsupported".
std::string_view command_trust_name(CommandTrust trust);

// One id per distinct handler function. Names that share a handler share an id.
enum class HandlerId : std::uint16_t {
    // Builtins.
    Cd, Pwd, Export, Unset, Set,
    Declare,  // declare, typeset
    Local, Readonly, Exit, Return, Break, Continue, Shift,
    True,  // true, :
    False, Test, Bracket, DoubleBracket, Read, Jobs, Bg, Trap, Disown, Umask, Ulimit, Hash, Shopt,
    Exec, Kill, Which, Type, Alias, Unalias, Getopts, Let,
    Mapfile,  // mapfile, readarray
    Pushd, Popd, Dirs,
    Uv,  // uv, uvx
    Pytest,
    Pip,  // pip, pip3
    // Continuing builtins.
    Source,  // source, .
    Eval, Wait, Fg, Flock, Command,
    Python,  // python3, python, python3.11 ... python3.14
    // Every unsupported name.
    Unsupported,
    // Natives run to completion.
    Diff, Cmp, Echo, Expr, Printf, Printenv, Uname, Arch, Hostname,
    Whoami,  // whoami, logname
    Id, Groups, Nproc, Getconf, Df, Free, Ps, Pgrep, Pkill, Killall, Lsof,
    Ss,  // ss, netstat
    Ar, Ranlib, Seq, Ls, Mkdir, Rmdir, Rm, Cp, Mv, Touch, Ln, Chmod,
    Chown,  // chown, chgrp
    Basename, Dirname, Realpath, Readlink, Stat, Du, Mktemp, File, Install, Truncate, Tree, Net,
    Date, Sync, Zip, Unzip,
    // Suspendable natives.
    GzipEntry, GunzipEntry, ZcatEntry,
    Awk,  // awk, gawk, mawk, nawk
    Bc, Dd, Fold, Fmt, Expand, Unexpand, Column, Grep, Egrep, Fgrep, Sort, Tac, Tail, Envsubst, Tar,
    Wc, Uniq, Cut, Tr, Rev, Nl, Paste, Comm, Join, Split, Shuf, Tsort, Git, Sha256sum, Sha1sum,
    Sha512sum, Md5sum, Cksum,
    Base64,  // base64, base32
    Xxd,     // xxd, hexdump, od
    Strings, Curl, Wget, ApplyPatch, Patch, Jq, Rg, Sed,
};

// The charges a command gets unless its row says otherwise.
inline constexpr std::uint64_t kBuiltinCost = 1000;
inline constexpr std::uint64_t kNativeCost = 100;
inline constexpr std::uint64_t kCommandMemory = 10240;

// One registered command. `key` is the builtin name, or for a native its absolute path
// "/usr/bin/NAME" (the registry also files a native under its base name).
struct CommandRow {
    std::string_view key;
    CommandKind kind;
    std::uint64_t cost;
    std::uint64_t memory;
    CommandTrust trust;
    HandlerId handler;
};

// Every registered command in registration order: builtins, continuing builtins, unsupported
// names, natives run to completion, suspendable natives. Keys are static strings.
std::span<const CommandRow> command_table();

// One native-executable stub of the boot image: where it goes, what it names, and the registry
// key it was derived from (a static string).
struct NativeStubEntry {
    std::string path;
    NativeProgram program;
    std::string_view key;
};

// The stubs the registry asks for, in no particular order (the caller sorts):
//  - each native path yields (path, Registered(path), path);
//  - each builtin, continuing-builtin and unsupported name except "." and ".." yields
//    ("/usr/bin/NAME", Named(NAME), NAME);
//  - the base names of natives yield nothing.
std::vector<NativeStubEntry> native_stub_entries();

}  // namespace tw
