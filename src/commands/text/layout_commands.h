// The line and layout tools: rev, nl, seq, paste, comm, join, split, shuf, tsort, fold, fmt,
// expand, unexpand, column and sort, as registry handlers. All but seq may suspend while their
// standard input is still arriving.
#pragma once

#include <cstdint>

#include "shell/command_io.h"

namespace tw {

// `seq [FIRST [INCREMENT]] LAST`
std::int32_t seq_command(NativeInvocation& invocation, CommandIo& io);

// `rev [FILE...]`
void rev_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `nl [FILE...]`
void nl_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `paste [-d DELIM] [FILE...]`
void paste_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `comm [-123] FILE1 FILE2`
void comm_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `join [-t CHAR] [-1 FIELD] [-2 FIELD] [-a FILENUM] FILE1 FILE2`
void join_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `split [-l LINES | -b BYTES] [INPUT [PREFIX]]`
void split_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `shuf [-n COUNT] [FILE]`
void shuf_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `tsort [FILE]`
void tsort_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `fold [-w WIDTH] [FILE...]`
void fold_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `fmt [-w WIDTH] [FILE...]`
void fmt_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `expand [-t SIZE] [FILE...]`
void expand_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `unexpand [-a] [-t SIZE] [FILE...]`
void unexpand_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `column [-t] [-s CHAR] [FILE...]`
void column_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `sort [-nrufz] [-k KEY] [-t CHAR] [-o FILE] [FILE...]`
void sort_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);

}  // namespace tw
