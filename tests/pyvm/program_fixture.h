// Runs a Python program as __main__ in a fresh machine and collects what it printed and its
// status, as the `python` command would.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "host_python.h"
#include "kernel/machine.h"
#include "python/vm/compile.h"
#include "python/vm/run_main.h"

namespace tw::py {

struct ProgramRun {
    std::string out, err;
    int status = 0;
    std::string message;  // a failure that is no Python exception
    std::uint64_t cpu = 0;
};

// Runs the program on a machine and interpreter the caller prepared (files, sys.modules).
inline ProgramRun run_program_on(Machine& machine, Interpreter& in, std::string_view source,
                                 std::vector<std::string> argv = {"-c"}, std::string_view stdin_bytes = {}) {
    ProgramRun run;
    auto compiled = compile_module_source(in.heap, machine.meter, source);
    if (!compiled || !*compiled) {
        run.status = -1;
        run.message = "compile failed";
        return run;
    }
    std::uint64_t before = machine.meter.cpu_used();
    for (;;) {
        MainModuleStep step =
            run_main_module(in, **compiled, machine, argv, stdin_bytes, {}, run.out, run.err);
        if (step.kind == MainModuleStep::Kind::NotFinished) continue;
        if (step.kind == MainModuleStep::Kind::Blocked) {
            run.status = -2;
            break;
        }
        switch (step.exit.kind) {
            case MainModuleExit::Kind::Success: run.status = 0; break;
            case MainModuleExit::Kind::Status: run.status = step.exit.status; break;
            case MainModuleExit::Kind::Message:
                run.status = 2;
                run.message = step.exit.message;
                break;
        }
        break;
    }
    run.cpu = machine.meter.cpu_used() - before;
    return run;
}

inline ProgramRun run_program(std::string_view source, std::uint64_t cpu = 50'000'000,
                              std::vector<std::string> argv = {"-c"}, std::string_view stdin_bytes = {}) {
    Machine machine = Machine::build({.cpu = cpu, .memory = 256 << 20, .disk = 1 << 20, .output = 1 << 20});
    Interpreter in;
    return run_program_on(machine, in, source, std::move(argv), stdin_bytes);
}

}  // namespace tw::py
