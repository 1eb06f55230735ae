#include "commands/registry/registry.h"

#include <fmt/format.h>

#include "base/panic.h"
#include "commands/registry/handlers.h"

namespace tw {
bool CommandSpec::has_handler() const {
    return std::visit([](auto fn) { return fn != nullptr; }, handler);
}

const CommandRegistry& CommandRegistry::instance() {
    // Function-local statics are initialised exactly once; a concurrent first call waits.
    static const CommandRegistry registry = build();
    return registry;
}

CommandRegistry CommandRegistry::build() {
    CommandRegistry registry;
    registry.map_.reserve(2 * command_table().size());
    for (const CommandRow& row : command_table()) {
        const std::string_view names[] = {row.key};
        switch (row.kind) {
        case CommandKind::Builtin:
            if (row.trust == CommandTrust::Unsupported)
                registry.register_unsupported(names);
            else
                registry.register_builtins(names, row.trust, bound_builtin(row.handler));
            break;
        case CommandKind::ContinuingBuiltin:
            registry.register_continuing_builtins(names, row.trust, bound_continuing_builtin(row.handler));
            break;
        case CommandKind::Native:
            if (row.cost == kNativeCost)
                registry.register_plain_native(row.key, row.trust, bound_native(row.handler));
            else
                registry.register_plain_native_with_cost(row.key, row.trust, bound_native(row.handler), row.cost);
            break;
        case CommandKind::SuspendableNative:
            if (row.cost == kNativeCost && row.memory == kCommandMemory)
                registry.register_native(row.key, row.trust, bound_suspendable_native(row.handler));
            else
                registry.register_native_with_budget(row.key, row.trust, bound_suspendable_native(row.handler),
                                                     row.cost, row.memory);
            break;
        }
    }
    return registry;
}

const CommandSpec* CommandRegistry::get(std::string_view key) const {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : &it->second;
}

std::optional<NativeCommand> CommandRegistry::native_for_path(std::string_view name) const {
    if (!name.starts_with('/')) return std::nullopt;
    const CommandSpec* spec = get(name);
    if (spec == nullptr) return std::nullopt;
    switch (spec->kind) {
    case CommandKind::Native:
    case CommandKind::SuspendableNative:
        return NativeCommand{spec->kind == CommandKind::SuspendableNative, spec->handler, spec->cost, spec->memory,
                             spec->trust};
    case CommandKind::Builtin:
    case CommandKind::ContinuingBuiltin: break;
    }
    return std::nullopt;
}

void CommandRegistry::insert_builtin(std::string_view name, const CommandSpec& spec) {
    map_.insert_or_assign(name, spec);
}

void CommandRegistry::register_builtins(std::span<const std::string_view> names, CommandTrust trust,
                                        BuiltinHandler handler) {
    const CommandSpec spec{CommandKind::Builtin, handler, kBuiltinCost, kCommandMemory, trust};
    for (std::string_view name : names) insert_builtin(name, spec);
}

void CommandRegistry::register_continuing_builtins(std::span<const std::string_view> names, CommandTrust trust,
                                                   ContinuingBuiltinHandler handler) {
    const CommandSpec spec{CommandKind::ContinuingBuiltin, handler, kBuiltinCost, kCommandMemory, trust};
    for (std::string_view name : names) insert_builtin(name, spec);
}

void CommandRegistry::register_unsupported(std::span<const std::string_view> names) {
    register_builtins(names, CommandTrust::Unsupported, bound_builtin(HandlerId::Unsupported));
}

void CommandRegistry::register_native(std::string_view path, CommandTrust trust, SuspendableNativeHandler handler) {
    register_native_with_budget(path, trust, handler, kNativeCost, kCommandMemory);
}

void CommandRegistry::register_native_with_budget(std::string_view path, CommandTrust trust,
                                                  SuspendableNativeHandler handler, std::uint64_t cost,
                                                  std::uint64_t memory) {
    insert_native_path(path, CommandSpec{CommandKind::SuspendableNative, handler, cost, memory, trust});
}

void CommandRegistry::register_plain_native(std::string_view path, CommandTrust trust, NativeHandler handler) {
    register_plain_native_with_cost(path, trust, handler, kNativeCost);
}

void CommandRegistry::register_plain_native_with_cost(std::string_view path, CommandTrust trust,
                                                      NativeHandler handler, std::uint64_t cost) {
    insert_native_path(path, CommandSpec{CommandKind::Native, handler, cost, kCommandMemory, trust});
}

void CommandRegistry::insert_native_path(std::string_view path, const CommandSpec& spec) {
    expect(path.starts_with('/'), fmt::format("native path is not absolute: {}", path));
    expect(!path.ends_with('/'), fmt::format("native path ends with a slash: {}", path));
    const std::string_view base = path.substr(path.rfind('/') + 1);
    expect(!base.empty(), "executable has basename");
    if (!map_.try_emplace(path, spec).second) panic(fmt::format("duplicate native path: {}", path));
    map_.insert_or_assign(base, spec);
}

}  // namespace tw
