// xargs: reads all of standard input, splits it into items (white space, or NUL with -0; no
// quoting), builds the command lines and runs them one child at a time, waiting for each. The
// status is that of the last command that failed (0 when none did): a later success does not
// hide an earlier failure.
#include <charconv>

#include <fmt/format.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "kernel/syscalls.h"
#include "shell/program/program.h"

namespace tw {
namespace {

constexpr std::uint64_t kInputLimit = 4 * 1024 * 1024;
constexpr std::size_t kItemLimit = 65536;
constexpr std::uint64_t kLinesLimit = 16 * 1024 * 1024;

struct Options {
    std::optional<std::string> replace;  // -I
    bool nul = false;                    // -0
    bool no_run_if_empty = false;        // -r
    std::optional<std::uint64_t> per_line;  // -n
    std::vector<std::string> command;
};

ProgramStep finish(program::Xargs& state, SyscallContext& sys, std::uint64_t& budget) {
    state.finishing = true;
    if (auto step = drain_output(sys, 2, state.diagnostics, budget)) return *step;
    release_xargs(state, sys);
    return ProgramStep::finished(state.status);
}

ProgramStep refuse(program::Xargs& state, SyscallContext& sys, std::uint64_t& budget, std::string_view message,
                   std::int32_t status) {
    state.diagnostics.append(fmt::format("xargs: {}\n", message));
    state.status = status;
    return finish(state, sys, budget);
}

Result<Options, std::string> parse_options(std::span<const std::string> args) {
    Options options;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-0") {
            options.nul = true;
        } else if (arg == "-r" || arg == "--no-run-if-empty") {
            options.no_run_if_empty = true;
        } else if (arg == "-I") {
            if (i + 1 >= args.size()) return std::unexpected(std::string("option requires an argument -- 'I'"));
            options.replace = args[++i];
        } else if (arg.starts_with("-I")) {
            options.replace = arg.substr(2);
        } else if (arg.starts_with("-n")) {
            std::uint64_t n = 0;
            const std::string joined = arg.substr(2);  // -nN carries the number itself
            const std::string* text = arg.size() > 2 ? &joined : i + 1 < args.size() ? &args[++i] : nullptr;
            if (text == nullptr) return std::unexpected(std::string("invalid number for -n"));
            auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), n);
            if (text->empty() || error != std::errc() || end != text->data() + text->size())
                return std::unexpected(std::string("invalid number for -n"));
            if (n == 0) return std::unexpected(std::string("-n requires a positive number"));
            options.per_line = n;
        } else if (arg.starts_with('-')) {
            return std::unexpected(fmt::format("unsupported option '{}'", arg));
        } else {
            break;
        }
    }
    options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (options.command.empty()) options.command.emplace_back("echo");
    return options;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Items at NUL bytes (`nul`), at line ends with leading blanks removed (`lines`, as -I reads
// them), or at runs of white space.
Result<std::vector<std::string>, std::string> split_items(const std::string& text, bool nul, bool lines) {
    std::vector<std::string> items;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t end = i;
        if (nul || lines) {
            if (lines)
                while (i < text.size() && text[i] != '\n' && is_blank(text[i])) ++i;
            end = text.find(nul ? '\0' : '\n', i);
            if (end == std::string::npos) end = text.size();
        } else {
            while (i < text.size() && is_blank(text[i])) ++i;
            if (i >= text.size()) break;
            end = i;
            while (end < text.size() && !is_blank(text[end])) ++end;
        }
        if (end > i) {
            if (items.size() >= kItemLimit) return std::unexpected(std::string("too many input arguments"));
            items.emplace_back(text, i, end - i);
        }
        i = end + 1;
    }
    return items;
}

std::string replace_all(const std::string& text, const std::string& marker, const std::string& item) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, start)) {
        out.append(text, start, at - start);
        out += item;
        start = at + marker.size();
    }
    out.append(text, start);
    return out;
}

// The command lines for the items; the refusal's message otherwise.
Result<std::vector<std::vector<std::string>>, std::string> build_lines(const Options& options,
                                                                       const std::vector<std::string>& items,
                                                                       std::uint64_t& total) {
    std::vector<std::vector<std::string>> lines;
    const auto add = [&](std::vector<std::string> line) -> bool {
        for (const std::string& word : line) total = sat_add(total, word.size());
        if (total > kLinesLimit) return false;
        lines.push_back(std::move(line));
        return true;
    };
    const std::string too_big = "arguments exceed 16 MiB";
    if (options.replace) {
        if (options.replace->empty()) return std::unexpected(std::string("empty replacement marker"));
        for (const std::string& item : items) {
            std::vector<std::string> line;
            line.reserve(options.command.size());
            for (const std::string& word : options.command) line.push_back(replace_all(word, *options.replace, item));
            if (!add(std::move(line))) return std::unexpected(too_big);
        }
        return lines;
    }
    if (items.empty()) {
        if (!options.no_run_if_empty && !add(options.command)) return std::unexpected(too_big);
        return lines;
    }
    const std::size_t batch = options.per_line ? static_cast<std::size_t>(std::min<std::uint64_t>(*options.per_line, items.size()))
                                               : items.size();
    for (std::size_t start = 0; start < items.size(); start += batch) {
        std::vector<std::string> line = options.command;
        const std::size_t end = std::min(items.size(), start + batch);
        line.insert(line.end(), items.begin() + static_cast<std::ptrdiff_t>(start),
                    items.begin() + static_cast<std::ptrdiff_t>(end));
        if (!add(std::move(line))) return std::unexpected(too_big);
    }
    return lines;
}

}  // namespace

void release_xargs(program::Xargs& state, SyscallContext& sys) {
    sys.release_memory(state.charged);
    state.charged = 0;
}

ProgramStep step_xargs(program::Xargs& state, SyscallContext& sys, std::uint64_t& budget) {
    if (state.finishing) return finish(state, sys, budget);

    // 1. All of standard input.
    if (!state.input_done) {
        ProgramRead read = program_read(sys, 0, kProgramStepBytes);
        switch (read.kind) {
            case ProgramRead::Kind::Blocked: return ProgramStep::blocked(std::move(*read.wait));
            case ProgramRead::Kind::Exhausted: release_xargs(state, sys); return ProgramStep::finished(kExhaustedStatus);
            case ProgramRead::Kind::Failed:
                return refuse(state, sys, budget, fmt::format("cannot read input: {}", read.error), 1);
            case ProgramRead::Kind::End: state.input_done = true; break;
            case ProgramRead::Kind::Data:
                if (state.input.size() + read.data.size() > kInputLimit)
                    return refuse(state, sys, budget, "input exceeds 4 MiB", 1);
                if (!sys.charge_memory(read.data.size())) {
                    release_xargs(state, sys);
                    return ProgramStep::finished(kExhaustedStatus);
                }
                state.charged = sat_add(state.charged, read.data.size());
                state.input += read.data;
                return ProgramStep::yield();
        }
    }

    // 2-4. Options, items and command lines.
    if (!state.lines_built) {
        state.lines_built = true;
        auto options = parse_options(state.args);
        if (!options) return refuse(state, sys, budget, options.error(), 1);
        auto items = split_items(utf8_lossy(state.input), options->nul, options->replace.has_value());
        if (!items) return refuse(state, sys, budget, items.error(), 1);
        std::uint64_t total = 0;
        auto lines = build_lines(*options, *items, total);
        if (!lines) return refuse(state, sys, budget, lines.error(), 1);
        if (!sys.charge_memory(total)) {
            release_xargs(state, sys);
            return ProgramStep::finished(kExhaustedStatus);
        }
        state.charged = sat_add(state.charged, total);
        if (!sys.charge_cpu(sat_add(total, state.input.size()))) {
            release_xargs(state, sys);
            return ProgramStep::finished(kExhaustedStatus);
        }
        state.lines = std::move(*lines);
        state.input.clear();
        state.input.shrink_to_fit();
        state.args.clear();
    }

    // 5. One command line at a time.
    if (state.child) {
        auto ended = poll_child(sys, *state.child);
        if (!ended) return refuse(state, sys, budget, ended.error(), 125);
        if (!*ended) return ProgramStep::blocked(WaitReason::child(*state.child));
        if (**ended != 0) state.status = **ended;
        state.child.reset();
    }
    if (state.next_line >= state.lines.size()) return finish(state, sys, budget);

    ChildRequest request;
    request.argv = std::move(state.lines[state.next_line++]);
    request.configuration = own_configuration(sys);
    auto child = sys.prepare_child(request);
    if (!child) return refuse(state, sys, budget, fmt::format("cannot spawn child: {}", error_text(child.error())), 125);
    state.child = *child;
    return ProgramStep::wait_child();
}

}  // namespace tw
