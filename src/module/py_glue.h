// Shared pieces of the Python glue: the exception types, text and bytes results, argument binding
// and conversion, and the boundary guard every entry point runs under. Only the files of the
// extension module include this.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "kernel/net.h"

namespace tw::py {

// ---- exception types (created once per process, on first request) ----

// tarnwick._native.SimulationError (base Exception); null with a Python error set on failure.
PyObject* simulation_error_type();
// tarnwick._native.PackageConflictError (base SimulationError).
PyObject* package_conflict_error_type();
// The type that carries a fault escaping an entry point on the calling thread (base BaseException).
PyObject* fault_type();

// Raises SimulationError(text); answers null for the caller to return.
PyObject* raise_simulation_error(std::string_view text);
// Raises the fault type with the text of an escaped C++ exception.
void raise_fault(const std::exception_ptr& fault);

// ---- results ----

// A str from UTF-8 text (invalid sequences replaced, never failing on bytes alone).
PyObject* new_str(std::string_view text);
PyObject* new_bytes(BytesView bytes);

// ---- argument binding ----

// The parameters of one function: its qualified name for messages ("NativeEnvironment.run"),
// its parameter names in order, and how many of them are required (the leading ones).
struct Signature {
    const char* qualified_name;
    std::vector<const char*> names;
    std::size_t required;
};

// Binds args and kwargs to the signature's positional-or-keyword parameters. `out` receives one
// borrowed reference per parameter (null for an optional one not given). False with a
// TypeError set when the call does not fit.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::vector<PyObject*>& out);

// Converters: each answers the value or nothing with a Python error set whose message starts
// "argument '{name}': ".
std::optional<std::uint64_t> to_u64(PyObject* object, const char* name);
std::optional<std::uint32_t> to_u32(PyObject* object, const char* name);
std::optional<std::uint16_t> to_u16(PyObject* object, const char* name);
std::optional<bool> to_bool(PyObject* object, const char* name);
std::optional<std::string> to_text(PyObject* object, const char* name);
// None or a str.
std::optional<std::optional<std::string>> to_optional_text(PyObject* object, const char* name);
// bytes, bytearray or any sequence of ints 0..255; a str is refused.
std::optional<Bytes> to_bytes(PyObject* object, const char* name);
// A sequence (not a str) of 2-tuples of str.
std::optional<HttpHeaders> to_headers(PyObject* object, const char* name);

// ---- the boundary guard ----

// Runs an entry point's body; a C++ exception that escapes it becomes the fault type, and
// raise_fault itself never throws, so no exception unwinds into the interpreter. The one thing
// let through is the forced unwinding of thread cancellation: the interpreter ends a thread that
// wants the interpreter lock back during finalization with pthread_exit, and that unwinding must
// go on up the thread's stack (swallowing it aborts the process or worse).
template <typename Result, typename Body>
Result guarded(Result failure, Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        raise_fault(std::current_exception());
        return failure;
    }
}

// ---- types ----

// The NativeEnvironment type object, created once per process.
PyObject* environment_type();

// ---- host imports ----

// A sequence (not a str) of str, converting at most `keep` items: a caller that refuses a longer
// list than its bound passes the bound plus one and looks at the size.
std::optional<std::vector<std::string>> to_text_list(PyObject* object, const char* name, std::size_t keep);
// Raises PackageConflictError(text); answers null.
PyObject* raise_package_conflict(std::string_view text);

}  // namespace tw::py
