#include <string>
#include <string_view>

#include "base/sat.h"
#include "commands/text/line_commands.h"
#include "commands/util/io.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

bool is_name_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

void envsubst_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    if (!invocation.args.empty()) {
        push_message(io.err, "envsubst", "unsupported operand");
        step = NativeStep::finished(2);
        return;
    }
    if (auto s = command_read_stdin(invocation, io)) {
        step = *s;
        return;
    }
    std::string storage;
    const std::string_view text = valid_utf8_view(io.in, storage);
    const auto env = exported_environment(invocation);
    std::string result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t dollar = text.find('$', i);
        if (dollar == std::string_view::npos) {
            result.append(text.substr(i));
            break;
        }
        result.append(text.substr(i, dollar - i));
        std::size_t p = dollar + 1;
        const bool braced = p < text.size() && text[p] == '{';
        if (braced) ++p;
        const std::size_t name_start = p;
        while (p < text.size() && is_name_byte(text[p])) ++p;
        const std::string_view name = text.substr(name_start, p - name_start);
        if (braced && p < text.size() && text[p] == '}') ++p;
        if (name.empty()) result += '$';
        else if (auto it = env.find(name); it != env.end()) {
            // A short reference to a long value: the result can grow far beyond the input.
            if (!command_output_fits(invocation.sys, io.out, sat_add(result.size(), it->second.size()))) {
                step = NativeStep::finished(invocation.sys.exhausted_status());
                return;
            }
            result.append(it->second);
        }
        i = p;
    }
    io.out += result;
    step = NativeStep::finished(0);
}

}  // namespace tw
