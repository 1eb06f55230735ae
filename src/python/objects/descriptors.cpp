#include "python/objects/descriptors.h"

namespace tw::py {

namespace {

PyResult<Value> abstract_scalar_constructor(NativeRuntime&, NativeCall) {
    return fail(PyError::type_error("cannot create instances of an abstract NumPy scalar type"));
}

PyResult<Value> ufunc_constructor(NativeRuntime&, NativeCall) {
    return fail(PyError::type_error("cannot create 'numpy.ufunc' instances"));
}

PyResult<Value> scalar_constructor_stub(NativeRuntime&, NativeCall) {
    return fail(PyError::unsupported("numpy scalar construction is not implemented"));
}

struct KindTable {
    // Bases name earlier kinds by position; -1: float, -2: complex.
    struct Spec {
        std::string_view name;
        int base1, base2;
        bool abstract;
    };
    static constexpr int kNone = -100;
    static constexpr Spec kSpecs[24] = {
        {"numpy.generic", kNone, kNone, true},
        {"numpy.number", 0, kNone, true},
        {"numpy.integer", 1, kNone, true},
        {"numpy.signedinteger", 2, kNone, true},
        {"numpy.unsignedinteger", 2, kNone, true},
        {"numpy.inexact", 1, kNone, true},
        {"numpy.floating", 5, kNone, true},
        {"numpy.complexfloating", 5, kNone, true},
        {"numpy.bool", 0, kNone, false},
        {"numpy.int8", 3, kNone, false},
        {"numpy.int16", 3, kNone, false},
        {"numpy.int32", 3, kNone, false},
        {"numpy.int64", 3, kNone, false},
        {"numpy.uint8", 4, kNone, false},
        {"numpy.uint16", 4, kNone, false},
        {"numpy.uint32", 4, kNone, false},
        {"numpy.uint64", 4, kNone, false},
        {"numpy.float16", 6, kNone, false},
        {"numpy.float32", 6, kNone, false},
        {"numpy.float64", 6, -1, false},
        {"numpy.complex64", 7, kNone, false},
        {"numpy.complex128", 7, -2, false},
        {"numpy.dtype", kNone, kNone, false},
        {"numpy.ufunc", kNone, kNone, false},
    };

    ValueKindDef defs[24];
    ValueKindBase bases[24][2];
    std::vector<const ValueKindDef*> list;

    KindTable() {
        for (int k = 0; k < 24; ++k) {
            const Spec& s = kSpecs[k];
            ValueKindDef& d = defs[k];
            d.name = s.name;
            d.constructor = s.abstract ? abstract_scalar_constructor
                            : k == 23  ? ufunc_constructor
                                       : scalar_constructor_stub;
            int n = 0;
            for (int b : {s.base1, s.base2}) {
                if (b == kNone) continue;
                if (b >= 0) bases[k][n++] = {ValueKindBase::Kind, &defs[b]};
                else bases[k][n++] = {b == -1 ? ValueKindBase::Float : ValueKindBase::Complex, nullptr};
            }
            d.bases = std::span<const ValueKindBase>(bases[k], std::size_t(n));
            list.push_back(&d);
        }
    }
};

const KindTable& kinds() {
    static const KindTable table;  // built once, on first use
    return table;
}

}  // namespace

const std::vector<const ValueKindDef*>& value_kind_list() { return kinds().list; }

const ValueKindDef* value_kind_at(std::uint64_t k) { return k < 24 ? kinds().list[k] : nullptr; }

}  // namespace tw::py
