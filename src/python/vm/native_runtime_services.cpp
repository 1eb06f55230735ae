// The engine's native runtime: the standard streams, the iteration and coroutine operations for
// native event loops, and the machine services (clock, environment, HTTP).
#include <fmt/format.h>

#include <cmath>
#include <limits>

#include "base/utf8.h"
#include "kernel/machine.h"
#include "kernel/net.h"
#include "kernel/scheduler.h"
#include "python/front/definitions.h"
#include "python/heap/heap.h"
#include "python/vm/engine.h"
#include "python/vm/iteration_runtime.h"
#include "python/vm/native_runtime.h"
#include "python/vm/protocols.h"
#include "python/vm/try.h"

namespace tw::py {

namespace {

constexpr std::uint64_t kNsPerSecond = 1'000'000'000;

std::optional<std::uint8_t> stream_index(const Value& v) {
    auto d = decode_native_handle(v);
    if (!d || d->tag != DefinitionTag::Stream) return std::nullopt;
    return std::uint8_t(std::min<std::uint64_t>(d->number, 3));
}

// ---- the clock ------------------------------------------------------------------------------------

class EngineClock final : public PyClock {
public:
    explicit EngineClock(RuntimeContext& ctx) : ctx_(ctx) {}

    PyResult<double> time() override {
        TRY_ASSIGN(ns, wall());
        return double(ns) / double(kNsPerSecond);
    }
    PyResult<std::int64_t> time_ns() override {
        TRY_ASSIGN(ns, wall());
        if (ns < std::numeric_limits<std::int64_t>::min() || ns > std::numeric_limits<std::int64_t>::max())
            return fail(PyError::exception("OverflowError", "wall clock is outside Python int range"));
        return std::int64_t(ns);
    }
    PyResult<double> monotonic() override { return double(now()) / double(kNsPerSecond); }
    PyResult<std::int64_t> monotonic_ns() override {
        if (now() > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
            return fail(PyError::exception("OverflowError", "monotonic clock is outside Python int range"));
        return std::int64_t(now());
    }
    PyResult<double> process_time() override { return double(process()) / double(kNsPerSecond); }
    PyResult<std::int64_t> process_time_ns() override {
        if (process() > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
            return fail(PyError::exception("OverflowError", "process clock is outside Python int range"));
        return std::int64_t(process());
    }

    PyStatus sleep(double seconds) override {
        const double ns = seconds * double(kNsPerSecond);
        if (!(ns <= 18446744073709551616.0))
            return fail(PyError::exception("OverflowError", "time.sleep() length is too large"));
        std::uint64_t length = ns >= 18446744073709551615.0 ? std::numeric_limits<std::uint64_t>::max()
                                                            : std::uint64_t(std::max(ns, 0.0));
        Machine& m = ctx_.machine;
        ExecState& st = ctx_.exec;
        // A sleep that parked the program runs again once woken: it is over when its end passed.
        if (st.sleep_deadline) {
            if (*st.sleep_deadline <= m.clock.now_ns()) {
                st.sleep_deadline.reset();
                return {};
            }
            return fail(PyError::suspended(WaitReason::timer(*st.sleep_deadline)));
        }
        // An armed deadline shortens the sleep to what is left of it.
        if (st.deadline.armed) {
            const std::uint64_t spent_time = m.clock.now_ns() - std::min(m.clock.now_ns(), st.deadline.start_clock_ns);
            std::uint64_t work = 0;
            if (__builtin_mul_overflow(m.meter.cpu_used(), std::uint64_t(1000), &work)) work = std::numeric_limits<std::uint64_t>::max();
            const std::uint64_t spent_work = work - std::min(work, st.deadline.start_work);
            const std::uint64_t spent = std::max(spent_time, spent_work);
            length = std::min(length, st.deadline.timeout_ns - std::min(st.deadline.timeout_ns, spent));
        }
        std::uint64_t end = 0;
        if (__builtin_add_overflow(m.clock.now_ns(), length, &end)) return fail(PyError::runtime_error("virtual time overflow"));
        if (ctx_.dispatched && st.suspension_allowed && st.synchronous_depth == 0) {
            auto key = m.clock.add_timer(m.states.active().pid, length);
            if (!key) return fail(PyError::runtime_error(error_text(key.error())));
            st.sleep_deadline = end;
            return fail(PyError::suspended(WaitReason::timer(end)));
        }
        if (auto moved = m.advance_time_to(end); !moved) return fail(PyError::runtime_error(moved.error()));
        return {};
    }

private:
    std::uint64_t now() const { return ctx_.machine.clock.now_ns(); }
    std::uint64_t process() const {
        std::uint64_t ns = 0;
        if (__builtin_mul_overflow(ctx_.machine.meter.cpu_used(), std::uint64_t(1000), &ns))
            return std::numeric_limits<std::uint64_t>::max();
        return ns;
    }
    PyResult<__int128> wall() const {
        const Clock& c = ctx_.machine.clock;
        __int128 sum = 0;
        if (__builtin_add_overflow(c.wall_base_ns(), static_cast<__int128>(c.now_ns()), &sum) ||
            __builtin_add_overflow(sum, c.wall_offset_ns(), &sum))
            return fail(PyError::runtime_error("virtual time overflow"));
        return sum;
    }

    RuntimeContext& ctx_;
};

// ---- the environment ----------------------------------------------------------------------------

class EngineEnvironment final : public PyEnvironment {
public:
    explicit EngineEnvironment(RuntimeContext& ctx) : ctx_(ctx) {}

    std::optional<std::string> get(std::string_view name) override {
        const ProcessState& p = ctx_.machine.states.active();
        if (name == "PWD") return p.cwd;
        if (auto it = p.variables.find(std::string(name)); it != p.variables.end()) return it->second;
        return std::nullopt;
    }

private:
    RuntimeContext& ctx_;
};

// ---- HTTP -----------------------------------------------------------------------------------------

constexpr std::uint64_t kMaxUrlBytes = 8192;
constexpr std::size_t kMaxHeaders = 128;
constexpr std::uint64_t kMaxHeaderBytes = 65536;
constexpr std::uint64_t kMaxBodyBytes = 8u << 20;

bool is_token_char(unsigned char c) {
    return std::isalnum(c) || std::string_view("!#$%&'*+-.^_|~`").find(char(c)) != std::string_view::npos;
}

class EngineHttp final : public PyHttp {
public:
    explicit EngineHttp(RuntimeContext& ctx) : ctx_(ctx) {}

    PyResult<PyHttpAnswer> request(PyHttpRequest r) override {
        const bool method_ok = !r.method.empty() && std::all_of(r.method.begin(), r.method.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || c == '-';
        });
        if (!method_ok) return fail(PyError::value_error("HTTP method must be a non-empty uppercase ASCII token"));
        if (r.url.size() > kMaxUrlBytes) return fail(PyError::value_error("HTTP URL exceeds 8192 bytes"));
        if (!r.url.starts_with("http://") && !r.url.starts_with("https://"))
            return fail(PyError::value_error("only http:// and https:// URLs are supported"));
        if (r.headers.size() > kMaxHeaders) return fail(PyError::value_error("HTTP request has more than 128 headers"));
        if (r.body.size() > kMaxBodyBytes)
            return fail(PyError::resource("virtual HTTP request body exceeds the 8 MiB Python limit"));
        std::uint64_t header_bytes = 0;
        for (const auto& [name, value] : r.headers) {
            const bool name_ok = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
                return is_token_char(static_cast<unsigned char>(c));
            });
            if (!name_ok || value.find_first_of("\r\n") != std::string::npos)
                return fail(PyError::value_error("invalid HTTP request header"));
            if (__builtin_add_overflow(header_bytes, name.size() + value.size(), &header_bytes))
                return fail(PyError::resource("HTTP request headers are too large"));
            if (header_bytes > kMaxHeaderBytes) return fail(PyError::value_error("HTTP request headers exceed 65536 bytes"));
        }
        Machine& m = ctx_.machine;
        if (!m.meter.charge_cpu(r.method.size() + r.url.size() + r.body.size() + header_bytes))
            return fail(PyError::resource("Python CPU limit exceeded"));
        if (r.url == kToolEndpointUrl && m.broker.host_tools_enabled() && !ctx_.dispatched)
            return fail(PyError::runtime_error("host tools require scheduler-dispatched Python"));
        HttpRequest request{std::move(r.method), std::move(r.url), std::move(r.headers), Bytes(std::move(r.body))};
        auto reply = m.broker.answer(request, m.states.active_pid(), m.vfs);
        if (!reply) {
            if (reply.error().kind == HttpFetchError::Kind::NoMatchingRoute) return PyHttpAnswer{};
            return fail(PyError::exception("OSError", error_text(reply.error())));
        }
        if (const auto* pending = std::get_if<HttpPending>(&*reply))
            return fail(PyError::suspended(WaitReason::host_http(pending->request_id)));
        HttpResponse& response = std::get<HttpResponse>(*reply);
        if (response.body.size() > kMaxBodyBytes)
            return fail(PyError::resource("virtual HTTP response body exceeds the 8 MiB Python limit"));
        std::uint64_t total = response.body.size();
        for (const auto& [name, value] : response.headers)
            if (__builtin_add_overflow(total, name.size() + value.size(), &total))
                return fail(PyError::resource("virtual HTTP response is too large"));
        if (!m.meter.charge_cpu(total)) return fail(PyError::resource("Python CPU limit exceeded"));
        return PyHttpAnswer{true, response.status, std::move(response.headers), std::string(std::move(response.body))};
    }

private:
    RuntimeContext& ctx_;
};

}  // namespace

struct EngineRuntime::Services {
    explicit Services(RuntimeContext& ctx) : clock(ctx), environment(ctx), http(ctx), vfs(make_engine_vfs(ctx)) {}
    EngineClock clock;
    EngineEnvironment environment;
    EngineHttp http;
    std::unique_ptr<PyVfs> vfs;
};

EngineRuntime::Services& EngineRuntime::services() {
    if (!services_) services_ = std::make_shared<Services>(*ctx_);
    return *services_;
}

PyClock& EngineRuntime::clock() { return services().clock; }
PyEnvironment& EngineRuntime::environment() { return services().environment; }
PyHttp& EngineRuntime::http() { return services().http; }
PyVfs& EngineRuntime::vfs() { return *services().vfs; }

// ---- standard streams -------------------------------------------------------------------------------

PyResult<std::uint64_t> EngineRuntime::stream_write(Value stream, std::string_view text) {
    auto index = stream_index(stream);
    if (!index) return fail(PyError::type_error("expected a simulated stream"));
    if (*index == 0 || *index == 3) return fail(PyError::value_error("standard input is not writable"));
    TRY_DO(python_write_stdio(*ctx_, *index, text));
    std::uint64_t chars = 0;
    for (char c : text) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return chars;
}

PyResult<StreamRead> EngineRuntime::stream_read(Value stream, bool has_limit, std::uint64_t limit, bool line) {
    auto index = stream_index(stream);
    if (!index || (*index != 0 && *index != 3)) return fail(PyError::value_error("only standard input is readable"));
    const bool bytes = *index == 3;
    if (has_limit && limit == 0) return StreamRead{bytes, {}};
    vm::StdinRead how{.raw = bytes, .line = line};
    if (has_limit) how.limit = limit;
    TRY_ASSIGN(data, vm::read_stdin(*ctx_, how));
    TRY_DO(charge_memory(data.size()));
    return StreamRead{bytes, std::move(data)};
}

// ---- iteration and coroutines ---------------------------------------------------------------------------

PyResult<std::optional<Value>> EngineRuntime::collect(Value v) { return vm::runtime_collect(*ctx_, v); }
PyResult<Value> EngineRuntime::coroutine_result(Value coroutine) { return vm::runtime_coroutine_result(*ctx_, coroutine); }
PyResult<CoroutineStep> EngineRuntime::coroutine_step(Value coroutine, Value sent) {
    return vm::runtime_coroutine_step(*ctx_, coroutine, sent);
}
PyStatus EngineRuntime::generator_close(Value generator) { return vm::runtime_generator_close(*ctx_, generator); }
PyResult<Value> EngineRuntime::generator_throw(Value generator, Value exception) {
    return vm::runtime_generator_throw(*ctx_, generator, exception);
}

}  // namespace tw::py
