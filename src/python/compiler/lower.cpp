// Lowering: a finished builder's IR to a code object.
#include <limits>

#include "base/panic.h"
#include "python/compiler/compiler_internal.h"

namespace tw::pycompile {

namespace {

template <class T>
void check_side_table(const std::vector<T>& table) {
    if (table.size() > std::numeric_limits<std::uint32_t>::max())
        panic("bounded source produced an oversized side table");
}

}  // namespace

CodeObjectPtr lower_code(PyCompiler& c, CompileContext& ctx, const std::vector<ParamSpec>& params,
                         CodeKind kind) {
    auto code = std::make_shared<CodeObject>();
    code->kind = kind;
    std::vector<IrInstr>& ir = c.ir;

    // Local slots: the parameters, then every name a StoreName binds that is declared neither
    // global nor nonlocal, in order of first appearance.
    std::vector<NameId> locals;
    if (kind == CodeKind::FunctionBody) {
        auto& slot = ctx.slot_scratch;
        if (slot.size() < ctx.name_count())
            slot.resize(ctx.name_count(), 0);
        auto add_local = [&](NameId n) {
            if (slot[n] == 0) {
                locals.push_back(n);
                slot[n] = static_cast<std::uint32_t>(locals.size());
            }
        };
        for (const ParamSpec& p : params)
            add_local(p.name);
        for (const IrInstr& in : ir)
            if (in.op == PyOpcode::StoreName && !c.in(c.globals, in.a) && !c.in(c.nonlocals, in.a))
                add_local(in.a);
        for (IrInstr& in : ir) {
            PyOpcode fast;
            switch (in.op) {
                case PyOpcode::LoadName: fast = PyOpcode::LoadFast; break;
                case PyOpcode::StoreName: fast = PyOpcode::StoreFast; break;
                case PyOpcode::DeleteName: fast = PyOpcode::DeleteFast; break;
                default: continue;
            }
            if (in.a < slot.size() && slot[in.a] != 0) {
                in.op = fast;
                in.a = slot[in.a] - 1;
            }
        }
        for (NameId n : locals)
            slot[n] = 0;
    } else if (kind == CodeKind::ModuleBody) {
        for (IrInstr& in : ir) {
            if (in.op == PyOpcode::LoadName)
                in.op = PyOpcode::LoadGlobal;
            else if (in.op == PyOpcode::StoreName)
                in.op = PyOpcode::StoreGlobal;
            else if (in.op == PyOpcode::DeleteName)
                in.op = PyOpcode::DeleteGlobal;
        }
    }

    auto local_names = std::make_shared<std::vector<std::uint32_t>>();
    local_names->reserve(locals.size());
    for (NameId n : locals)
        local_names->push_back(ctx.symbol(n));
    code->local_names = std::move(local_names);

    code->parameters.reserve(params.size());
    for (const ParamSpec& p : params)
        code->parameters.push_back(ParamSlot{ctx.symbol(p.name), p.kind, p.has_default});

    // Instructions; the side tables were filled in emission order, which is instruction order.
    check_side_table(c.constants);
    check_side_table(c.call_sites);
    check_side_table(c.functions);
    check_side_table(c.classes);
    check_side_table(c.format_fields);
    check_side_table(c.flag_lists);
    check_side_table(c.syntax_messages);
    code->instructions.reserve(ir.size());
    code->positions.reserve(ir.size());
    bool has_yield = false;
    bool makes_code = false;
    for (const IrInstr& in : ir) {
        Instruction out{in.op, in.flag, in.a, in.b};
        if (opcode_takes_symbol(in.op))
            out.a = ctx.symbol(in.a);
        else if (opcode_has_target(in.op) && in.a >= ir.size())
            panic("compiler left a jump target outside its code");
        if (in.op == PyOpcode::YieldValue || in.op == PyOpcode::YieldFrom)
            has_yield = true;
        if (in.op == PyOpcode::MakeFunction || in.op == PyOpcode::MakeClass)
            makes_code = true;
        code->instructions.push_back(out);
        code->positions.push_back(in.span);
    }
    code->constants = std::move(c.constants);
    code->call_sites.reserve(c.call_sites.size());
    for (IrCallSite& site : c.call_sites) {
        CallSiteInfo info;
        info.keyword_names.reserve(site.keyword_names.size());
        for (auto [has_name, name] : site.keyword_names)
            info.keyword_names.push_back(has_name ? KeywordName{1, ctx.symbol(name)} : KeywordName{0, 0});
        info.flags = std::move(site.flags);
        info.positional_count = site.positional_count;
        code->call_sites.push_back(std::move(info));
    }
    code->functions.reserve(c.functions.size());
    for (IrFunction& f : c.functions)
        code->functions.push_back(FunctionInfo{std::move(f.code), f.default_count, ctx.symbol(f.name)});
    code->classes.reserve(c.classes.size());
    for (IrClass& k : c.classes)
        code->classes.push_back(ClassInfo{std::move(k.code), std::move(k.annotated_names), k.base_count,
                                          ctx.symbol(k.name), k.has_metaclass});
    code->format_fields = std::move(c.format_fields);
    code->flag_lists = std::move(c.flag_lists);
    code->syntax_messages = std::move(c.syntax_messages);

    // Facts about the parameters and the body.
    auto& ps = code->parameters;
    std::uint32_t i = 0;
    while (i < ps.size() && (ps[i].kind == ParamKind::PositionalOnly || ps[i].kind == ParamKind::PositionalOrKeyword)) {
        if (!ps[i].has_default)
            ++code->required_positional_count;
        ++i;
    }
    code->positional_count = i;
    for (std::uint32_t k = 0; k < ps.size(); ++k) {
        if (ps[k].kind == ParamKind::VarPositional && !code->vararg_index)
            code->vararg_index = k;
        if (ps[k].kind == ParamKind::VarKeyword && !code->kwarg_index)
            code->kwarg_index = k;
        if (ps[k].kind == ParamKind::KeywordOnly && !ps[k].has_default)
            code->has_required_kwonly = true;
        if (ps[k].has_default)
            code->default_indices.push_back(k);
    }
    code->has_yield = has_yield;
    code->is_async = c.is_async;
    code->needs_scope = has_yield || c.is_async || makes_code;
    code->docstring = std::move(c.docstring);

    // Release what the builder still holds before the code object is shared.
    std::vector<IrInstr>().swap(ir);
    std::vector<LoopRecord>().swap(c.loops);
    std::vector<UnwindEntry>().swap(c.unwind);

    code->id = ctx.host.reserve_code_id();
    CodeObjectPtr shared = std::move(code);
    if (shared->id != kNoCodeId)
        ctx.host.store_code(shared->id, shared);
    return shared;
}

}  // namespace tw::pycompile
