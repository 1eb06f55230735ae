// The single virtual display: a frame of 32-bit pixels one process at a time opens, paints by
// presenting whole frames and closes, and the queue of key events the host injects and the owner
// polls.
//
// Memory accounting: the frame's bytes are charged when a frame is made or grown and released when
// it shrinks (closing keeps the frame and its charge for the next open); each queued key event
// costs 16 bytes from injection until it is polled. Every failure leaves the device unchanged.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/scheduler.h"

namespace tw {

class ResourceMeter;

struct KeyEvent {
    std::uint32_t code = 0;
    std::uint8_t kind = 2;  // 1 pressed, 0 released, 2 none queued
    bool operator==(const KeyEvent&) const = default;
};

// By code: InvalidArgument 0, BadHandle 1, Busy 2, QueueFull 3, Exhausted 4.
enum class DisplayError : std::uint8_t { InvalidArgument = 0, BadHandle = 1, Busy = 2, QueueFull = 3, Exhausted = 4 };

// The variant's name ("InvalidArgument", ...).
std::string_view error_text(DisplayError e);

struct DisplayDevice {
    static constexpr std::size_t kMaxKeys = 256;
    static constexpr std::uint32_t kHandle = 1;
    static constexpr std::uint32_t kFormatRgba32 = 1;
    static constexpr std::uint32_t kMaxSide = 2048;
    static constexpr std::uint64_t kKeyCharge = 16;
    static constexpr std::uint32_t kMaxKeyCode = 65535;

    std::deque<KeyEvent> keys;
    std::optional<Bytes> frame;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool is_open = false;
    Pid owner = 0;
    std::uint64_t generation = 0;

    // Busy while open (for the owner too); InvalidArgument unless format 1 and both sides in
    // 1..2048; Exhausted when the growth of the frame is refused. The frame becomes a zeroed one of
    // width * height * 4 bytes; the generation stays. Answers the handle 1.
    Result<std::uint32_t, DisplayError> open(ResourceMeter& meter, Pid caller, std::uint32_t width,
                                             std::uint32_t height, std::uint32_t format);
    // BadHandle unless handle 1, open, owned by the caller, with a frame; InvalidArgument unless
    // stride == width * 4 and the bytes fill the frame exactly; Exhausted when the CPU charge (one
    // unit per byte) is refused. Copies the frame and bumps the generation (saturating).
    Result<void, DisplayError> present(ResourceMeter& meter, Pid caller, std::uint32_t handle, BytesView pixels,
                                       std::uint32_t stride);
    // BadHandle unless handle 1, open and owned by the caller. The oldest key event (releasing its
    // 16 bytes), or code 0 kind 2 when none is queued.
    Result<KeyEvent, DisplayError> poll_key(ResourceMeter& meter, Pid caller, std::uint32_t handle);
    // BadHandle unless handle 1, open and owned by the caller. The frame and keys stay.
    Result<void, DisplayError> close(Pid caller, std::uint32_t handle);
    // Host side, open or not: InvalidArgument for a code outside 1..65535, QueueFull with 256
    // events queued, Exhausted when the 16-byte charge is refused.
    Result<void, DisplayError> inject_key(ResourceMeter& meter, std::uint32_t code, bool pressed);
    // Takes the oldest key event (no accounting).
    std::optional<KeyEvent> pop_key_event();
    // Closes the display when `pid` holds it.
    void release_owner(Pid pid);

private:
    bool holds(Pid caller, std::uint32_t handle) const { return handle == kHandle && is_open && owner == caller; }
};

}  // namespace tw
