// A map from 64-bit keys to small values: open addressing with linear probing and backward-shift
// deletion, no tombstones. Keys are mixed with the golden-ratio multiplier before probing, so
// Python hashes of small integers (which are the integers themselves) spread well.
#pragma once

#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

namespace tw::py {

template <class V>
class FlatU64Map {
public:
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    void clear() {
        entries_.clear();
        count_ = 0;
    }

    V* find(std::uint64_t key) {
        if (entries_.empty()) return nullptr;
        for (std::size_t i = home(key);; i = (i + 1) & mask()) {
            Entry& e = entries_[i];
            if (!e.used) return nullptr;
            if (e.key == key) return &e.value;
        }
    }
    const V* find(std::uint64_t key) const { return const_cast<FlatU64Map*>(this)->find(key); }

    // The value of `key`, default-constructed and inserted when absent; `inserted` tells which.
    V& entry(std::uint64_t key, bool& inserted) {
        if ((count_ + 1) * 4 > entries_.size() * 3) grow();
        for (std::size_t i = home(key);; i = (i + 1) & mask()) {
            Entry& e = entries_[i];
            if (!e.used) {
                e.used = true;
                e.key = key;
                e.value = V{};
                ++count_;
                inserted = true;
                return e.value;
            }
            if (e.key == key) {
                inserted = false;
                return e.value;
            }
        }
    }

    bool erase(std::uint64_t key) {
        if (entries_.empty()) return false;
        std::size_t i = home(key);
        for (;; i = (i + 1) & mask()) {
            if (!entries_[i].used) return false;
            if (entries_[i].key == key) break;
        }
        // Backward shift: move later entries of the probe run into the hole when their home
        // position allows it.
        std::size_t hole = i;
        for (std::size_t j = (i + 1) & mask();; j = (j + 1) & mask()) {
            Entry& e = entries_[j];
            if (!e.used) break;
            std::size_t h = home(e.key);
            bool movable = hole <= j ? (h <= hole || h > j) : (h <= hole && h > j);
            if (movable) {
                entries_[hole] = std::move(e);
                hole = j;
            }
        }
        entries_[hole] = Entry{};
        --count_;
        return true;
    }

    template <class F>
    void for_each(F&& f) const {
        for (const Entry& e : entries_)
            if (e.used) f(e.key, e.value);
    }

private:
    struct Entry {
        std::uint64_t key = 0;
        V value{};
        bool used = false;
    };
    std::size_t mask() const { return entries_.size() - 1; }
    std::size_t home(std::uint64_t key) const { return std::size_t((key * 0x9E3779B97F4A7C15ull) >> shift_); }
    void grow() {
        std::vector<Entry> old = std::move(entries_);
        std::size_t n = old.empty() ? 8 : old.size() * 2;
        entries_.assign(n, Entry{});
        shift_ = 64 - std::countr_zero(n);
        count_ = 0;
        for (Entry& e : old)
            if (e.used) {
                bool ins;
                entry(e.key, ins) = std::move(e.value);
            }
    }

    std::vector<Entry> entries_;
    std::size_t count_ = 0;
    int shift_ = 64;
};

}  // namespace tw::py
