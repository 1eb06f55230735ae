// The class operations of the engine's native runtime: `type.__new__` and data-class marking.
#include "python/vm/classes.h"
#include "python/vm/native_runtime.h"
#include "python/vm/runtime_context.h"

namespace tw::py {

PyResult<Value> EngineRuntime::type_new_class(Value metaclass, Value name, Value bases, Value ns) {
    return vm::type_new_class(context(), metaclass, name, bases, ns);
}

PyStatus EngineRuntime::mark_dataclass(Value cls) { return vm::mark_dataclass(context(), cls); }

}  // namespace tw::py
