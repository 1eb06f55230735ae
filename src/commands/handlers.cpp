// The one place where a command's function is attached to its table row.
//
// To bind a command, include the header that declares its function and add a case to the switch
// of the command's kind, for example
//
//     case HandlerId::Cd: return &builtin_cd;
//
// The function's type must match the kind's handler type (registry.h), so a function bound under
// the wrong kind does not compile. An id left unbound yields a null handler; dispatch sees it
// through CommandSpec::has_handler and reports the command instead of calling it.
#include "commands/archives/archive_commands.h"
#include "commands/awk/awk_command.h"
#include "commands/builtins/control.h"
#include "commands/builtins/directories.h"
#include "commands/builtins/flock.h"
#include "commands/builtins/input.h"
#include "commands/builtins/jobs.h"
#include "commands/builtins/names.h"
#include "commands/builtins/options.h"
#include "commands/builtins/variables.h"
#include "commands/calc/calc_commands.h"
#include "commands/diff/diff_commands.h"
#include "commands/files/file_commands.h"
#include "commands/git/git_command.h"
#include "commands/jq/jq_command.h"
#include "commands/net/net_commands.h"
#include "commands/python_tools/pip.h"
#include "commands/python_tools/python_launch.h"
#include "commands/python_tools/uv.h"
#include "commands/registry/handlers.h"
#include "commands/registry/local_handlers.h"
#include "commands/search/search_commands.h"
#include "commands/sed/sed_command.h"
#include "commands/system/system_commands.h"
#include "commands/text/checksum.h"
#include "commands/text/layout_commands.h"
#include "commands/text/line_commands.h"
#include "commands/text/text_commands.h"
#include "python/mod/python_command.h"
#include "shell/command_io.h"
#include "shell/command_outcome.h"

namespace tw {

BuiltinHandler bound_builtin(HandlerId id) {
    switch (id) {
    case HandlerId::Pwd: return &builtin_pwd;
    case HandlerId::Exit: return &builtin_exit;
    case HandlerId::Return: return &builtin_return;
    case HandlerId::Break: return &builtin_break;
    case HandlerId::Continue: return &builtin_continue;
    case HandlerId::True: return &builtin_true;
    case HandlerId::False: return &builtin_false;
    case HandlerId::Test:
    case HandlerId::Bracket:
    case HandlerId::DoubleBracket: return &builtin_test;
    case HandlerId::Exec: return &builtin_exec;
    case HandlerId::Unsupported: return &unsupported_command_handler;
    case HandlerId::Cd: return &builtin_cd;
    case HandlerId::Pushd: return &builtin_pushd;
    case HandlerId::Popd: return &builtin_popd;
    case HandlerId::Dirs: return &builtin_dirs;
    case HandlerId::Export: return &builtin_export;
    case HandlerId::Unset: return &builtin_unset;
    case HandlerId::Declare: return &builtin_declare;
    case HandlerId::Local: return &builtin_local;
    case HandlerId::Readonly: return &builtin_readonly;
    case HandlerId::Alias: return &builtin_alias;
    case HandlerId::Unalias: return &builtin_unalias;
    case HandlerId::Hash: return &builtin_hash;
    case HandlerId::Type: return &builtin_type;
    case HandlerId::Which: return &builtin_which;
    case HandlerId::Ulimit: return &builtin_ulimit;
    case HandlerId::Umask: return &builtin_umask;
    case HandlerId::Set: return &builtin_set;
    case HandlerId::Shopt: return &builtin_shopt;
    case HandlerId::Shift: return &builtin_shift;
    case HandlerId::Jobs: return &builtin_jobs;
    case HandlerId::Bg: return &builtin_bg;
    case HandlerId::Disown: return &builtin_disown;
    case HandlerId::Kill: return &builtin_kill;
    case HandlerId::Trap: return &builtin_trap;
    case HandlerId::Read: return &builtin_read;
    case HandlerId::Mapfile: return &builtin_mapfile;
    case HandlerId::Getopts: return &builtin_getopts;
    case HandlerId::Let: return &builtin_let;
    case HandlerId::Pip: return &pip_builtin;
    case HandlerId::Uv: return &uv_builtin;
    case HandlerId::Pytest: return &pytest_builtin;
    default: return nullptr;
    }
}

ContinuingBuiltinHandler bound_continuing_builtin(HandlerId id) {
    switch (id) {
    case HandlerId::Eval: return &builtin_eval;
    case HandlerId::Source: return &builtin_source;
    case HandlerId::Command: return &builtin_command;
    case HandlerId::Wait: return &builtin_wait;
    case HandlerId::Fg: return &builtin_fg;
    case HandlerId::Flock: return &builtin_flock;
    case HandlerId::Python: return &py::builtin_python;
    default: return nullptr;
    }
}

NativeHandler bound_native(HandlerId id) {
    switch (id) {
    // file commands
    case HandlerId::Ls: return &ls_command;
    case HandlerId::Mkdir: return &mkdir_command;
    case HandlerId::Rmdir: return &rmdir_command;
    case HandlerId::Rm: return &rm_command;
    case HandlerId::Touch: return &touch_command;
    case HandlerId::Cp: return &cp_command;
    case HandlerId::Mv: return &mv_command;
    case HandlerId::Ln: return &ln_command;
    case HandlerId::Chmod: return &chmod_command;
    case HandlerId::Chown: return &chown_command;
    case HandlerId::Stat: return &stat_command;
    case HandlerId::File: return &file_command;
    case HandlerId::Du: return &du_command;
    case HandlerId::Tree: return &tree_command;
    case HandlerId::Realpath: return &realpath_command;
    case HandlerId::Readlink: return &readlink_command;
    case HandlerId::Basename: return &basename_command;
    case HandlerId::Dirname: return &dirname_command;
    case HandlerId::Mktemp: return &mktemp_command;
    case HandlerId::Install: return &install_command;
    case HandlerId::Truncate: return &truncate_command;
    case HandlerId::Echo: return &echo_command;
    case HandlerId::Printf: return &printf_command;
    case HandlerId::Diff: return &diff_command;
    case HandlerId::Cmp: return &cmp_command;
    case HandlerId::Printenv: return &printenv_command;
    case HandlerId::Seq: return &seq_command;
    case HandlerId::Net: return &net_command;
    case HandlerId::Expr: return &expr_command;
    // system and process commands
    case HandlerId::Uname: return &uname_command;
    case HandlerId::Arch: return &arch_command;
    case HandlerId::Hostname: return &hostname_command;
    case HandlerId::Whoami: return &whoami_command;
    case HandlerId::Id: return &id_command;
    case HandlerId::Groups: return &groups_command;
    case HandlerId::Nproc: return &nproc_command;
    case HandlerId::Getconf: return &getconf_command;
    case HandlerId::Df: return &df_command;
    case HandlerId::Free: return &free_command;
    case HandlerId::Ps: return &ps_command;
    case HandlerId::Pgrep: return &pgrep_command;
    case HandlerId::Pkill: return &pkill_command;
    case HandlerId::Killall: return &killall_command;
    case HandlerId::Lsof: return &lsof_command;
    case HandlerId::Ss: return &socket_listing_command;
    case HandlerId::Date: return &date_command;
    case HandlerId::Sync: return &sync_command;
    case HandlerId::Zip: return &zip_command;
    case HandlerId::Unzip: return &unzip_command;
    case HandlerId::Ar: return &ar_command;
    case HandlerId::Ranlib: return &ranlib_command;
    default: return nullptr;
    }
}

SuspendableNativeHandler bound_suspendable_native(HandlerId id) {
    switch (id) {
    case HandlerId::Sed: return &sed_command;
    case HandlerId::Awk: return &awk_command;
    case HandlerId::Bc: return &bc_command;
    case HandlerId::Patch: return &patch_command;
    case HandlerId::ApplyPatch: return &apply_patch_command;
    case HandlerId::Dd: return &dd_command;
    case HandlerId::Tac: return &tac_command;
    case HandlerId::Tail: return &tail_command;
    case HandlerId::Envsubst: return &envsubst_command;
    case HandlerId::Tr: return &tr_command;
    case HandlerId::Uniq: return &uniq_command;
    case HandlerId::Cut: return &cut_command;
    case HandlerId::Wc: return &wc_command;
    case HandlerId::Md5sum: return &md5sum_command;
    case HandlerId::Sha1sum: return &sha1sum_command;
    case HandlerId::Sha256sum: return &sha256sum_command;
    case HandlerId::Sha512sum: return &sha512sum_command;
    case HandlerId::Cksum: return &cksum_command;
    // line and layout tools
    case HandlerId::Rev: return &rev_command;
    case HandlerId::Nl: return &nl_command;
    case HandlerId::Paste: return &paste_command;
    case HandlerId::Comm: return &comm_command;
    case HandlerId::Join: return &join_command;
    case HandlerId::Split: return &split_command;
    case HandlerId::Shuf: return &shuf_command;
    case HandlerId::Tsort: return &tsort_command;
    case HandlerId::Fold: return &fold_command;
    case HandlerId::Fmt: return &fmt_command;
    case HandlerId::Expand: return &expand_command;
    case HandlerId::Unexpand: return &unexpand_command;
    case HandlerId::Column: return &column_command;
    case HandlerId::Sort: return &sort_command;
    case HandlerId::Grep: return &grep_command;
    case HandlerId::Egrep: return &egrep_command;
    case HandlerId::Fgrep: return &fgrep_command;
    case HandlerId::Rg: return &rg_command;
    case HandlerId::Curl: return &curl_command;
    case HandlerId::Wget: return &wget_command;
    case HandlerId::Jq: return &jq_command;
    // archives and byte tools
    case HandlerId::Base64: return &base64_command;
    case HandlerId::Xxd: return &xxd_command;
    case HandlerId::Strings: return &strings_command;
    case HandlerId::GzipEntry: return &gzip_command;
    case HandlerId::GunzipEntry: return &gunzip_command;
    case HandlerId::ZcatEntry: return &zcat_command;
    case HandlerId::Tar: return &tar_command;
    case HandlerId::Git: return &git_command;
    default: return nullptr;
    }
}

}  // namespace tw
