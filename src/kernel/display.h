// The single virtual display: a frame of 32-bit pixels one process at a time paints, and the
// queue of key events the host injects.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "base/bytes.h"
#include "kernel/scheduler.h"

namespace tw {

struct KeyEvent {
    std::uint32_t code = 0;
    std::uint8_t kind = 2;  // 1 pressed, 0 released, 2 none queued
};

struct DisplayDevice {
    static constexpr std::size_t kMaxKeys = 256;

    std::deque<KeyEvent> keys;
    std::optional<Bytes> frame;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool is_open = false;
    Pid owner = 0;
    std::uint64_t generation = 0;
};

}  // namespace tw
