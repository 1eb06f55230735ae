// Broken invariants. A failure the caller can act on is a value (see result.h); a panic is for
// states the code itself guarantees can never happen. It aborts the current machine operation;
// the module glue reports it to Python as "tarnwick operation panicked: <message>".
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace tw {

class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] void panic(std::string message);

// Aborts with `message` when `condition` is false.
inline void expect(bool condition, std::string_view message) {
    if (!condition) [[unlikely]]
        panic(std::string(message));
}

// "internal error: entered unreachable code: <what>"
[[noreturn]] void unreachable(std::string_view what);

}  // namespace tw
