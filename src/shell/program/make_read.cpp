// make: the command line, the makefile's lines and rules, and the recipes' environment.
#include <charconv>

#include <fmt/format.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"
#include "shell/program/make.h"
#include "shell/variables.h"

namespace tw {

namespace {

struct MakeOptions {
    std::vector<std::string> goals;
    std::optional<std::string> makefile;
    std::optional<std::string> directory;
    std::optional<std::uint32_t> jobs;
    std::map<std::string, std::string> command_variables;
    bool dry_run = false;
    bool silent = false;
    bool keep_going = false;
};

std::unexpected<MakeFailure> failure(std::string message) { return std::unexpected(MakeFailure{2, std::move(message)}); }
std::unexpected<MakeFailure> refused(std::string_view text) { return failure(make_format_message(text)); }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

std::string_view trim_end(std::string_view text) {
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

std::string_view without_comment(std::string_view text) {
    const std::size_t hash = text.find('#');
    return hash == std::string_view::npos ? text : text.substr(0, hash);
}


std::optional<std::uint32_t> parse_jobs(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    std::uint32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

Result<MakeOptions, MakeFailure> parse_options(std::span<const std::string> args) {
    MakeOptions options;
    const auto malformed = [] { return failure("make: unsupported option or malformed argument\n"); };
    bool operands_only = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        if (!operands_only && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                operands_only = true;
            } else if (arg == "-f" || arg == "--file") {
                options.makefile = value();
                if (!options.makefile) return malformed();
            } else if (arg == "-C" || arg == "--directory") {
                options.directory = value();
                if (!options.directory) return malformed();
            } else if (arg == "-j" || arg == "--jobs" || arg.starts_with("--jobs=") ||
                       (arg.starts_with("-j") && arg.size() > 2)) {
                std::optional<std::string> text = arg.starts_with("--jobs=") ? arg.substr(7)
                                                   : arg.size() > 2 && arg[1] == 'j' ? std::optional(arg.substr(2))
                                                                                     : value();
                if (!text) return malformed();
                options.jobs = parse_jobs(*text);
                if (!options.jobs) return malformed();
            } else if (arg == "--dry-run") {
                options.dry_run = true;
            } else if (arg == "--silent") {
                options.silent = true;
            } else if (arg == "--keep-going") {
                options.keep_going = true;
            } else if (arg.find_first_not_of("kns", 1) == std::string::npos) {
                for (char c : std::string_view(arg).substr(1)) {
                    if (c == 'k') options.keep_going = true;
                    if (c == 'n') options.dry_run = true;
                    if (c == 's') options.silent = true;
                }
            } else {
                return malformed();
            }
            continue;
        }
        if (auto assignment = make_parse_assignment(arg)) {
            options.command_variables.insert_or_assign(assignment->first, assignment->second);
        } else if (arg.find('=') != std::string::npos) {
            return malformed();
        } else {
            options.goals.push_back(arg);
        }
    }
    return options;
}

// One line after joining: a recipe line (without its tab) or an ordinary line.
struct JoinedLine {
    std::uint64_t number = 0;
    bool recipe = false;
    std::string text;
};

Result<std::vector<JoinedLine>, MakeFailure> join_lines(std::string_view text) {
    std::vector<std::string_view> physical;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (line.ends_with('\r')) line.remove_suffix(1);
        physical.push_back(line);
        if (physical.size() > kMakeLineLimit) return refused(fmt::format("line limit exceeded ({})", kMakeLineLimit));
        start = end + 1;
    }
    std::vector<JoinedLine> joined;
    for (std::size_t i = 0; i < physical.size(); ++i) {
        const std::uint64_t number = i + 1;
        std::string_view line = physical[i];
        if (!line.starts_with('\t')) {
            if (trim_end(without_comment(line)).ends_with('\\'))
                return refused(fmt::format("line continuation is unsupported at line {}", number));
            joined.push_back({number, false, std::string(line)});
            continue;
        }
        std::string recipe(line.substr(1));
        while (trim_end(physical[i]).ends_with('\\')) {
            if (i + 1 >= physical.size())
                return refused(fmt::format("unterminated recipe continuation at line {}", number));
            std::string_view next = physical[++i];
            if (next.starts_with('\t')) next.remove_prefix(1);
            recipe += '\n';
            recipe += next;
        }
        joined.push_back({number, true, std::move(recipe)});
    }
    return joined;
}

// What the makefile says, before the command line is laid over it.
struct ParsedMakefile {
    std::map<std::string, std::string> variables;
    std::map<std::string, bool> export_marks;  // the latest mark of each name
    std::set<std::string> phony;
    std::map<std::string, MakeRule> rules;
    std::vector<std::string> target_order;
};

Result<ParsedMakefile, MakeFailure> parse_makefile(const std::vector<JoinedLine>& lines) {
    ParsedMakefile mk;
    std::vector<std::string> current;
    bool has_recipe = false;
    std::uint64_t recipe_lines = 0;
    for (const JoinedLine& line : lines) {
        const std::uint64_t n = line.number;
        if (line.recipe) {
            if (current.empty()) return refused(fmt::format("recipe without a target at line {}", n));
            if (has_recipe) return refused(fmt::format("target has multiple recipe definitions at line {}", n));
            if (++recipe_lines > kMakeRecipeLimit)
                return refused(fmt::format("recipe limit exceeded ({})", kMakeRecipeLimit));
            for (const std::string& target : current) mk.rules[target].recipe.push_back({n, line.text});
            continue;
        }
        const std::string_view text = trim(without_comment(line.text));
        if (text.empty()) continue;
        if (text.starts_with('.')) {
            if (!text.starts_with(".PHONY:")) return refused(fmt::format("unsupported directive at line {}", n));
            for (std::string& name : make_words(text.substr(7))) {
                if (auto bad = make_check_target_name(name, n)) return refused(*bad);
                mk.phony.insert(std::move(name));
            }
            current.clear();
            continue;
        }
        const bool is_export = text.starts_with("export") && (text.size() == 6 || is_blank(text[6]));
        const bool is_unexport = text.starts_with("unexport") && (text.size() == 8 || is_blank(text[8]));
        if (is_export || is_unexport) {
            const std::string_view rest = trim(text.substr(is_export ? 6 : 8));
            if (rest.empty()) return refused(fmt::format("unsupported directive at line {}", n));
            auto assignment = is_export ? make_parse_assignment(rest) : std::nullopt;
            if (assignment) {
                mk.export_marks.insert_or_assign(assignment->first, true);
                mk.variables.insert_or_assign(assignment->first, assignment->second);
            } else {
                for (const std::string& name : make_words(rest)) {
                    if (!is_shell_name(name))
                        return refused(fmt::format("unsupported export target '{}' at line {}", name, n));
                    mk.export_marks.insert_or_assign(name, is_export);
                }
            }
            current.clear();
            continue;
        }
        if (auto assignment = make_parse_assignment(text)) {
            mk.variables.insert_or_assign(assignment->first, assignment->second);
            current.clear();
            continue;
        }
        auto expanded = make_expand_variables(text, mk.variables, {}, {}, kMakeExpansionBudget);
        if (!expanded) return refused(expanded.error());
        const std::size_t colon = expanded->find(':');
        if (colon == std::string::npos) return refused(fmt::format("missing ':' at line {}", n));
        std::vector<std::string> targets = make_words(std::string_view(*expanded).substr(0, colon));
        if (targets.empty()) return refused(fmt::format("empty target at line {}", n));
        std::vector<std::string> prerequisites = make_words(std::string_view(*expanded).substr(colon + 1));
        for (const std::string& target : targets)
            if (auto bad = make_check_target_name(target, n)) return refused(*bad);
        for (const std::string& p : prerequisites) {
            if (p == "|") return refused(fmt::format("order-only prerequisites are unsupported at line {}", n));
            const bool deferred = (p.starts_with("$(") && p.ends_with(')')) || (p.starts_with("${") && p.ends_with('}'));
            if (deferred) continue;
            if (auto bad = make_check_target_name(p, n)) return refused(*bad);
        }
        has_recipe = false;
        for (const std::string& target : targets) {
            auto it = mk.rules.find(target);
            if (it == mk.rules.end()) {
                if (mk.rules.size() >= kMakeTargetLimit)
                    return refused(fmt::format("target limit exceeded ({})", kMakeTargetLimit));
                it = mk.rules.emplace(target, MakeRule{}).first;
                mk.target_order.push_back(target);
            }
            it->second.prerequisites.insert(it->second.prerequisites.end(), prerequisites.begin(), prerequisites.end());
            if (!it->second.recipe.empty()) has_recipe = true;
        }
        current = std::move(targets);
    }
    return mk;
}

std::map<std::string, std::string> process_environment(SyscallContext& sys) {
    std::map<std::string, std::string> env;
    for (const std::string& entry : sys.environment()) {
        const std::size_t eq = entry.find('=');
        if (eq != std::string::npos) env.insert_or_assign(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return env;
}

}  // namespace

std::vector<std::string> make_words(std::string_view text) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_blank(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !is_blank(text[i])) ++i;
        if (i > start) out.emplace_back(text.substr(start, i - start));
    }
    return out;
}

std::string make_format_message(std::string_view text) { return fmt::format("make: {}\n", text); }

std::optional<std::pair<std::string, std::string>> make_parse_assignment(std::string_view text) {
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::string_view name = text.substr(0, eq);
    if (name.ends_with(':')) name.remove_suffix(1);
    name = trim(name);
    if (!is_shell_name(name)) return std::nullopt;
    return std::pair{std::string(name), std::string(trim(text.substr(eq + 1)))};
}

std::optional<std::string> make_check_target_name(std::string_view name, std::uint64_t line) {
    if (name.empty() || name.find_first_of("%$") != std::string_view::npos)
        return fmt::format("unsupported target or prerequisite '{}' at line {}", name, line);
    return std::nullopt;
}

bool make_file_exists(SyscallContext& sys, std::string_view directory, std::string_view path) {
    auto stat = sys.stat(directory, path, true);
    return stat && stat->file_type != 1;
}

Result<MakeEngine, MakeFailure> make_start(SyscallContext& sys, std::span<const std::string> args) {
    auto options = parse_options(args);
    if (!options) return std::unexpected(options.error());

    MakeEngine engine;
    if (options->directory) {
        const std::string joined = path_join_normalize(sys.getcwd(), *options->directory);
        auto stat = sys.stat("/", joined, true);
        if (!stat) return failure(fmt::format("make: {}: No such directory\n", joined));
        if (stat->file_type != 1) return failure(fmt::format("make: {}: Not a directory\n", joined));
        auto resolved = sys.resolve_directory("/", joined, true);
        const std::string target = resolved ? *resolved : joined;
        if (auto changed = sys.chdir(target); !changed)
            return failure(fmt::format("make: cannot chdir to {}: {}\n", target, error_text(changed.error())));
        engine.cwd = target;
    } else {
        engine.cwd = sys.getcwd();
    }

    if (options->makefile) {
        if (*options->makefile == "-") return failure("make: reading makefiles from stdin is unsupported\n");
        engine.makefile_name = *options->makefile;
    } else if (make_file_exists(sys, engine.cwd, "Makefile")) {
        engine.makefile_name = "Makefile";
    } else if (make_file_exists(sys, engine.cwd, "makefile")) {
        engine.makefile_name = "makefile";
    } else {
        return failure("make: *** No targets specified and no makefile found.  Stop.\n");
    }
    auto bytes = sys.read_file(engine.cwd, engine.makefile_name, kMakefileLimit);
    if (!bytes) return refused(error_text(bytes.error()));
    const std::string text = utf8_lossy(*bytes);
    const std::uint64_t memory = sat_mul(text.size(), 2);
    if (!sys.charge_cpu(text.size()) || !sys.charge_memory(memory))
        return refused("resource limit exceeded while reading makefile");
    engine.memory_charged = memory;
    const auto give_back = [&](MakeFailure f) -> Result<MakeEngine, MakeFailure> {
        sys.release_memory(memory);
        return std::unexpected(std::move(f));
    };

    auto lines = join_lines(text);
    if (!lines) return give_back(std::move(lines.error()));
    auto parsed = parse_makefile(*lines);
    if (!parsed) return give_back(std::move(parsed.error()));

    engine.variables = std::move(parsed->variables);
    for (const auto& [name, value] : options->command_variables) engine.variables.insert_or_assign(name, value);
    const std::map<std::string, std::string> inherited = process_environment(sys);
    engine.environment = inherited;
    std::set<std::string> names;
    for (const auto& [name, value] : inherited) names.insert(name);
    for (const auto& [name, value] : engine.variables) names.insert(name);
    for (const auto& [name, mark] : parsed->export_marks) names.insert(name);
    for (const std::string& name : names) {
        if (options->command_variables.contains(name)) continue;
        auto mark = parsed->export_marks.find(name);
        const bool exported = mark != parsed->export_marks.end() ? mark->second : inherited.contains(name);
        if (!exported) {
            engine.environment.erase(name);
            continue;
        }
        auto assigned = engine.variables.find(name);
        if (assigned != engine.variables.end()) engine.environment.insert_or_assign(name, assigned->second);
    }
    for (const auto& [name, value] : options->command_variables) engine.environment.insert_or_assign(name, value);

    engine.phony = std::move(parsed->phony);
    engine.rules = std::move(parsed->rules);
    if (!options->goals.empty()) {
        engine.goals.assign(options->goals.begin(), options->goals.end());
    } else if (!parsed->target_order.empty()) {
        engine.goals.push_back(parsed->target_order.front());
    } else {
        return give_back({2, "make: *** No targets.  Stop.\n"});
    }
    if (options->jobs) sys.record_unsupported("make:-j (recipes run serially)");
    engine.dry_run = options->dry_run;
    engine.silent = options->silent;
    engine.keep_going = options->keep_going;
    return engine;
}

}  // namespace tw
