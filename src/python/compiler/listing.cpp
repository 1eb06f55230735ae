// Opcode names, the detached host and the readable listing of code objects.
#include <fmt/format.h>

#include "python/compiler/compiler.h"
#include "python/front/text_forms.h"

namespace tw {

namespace {

constexpr std::string_view kOpcodeNames[kPyOpcodeCount] = {
    "LoadConst", "LoadName", "LoadGlobal", "StoreName", "LoadFast", "StoreFast", "StoreEnclosing",
    "StoreNonlocal", "StoreGlobal", "StoreAttr", "StoreSubscr", "DeleteAttr", "DeleteName", "DeleteFast",
    "DeleteGlobal", "DeleteSubscr", "ImportModule", "ImportFrom", "ImportStar", "LoadAttr", "LoadSubscr",
    "BuildSlice", "BuildList", "BuildTuple", "BuildDict", "BuildSet", "BuildUnpacked", "UnpackSequence",
    "MakeFunction", "MakeClass", "GetIter", "ForIter", "UnaryOp", "BinaryOp", "InplaceOp", "FormatValue",
    "CompareOp", "Call", "LoadMethod", "CallMethod", "Copy", "Swap", "PopTop", "Jump", "JumpIfFalseOrPop",
    "JumpIfTrueOrPop", "PopJumpIfFalse", "ReturnValue", "RaiseSyntaxError", "RaiseAssertionError",
    "SetupExcept", "PopBlock", "ExceptionMatch", "PopExcept", "Reraise", "Raise", "RaiseFrom", "YieldValue",
    "YieldFrom", "ResumeAwait", "WithEnter", "WithExit", "WithExceptExit", "AsyncWithExceptExit",
    "AsyncWithExceptResult", "ExprStatement", "Halt",
};

std::string constant_text(const CodeConstant& c) {
    switch (c.kind) {
        case ConstantKind::None: return "None";
        case ConstantKind::Ellipsis: return "...";
        case ConstantKind::Bool: return c.flag ? "True" : "False";
        case ConstantKind::Int: return std::to_string(c.int_value);
        case ConstantKind::BigInt: return c.text;
        case ConstantKind::Float: return py_float_repr(c.float_value);
        case ConstantKind::Imaginary: return py_float_repr(c.float_value) + "j";
        case ConstantKind::Str: return py_quote_text(c.text, false);
        case ConstantKind::Bytes: return py_quote_text(c.text, true);
    }
    return "?";
}

std::string flag_text(const std::vector<std::uint8_t>& flags) {
    std::string out = "[";
    for (std::size_t i = 0; i < flags.size(); ++i)
        out += fmt::format("{}{}", i ? " " : "", flags[i]);
    return out + "]";
}

class Lister {
public:
    explicit Lister(const detail::SymbolNames& names) : names_(names) {}

    std::string out;

    void code(const CodeObject& code, std::string_view title) {
        out += title;
        out += '\n';
        std::vector<std::pair<std::string, const CodeObject*>> nested;
        for (std::size_t i = 0; i < code.instructions.size(); ++i) {
            out += fmt::format("{:4} ", i);
            instruction(code, code.instructions[i], nested);
            out += '\n';
        }
        for (auto& [t, c] : nested)
            this->code(*c, t);
    }

private:
    std::string_view name(std::uint32_t s) const { return s == kNoSymbol ? "<failed>" : names_(s); }

    std::string params(const CodeObject& code) const {
        std::string out = "(";
        for (std::size_t i = 0; i < code.parameters.size(); ++i) {
            const ParamSlot& p = code.parameters[i];
            if (i)
                out += ", ";
            if (p.kind == ParamKind::VarPositional)
                out += '*';
            else if (p.kind == ParamKind::VarKeyword)
                out += "**";
            else if (p.kind == ParamKind::KeywordOnly)
                out += "kw:";
            else if (p.kind == ParamKind::PositionalOnly)
                out += "pos:";
            out += name(p.symbol);
            if (p.has_default)
                out += '=';
        }
        return out + ")";
    }

    void instruction(const CodeObject& code, const Instruction& in,
                     std::vector<std::pair<std::string, const CodeObject*>>& nested) {
        out += opcode_name(in.op);
        switch (in.op) {
            case PyOpcode::LoadConst: out += ' ' + constant_text(code.constants[in.a]); break;
            case PyOpcode::StoreEnclosing: out += fmt::format(" {} depth {}", name(in.a), in.b); break;
            case PyOpcode::ImportModule: out += fmt::format(" {}{}", name(in.a), in.flag ? " top" : ""); break;
            case PyOpcode::LoadFast:
            case PyOpcode::StoreFast:
            case PyOpcode::DeleteFast: {
                std::string_view local = in.a < code.local_names->size() ? name((*code.local_names)[in.a]) : "?";
                out += fmt::format(" {} {}", in.a, local);
                break;
            }
            case PyOpcode::BuildSlice:
                out += fmt::format(" {}{}{}", in.flag & 1 ? "lower " : "", in.flag & 2 ? "upper " : "",
                                   in.flag & 4 ? "step " : "");
                out.pop_back();
                break;
            case PyOpcode::BuildList:
            case PyOpcode::BuildTuple:
            case PyOpcode::BuildSet:
            case PyOpcode::Copy:
            case PyOpcode::Swap: out += fmt::format(" {}", in.a); break;
            case PyOpcode::BuildDict: out += ' ' + flag_text(code.flag_lists[in.a]); break;
            case PyOpcode::BuildUnpacked: {
                static constexpr std::string_view kKinds[] = {"list", "tuple", "set"};
                out += fmt::format(" {} {}", kKinds[in.flag % 3], flag_text(code.flag_lists[in.a]));
                break;
            }
            case PyOpcode::UnpackSequence:
                out += fmt::format(" {}", in.a);
                if (in.b != kNoIndex)
                    out += fmt::format(" star {}", in.b);
                break;
            case PyOpcode::MakeFunction: {
                const FunctionInfo& f = code.functions[in.a];
                out += fmt::format(" {} defaults {}", name(f.name), f.default_count);
                nested.emplace_back(fmt::format("{}{} function", name(f.name), params(*f.code)), f.code.get());
                break;
            }
            case PyOpcode::MakeClass: {
                const ClassInfo& k = code.classes[in.a];
                out += fmt::format(" {} bases {}{}", name(k.name), k.base_count, k.has_metaclass ? " metaclass" : "");
                if (!k.annotated_names.empty())
                    out += fmt::format(" annotated [{}]", fmt::join(k.annotated_names, " "));
                nested.emplace_back(fmt::format("{} class body", name(k.name)), k.code.get());
                break;
            }
            case PyOpcode::UnaryOp: out += fmt::format(" {}", operator_text(static_cast<UnaryOperator>(in.flag))); break;
            case PyOpcode::BinaryOp:
            case PyOpcode::InplaceOp:
                out += fmt::format(" {}", operator_text(static_cast<BinaryOperator>(in.flag)));
                break;
            case PyOpcode::CompareOp:
                out += fmt::format(" {}", operator_text(static_cast<CompareOperator>(in.flag)));
                break;
            case PyOpcode::FormatValue: {
                const FormatFieldInfo& f = code.format_fields[in.a];
                if (f.conversion >= 0)
                    out += fmt::format(" !{}", static_cast<char>(f.conversion));
                if (!f.spec.empty())
                    out += fmt::format(" :{}", f.spec);
                break;
            }
            case PyOpcode::Call:
            case PyOpcode::CallMethod: {
                const CallSiteInfo& site = code.call_sites[in.a];
                out += fmt::format(" pos {}", site.positional_count);
                bool any = false;
                for (auto f : site.flags)
                    any |= f != 0;
                if (any)
                    out += " flags " + flag_text(site.flags);
                if (!site.keyword_names.empty()) {
                    out += " kw [";
                    for (std::size_t i = 0; i < site.keyword_names.size(); ++i) {
                        if (i)
                            out += ' ';
                        out += site.keyword_names[i].present ? std::string(name(site.keyword_names[i].symbol)) : "**";
                    }
                    out += ']';
                }
                break;
            }
            case PyOpcode::RaiseSyntaxError: out += fmt::format(" \"{}\"", code.syntax_messages[in.a]); break;
            case PyOpcode::ExceptionMatch:
            case PyOpcode::Raise:
                if (in.flag)
                    out += " 1";
                break;
            default:
                if (opcode_takes_symbol(in.op))
                    out += fmt::format(" {}", name(in.a));
                else if (opcode_has_target(in.op))
                    out += fmt::format(" -> {}", in.a);
                break;
        }
    }

    const detail::SymbolNames& names_;
};

}  // namespace

std::string_view opcode_name(PyOpcode op) {
    auto i = static_cast<std::size_t>(op);
    return i < kPyOpcodeCount ? kOpcodeNames[i] : std::string_view("?");
}

bool opcode_takes_symbol(PyOpcode op) {
    switch (op) {
        case PyOpcode::LoadName:
        case PyOpcode::LoadGlobal:
        case PyOpcode::StoreName:
        case PyOpcode::StoreEnclosing:
        case PyOpcode::StoreNonlocal:
        case PyOpcode::StoreGlobal:
        case PyOpcode::StoreAttr:
        case PyOpcode::DeleteAttr:
        case PyOpcode::DeleteName:
        case PyOpcode::DeleteGlobal:
        case PyOpcode::ImportModule:
        case PyOpcode::ImportFrom:
        case PyOpcode::LoadAttr:
        case PyOpcode::LoadMethod: return true;
        default: return false;
    }
}

bool opcode_has_target(PyOpcode op) {
    switch (op) {
        case PyOpcode::ForIter:
        case PyOpcode::Jump:
        case PyOpcode::JumpIfFalseOrPop:
        case PyOpcode::JumpIfTrueOrPop:
        case PyOpcode::PopJumpIfFalse:
        case PyOpcode::SetupExcept:
        case PyOpcode::YieldFrom: return true;
        default: return false;
    }
}

std::uint32_t DetachedCodeHost::intern(std::string_view name) {
    if (auto it = index_.find(name); it != index_.end())
        return it->second;
    auto id = static_cast<std::uint32_t>(names_.size());
    names_.emplace_back(name);
    index_.emplace(names_.back(), id);
    return id;
}

std::string_view DetachedCodeHost::name(std::uint32_t symbol) const {
    return symbol < names_.size() ? std::string_view(names_[symbol]) : std::string_view("?");
}

namespace detail {

std::string code_listing(const CodeObject& code, const SymbolNames& names) {
    Lister lister(names);
    lister.code(code, "<module>");
    return std::move(lister.out);
}

}  // namespace detail

}  // namespace tw
