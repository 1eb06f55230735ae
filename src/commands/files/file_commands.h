// The file commands of this library, as registry handlers, and the pieces they share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "shell/command_io.h"

namespace tw {

// `dd [if=PATH] [of=PATH] [bs=|ibs=|obs=SIZE] [count=|skip=|seek=N] [conv=notrunc] [status=none|noxfer]`
void dd_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);

// `ls [-1ARadl] [PATH...]`: one entry per line, or the fixed long layout with -l.
std::int32_t ls_command(NativeInvocation& invocation, CommandIo& io);

// `mkdir [-p] DIR...`, `rmdir DIR...`, `rm [-rRf] PATH...`, `touch PATH...`
std::int32_t mkdir_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t rmdir_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t rm_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t touch_command(NativeInvocation& invocation, CommandIo& io);

// `cp [-rRapf] SOURCE... DEST`, `mv [-f] SOURCE... DEST`, `ln -s [-f] TARGET LINK`
std::int32_t cp_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t mv_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t ln_command(NativeInvocation& invocation, CommandIo& io);

// `chmod [-R] MODE PATH...`; `chown [-R] OWNER[:GROUP] PATH...` and `chgrp [-R] GROUP PATH...`
// (one handler that tells them apart by the name it was run as).
std::int32_t chmod_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t chown_command(NativeInvocation& invocation, CommandIo& io);

// An octal ("755") or symbolic ("u+x,go-w", "a=r") mode applied to `current`. Octal texts
// replace the mode (masked to 0o7777); symbolic clauses change it in order, never consulting
// the umask; a text of neither form leaves it unchanged.
std::uint32_t apply_mode(std::string_view text, std::uint32_t current);

// `stat [-L] [-c FORMAT] PATH...`, `file PATH...`
std::int32_t stat_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t file_command(NativeInvocation& invocation, CommandIo& io);

// `du [-abchks] [-d N] [--max-depth=N] [PATH...]`
std::int32_t du_command(NativeInvocation& invocation, CommandIo& io);

enum class DuUnit : std::uint8_t { Kib, Bytes, Human };
// A size as du prints it: whole KiB rounded up, bytes, or the short human form ("1.5K", "10M").
std::string format_du_size(std::uint64_t bytes, DuUnit unit);

// `tree [-a] [-L LEVEL] [PATH]`
std::int32_t tree_command(NativeInvocation& invocation, CommandIo& io);

// `realpath [-m] PATH...`, `readlink [-f] PATH...`, `basename NAME [SUFFIX]`, `dirname NAME`,
// `mktemp [-d] [TEMPLATE]`
std::int32_t realpath_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t readlink_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t basename_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t dirname_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t mktemp_command(NativeInvocation& invocation, CommandIo& io);

// `install [-D] [-m MODE] SOURCE... DEST`, `install -d [-m MODE] DIR...`;
// `truncate [-c] -s [+|-]SIZE[K|M|G|KB|MB|GB|KiB|MiB|GiB] FILE...`
std::int32_t install_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t truncate_command(NativeInvocation& invocation, CommandIo& io);

}  // namespace tw
