#include "commands/builtins/input.h"

#include <fmt/format.h>

#include <array>

#include "base/utf8.h"
#include "commands/builtins/options.h"
#include "kernel/machine.h"
#include "shell/arith.h"
#include "shell/command_io.h"
#include "shell/variables.h"

namespace tw {
namespace {

constexpr std::uint64_t kReadLimit = 4194304;
constexpr std::uint64_t kMapfileRecordLimit = 100000;
constexpr std::uint64_t kMapfileMaxIndex = 99999;

constexpr std::string_view kDefaultIfs = " \t\n";

// The characters of IFS: single bytes in a table, longer UTF-8 sequences in a list.
class IfsSet {
public:
    explicit IfsSet(std::string_view ifs) {
        std::size_t i = 0;
        while (i < ifs.size()) {
            const std::size_t n = sequence_length(ifs, i);
            if (n == 1) bytes_[static_cast<unsigned char>(ifs[i])] = true;
            else long_.emplace_back(ifs.substr(i, n));
            if (first_.empty()) first_ = ifs.substr(i, n);
            i += n;
        }
    }
    // The length of the IFS character at `pos`, or 0.
    std::size_t match(std::string_view text, std::size_t pos) const {
        if (bytes_[static_cast<unsigned char>(text[pos])]) return 1;
        for (std::string_view seq : long_)
            if (text.substr(pos).starts_with(seq)) return seq.size();
        return 0;
    }
    static bool white(char c) { return c == ' ' || c == '\t' || c == '\n'; }
    std::string_view first() const { return first_; }

private:
    static std::size_t sequence_length(std::string_view s, std::size_t i) {
        const auto lead = static_cast<unsigned char>(s[i]);
        std::size_t n = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        return std::min(n, s.size() - i);
    }
    std::array<bool, 256> bytes_{};
    std::vector<std::string_view> long_;
    std::string_view first_;
};

std::string ifs_value(ProcessState& state) {
    auto it = state.variables.find("IFS");
    return it == state.variables.end() ? std::string(kDefaultIfs) : it->second;
}

// The first name in `names` that is read-only, if any.
std::optional<std::string> readonly_among(const ProcessState& state, std::span<const std::string> names) {
    for (const std::string& name : names)
        if (state.readonly_names.contains(name)) return name;
    return std::nullopt;
}

// ---- read ----

struct ReadSource {
    Machine& machine;
    BytesView given;
    std::size_t given_pos = 0;

    // The next byte, or none at the end of the input (or when descriptor 0 fails or would block).
    std::optional<char> next() {
        if (!given.empty()) {
            if (given_pos >= given.size()) return std::nullopt;
            return given[given_pos++];
        }
        ProcessState& state = machine.states.active_mut();
        if (state.pending_stdin_pos < state.pending_stdin.size()) return state.pending_stdin[state.pending_stdin_pos++];
        auto read = machine.read_descriptor(1);
        if (!read || read->blocked() || read->data.empty()) return std::nullopt;
        return read->data[0];
    }
};

}  // namespace

Result<ReadOptions, std::string> builtin_read_parse(std::span<const std::string> args) {
    ReadOptions options;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") {
            ++i;
            break;
        }
        if (word.size() < 2 || word[0] != '-') break;
        for (std::size_t k = 1; k < word.size(); ++k) {
            const char letter = word[k];
            if (letter == 'r') {
                options.raw = true;
                continue;
            }
            if (letter != 'a' && letter != 'd') return std::unexpected(std::string("read: supported options are -a, -r and -d"));
            std::string value;
            if (k + 1 < word.size()) value = word.substr(k + 1);
            else if (i + 1 < args.size()) value = args[++i];
            else return std::unexpected(std::string("read: option requires a value"));
            if (letter == 'a') options.array_name = std::move(value);
            else options.delimiter = value.empty() ? '\0' : value[0];
            break;
        }
    }
    for (; i < args.size(); ++i) options.names.push_back(args[i]);
    bool valid = !options.array_name || is_shell_name(*options.array_name);
    for (const std::string& name : options.names) valid = valid && is_shell_name(name);
    if (!valid) return std::unexpected(std::string("read: expected valid variable names"));
    return options;
}

namespace {

// The fields of `text`, and in `starts` the offset where each field begins.
std::vector<std::string> split_read_fields_at(std::string_view text, std::string_view ifs,
                                              std::vector<std::size_t>& starts) {
    const IfsSet set(ifs);
    std::vector<std::string> fields;
    std::size_t i = 0;
    const auto skip_white = [&] {
        while (i < text.size() && IfsSet::white(text[i]) && set.match(text, i) != 0) ++i;
    };
    skip_white();
    std::string field;
    std::size_t start = i;
    while (i < text.size()) {
        const std::size_t n = set.match(text, i);
        if (n == 0) {
            if (field.empty()) start = i;
            field += text[i++];
            continue;
        }
        starts.push_back(field.empty() ? i : start);
        fields.push_back(std::move(field));
        field.clear();
        if (IfsSet::white(text[i])) {
            skip_white();
            // One other IFS character after white space belongs to the same separator.
            if (i < text.size()) {
                const std::size_t m = set.match(text, i);
                if (m != 0 && !IfsSet::white(text[i])) {
                    i += m;
                    skip_white();
                }
            }
        } else {
            i += n;
            skip_white();
        }
    }
    if (!field.empty()) {
        starts.push_back(start);
        fields.push_back(std::move(field));
    }
    return fields;
}

// What the last name of `read` gets from its field on: the rest of the text as it stands
// (inner separators kept), less trailing IFS white space, and less one trailing IFS separator
// when only one field is left.
std::string read_rest(std::string_view text, std::string_view ifs, std::size_t from, bool one_field) {
    const IfsSet set(ifs);
    std::size_t end = text.size();
    const auto trim_white = [&] {
        while (end > from && IfsSet::white(text[end - 1]) && set.match(text, end - 1) != 0) --end;
    };
    trim_white();
    if (one_field && end > from && !IfsSet::white(text[end - 1]) && set.match(text, end - 1) == 1) {
        --end;
        trim_white();
    }
    return std::string(text.substr(from, end - from));
}

}  // namespace

std::vector<std::string> split_read_fields(std::string_view text, std::string_view ifs) {
    std::vector<std::size_t> starts;
    return split_read_fields_at(text, ifs, starts);
}

std::int32_t builtin_read(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    auto options = builtin_read_parse(args);
    if (!options) {
        io.err += options.error();
        io.err += '\n';
        return 2;
    }
    Machine& m = context.machine;
    {
        std::vector<std::string> targets = options->names;
        if (options->array_name) targets.push_back(*options->array_name);
        if (targets.empty()) targets.emplace_back("REPLY");
        if (auto name = readonly_among(m.states.active(), targets)) {
            fmt::format_to(std::back_inserter(io.err), "read: {}: readonly variable\n", *name);
            return 1;
        }
    }

    ReadSource source{m, io.in};
    Bytes bytes;
    bool found = false;
    bool escaped = false;
    for (std::uint64_t examined = 0; examined < kReadLimit; ++examined) {
        std::optional<char> byte = source.next();
        if (!byte) break;
        const char b = *byte;
        if (escaped) {
            escaped = false;
            if (b != '\n' && b != '\0') bytes += b;
            continue;
        }
        if (b == options->delimiter) {
            found = true;
            break;
        }
        if (b == '\\' && !options->raw) {
            escaped = true;
            continue;
        }
        if (b != '\0') bytes += b;
    }
    const std::string text = utf8_lossy(bytes);

    ProcessState& state = m.states.active_mut();
    const std::string ifs = ifs_value(state);
    if (options->array_name) {
        ShellArray::Indexed elements;
        if (ifs.empty()) {
            elements.elements.emplace(0, text);
        } else {
            std::uint64_t index = 0;
            for (std::string& field : split_read_fields(text, ifs)) elements.elements.emplace(index++, std::move(field));
        }
        (void)remove_variable(state, *options->array_name);
        store_array(state, *options->array_name, ShellArray{std::move(elements)});
    } else if (!options->names.empty()) {
        const std::vector<std::string>& names = options->names;
        if (ifs.empty()) {
            for (std::size_t k = 0; k < names.size(); ++k) set_variable(state, names[k], k == 0 ? text : std::string());
        } else {
            std::vector<std::size_t> starts;
            std::vector<std::string> fields = split_read_fields_at(text, ifs, starts);
            for (std::size_t k = 0; k < names.size(); ++k) {
                std::string value;
                if (k + 1 == names.size()) {
                    if (k < fields.size()) value = read_rest(text, ifs, starts[k], fields.size() == k + 1);
                } else if (k < fields.size()) {
                    value = std::move(fields[k]);
                }
                set_variable(state, names[k], std::move(value));
            }
        }
    } else {
        set_variable(state, "REPLY", text);
    }
    return found ? 0 : 1;
}

std::int32_t builtin_mapfile(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    std::string name = "MAPFILE";
    char delimiter = '\n';
    bool strip = false;
    std::uint64_t count = 0;
    std::uint64_t skip = 0;
    std::optional<std::uint64_t> origin;
    const auto fail = [&](std::string text) {
        io.err += text;
        io.err += '\n';
        return 2;
    };
    const std::string kBadName = "mapfile: expected one valid array name";
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") {
            if (i + 2 != args.size()) return fail(kBadName);
            name = args[i + 1];
            break;
        }
        if (word == "-t") {
            strip = true;
        } else if (word == "-n" || word == "-s" || word == "-O" || word == "-d") {
            if (i + 1 >= args.size()) return fail(fmt::format("mapfile: {} requires a value", word));
            const std::string& value = args[++i];
            if (word == "-d") {
                if (value.size() > 1) return fail("mapfile: -d requires one byte or an empty value");
                delimiter = value.empty() ? '\0' : value[0];
                continue;
            }
            std::optional<std::uint64_t> number = builtin_parse_count(value);
            if (!number) return fail(fmt::format("mapfile: {} requires a non-negative integer", word));
            if (word == "-n") count = *number;
            else if (word == "-s") skip = *number;
            else origin = *number;
        } else if (word.starts_with('-')) {
            return fail(fmt::format("mapfile: unsupported option {}", word));
        } else {
            if (i + 1 != args.size()) return fail(kBadName);
            name = word;
        }
    }
    if (!is_shell_name(name)) return fail(kBadName);
    ProcessState& state = context.machine.states.active_mut();
    if (state.readonly_names.contains(name)) {
        fmt::format_to(std::back_inserter(io.err), "mapfile: {}: readonly variable\n", name);
        return 1;
    }
    if (delimiter == '\0') strip = true;

    if (origin) {
        ensure_indexed_array(state, name);
    } else {
        (void)remove_variable(state, name);
        store_array(state, name, ShellArray{ShellArray::Indexed{}});
    }
    const BytesView input = io.in;
    std::uint64_t record = 0;
    std::uint64_t stored = 0;
    std::uint64_t index = origin.value_or(0);
    std::size_t pos = 0;
    while (pos < input.size()) {
        const std::size_t end = input.find(delimiter, pos);
        const std::size_t stop = end == BytesView::npos ? input.size() : end + 1;
        BytesView bytes = input.substr(pos, stop - pos);
        pos = stop;
        if (record++ < skip) continue;
        if (count != 0 && stored == count) return 0;
        if (stored >= kMapfileRecordLimit || index > kMapfileMaxIndex) {
            io.err += "mapfile: record limit exceeded\n";
            return 1;
        }
        if (strip && end != BytesView::npos) bytes.remove_suffix(1);
        set_array_element(state, name, fmt::format("{}", index), utf8_lossy(bytes));
        ++stored;
        ++index;
    }
    return 0;
}

std::int32_t builtin_getopts(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    if (args.size() < 2) {
        io.err += "getopts: usage: getopts optstring name [arg ...]\n";
        return 2;
    }
    ProcessState& state = context.machine.states.active_mut();
    const std::string& optstring = args[0];
    const std::string& name = args[1];
    // The name must be one that can be assigned, or the answer would be lost.
    if (!is_shell_name(name)) {
        fmt::format_to(std::back_inserter(io.err), "getopts: {}: invalid variable name\n", name);
        return 2;
    }
    if (auto locked = readonly_among(state, std::vector<std::string>{name, "OPTARG", "OPTIND"})) {
        fmt::format_to(std::back_inserter(io.err), "getopts: {}: readonly variable\n", *locked);
        return 2;
    }
    const std::vector<std::string> words = args.size() > 2 ? std::vector<std::string>(args.begin() + 2, args.end())
                                                           : state.positional_params.to_vector();

    std::uint64_t wanted = 1;
    if (auto it = state.variables.find("OPTIND"); it != state.variables.end())
        if (std::optional<std::uint64_t> n = builtin_parse_count(it->second); n && *n != 0 && !it->second.starts_with('+'))
            wanted = *n;
    if (wanted != state.optind) {
        state.optind = wanted;
        state.getopts_position = 1;
    }

    const auto over = [&] {
        store_optind(state);
        return 1;
    };
    if (state.optind > words.size()) return over();
    const std::string& word = words[state.optind - 1];
    if (word == "--") {
        state.optind += 1;
        state.getopts_position = 1;
        return over();
    }
    if (word.size() < 2 || word[0] != '-') return over();
    if (state.getopts_position >= word.size()) return over();

    const bool silent = optstring.starts_with(':');
    const std::string_view letters = silent ? std::string_view(optstring).substr(1) : std::string_view(optstring);
    const char option = word[state.getopts_position];
    const std::string option_text(1, option);
    const std::size_t at = option == ':' ? std::string_view::npos : letters.find(option);

    if (at == std::string_view::npos) {
        advance_getopts_position(state, word.size());
        set_variable(state, name, "?");
        if (silent) {
            set_variable(state, "OPTARG", option_text);
        } else {
            (void)remove_variable(state, "OPTARG");
            fmt::format_to(std::back_inserter(io.err), "getopts: illegal option -- {}\n", option);
        }
        store_optind(state);
        return 0;
    }
    const bool takes_argument = at + 1 < letters.size() && letters[at + 1] == ':';
    if (!takes_argument) {
        advance_getopts_position(state, word.size());
        (void)remove_variable(state, "OPTARG");
        set_variable(state, name, option_text);
        store_optind(state);
        return 0;
    }
    const std::uint64_t rest = state.getopts_position + 1;
    if (rest < word.size()) {
        set_variable(state, "OPTARG", word.substr(rest));
        state.optind += 1;
        state.getopts_position = 1;
        set_variable(state, name, option_text);
    } else if (state.optind < words.size()) {
        set_variable(state, "OPTARG", words[state.optind]);
        state.optind += 2;
        state.getopts_position = 1;
        set_variable(state, name, option_text);
    } else {
        state.optind += 1;
        state.getopts_position = 1;
        if (silent) {
            set_variable(state, name, ":");
            set_variable(state, "OPTARG", option_text);
        } else {
            set_variable(state, name, "?");
            (void)remove_variable(state, "OPTARG");
            fmt::format_to(std::back_inserter(io.err), "getopts: option requires an argument -- {}\n", option);
        }
    }
    store_optind(state);
    return 0;
}

std::int32_t builtin_let(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    if (args.empty()) {
        io.err += "let: expression expected\n";
        return 1;
    }
    ProcessState& state = context.machine.states.active_mut();
    std::int64_t last = 0;
    for (const std::string& expression : args) {
        auto value = arith_eval(state, expression, &context.machine.meter);
        if (!value && value.error().refused) return 137;
        if (!value) {
            fmt::format_to(std::back_inserter(io.err), "let: {}\n", render_arith_error(value.error(), expression));
            return 1;
        }
        last = *value;
    }
    return last != 0 ? 0 : 1;
}

}  // namespace tw
