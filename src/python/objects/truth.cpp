#include "python/objects/truth.h"

#include <fmt/format.h>

#include "python/front/text_forms.h"
#include "python/heap/heap.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"

namespace tw::py {

PyResult<std::optional<bool>> py_truth_fast(const Heap& heap, const Value& v) {
    using R = std::optional<bool>;
    if (v.is_inline_str()) return R(v.tag() != 0);
    switch (Tag(v.tag())) {
        case Tag::None: return R(false);
        case Tag::Int:
        case Tag::Bool: return R(v.word0() != 0);
        case Tag::Float: return R(v.as_float() != 0.0);  // NaN is true
        case Tag::Native: return R(true);
        case Tag::Object: break;
        default: return R();
    }
    auto slot = heap.get(v);
    if (!slot) return fail(std::move(slot.error()));
    const HeapObject& o = (*slot)->object;
    switch (kind_of(o)) {
        case HeapObjectKind::Str: return R(std::get<HeapStr>(o).length() != 0);
        case HeapObjectKind::Bytes: return R(!std::get<BytesPayload>(o).bytes.empty());
        case HeapObjectKind::ByteArray: return R(!std::get<ByteArrayPayload>(o).bytes.empty());
        case HeapObjectKind::List:
        case HeapObjectKind::Tuple: return R(!sequence_items(o)->empty());
        case HeapObjectKind::Dict:
        case HeapObjectKind::DefaultDict: return R(dict_table_of(const_cast<HeapObject&>(o))->live_count != 0);
        case HeapObjectKind::Set:
        case HeapObjectKind::FrozenSet: return R(set_table_of(const_cast<HeapObject&>(o))->live_count != 0);
        case HeapObjectKind::BigInt: return R(!std::get<BigIntPayload>(o).value->is_zero());
        case HeapObjectKind::Complex: {
            auto& c = std::get<ComplexPayload>(o);
            return R(c.real != 0.0 || c.imag != 0.0);
        }
        case HeapObjectKind::Float: return R(std::get<FloatPayload>(o).value != 0.0);
        case HeapObjectKind::Range: {
            auto& r = std::get<RangePayload>(o);
            return R(r.step > 0 ? r.start < r.stop : r.stop < r.start);
        }
        case HeapObjectKind::Slice:
        case HeapObjectKind::ValuesIterator:
        case HeapObjectKind::SequenceIterator:
        case HeapObjectKind::ReversedIterator:
        case HeapObjectKind::RangeIterator:
        case HeapObjectKind::CountIterator:
        case HeapObjectKind::CallableIterator:
        case HeapObjectKind::StreamIterator: return R(true);
        default: return fail(PyError::unsupported("invalid Python value tag"));
    }
}

std::optional<std::string_view> exception_identity(const Heap& heap, const TypeRegistry& registry, const Value& v) {
    if (v.is_native()) {
        if (v.native_kind() != NativeKind::ExceptionType) return std::nullopt;
        return decode_native_handle(v)->name;
    }
    const HeapSlot* slot = heap.get_if_object(v);
    if (!slot) return std::nullopt;
    const ClassPayload* cls = std::get_if<ClassPayload>(&slot->object);
    if (!cls) return std::nullopt;
    TypeId id = cls->record->type_id;
    if (auto name = registry.exception_name_by_id(id)) return name;
    auto rec = registry.get(id);
    if (!rec) return std::nullopt;
    for (TypeId t : (*rec)->mro)
        if (auto name = registry.exception_name_by_id(t)) return name;
    return std::nullopt;
}

std::string py_str_repr(std::string_view text) { return py_quote_text(text, false); }

PyError py_int_parse_error(std::string_view text, std::uint32_t base) {
    return PyError::value_error(fmt::format("invalid literal for int() with base {}: {}", base, py_str_repr(text)));
}

}  // namespace tw::py
