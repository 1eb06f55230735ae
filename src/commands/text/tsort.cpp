#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "commands/text/layout_commands.h"
#include "commands/text/text_lines.h"
#include "commands/util/io.h"
#include "kernel/syscalls.h"

namespace tw {

// A topological order of the graph given as pairs of words: of all nodes ready at once, the
// smallest (byte order) comes first. A cycle stops the output and is reported.
void tsort_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    std::vector<std::string_view> operands(invocation.args.begin(), invocation.args.end());
    if (operands.size() > 1) {
        push_message(io.err, "tsort", "extra operand");
        step = NativeStep::finished(1);
        return;
    }
    LentBytes storage;
    auto contents = command_gather_input(step, invocation, io, operands, "tsort", storage);
    if (!contents) return;
    if (!invocation.sys.charge_cpu(contents->size())) {
        step = NativeStep::finished(invocation.sys.exhausted_status());
        return;
    }
    const std::string text = utf8_lossy(*contents);
    const std::vector<std::string_view> tokens = split_whitespace(text);
    if (tokens.size() % 2 != 0) {
        push_message(io.err, "tsort", "input contains an odd number of tokens");
        step = NativeStep::finished(1);
        return;
    }
    std::map<std::string_view, std::uint64_t> in_degree;
    std::map<std::string_view, std::set<std::string_view>> successors;
    for (std::size_t i = 0; i < tokens.size(); i += 2) {
        const std::string_view a = tokens[i];
        const std::string_view b = tokens[i + 1];
        in_degree.try_emplace(a, 0);
        in_degree.try_emplace(b, 0);
        if (a != b && successors[a].insert(b).second) ++in_degree[b];
    }
    std::set<std::string_view> ready;
    for (const auto& [node, degree] : in_degree)
        if (degree == 0) ready.insert(node);
    std::size_t written = 0;
    while (!ready.empty()) {
        const std::string_view node = *ready.begin();
        ready.erase(ready.begin());
        push_line(io.out, node);
        ++written;
        auto it = successors.find(node);
        if (it == successors.end()) continue;
        for (std::string_view next : it->second)
            if (--in_degree[next] == 0) ready.insert(next);
    }
    if (written != in_degree.size()) {
        push_message(io.err, "tsort", "input contains a loop");
        step = NativeStep::finished(1);
        return;
    }
    step = NativeStep::finished(0);
}

}  // namespace tw
