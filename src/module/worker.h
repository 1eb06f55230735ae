// The call path of the host methods, without Python: every operation runs on a fresh worker
// thread "tarnwick-python" with an 8 MiB stack while the calling thread waits for it, under the
// machine object's own lock. Faults inside the operation (broken invariants, escaped C++
// exceptions) come back as error text; nothing escapes into the caller.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/result.h"

namespace tw {

inline constexpr std::size_t kWorkerStackBytes = 8 * 1024 * 1024;
inline constexpr std::string_view kWorkerThreadName = "tarnwick-python";

// "tarnwick operation panicked", followed by ": " and the fault's message when it has one.
std::string fault_text(const std::exception_ptr& fault);

// Runs `body` on a new worker thread and joins it. Answers nothing when the body returned, the
// fault text when it threw, or "could not start tarnwick worker: {reason}".
Result<void, std::string> run_on_worker_thread(const std::function<void()>& body);

// The same for a body with a result: its value or error text, or the failure of the thread.
template <typename T, typename Body>
Result<T, std::string> run_on_worker(Body&& body) {
    std::optional<Result<T, std::string>> result;
    if (auto ran = run_on_worker_thread([&] { result.emplace(body()); }); !ran)
        return std::unexpected(std::move(ran.error()));
    return std::move(*result);
}

// How many forks lie between the first process and this one: 0 in the first process, one more in
// each child (counted by a fork handler installed on first use).
std::uint64_t fork_generation();

// A non-reentrant mutex that remembers when its holder failed (a C++ exception unwound through
// the guard): from then on every lock attempt reports the poisoned state. A lock held by a thread
// of the parent when the process forked has no holder left to release it, and the machine behind
// it was mid-operation: in the child it reports the poisoned state instead of waiting forever.
class PoisonableMutex {
public:
    class Guard {
    public:
        explicit Guard(PoisonableMutex& owner) : owner_(&owner), exceptions_(std::uncaught_exceptions()) {}
        Guard(Guard&& other) noexcept
            : owner_(std::exchange(other.owner_, nullptr)), exceptions_(other.exceptions_) {}
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Guard& operator=(Guard&&) = delete;
        ~Guard() {
            if (owner_ == nullptr) return;
            if (std::uncaught_exceptions() > exceptions_) owner_->poisoned_ = true;
            owner_->mutex_.unlock();
        }

    private:
        PoisonableMutex* owner_;
        int exceptions_;
    };

    // Waits for the lock; nothing when it is poisoned (the lock is not kept then).
    std::optional<Guard> lock() {
        if (!mutex_.try_lock()) {
            if (holder_generation_.load() != fork_generation()) return std::nullopt;
            mutex_.lock();
        }
        holder_generation_.store(fork_generation());
        if (poisoned_) {
            mutex_.unlock();
            return std::nullopt;
        }
        return std::optional<Guard>(std::in_place, *this);
    }

    bool poisoned() const { return poisoned_; }

private:
    std::mutex mutex_;
    bool poisoned_ = false;  // written and read only with mutex_ held
    std::atomic<std::uint64_t> holder_generation_{fork_generation()};  // of the latest holder's process
};

// The whole path for one operation: takes the object's lock (`poisoned_text` when poisoned), runs
// `body` on the worker, releases the lock.
template <typename T, typename Body>
Result<T, std::string> run_locked_on_worker(PoisonableMutex& mutex, std::string_view poisoned_text, Body&& body) {
    std::optional<PoisonableMutex::Guard> guard = mutex.lock();
    if (!guard) return std::unexpected(std::string(poisoned_text));
    return run_on_worker<T>(std::forward<Body>(body));
}

}  // namespace tw
