// How the package tools start Python work: `uv run` / `uvx` run a Python command line or the
// test command to completion inside the calling command, and `pytest` is the test command's own
// entry.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "base/bytes.h"

namespace tw {

struct Machine;
struct BuiltinContext;
struct CommandIo;

// Runs the Python command line `argv` (argv[0] is the command name) to completion with `input`
// as its standard input, appending its output to `out` and `err`; answers its exit status.
std::int32_t run_python_tool(Machine& m, std::span<const std::string> argv, Bytes input, Bytes& out, Bytes& err);

// Runs the test command over `args` (the arguments after its name); answers its exit status.
std::int32_t run_pytest_tool(Machine& m, std::span<const std::string> args, Bytes& out, Bytes& err);

// The registry handler of `pytest`.
std::int32_t pytest_builtin(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);

}  // namespace tw
