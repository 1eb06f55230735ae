// Command and process substitution: each $( ) or backquote, <( ) and >( ) of a command runs in a
// child shell before the command's words are expanded.
#include "base/panic.h"
#include "kernel/machine.h"
#include "shell/exec_internal.h"

namespace tw::exec_detail {

bool start_simple_substitution(Exec& x, SimpleState& state) { return false; }
bool start_for_substitution(Exec& x, frame::ForWords& f) { return false; }
bool start_case_substitution(Exec& x, frame::CaseMatch& f) { return false; }
bool start_arith_substitution(Exec& x, frame::ArithStep& f) { return false; }

void resume(Exec& x, frame::AwaitCommandSubstitution& f) { unreachable("command substitution frame"); }
void resume(Exec& x, frame::AwaitProcessSubstitution& f) { unreachable("process substitution frame"); }
void resume(Exec& x, frame::RunOutputSubstitutions& f) { unreachable("output substitution frame"); }
void resume(Exec& x, frame::AwaitOutputSubstitution& f) { unreachable("output substitution frame"); }
void resume(Exec& x, frame::RemoveTempFiles& f) { remove_files(x.m, f.paths); }
void resume(Exec& x, frame::AwaitForSubstitution& f) { unreachable("for substitution frame"); }
void resume(Exec& x, frame::AwaitCaseSubstitution& f) { unreachable("case substitution frame"); }
void resume(Exec& x, frame::AwaitArithSubstitution& f) { unreachable("arithmetic substitution frame"); }

}  // namespace tw::exec_detail
