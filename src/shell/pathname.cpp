#include "shell/pathname.h"

#include <algorithm>

#include "base/sat.h"
#include "kernel/machine.h"
#include "shell/pattern.h"

namespace tw {

namespace {

// CPU units charged for matching one directory entry's name against a pattern component, on
// top of its bytes.
constexpr std::uint64_t kNameMatchWork = 8;


// `dir` (without trailing slashes) joined with `name`.
std::string join(std::string_view dir, std::string_view name) {
    while (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
    std::string out(dir);
    out += '/';
    out += name;
    return out;
}

std::vector<std::string_view> components(std::string_view pattern) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (start <= pattern.size()) {
        std::size_t slash = pattern.find('/', start);
        if (slash == std::string_view::npos) slash = pattern.size();
        if (slash > start) out.push_back(pattern.substr(start, slash - start));
        start = slash + 1;
    }
    return out;
}

bool is_directory(const Machine& m, std::string_view path) {
    auto node = m.node_at("/", path, true);
    return node && node->is_dir();
}

}  // namespace

bool pathname_entry_exists(const Machine& m, std::string_view path) {
    if (auto pseudo = m.pseudo_lookup("/", path, false)) return pseudo->has_value();
    return m.vfs.entry_exists(path);
}

std::vector<std::string> expand_pathnames(Machine& m, const ExpandedField& field) {
    if (!field.glob) return {field.text};
    auto parts = components(field.pattern);
    bool any_wildcard = std::any_of(parts.begin(), parts.end(),
                                    [](std::string_view c) { return shell_pattern_has_wildcards(c); });
    if (!any_wildcard) return {field.text};

    const ProcessState& state = m.states.active();
    const bool nullglob = state.shopt_enabled.contains("nullglob");
    const bool dotglob = state.shopt_enabled.contains("dotglob");
    const PatternOptions options{.caseless = state.shopt_enabled.contains("nocaseglob")};
    auto no_match = [&]() -> std::vector<std::string> {
        if (nullglob) return {};
        return {field.text};
    };

    const bool absolute = field.pattern.starts_with('/');
    const bool dirs_only = field.pattern.size() > 1 && field.pattern.ends_with('/');
    const std::string cwd = state.cwd;
    std::vector<std::string> candidates{absolute ? std::string("/") : cwd};

    for (std::string_view comp : parts) {
        std::vector<std::string> next;
        if (!shell_pattern_has_wildcards(comp)) {
            std::string name = shell_pattern_unescape(comp);
            for (const auto& c : candidates) {
                std::string path = join(c, name);
                if (pathname_entry_exists(m, path)) next.push_back(std::move(path));
            }
        } else {
            ShellPattern pattern = ShellPattern::compile(comp, options);
            const bool dot_ok = dotglob || comp.starts_with('.') || comp.starts_with("\\.");
            for (const auto& c : candidates) {
                auto names = m.list_dir_names("/", c);
                if (!names) continue;
                // The listing, and matching each name: its bytes and a few units for the attempt.
                std::uint64_t work = sat_add(names->size(), comp.size());
                for (const auto& name : *names) work = sat_add(work, sat_add(name.size(), kNameMatchWork));
                if (!m.meter.charge_cpu(work)) return no_match();
                for (const auto& name : *names) {
                    if (name.starts_with('.') && !dot_ok) continue;
                    if (name == "." || name == "..") continue;
                    if (pattern.matches(name)) next.push_back(join(c, name));
                }
            }
        }
        candidates = std::move(next);
        if (candidates.empty()) return no_match();
    }

    if (dirs_only) {
        std::erase_if(candidates, [&](const std::string& p) { return !is_directory(m, p); });
        if (candidates.empty()) return no_match();
        for (auto& p : candidates) p += '/';
    }
    if (!absolute) {
        std::string prefix = join(cwd, "");
        for (auto& p : candidates)
            if (p.starts_with(prefix)) p.erase(0, prefix.size());
    }
    std::sort(candidates.begin(), candidates.end());
    return candidates;
}

}  // namespace tw
