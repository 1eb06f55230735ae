// The line tools: tac, tail, printenv, envsubst, tr, uniq, cut and wc. The digest commands live in
// checksum.h; the text helpers they share in commands/util/text.h.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "shell/command_io.h"

namespace tw {

// `tac [FILE...]`: lines from last to first.
void tac_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `tail [-n N|-c N|-N|+N] [FILE...]`.
void tail_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `printenv [NAME...]` (runs to completion).
std::int32_t printenv_command(NativeInvocation& invocation, CommandIo& io);
// `envsubst`: $NAME and ${NAME} of standard input replaced by exported values.
void envsubst_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `tr [-cds] SET1 [SET2]`.
void tr_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `uniq [-cdiu] [-f N] [-s N] [FILE]`.
void uniq_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `cut -f LIST [-d C] [-s] | -c LIST | -b LIST [FILE...]`.
void cut_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `wc [-clmw] [FILE...]`.
void wc_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);

// The set of `tr` after class replacement, escapes and ranges, as characters in order.
std::u32string tr_expand_set(std::string_view operand);

// The exported environment as a map from name to value.
std::map<std::string, std::string, std::less<>> exported_environment(const NativeInvocation& invocation);

}  // namespace tw
