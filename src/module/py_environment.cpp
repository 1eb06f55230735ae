// The NativeEnvironment class: one machine per Python object. Every method converts its
// arguments with the interpreter lock held, then releases it, takes the object's lock, runs its
// body on the worker thread, and converts the result once the interpreter lock is back.
#include <memory>

#include "harness/action.h"
#include "kernel/machine.h"
#include "module/environment.h"
#include "module/host_import.h"
#include "module/py_cell.h"
#include "module/transfer.h"

namespace tw::py {
namespace {

constexpr std::string_view kPoisoned = "tarnwick environment lock is poisoned";

struct EnvironmentCell {
    PoisonableMutex lock;
    Machine machine;
};

struct EnvironmentObject {
    PyObject_HEAD
    EnvironmentCell* cell;
};

EnvironmentCell& cell_of(PyObject* self) { return *reinterpret_cast<EnvironmentObject*>(self)->cell; }

// The call path: the worker runs `body` on the machine under the object's lock.
template <typename T, typename Body>
Result<T, std::string> call_machine(PyObject* self, Body&& body) {
    EnvironmentCell& cell = cell_of(self);
    return call_locked<T>(self, cell.lock, kPoisoned, [&] { return body(cell.machine); });
}

PyObject* run_tuple(const Result<HostRunResult, std::string>& result) {
    if (!result) return raise_simulation_error(result.error());
    PyObject* metadata = new_str(result->metadata);
    PyObject* out = metadata != nullptr ? new_bytes(result->out) : nullptr;
    PyObject* err = out != nullptr ? new_bytes(result->err) : nullptr;
    PyObject* tuple = err != nullptr ? PyTuple_Pack(3, metadata, out, err) : nullptr;
    Py_XDECREF(metadata);
    Py_XDECREF(out);
    Py_XDECREF(err);
    return tuple;
}

// ---- constructor and destructor ----

PyObject* environment_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeEnvironment.__new__", {"cpu", "memory", "disk", "output", "real_time"}, 4};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        MachineLimits limits;
        if (!to_limits(a, limits)) return nullptr;
        bool real_time = false;
        if (a[4] != nullptr) {
            std::optional<bool> flag = to_bool(a[4], "real_time");
            if (!flag) return nullptr;
            real_time = *flag;
        }
        auto cell = std::make_unique<EnvironmentCell>();
        cell->machine = Machine::create(limits, real_time);
        return alloc_with_cell<EnvironmentObject>(type, std::move(cell));
    });
}

void environment_dealloc(PyObject* self) { dealloc_cell<EnvironmentObject>(self); }

// ---- methods ----

PyObject* environment_run(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeEnvironment.run", {"source", "stdin"}, 2};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::string> source = to_text(a[0], "source");
        if (!source) return nullptr;
        std::optional<Bytes> input = to_bytes(a[1], "stdin");
        if (!input) return nullptr;
        return run_tuple(call_machine<HostRunResult>(self, [&](Machine& machine) -> Result<HostRunResult, std::string> {
            return host_run(machine, *source, *input);
        }));
    });
}

PyObject* environment_create_shell(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Result<Pid, std::string> pid = call_machine<Pid>(self, [](Machine& machine) { return create_shell_session(machine); });
        if (!pid) return raise_simulation_error(pid.error());
        return PyLong_FromUnsignedLong(*pid);
    });
}

PyObject* environment_run_shell(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeEnvironment.run_shell", {"pid", "source", "stdin"}, 3};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::uint32_t> pid = to_u32(a[0], "pid");
        if (!pid) return nullptr;
        std::optional<std::string> source = to_text(a[1], "source");
        if (!source) return nullptr;
        std::optional<Bytes> input = to_bytes(a[2], "stdin");
        if (!input) return nullptr;
        return run_tuple(call_machine<HostRunResult>(
            self, [&](Machine& machine) { return run_shell_session(machine, *pid, *source, *input); }));
    });
}

PyObject* environment_run_python(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeEnvironment.run_python", {"source", "argv", "stdin"}, 3};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::string> source = to_text(a[0], "source");
        if (!source) return nullptr;
        // The words of one command line: as many as a command may have.
        constexpr std::size_t kMaxPythonArgs = 65536;
        std::optional<std::vector<std::string>> argv = to_text_list(a[1], "argv", kMaxPythonArgs + 1);
        if (!argv) return nullptr;
        if (argv->size() > kMaxPythonArgs) return raise_simulation_error("argv has too many entries");
        std::optional<Bytes> input = to_bytes(a[2], "stdin");
        if (!input) return nullptr;
        return run_tuple(call_machine<HostRunResult>(self, [&](Machine& machine) -> Result<HostRunResult, std::string> {
            return host_run_python(machine, *source, *argv, *input);
        }));
    });
}

PyObject* environment_write_file(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeEnvironment.write_file", {"path", "data", "mode"}, 3};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::string> path = to_text(a[0], "path");
        if (!path) return nullptr;
        std::optional<Bytes> data = to_bytes(a[1], "data");
        if (!data) return nullptr;
        std::optional<std::uint32_t> mode = to_u32(a[2], "mode");
        if (!mode) return nullptr;
        return none_or_error(call_machine<void>(self, [&](Machine& machine) {
            return with_error_text(environment_write_file(machine, *path, std::move(*data), *mode));
        }));
    });
}

PyObject* environment_read_file(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeEnvironment.read_file", {"path"}, 1};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::string> path = to_text(a[0], "path");
        if (!path) return nullptr;
        return bytes_or_error(call_machine<Bytes>(
            self, [&](Machine& machine) { return with_error_text(environment_read_file(machine, *path)); }));
    });
}

PyObject* environment_mkdir(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeEnvironment.mkdir", {"path", "parents"}, 2};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::string> path = to_text(a[0], "path");
        if (!path) return nullptr;
        std::optional<bool> parents = to_bool(a[1], "parents");
        if (!parents) return nullptr;
        return none_or_error(call_machine<void>(
            self, [&](Machine& machine) { return with_error_text(environment_mkdir(machine, *path, *parents)); }));
    });
}

PyObject* environment_route_http(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{
            "NativeEnvironment.route_http", {"pattern", "method", "status", "headers", "body"}, 5};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        HttpRoute route;
        std::optional<std::string> pattern = to_text(a[0], "pattern");
        if (!pattern) return nullptr;
        std::optional<std::optional<std::string>> method = to_optional_text(a[1], "method");
        if (!method) return nullptr;
        std::optional<std::uint16_t> status = to_u16(a[2], "status");
        if (!status) return nullptr;
        std::optional<HttpHeaders> headers = to_headers(a[3], "headers");
        if (!headers) return nullptr;
        std::optional<Bytes> body = to_bytes(a[4], "body");
        if (!body) return nullptr;
        route.pattern = std::move(*pattern);
        route.method = std::move(*method);
        route.status = *status;
        route.headers = std::move(*headers);
        route.body = std::move(*body);
        return none_or_error(call_machine<void>(
            self, [&](Machine& machine) { return register_http_route(machine, std::move(route)); }));
    });
}

PyObject* environment_mount(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeEnvironment.mount", {"host_root", "destination_root"}, 2};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::string> host_root = to_text(a[0], "host_root");
        if (!host_root) return nullptr;
        std::optional<std::string> destination = to_text(a[1], "destination_root");
        if (!destination) return nullptr;
        Result<std::string, std::string> json = call_machine<std::string>(
            self, [&](Machine& machine) { return mount_host_tree(machine, *host_root, *destination); });
        if (!json) return raise_simulation_error(json.error());
        return new_str(*json);
    });
}

PyObject* environment_mount_package_tree(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{
            "NativeEnvironment.mount_package_tree", {"host_root", "destination_root", "replace_builtin_tools"}, 1};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::string> host_root = to_text(a[0], "host_root");
        if (!host_root) return nullptr;
        std::optional<std::string> destination = std::string("/");
        if (a[1] != nullptr) destination = to_text(a[1], "destination_root");
        if (!destination) return nullptr;
        std::optional<std::vector<std::string>> tools = std::vector<std::string>();
        if (a[2] != nullptr) tools = to_text_list(a[2], "replace_builtin_tools", kReplaceableToolsBound + 1);
        if (!tools) return nullptr;
        using Outcome = std::optional<HostImportError>;
        Result<Outcome, std::string> outcome = call_machine<Outcome>(self, [&](Machine& machine) -> Result<Outcome, std::string> {
            auto r = mount_package_tree(machine, *host_root, *destination, *tools);
            return r ? Outcome() : Outcome(std::move(r.error()));
        });
        if (!outcome) return raise_simulation_error(outcome.error());
        if (!*outcome) Py_RETURN_NONE;
        const HostImportError& error = **outcome;
        if (error.kind == HostImportError::Kind::Conflict) return raise_package_conflict(error.message);
        return raise_simulation_error(error.message);
    });
}

// The property runs on the calling thread with the interpreter lock held: it only waits for the
// object's lock, which no holder keeps while it needs the interpreter lock.
PyObject* environment_terminated(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        EnvironmentCell& cell = cell_of(self);
        std::optional<PoisonableMutex::Guard> guard = cell.lock.lock();
        if (!guard) return raise_simulation_error(kPoisoned);
        return PyBool_FromLong(machine_terminated(cell.machine) ? 1 : 0);
    });
}

#define TW_KEYWORDS(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef environment_methods[] = {
    {"run", TW_KEYWORDS(environment_run), METH_VARARGS | METH_KEYWORDS,
     "run($self, source, stdin)\n--\n\n"
     "Execute one shell action and return JSON metadata plus byte-preserving output streams."},
    {"create_shell", environment_create_shell, METH_NOARGS,
     "create_shell($self)\n--\n\nCreate an idle shell with its own process state over the shared virtual machine."},
    {"run_shell", TW_KEYWORDS(environment_run_shell), METH_VARARGS | METH_KEYWORDS,
     "run_shell($self, pid, source, stdin)\n--\n\nExecute one action in a selected persistent shell session."},
    {"run_python", TW_KEYWORDS(environment_run_python), METH_VARARGS | METH_KEYWORDS,
     "run_python($self, source, argv, stdin)\n--\n\nExecute Python source directly without passing it through the shell parser."},
    {"write_file", TW_KEYWORDS(environment_write_file), METH_VARARGS | METH_KEYWORDS,
     "write_file($self, path, data, mode)\n--\n\nWrite one byte string into the simulated filesystem."},
    {"read_file", TW_KEYWORDS(environment_read_file), METH_VARARGS | METH_KEYWORDS,
     "read_file($self, path)\n--\n\nRead one simulated file as exact bytes."},
    {"mkdir", TW_KEYWORDS(environment_mkdir), METH_VARARGS | METH_KEYWORDS,
     "mkdir($self, path, parents)\n--\n\nCreate a directory in the simulated filesystem."},
    {"mount", TW_KEYWORDS(environment_mount), METH_VARARGS | METH_KEYWORDS,
     "mount($self, host_root, destination_root)\n--\n\n"
     "Import one explicitly selected trusted host tree into the simulated filesystem."},
    {"mount_package_tree", TW_KEYWORDS(environment_mount_package_tree), METH_VARARGS | METH_KEYWORDS,
     "mount_package_tree($self, host_root, destination_root=..., replace_builtin_tools=...)\n--\n\n"
     "Import a verified package staging tree exactly, including its `.venv` directory."},
    {"route_http", TW_KEYWORDS(environment_route_http), METH_VARARGS | METH_KEYWORDS,
     "route_http($self, pattern, method, status, headers, body)\n--\n\n"
     "Register one static response in the simulated HTTP broker."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef environment_getset[] = {
    {"terminated", environment_terminated, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot environment_slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeEnvironment(cpu, memory, disk, output, real_time=False)\n--\n\n"
                                  "One persistent simulated machine owned by Python.")},
    {Py_tp_new, reinterpret_cast<void*>(environment_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(environment_dealloc)},
    {Py_tp_methods, environment_methods},
    {Py_tp_getset, environment_getset},
    {0, nullptr},
};

PyType_Spec environment_spec = {
    "tarnwick._native.NativeEnvironment",
    static_cast<int>(sizeof(EnvironmentObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    environment_slots,
};

PyObject* g_environment_type = nullptr;

}  // namespace

PyObject* environment_type() { return cached_type(g_environment_type, environment_spec, "NativeEnvironment"); }

}  // namespace tw::py
