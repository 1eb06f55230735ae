// The builtins of input and option parsing: read, mapfile (also readarray), getopts and let.
// They run to completion inside dispatch: read takes the bytes already available to it and
// mapfile the input handed over with the call.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace tw {

struct BuiltinContext;
struct CommandIo;

// The options of one `read` call.
struct ReadOptions {
    std::vector<std::string> names;
    std::optional<std::string> array_name;
    bool raw = false;
    char delimiter = '\n';
    bool operator==(const ReadOptions&) const = default;
};

// Parses the arguments of `read` (without the command name); the error is the line to print.
Result<ReadOptions, std::string> builtin_read_parse(std::span<const std::string> args);

// Splits `text` into fields by `ifs` as word expansion does: runs of IFS white space separate
// fields and are dropped at both ends; every other IFS character ends a field.
std::vector<std::string> split_read_fields(std::string_view text, std::string_view ifs);

std::int32_t builtin_read(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
// mapfile and readarray.
std::int32_t builtin_mapfile(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_getopts(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_let(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);

}  // namespace tw
