// The command registry: the process-wide map from a command key (builtin name, native absolute
// path, or a native's base name) to how that command runs and what it costs. Built once on first
// use and read-only afterwards; every machine of the process shares it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

#include "command_table/table.h"

namespace tw {

// Defined by command dispatch.
struct BuiltinContext;
struct CommandIo;
struct NativeInvocation;
struct CommandOutcome;
// The process step result a suspendable native fills: finished with a status, or a request to
// suspend (block on input, yield).
struct NativeStep;

// Handler signatures, one per CommandKind. Arguments exclude argv[0].
using BuiltinHandler = std::int32_t (*)(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
using ContinuingBuiltinHandler = void (*)(CommandOutcome& outcome, BuiltinContext& context,
                                          std::span<const std::string> args, CommandIo& io);
using NativeHandler = std::int32_t (*)(NativeInvocation& invocation, CommandIo& io);
using SuspendableNativeHandler = void (*)(NativeStep& step, NativeInvocation& invocation, CommandIo& io);

// The alternative index equals the CommandKind value. The pointer is null while no command
// function is bound to the entry (see handlers.cpp); dispatch must check `has_handler`.
using CommandHandler =
    std::variant<BuiltinHandler, ContinuingBuiltinHandler, NativeHandler, SuspendableNativeHandler>;

struct CommandSpec {
    CommandKind kind;
    CommandHandler handler;
    std::uint64_t cost;    // work units charged before the handler runs
    std::uint64_t memory;  // bytes charged before the handler runs
    CommandTrust trust;

    bool has_handler() const;
    bool operator==(const CommandSpec&) const = default;
};

// What command launch needs to run a native found by absolute path.
struct NativeCommand {
    bool suspendable;  // SuspendableNative (else Native)
    CommandHandler handler;
    std::uint64_t cost;
    std::uint64_t memory;
    CommandTrust trust;

    bool operator==(const NativeCommand&) const = default;
};

class CommandRegistry {
public:
    // An empty registry; `instance()` is the one the system uses.
    CommandRegistry() = default;

    // The process-wide registry, built on the first call (thread-safe) and never freed.
    static const CommandRegistry& instance();

    // A fresh registry holding the whole command table with its bound handlers.
    static CommandRegistry build();

    // Exact, case-sensitive lookup of a name, absolute path or base name; null when absent.
    const CommandSpec* get(std::string_view key) const;

    // Only for a name starting with "/" that is registered as Native or SuspendableNative.
    std::optional<NativeCommand> native_for_path(std::string_view name) const;

    // Number of keys (a native counts under its path and its base name).
    std::size_t size() const { return map_.size(); }

    // Registration. Every key text must outlive the registry (the table's keys are static).
    // Builtins: cost 1000, memory 10240, one key per name.
    void register_builtins(std::span<const std::string_view> names, CommandTrust trust, BuiltinHandler handler);
    void register_builtins(std::initializer_list<std::string_view> names, CommandTrust trust,
                           BuiltinHandler handler) {
        register_builtins(std::span<const std::string_view>(names.begin(), names.size()), trust, handler);
    }
    void register_continuing_builtins(std::span<const std::string_view> names, CommandTrust trust,
                                      ContinuingBuiltinHandler handler);
    void register_continuing_builtins(std::initializer_list<std::string_view> names, CommandTrust trust,
                                      ContinuingBuiltinHandler handler) {
        register_continuing_builtins(std::span<const std::string_view>(names.begin(), names.size()), trust,
                                     handler);
    }
    // Builtins of trust unsupported with the shared "not implemented" handler.
    void register_unsupported(std::span<const std::string_view> names);
    void register_unsupported(std::initializer_list<std::string_view> names) {
        register_unsupported(std::span<const std::string_view>(names.begin(), names.size()));
    }
    // Natives, each filed under its absolute path and its base name.
    // SuspendableNative, cost 100, memory 10240.
    void register_native(std::string_view path, CommandTrust trust, SuspendableNativeHandler handler);
    void register_native_with_budget(std::string_view path, CommandTrust trust, SuspendableNativeHandler handler,
                                     std::uint64_t cost, std::uint64_t memory);
    // Native, cost 100, memory 10240.
    void register_plain_native(std::string_view path, CommandTrust trust, NativeHandler handler);
    // Native, memory 10240.
    void register_plain_native_with_cost(std::string_view path, CommandTrust trust, NativeHandler handler,
                                         std::uint64_t cost);
    // Files `spec` under `path` (which must start with "/" and not end with "/"; a path already
    // present panics with "duplicate native path: PATH"), then under the base name, silently
    // replacing an earlier entry of that key.
    void insert_native_path(std::string_view path, const CommandSpec& spec);

private:
    void insert_builtin(std::string_view name, const CommandSpec& spec);

    std::unordered_map<std::string_view, CommandSpec> map_;
};

}  // namespace tw
