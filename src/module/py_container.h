// The NativeContainer class of the extension module.
#pragma once

#include "module/py_glue.h"

namespace tw::py {

// The NativeContainer type object, created once per process.
PyObject* container_type();

}  // namespace tw::py
