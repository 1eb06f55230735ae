#include "python/vm/runtime_context.h"

#include "kernel/machine.h"
#include "python/heap/heap.h"

namespace tw::py {

RuntimeContext RuntimeContext::enter_scope() const {
    RuntimeContext nested = *this;
    nested.scope_depth = heap.root_depth();
    return nested;
}

void RuntimeContext::exit_scope() const { heap.truncate_roots(scope_depth, machine.meter); }

}  // namespace tw::py
