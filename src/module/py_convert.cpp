// Exception types, result objects and argument conversion of the extension module.
#include <algorithm>
#include <limits>

#include <fmt/format.h>

#include "kernel/meter.h"
#include "module/py_cell.h"

namespace tw::py {
namespace {

constexpr const char* kStrForSequence = "a str is not accepted where a sequence is expected";

PyObject* g_simulation_error = nullptr;
PyObject* g_package_conflict_error = nullptr;
PyObject* g_fault = nullptr;

std::string type_name(PyObject* object) {
    PyObject* name = PyType_GetName(Py_TYPE(object));
    if (name == nullptr) {
        PyErr_Clear();
        return "object";
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    std::string result = text != nullptr ? std::string(text, static_cast<std::size_t>(size)) : "object";
    if (text == nullptr) PyErr_Clear();
    Py_DECREF(name);
    return result;
}

void raise_argument_error(PyObject* type, const char* name, std::string_view message) {
    const std::string text = fmt::format("argument '{}': {}", name, message);
    PyErr_SetString(type, text.c_str());
}

// Puts the parameter's name in front of the pending error's message. Type and overflow errors keep
// their type, other value errors (a str that cannot be encoded) become ValueError; anything else
// (an interrupt raised by a conversion hook) stays as it is.
void prefix_pending_error(const char* name) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* target = nullptr;
    if (type != nullptr) {
        if (PyErr_GivenExceptionMatches(type, PyExc_OverflowError)) target = PyExc_OverflowError;
        else if (PyErr_GivenExceptionMatches(type, PyExc_TypeError)) target = PyExc_TypeError;
        else if (PyErr_GivenExceptionMatches(type, PyExc_ValueError)) target = PyExc_ValueError;
    }
    if (target == nullptr) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    std::string message;
    if (value != nullptr) {
        if (PyObject* text = PyObject_Str(value)) {
            Py_ssize_t size = 0;
            if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) message.assign(utf8, static_cast<std::size_t>(size));
            Py_DECREF(text);
        }
        PyErr_Clear();
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    raise_argument_error(target, name, message);
}

const char* was_were(std::size_t n) { return n == 1 ? "was" : "were"; }

}  // namespace

// ---- exception types ----

PyObject* simulation_error_type() {
    if (g_simulation_error == nullptr) {
        g_simulation_error = PyErr_NewExceptionWithDoc(
            "tarnwick._native.SimulationError", "An adapter or simulator operation could not be completed.",
            PyExc_Exception, nullptr);
        if (g_simulation_error == nullptr) PyErr_SetString(PyExc_SystemError, "Failed to initialize new exception type.");
    }
    return g_simulation_error;
}

PyObject* package_conflict_error_type() {
    if (g_package_conflict_error == nullptr) {
        PyObject* base = simulation_error_type();
        if (base == nullptr) return nullptr;
        g_package_conflict_error = PyErr_NewExceptionWithDoc(
            "tarnwick._native.PackageConflictError", "A package destination conflicts with existing virtual content.",
            base, nullptr);
        if (g_package_conflict_error == nullptr)
            PyErr_SetString(PyExc_SystemError, "Failed to initialize new exception type.");
    }
    return g_package_conflict_error;
}

PyObject* fault_type() {
    if (g_fault == nullptr) {
        g_fault = PyErr_NewExceptionWithDoc("tarnwick._native.OperationFault",
                                            "A tarnwick operation failed outside the simulated machine.",
                                            PyExc_BaseException, nullptr);
    }
    return g_fault;
}

// Raises `type` (null when it could not be made: its error is set) with the message `text`.
static PyObject* raise_with_text(PyObject* type, std::string_view text) {
    if (type == nullptr) return nullptr;
    PyObject* message = new_str(text);
    if (message == nullptr) return nullptr;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
    return nullptr;
}

PyObject* raise_simulation_error(std::string_view text) { return raise_with_text(simulation_error_type(), text); }

void raise_fault(const std::exception_ptr& fault) {
    // Building the exception may itself fail for lack of memory; the interpreter's own error
    // stays set then.
    try {
        const std::string text = fault_text(fault);
        PyObject* type = fault_type();
        if (type == nullptr) return;
        PyErr_SetString(type, text.c_str());
    } catch (...) {
        PyErr_NoMemory();
    }
}

// ---- results ----

PyObject* new_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* new_bytes(BytesView bytes) {
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// ---- binding ----

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::vector<PyObject*>& out) {
    const std::vector<const char*>& names = signature.names;
    const std::size_t total = names.size();
    out.assign(total, nullptr);
    const std::size_t given = args != nullptr ? static_cast<std::size_t>(PyTuple_Size(args)) : 0;
    if (given > total) {
        std::string message;
        if (signature.required == total)
            message = fmt::format("{}() takes {} positional arguments but {} {} given", signature.qualified_name, total,
                                  given, was_were(given));
        else
            message = fmt::format("{}() takes from {} to {} positional arguments but {} {} given",
                                  signature.qualified_name, signature.required, total, given, was_were(given));
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return false;
    }
    for (std::size_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
            if (utf8 == nullptr) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.qualified_name);
                return false;
            }
            const std::string_view keyword(utf8, static_cast<std::size_t>(size));
            std::size_t index = 0;
            while (index < total && keyword != names[index]) ++index;
            if (index == total) {
                const std::string message = fmt::format("{}() got an unexpected keyword argument '{}'",
                                                        signature.qualified_name, keyword);
                PyErr_SetString(PyExc_TypeError, message.c_str());
                return false;
            }
            if (out[index] != nullptr) {
                const std::string message = fmt::format("{}() got multiple values for argument '{}'",
                                                        signature.qualified_name, keyword);
                PyErr_SetString(PyExc_TypeError, message.c_str());
                return false;
            }
            out[index] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i)
        if (out[i] == nullptr) missing.push_back(names[i]);
    if (!missing.empty()) {
        std::string message = fmt::format("{}() missing {} required positional {}: ", signature.qualified_name,
                                          missing.size(), missing.size() == 1 ? "argument" : "arguments");
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i != 0) {
                if (missing.size() > 2) message += ',';
                message += i + 1 == missing.size() ? " and " : " ";
            }
            message += fmt::format("'{}'", missing[i]);
        }
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return false;
    }
    return true;
}

// ---- converters ----

std::optional<std::uint64_t> to_u64(PyObject* object, const char* name) {
    PyObject* index = PyNumber_Index(object);
    if (index == nullptr) {
        prefix_pending_error(name);
        return std::nullopt;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_pending_error(name);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
}

namespace {

template <typename T>
std::optional<T> to_narrow(PyObject* object, const char* name) {
    std::optional<std::uint64_t> value = to_u64(object, name);
    if (!value) return std::nullopt;
    if (*value > std::numeric_limits<T>::max()) {
        raise_argument_error(PyExc_OverflowError, name, "int too big to convert");
        return std::nullopt;
    }
    return static_cast<T>(*value);
}

}  // namespace

std::optional<std::uint32_t> to_u32(PyObject* object, const char* name) { return to_narrow<std::uint32_t>(object, name); }
std::optional<std::uint16_t> to_u16(PyObject* object, const char* name) { return to_narrow<std::uint16_t>(object, name); }

std::optional<bool> to_bool(PyObject* object, const char* name) {
    if (PyBool_Check(object)) return object == Py_True;
    const int has_hook = PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__bool__");
    if (!has_hook) {
        raise_argument_error(PyExc_TypeError, name,
                             fmt::format("'{}' object cannot be interpreted as a bool", type_name(object)));
        return std::nullopt;
    }
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) {
        prefix_pending_error(name);
        return std::nullopt;
    }
    return truth == 1;
}

std::optional<std::string> to_text(PyObject* object, const char* name) {
    if (!PyUnicode_Check(object)) {
        raise_argument_error(PyExc_TypeError, name, fmt::format("expected str, got {}", type_name(object)));
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) {
        prefix_pending_error(name);
        return std::nullopt;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<std::optional<std::string>> to_optional_text(PyObject* object, const char* name) {
    if (object == Py_None) return std::optional<std::string>();
    std::optional<std::string> text = to_text(object, name);
    if (!text) return std::nullopt;
    return std::optional<std::string>(std::move(*text));
}

// The length of a sequence argument; a str is refused. Nothing, with the argument's error set,
// when the object is not a sequence or its length cannot be read.
static std::optional<Py_ssize_t> sequence_size(PyObject* object, const char* name) {
    if (PyUnicode_Check(object)) {
        raise_argument_error(PyExc_TypeError, name, kStrForSequence);
        return std::nullopt;
    }
    if (!PySequence_Check(object)) {
        raise_argument_error(PyExc_TypeError, name, fmt::format("'{}' object is not a sequence", type_name(object)));
        return std::nullopt;
    }
    const Py_ssize_t size = PySequence_Size(object);
    if (size < 0) {
        prefix_pending_error(name);
        return std::nullopt;
    }
    return size;
}

std::optional<Bytes> to_bytes(PyObject* object, const char* name) {
    if (PyBytes_Check(object)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(object, &data, &size) < 0) {
            prefix_pending_error(name);
            return std::nullopt;
        }
        return Bytes(data, static_cast<std::size_t>(size));
    }
    if (PyByteArray_Check(object)) {
        return Bytes(PyByteArray_AsString(object), static_cast<std::size_t>(PyByteArray_Size(object)));
    }
    const std::optional<Py_ssize_t> size = sequence_size(object, name);
    if (!size) return std::nullopt;
    // The length is the object's own claim: reserve no more than a modest amount up front, so a
    // sequence that reports an absurd length fails on its items, not on the allocation.
    constexpr Py_ssize_t kReserveCap = Py_ssize_t{1} << 20;
    Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(std::min(*size, kReserveCap)));
    for (Py_ssize_t i = 0; i < *size; ++i) {
        PyObject* item = PySequence_GetItem(object, i);
        if (item == nullptr) {
            prefix_pending_error(name);
            return std::nullopt;
        }
        std::optional<std::uint8_t> value = to_narrow<std::uint8_t>(item, name);
        Py_DECREF(item);
        if (!value) return std::nullopt;
        bytes.push_back(static_cast<char>(*value));
    }
    return bytes;
}

bool to_limits(const std::vector<PyObject*>& a, MachineLimits& limits) {
    const char* names[] = {"cpu", "memory", "disk", "output"};
    std::uint64_t* fields[] = {&limits.cpu, &limits.memory, &limits.disk, &limits.output};
    for (int i = 0; i < 4; ++i) {
        std::optional<std::uint64_t> value = to_u64(a[i], names[i]);
        if (!value) return false;
        *fields[i] = *value;
    }
    return true;
}

std::optional<HttpHeaders> to_headers(PyObject* object, const char* name) {
    const std::optional<Py_ssize_t> size = sequence_size(object, name);
    if (!size) return std::nullopt;
    HttpHeaders headers;
    for (Py_ssize_t i = 0; i < *size; ++i) {
        PyObject* item = PySequence_GetItem(object, i);
        if (item == nullptr) {
            prefix_pending_error(name);
            return std::nullopt;
        }
        std::optional<std::string> header_name;
        std::optional<std::string> header_value;
        if (!PyTuple_Check(item)) {
            raise_argument_error(PyExc_TypeError, name, fmt::format("expected tuple, got {}", type_name(item)));
        } else if (PyTuple_Size(item) != 2) {
            raise_argument_error(PyExc_TypeError, name,
                                 fmt::format("expected tuple of length 2, but got tuple of length {}", PyTuple_Size(item)));
        } else if ((header_name = to_text(PyTuple_GetItem(item, 0), name))) {
            header_value = to_text(PyTuple_GetItem(item, 1), name);
        }
        Py_DECREF(item);
        if (!header_name || !header_value) return std::nullopt;
        headers.emplace_back(std::move(*header_name), std::move(*header_value));
    }
    return headers;
}

}  // namespace tw::py

namespace tw::py {

std::optional<std::vector<std::string>> to_text_list(PyObject* object, const char* name, std::size_t keep) {
    const std::optional<Py_ssize_t> size = sequence_size(object, name);
    if (!size) return std::nullopt;
    const std::size_t count = std::min(static_cast<std::size_t>(*size), keep);
    std::vector<std::string> texts;
    texts.reserve(std::min<std::size_t>(count, 1 << 16));
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_GetItem(object, static_cast<Py_ssize_t>(i));
        if (item == nullptr) {
            prefix_pending_error(name);
            return std::nullopt;
        }
        std::optional<std::string> text = to_text(item, name);
        Py_DECREF(item);
        if (!text) return std::nullopt;
        texts.push_back(std::move(*text));
    }
    return texts;
}

PyObject* raise_package_conflict(std::string_view text) { return raise_with_text(package_conflict_error_type(), text); }

}  // namespace tw::py
