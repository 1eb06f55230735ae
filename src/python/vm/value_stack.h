// The growable array behind the value stack and the fast locals of a running program. It keeps
// the interface of the vector it stands for, but its push is a compare and a store that always
// inlines (only growth is a call), which the dispatch loop relies on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <new>
#include <type_traits>

#include "python/heap/value.h"

namespace tw::py {

class ValueStack {
public:
    using value_type = Value;
    using size_type = std::size_t;
    using iterator = Value*;
    using const_iterator = const Value*;
    using reference = Value&;
    using const_reference = const Value&;

    ValueStack() = default;
    ValueStack(const ValueStack& o) { append(o.begin_, o.end_); }
    ValueStack(std::initializer_list<Value> items) { append(items.begin(), items.end()); }
    ValueStack& operator=(std::initializer_list<Value> items) {
        assign(items.begin(), items.end());
        return *this;
    }
    ValueStack(ValueStack&& o) noexcept : begin_(o.begin_), end_(o.end_), cap_(o.cap_) {
        o.begin_ = o.end_ = o.cap_ = nullptr;
    }
    ValueStack& operator=(const ValueStack& o) {
        if (this != &o) {
            end_ = begin_;
            append(o.begin_, o.end_);
        }
        return *this;
    }
    ValueStack& operator=(ValueStack&& o) noexcept {
        if (this != &o) {
            release();
            begin_ = o.begin_, end_ = o.end_, cap_ = o.cap_;
            o.begin_ = o.end_ = o.cap_ = nullptr;
        }
        return *this;
    }
    ~ValueStack() { release(); }

    std::size_t size() const { return std::size_t(end_ - begin_); }
    bool empty() const { return end_ == begin_; }
    std::size_t capacity() const { return std::size_t(cap_ - begin_); }
    Value* data() { return begin_; }
    const Value* data() const { return begin_; }
    Value* begin() { return begin_; }
    Value* end() { return end_; }
    const Value* begin() const { return begin_; }
    const Value* end() const { return end_; }
    Value& operator[](std::size_t i) { return begin_[i]; }
    const Value& operator[](std::size_t i) const { return begin_[i]; }
    Value& back() { return end_[-1]; }
    const Value& back() const { return end_[-1]; }
    Value& front() { return *begin_; }
    const Value& front() const { return *begin_; }

    [[gnu::always_inline]] void push_back(const Value& v) {
        if (end_ == cap_) [[unlikely]] {
            const Value copy = v;  // `v` may live in this stack
            grow(1);
            *end_++ = copy;
            return;
        }
        *end_++ = v;
    }
    template <class... A>
    Value& emplace_back(A&&... args) {
        push_back(Value(std::forward<A>(args)...));
        return back();
    }
    void pop_back() { --end_; }
    void clear() { end_ = begin_; }
    void reserve(std::size_t n) {
        if (n > capacity()) reallocate(n);
    }
    [[gnu::always_inline]] void resize(std::size_t n, const Value& fill = Value()) {
        if (n <= size()) {
            end_ = begin_ + n;
            return;
        }
        extend(n, fill);
    }

    Value* erase(const Value* first, const Value* last) {
        Value* f = const_cast<Value*>(first);
        const std::size_t tail = std::size_t(end_ - last);
        if (first != last) std::memmove(static_cast<void*>(f), last, tail * sizeof(Value));
        end_ = f + tail;
        return f;
    }
    Value* erase(const Value* pos) { return erase(pos, pos + 1); }
    template <class It>
    Value* insert(const Value* pos, It first, It last) {
        const std::size_t at = std::size_t(pos - begin_);
        const std::size_t n = std::size_t(std::distance(first, last));
        if (n == 0) return begin_ + at;
        if (size() + n > capacity()) {
            // The source may be this stack: copy it out before moving the storage.
            ValueStack copy;
            copy.append_range(first, n);
            grow(n);
            open_gap(at, n);
            std::memcpy(static_cast<void*>(begin_ + at), copy.begin_, n * sizeof(Value));
            return begin_ + at;
        }
        ValueStack copy;
        copy.append_range(first, n);
        open_gap(at, n);
        std::memcpy(static_cast<void*>(begin_ + at), copy.begin_, n * sizeof(Value));
        return begin_ + at;
    }
    Value* insert(const Value* pos, const Value& v) { return insert(pos, &v, &v + 1); }
    template <class It>
    void assign(It first, It last) {
        ValueStack copy;
        copy.append_range(first, std::size_t(std::distance(first, last)));
        *this = std::move(copy);
    }

    void assign(std::size_t n, const Value& v) {
        const Value copy = v;
        clear();
        resize(n, copy);
    }

    friend bool operator==(const ValueStack& a, const ValueStack& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (!(a[i] == b[i])) return false;
        return true;
    }

private:
    static_assert(std::is_trivially_copyable_v<Value> && std::is_trivially_destructible_v<Value>);

    [[gnu::noinline]] void extend(std::size_t n, const Value& fill) {
        const Value copy = fill;  // `fill` may live in this stack
        if (n > capacity()) grow(n - size());
        for (Value* p = end_; p != begin_ + n; ++p) *p = copy;
        end_ = begin_ + n;
    }
    void append(const Value* first, const Value* last) { append_range(first, std::size_t(last - first)); }
    template <class It>
    void append_range(It first, std::size_t n) {
        if (size() + n > capacity()) grow(n);
        for (std::size_t i = 0; i < n; ++i, ++first) *end_++ = *first;
    }
    void open_gap(std::size_t at, std::size_t n) {
        std::memmove(static_cast<void*>(begin_ + at + n), begin_ + at, (size() - at) * sizeof(Value));
        end_ += n;
    }
    // Room for `more` values beyond the size, at least doubling.
    [[gnu::noinline]] void grow(std::size_t more) {
        std::size_t want = size() + more;
        std::size_t doubled = capacity() * 2;
        reallocate(want > doubled ? (want < 16 ? 16 : want) : doubled);
    }
    void reallocate(std::size_t n) {
        Value* fresh = static_cast<Value*>(::operator new(n * sizeof(Value)));
        const std::size_t s = size();
        if (s) std::memcpy(static_cast<void*>(fresh), begin_, s * sizeof(Value));
        release();
        begin_ = fresh;
        end_ = fresh + s;
        cap_ = fresh + n;
    }
    void release() {
        if (begin_) ::operator delete(begin_);
        begin_ = end_ = cap_ = nullptr;
    }

    Value* begin_ = nullptr;
    Value* end_ = nullptr;
    Value* cap_ = nullptr;
};

}  // namespace tw::py
