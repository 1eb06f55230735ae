// The variable builtins: export, unset, declare (and typeset), local and readonly, with the small
// operations on names and assignment words that they share with read, mapfile and the executor.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace tw {

struct BuiltinContext;
struct CommandIo;
struct Machine;

// The name an assignment word assigns: the text before its first `=` (the whole word without
// one), one trailing `+` removed, cut before its first `[`. x+=1 gives x, a[2]=v gives a.
std::string_view assignment_name(std::string_view word);
// (text before the first `=`, text after it), or nothing for a word without `=`.
std::optional<std::pair<std::string_view, std::string_view>> split_assignment(std::string_view word);

// Assigns `value_text` to `name_text` (the text before `=`, `+` and subscript included) in the
// active process as an assignment word does: the value is expanded without field splitting.
// An expansion failure goes to `err` and gives its status (and requests the exit when fatal);
// 0 otherwise. Read-only names must be refused by the caller.
std::int32_t assign_from_word(Machine& m, std::string_view name_text, std::string_view value_text, std::string& err);

std::int32_t builtin_export(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_unset(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
// declare and typeset.
std::int32_t builtin_declare(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_local(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);
std::int32_t builtin_readonly(BuiltinContext& context, std::span<const std::string> args, CommandIo& io);

}  // namespace tw
