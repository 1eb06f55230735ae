// Pieces the python command and the interactive mode share: compiling a main source and the
// refusal of a feature the interpreter does not have.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "python/compiler/code.h"

namespace tw {
struct Machine;
}

namespace tw::py {

class Interpreter;

// The compiled main code, or why there is none: a status (137 for a refused charge) or the text
// of a syntax or compile error for python_unsupported.
struct MainCompileResult {
    std::optional<CodeObjectPtr> main;
    std::int32_t status = 0;
    std::optional<std::string> unsupported;
};

MainCompileResult compile_main_source(std::string_view source, Interpreter& in, Machine& machine);

// Records the label "python:REASON" and appends the refusal line to `err`.
void python_unsupported(Machine& machine, std::string_view reason, std::string& err);

// Gives back everything the interpreter charged to the memory budget.
void release_interpreter(Interpreter& in, Machine& machine);

}  // namespace tw::py
