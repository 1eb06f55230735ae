// The machine services native Python code reaches through the runtime: the clock, the calling
// process's environment and the machine's virtual HTTP broker. Each acts for the process whose
// program is running.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/heap/error.h"

namespace tw::py {

// Time on the machine's virtual clock.
class PyClock {
public:
    virtual ~PyClock() = default;
    // Wall clock (seconds since the epoch): RuntimeError "virtual time overflow"; time_ns beyond
    // the int64 range is OverflowError "wall clock is outside Python int range".
    virtual PyResult<double> time() = 0;
    virtual PyResult<std::int64_t> time_ns() = 0;
    virtual PyResult<double> monotonic() = 0;
    // OverflowError "monotonic clock is outside Python int range".
    virtual PyResult<std::int64_t> monotonic_ns() = 0;
    // The process clock: one unit of CPU work counts one microsecond.
    virtual PyResult<double> process_time() = 0;
    // OverflowError "process clock is outside Python int range".
    virtual PyResult<std::int64_t> process_time_ns() = 0;
    // Seconds, finite and not negative (checked by the caller); OverflowError "time.sleep()
    // length is too large" beyond 2**64 ns. A dispatched program is parked on a timer; any other
    // moves the virtual clock forward.
    virtual PyStatus sleep(double seconds) = 0;
};

// The variables of the calling process.
class PyEnvironment {
public:
    virtual ~PyEnvironment() = default;
    virtual std::optional<std::string> get(std::string_view name) = 0;
};

using HttpHeaderList = std::vector<std::pair<std::string, std::string>>;

struct PyHttpRequest {
    std::string method;
    std::string url;
    HttpHeaderList headers;
    std::string body;
};

// A response, or the broker's answer that no route matched.
struct PyHttpAnswer {
    bool matched = false;
    std::uint16_t status = 0;
    HttpHeaderList headers;
    std::string body;
};

// One request to the machine's virtual HTTP broker or to the virtual tool endpoint, after the
// checks of the request's method, URL, headers and sizes.
class PyHttp {
public:
    virtual ~PyHttp() = default;
    virtual PyResult<PyHttpAnswer> request(PyHttpRequest request) = 0;
};

}  // namespace tw::py
