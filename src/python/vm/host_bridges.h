// The interpreter's bridges to the machine: budget charges that fail as Python errors, the text
// reader of the virtual filesystem (UTF-8, at most 4 MiB) and filesystem errors as Python errors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kernel/vfs.h"
#include "python/heap/error.h"

namespace tw {
struct Machine;
}

namespace tw::py {

inline constexpr std::uint64_t kTextFileLimit = 4u << 20;

// "Python CPU limit exceeded" / "Python memory limit exceeded" (Resource) when refused; the
// charges are not given back.
PyStatus python_charge_cpu(Machine& machine, std::uint64_t units);
PyStatus python_charge_memory(Machine& machine, std::uint64_t bytes);

// The whole file as text, the path taken from the active process's current directory: the
// filesystem's errors as OSError, "text file exceeds the 4 MiB limit" (Resource), RuntimeError
// "file is not UTF-8: {path}". The size is charged as memory and as work before the read.
PyResult<std::string> vfs_read_text(Machine& machine, std::string_view path);

// OSError with the kind's errno, description and path; NoSpace and TooLarge are Resource errors
// with the filesystem's own text.
PyError vfs_error_to_os_error(VfsError error);
PyError vfs_error_to_py_error(const VfsError& error);

template <class T>
PyResult<T> vfs_result_into_py(Result<T, VfsError> r) {
    if (!r) return fail(vfs_error_to_os_error(std::move(r.error())));
    return std::move(*r);
}
inline PyStatus vfs_unit_result_into_py(Result<void, VfsError> r) {
    if (!r) return fail(vfs_error_to_os_error(std::move(r.error())));
    return {};
}

}  // namespace tw::py
