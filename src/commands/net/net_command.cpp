// net: registers virtual HTTP routes and listener names, and lists the network log.
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "commands/net/net_commands.h"
#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

constexpr std::int32_t kUsageStatus = 2;
constexpr std::string_view kUsage = "net: usage: net route|route-file|listen|log \u2026";

// An unsigned 16-bit decimal number with an optional leading '+'; anything else is 200.
std::uint16_t route_status(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return 200;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 200;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535) return 200;
    }
    return static_cast<std::uint16_t>(value);
}

std::int32_t route(NativeInvocation& inv, CommandIo& io) {
    const auto args = inv.args;
    if (args.size() < 2) {
        push_line(io.err, "net route: missing url pattern");
        return kUsageStatus;
    }
    const std::uint16_t status = args.size() > 2 ? route_status(args[2]) : 200;
    Bytes body;
    for (std::size_t i = 3; i < args.size(); ++i) {
        if (i > 3) body += ' ';
        body += args[i];
    }
    if (auto added = inv.sys.add_http_route(args[1], status, std::move(body)); !added) {
        push_message(io.err, "net route", error_text(added.error()));
        return kUsageStatus;
    }
    return 0;
}

std::int32_t route_file(NativeInvocation& inv, CommandIo& io) {
    const auto args = inv.args;
    if (args.size() < 3) {
        push_line(io.err, "net route-file: usage: net route-file <pattern> <vfs-path>");
        return kUsageStatus;
    }
    if (auto added = inv.sys.add_http_route_file(args[1], operand_path(inv.sys, args[2])); !added) {
        push_message(io.err, "net route-file", error_text(added.error()));
        return kUsageStatus;
    }
    return 0;
}

}  // namespace

std::int32_t net_command(NativeInvocation& inv, CommandIo& io) {
    const std::string_view sub = inv.args.empty() ? std::string_view() : std::string_view(inv.args[0]);
    if (sub == "route") return route(inv, io);
    if (sub == "route-file") return route_file(inv, io);
    if (sub == "listen") {
        if (inv.args.size() > 1) inv.sys.listen(inv.args[1]);
        return 0;
    }
    if (sub == "log") {
        const std::uint64_t count = inv.sys.network_log_len();
        for (std::uint64_t i = 0; i < count; ++i)
            if (std::optional<NetworkRequest> entry = inv.sys.network_log_entry(i))
                push_line(io.out, fmt::format("{} {}", entry->method, entry->url));
        return 0;
    }
    push_line(io.err, kUsage);
    return kUsageStatus;
}

}  // namespace tw
