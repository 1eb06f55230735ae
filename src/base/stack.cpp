#include "base/stack.h"

#include <pthread.h>

#include <boost/context/fiber.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>
#include <exception>
#include <new>
#include <vector>

#include "base/panic.h"

namespace tw::detail {
namespace {

namespace ctx = boost::context;

// A value of stack_floor that makes every check take the slow path and answer "low": the thread's
// bounds could not be determined, so all guarded work runs on segments, whose bounds are known.
constexpr std::uintptr_t kUnknownFloor = UINTPTR_MAX - 1;

constexpr std::size_t kPooledSegments = 4;

// Freed segments kept for reuse by this thread.
struct SegmentPool {
    std::vector<ctx::stack_context> free;
    ~SegmentPool() {
        ctx::protected_fixedsize_stack allocator(kStackSegmentSize);
        for (auto& segment : free) allocator.deallocate(segment);
    }
};

thread_local SegmentPool segment_pool;

// Hands out segments from the pool (or new mappings) and reports the lowest usable address of
// the segment it gave, so that the fiber can set the floor exactly.
class PooledSegmentAllocator {
public:
    explicit PooledSegmentAllocator(std::uintptr_t* bottom) : bottom_(bottom) {}

    ctx::stack_context allocate() {
        ctx::stack_context segment = take();
        // The mapping is `size` bytes below `sp`, its lowest page being the guard page.
        *bottom_ = reinterpret_cast<std::uintptr_t>(segment.sp) - segment.size +
                   ctx::stack_traits::page_size();
        return segment;
    }

    void deallocate(ctx::stack_context& segment) noexcept {
        auto& free = segment_pool.free;
        if (free.size() < kPooledSegments) {
            free.push_back(segment);
            return;
        }
        ctx::protected_fixedsize_stack(kStackSegmentSize).deallocate(segment);
    }

private:
    static ctx::stack_context take() {
        auto& free = segment_pool.free;
        if (!free.empty()) {
            ctx::stack_context segment = free.back();
            free.pop_back();
            return segment;
        }
        try {
            return ctx::protected_fixedsize_stack(kStackSegmentSize).allocate();
        } catch (const std::bad_alloc&) {
            panic("unable to allocate a stack segment");
        }
    }

    std::uintptr_t* bottom_;
};

std::uintptr_t thread_stack_floor() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return kUnknownFloor;
    void* addr = nullptr;
    std::size_t size = 0;
    std::size_t guard = 0;
    bool known = pthread_attr_getstack(&attr, &addr, &size) == 0 && addr != nullptr && size != 0;
    pthread_attr_getguardsize(&attr, &guard);
    pthread_attr_destroy(&attr);
    if (!known) return kUnknownFloor;
    return reinterpret_cast<std::uintptr_t>(addr) + guard + kStackHeadroom;
}

}  // namespace

bool stack_low_slow(std::uintptr_t frame) {
    if (stack_floor == UINTPTR_MAX) stack_floor = thread_stack_floor();
    if (stack_floor == kUnknownFloor) return true;
    return frame < stack_floor;
}

void run_on_fresh_segment(void (*fn)(void*), void* arg) {
    std::exception_ptr failure;
    std::uintptr_t saved_floor = stack_floor;
    std::uintptr_t bottom = 0;
    ctx::fiber segment(std::allocator_arg, PooledSegmentAllocator(&bottom),
                       [&](ctx::fiber&& caller) {
                           stack_floor = bottom + kStackHeadroom;
                           try {
                               fn(arg);
                           } catch (const ctx::detail::forced_unwind&) {
                               throw;
                           } catch (...) {
                               failure = std::current_exception();
                           }
                           return std::move(caller);
                       });
    segment = std::move(segment).resume();
    stack_floor = saved_floor;
    if (failure) std::rethrow_exception(failure);
}

}  // namespace tw::detail
