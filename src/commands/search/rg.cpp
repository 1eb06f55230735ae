// rg: searches files and directory trees for lines that match expressions of the regex facade.
// Every input is chosen and loaded before anything is printed, so a failing path leaves no
// partial output.
#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "base/regex.h"
#include "base/sat.h"
#include "base/utf8.h"
#include "commands/search/line_search.h"
#include "commands/search/rg_select.h"
#include "commands/search/search_commands.h"
#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "commands/util/regex_pay.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {

namespace {

constexpr std::string_view kName = "rg";
constexpr std::int32_t kErrorStatus = 2;
constexpr std::uint64_t kContextBytesPerLine = 18;

enum class NameMode { Automatic, On, Off };

struct RgOptions {
    std::vector<std::string> patterns;
    RgSelection selection;
    std::uint64_t after = 0, before = 0;
    std::optional<std::uint64_t> max_count;
    bool line_number = false, only_matching = false, ignore_case = false, invert = false, fixed = false,
         word = false, count = false, files_with = false, files_without = false, quiet = false, text = false,
         files = false;
    NameMode names = NameMode::Automatic;
    std::vector<std::string> positional;

    bool summary() const { return count || files_with || files_without || quiet; }
    bool context() const { return (after != 0 || before != 0) && !summary(); }
};

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Sets the flag of one short letter; false for a letter rg does not know.
bool set_short_flag(RgOptions& o, char letter) {
    switch (letter) {
    case 'c': o.count = true; return true;
    case 'h': o.names = NameMode::Off; return true;
    case 'i': o.ignore_case = true; return true;
    case 'l': o.files_with = true; return true;
    case 'n': o.line_number = true; return true;
    case 'o': o.only_matching = true; return true;
    case 'q': o.quiet = true; return true;
    case 'v': o.invert = true; return true;
    case 'w': o.word = true; return true;
    case 'F': o.fixed = true; return true;
    case 'H': o.names = NameMode::On; return true;
    default: return false;
    }
}

Result<RgOptions, std::string> parse_options(std::span<const std::string> args) {
    RgOptions o;
    bool ended = false;
    const auto take = [&](std::size_t& i, std::string_view option) { return rg_take_option_value(args, i, option); };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (ended) {
            o.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            ended = true;
            continue;
        }
        // Options with a value in the next argument.
        std::vector<std::string>* list = nullptr;
        if (a == "-e" || a == "--regexp") list = &o.patterns;
        else if (a == "-g" || a == "--glob") list = &o.selection.globs;
        else if (a == "-t" || a == "--type") list = &o.selection.types;
        if (list != nullptr) {
            auto value = take(i, a);
            if (!value) return std::unexpected(std::move(value.error()));
            list->push_back(std::move(*value));
            continue;
        }
        if (a == "-A" || a == "--after-context" || a == "-B" || a == "--before-context" || a == "-C" ||
            a == "--context") {
            auto n = rg_take_context_option(args, i, a);
            if (!n) return std::unexpected(std::move(n.error()));
            if (a != "-B" && a != "--before-context") o.after = *n;
            if (a != "-A" && a != "--after-context") o.before = *n;
            continue;
        }
        if (a == "-m" || a == "--max-count") {
            auto value = take(i, a);
            if (!value) return std::unexpected(std::move(value.error()));
            auto n = rg_parse_count(a, *value);
            if (!n) return std::unexpected(std::move(n.error()));
            o.max_count = *n;
            continue;
        }
        if (a == "-n" || a == "--line-number") { o.line_number = true; continue; }
        if (a == "-o" || a == "--only-matching") { o.only_matching = true; continue; }
        if (a == "-i" || a == "--ignore-case") { o.ignore_case = true; continue; }
        if (a == "-v" || a == "--invert-match") { o.invert = true; continue; }
        if (a == "-F" || a == "--fixed-strings") { o.fixed = true; continue; }
        if (a == "-w" || a == "--word-regexp") { o.word = true; continue; }
        if (a == "-c" || a == "--count") { o.count = true; continue; }
        if (a == "-l" || a == "--files-with-matches") { o.files_with = true; continue; }
        if (a == "--files-without-match") { o.files_without = true; continue; }
        if (a == "-q" || a == "--quiet") { o.quiet = true; continue; }
        if (a == "--hidden") { o.selection.hidden = true; continue; }
        if (a == "-a" || a == "--text") { o.text = true; continue; }
        if (a == "-H" || a == "--with-filename") { o.names = NameMode::On; continue; }
        if (a == "-h" || a == "--no-filename") { o.names = NameMode::Off; continue; }
        if (a == "--files") { o.files = true; continue; }
        if (a == "--no-ignore" || a == "--no-heading" || a == "--color=never") continue;

        const std::string_view av = a;
        bool handled = false;
        for (auto [prefix, target] : {std::pair{std::string_view("--glob="), &o.selection.globs},
                                      std::pair{std::string_view("--type="), &o.selection.types},
                                      std::pair{std::string_view("--regexp="), &o.patterns}}) {
            if (av.starts_with(prefix)) {
                target->emplace_back(av.substr(prefix.size()));
                handled = true;
                break;
            }
        }
        if (handled) continue;
        for (std::string_view name : {"--after-context", "--before-context", "--context"}) {
            if (av.starts_with(name) && av.size() > name.size() && av[name.size()] == '=') {
                auto n = rg_parse_context_count(name, av.substr(name.size() + 1));
                if (!n) return std::unexpected(std::move(n.error()));
                if (name != "--before-context") o.after = *n;
                if (name != "--after-context") o.before = *n;
                handled = true;
                break;
            }
        }
        if (handled) continue;
        if (av.starts_with("--max-count=")) {
            auto n = rg_parse_count("--max-count", av.substr(12));
            if (!n) return std::unexpected(std::move(n.error()));
            o.max_count = *n;
            continue;
        }
        if (av.size() >= 3 && av.starts_with("-m") && all_digits(av.substr(2))) {
            auto n = rg_parse_count("-m", av.substr(2));
            if (!n) return std::unexpected(std::move(n.error()));
            o.max_count = *n;
            continue;
        }
        if (av.size() >= 3 && (av.starts_with("-A") || av.starts_with("-B") || av.starts_with("-C")) &&
            all_digits(av.substr(2))) {
            auto n = rg_parse_context_count(av.substr(0, 2), av.substr(2));
            if (!n) return std::unexpected(std::move(n.error()));
            if (av[1] != 'B') o.after = *n;
            if (av[1] != 'A') o.before = *n;
            continue;
        }
        if (av.size() >= 3 && (av.starts_with("-g") || av.starts_with("-t") || av.starts_with("-e"))) {
            std::vector<std::string>& target = av[1] == 'g' ? o.selection.globs
                                               : av[1] == 't' ? o.selection.types
                                                              : o.patterns;
            target.emplace_back(av.substr(2));
            continue;
        }
        if (av.starts_with('-')) {
            for (char letter : av.substr(1))
                if (!set_short_flag(o, letter)) return std::unexpected(fmt::format("unsupported option {}", av));
            continue;
        }
        o.positional.push_back(a);
    }
    return o;
}

// Memory charged for the inputs, given back however the command ends.
struct InputMemory {
    Syscalls& sys;
    std::uint64_t bytes = 0;
    ~InputMemory() { sys.release_memory(bytes); }
};

// The display path of a walked entry: relative to the working directory when below it.
std::string display_path(std::string_view cwd, std::string_view full) {
    if (cwd == "/") return std::string(full.substr(1));
    if (full.size() > cwd.size() && full.starts_with(cwd) && full[cwd.size()] == '/')
        return std::string(full.substr(cwd.size() + 1));
    return std::string(full);
}

class RgSearch {
public:
    RgSearch(NativeInvocation& inv, CommandIo& io, const RgOptions& o, const std::optional<Regex>& regex)
        : inv_(inv), io_(io), o_(o), regex_(regex) {}

    // The exit status.
    std::int32_t run(const std::vector<RgFile>& inputs);

private:
    enum class Outcome { Next, Quiet, Failed, Exhausted };

    Outcome search(const RgFile& input);
    Outcome search_lines(const RgFile& input, std::string_view text, std::uint64_t& matched);
    Outcome search_context(const RgFile& input, std::string_view text, bool& any);
    void print_line(std::string_view name, std::uint64_t number, bool numbered, char separator,
                    std::string_view line);
    Outcome match_failed(const RgFile& input, const RegexError& error);

    NativeInvocation& inv_;
    CommandIo& io_;
    const RgOptions& o_;
    const std::optional<Regex>& regex_;
    bool show_names_ = false;
    bool any_success_ = false;
};

void RgSearch::print_line(std::string_view name, std::uint64_t number, bool numbered, char separator,
                          std::string_view line) {
    Bytes& out = io_.out;
    if (show_names_) {
        out += name;
        out += separator;
    }
    if (numbered) {
        out += fmt::format_int(number).str();
        out += separator;
    }
    out += line;
    out += '\n';
}

RgSearch::Outcome RgSearch::match_failed(const RgFile& input, const RegexError& error) {
    if (error.kind == RegexError::Kind::Refused) return Outcome::Exhausted;
    push_message(io_.err, kName, fmt::format("{}: {}", input.path, error_text(error)));
    return Outcome::Failed;
}

RgSearch::Outcome RgSearch::search_lines(const RgFile& input, std::string_view text, std::uint64_t& matched) {
    if (o_.max_count == 0) return Outcome::Next;
    Syscalls& sys = inv_.sys;
    LineCursor lines(text);
    MatchingLines matching(*regex_, text);
    TextLine line;
    std::uint64_t number = 0;
    while (lines.next(line)) {
        ++number;
        const std::string_view content = line.in(text);
        if (!sys.charge_cpu(sat_add(content.size(), 1))) return Outcome::Exhausted;
        auto found = matching.matches(line);
        if (!found) return match_failed(input, found.error());
        if (*found == o_.invert) continue;
        ++matched;
        if (!o_.summary()) {
            if (!o_.only_matching) {
                print_line(input.path, number, o_.line_number, ':', content);
            } else {
                // Each non-empty match on its own line; an empty match shows nothing.
                auto all = regex_->find_all(content);
                if (!all) return match_failed(input, all.error());
                for (const Match& m : *all)
                    if (!m.span().empty()) print_line(input.path, number, o_.line_number, ':', m.text(content));
            }
        }
        if (o_.max_count && matched >= *o_.max_count) break;
    }
    return Outcome::Next;
}

RgSearch::Outcome RgSearch::search_context(const RgFile& input, std::string_view text, bool& any) {
    Syscalls& sys = inv_.sys;
    std::uint64_t line_count = 0;
    {
        LineCursor counter(text);
        TextLine line;
        while (counter.next(line)) ++line_count;
    }
    const std::uint64_t table = sat_mul(line_count, kContextBytesPerLine);
    if (!sys.charge_memory(table)) return Outcome::Exhausted;
    struct Release {
        Syscalls& sys;
        std::uint64_t bytes;
        ~Release() { sys.release_memory(bytes); }
    } release{sys, table};

    struct Pending {
        TextLine line;
        std::uint64_t number;
    };
    std::deque<Pending> waiting;  // unprinted lines just before the current one, at most `before`
    LineCursor lines(text);
    MatchingLines matching(*regex_, text);
    TextLine line;
    std::uint64_t number = 0, marked = 0, last_printed = 0, after_left = 0;
    while (lines.next(line)) {
        ++number;
        const std::string_view content = line.in(text);
        if (!sys.charge_cpu(sat_add(content.size(), 1))) return Outcome::Exhausted;
        auto found = matching.matches(line);
        if (!found) return match_failed(input, found.error());
        const bool chosen = *found != o_.invert && (!o_.max_count || marked < *o_.max_count);
        if (chosen) {
            ++marked;
            any = true;
            const std::uint64_t first = number - waiting.size();
            if (last_printed != 0 && first > last_printed + 1) io_.out += "--\n";
            for (const Pending& p : waiting) print_line(input.path, p.number, true, '-', p.line.in(text));
            waiting.clear();
            print_line(input.path, number, true, ':', content);
            last_printed = number;
            after_left = o_.after;
        } else if (after_left > 0) {
            print_line(input.path, number, true, '-', content);
            last_printed = number;
            --after_left;
        } else if (o_.before > 0) {
            waiting.push_back({line, number});
            if (waiting.size() > o_.before) waiting.pop_front();
        }
    }
    return Outcome::Next;
}

RgSearch::Outcome RgSearch::search(const RgFile& input) {
    if (!inv_.sys.charge_cpu(1)) return Outcome::Exhausted;
    if (o_.files) {
        push_line(io_.out, input.path);
        any_success_ = true;
        return Outcome::Next;
    }
    const std::string_view raw = input.contents.view();
    if (!o_.text && raw.find('\0') != std::string_view::npos) return Outcome::Next;
    std::string decoded;
    std::string_view text = raw;
    if (!utf8_valid(raw)) {
        decoded = utf8_lossy(raw);
        text = decoded;
    }

    if (o_.context()) {
        bool any = false;
        const Outcome outcome = search_context(input, text, any);
        if (outcome != Outcome::Next) return outcome;
        any_success_ = any_success_ || any;
        return Outcome::Next;
    }

    std::uint64_t matched = 0;
    const Outcome outcome = search_lines(input, text, matched);
    if (outcome != Outcome::Next) return outcome;
    const bool success = matched > 0 || (o_.files_without && matched == 0);
    if (success) {
        any_success_ = true;
        if (o_.quiet) return Outcome::Quiet;
    }
    const bool listed = o_.files_without ? (matched == 0 || o_.files_with) : (o_.files_with && matched > 0);
    if (listed) push_line(io_.out, input.path);
    if (!listed && o_.count) {
        if (show_names_) io_.out += fmt::format("{}:{}\n", input.path, matched);
        else io_.out += fmt::format("{}\n", matched);
    }
    return Outcome::Next;
}

std::int32_t RgSearch::run(const std::vector<RgFile>& inputs) {
    RegexCpuPay paying(inv_.sys);
    bool walked = false;
    for (const RgFile& f : inputs) walked = walked || f.walked;
    show_names_ = o_.names == NameMode::On || (o_.names == NameMode::Automatic && (inputs.size() >= 2 || walked));
    for (const RgFile& input : inputs) {
        switch (search(input)) {
        case Outcome::Next: break;
        case Outcome::Quiet: return 0;
        case Outcome::Failed: return kErrorStatus;
        case Outcome::Exhausted: return inv_.sys.exhausted_status();
        }
    }
    return any_success_ ? 0 : 1;
}

// The expression for the patterns, or nothing with --files. Errors are the message texts.
Result<std::optional<Regex>, std::string> build_matcher(const RgOptions& o) {
    if (o.files) return std::optional<Regex>{};
    if (o.patterns.empty()) return std::unexpected(std::string("a pattern is required"));
    std::string joined;
    for (std::size_t i = 0; i < o.patterns.size(); ++i) {
        std::string p = o.fixed ? regex_escape_literal(o.patterns[i]) : o.patterns[i];
        if (o.word) p = fmt::format("\\b(?:{})\\b", p);
        if (i > 0) joined += '|';
        joined += fmt::format("(?:{})", p);
    }
    RegexOptions options;
    options.caseless = o.ignore_case;
    options.multiline = true;  // lines hold no "\n"; lets one search cover many lines
    auto regex = Regex::compile(joined, options);
    if (!regex) return std::unexpected(fmt::format("invalid regular expression: {}", error_text(regex.error())));
    return std::optional<Regex>(std::move(*regex));
}

}  // namespace

void rg_command(NativeStep& step, NativeInvocation& inv, CommandIo& io) {
    Syscalls& sys = inv.sys;
    InputMemory memory{sys};
    const auto done = [&](std::int32_t status) { step = NativeStep::finished(status); };
    const auto fail = [&](std::string_view message) {
        push_message(io.err, kName, message);
        done(kErrorStatus);
    };

    auto parsed = parse_options(inv.args);
    if (!parsed) return fail(parsed.error());
    RgOptions& o = *parsed;
    std::vector<std::string> paths = std::move(o.positional);
    if (!o.files && o.patterns.empty() && !paths.empty()) {
        o.patterns.push_back(std::move(paths.front()));
        paths.erase(paths.begin());
    }

    auto matcher = build_matcher(o);
    if (!matcher) return fail(matcher.error());
    if (o.only_matching &&
        (o.invert || o.after != 0 || o.before != 0 || o.files_with || o.files || o.files_without)) {
        io.err += "rg: --only-matching cannot be combined with inverse, context, or file-list modes\n";
        return done(kErrorStatus);
    }

    // Standard input is read to its end first when a path names it, or when there is no path:
    // input arriving on a pipe (or given to the action) is then what rg searches.
    const bool reads_stdin = paths.empty() || std::ranges::find(paths, "-") != paths.end();
    if (reads_stdin) {
        if (auto pending = command_read_stdin(inv, io)) {
            step = *pending;
            return;
        }
    }

    std::vector<RgFile> inputs;
    const auto add_stdin = [&]() -> bool {
        if (!sys.charge_memory(io.in.size())) return false;
        memory.bytes = sat_add(memory.bytes, io.in.size());
        inputs.push_back({"-", LentBytes::borrowed(io.in), false});
        return true;
    };
    if (paths.empty()) {
        if (!io.in.empty()) {
            if (!add_stdin()) return fail("memory limit exceeded");
        } else {
            paths.emplace_back(".");
        }
    }
    const std::string cwd = sys.getcwd();
    for (const std::string& path : paths) {
        if (path == "-") {
            if (!add_stdin()) return fail("memory limit exceeded");
            continue;
        }
        const std::string full = path_join_normalize(cwd, path);
        auto st = sys.stat("/", full, true);
        if (!st) return fail(fmt::format("{}: No such file or directory", path));
        if (!stat_is_directory(*st)) {
            auto added = rg_collect_file(sys, o.selection, path, false, inputs, memory.bytes);
            if (!added) return fail(added.error());
            continue;
        }
        auto walked = sys.walk_tree("/", full);
        if (!walked) return fail(error_text(walked.error()));
        std::ranges::sort(*walked);
        for (const std::string& entry : *walked) {
            auto entry_st = sys.stat("/", entry, true);
            // Native executables hold no text to search (and cannot be read).
            if (!entry_st || stat_is_directory(*entry_st) || entry_st->is_native) continue;
            auto added = rg_collect_file(sys, o.selection, display_path(cwd, entry), true, inputs, memory.bytes);
            if (!added) return fail(added.error());
        }
    }

    RgSearch search(inv, io, o, *matcher);
    done(search.run(inputs));
}

}  // namespace tw
