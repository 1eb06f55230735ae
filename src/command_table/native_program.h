// What a native-executable stub of the filesystem stands for: a resumable program, a native
// command of the registry by its absolute path, or a command name (a builtin or a shell).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tw {

// The resumable programs, in their fixed order (values 0 to 15).
enum class ProgramKind : std::uint8_t {
    True, False, Pwd, Yes, Cat, Tee, Head, Xargs, Find, Env, Sleep, Usleep, Timeout, Nohup, Nice, Make,
};
inline constexpr std::size_t kProgramKindCount = 16;

std::string_view program_kind_name(ProgramKind kind);
std::optional<ProgramKind> program_kind_from_name(std::string_view name);

class NativeProgram {
public:
    enum class Tag : std::uint8_t { Resumable, Registered, Named };

    static NativeProgram resumable(ProgramKind kind) { return NativeProgram(Tag::Resumable, kind, {}); }
    static NativeProgram registered(std::string path) { return NativeProgram(Tag::Registered, {}, std::move(path)); }
    static NativeProgram named(std::string name) { return NativeProgram(Tag::Named, {}, std::move(name)); }

    Tag tag() const { return tag_; }
    // Meaningful for Resumable only.
    ProgramKind kind() const { return kind_; }
    // The path of Registered, the name of Named; empty for Resumable.
    const std::string& text() const { return text_; }

    // The program's name: the resumable program's name, the base name of a registered path,
    // or the name itself.
    std::string_view name() const;

    bool operator==(const NativeProgram&) const = default;

private:
    NativeProgram(Tag tag, ProgramKind kind, std::string text) : tag_(tag), kind_(kind), text_(std::move(text)) {}

    Tag tag_;
    ProgramKind kind_ = ProgramKind::True;
    std::string text_;
};

}  // namespace tw
