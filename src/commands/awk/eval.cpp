// Expression evaluation. Every node costs one work unit; a failure is left in rt.failure and
// answered as false.
#include <fmt/format.h>

#include <cmath>

#include "base/sat.h"
#include "base/stack.h"
#include "commands/awk/eval_detail.h"
#include "commands/awk/runtime.h"
#include "kernel/syscalls.h"

namespace tw {

bool awk_search(AwkRuntime& rt, const Regex& regex, std::string_view subject, bool& found) {
    if (!rt.charge_cpu(subject.size())) return false;
    auto r = regex.matches(subject);
    if (!r) return rt.fail_match(r.error());
    found = *r;
    return true;
}

bool awk_resolve_place(AwkRuntime& rt, const AwkExpr& target, AwkPlace& place) {
    place.kind = target.kind;
    switch (target.kind) {
    case AwkExprKind::Var: place.slot = target.slot; return true;
    case AwkExprKind::Field: {
        AwkValue operand;
        if (!awk_evaluate(rt, *target.kids[0], operand)) return false;
        place.field = awk_field_index(operand);
        return true;
    }
    case AwkExprKind::Index:
        place.slot = target.slot;
        return awk_subscript_key(rt, target.kids, place.key);
    default: return rt.fail_error("assignment target is not writable");
    }
}

bool awk_read_place(AwkRuntime& rt, const AwkPlace& place, AwkValue& out) {
    switch (place.kind) {
    case AwkExprKind::Var: return awk_read_scalar(rt, place.slot, out);
    case AwkExprKind::Field: return awk_get_field(rt, place.field, out);
    default: {
        const AwkArray* array = rt.array(place.slot);
        if (array) {
            if (auto it = array->find(place.key); it != array->end()) {
                out = it->second;
                return true;
            }
        }
        out.set_uninit();
        return true;
    }
    }
}

bool awk_write_place(AwkRuntime& rt, const AwkPlace& place, const AwkValue& value) {
    switch (place.kind) {
    case AwkExprKind::Var: return awk_assign_scalar(rt, place.slot, value);
    case AwkExprKind::Field: return awk_assign_field(rt, place.field, value.text);
    default: return awk_set_array_element(rt, place.slot, place.key, value);
    }
}

bool awk_read_lvalue(AwkRuntime& rt, const AwkExpr& target, AwkValue& out) {
    AwkPlace place;
    return awk_resolve_place(rt, target, place) && awk_read_place(rt, place, out);
}

bool awk_assign_lvalue(AwkRuntime& rt, const AwkExpr& target, const AwkValue& value) {
    AwkPlace place;
    return awk_resolve_place(rt, target, place) && awk_write_place(rt, place, value);
}

bool awk_pattern_text(AwkRuntime& rt, const AwkExpr& e, std::string& out) {
    if (e.kind == AwkExprKind::Regex) {
        out = e.text;
        return true;
    }
    AwkValue v;
    if (!awk_evaluate(rt, e, v)) return false;
    out = std::move(v.text);
    return true;
}

namespace {

bool arithmetic(AwkRuntime& rt, AwkInfixOp op, double a, double b, double& out) {
    switch (op) {
    case AwkInfixOp::Add: out = a + b; return true;
    case AwkInfixOp::Sub: out = a - b; return true;
    case AwkInfixOp::Mul: out = a * b; return true;
    case AwkInfixOp::Div:
        if (b == 0) return rt.fail_error("division by zero");
        out = a / b;
        return true;
    case AwkInfixOp::Rem:
        if (b == 0) return rt.fail_error("division by zero");
        out = std::fmod(a, b);
        return true;
    default: out = 0; return true;
    }
}

AwkInfixOp assign_arithmetic(AwkAssignOp op) {
    switch (op) {
    case AwkAssignOp::Add: return AwkInfixOp::Add;
    case AwkAssignOp::Sub: return AwkInfixOp::Sub;
    case AwkAssignOp::Mul: return AwkInfixOp::Mul;
    case AwkAssignOp::Div: return AwkInfixOp::Div;
    default: return AwkInfixOp::Rem;
    }
}

void set_bool(AwkValue& out, bool b) {
    out.kind = AwkValueKind::Num;
    out.number = b ? 1 : 0;
    out.text.assign(b ? "1" : "0");
}

bool evaluate_infix(AwkRuntime& rt, const AwkExpr& e, AwkValue& out) {
    const auto op = static_cast<AwkInfixOp>(e.op);
    const AwkExpr& left = *e.kids[0];
    const AwkExpr& right = *e.kids[1];
    switch (op) {
    case AwkInfixOp::Or:
    case AwkInfixOp::And: {
        if (!awk_evaluate(rt, left, out)) return false;
        const bool l = awk_truthy(out);
        if (op == AwkInfixOp::Or ? l : !l) {
            set_bool(out, l);
            return true;
        }
        if (!awk_evaluate(rt, right, out)) return false;
        set_bool(out, awk_truthy(out));
        return true;
    }
    case AwkInfixOp::Equal:
    case AwkInfixOp::NotEqual:
    case AwkInfixOp::Less:
    case AwkInfixOp::LessEqual:
    case AwkInfixOp::Greater:
    case AwkInfixOp::GreaterEqual: {
        AwkValue r;
        if (!awk_evaluate(rt, left, out) || !awk_evaluate(rt, right, r)) return false;
        bool unordered = false;
        const int c = awk_compare(out, r, unordered);
        bool result = false;
        if (unordered) result = op == AwkInfixOp::NotEqual;
        else {
            switch (op) {
            case AwkInfixOp::Equal: result = c == 0; break;
            case AwkInfixOp::NotEqual: result = c != 0; break;
            case AwkInfixOp::Less: result = c < 0; break;
            case AwkInfixOp::LessEqual: result = c <= 0; break;
            case AwkInfixOp::Greater: result = c > 0; break;
            default: result = c >= 0; break;
            }
        }
        set_bool(out, result);
        return true;
    }
    case AwkInfixOp::Match:
    case AwkInfixOp::NotMatch: {
        if (!awk_evaluate(rt, left, out)) return false;
        std::string source;
        if (!awk_pattern_text(rt, right, source)) return false;
        const Regex* regex = rt.dynamic_regex(source);
        bool found = false;
        if (!regex || !awk_search(rt, *regex, out.text, found)) return false;
        set_bool(out, found == (op == AwkInfixOp::Match));
        return true;
    }
    case AwkInfixOp::In: {
        if (!awk_evaluate(rt, left, out)) return false;
        if (right.kind != AwkExprKind::Var) return rt.fail_error("right side of 'in' must be an array name");
        const AwkArray* array = rt.array(e.slot);
        set_bool(out, array && array->contains(std::string_view(out.text)));
        return true;
    }
    case AwkInfixOp::Concat: {
        AwkValue r;
        if (!awk_evaluate(rt, left, out) || !awk_evaluate(rt, right, r)) return false;
        const std::uint64_t n = sat_add(out.text.size(), r.text.size());
        if (!rt.sys.charge_memory(n)) return rt.fail_exhausted();
        if (!rt.sys.charge_cpu(n)) {
            rt.sys.release_memory(n);
            return rt.fail_exhausted();
        }
        out.kind = AwkValueKind::Str;
        out.text += r.text;
        rt.sys.release_memory(n);
        return true;
    }
    default: {
        double a = 0, b = 0, result = 0;
        if (!awk_evaluate_number(rt, left, a) || !awk_evaluate_number(rt, right, b)) return false;
        if (!arithmetic(rt, op, a, b, result)) return false;
        out.set_number(result);
        return true;
    }
    }
}

// The field number of a field node's operand.
bool field_number(AwkRuntime& rt, const AwkExpr& operand, std::uint64_t& index) {
    if (operand.kind == AwkExprKind::Num) {
        if (!rt.sys.charge_cpu(1)) return rt.fail_exhausted();
        index = awk_field_index(operand.number);
        return true;
    }
    AwkValue v;
    if (!awk_evaluate(rt, operand, v)) return false;
    index = awk_field_index(v);
    return true;
}

// Whether a target is an ordinary variable, which compound assignments update in place.
bool plain_variable(const AwkExpr& target) {
    return target.kind == AwkExprKind::Var && target.slot >= kAwkSpecialCount;
}

// A compound assignment or an increment of an ordinary variable, made in place.
bool update_variable(AwkRuntime& rt, std::uint32_t slot, AwkInfixOp op, double r) {
    double result = 0;
    if (!arithmetic(rt, op, rt.scalar_number(slot), r, result)) return false;
    return awk_store_scalar_number(rt, slot, result);
}

// A compound assignment or an increment of an array element, made with one lookup. `before`
// receives the element's value before the update and `after` the new value, when given.
bool update_element(AwkRuntime& rt, std::uint32_t slot, const std::string& key, AwkInfixOp op, double r,
                    AwkValue* before, AwkValue* after) {
    AwkArray& array = rt.make_array(slot);
    auto it = array.find(key);
    const bool existed = it != array.end();
    if (before) {
        if (existed) *before = it->second;
        else before->set_uninit();
    }
    double result = 0;
    if (!arithmetic(rt, op, existed ? awk_to_number(it->second) : 0, r, result)) return false;
    char buf[kAwkNumberChars];
    const std::size_t length = awk_number_chars(result, buf);
    const std::uint64_t old_cost = existed ? awk_entry_cost(key.size(), it->second.text.size()) : 0;
    if (!rt.adjust_memory(old_cost, awk_entry_cost(key.size(), length))) return false;
    if (!existed) it = array.emplace(key, AwkValue{}).first;
    AwkValue& v = it->second;
    v.kind = AwkValueKind::Num;
    v.number = result;
    v.text.assign(buf, length);
    if (after) *after = v;
    return true;
}

bool evaluate_number_node(AwkRuntime& rt, const AwkExpr& e, double& out) {
    switch (e.kind) {
    case AwkExprKind::Num:
        if (!rt.sys.charge_cpu(1)) return rt.fail_exhausted();
        out = e.number;
        return true;
    case AwkExprKind::Var:
        if (e.slot < kAwkSpecialCount) break;
        if (!rt.sys.charge_cpu(1)) return rt.fail_exhausted();
        out = rt.scalar_number(e.slot);
        return true;
    case AwkExprKind::Field: {
        if (!rt.sys.charge_cpu(1)) return rt.fail_exhausted();
        std::uint64_t index = 0;
        if (!field_number(rt, *e.kids[0], index)) return false;
        if (index == 0) {
            out = awk_text_to_number(rt.record());
            return true;
        }
        if (!rt.split_current()) return false;
        out = index <= rt.field_count() ? awk_text_to_number(rt.field(index)) : 0;
        return true;
    }
    default: break;
    }
    AwkValue v;
    if (!awk_evaluate(rt, e, v)) return false;
    out = awk_to_number(v);
    return true;
}

bool evaluate_node(AwkRuntime& rt, const AwkExpr& e, AwkValue& out) {
    if (!rt.sys.charge_cpu(1)) return rt.fail_exhausted();
    switch (e.kind) {
    case AwkExprKind::Str: out.set_text(e.text); return true;
    case AwkExprKind::Num:
        out.kind = AwkValueKind::Num;
        out.number = e.number;
        out.text.assign(e.text);
        return true;
    case AwkExprKind::Regex: {
        const Regex* regex = rt.literal_regex(e.slot);
        bool found = false;
        if (!regex || !awk_search(rt, *regex, rt.record(), found)) return false;
        set_bool(out, found);
        return true;
    }
    case AwkExprKind::Var: return awk_read_scalar(rt, e.slot, out);
    case AwkExprKind::Field: {
        std::uint64_t index = 0;
        return field_number(rt, *e.kids[0], index) && awk_get_field(rt, index, out);
    }
    case AwkExprKind::Index: {
        std::string key;
        if (!awk_subscript_key(rt, e.kids, key)) return false;
        const AwkArray* array = rt.array(e.slot);
        if (array) {
            if (auto it = array->find(key); it != array->end()) {
                out = it->second;
                return true;
            }
        }
        out.set_uninit();
        return true;
    }
    case AwkExprKind::Call: return awk_call_builtin(rt, e, out);
    case AwkExprKind::Assign: {
        const auto op = static_cast<AwkAssignOp>(e.op);
        const AwkExpr& target = *e.kids[0];
        // The value first; then the target's operand or subscripts, evaluated once.
        AwkPlace place;
        if (op == AwkAssignOp::Set) {
            return awk_evaluate(rt, *e.kids[1], out) && awk_resolve_place(rt, target, place) &&
                   awk_write_place(rt, place, out);
        }
        double r = 0;
        if (!awk_evaluate_number(rt, *e.kids[1], r)) return false;
        if (plain_variable(target)) {
            if (!update_variable(rt, target.slot, assign_arithmetic(op), r)) return false;
            out = rt.scalar(target.slot);
            return true;
        }
        if (target.kind == AwkExprKind::Index) {
            return awk_subscript_key(rt, target.kids, place.key) &&
                   update_element(rt, target.slot, place.key, assign_arithmetic(op), r, nullptr, &out);
        }
        AwkValue current;
        if (!awk_resolve_place(rt, target, place) || !awk_read_place(rt, place, current)) return false;
        double result = 0;
        if (!arithmetic(rt, assign_arithmetic(op), awk_to_number(current), r, result)) return false;
        out.set_number(result);
        return awk_write_place(rt, place, out);
    }
    case AwkExprKind::Infix: return evaluate_infix(rt, e, out);
    case AwkExprKind::Unary: {
        if (!awk_evaluate(rt, *e.kids[0], out)) return false;
        switch (static_cast<AwkUnaryOp>(e.op)) {
        case AwkUnaryOp::Not: set_bool(out, !awk_truthy(out)); return true;
        case AwkUnaryOp::Plus: out.set_number(awk_to_number(out)); return true;
        case AwkUnaryOp::Negate: out.set_number(-awk_to_number(out)); return true;
        }
        return true;
    }
    case AwkExprKind::IncDec: {
        const AwkExpr& target = *e.kids[0];
        if (plain_variable(target)) {
            if (!e.prefix) out = rt.scalar(target.slot);
            if (!update_variable(rt, target.slot, AwkInfixOp::Add, e.delta)) return false;
            if (e.prefix) out = rt.scalar(target.slot);
            return true;
        }
        if (target.kind == AwkExprKind::Index) {
            std::string key;
            return awk_subscript_key(rt, target.kids, key) &&
                   update_element(rt, target.slot, key, AwkInfixOp::Add, e.delta, e.prefix ? nullptr : &out,
                                  e.prefix ? &out : nullptr);
        }
        AwkPlace place;
        if (!awk_resolve_place(rt, *e.kids[0], place) || !awk_read_place(rt, place, out)) return false;
        const AwkValue updated = AwkValue::from_number(awk_to_number(out) + e.delta);
        if (!awk_write_place(rt, place, updated)) return false;
        if (e.prefix) out = updated;
        return true;
    }
    }
    return true;
}

}  // namespace

bool awk_evaluate(AwkRuntime& rt, const AwkExpr& e, AwkValue& out) {
    return with_stack_headroom([&] { return evaluate_node(rt, e, out); });
}

bool awk_evaluate_number(AwkRuntime& rt, const AwkExpr& e, double& out) {
    return with_stack_headroom([&] { return evaluate_number_node(rt, e, out); });
}

bool awk_evaluate_effect(AwkRuntime& rt, const AwkExpr& e) {
    // Updates of ordinary variables and array elements need no result value.
    if ((e.kind == AwkExprKind::Assign && e.op != static_cast<std::uint8_t>(AwkAssignOp::Set)) ||
        e.kind == AwkExprKind::IncDec) {
        const AwkExpr& target = *e.kids[0];
        if (plain_variable(target)) {
            if (!rt.sys.charge_cpu(1)) return rt.fail_exhausted();
            if (e.kind == AwkExprKind::IncDec) return update_variable(rt, target.slot, AwkInfixOp::Add, e.delta);
            double r = 0;
            return awk_evaluate_number(rt, *e.kids[1], r) &&
                   update_variable(rt, target.slot, assign_arithmetic(static_cast<AwkAssignOp>(e.op)), r);
        }
        if (target.kind == AwkExprKind::Index) {
            if (!rt.sys.charge_cpu(1)) return rt.fail_exhausted();
            double r = e.delta;
            AwkInfixOp op = AwkInfixOp::Add;
            if (e.kind == AwkExprKind::Assign) {
                op = assign_arithmetic(static_cast<AwkAssignOp>(e.op));
                if (!awk_evaluate_number(rt, *e.kids[1], r)) return false;
            }
            std::string key;
            return awk_subscript_key(rt, target.kids, key) && update_element(rt, target.slot, key, op, r, nullptr, nullptr);
        }
    }
    AwkValue v;
    return awk_evaluate(rt, e, v);
}

}  // namespace tw
