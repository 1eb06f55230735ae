// Per-process state of the language a process runs, carried by the kernel without knowing its
// type: the shell keeps its functions and aliases here. Copying a process copies the state deeply;
// its sizes count towards the process's modeled size and fork size.
#pragma once

#include <cstdint>
#include <memory>

namespace tw {

// Which language a state or a piece of parsed code belongs to; lets the owner get its own type
// back without a dynamic cast on hot paths.
enum class LanguageKind : std::uint8_t { Shell = 0, Python = 1 };

class LanguageState {
public:
    explicit LanguageState(LanguageKind kind) : kind_(kind) {}
    virtual ~LanguageState() = default;
    LanguageKind kind() const { return kind_; }

    // A deep copy.
    virtual std::unique_ptr<LanguageState> clone() const = 0;
    // What the state adds to the process's modeled size and to the size a child copies.
    virtual std::uint64_t modeled_size() const = 0;
    virtual std::uint64_t fork_size() const = 0;

protected:
    LanguageState(const LanguageState&) = default;
    LanguageState& operator=(const LanguageState&) = default;

private:
    LanguageKind kind_;
};

// Parsed code the kernel keeps on a language's behalf (a trap's action). Immutable, so copies of a
// process share it.
class ParsedCode {
public:
    explicit ParsedCode(LanguageKind kind) : kind_(kind) {}
    virtual ~ParsedCode() = default;
    LanguageKind kind() const { return kind_; }

private:
    LanguageKind kind_;
};
using ParsedCodePtr = std::shared_ptr<const ParsedCode>;

// Holds at most one language state; copies clone it.
class LanguageSlot {
public:
    LanguageSlot() = default;
    LanguageSlot(const LanguageSlot& other) : state_(other.state_ ? other.state_->clone() : nullptr) {}
    LanguageSlot& operator=(const LanguageSlot& other) {
        if (this != &other) state_ = other.state_ ? other.state_->clone() : nullptr;
        return *this;
    }
    LanguageSlot(LanguageSlot&&) noexcept = default;
    LanguageSlot& operator=(LanguageSlot&&) noexcept = default;

    // The state when it is of type T (which names its kind as T::kKind), else null.
    template <class T>
    T* get() {
        return state_ && state_->kind() == T::kKind ? static_cast<T*>(state_.get()) : nullptr;
    }
    template <class T>
    const T* get() const {
        return state_ && state_->kind() == T::kKind ? static_cast<const T*>(state_.get()) : nullptr;
    }
    // The state of type T, created empty when the slot holds none; replaces a state of another kind.
    template <class T>
    T& get_or_create() {
        if (T* existing = get<T>()) return *existing;
        state_ = std::make_unique<T>();
        return *static_cast<T*>(state_.get());
    }

    std::uint64_t modeled_size() const { return state_ ? state_->modeled_size() : 0; }
    std::uint64_t fork_size() const { return state_ ? state_->fork_size() : 0; }

private:
    std::unique_ptr<LanguageState> state_;
};

}  // namespace tw
