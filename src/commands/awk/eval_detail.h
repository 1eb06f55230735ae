// Places (resolved assignment targets) and searches, shared by the evaluator and the builtins.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "commands/awk/runtime.h"

namespace tw {

// A writable place whose operand or subscripts have been evaluated: a scalar slot, a field
// number, or an array slot with a key.
struct AwkPlace {
    AwkExprKind kind = AwkExprKind::Var;
    std::uint32_t slot = 0;
    std::uint64_t field = 0;
    std::string key;
};

bool awk_resolve_place(AwkRuntime& rt, const AwkExpr& target, AwkPlace& place);
bool awk_read_place(AwkRuntime& rt, const AwkPlace& place, AwkValue& out);
bool awk_write_place(AwkRuntime& rt, const AwkPlace& place, const AwkValue& value);

// Whether `regex` matches anywhere in `subject`, charging the subject's length.
bool awk_search(AwkRuntime& rt, const Regex& regex, std::string_view subject, bool& found);

}  // namespace tw
