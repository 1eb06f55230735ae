// The registry entries of the digest commands: each picks its algorithm.
#include "commands/text/checksum.h"

namespace tw {

void md5sum_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    checksum_command_run(step, invocation, "md5", io);
}
void sha1sum_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    checksum_command_run(step, invocation, "sha1", io);
}
void sha256sum_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    checksum_command_run(step, invocation, "sha256", io);
}
void sha512sum_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    checksum_command_run(step, invocation, "sha512", io);
}
void cksum_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    checksum_command_run(step, invocation, "crc32", io);
}

}  // namespace tw
