#include "kernel/display.h"

#include <algorithm>

#include "base/sat.h"
#include "kernel/machine.h"
#include "kernel/meter.h"

namespace tw {

std::string_view error_text(DisplayError e) {
    switch (e) {
    case DisplayError::InvalidArgument: return "InvalidArgument";
    case DisplayError::BadHandle: return "BadHandle";
    case DisplayError::Busy: return "Busy";
    case DisplayError::QueueFull: return "QueueFull";
    case DisplayError::Exhausted: return "Exhausted";
    }
    return "InvalidArgument";
}

Result<std::uint32_t, DisplayError> DisplayDevice::open(ResourceMeter& meter, Pid caller, std::uint32_t w,
                                                        std::uint32_t h, std::uint32_t format) {
    if (is_open) return std::unexpected(DisplayError::Busy);
    if (format != kFormatRgba32 || w < 1 || w > kMaxSide || h < 1 || h > kMaxSide)
        return std::unexpected(DisplayError::InvalidArgument);
    const std::uint64_t length = std::uint64_t{w} * h * 4;
    const std::uint64_t current = frame ? frame->size() : 0;
    if (length > current) {
        if (!meter.charge_memory(length - current)) return std::unexpected(DisplayError::Exhausted);
    } else {
        meter.release_memory(current - length);
    }
    frame = Bytes(length, '\0');
    width = w;
    height = h;
    is_open = true;
    owner = caller;
    return kHandle;
}

Result<void, DisplayError> DisplayDevice::present(ResourceMeter& meter, Pid caller, std::uint32_t handle,
                                                  BytesView pixels, std::uint32_t stride) {
    if (!holds(caller, handle) || !frame) return std::unexpected(DisplayError::BadHandle);
    if (std::uint64_t{stride} != std::uint64_t{width} * 4 || pixels.size() != frame->size())
        return std::unexpected(DisplayError::InvalidArgument);
    if (!meter.charge_cpu(pixels.size())) return std::unexpected(DisplayError::Exhausted);
    std::ranges::copy(pixels, frame->begin());
    generation = sat_add(generation, 1);
    return {};
}

Result<KeyEvent, DisplayError> DisplayDevice::poll_key(ResourceMeter& meter, Pid caller, std::uint32_t handle) {
    if (!holds(caller, handle)) return std::unexpected(DisplayError::BadHandle);
    if (auto event = pop_key_event()) {
        meter.release_memory(kKeyCharge);
        return *event;
    }
    return KeyEvent{0, 2};
}

Result<void, DisplayError> DisplayDevice::close(Pid caller, std::uint32_t handle) {
    if (!holds(caller, handle)) return std::unexpected(DisplayError::BadHandle);
    is_open = false;
    return {};
}

Result<void, DisplayError> DisplayDevice::inject_key(ResourceMeter& meter, std::uint32_t code, bool pressed) {
    if (code < 1 || code > kMaxKeyCode) return std::unexpected(DisplayError::InvalidArgument);
    if (keys.size() >= kMaxKeys) return std::unexpected(DisplayError::QueueFull);
    if (!meter.charge_memory(kKeyCharge)) return std::unexpected(DisplayError::Exhausted);
    keys.push_back(KeyEvent{code, static_cast<std::uint8_t>(pressed ? 1 : 0)});
    return {};
}

std::optional<KeyEvent> DisplayDevice::pop_key_event() {
    if (keys.empty()) return std::nullopt;
    KeyEvent event = keys.front();
    keys.pop_front();
    return event;
}

void DisplayDevice::release_owner(Pid pid) {
    if (is_open && owner == pid) is_open = false;
}

// ---- Machine: acting for the active process ----

Result<std::uint32_t, DisplayError> Machine::display_open(std::uint32_t width, std::uint32_t height,
                                                          std::uint32_t format) {
    return display.open(meter, states.active_pid(), width, height, format);
}

Result<void, DisplayError> Machine::display_present(std::uint32_t handle, BytesView pixels, std::uint32_t stride) {
    return display.present(meter, states.active_pid(), handle, pixels, stride);
}

Result<KeyEvent, DisplayError> Machine::input_poll_key(std::uint32_t handle) {
    return display.poll_key(meter, states.active_pid(), handle);
}

Result<void, DisplayError> Machine::display_close(std::uint32_t handle) {
    return display.close(states.active_pid(), handle);
}

Result<void, DisplayError> Machine::inject_key(std::uint32_t code, bool pressed) {
    return display.inject_key(meter, code, pressed);
}

void Machine::release_display(Pid pid) { display.release_owner(pid); }

}  // namespace tw
