#include "command_table/native_program.h"

namespace tw {
namespace {

constexpr std::array<std::string_view, kProgramKindCount> kProgramNames = {
    "true", "false", "pwd",  "yes",   "cat",     "tee",   "head", "xargs",
    "find", "env",   "sleep", "usleep", "timeout", "nohup", "nice", "make",
};

}  // namespace

std::string_view program_kind_name(ProgramKind kind) { return kProgramNames[static_cast<std::size_t>(kind)]; }

std::optional<ProgramKind> program_kind_from_name(std::string_view name) {
    for (std::size_t i = 0; i < kProgramNames.size(); ++i)
        if (kProgramNames[i] == name) return static_cast<ProgramKind>(i);
    return std::nullopt;
}

std::string_view NativeProgram::name() const {
    switch (tag_) {
    case Tag::Resumable: return program_kind_name(kind_);
    case Tag::Registered: {
        std::string_view t = text_;
        auto slash = t.rfind('/');
        return slash == std::string_view::npos ? t : t.substr(slash + 1);
    }
    case Tag::Named: return text_;
    }
    return text_;
}

}  // namespace tw
