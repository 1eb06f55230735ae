#include "module/worker.h"

#include <pthread.h>

#include <atomic>
#include <cstring>
#include <string>

#include <fmt/format.h>

#include "base/panic.h"

namespace tw {
namespace {

struct WorkerJob {
    const std::function<void()>* body = nullptr;
    std::exception_ptr fault;
};

void* worker_main(void* argument) {
    auto* job = static_cast<WorkerJob*>(argument);
    (void)pthread_setname_np(pthread_self(), std::string(kWorkerThreadName).c_str());
    try {
        (*job->body)();
    } catch (...) {
        job->fault = std::current_exception();
    }
    return nullptr;
}

std::atomic<std::uint64_t> g_fork_generation{0};

void count_fork_in_child() { g_fork_generation.fetch_add(1); }

}  // namespace

std::uint64_t fork_generation() {
    static const bool installed = pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
    (void)installed;
    return g_fork_generation.load();
}

std::string fault_text(const std::exception_ptr& fault) {
    std::string message;
    try {
        std::rethrow_exception(fault);
    } catch (const Panic& panic) {
        message = panic.message();
    } catch (const std::exception& error) {
        message = error.what();
    } catch (...) {
    }
    if (message.empty()) return "tarnwick operation panicked";
    return fmt::format("tarnwick operation panicked: {}", message);
}

Result<void, std::string> run_on_worker_thread(const std::function<void()>& body) {
    WorkerJob job{.body = &body, .fault = nullptr};
    pthread_attr_t attributes;
    if (int rc = pthread_attr_init(&attributes); rc != 0)
        return std::unexpected(fmt::format("could not start tarnwick worker: {}", std::strerror(rc)));
    int rc = pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
    pthread_t thread{};
    if (rc == 0) rc = pthread_create(&thread, &attributes, worker_main, &job);
    pthread_attr_destroy(&attributes);
    if (rc != 0) return std::unexpected(fmt::format("could not start tarnwick worker: {}", std::strerror(rc)));
    expect(pthread_join(thread, nullptr) == 0, "the tarnwick worker can be joined");
    if (job.fault) return std::unexpected(fault_text(job.fault));
    return {};
}

}  // namespace tw
