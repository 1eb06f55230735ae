#include "commands/search/rg_select.h"

#include <fmt/format.h>

#include "base/glob.h"
#include "base/sat.h"
#include "commands/search/line_search.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

struct TypeRow {
    std::string_view name;
    std::initializer_list<std::string_view> extensions;
};

const TypeRow kTypes[] = {
    {"rust", {"rs"}},
    {"py", {"py", "pyi"}},
    {"python", {"py", "pyi"}},
    {"js", {"js", "jsx", "mjs", "cjs"}},
    {"ts", {"ts", "tsx"}},
    {"json", {"json"}},
    {"toml", {"toml"}},
    {"yaml", {"yaml", "yml"}},
    {"md", {"md", "markdown"}},
    {"markdown", {"md", "markdown"}},
    {"sh", {"sh", "bash", "zsh"}},
    {"shell", {"sh", "bash", "zsh"}},
    {"c", {"c", "h"}},
    {"cpp", {"cc", "cpp", "cxx", "hpp"}},
    {"go", {"go"}},
    {"java", {"java"}},
    {"ruby", {"rb"}},
    {"html", {"html", "htm"}},
    {"css", {"css", "scss", "sass", "less"}},
};

std::string_view last_component(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool is_hidden(std::string_view path) {
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t slash = path.find('/', pos);
        if (slash == std::string_view::npos) slash = path.size();
        const std::string_view component = path.substr(pos, slash - pos);
        if (component.starts_with('.') && component != ".") return true;
        pos = slash + 1;
    }
    return false;
}

}  // namespace

Result<std::uint64_t, std::string> rg_parse_count(std::string_view option, std::string_view value) {
    if (auto n = parse_count_value(value)) return *n;
    return std::unexpected(fmt::format("option {} requires a non-negative integer", option));
}

Result<std::uint64_t, std::string> rg_parse_context_count(std::string_view option, std::string_view value) {
    auto n = rg_parse_count(option, value);
    if (n && *n > kRgContextLimit)
        return std::unexpected(fmt::format("option {} exceeds the context limit", option));
    return n;
}

Result<std::string, std::string> rg_take_option_value(std::span<const std::string> args, std::size_t& index,
                                                      std::string_view option) {
    ++index;
    if (index >= args.size()) return std::unexpected(fmt::format("option {} requires a value", option));
    return args[index];
}

Result<std::uint64_t, std::string> rg_take_context_option(std::span<const std::string> args, std::size_t& index,
                                                          std::string_view option) {
    auto value = rg_take_option_value(args, index, option);
    if (!value) return std::unexpected(std::move(value.error()));
    return rg_parse_context_count(option, *value);
}

bool rg_type_accepts(std::string_view type, std::string_view extension) {
    for (const TypeRow& row : kTypes) {
        if (row.name != type) continue;
        for (std::string_view e : row.extensions)
            if (e == extension) return true;
        return false;
    }
    return false;
}

bool rg_selects(const RgSelection& selection, std::string_view path) {
    if (!selection.hidden && is_hidden(path)) return false;

    bool selected = true;
    for (const std::string& g : selection.globs)
        if (!g.starts_with('!')) selected = false;
    const std::string_view base = last_component(path);
    for (const std::string& g : selection.globs) {
        const bool negated = g.starts_with('!');
        const std::string_view glob = negated ? std::string_view(g).substr(1) : std::string_view(g);
        if (glob_to_regex(glob, path) || glob_to_regex(glob, base)) selected = !negated;
    }
    if (!selected) return false;

    if (!selection.types.empty()) {
        const std::size_t dot = path.rfind('.');
        if (dot == std::string_view::npos) return false;
        const std::string_view extension = path.substr(dot + 1);
        bool listed = false;
        for (const std::string& t : selection.types) listed = listed || rg_type_accepts(t, extension);
        if (!listed) return false;
    }
    return true;
}

Result<void, std::string> rg_collect_file(Syscalls& sys, const RgSelection& selection, std::string_view path,
                                          bool walked, std::vector<RgFile>& files, std::uint64_t& charged) {
    if (!rg_selects(selection, path)) return {};
    // Display paths are relative to the working directory (or absolute), so they are read from
    // there rather than from the root.
    auto bytes = sys.lend_file(sys.getcwd(), path, kRgFileLimit);
    if (!bytes) return std::unexpected(error_text(bytes.error()));
    if (!sys.charge_memory(bytes->size())) return std::unexpected(std::string("memory limit exceeded"));
    charged = sat_add(charged, bytes->size());
    files.push_back({std::string(path), std::move(*bytes), walked});
    return {};
}

}  // namespace tw
