#include "pycompiler/verify.h"

#include <fmt/format.h>

namespace tw {

std::string verify_code(const CodeObject& code) {
    const auto n = code.instructions.size();
    if (code.positions.size() != n)
        return "positions and instructions differ in length";
    if (n == 0)
        return "empty code";
    std::size_t uses[7] = {};
    const std::size_t sizes[7] = {code.constants.size(), code.call_sites.size(), code.functions.size(),
                                  code.classes.size(), code.format_fields.size(), code.flag_lists.size(),
                                  code.syntax_messages.size()};
    for (std::size_t i = 0; i < n; ++i) {
        const Instruction& in = code.instructions[i];
        int table = -1;
        switch (in.op) {
            case PyOpcode::LoadConst: table = 0; break;
            case PyOpcode::Call:
            case PyOpcode::CallMethod: table = 1; break;
            case PyOpcode::MakeFunction: table = 2; break;
            case PyOpcode::MakeClass: table = 3; break;
            case PyOpcode::FormatValue: table = 4; break;
            case PyOpcode::BuildDict:
            case PyOpcode::BuildUnpacked: table = 5; break;
            case PyOpcode::RaiseSyntaxError: table = 6; break;
            case PyOpcode::LoadFast:
            case PyOpcode::StoreFast:
            case PyOpcode::DeleteFast:
                if (in.a >= code.local_names->size())
                    return fmt::format("{}: slot {} out of range", i, in.a);
                break;
            case PyOpcode::LoadName:
            case PyOpcode::StoreName:
            case PyOpcode::DeleteName:
                if (code.kind == CodeKind::ModuleBody)
                    return fmt::format("{}: {} left in module code", i, opcode_name(in.op));
                break;
            default:
                if (opcode_has_target(in.op) && in.a >= n)
                    return fmt::format("{}: {} target {} out of range", i, opcode_name(in.op), in.a);
                break;
        }
        if (table >= 0) {
            if (in.a != uses[table])
                return fmt::format("{}: {} refers to entry {}, expected {}", i, opcode_name(in.op), in.a, uses[table]);
            ++uses[table];
        }
    }
    for (int t = 0; t < 7; ++t)
        if (uses[t] != sizes[t])
            return fmt::format("side table {} has {} entries for {} uses", t, sizes[t], uses[t]);
    for (const FunctionInfo& f : code.functions)
        if (auto p = verify_code(*f.code); !p.empty())
            return "in a function: " + p;
    for (const ClassInfo& c : code.classes)
        if (auto p = verify_code(*c.code); !p.empty())
            return "in a class: " + p;
    return "";
}

namespace {

template <class F>
void each_code(const CodeObject& code, const F& f) {
    f(code);
    for (const FunctionInfo& fi : code.functions)
        each_code(*fi.code, f);
    for (const ClassInfo& c : code.classes)
        each_code(*c.code, f);
}

}  // namespace

std::size_t total_instructions(const CodeObject& code) {
    std::size_t n = 0;
    each_code(code, [&](const CodeObject& c) { n += c.instructions.size(); });
    return n;
}

std::vector<std::string> all_syntax_messages(const CodeObject& code) {
    std::vector<std::string> out;
    each_code(code, [&](const CodeObject& c) { out.insert(out.end(), c.syntax_messages.begin(), c.syntax_messages.end()); });
    return out;
}

}  // namespace tw
