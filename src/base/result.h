// Failures are values. Each module declares its error as an enum (or a small struct with a kind
// enum and a payload) and a free function `error_text(E)` giving its fixed display text; results
// are `Result<T, E>` = std::expected. Only the module glue turns errors into Python exceptions.
//
//   enum class SchedulerError : std::uint8_t { Capacity, DuplicateTask, ... };
//   std::string_view error_text(SchedulerError e);
//   Result<Pid, SchedulerError> Scheduler::dispatch();
//   if (!r) return std::unexpected(r.error());
#pragma once

#include <expected>
#include <string>

namespace tw {

template <class T, class E>
using Result = std::expected<T, E>;

// The success value of Result<void, E>.
template <class E>
constexpr std::expected<void, E> ok() { return {}; }

template <class E>
concept HasErrorText = requires(const E& e) {
    { error_text(e) } -> std::convertible_to<std::string>;
};

}  // namespace tw
