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
#include "commands/search/search_commands.h"
#include "commands/sed/sed_command.h"
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
    default: return nullptr;
    }
}

SuspendableNativeHandler bound_suspendable_native(HandlerId id) {
    switch (id) {
    case HandlerId::Sed: return &sed_command;
    case HandlerId::Grep: return &grep_command;
    case HandlerId::Egrep: return &egrep_command;
    case HandlerId::Fgrep: return &fgrep_command;
    case HandlerId::Rg: return &rg_command;
    default: return nullptr;
    }
}

}  // namespace tw
