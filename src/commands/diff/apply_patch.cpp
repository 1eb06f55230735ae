// apply_patch: the patch engine with one leading component stripped and at most one operand.
#include "commands/diff/diff_commands.h"

namespace tw {

void apply_patch_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    step = patch_command_step(invocation, io, true);
}

}  // namespace tw
