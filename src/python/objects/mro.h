// Method resolution orders by the C3 merge: the class MRO of class objects (user-class
// ancestors) and the type MRO of type identities (all ancestors, `object` included). Neither
// contains the class itself.
#pragma once

#include <optional>
#include <vector>

#include "python/heap/error.h"
#include "python/heap/type_id.h"
#include "python/heap/value.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

class Heap;
class TypeRegistry;

// The merge of type-id sequences; none when no head qualifies.
std::optional<std::vector<TypeId>> c3_merge_type_ids(std::vector<std::vector<TypeId>> sequences);
// "duplicate base class", "cannot create a consistent method resolution order" (TypeError);
// the registry's "invalid type reference".
PyResult<std::vector<TypeId>> type_mro_from_bases(const TypeRegistry& registry, const std::vector<TypeId>& bases);
// The class MRO of a new class from its class-object bases; one work unit per remaining sequence
// at each merge step. "class base changed object kind" (Unsupported) for a base that is no class.
PyResult<std::vector<Value>> py_compute_mro(Heap& heap, ResourceMeter& meter, const std::vector<Value>& bases);

}  // namespace tw::py
