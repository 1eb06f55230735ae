// The project and environment launcher `uv` (and `uvx`): a minimal pyproject.toml, packages
// recorded through the installer, a virtual-environment layout, and launching python or pytest
// with extra packages.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"

namespace tw {

struct Machine;
struct BuiltinContext;
struct CommandIo;

// "3.11" to "3.14", optionally after "python".
bool is_modeled_python_selector(std::string_view text);

// The dependency specifiers a pyproject.toml text lists under its `dependencies` key, in order.
std::vector<std::string> pyproject_dependency_entries(std::string_view text);

// The whole command; `invoked` is "uv" or "uvx".
std::int32_t uv_command_run(Machine& m, std::string_view invoked, std::span<const std::string> args, CommandIo& io);

// The registry handler of `uv` and `uvx`.
std::int32_t uv_builtin(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);

}  // namespace tw
