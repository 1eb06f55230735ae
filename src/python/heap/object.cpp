#include "python/heap/object.h"


namespace tw::py {

HeapStr HeapStr::make(std::string text) {
    std::uint64_t chars = 0;
    for (unsigned char c : text) chars += (c & 0xC0) != 0x80;
    text.shrink_to_fit();
    return HeapStr{std::move(text), chars};
}

std::string BigInt::to_decimal() const {
    std::string out(mpz_sizeinbase(z_, 10) + 2, '\0');
    mpz_get_str(out.data(), 10, z_);
    out.resize(std::char_traits<char>::length(out.data()));
    return out;
}

namespace {

// a + b * c with overflow detection.
bool add_mul(std::uint64_t& acc, std::uint64_t b, std::uint64_t c) {
    std::uint64_t p;
    return !__builtin_mul_overflow(b, c, &p) && !__builtin_add_overflow(acc, p, &acc);
}

PyResult<std::uint64_t> values_size(std::uint64_t n) {
    std::uint64_t acc = kSlotBytes;
    if (!add_mul(acc, n, kValueSlotBytes)) return fail(PyError::unsupported("modeled object size overflow"));
    return acc;
}

// 80 + 24 * (a + b + ...), every step checked.
PyResult<std::uint64_t> counted_size(std::initializer_list<std::uint64_t> counts) {
    std::uint64_t n = 0;
    for (std::uint64_t c : counts)
        if (__builtin_add_overflow(n, c, &n)) return fail(PyError::unsupported("modeled object size overflow"));
    return values_size(n);
}

}  // namespace

PyResult<std::uint64_t> modeled_size(const HeapObject& o) {
    auto overflow = [] { return PyError::unsupported("modeled object size overflow"); };
    std::uint64_t acc = kSlotBytes;
    switch (kind_of(o)) {
        case HeapObjectKind::Object: return kSlotBytes;
        case HeapObjectKind::Str:
            if (__builtin_add_overflow(acc, std::get<HeapStr>(o).length(), &acc)) return fail(overflow());
            return acc;
        case HeapObjectKind::Bytes:
            if (__builtin_add_overflow(acc, std::get<BytesPayload>(o).bytes.size(), &acc))
                return fail(overflow());
            return acc;
        case HeapObjectKind::ByteArray:
            if (__builtin_add_overflow(acc, std::get<ByteArrayPayload>(o).bytes.size(), &acc))
                return fail(overflow());
            return acc;
        case HeapObjectKind::Exception:
        case HeapObjectKind::List:
        case HeapObjectKind::Tuple: return values_size(sequence_items(o)->size());
        case HeapObjectKind::Slice: return 152;
        case HeapObjectKind::Dict:
            if (!add_mul(acc, std::get<DictPayload>(o).table->live_count, kDictEntryBytes))
                return fail(overflow());
            return acc;
        case HeapObjectKind::DefaultDict: {
            std::uint64_t n = std::get<DefaultDictPayload>(o).table->live_count, entries;
            if (__builtin_mul_overflow(n, 4, &entries) || __builtin_add_overflow(entries, 1, &entries))
                return fail(overflow());
            return values_size(entries);
        }
        case HeapObjectKind::Set:
        case HeapObjectKind::FrozenSet:
            if (!add_mul(acc, set_table_of(const_cast<HeapObject&>(o))->live_count, kSetEntryBytes))
                return fail(overflow());
            return acc;
        case HeapObjectKind::BigInt: return acc + (std::get<BigIntPayload>(o).value->bit_length() + 7) / 8;
        case HeapObjectKind::Complex: return 104;
        case HeapObjectKind::Range: return 152;
        case HeapObjectKind::Float: return 104;
        case HeapObjectKind::Function: {
            const FunctionRecord& r = *std::get<FunctionPayload>(o).record;
            return counted_size({r.code_size, r.name.size(), r.defaults.size(), r.keyword_defaults.size()});
        }
        case HeapObjectKind::Class: {
            const ClassRecord& r = *std::get<ClassPayload>(o).record;
            return counted_size({r.name.size(), r.bases.size(), r.mro.size(), r.namespace_.entries().size(),
                                 r.slot_values.size(), r.values.size(), r.flag_count,
                                 std::uint64_t(r.has_optional_table ? 2 : 1)});
        }
        case HeapObjectKind::BoundMethod: return 152;
        case HeapObjectKind::GenericAlias: return counted_size({std::get<GenericAliasPayload>(o).args.size(), 1});
        case HeapObjectKind::ValuesIterator: return values_size(std::get<ValuesIteratorPayload>(o).values.size());
        case HeapObjectKind::SequenceIterator:
        case HeapObjectKind::ReversedIterator: return 128;
        case HeapObjectKind::RangeIterator: return 176;
        case HeapObjectKind::CountIterator: return 128;
        case HeapObjectKind::CallableIterator: return 152;
        case HeapObjectKind::StreamIterator: return 104;
        case HeapObjectKind::Generator: {
            const GeneratorRecord& g = *std::get<GeneratorPayload>(o).record;
            return counted_size({g.saved_values.size(), g.saved_handlers.size(), g.saved_exceptions.size(),
                                 g.saved_with.size(), g.code_size});
        }
        case HeapObjectKind::Module: {
            std::uint64_t acc2 = kSlotBytes;
            if (!add_mul(acc2, std::get<ModulePayload>(o).name.size(), kValueSlotBytes))
                return fail(overflow());
            return acc2;
        }
        case HeapObjectKind::Namespace: return std::get<NamespacePayload>(o).scope->modeled_size();
        case HeapObjectKind::NamespaceDict:
        case HeapObjectKind::DictView:
        case HeapObjectKind::MappingProxy:
        case HeapObjectKind::Registered: return 104;
        case HeapObjectKind::NativeObject:
            if (__builtin_add_overflow(acc, std::get<NativeObjectPayload>(o).object->modeled_size(), &acc))
                return fail(overflow());
            return acc;
        case HeapObjectKind::Property: return std::get<PropertyPayload>(o).first.is_present() ? 128 : 104;
        case HeapObjectKind::StaticMethod:
        case HeapObjectKind::ClassMethod: return 104;
        case HeapObjectKind::Super: return 128;
        case HeapObjectKind::Free: break;
    }
    return fail(PyError::unsupported("a free slot has no size"));
}

}  // namespace tw::py
