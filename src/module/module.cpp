// The extension module tarnwick._native: the only place where machine results become Python
// objects and error values become Python exceptions. Built against the stable ABI.
//
// Initialisation is multi-phase: PyInit__native only hands out the definition, and its single
// execution slot adds the classes and the exception types. The type objects and exception types
// are created once per process and shared by every module object.
#include "module/py_container.h"
#include "module/py_glue.h"

namespace tw::py {
namespace {

int add_type(PyObject* module, const char* name, PyObject* (*make)()) {
    PyObject* type = make();
    if (type == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_SystemError, "failed to create type object for `%s`", name);
        return -1;
    }
    return PyModule_AddObjectRef(module, name, type);
}

int add_exception(PyObject* module, const char* name, PyObject* (*make)()) {
    PyObject* type = make();
    if (type == nullptr) return -1;
    return PyModule_AddObjectRef(module, name, type);
}

int exec_module(PyObject* module) {
    return guarded<int>(-1, [&] {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "tarnwick._native must be initialised as a module");
            return -1;
        }
        if (add_type(module, "NativeEnvironment", environment_type) < 0) return -1;
        if (add_type(module, "NativeContainer", container_type) < 0) return -1;
        if (add_exception(module, "SimulationError", simulation_error_type) < 0) return -1;
        if (add_exception(module, "PackageConflictError", package_conflict_error_type) < 0) return -1;
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tw::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
    return PyModuleDef_Init(&tw::py::module_def);
}
