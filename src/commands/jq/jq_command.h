// The jq command: options, named arguments, reading the inputs, evaluating the filter on all of
// them and writing the results only once every input has been evaluated without error.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"
#include "commands/jq/eval.h"
#include "shell/command_io.h"

namespace tw {

// `jq [-rcnse] [--indent N] [--arg NAME VALUE] [--argjson NAME JSON] FILTER [FILE...]`
void jq_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);

// The arguments left for the option parser, with the variables that --arg and --argjson define
// before a "--"; or the message of a malformed definition.
struct JqNamedArgs {
    std::vector<std::string> rest;
    JqVariables variables;
};
Result<JqNamedArgs, std::string> jq_parse_named_args(std::span<const std::string> args);

// Appends every JSON value of the bytes (a sequence separated by optional white space) to `list`;
// the reader's failure stops at the first error. `meter` is charged as the values are built.
Result<void, JsonReadFailure> jq_parse_inputs(std::string_view bytes, std::vector<JsonValue>& list,
                                              const JsonReadMeter* meter = nullptr);

}  // namespace tw
