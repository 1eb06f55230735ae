// Stack growth for deep recursion.
//
// Recursive parsers and evaluators wrap each recursive step in `with_stack_headroom`:
//
//     return tw::with_stack_headroom([&] { return parse_command(); });
//
// When at least `kStackHeadroom` bytes of stack remain below the caller, the function runs
// directly; the test is one comparison of the frame address with a per-thread floor. Otherwise it
// runs on a fresh segment of `kStackSegmentSize` bytes (with a guard page), and the floor moves to
// that segment while it runs, so deeper recursion chains further segments. Exceptions thrown by
// the function (tw::Panic included) are carried back and rethrown on the caller's stack.
//
// Segments are reused through a small per-thread pool, so recursion that oscillates around the
// threshold does not map and unmap memory on every call. The nesting-depth limits of the callers
// stay their own business: this only keeps the recursion they allow from exhausting the stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

namespace tw {

inline constexpr std::size_t kStackHeadroom = 256 * 1024;
inline constexpr std::size_t kStackSegmentSize = 4 * 1024 * 1024;

namespace detail {

// The lowest frame address this thread may reach on its current stack before work moves to a
// fresh segment: the segment's lowest usable address plus the headroom. It starts at the largest
// address so that the first check of a thread takes the slow path, which learns the bounds.
inline thread_local std::uintptr_t stack_floor = UINTPTR_MAX;

// Slow half of the check: learns this thread's bounds on first use; true when `frame` is below
// the floor (or when the bounds cannot be determined).
bool stack_low_slow(std::uintptr_t frame);

// Runs fn(arg) on a fresh segment and returns when it finishes; rethrows what fn threw.
void run_on_fresh_segment(void (*fn)(void*), void* arg);

}  // namespace detail

// True when less than kStackHeadroom bytes of stack remain below the caller.
[[gnu::always_inline]] inline bool stack_headroom_low() {
    auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return frame < detail::stack_floor && detail::stack_low_slow(frame);
}

// Calls f(), on a fresh stack segment when the current one is nearly used up.
template <class F>
std::invoke_result_t<F&> with_stack_headroom(F&& f) {
    using R = std::invoke_result_t<F&>;
    using Fn = std::remove_reference_t<F>;
    if (!stack_headroom_low()) [[likely]]
        return f();
    if constexpr (std::is_void_v<R>) {
        detail::run_on_fresh_segment([](void* p) { (*static_cast<Fn*>(p))(); }, &f);
    } else if constexpr (std::is_reference_v<R>) {
        struct Box {
            Fn* fn;
            std::remove_reference_t<R>* out;
        };
        Box box{&f, nullptr};
        detail::run_on_fresh_segment(
            [](void* p) {
                auto* b = static_cast<Box*>(p);
                b->out = &(*b->fn)();
            },
            &box);
        return static_cast<R>(*box.out);
    } else {
        struct Box {
            Fn* fn;
            std::optional<R> out;
        };
        Box box{&f, std::nullopt};
        detail::run_on_fresh_segment(
            [](void* p) {
                auto* b = static_cast<Box*>(p);
                b->out.emplace((*b->fn)());
            },
            &box);
        return std::move(*box.out);
    }
}

}  // namespace tw
