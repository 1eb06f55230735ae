#include "commands/builtins/directories.h"

#include <fmt/format.h>

#include <iterator>

#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "shell/command_io.h"
#include "shell/variables.h"

namespace tw {
namespace {

void no_such_directory(CommandIo& io, std::string_view name, std::string_view target) {
    fmt::format_to(std::back_inserter(io.err), "{}: {}: No such file or directory\n", name, target);
}

}  // namespace

bool change_directory(Machine& m, std::string_view target) {
    std::string previous = m.states.active().cwd;
    SyscallContext sys(m);
    // The reason of a failure is not shown: callers print their own message.
    if (!sys.chdir(target)) return false;
    ProcessState& state = m.states.active_mut();
    set_variable(state, "OLDPWD", std::move(previous));
    std::string now = state.cwd;
    set_variable(state, "PWD", std::move(now));
    return true;
}

void print_directory_stack(const Machine& m, bool one_per_line, Bytes& out) {
    const ProcessState& state = m.states.active();
    out += state.cwd;
    for (auto it = state.dir_stack.rbegin(); it != state.dir_stack.rend(); ++it) {
        out += one_per_line ? '\n' : ' ';
        out += *it;
    }
    out += '\n';
}

std::int32_t builtin_cd(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    Machine& m = context.machine;
    if (args.size() > 1) {
        io.err += "cd: too many arguments\n";
        return 1;
    }
    ProcessState& state = m.states.active_mut();
    const bool back = args.size() == 1 && args[0] == "-";
    std::string target;
    if (args.empty() || args[0] == "~") {
        target = lookup_parameter(state, "HOME").value_or("/");
    } else if (back) {
        target = lookup_parameter(state, "OLDPWD").value_or(state.cwd);
    } else {
        target = args[0];
    }
    if (!change_directory(m, target)) {
        no_such_directory(io, "cd", target);
        return 1;
    }
    if (back) {
        io.out += m.states.active().cwd;
        io.out += '\n';
    }
    return 0;
}

std::int32_t builtin_pushd(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    Machine& m = context.machine;
    if (args.size() > 1 || (args.size() == 1 && args[0].starts_with('-'))) {
        io.err += "pushd: usage: pushd [DIR]\n";
        return 2;
    }
    if (m.states.active().dir_stack.size() >= kMaxDirStack) {
        io.err += "pushd: directory stack limit exceeded\n";
        return 1;
    }
    std::string previous = m.states.active().cwd;
    std::string target;
    if (args.size() == 1) {
        target = args[0];
    } else {
        std::vector<std::string>& stack = m.states.active_mut().dir_stack;
        if (stack.empty()) {
            io.err += "pushd: no other directory\n";
            return 1;
        }
        target = std::move(stack.back());
        stack.pop_back();
    }
    if (!change_directory(m, target)) {
        // The operand-less form gives the entry back: the stack is as it was.
        if (args.empty()) m.states.active_mut().dir_stack.push_back(target);
        no_such_directory(io, "pushd", target);
        return 1;
    }
    m.states.active_mut().dir_stack.push_back(std::move(previous));
    print_directory_stack(m, false, io.out);
    return 0;
}

std::int32_t builtin_popd(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    Machine& m = context.machine;
    if (!args.empty()) {
        io.err += "popd: arguments are not supported\n";
        return 2;
    }
    std::vector<std::string>& stack = m.states.active_mut().dir_stack;
    if (stack.empty()) {
        io.err += "popd: directory stack empty\n";
        return 1;
    }
    std::string entry = std::move(stack.back());
    stack.pop_back();
    if (!change_directory(m, entry)) {
        no_such_directory(io, "popd", entry);
        m.states.active_mut().dir_stack.push_back(std::move(entry));
        return 1;
    }
    print_directory_stack(m, false, io.out);
    return 0;
}

std::int32_t builtin_dirs(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    Machine& m = context.machine;
    if (args.empty()) {
        print_directory_stack(m, false, io.out);
        return 0;
    }
    if (args.size() == 1 && args[0] == "-p") {
        print_directory_stack(m, true, io.out);
        return 0;
    }
    if (args.size() == 1 && args[0] == "-c") {
        m.states.active_mut().dir_stack.clear();
        return 0;
    }
    io.err += "dirs: only -c and -p are supported\n";
    return 2;
}

}  // namespace tw
