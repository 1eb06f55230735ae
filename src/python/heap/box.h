// An owning pointer with value semantics: copying a Box copies what it points to (through the
// object's own `clone()` when it has one, for polymorphic records). Payload records that do not
// fit in a heap slot are boxed, so that a heap stays a value type that deep-copies.
#pragma once

#include <memory>
#include <utility>

namespace tw::py {

template <class T>
class Box {
public:
    Box() = default;
    explicit Box(std::unique_ptr<T> p) : p_(std::move(p)) {}
    template <class... Args>
    static Box make(Args&&... args) { return Box(std::make_unique<T>(std::forward<Args>(args)...)); }

    Box(const Box& o) : p_(o.p_ ? copy(*o.p_) : nullptr) {}
    Box& operator=(const Box& o) {
        if (this != &o) p_ = o.p_ ? copy(*o.p_) : nullptr;
        return *this;
    }
    Box(Box&&) noexcept = default;
    Box& operator=(Box&&) noexcept = default;

    explicit operator bool() const { return p_ != nullptr; }
    T* get() const { return p_.get(); }
    T& operator*() const { return *p_; }
    T* operator->() const { return p_.get(); }
    void reset() { p_.reset(); }

private:
    static std::unique_ptr<T> copy(const T& t) {
        if constexpr (requires { t.clone(); }) return t.clone();
        else return std::make_unique<T>(t);
    }
    std::unique_ptr<T> p_;
};

}  // namespace tw::py
