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
#include "commands/builtins/control.h"
#include "commands/registry/handlers.h"
#include "commands/registry/local_handlers.h"
#include "commands/text/layout_commands.h"
#include "commands/text/text_commands.h"
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
    default: return nullptr;
    }
}

ContinuingBuiltinHandler bound_continuing_builtin(HandlerId id) {
    switch (id) {
    case HandlerId::Eval: return &builtin_eval;
    case HandlerId::Source: return &builtin_source;
    default: return nullptr;
    }
}

NativeHandler bound_native(HandlerId id) {
    switch (id) {
    case HandlerId::Echo: return &echo_command;
    case HandlerId::Printf: return &printf_command;
    case HandlerId::Seq: return &seq_command;
    default: return nullptr;
    }
}

SuspendableNativeHandler bound_suspendable_native(HandlerId id) {
    switch (id) {
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
    default: return nullptr;
    }
}

}  // namespace tw
