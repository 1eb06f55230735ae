#include "python/heap/namespace.h"

#include <algorithm>

#include "base/panic.h"
#include "kernel/meter.h"

namespace tw::py {

namespace {
constexpr std::uint64_t kSymbolOverhead = 24;
}

Symbol Symbols::insert(std::string_view text, std::uint64_t new_size) {
    auto shared = std::make_shared<const std::string>(text);
    Symbol id = Symbol(texts_.size());
    texts_.push_back(shared);
    index_.emplace(std::string_view(*shared), id);
    modeled_size_ = new_size;
    return id;
}

PyResult<Symbol> Symbols::intern(std::string_view text, ResourceMeter& meter) {
    if (auto it = index_.find(text); it != index_.end()) return it->second;
    if (texts_.size() >= (std::uint64_t(1) << 32)) return fail(PyError::unsupported("too many Python identifiers"));
    if (text.size() >= ~std::uint64_t(0) - kSymbolOverhead + 1)
        return fail(PyError::unsupported("identifier storage size overflow"));
    std::uint64_t cost = text.size() + kSymbolOverhead;
    std::uint64_t new_size;
    if (__builtin_add_overflow(modeled_size_, cost, &new_size))
        return fail(PyError::unsupported("modeled symbol table size overflow"));
    if (!meter.charge_memory(cost)) return fail(PyError::resource(std::string(kMemoryLimitText)));
    return insert(text, new_size);
}

Symbol Symbols::intern_static(std::string_view text) {
    if (auto it = index_.find(text); it != index_.end()) return it->second;
    expect(texts_.size() < (std::uint64_t(1) << 32), "builtin names are far fewer than 2^32");
    return insert(text, modeled_size_ + text.size() + kSymbolOverhead);
}

std::optional<Symbol> Symbols::lookup(std::string_view text) const {
    if (auto it = index_.find(text); it != index_.end()) return it->second;
    return std::nullopt;
}

std::string_view Symbols::name_of(Symbol s) const {
    expect(s < texts_.size(), "symbol is interned");
    return *texts_[s];
}

std::optional<std::size_t> Namespace::index_of(Symbol s) const {
    if (has_index_) {
        if (const std::uint32_t* pos = index_.find(s)) return *pos;
        return std::nullopt;
    }
    for (std::size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].symbol == s) return i;
    return std::nullopt;
}

const Value* Namespace::get(Symbol s) const {
    auto pos = index_of(s);
    return pos ? &entries_[*pos].value : nullptr;
}

std::optional<Value> Namespace::insert(Symbol s, Value v) {
    if (auto pos = index_of(s)) {
        Value old = entries_[*pos].value;
        entries_[*pos].value = v;
        return old;
    }
    std::size_t before = entries_.size();
    expect(before < (std::uint64_t(1) << 32), "namespace position fits 32 bits");
    entries_.push_back({s, v});
    if (has_index_) {
        bool inserted;
        index_.entry(s, inserted) = std::uint32_t(before);
    } else if (before + 1 >= kIndexThreshold) {
        rebuild_index();
    }
    return std::nullopt;
}

std::optional<Value> Namespace::remove(Symbol s) {
    auto pos = index_of(s);
    if (!pos) return std::nullopt;
    Value old = entries_[*pos].value;
    entries_.erase(entries_.begin() + std::ptrdiff_t(*pos));
    rebuild_index();
    return old;
}

void Namespace::rebuild_index() {
    index_.clear();
    has_index_ = false;
    if (entries_.size() < kIndexThreshold) return;
    has_index_ = true;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        bool inserted;
        index_.entry(entries_[i].symbol, inserted) = std::uint32_t(i);
    }
}

std::optional<std::size_t> Namespace::slot_index(const std::vector<Symbol>* names, Symbol s) {
    if (!names) return std::nullopt;
    auto it = std::find(names->begin(), names->end(), s);
    if (it == names->end()) return std::nullopt;
    return std::size_t(it - names->begin());
}

const Value* Namespace::find(Symbol s) const {
    if (auto slot = slot_index(slot_names.get(), s)) {
        expect(*slot < slots.size(), "local slot number is within the slots");
        const Value& v = slots[*slot];
        return v.is_absent() ? nullptr : &v;
    }
    return get(s);
}

PyResult<std::uint64_t> Namespace::modeled_size() const {
    std::uint64_t a, b, total;
    if (__builtin_mul_overflow(std::uint64_t(slots.size()), 16, &a) ||
        __builtin_mul_overflow(std::uint64_t(entries_.size()), 48, &b) || __builtin_add_overflow(a, b, &total) ||
        __builtin_add_overflow(total, 80, &total))
        return fail(PyError::unsupported("modeled scope size overflow"));
    return total;
}

}  // namespace tw::py
