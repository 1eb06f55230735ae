// The collector: a young collection marks from the roots and the remembered old objects and
// promotes the survivors of the young list; a full collection marks the whole heap and sweeps
// every slot. Marking uses an explicit worklist, never recursion.
#include "base/panic.h"
#include "base/sat.h"
#include "kernel/meter.h"
#include "python/heap/heap.h"

namespace tw::py {

namespace {
PyError out_of_budget() { return PyError::unsupported(std::string(kResourceLimitText)); }
}  // namespace

template <bool Young>
class Heap::Marker final : public ValueVisitor {
public:
    explicit Marker(Heap& heap) : heap_(heap) {}

    void operator()(const Value& v) {
        if (!v.is_object()) return;
        const Handle h = v.handle();
        if (h.index >= heap_.slots_.size()) return;
        HeapSlot& s = heap_.slots_[h.index];
        if (s.is_free() || s.generation() != h.generation || (s.flags & HeapSlot::kMark)) return;
        if constexpr (Young) {
            if (!s.young()) return;
        }
        s.flags |= HeapSlot::kMark;
        work_.push_back(h.bits());
    }
    void visit(const Value& v) override { (*this)(v); }

    void trace(const HeapSlot& s) {
        if (s.attributes) {
            for (const Value& v : s.attributes->shaped_values) (*this)(v);
            for (const NamespaceEntry& e : s.attributes->dict.entries()) (*this)(e.value);
        }
        for_each_value(s.object, *this);
    }

    PyStatus drain() {
        while (!work_.empty()) {
            Handle h = Handle::from_bits(work_.back());
            work_.pop_back();
            if (h.index >= heap_.slots_.size() || heap_.slots_[h.index].is_free())
                return fail(PyError::unsupported("invalid object reference during collection"));
            trace(heap_.slots_[h.index]);
        }
        return {};
    }

private:
    Heap& heap_;
    std::vector<std::uint64_t> work_;
};

template <bool Young>
PyStatus Heap::mark_from_roots(Marker<Young>& m, RootSource* roots, const HeapObject* pending, bool remembered) {
    for (std::uint64_t bits : scoped_roots_) m(Value::object(Handle::from_bits(bits)));
    if (roots) roots->visit_roots(m);
    if (pending) for_each_value(*pending, m);
    if (remembered) {
        for (std::uint32_t i : remembered_list_) {
            if (i >= slots_.size() || slots_[i].is_free()) continue;
            slots_[i].flags &= ~HeapSlot::kRemembered;
            m.trace(slots_[i]);
        }
    }
    return m.drain();
}

std::uint64_t Heap::free_slot(std::uint32_t index) {
    HeapSlot& s = slots_[index];
    if (s.is_free()) return 0;
    std::uint64_t bytes = s.modeled_size;
    std::uint32_t next_generation = (s.generation() + 1) & HeapSlot::kGenerationMask;
    s.object = FreeSlot{};
    s.attributes.reset();
    s.modeled_size = 0;
    s.type_id = 0;
    s.flags = next_generation;
    free_list_.push_back({index, next_generation});
    return bytes;
}

PyStatus Heap::collect_young(RootSource* roots, const HeapObject* pending, ResourceMeter& meter) {
    if (!meter.charge_cpu(young_list_.size())) return fail(out_of_budget());
    Marker<true> m(*this);
    if (auto r = mark_from_roots(m, roots, pending, true); !r) {
        for (std::uint32_t i : young_list_)
            if (i < slots_.size()) slots_[i].flags &= ~HeapSlot::kMark;
        return r;
    }
    remembered_list_.clear();
    std::vector<std::uint32_t> young = std::move(young_list_);
    young_list_.clear();
    std::uint64_t promoted_bytes = 0, freed = 0, promoted = 0;
    for (std::uint32_t i : young) {
        HeapSlot& s = slots_[i];
        if (s.is_free() || !s.young()) continue;
        if (s.flags & HeapSlot::kMark) {
            s.flags &= ~(HeapSlot::kMark | HeapSlot::kYoung | HeapSlot::kRemembered);
            promoted_bytes = sat_add(promoted_bytes, s.modeled_size);
            ++promoted;
        } else {
            freed = sat_add(freed, free_slot(i));
        }
    }
    young_bytes_ = 0;
    old_bytes_ = sat_add(old_bytes_, promoted_bytes);
    total_bytes_ = sat_sub(total_bytes_, freed);
    ++young_collections_;
    meter.release_memory(freed);
    promoted_objects_ += promoted;
    if (!meter.charge_cpu(promoted)) return fail(out_of_budget());
    return {};
}

PyResult<std::uint64_t> Heap::collect_full(RootSource* roots, const HeapObject* pending, ResourceMeter& meter) {
    if (auto r = collect_young(roots, pending, meter); !r) return fail(std::move(r.error()));
    if (!meter.charge_cpu(slots_.size())) return fail(out_of_budget());
    Marker<false> m(*this);
    if (auto r = mark_from_roots(m, roots, pending, false); !r) {
        // Leave no marks behind on failure.
        for (HeapSlot& s : slots_) s.flags &= ~HeapSlot::kMark;
        return fail(std::move(r.error()));
    }
    std::uint64_t freed = 0;
    for (std::uint32_t i = 0; i < slots_.size(); ++i) {
        HeapSlot& s = slots_[i];
        if (s.is_free()) continue;
        if (s.flags & HeapSlot::kMark) s.flags &= ~HeapSlot::kMark;
        else freed = sat_add(freed, free_slot(i));
    }
    old_bytes_ = sat_sub(old_bytes_, freed);
    total_bytes_ = sat_sub(total_bytes_, freed);
    next_full_threshold_ = sat_mul(old_bytes_, 2);
    ++full_collections_;
    meter.release_memory(freed);
    return freed;
}

}  // namespace tw::py
