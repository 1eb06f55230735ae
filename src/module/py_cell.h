// What the host classes share: each Python object owns one heap cell holding its lock and its
// state, and every method runs its body on the worker thread under that lock with the
// interpreter lock released. Included by the class files only (it needs Python.h).
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/py_glue.h"
#include "module/worker.h"

namespace tw {
struct MachineLimits;
}

namespace tw::py {

// The call path: the interpreter lock is released for the whole operation, `lock` waited for
// and held while the worker runs `body`. A C++ exception on this thread is carried past the
// re-acquisition of the interpreter lock and thrown again there.
template <typename T, typename Body>
Result<T, std::string> call_locked(PyObject* self, PoisonableMutex& lock, std::string_view poisoned, Body&& body) {
    Py_INCREF(self);
    std::optional<Result<T, std::string>> result;
    std::exception_ptr escaped;
    Py_BEGIN_ALLOW_THREADS
    try {
        result.emplace(run_locked_on_worker<T>(lock, poisoned, body));
    } catch (...) {
        escaped = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    Py_DECREF(self);
    if (escaped) std::rethrow_exception(escaped);
    return std::move(*result);
}

// Frees the object's cell, then the object, and drops the reference the heap type holds.
template <typename Object>
void dealloc_cell(PyObject* self) {
    auto* object = reinterpret_cast<Object*>(self);
    delete object->cell;
    object->cell = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);
}

// Allocates an object of the heap type and hands it the cell.
template <typename Object, typename Cell>
PyObject* alloc_with_cell(PyTypeObject* type, std::unique_ptr<Cell> cell) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<Object*>(self)->cell = cell.release();
    return self;
}

// The heap type made from `spec`, created on first use and kept in `cache`. On failure nothing is
// kept and, unless the interpreter set one, a SystemError names the class `name`.
inline PyObject* cached_type(PyObject*& cache, PyType_Spec& spec, const char* name) {
    if (cache == nullptr) {
        cache = PyType_FromSpec(&spec);
        if (cache == nullptr && !PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "failed to create type object for `%s`", name);
    }
    return cache;
}

// The four limits "cpu", "memory", "disk", "output" from the first four bound arguments.
// False with the argument's error set when one does not convert.
bool to_limits(const std::vector<PyObject*>& a, MachineLimits& limits);

// The result with its error turned into the error's display text (`error_text`).
template <typename T, typename E>
Result<T, std::string> with_error_text(Result<T, E> result) {
    if (!result) return std::unexpected(error_text(result.error()));
    if constexpr (std::is_void_v<T>) return {};
    else return std::move(*result);
}

// A Python None, or the failure raised as a simulation error.
template <typename T>
PyObject* none_or_error(const Result<T, std::string>& result) {
    if (!result) return raise_simulation_error(result.error());
    Py_RETURN_NONE;
}

// A bytes object, or the failure raised as a simulation error.
inline PyObject* bytes_or_error(const Result<Bytes, std::string>& result) {
    if (!result) return raise_simulation_error(result.error());
    return new_bytes(*result);
}

}  // namespace tw::py
