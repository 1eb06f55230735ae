// The extension module tarnwick._native: the only place where machine results become Python
// objects and error values become Python exceptions. Built against the stable ABI.
#include <Python.h>

namespace {

PyModuleDef_Slot module_slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick._native",
    "A whole simulated Unix-like machine inside the host Python process.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
    return PyModuleDef_Init(&module_def);
}
