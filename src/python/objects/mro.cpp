#include "python/objects/mro.h"

#include <algorithm>

#include "kernel/meter.h"
#include "python/heap/heap.h"
#include "python/objects/types.h"

namespace tw::py {

namespace {

PyError duplicate_base() { return PyError::type_error("duplicate base class"); }
PyError inconsistent() { return PyError::type_error("cannot create a consistent method resolution order"); }

// One C3 merge; `charge` is called with the number of remaining sequences at each step and may
// stop the merge with its error. Entries compare with ==.
template <class T, class Charge>
PyResult<std::optional<std::vector<T>>> merge(std::vector<std::vector<T>> seqs, Charge&& charge) {
    std::vector<T> out;
    // Each sequence is consumed from the front; `pos` is its current head.
    std::vector<std::size_t> pos(seqs.size(), 0);
    for (;;) {
        std::vector<std::size_t> live;
        for (std::size_t i = 0; i < seqs.size(); ++i)
            if (pos[i] < seqs[i].size()) live.push_back(i);
        if (live.empty()) return std::optional(std::move(out));
        if (auto r = charge(live.size()); !r) return fail(std::move(r.error()));
        const T* chosen = nullptr;
        for (std::size_t i : live) {
            const T& head = seqs[i][pos[i]];
            bool in_tail = false;
            for (std::size_t j : live) {
                auto begin = seqs[j].begin() + std::ptrdiff_t(pos[j]) + 1;
                if (std::find(begin, seqs[j].end(), head) != seqs[j].end()) {
                    in_tail = true;
                    break;
                }
            }
            if (!in_tail) {
                chosen = &head;
                break;
            }
        }
        if (!chosen) return std::optional<std::vector<T>>();
        T pick = *chosen;
        out.push_back(pick);
        for (std::size_t i : live)
            if (seqs[i][pos[i]] == pick) ++pos[i];
    }
}

PyStatus no_charge(std::size_t) { return {}; }

}  // namespace

std::optional<std::vector<TypeId>> c3_merge_type_ids(std::vector<std::vector<TypeId>> sequences) {
    return merge<TypeId>(std::move(sequences), no_charge).value();
}

PyResult<std::vector<TypeId>> type_mro_from_bases(const TypeRegistry& registry, const std::vector<TypeId>& bases) {
    if (bases.empty()) return std::vector<TypeId>{type_id(BuiltinType::Object)};
    std::vector<std::vector<TypeId>> seqs;
    for (std::size_t i = 0; i < bases.size(); ++i) {
        if (std::find(bases.begin(), bases.begin() + std::ptrdiff_t(i), bases[i]) != bases.begin() + std::ptrdiff_t(i))
            return fail(duplicate_base());
        auto rec = registry.get(bases[i]);
        if (!rec) return fail(std::move(rec.error()));
        std::vector<TypeId> seq{bases[i]};
        seq.insert(seq.end(), (*rec)->mro.begin(), (*rec)->mro.end());
        seqs.push_back(std::move(seq));
    }
    seqs.push_back(bases);
    auto merged = c3_merge_type_ids(std::move(seqs));
    if (!merged) return fail(inconsistent());
    return std::move(*merged);
}

PyResult<std::vector<Value>> py_compute_mro(Heap& heap, ResourceMeter& meter, const std::vector<Value>& bases) {
    std::vector<std::vector<Value>> seqs;
    for (std::size_t i = 0; i < bases.size(); ++i)
        if (std::find(bases.begin(), bases.begin() + std::ptrdiff_t(i), bases[i]) != bases.begin() + std::ptrdiff_t(i))
            return fail(duplicate_base());
    for (const Value& base : bases) {
        const HeapSlot* slot = heap.get_if_object(base);
        const ClassPayload* cls = slot ? std::get_if<ClassPayload>(&slot->object) : nullptr;
        if (!cls) return fail(PyError::unsupported("class base changed object kind"));
        std::vector<Value> seq{base};
        seq.insert(seq.end(), cls->record->mro.begin(), cls->record->mro.end());
        seqs.push_back(std::move(seq));
    }
    seqs.push_back(bases);
    auto charge = [&](std::size_t n) -> PyStatus {
        if (!meter.charge_cpu(n)) return fail(PyError::unsupported(std::string(kResourceLimitText)));
        return {};
    };
    auto merged = merge<Value>(std::move(seqs), charge);
    if (!merged) return fail(std::move(merged.error()));
    if (!*merged) return fail(inconsistent());
    for (const Value& v : **merged) heap.push_root(v);
    return std::move(**merged);
}

}  // namespace tw::py
