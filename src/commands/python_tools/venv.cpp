#include "commands/python_tools/venv.h"

#include <string>

#include <fmt/format.h>

#include "kernel/machine.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

// `text` in single quotes for sh, each inner quote written as '\''.
std::string sh_single_quote(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    quoted += '\'';
    return quoted;
}

// Writes `path` (absolute) unless a regular file is already there.
bool write_if_absent(Machine& m, const std::string& path, std::string content, std::uint32_t mode) {
    if (m.vfs.is_file_at("/", path)) return true;
    return m.vfs.write_file(path, std::move(content), mode).has_value();
}

}  // namespace

bool create_venv_layout(Machine& m, std::string_view dir, bool write_uv_lock) {
    const std::string cwd = m.states.active().cwd;
    const std::string root = path_join_normalize(cwd, dir);
    const std::string bin = root == "/" ? std::string("/bin") : root + "/bin";
    if (!m.vfs.create_dir_all("/", root) || !m.vfs.create_dir_all("/", bin)) return false;
    if (!write_if_absent(m, bin + "/python", "#!tarnwick-python\n", 0755)) return false;
    if (!write_if_absent(m, bin + "/pip", "#!/bin/sh\npip \"$@\"\n", 0755)) return false;
    const std::string activate =
        fmt::format("VIRTUAL_ENV={}; export VIRTUAL_ENV; PATH=\"$VIRTUAL_ENV/bin:$PATH\"; export PATH\n",
                    sh_single_quote(root));
    if (!write_if_absent(m, bin + "/activate", activate, 0644)) return false;
    if (write_uv_lock && !write_if_absent(m, path_join_normalize(cwd, "uv.lock"), "# tarnwick uv.lock\n", 0644))
        return false;
    return true;
}

}  // namespace tw
