#include "python/vm/host_bridges.h"

#include "base/utf8.h"
#include "kernel/machine.h"

namespace tw::py {

PyStatus python_charge_cpu(Machine& machine, std::uint64_t units) {
    if (!machine.meter.charge_cpu(units)) return fail(PyError::resource("Python CPU limit exceeded"));
    return {};
}

PyStatus python_charge_memory(Machine& machine, std::uint64_t bytes) {
    if (!machine.meter.charge_memory(bytes)) return fail(PyError::resource("Python memory limit exceeded"));
    return {};
}

PyResult<std::string> vfs_read_text(Machine& machine, std::string_view path) {
    const std::string cwd = machine.states.active().cwd;
    auto size = machine.file_size_at(cwd, path);
    if (!size) return fail(vfs_error_to_os_error(std::move(size.error())));
    if (*size > kTextFileLimit) return fail(PyError::resource("text file exceeds the 4 MiB limit"));
    if (auto r = python_charge_memory(machine, *size); !r) return fail(std::move(r.error()));
    if (auto r = python_charge_cpu(machine, *size); !r) return fail(std::move(r.error()));
    auto bytes = machine.read_file_limited(cwd, path, kTextFileLimit);
    if (!bytes) return fail(vfs_error_to_os_error(std::move(bytes.error())));
    if (!utf8_valid(*bytes)) return fail(PyError::runtime_error("file is not UTF-8: " + std::string(path)));
    return std::move(*bytes);
}

PyError vfs_error_to_os_error(VfsError error) {
    using K = VfsError::Kind;
    std::int32_t errno_value = 0;
    switch (error.kind) {
        case K::NotFound: errno_value = 2; break;
        case K::NotADir: errno_value = 20; break;
        case K::IsADir: errno_value = 21; break;
        case K::NotEmpty: errno_value = 39; break;
        case K::Exists: errno_value = 17; break;
        case K::Loop: errno_value = 40; break;
        case K::Invalid: errno_value = 22; break;
        case K::NameTooLong: errno_value = 36; break;
        case K::ReadOnly: errno_value = 30; break;
        case K::NoSpace:
        case K::TooLarge: return PyError::resource(error.to_message());
    }
    return PyError::os_error(errno_value, std::string(VfsError::description(error.kind)), std::move(error.path));
}

PyError vfs_error_to_py_error(const VfsError& error) { return vfs_error_to_os_error(error); }

}  // namespace tw::py
