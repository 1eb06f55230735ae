// Statements, the rules of a phase, and the report of how a phase ended.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "base/sat.h"
#include "base/stack.h"
#include "commands/awk/runtime.h"
#include "commands/util/io.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

using F = AwkFlowKind;

// Runs a loop body: Normal or Continue go on (true), Break ends the loop with Normal, any other
// flow ends it with that flow.
bool loop_continues(F body, F& result) {
    if (body == F::Normal || body == F::Continue) return true;
    result = body == F::Break ? F::Normal : body;
    return false;
}

F exhausted(AwkRuntime& rt) {
    rt.fail_exhausted();
    return F::Exhausted;
}

F evaluate_for_effect(AwkRuntime& rt, const AwkExpr* e) {
    if (e && !awk_evaluate_effect(rt, *e)) return rt.failure.kind;
    return F::Normal;
}

F execute_print(AwkRuntime& rt, const AwkStmt& s) {
    std::uint64_t total = rt.ors.size();
    if (s.exprs.empty()) {
        total = sat_add(total, rt.record().size());
        if (!command_output_fits(rt.sys, rt.io.out, total)) return exhausted(rt);
        rt.io.out += rt.record();
        rt.io.out += rt.ors;
        return F::Normal;
    }
    std::vector<AwkValue>& values = rt.print_scratch;
    if (values.size() < s.exprs.size()) values.resize(s.exprs.size());
    for (std::size_t i = 0; i < s.exprs.size(); ++i) {
        if (!awk_evaluate(rt, *s.exprs[i], values[i])) return rt.failure.kind;
        total = sat_add(total, values[i].text.size());
    }
    total = sat_add(total, sat_mul(s.exprs.size() - 1, rt.ofs.size()));
    if (!command_output_fits(rt.sys, rt.io.out, total)) return exhausted(rt);
    for (std::size_t i = 0; i < s.exprs.size(); ++i) {
        if (i > 0) rt.io.out += rt.ofs;
        rt.io.out += values[i].text;
    }
    rt.io.out += rt.ors;
    return F::Normal;
}

F execute_printf(AwkRuntime& rt, const AwkStmt& s) {
    std::vector<AwkValue>& values = rt.print_scratch;
    if (values.size() < s.exprs.size()) values.resize(s.exprs.size());
    for (std::size_t i = 0; i < s.exprs.size(); ++i)
        if (!awk_evaluate(rt, *s.exprs[i], values[i])) return rt.failure.kind;
    const std::uint64_t remaining = rt.sys.output_remaining();
    const std::uint64_t bound = std::min(rt.sys.limits().memory, sat_sub(remaining, rt.io.out.size()));
    auto text = awk_format(values[0].text, std::span<const AwkValue>(values).subspan(1, s.exprs.size() - 1), bound);
    if (!text) {
        if (!text.error().too_large) {
            rt.fail_error(std::move(text.error().message));
            return F::Error;
        }
        rt.sys.charge_output(sat_add(remaining, 1));
        return exhausted(rt);
    }
    if (!command_output_fits(rt.sys, rt.io.out, text->size())) return exhausted(rt);
    rt.io.out += *text;
    return F::Normal;
}

F execute_node(AwkRuntime& rt, const AwkStmt& s) {
    if (!rt.sys.charge_cpu(1)) return exhausted(rt);
    AwkValue v;
    switch (s.kind) {
    case AwkStmtKind::Block: return awk_execute_block(rt, s.body);
    case AwkStmtKind::If:
        if (!awk_evaluate(rt, *s.exprs[0], v)) return rt.failure.kind;
        if (awk_truthy(v)) return awk_execute(rt, *s.body[0]);
        return s.body.size() > 1 ? awk_execute(rt, *s.body[1]) : F::Normal;
    case AwkStmtKind::While: {
        F result = F::Normal;
        while (true) {
            if (!awk_evaluate(rt, *s.exprs[0], v)) return rt.failure.kind;
            if (!awk_truthy(v)) return F::Normal;
            if (!loop_continues(awk_execute(rt, *s.body[0]), result)) return result;
        }
    }
    case AwkStmtKind::For: {
        if (F f = evaluate_for_effect(rt, s.exprs[0].get()); f != F::Normal) return f;
        F result = F::Normal;
        while (true) {
            if (s.exprs[1]) {
                if (!awk_evaluate(rt, *s.exprs[1], v)) return rt.failure.kind;
                if (!awk_truthy(v)) return F::Normal;
            }
            if (!loop_continues(awk_execute(rt, *s.body[0]), result)) return result;
            if (F f = evaluate_for_effect(rt, s.exprs[2].get()); f != F::Normal) return f;
        }
    }
    case AwkStmtKind::ForIn: {
        const AwkArray* array = rt.array(s.array_slot);
        if (!array) return F::Normal;
        std::vector<std::string> keys;
        keys.reserve(array->size());
        std::uint64_t bytes = 0;
        for (const auto& entry : *array) {
            keys.push_back(entry.first);
            bytes = sat_add(bytes, entry.first.size());
        }
        if (!rt.charge_cpu(sat_add(bytes, keys.size()))) return F::Exhausted;
        std::sort(keys.begin(), keys.end());
        F result = F::Normal;
        for (std::string& key : keys) {
            v.kind = AwkValueKind::Str;
            v.text = std::move(key);
            if (!awk_assign_scalar(rt, s.var_slot, v)) return rt.failure.kind;
            if (!loop_continues(awk_execute(rt, *s.body[0]), result)) return result;
        }
        return F::Normal;
    }
    case AwkStmtKind::Break: return F::Break;
    case AwkStmtKind::Continue: return F::Continue;
    case AwkStmtKind::Next: return F::Next;
    case AwkStmtKind::NextFile: return F::NextFile;
    case AwkStmtKind::Delete: {
        const AwkExpr& target = *s.exprs[0];
        if (target.kind != AwkExprKind::Index) {
            rt.fail_error("expected array element");
            return F::Error;
        }
        std::string key;
        if (!awk_subscript_key(rt, target.kids, key)) return rt.failure.kind;
        AwkArray* array = rt.array(target.slot);
        if (!array) return F::Normal;
        auto it = array->find(key);
        if (it == array->end()) return F::Normal;
        const std::uint64_t cost = awk_entry_cost(it->first.size(), it->second.text.size());
        array->erase(it);
        rt.adjust_memory(cost, 0);
        return F::Normal;
    }
    case AwkStmtKind::Exit: {
        std::int32_t code = 0;
        if (!s.exprs.empty()) {
            if (!awk_evaluate(rt, *s.exprs[0], v)) return rt.failure.kind;
            const double x = std::trunc(awk_to_number(v));
            if (std::isnan(x)) code = 0;
            else if (x > 2147483647.0) code = 2147483647;
            else if (x < -2147483648.0) code = -2147483647 - 1;
            else code = static_cast<std::int32_t>(x);
        }
        rt.failure = AwkFlow{F::Exit, code, {}};
        return F::Exit;
    }
    case AwkStmtKind::Print: return execute_print(rt, s);
    case AwkStmtKind::Printf: return execute_printf(rt, s);
    case AwkStmtKind::ExprStmt: return evaluate_for_effect(rt, s.exprs[0].get());
    }
    return F::Normal;
}

}  // namespace

AwkFlowKind awk_execute(AwkRuntime& rt, const AwkStmt& s) {
    return with_stack_headroom([&] { return execute_node(rt, s); });
}

AwkFlowKind awk_execute_block(AwkRuntime& rt, std::span<const AwkStmtPtr> statements) {
    for (const AwkStmtPtr& s : statements) {
        const F f = awk_execute(rt, *s);
        if (f != F::Normal) return f;
    }
    return F::Normal;
}

AwkFlow awk_run_rules(AwkRuntime& rt, AwkPhase phase) {
    AwkValue v;
    for (const AwkRule& rule : rt.program.rules) {
        bool runs = false;
        switch (rule.pattern) {
        case AwkPatternKind::Begin: runs = phase == AwkPhase::Begin; break;
        case AwkPatternKind::End: runs = phase == AwkPhase::End; break;
        case AwkPatternKind::Always: runs = phase == AwkPhase::Record; break;
        case AwkPatternKind::Expr:
            if (phase != AwkPhase::Record) break;
            if (!awk_evaluate(rt, *rule.expr, v)) return rt.failure;
            runs = awk_truthy(v);
            break;
        }
        if (!runs) continue;
        const F f = awk_execute_block(rt, rule.action);
        if (f == F::Normal) continue;
        if (f == F::Exit || f == F::Error || f == F::Exhausted) return rt.failure;
        return AwkFlow{f, 0, {}};
    }
    return AwkFlow{};
}

std::int32_t awk_report_error(AwkRuntime& rt, const AwkFlow& flow, std::string_view context) {
    switch (flow.kind) {
    case F::Normal: return 0;
    case F::Break:
    case F::Continue: push_line(rt.io.err, fmt::format("awk: loop control outside loop in {}", context)); return 2;
    case F::Next:
    case F::NextFile: push_line(rt.io.err, fmt::format("awk: record control in {}", context)); return 2;
    case F::Exit: return flow.code;
    case F::Error:
        rt.sys.record_unsupported(fmt::format("awk:{}", flow.message));
        push_line(rt.io.err, fmt::format("awk: {}", flow.message));
        return 2;
    case F::Exhausted: return rt.sys.exhausted_status();
    }
    return 2;
}

}  // namespace tw
