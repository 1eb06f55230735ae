// make: variable expansion and the planner that decides, target by target, what to remake.
#include <fmt/format.h>

#include "base/sat.h"
#include "kernel/syscalls.h"
#include "shell/program/make.h"

namespace tw {

namespace {

// The most characters and references one expansion may visit, nested values included: a bound on
// the host's work for values that refer to each other many times over.
constexpr std::uint64_t kExpansionWork = 16 << 20;

std::unexpected<MakeFailure> failure(std::string message) { return std::unexpected(MakeFailure{2, std::move(message)}); }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

struct Expander {
    const std::map<std::string, std::string>& variables;
    std::string_view target;
    std::span<const std::string> prerequisites;
    std::uint64_t work = 0;

    Result<void, std::string> append(std::string& out, std::string_view text) {
        out += text;
        if (out.size() > kMakeExpansionLimit) return std::unexpected(std::string("variable expansion is too large"));
        return {};
    }

    Result<void, std::string> expand(std::string_view text, std::uint32_t budget, std::string& out) {
        if (budget == 0) return std::unexpected(std::string("variable expansion is too recursive"));
        for (std::size_t i = 0; i < text.size();) {
            if (++work > kExpansionWork) return std::unexpected(std::string("variable expansion is too large"));
            const char c = text[i];
            if (c != '$' || i + 1 == text.size()) {
                const std::size_t next = text.find('$', i + 1);
                const std::size_t end = next == std::string_view::npos ? text.size() : next;
                if (auto r = append(out, text.substr(i, end - i)); !r) return r;
                work = sat_add(work, end - i);
                i = end;
                continue;
            }
            const char d = text[i + 1];
            if (d == '(' || d == '{') {
                const char close = d == '(' ? ')' : '}';
                const std::size_t end = text.find(close, i + 2);
                if (end == std::string_view::npos)
                    return std::unexpected(std::string("unterminated variable reference"));
                const std::string_view name = text.substr(i + 2, end - i - 2);
                if (name.empty() || name.find_first_of(" \t:") != std::string_view::npos)
                    return std::unexpected(fmt::format("unsupported variable expression '${}{}{}'", d, name, close));
                auto value = variables.find(std::string(name));
                if (value != variables.end()) {
                    if (auto r = expand(value->second, budget - 1, out); !r) return r;
                } else if (budget == 1) {
                    return std::unexpected(std::string("variable expansion is too recursive"));
                }
                i = end + 1;
                continue;
            }
            Result<void, std::string> r;
            switch (d) {
            case '$': r = append(out, "$"); break;
            case '@': r = append(out, target); break;
            case '<': r = append(out, prerequisites.empty() ? std::string_view{} : prerequisites.front()); break;
            case '^':
                for (std::size_t k = 0; k < prerequisites.size() && r; ++k) {
                    if (k > 0) r = append(out, " ");
                    if (r) r = append(out, prerequisites[k]);
                }
                break;
            default:
                // Not a make reference: the '$' stays, the next character is read as text.
                r = append(out, "$");
                i += 1;
                if (!r) return r;
                continue;
            }
            if (!r) return r;
            i += 2;
        }
        return {};
    }
};


std::string top_target(const MakeEngine& engine) {
    if (engine.plan_stack.empty()) return {};
    return std::visit([](const auto& frame) { return frame.target; }, engine.plan_stack.back());
}

void record(MakeEngine& engine, const std::string& name, const PlanResult& result, bool top_level) {
    engine.planned.insert_or_assign(name, result);
    make_report_nothing_to_do(engine, name, result, top_level);
}

// Takes the next line of the Recipe frame on top and turns it into the command to run.
Result<void, MakeFailure> take_recipe_line(MakeEngine& engine, SyscallContext& sys, plan_frame::Recipe& frame) {
    const MakeRecipeLine line = frame.lines[frame.next++];
    engine.recipes_started = sat_add(engine.recipes_started, 1);
    if (engine.recipes_started > kMakeRecipeLimit)
        return failure(make_format_message(fmt::format("recipe limit exceeded ({})", kMakeRecipeLimit)));
    if (!sys.charge_cpu(line.text.size()))
        return failure(make_format_message("resource limit exceeded while expanding recipe"));
    auto expanded = make_expand_variables(line.text, engine.variables, frame.target, frame.prerequisites,
                                          kMakeExpansionBudget);
    if (!expanded) return failure(make_format_message(expanded.error()));
    std::string_view command = *expanded;
    const auto skip_blanks = [&] {
        while (!command.empty() && is_blank(command.front())) command.remove_prefix(1);
    };
    skip_blanks();
    bool quiet = false;
    bool ignore = false;
    while (!command.empty() && (command.front() == '@' || command.front() == '-')) {
        (command.front() == '@' ? quiet : ignore) = true;
        command.remove_prefix(1);
    }
    skip_blanks();
    while (!command.empty() && is_blank(command.back())) command.remove_suffix(1);
    if (command.empty()) return {};
    MakeCurrentRecipe recipe;
    recipe.target = frame.target;
    recipe.command = std::string(command);
    if (engine.dry_run || !(quiet || engine.silent)) recipe.echo = recipe.command + "\n";
    recipe.line = line.line;
    recipe.ignore_errors = ignore;
    recipe.run = !engine.dry_run;
    engine.current_recipe = std::move(recipe);
    return {};
}

}  // namespace

Result<std::string, std::string> make_expand_variables(std::string_view text,
                                                       const std::map<std::string, std::string>& variables,
                                                       std::string_view target,
                                                       std::span<const std::string> prerequisites,
                                                       std::uint32_t budget) {
    Expander expander{variables, target, prerequisites};
    std::string out;
    if (auto r = expander.expand(text, budget, out); !r) return std::unexpected(std::move(r.error()));
    return out;
}

std::optional<std::uint64_t> make_file_mtime(SyscallContext& sys, std::string_view directory, std::string_view path) {
    auto stat = sys.stat(directory, path, true);
    if (!stat) return std::nullopt;
    return stat->mtime_ms;
}

void make_report_nothing_to_do(MakeEngine& engine, const std::string& name, const PlanResult& result,
                               bool top_level) {
    if (!engine.plan_stack.empty()) {
        if (auto* frame = std::get_if<plan_frame::Prereqs>(&engine.plan_stack.back())) {
            frame->results.push_back(result);
            return;
        }
    }
    if (!top_level || result.remade || result.failed) return;
    auto rule = engine.rules.find(name);
    const bool has_recipe = rule != engine.rules.end() && !rule->second.recipe.empty();
    engine.stdout_text += has_recipe ? fmt::format("make: '{}' is up to date.\n", name)
                                     : fmt::format("make: Nothing to be done for '{}'.\n", name);
}

Result<void, MakeFailure> make_plan_target(MakeEngine& engine, SyscallContext& sys, const std::string& name,
                                           bool top_level) {
    if (engine.plan_stack.size() >= kMakePlanDepth)
        return failure(fmt::format("make: prerequisite chain too deep for '{}'\n", name));
    if (auto known = engine.planned.find(name); known != engine.planned.end()) {
        const PlanResult result = known->second;
        make_report_nothing_to_do(engine, name, result, top_level);
        return {};
    }
    if (engine.in_progress.contains(name)) {
        sys.record_unsupported("make:circular dependency");
        engine.stderr_text += fmt::format("make: Circular {} <- {} dependency dropped.\n", top_target(engine), name);
        make_report_nothing_to_do(engine, name, PlanResult{}, top_level);
        return {};
    }
    if (!sys.charge_cpu(name.size()))
        return failure(make_format_message("resource limit exceeded while planning targets"));
    auto rule = engine.rules.find(name);
    const bool exists = sys.stat(engine.cwd, name, true).has_value();
    if (rule == engine.rules.end()) {
        if (!exists) return failure(fmt::format("make: *** No rule to make target '{}'.  Stop.\n", name));
        record(engine, name, PlanResult{make_file_mtime(sys, engine.cwd, name), false, false}, top_level);
        return {};
    }
    std::uint64_t total = 0;
    for (const std::string& p : rule->second.prerequisites) {
        if (__builtin_add_overflow(total, p.size(), &total))
            return failure(make_format_message("prerequisite expansion is too large"));
    }
    if (!sys.charge_cpu(total))
        return failure(make_format_message("resource limit exceeded while expanding prerequisites"));
    plan_frame::Prereqs frame;
    frame.target = name;
    frame.rule = rule->second;
    for (const std::string& p : rule->second.prerequisites) {
        auto expanded = make_expand_variables(p, engine.variables, name, {}, kMakeExpansionBudget);
        if (!expanded) return failure(make_format_message(expanded.error()));
        for (std::string& word : make_words(*expanded)) {
            if (frame.expanded.size() >= kMakePrerequisiteLimit)
                return failure(make_format_message(
                    fmt::format("expanded prerequisite limit exceeded ({})", kMakePrerequisiteLimit)));
            if (word.empty() || word.find_first_of("%$") != std::string::npos)
                return failure(make_format_message(fmt::format("variable produced unsupported prerequisite '{}'", word)));
            frame.expanded.push_back(std::move(word));
        }
    }
    frame.existed = exists;
    frame.top_level = top_level;
    engine.in_progress.insert(name);
    engine.plan_stack.emplace_back(std::move(frame));
    return {};
}

Result<bool, MakeFailure> make_advance(MakeEngine& engine, SyscallContext& sys) {
    if (engine.stop) {
        engine.plan_stack.clear();
        engine.goals.clear();
    }
    if (engine.plan_stack.empty()) {
        if (engine.goals.empty()) return false;
        const std::string goal = std::move(engine.goals.front());
        engine.goals.pop_front();
        if (auto r = make_plan_target(engine, sys, goal, true); !r) return std::unexpected(std::move(r.error()));
        return true;
    }
    if (auto* prereqs = std::get_if<plan_frame::Prereqs>(&engine.plan_stack.back())) {
        if (prereqs->next < prereqs->expanded.size()) {
            const std::string next = prereqs->expanded[prereqs->next++];
            if (auto r = make_plan_target(engine, sys, next, false); !r) return std::unexpected(std::move(r.error()));
            return true;
        }
        plan_frame::Prereqs frame = std::move(*prereqs);
        engine.plan_stack.pop_back();
        engine.in_progress.erase(frame.target);
        const std::optional<std::uint64_t> mtime = make_file_mtime(sys, engine.cwd, frame.target);
        bool failed = false;
        bool remake = engine.phony.contains(frame.target) || !frame.existed;
        for (const PlanResult& r : frame.results) {
            failed = failed || r.failed;
            remake = remake || r.remade || (r.mtime && (!mtime || *r.mtime > *mtime));
        }
        if (failed) {
            // Under -k: a target that depends on a failed one is not remade.
            if (frame.top_level)
                engine.stderr_text += fmt::format("make: Target '{}' not remade because of errors.\n", frame.target);
            record(engine, frame.target, PlanResult{mtime, false, true}, frame.top_level);
        } else if (remake && !frame.rule.recipe.empty()) {
            plan_frame::Recipe recipe;
            recipe.target = std::move(frame.target);
            recipe.lines = std::move(frame.rule.recipe);
            recipe.prerequisites = std::move(frame.expanded);
            recipe.top_level = frame.top_level;
            engine.plan_stack.emplace_back(std::move(recipe));
        } else {
            record(engine, frame.target, PlanResult{mtime, false, false}, frame.top_level);
        }
        return true;
    }
    auto& recipe = std::get<plan_frame::Recipe>(engine.plan_stack.back());
    if (recipe.next < recipe.lines.size()) {
        if (auto r = take_recipe_line(engine, sys, recipe); !r) return std::unexpected(std::move(r.error()));
        return true;
    }
    plan_frame::Recipe frame = std::move(recipe);
    engine.plan_stack.pop_back();
    record(engine, frame.target, PlanResult{make_file_mtime(sys, engine.cwd, frame.target), true, false},
           frame.top_level);
    return true;
}

void make_recipe_failed(MakeEngine& engine, SyscallContext& sys, const std::string& target, std::uint64_t line,
                        std::int32_t status) {
    engine.stderr_text += fmt::format("make: *** [{}:{}: {}] Error {}\n", engine.makefile_name, line, target, status);
    engine.exit_status = 2;
    bool top_level = false;
    if (!engine.plan_stack.empty()) {
        if (auto* frame = std::get_if<plan_frame::Recipe>(&engine.plan_stack.back()); frame && frame->target == target) {
            top_level = frame->top_level;
            engine.plan_stack.pop_back();
        }
    }
    const PlanResult result{make_file_mtime(sys, engine.cwd, target), false, true};
    engine.planned.insert_or_assign(target, result);
    if (engine.keep_going)
        make_report_nothing_to_do(engine, target, result, top_level);
    else
        engine.stop = true;
}

}  // namespace tw
