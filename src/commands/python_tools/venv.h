// The virtual-environment directory that `uv` and `python -m venv` lay out.
#pragma once

#include <string_view>

namespace tw {

struct Machine;

// Lays out DIR (relative to the active process's directory): DIR/bin/python and DIR/bin/pip
// (mode 0755) and DIR/bin/activate (0644), each only when no file is there yet; with
// `write_uv_lock` also uv.lock in the current directory when absent. Answers whether every
// directory and file exists afterwards (false on the first filesystem error).
bool create_venv_layout(Machine& m, std::string_view dir, bool write_uv_lock);

}  // namespace tw
