// tarnwick-run: runs shell source as one action in a freshly booted machine.
//
//   tarnwick-run [--cpu N] [--memory N] [--disk N] [--output N] [--real-time]
//                [--metadata FILE] (-c TEXT | FILE)
//
// The driver's own standard input (read to its end first, unless it is a terminal) is the
// action's standard input; the action's standard output and error bytes go to the driver's own,
// and the driver exits with the action's status. With --metadata the run's outcome and usage are
// written to FILE as JSON.
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "harness/action.h"
#include "kernel/machine.h"

namespace {

constexpr std::string_view kUsage =
    "usage: tarnwick-run [--cpu N] [--memory N] [--disk N] [--output N] [--real-time] [--metadata FILE] "
    "(-c TEXT | FILE)\n";

int usage_error(std::string_view message) {
    fmt::print(stderr, "tarnwick-run: {}\n{}", message, kUsage);
    return 2;
}

std::optional<std::uint64_t> parse_number(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool write_all(std::FILE* stream, std::string_view bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size() && std::fflush(stream) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    tw::MachineLimits limits{
        .cpu = 100'000'000'000ULL,
        .memory = 8ULL << 30,
        .disk = 4ULL << 30,
        .output = 1ULL << 30,
    };
    bool real_time = false;
    std::optional<std::string> source;
    std::optional<std::string> metadata_path;

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string_view(argv[++i]);
        };
        if (arg == "--cpu" || arg == "--memory" || arg == "--disk" || arg == "--output") {
            const std::optional<std::string_view> text = value();
            if (!text) return usage_error(fmt::format("{} needs a number", arg));
            const std::optional<std::uint64_t> n = parse_number(*text);
            if (!n) return usage_error(fmt::format("{}: not a number: {}", arg, *text));
            (arg == "--cpu" ? limits.cpu : arg == "--memory" ? limits.memory : arg == "--disk" ? limits.disk
                                                                                            : limits.output) = *n;
        } else if (arg == "--real-time") {
            real_time = true;
        } else if (arg == "--metadata") {
            const std::optional<std::string_view> path = value();
            if (!path) return usage_error("--metadata needs a file");
            metadata_path = std::string(*path);
        } else if (arg == "-c") {
            const std::optional<std::string_view> text = value();
            if (!text) return usage_error("-c needs the source text");
            source = std::string(*text);
        } else if (arg == "-h" || arg == "--help") {
            fmt::print("{}", kUsage);
            return 0;
        } else if (!source && !arg.starts_with("-")) {
            std::ifstream file{std::string(arg), std::ios::binary};
            if (!file) return usage_error(fmt::format("cannot read {}", arg));
            source.emplace(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        } else {
            return usage_error(fmt::format("unexpected argument {}", arg));
        }
    }
    if (!source) return usage_error("no source given");

    std::string input;
    if (!isatty(STDIN_FILENO)) {
        std::ostringstream collected;
        collected << std::cin.rdbuf();
        input = std::move(collected).str();
    }

    tw::Machine machine = tw::Machine::create(limits, real_time);
    const tw::ActionResult result = machine.run_action(*source, input);

    const bool written = write_all(stdout, result.out) & write_all(stderr, result.err);
    if (metadata_path) {
        std::ofstream file(*metadata_path, std::ios::binary | std::ios::trunc);
        file << tw::outcome_json(result.outcome);
        if (!file) {
            fmt::print(stderr, "tarnwick-run: cannot write {}\n", *metadata_path);
            return 2;
        }
    }
    if (!written) return 2;
    return result.outcome.exit_status & 0xff;
}
