// grep, egrep and fgrep: one handler, the name only choosing the starting pattern syntax.
//
// Inputs are whole files (or the complete standard input); lines are matched through the regex
// facade one input at a time. A standard input searched alone without context lines is taken in
// batches as it arrives, the search's state and the lines it printed kept between them, so a long
// input never piles up; what is printed is decided only at its end, as for a whole input. Messages about inputs that cannot be gathered come before the
// messages about inputs that cannot be searched, as if every input were gathered first; files
// found by a recursive walk are nevertheless read only when their turn to be searched comes.
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "base/glob.h"
#include "base/regex.h"
#include "base/utf8.h"
#include "commands/search/line_search.h"
#include "commands/search/search_commands.h"
#include "commands/sed/bre.h"
#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "commands/util/regex_pay.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {

namespace {

constexpr std::string_view kName = "grep";
constexpr std::string_view kUsage =
    "usage: grep [OPTIONS] PATTERN [FILE...]\n"
    "supported: -E -F -i -v -c -n -l -L -o -r -w -x -q -h -H -s -e -f -m -A -B -C\n";
constexpr std::int32_t kUsageStatus = 2;

enum class Syntax { Basic, Extended, Fixed };

enum Opt {
    IgnoreCase, Invert, Count, LineNumber, FilesWith, FilesWithout, OnlyMatching, Recursive, Extended, Fixed,
    Word, WholeLine, Quiet, NoFilename, WithFilename, NoMessages, Text, Regexp, PatternFile, MaxCount, Include,
    Exclude, ExcludeDir, Before, After, Context, Color, Help,
};

constexpr OptionSpec kOptions[] = {
    {"ignore-case", U'i', OptionValue::None, IgnoreCase},
    {"invert-match", U'v', OptionValue::None, Invert},
    {"count", U'c', OptionValue::None, Count},
    {"line-number", U'n', OptionValue::None, LineNumber},
    {"files-with-matches", U'l', OptionValue::None, FilesWith},
    {"files-without-match", U'L', OptionValue::None, FilesWithout},
    {"only-matching", U'o', OptionValue::None, OnlyMatching},
    {"recursive", U'r', OptionValue::None, Recursive},
    {"dereference-recursive", U'R', OptionValue::None, Recursive},
    {"extended-regexp", U'E', OptionValue::None, Extended},
    {"fixed-strings", U'F', OptionValue::None, Fixed},
    {"word-regexp", U'w', OptionValue::None, Word},
    {"line-regexp", U'x', OptionValue::None, WholeLine},
    {"quiet", U'q', OptionValue::None, Quiet},
    {"silent", 0, OptionValue::None, Quiet},
    {"no-filename", U'h', OptionValue::None, NoFilename},
    {"with-filename", U'H', OptionValue::None, WithFilename},
    {"no-messages", U's', OptionValue::None, NoMessages},
    {"text", U'a', OptionValue::None, Text},
    {"regexp", U'e', OptionValue::Required, Regexp},
    {"file", U'f', OptionValue::Required, PatternFile},
    {"max-count", U'm', OptionValue::Required, MaxCount},
    {"include", 0, OptionValue::Required, Include},
    {"exclude", 0, OptionValue::Required, Exclude},
    {"exclude-dir", 0, OptionValue::Required, ExcludeDir},
    {"before-context", U'B', OptionValue::Required, Before},
    {"after-context", U'A', OptionValue::Required, After},
    {"context", U'C', OptionValue::Required, Context},
    {"color", 0, OptionValue::Optional, Color},
    {"help", 0, OptionValue::None, Help},
};

struct Settings {
    bool ignore_case = false, invert = false, count = false, line_number = false, files_with = false,
         files_without = false, only_matching = false, recursive = false, word = false, whole_line = false,
         quiet = false, no_messages = false, text = false;
    bool extended = false, fixed = false;
    std::vector<std::string_view> patterns;  // -e values
    std::vector<std::string_view> pattern_files;
    std::vector<std::string_view> include, exclude, exclude_dir;
    std::optional<std::uint64_t> max_count;
    std::uint64_t before = 0, after = 0;
    std::optional<bool> with_filename;

    Syntax syntax() const { return fixed ? Syntax::Fixed : extended ? Syntax::Extended : Syntax::Basic; }
    bool context() const { return before != 0 || after != 0; }
};

// Memory charged for pattern files; given back on every way out of the handler, a suspension
// included.
struct PatternMemory {
    Syscalls& sys;
    std::uint64_t bytes = 0;
    ~PatternMemory() { sys.release_memory(bytes); }
};

// The settings from the scanned options, or the usage message.
Result<Settings, std::string> gather_settings(const ScannedOptions& scanned, Syntax initial) {
    Settings s;
    s.extended = initial == Syntax::Extended;
    s.fixed = initial == Syntax::Fixed;
    for (const ScannedOption& o : scanned.options) {
        const std::string_view value = o.value.value_or(std::string_view());
        switch (static_cast<Opt>(o.id)) {
        case IgnoreCase: s.ignore_case = true; break;
        case Invert: s.invert = true; break;
        case Count: s.count = true; break;
        case LineNumber: s.line_number = true; break;
        // -l and -L contradict each other: the later one wins.
        case FilesWith:
            s.files_with = true;
            s.files_without = false;
            break;
        case FilesWithout:
            s.files_without = true;
            s.files_with = false;
            break;
        case OnlyMatching: s.only_matching = true; break;
        case Recursive: s.recursive = true; break;
        case Extended: s.extended = true; s.fixed = false; break;
        case Fixed: s.fixed = true; break;
        case Word: s.word = true; break;
        case WholeLine: s.whole_line = true; break;
        case Quiet: s.quiet = true; break;
        case NoFilename: s.with_filename = false; break;
        case WithFilename: s.with_filename = true; break;
        case NoMessages: s.no_messages = true; break;
        case Text: s.text = true; break;
        case Regexp: s.patterns.push_back(value); break;
        case PatternFile: s.pattern_files.push_back(value); break;
        case Include: s.include.push_back(value); break;
        case Exclude: s.exclude.push_back(value); break;
        case ExcludeDir: s.exclude_dir.push_back(value); break;
        case MaxCount: {
            const auto n = parse_count_value(value);
            if (!n) return std::unexpected(fmt::format("invalid max count: {}", value));
            s.max_count = *n;
            break;
        }
        case Before:
        case After:
        case Context: {
            const auto n = parse_count_value(value);
            if (!n) return std::unexpected(fmt::format("invalid context length: {}", value));
            if (o.id != After) s.before = *n;
            if (o.id != Before) s.after = *n;
            break;
        }
        case Color: {
            const std::string_view mode = o.value ? *o.value : std::string_view("auto");
            if (mode != "never") return std::unexpected(fmt::format("unsupported color mode '{}'", mode));
            break;
        }
        case Help: break;
        }
    }
    return s;
}

// The one expression for the pattern list, or the usage message.
Result<std::string, std::string> build_expression(const std::vector<std::string>& patterns, const Settings& s) {
    std::string joined;
    if (patterns.empty()) {
        joined = "[^\\s\\S]";
    } else {
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            if (i > 0) joined += '|';
            switch (s.syntax()) {
            case Syntax::Fixed: joined += regex_escape_literal(patterns[i]); break;
            case Syntax::Extended: joined += fmt::format("(?:{})", ere_word_anchors(patterns[i])); break;
            case Syntax::Basic: {
                auto translated = bre_to_regex(patterns[i]);
                if (!translated)
                    return std::unexpected(fmt::format("unsupported regular expression: {}", translated.error()));
                joined += fmt::format("(?:{})", *translated);
                break;
            }
            }
        }
    }
    // A word match has no word character just before or just after it; the engine's
    // backtracking tries the shorter and the later matches of a line, as word matching must.
    if (s.word) joined = fmt::format("(?<!\\w)(?:{})(?!\\w)", joined);
    if (s.whole_line) joined = fmt::format("^(?:{})$", joined);
    return joined;
}

std::string_view base_name(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool any_glob_matches(const std::vector<std::string_view>& globs, std::string_view path) {
    const std::string_view base = base_name(path);
    for (std::string_view g : globs)
        if (glob_to_regex(g, path) || glob_to_regex(g, base)) return true;
    return false;
}

// The include, exclude and (with `directories`) exclude-dir globs applied to one path.
bool passes_filter(std::string_view path, const Settings& s, bool directories) {
    if (!s.include.empty() && !any_glob_matches(s.include, path)) return false;
    if (any_glob_matches(s.exclude, path)) return false;
    if (directories && !s.exclude_dir.empty()) {
        std::size_t pos = 0;
        while (pos <= path.size()) {
            std::size_t slash = path.find('/', pos);
            if (slash == std::string_view::npos) slash = path.size();
            const std::string_view component = path.substr(pos, slash - pos);
            if (!component.empty())
                for (std::string_view g : s.exclude_dir)
                    if (glob_to_regex(g, component)) return false;
            pos = slash + 1;
        }
    }
    return true;
}

// One input to search: the standard input, bytes read while gathering, or a file found by a
// walk that is read when its turn comes.
struct Input {
    enum class Kind { Stdin, Loaded, Walked };
    Kind kind = Kind::Stdin;
    std::string name;
    LentBytes contents;      // Loaded: the file's bytes, lent by the file system (nothing here writes files)
    std::uint64_t size = 0;  // Walked: the size the walk saw
    std::string path;        // Walked: the absolute path when the name is relative
    const std::string& read_path() const { return path.empty() ? name : path; }
};

// What a search has learned of one input so far; kept between the batches of a standard input
// searched as it arrives. Plain data: it is stored as bytes in the process's fold state.
struct SearchState {
    std::uint64_t lines = 0;     // lines searched
    std::uint64_t selected = 0;  // lines selected
    bool binary = false;         // a NUL byte was seen (without -a): the input is not searched
    bool invalid = false;        // invalid UTF-8 was seen: the input is not searched
    bool stopped = false;        // nothing further can be selected or printed (-q, -l, -m)
};

// How a standard input that arrives in pieces is taken: not decided yet (the arguments are
// checked once the first batch is full), gathered whole, or searched in batches.
enum class StdinMode : std::uint8_t { Undecided, Gather, Batches };

// The front of the fold state; the lines printed so far follow it.
struct StdinFold {
    SearchState state;
    StdinMode mode = StdinMode::Undecided;
};

// How much standard input is gathered before a batch is searched: the arguments are checked and
// the expression compiled once a batch.
constexpr std::size_t kStdinBatch = std::size_t{1} << 20;

StdinFold read_fold(const Bytes& fold) {
    StdinFold header;
    if (fold.size() >= sizeof header) std::memcpy(&header, fold.data(), sizeof header);
    return header;
}

void write_fold(Bytes& fold, const StdinFold& header) {
    if (fold.size() < sizeof header) fold.resize(sizeof header);
    std::memcpy(fold.data(), &header, sizeof header);
}

class GrepRun {
public:
    GrepRun(NativeInvocation& inv, CommandIo& io, const Settings& s, const Regex& regex)
        : inv_(inv), io_(io), s_(s), regex_(regex) {}

    std::int32_t run(std::span<const std::string_view> operands);

    enum class Outcome { Next, Failed, QuietMatch, Exhausted };

    // Standard input searched in batches: `fold` holds the state and the lines printed so far.
    // search_batch takes one batch of whole lines; `run` searches the rest and prints.
    void use_stdin_fold(Bytes& fold) { stdin_fold_ = &fold; }
    Outcome search_batch(const Input& input, std::string_view lines, SearchState& state);
    // The status of a search ended by a batch's Exhausted or Failed outcome, after printing what
    // it printed before the failure.
    std::int32_t end_batches(Outcome outcome);

private:

    void gather(std::span<const std::string_view> operands);
    Outcome search(const Input& input, std::string_view contents);
    // Searches the stored batches' last piece and prints the input's result.
    Outcome search_folded(const Input& input, std::string_view rest, Bytes& fold);
    // Marks `state` binary (a NUL byte, unless -a) or invalid (not UTF-8) for one piece.
    void check_text(std::string_view text, SearchState& state) const;
    // Checks and searches one piece of an input, printing to `sink_`.
    Outcome scan(const Input& input, std::string_view text, SearchState& state);
    // The input's messages and summary lines once it is searched.
    Outcome summarize(const Input& input, const SearchState& state);
    Outcome search_plain(const Input& input, std::string_view text, SearchState& state);
    Outcome search_context(const Input& input, std::string_view text, std::uint64_t& selected);
    void print_line(std::string_view name, std::uint64_t number, char separator, std::string_view line);
    // A search that failed: the CPU budget refused its work (Exhausted), or the engine's own limit
    // was hit (reported; Failed).
    Outcome match_failed(const Input& input, const RegexError& error);
    // Reports the read failures of the walked files not searched yet, as a full gathering would:
    // only a file larger than the read limit can fail after the walk described it.
    void drain_from(std::size_t index);
    std::int32_t finish(std::int32_t status);

    NativeInvocation& inv_;
    CommandIo& io_;
    const Settings& s_;
    const Regex& regex_;
    std::uint64_t memory_limit_ = 0;
    std::vector<Input> inputs_;
    bool show_names_ = false;
    bool failed_ = false;
    bool any_selected_ = false;
    bool any_listed_ = false;
    Bytes* sink_ = &io_.out;         // where matching lines are printed
    Bytes* stdin_fold_ = nullptr;    // standard input searched in batches
    Bytes gather_messages_;
    Bytes search_messages_;
};

void GrepRun::gather(std::span<const std::string_view> operands) {
    Syscalls& sys = inv_.sys;
    const std::string cwd = sys.getcwd();
    if (operands.empty() && !s_.recursive) {
        inputs_.push_back({Input::Kind::Stdin, "", {}});
        return;
    }
    if (operands.empty()) {
        // The working directory, its files named relative to it.
        auto walked = sys.walk_tree("/", cwd);
        if (!walked) {
            failed_ = true;
            if (!s_.no_messages) push_message(gather_messages_, kName, error_text(walked.error()));
            return;
        }
        const std::string prefix = cwd.ends_with('/') ? cwd : cwd + "/";
        for (std::string& path : *walked) {
            auto st = sys.stat("/", path, false);
            if (!st || !stat_is_regular(*st) || st->is_native) continue;
            std::string name = path.starts_with(prefix) ? path.substr(prefix.size()) : path;
            if (!passes_filter(name, s_, true)) continue;
            inputs_.push_back({Input::Kind::Walked, std::move(name), {}, st->size, std::move(path)});
        }
        return;
    }
    for (std::string_view op : operands) {
        if (!s_.recursive) {
            if (!passes_filter(op, s_, false)) continue;
            if (op == "-") {
                inputs_.push_back({Input::Kind::Stdin, "", {}});
                continue;
            }
            auto bytes = sys.lend_file(cwd, op, memory_limit_);
            if (!bytes) {
                failed_ = true;
                if (!s_.no_messages)
                    push_message(gather_messages_, kName, fmt::format("{}: {}", op, error_text(bytes.error())));
                continue;
            }
            inputs_.push_back({Input::Kind::Loaded, std::string(op), std::move(*bytes)});
            continue;
        }
        if (op == "-") {
            inputs_.push_back({Input::Kind::Stdin, "", {}});
            continue;
        }
        auto walked = sys.walk_tree("/", path_join_normalize(cwd, op));
        if (!walked) {
            failed_ = true;
            if (!s_.no_messages) push_message(gather_messages_, kName, error_text(walked.error()));
            continue;
        }
        for (std::string& path : *walked) {
            auto st = sys.stat("/", path, false);
            if (!st || !stat_is_regular(*st) || st->is_native) continue;
            if (!passes_filter(path, s_, true)) continue;
            inputs_.push_back({Input::Kind::Walked, std::move(path), {}, st->size});
        }
    }
}

void GrepRun::drain_from(std::size_t index) {
    if (s_.no_messages) return;
    for (std::size_t i = index; i < inputs_.size(); ++i) {
        if (inputs_[i].kind != Input::Kind::Walked || inputs_[i].size <= memory_limit_) continue;
        auto bytes = inv_.sys.lend_file("/", inputs_[i].read_path(), memory_limit_);
        if (!bytes) push_message(gather_messages_, kName, error_text(bytes.error()));
    }
}

std::int32_t GrepRun::finish(std::int32_t status) {
    io_.err += gather_messages_;
    io_.err += search_messages_;
    return status;
}

void GrepRun::print_line(std::string_view name, std::uint64_t number, char separator, std::string_view line) {
    Bytes& out = *sink_;
    if (show_names_ && !name.empty()) {
        out += name;
        out += separator;
    }
    if (s_.line_number) {
        out += fmt::format_int(number).str();
        out += separator;
    }
    out += line;
    out += '\n';
}

GrepRun::Outcome GrepRun::match_failed(const Input& input, const RegexError& error) {
    if (error.kind == RegexError::Kind::Refused) return Outcome::Exhausted;
    // Shown even with -s, which silences only complaints about the inputs themselves.
    failed_ = true;
    push_message(search_messages_, kName,
                 fmt::format("{}: {}", input.name.empty() ? "(standard input)" : input.name, error_text(error)));
    return Outcome::Failed;
}

GrepRun::Outcome GrepRun::search_plain(const Input& input, std::string_view text, SearchState& state) {
    if (s_.max_count == 0) {
        state.stopped = true;
        return Outcome::Next;
    }
    LineCursor lines(text);
    MatchingLines matching(regex_, text);
    TextLine line;
    std::uint64_t& number = state.lines;
    std::uint64_t& selected = state.selected;
    const auto stop = [&] {
        state.stopped = true;
        return Outcome::Next;
    };
    // A selected line: answers an outcome when the search of this input ends with it.
    const auto select = [&]() -> std::optional<Outcome> {
        ++selected;
        any_selected_ = true;
        if (s_.quiet) {
            state.stopped = true;
            return Outcome::QuietMatch;
        }
        if (s_.files_with) return stop();
        const bool reached = s_.max_count && selected >= *s_.max_count;
        if (s_.count || s_.files_without) {
            if (reached) return stop();
            return std::nullopt;
        }
        const std::string_view content = line.in(text);
        if (!s_.only_matching || s_.invert) {
            print_line(input.name, number, ':', content);
        } else {
            // Each non-empty match on its own line; an empty match shows nothing.
            auto all = regex_.find_all(content);
            if (!all) return match_failed(input, all.error());
            for (const Match& m : *all)
                if (!m.span().empty()) print_line(input.name, number, ':', m.text(content));
        }
        if (reached) return stop();
        return std::nullopt;
    };
    if (!s_.invert) {
        // Straight from one line holding a match to the next; the lines between are only counted.
        std::size_t from = 0;
        while (matching.skips() && from < text.size()) {
            auto next = matching.next_match_line(from);
            if (!next) return match_failed(input, next.error());
            if (!matching.skips()) break;
            const std::size_t at = std::min(*next, text.size());
            number += count_byte(text.substr(from, at - from), '\n');
            if (at == text.size()) {
                if (text.back() != '\n') ++number;  // a last line without a line feed
                return Outcome::Next;
            }
            lines.seek(at);
            lines.next(line);
            ++number;
            from = line.next;
            if (auto outcome = select()) return *outcome;
        }
        lines.seek(from);
    }
    while (lines.next(line)) {
        ++number;
        auto found = matching.matches(line);
        if (!found) return match_failed(input, found.error());
        if (*found == s_.invert) continue;
        if (auto outcome = select()) return *outcome;
    }
    return Outcome::Next;
}

GrepRun::Outcome GrepRun::search_context(const Input& input, std::string_view text, std::uint64_t& selected) {
    struct Pending {
        TextLine line;
        std::uint64_t number;
    };
    std::deque<Pending> waiting;  // unprinted lines just before the current one, at most `before`
    LineCursor lines(text);
    MatchingLines matching(regex_, text);
    TextLine line;
    std::uint64_t number = 0;
    std::uint64_t last_printed = 0;  // 0: nothing printed for this input yet
    std::uint64_t after_left = 0;
    while (lines.next(line)) {
        ++number;
        bool chosen = false;
        if (!s_.max_count || selected < *s_.max_count) {
            auto found = matching.matches(line);
            if (!found) return match_failed(input, found.error());
            chosen = *found != s_.invert;
        } else if (after_left == 0) {
            break;  // nothing after this can be selected or printed
        }
        if (chosen) {
            ++selected;
            any_selected_ = true;
            const std::uint64_t first = number - waiting.size();
            if (last_printed != 0 && first > last_printed + 1) *sink_ += "--\n";
            for (const Pending& p : waiting) print_line(input.name, p.number, '-', p.line.in(text));
            waiting.clear();
            print_line(input.name, number, ':', line.in(text));
            last_printed = number;
            after_left = s_.after;
        } else if (after_left > 0) {
            print_line(input.name, number, '-', line.in(text));
            last_printed = number;
            --after_left;
        } else if (s_.before > 0) {
            waiting.push_back({line, number});
            if (waiting.size() > s_.before) waiting.pop_front();
        }
    }
    return Outcome::Next;
}

void GrepRun::check_text(std::string_view text, SearchState& state) const {
    // In blocks that stay in the cache between the two checks. A NUL byte anywhere outweighs
    // invalid UTF-8. A block ends before a byte that starts a character, so the text is valid
    // exactly when every block is.
    constexpr std::size_t kBlock = std::size_t{256} << 10;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = std::min(at + kBlock, text.size());
        if (end < text.size() && utf8_floor_boundary(text, end) > at) end = utf8_floor_boundary(text, end);
        const std::string_view block = text.substr(at, end - at);
        if (!s_.text && block.find('\0') != std::string_view::npos) {
            state.binary = true;
            state.invalid = false;
            return;
        }
        if (!state.invalid && !utf8_valid(block)) {
            state.invalid = true;
            if (s_.text) return;
        }
        at = end;
    }
}

GrepRun::Outcome GrepRun::scan(const Input& input, std::string_view text, SearchState& state) {
    Syscalls& sys = inv_.sys;
    if (!sys.charge_cpu(text.size())) return Outcome::Exhausted;
    // Every piece is checked, also after the search has stopped: a later NUL byte or invalid
    // sequence still makes the whole input unsearchable.
    if (state.binary || state.invalid) return Outcome::Next;
    check_text(text, state);
    if (state.binary || state.invalid) return Outcome::Next;
    if (state.stopped) return Outcome::Next;
    if (!s_.context()) return search_plain(input, text, state);
    return search_context(input, text, state.selected);
}

GrepRun::Outcome GrepRun::summarize(const Input& input, const SearchState& state) {
    if (state.binary || state.invalid) {
        failed_ = true;
        if (!s_.no_messages)
            push_message(search_messages_, kName,
                         state.binary ? fmt::format("{}: binary input is not supported; use -a", input.name)
                                      : fmt::format("{}: input is not valid UTF-8", input.name));
        return Outcome::Next;
    }
    const std::uint64_t selected = state.selected;
    if (selected > 0) any_selected_ = true;
    // -q prints nothing at all, and a file list replaces the counts.
    if (s_.quiet) return selected > 0 ? Outcome::QuietMatch : Outcome::Next;
    if (s_.count && !s_.files_with && !s_.files_without) {
        if (show_names_ && !input.name.empty()) io_.out += fmt::format("{}:{}\n", input.name, selected);
        else io_.out += fmt::format("{}\n", selected);
    }
    if ((s_.files_with && selected > 0) || (s_.files_without && selected == 0)) {
        push_line(io_.out, input.name);
        any_listed_ = true;
    }
    return Outcome::Next;
}

GrepRun::Outcome GrepRun::search(const Input& input, std::string_view contents) {
    // A whole input is checked before anything is printed, so lines go straight to the output.
    SearchState state;
    const Outcome outcome = scan(input, contents, state);
    // A match that hit the engine's limits was reported; that input gives no summary.
    if (outcome == Outcome::Failed) return Outcome::Next;
    if (outcome != Outcome::Next && outcome != Outcome::QuietMatch) return outcome;
    return summarize(input, state);
}

GrepRun::Outcome GrepRun::search_batch(const Input& input, std::string_view lines, SearchState& state) {
    Bytes* const previous = sink_;
    sink_ = stdin_fold_;
    Outcome outcome = scan(input, lines, state);
    sink_ = previous;
    // -q decides at the end, when the whole input is known to be searchable.
    return outcome == Outcome::QuietMatch ? Outcome::Next : outcome;
}

std::int32_t GrepRun::end_batches(Outcome outcome) {
    if (outcome == Outcome::Exhausted) return finish(inv_.sys.exhausted_status());
    io_.out += std::string_view(*stdin_fold_).substr(sizeof(StdinFold));
    return finish(2);
}

GrepRun::Outcome GrepRun::search_folded(const Input& input, std::string_view rest, Bytes& fold) {
    StdinFold header = read_fold(fold);
    const Outcome outcome = search_batch(input, rest, header.state);
    const std::string_view printed = std::string_view(fold).substr(sizeof header);
    if (outcome == Outcome::Failed) {
        io_.out += printed;
        return Outcome::Next;
    }
    if (outcome != Outcome::Next) return outcome;
    if (!header.state.binary && !header.state.invalid) io_.out += printed;
    return summarize(input, header.state);
}

std::int32_t GrepRun::run(std::span<const std::string_view> operands) {
    // The bytes of every input are paid for as they are searched; the engine's steps beyond
    // them are paid here.
    RegexCpuPay paying(inv_.sys);
    memory_limit_ = inv_.sys.limits().memory;
    gather(operands);
    show_names_ = s_.with_filename.value_or(s_.recursive || inputs_.size() >= 2);
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
        const Input& input = inputs_[i];
        LentBytes walked;
        std::string_view contents;
        switch (input.kind) {
        case Input::Kind::Stdin: contents = io_.in; break;
        case Input::Kind::Loaded: contents = input.contents.view(); break;
        case Input::Kind::Walked: {
            auto bytes = inv_.sys.lend_file("/", input.read_path(), memory_limit_);
            if (!bytes) {
                failed_ = true;
                if (!s_.no_messages) push_message(gather_messages_, kName, error_text(bytes.error()));
                continue;
            }
            walked = std::move(*bytes);
            contents = walked.view();
            break;
        }
        }
        const bool folded = input.kind == Input::Kind::Stdin && stdin_fold_ != nullptr;
        switch (folded ? search_folded(input, contents, *stdin_fold_) : search(input, contents)) {
        case Outcome::Next:
        case Outcome::Failed: break;
        case Outcome::QuietMatch:
            drain_from(i + 1);
            return finish(0);
        case Outcome::Exhausted: return finish(inv_.sys.exhausted_status());
        }
    }
    if (failed_) return finish(2);
    const bool success = s_.files_without ? any_listed_ : any_selected_;
    return finish(success ? 0 : 1);
}

void grep_main(NativeStep& step, NativeInvocation& inv, CommandIo& io, Syntax initial) {
    // Standard input arrives in pieces, the handler being entered again for each. Once an
    // earlier entry has checked the arguments and begun to read, the pieces are only gathered
    // until a batch is full (or, for a search that needs the whole input, until the end): the
    // arguments are checked again, and the expression compiled, once per batch.
    if (inv.live_input != nullptr && !inv.live_input->eof && !io.in.empty() &&
        (io.in.size() < kStdinBatch || read_fold(inv.live_input->folded).mode == StdinMode::Gather)) {
        if (auto pending = command_read_stdin(inv, io)) {
            step = *pending;
            return;
        }
    }
    PatternMemory memory{inv.sys};
    const auto done = [&](std::int32_t status) { step = NativeStep::finished(status); };
    const auto usage_error = [&](std::string_view message) {
        push_message(io.err, kName, message);
        done(kUsageStatus);
    };

    auto scanned = scan_options(inv.args, kOptions);
    if (!scanned) return usage_error(scanned.error());
    if (scanned->has(Help)) {
        io.out += kUsage;
        return done(0);
    }
    auto settings = gather_settings(*scanned, initial);
    if (!settings) return usage_error(settings.error());
    const Settings& s = *settings;

    // A pattern holding newlines is a list of patterns, one a line: no line of an input holds a
    // newline, so the whole text could never match.
    std::vector<std::string> patterns;
    const auto add_patterns = [&](std::string_view text) {
        for (;;) {
            const std::size_t nl = text.find('\n');
            patterns.emplace_back(text.substr(0, nl));
            if (nl == std::string_view::npos) break;
            text.remove_prefix(nl + 1);
        }
    };
    for (std::string_view p : s.patterns) add_patterns(p);
    if (!s.pattern_files.empty()) {
        Syscalls& sys = inv.sys;
        const std::string cwd = sys.getcwd();
        const std::uint64_t limit = sys.limits().memory;
        for (std::string_view file : s.pattern_files) {
            auto bytes = sys.read_file(cwd, file, limit);
            if (!bytes) return usage_error(fmt::format("{}: {}", file, error_text(bytes.error())));
            if (!sys.charge_memory(bytes->size())) return done(sys.exhausted_status());
            memory.bytes += bytes->size();
            if (!sys.charge_cpu(bytes->size())) return done(sys.exhausted_status());
            if (!utf8_valid(*bytes)) return usage_error(fmt::format("{}: pattern file is not valid UTF-8", file));
            LineCursor lines(*bytes);
            TextLine line;
            while (lines.next(line)) patterns.emplace_back(line.in(*bytes));
        }
    }

    if (s.context() && (s.count || s.files_with || s.files_without || s.only_matching || s.quiet))
        return usage_error("context cannot be combined with count, file-list, only-match, or quiet modes");

    std::vector<std::string_view> operands = scanned->operands;
    if (s.patterns.empty() && s.pattern_files.empty()) {
        if (operands.empty()) return usage_error("no pattern");
        add_patterns(operands.front());
        operands.erase(operands.begin());
    }

    auto expression = build_expression(patterns, s);
    if (!expression) return usage_error(expression.error());
    RegexOptions options;
    options.caseless = s.ignore_case;
    options.multiline = true;  // lines hold no "\n"; lets one search cover many lines
    auto regex = Regex::compile(*expression, options);
    if (!regex) return usage_error(fmt::format("invalid regular expression: {}", error_text(regex.error())));

    // -r without operands searches the working directory, not standard input.
    bool reads_stdin = operands.empty() && !s.recursive;
    for (std::string_view op : operands) reads_stdin = reads_stdin || op == "-";
    LiveInput* live = inv.live_input;
    const bool batches =
        live != nullptr && !s.context() && !s.recursive &&
        (operands.empty() || (operands.size() == 1 && operands[0] == "-"));
    if (reads_stdin && live != nullptr && !live->eof) {
        StdinFold header = read_fold(live->folded);
        if (!batches) {
            header.mode = StdinMode::Gather;
            write_fold(live->folded, header);
        } else if (const std::size_t end = io.in.rfind('\n'); end != Bytes::npos) {
            // The whole lines gathered so far are searched and dropped.
            header.mode = StdinMode::Batches;
            write_fold(live->folded, header);
            GrepRun run(inv, io, s, *regex);
            run.use_stdin_fold(live->folded);
            const GrepRun::Outcome outcome =
                run.search_batch(Input{}, std::string_view(io.in).substr(0, end + 1), header.state);
            write_fold(live->folded, header);
            io.in.erase(0, end + 1);
            // Out of budget, or the engine's limits: the search ends here.
            if (outcome != GrepRun::Outcome::Next) return done(run.end_batches(outcome));
        }
        if (auto pending = command_read_stdin(inv, io)) {
            step = *pending;
            return;
        }
    }

    GrepRun run(inv, io, s, *regex);
    if (batches && read_fold(live->folded).mode == StdinMode::Batches) run.use_stdin_fold(live->folded);
    done(run.run(operands));
}

}  // namespace

void grep_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    grep_main(step, invocation, io, Syntax::Basic);
}

void egrep_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    grep_main(step, invocation, io, Syntax::Extended);
}

void fgrep_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    grep_main(step, invocation, io, Syntax::Fixed);
}

}  // namespace tw
