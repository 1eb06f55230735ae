// The digest commands md5sum, sha1sum, sha256sum, sha512sum and cksum: one engine that prints
// digests of files or of standard input, or checks a list of expected digests (-c).
#pragma once

#include <string>
#include <string_view>

#include "base/bytes.h"
#include "shell/command_io.h"

namespace tw {

// The body of the five commands; `algorithm` is "md5", "sha1", "sha256", "sha512" or "crc32".
// Messages begin with the algorithm word and "sum" (cksum writes "crc32sum: ...").
void checksum_command_run(NativeStep& step, NativeInvocation& invocation, std::string_view algorithm, CommandIo& io);

// The digest text of `data`: lower-case hexadecimal for the four digests; for "crc32" the
// CRC-32 (deflate form) and the byte count in decimal, one space apart; empty for any other word.
std::string checksum_digest_text(std::string_view algorithm, BytesView data);

void md5sum_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
void sha1sum_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
void sha256sum_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
void sha512sum_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
void cksum_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);

}  // namespace tw
