// The native method and property rows of object, type, BaseException, module and iterator.
#pragma once

#include "python/heap/error.h"
#include "python/heap/value.h"
#include "python/vm/runtime_context.h"

namespace tw::py {
class TypeRegistry;
class Symbols;
}  // namespace tw::py

namespace tw::py::vm {

// Whether a value is an instance of OSError or one of its subclasses.
PyResult<bool> is_os_error_family(RuntimeContext& ctx, Value v);
void attach_root_classes(TypeRegistry& registry, Symbols& symbols);

}  // namespace tw::py::vm
