// The NativeContainer class: one HarnessContainer per Python object. Methods convert their
// arguments with the interpreter lock held, then release it, take the container's lock and run
// their body on the worker thread; the request methods hand one request to the dispatcher and
// return its reply as compact JSON text.
#include "module/py_container.h"

#include <memory>

#include "harness/container.h"
#include "kernel/tool_endpoint.h"
#include "module/transfer.h"
#include "module/py_cell.h"

namespace tw::py {
namespace {

constexpr std::string_view kPoisoned = "tarnwick container lock is poisoned";

struct ContainerCell {
    PoisonableMutex lock;
    HarnessContainer container;
};

struct ContainerObject {
    PyObject_HEAD
    ContainerCell* cell;
};

ContainerCell& cell_of(PyObject* self) { return *reinterpret_cast<ContainerObject*>(self)->cell; }

// The call path: the worker runs `body` on the container under the object's lock.
template <typename T, typename Body>
Result<T, std::string> call_container(PyObject* self, Body&& body) {
    ContainerCell& cell = cell_of(self);
    return call_locked<T>(self, cell.lock, kPoisoned, [&] { return body(cell.container); });
}

// One request through the dispatcher; the reply's JSON text or the failure's.
Result<std::string, std::string> run_request(PyObject* self, HarnessRequest request) {
    return call_container<std::string>(self, [&](HarnessContainer& container) -> Result<std::string, std::string> {
        auto result = harness_dispatch(container, std::move(request));
        if (!result) {
            if (result.error().empty()) return std::unexpected(std::string("container operation failed"));
            return std::unexpected(std::move(result.error()));
        }
        return harness_result_json(*result);
    });
}

PyObject* text_or_error(const Result<std::string, std::string>& result) {
    if (!result) return raise_simulation_error(result.error());
    return new_str(*result);
}

// Binds the arguments of a method taking one action identity.
std::optional<std::uint64_t> action_argument(const char* qualified, PyObject* args, PyObject* kwargs) {
    const Signature signature{qualified, {"action_id"}, 1};
    std::vector<PyObject*> a;
    if (!bind_arguments(signature, args, kwargs, a)) return std::nullopt;
    return to_u64(a[0], "action_id");
}

// ---- constructor and destructor ----

PyObject* container_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeContainer.__new__", {"cpu", "memory", "disk", "output", "real_time"}, 5};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        MachineLimits limits;
        if (!to_limits(a, limits)) return nullptr;
        std::optional<bool> real_time = to_bool(a[4], "real_time");
        if (!real_time) return nullptr;
        auto cell = std::make_unique<ContainerCell>();
        cell->container = HarnessContainer::create(limits, *real_time);
        return alloc_with_cell<ContainerObject>(type, std::move(cell));
    });
}

void container_dealloc(PyObject* self) { dealloc_cell<ContainerObject>(self); }

// ---- files ----

PyObject* container_write_file_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeContainer.write_file", {"path", "data", "mode"}, 3};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::string> path = to_text(a[0], "path");
        if (!path) return nullptr;
        std::optional<Bytes> data = to_bytes(a[1], "data");
        if (!data) return nullptr;
        std::optional<std::uint32_t> mode = to_u32(a[2], "mode");
        if (!mode) return nullptr;
        auto absolute = resolve_container_path(*path);
        if (!absolute) return raise_simulation_error(absolute.error());
        if (*mode > 07777) return raise_simulation_error("invalid file mode");
        return none_or_error(call_container<void>(self, [&](HarnessContainer& c) {
            return container_write_file(c.machine, *absolute, std::move(*data), *mode);
        }));
    });
}

PyObject* container_read_file_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeContainer.read_file", {"path"}, 1};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::string> path = to_text(a[0], "path");
        if (!path) return nullptr;
        auto absolute = resolve_container_path(*path);
        if (!absolute) return raise_simulation_error(absolute.error());
        return bytes_or_error(call_container<Bytes>(
            self, [&](HarnessContainer& c) { return with_error_text(container_read_file(c.machine, *absolute)); }));
    });
}

PyObject* container_mkdir_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeContainer.mkdir", {"path", "mode"}, 2};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::string> path = to_text(a[0], "path");
        if (!path) return nullptr;
        std::optional<std::uint32_t> mode = to_u32(a[1], "mode");
        if (!mode) return nullptr;
        auto absolute = resolve_container_path(*path);
        if (!absolute) return raise_simulation_error(absolute.error());
        if (*mode > 07777) return raise_simulation_error("invalid directory mode");
        return none_or_error(
            call_container<void>(self, [&](HarnessContainer& c) { return container_mkdir(c.machine, *absolute, *mode); }));
    });
}

PyObject* container_snapshot_workspace(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        return text_or_error(
            call_container<std::string>(self, [](HarnessContainer& c) { return snapshot_workspace(c); }));
    });
}

// ---- actions ----

PyObject* container_start_execute(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeContainer.start_execute", {"source", "stdin"}, 2};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::string> source = to_text(a[0], "source");
        if (!source) return nullptr;
        std::optional<Bytes> input = to_bytes(a[1], "stdin");
        if (!input) return nullptr;
        return text_or_error(run_request(self, request::StartAction{std::move(*source), base64_encode(*input), true}));
    });
}

PyObject* container_poll_action(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::optional<std::uint64_t> id = action_argument("NativeContainer.poll_action", args, kwargs);
        if (!id) return nullptr;
        return text_or_error(run_request(self, request::PollAction{*id, kMaxWorkQuanta, true}));
    });
}

PyObject* container_respond_tool_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{
            "NativeContainer.respond_tool_call", {"request_id", "result_json", "error"}, 3};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::uint64_t> id = to_u64(a[0], "request_id");
        if (!id) return nullptr;
        std::optional<std::optional<std::string>> result = to_optional_text(a[1], "result_json");
        if (!result) return nullptr;
        std::optional<std::optional<std::string>> error = to_optional_text(a[2], "error");
        if (!error) return nullptr;
        // The result is read as JSON here, before anything is sent.
        if (*result) {
            auto compact = compact_json(**result);
            if (!compact) return raise_simulation_error(compact.error());
            *result = std::move(*compact);
        }
        return none_or_error(run_request(self, request::RespondToolCall{std::move(*error), std::move(*result), *id}));
    });
}

PyObject* container_read_action_output(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::optional<std::uint64_t> id = action_argument("NativeContainer.read_action_output", args, kwargs);
        if (!id) return nullptr;
        return text_or_error(run_request(self, request::ReadActionOutput{*id}));
    });
}

PyObject* container_cancel_action(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::optional<std::uint64_t> id = action_argument("NativeContainer.cancel_action", args, kwargs);
        if (!id) return nullptr;
        return none_or_error(run_request(self, request::CancelAction{*id}));
    });
}

PyObject* container_drop_action(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::optional<std::uint64_t> id = action_argument("NativeContainer.drop_action", args, kwargs);
        if (!id) return nullptr;
        return none_or_error(run_request(self, request::DropAction{*id}));
    });
}

// ---- display ----

PyObject* container_display_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::optional<std::uint64_t> id = action_argument("NativeContainer.display_frame", args, kwargs);
        if (!id) return nullptr;
        auto frame = call_container<std::optional<DisplayFrame>>(
            self, [&](HarnessContainer& c) { return harness_display_frame(c, *id); });
        if (!frame) return raise_simulation_error(frame.error());
        if (!*frame) Py_RETURN_NONE;
        const DisplayFrame& f = **frame;
        PyObject* pixels = new_bytes(f.pixels);
        if (pixels == nullptr) return nullptr;
        PyObject* tuple = Py_BuildValue("(KIIN)", static_cast<unsigned long long>(f.generation),
                                        static_cast<unsigned int>(f.width), static_cast<unsigned int>(f.height), pixels);
        return tuple;
    });
}

PyObject* container_inject_key(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature signature{"NativeContainer.inject_key", {"action_id", "code", "pressed"}, 3};
        std::vector<PyObject*> a;
        if (!bind_arguments(signature, args, kwargs, a)) return nullptr;
        std::optional<std::uint64_t> id = to_u64(a[0], "action_id");
        if (!id) return nullptr;
        std::optional<std::uint32_t> code = to_u32(a[1], "code");
        if (!code) return nullptr;
        std::optional<bool> pressed = to_bool(a[2], "pressed");
        if (!pressed) return nullptr;
        return none_or_error(call_container<void>(
            self, [&](HarnessContainer& c) { return harness_inject_key(c, *id, *code, *pressed); }));
    });
}

// On the calling thread with the interpreter lock held: it only waits for the container's lock.
PyObject* container_clock_mode(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        ContainerCell& cell = cell_of(self);
        std::optional<PoisonableMutex::Guard> guard = cell.lock.lock();
        if (!guard) return raise_simulation_error(kPoisoned);
        return new_str(cell.container.machine.pacing ? "real_time" : "virtual");
    });
}

#define TW_KEYWORDS(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef container_methods[] = {
    {"write_file", TW_KEYWORDS(container_write_file_method), METH_VARARGS | METH_KEYWORDS,
     "write_file($self, path, data, mode)\n--\n\nWrite one file in the container; relative paths start at /work."},
    {"read_file", TW_KEYWORDS(container_read_file_method), METH_VARARGS | METH_KEYWORDS,
     "read_file($self, path)\n--\n\nRead one file of the container as exact bytes."},
    {"mkdir", TW_KEYWORDS(container_mkdir_method), METH_VARARGS | METH_KEYWORDS,
     "mkdir($self, path, mode)\n--\n\nCreate a directory and its missing parents in the container."},
    {"snapshot_workspace", container_snapshot_workspace, METH_NOARGS, "snapshot_workspace($self)\n--\n\n"},
    {"start_execute", TW_KEYWORDS(container_start_execute), METH_VARARGS | METH_KEYWORDS,
     "start_execute($self, source, stdin)\n--\n\nStart one shell action; it runs when polled."},
    {"poll_action", TW_KEYWORDS(container_poll_action), METH_VARARGS | METH_KEYWORDS,
     "poll_action($self, action_id)\n--\n\nRun an action for a bounded slice of work and return its view."},
    {"respond_tool_call", TW_KEYWORDS(container_respond_tool_call), METH_VARARGS | METH_KEYWORDS,
     "respond_tool_call($self, request_id, result_json, error)\n--\n\n"
     "Answer one reported tool call with an object result or an error text."},
    {"read_action_output", TW_KEYWORDS(container_read_action_output), METH_VARARGS | METH_KEYWORDS,
     "read_action_output($self, action_id)\n--\n\nReturn the output an action produced since the last read."},
    {"cancel_action", TW_KEYWORDS(container_cancel_action), METH_VARARGS | METH_KEYWORDS,
     "cancel_action($self, action_id)\n--\n\nInterrupt a running action and let it finish."},
    {"drop_action", TW_KEYWORDS(container_drop_action), METH_VARARGS | METH_KEYWORDS,
     "drop_action($self, action_id)\n--\n\nForget a completed action."},
    {"display_frame", TW_KEYWORDS(container_display_frame), METH_VARARGS | METH_KEYWORDS,
     "display_frame($self, action_id)\n--\n\nThe last frame a guest presented, or None."},
    {"inject_key", TW_KEYWORDS(container_inject_key), METH_VARARGS | METH_KEYWORDS,
     "inject_key($self, action_id, code, pressed)\n--\n\nQueue one key event for the foreground action."},
    {"clock_mode", container_clock_mode, METH_NOARGS,
     "clock_mode($self)\n--\n\nThe container's clock: \"virtual\" or \"real_time\"."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot container_slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeContainer(cpu, memory, disk, output, real_time)\n--\n\n"
                                  "In-process host control for a machine granted the virtual tool endpoint.")},
    {Py_tp_new, reinterpret_cast<void*>(container_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {Py_tp_methods, container_methods},
    {0, nullptr},
};

PyType_Spec container_spec = {
    "tarnwick._native.NativeContainer",
    static_cast<int>(sizeof(ContainerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    container_slots,
};

PyObject* g_container_type = nullptr;

}  // namespace

PyObject* container_type() { return cached_type(g_container_type, container_spec, "NativeContainer"); }

}  // namespace tw::py
