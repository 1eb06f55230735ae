#include "shell/command_io.h"

#include "kernel/machine.h"
#include "kernel/syscalls.h"

namespace tw {

std::vector<std::string> NativeInvocation::env() const { return sys.environment(); }

std::optional<std::string_view> NativeInvocation::env_value(std::string_view name) const {
    const ProcessState& state = sys.machine().states.active();
    auto exported = state.exported_names.find(std::string(name));
    if (exported == state.exported_names.end()) return std::nullopt;
    auto value = state.variables.find(*exported);
    if (value == state.variables.end()) return std::nullopt;
    return std::string_view(value->second);
}

}  // namespace tw
