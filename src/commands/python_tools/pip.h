// The package installer. Every importable package is built into the system, so installing only
// checks the requested names against the bundled ones and records them in the machine's set of
// installed packages; nothing is fetched or written. `pip`, `uv pip install`, `uv add` and
// `python -m pip` share these routines.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"

namespace tw {

struct Machine;
struct BuiltinContext;
struct CommandIo;

// The packages the system provides, as normalized names.
inline constexpr std::string_view kBundledPackages[] = {"numpy", "pytest", "pytest_json_ctrf"};
// The version reported for every installed package.
inline constexpr std::string_view kBundledPackageVersion = "0.0.0";

struct PipInstallRequest {
    // Normalized names: the operands' first, then each requirements file's in option order.
    std::vector<std::string> names;
    // The operands exactly as typed (`uv add` writes these into pyproject.toml).
    std::vector<std::string> specs;
};

// Surrounding white space removed, lower-cased, every "-" made "_".
std::string normalize_package_name(std::string_view text);

// The normalized name a specifier names (the text before any version constraint, extra or
// marker), without checking that it is bundled; empty when it names none.
std::string package_spec_name(std::string_view spec);

// The normalized names of the specifiers, each checked to be a bundled package; the first
// refusal's message otherwise.
Result<std::vector<std::string>, std::string> parse_package_specs(std::span<const std::string> specs);

// The names a requirements file lists (one specifier a line, "#" comments); `path` is taken
// relative to the active process's directory.
Result<std::vector<std::string>, std::string> read_requirements_file(Machine& m, std::string_view path);

// Parses install arguments; `launcher` accepts the uv-only option too.
Result<PipInstallRequest, std::string> parse_pip_install_args(Machine& m, std::span<const std::string> args,
                                                              bool launcher);

// Adds the names (trimmed, empty ones skipped) to the installed set.
void record_installed_packages(Machine& m, std::span<const std::string> names);

// `pip install ARGS`: parses and records; the message (without prefix) of the first error.
Result<void, std::string> pip_install(Machine& m, std::span<const std::string> args);

// The whole pip command over the arguments after "pip"; answers the exit status.
std::int32_t pip_command_run(Machine& m, std::span<const std::string> args, Bytes& out, Bytes& err);

// The registry handler of `pip` and `pip3`.
std::int32_t pip_builtin(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);

}  // namespace tw
