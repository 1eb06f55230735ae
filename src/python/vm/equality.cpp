// Equality of builtin values without program code, and live item reads of lists and tuples.
#include "python/vm/equality.h"

#include <cmath>
#include <vector>

#include "kernel/machine.h"
#include "python/front/definitions.h"
#include "python/heap/bigint.h"
#include "python/heap/heap.h"
#include "python/vm/engine.h"
#include "python/vm/iteration.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

bool is_real(const NumericView& v) {
    return v.kind == NumericView::Small || v.kind == NumericView::Big || v.kind == NumericView::U64 ||
           v.kind == NumericView::Float;
}

void to_mpz(const NumericView& v, mpz_t out) {
    if (v.kind == NumericView::Big) mpz_set(out, v.big->get());
    else if (v.kind == NumericView::U64) mpz_set_ui(out, v.u64);
    else mpz_set_si(out, v.small);
}

// A real number against another: integers exactly, a float only when it is integral.
bool real_eq(const NumericView& a, const NumericView& b) {
    if (a.kind == NumericView::Float && b.kind == NumericView::Float) return a.real == b.real;
    if (a.kind == NumericView::Small && b.kind == NumericView::Small) return a.small == b.small;
    if (a.kind == NumericView::Float || b.kind == NumericView::Float) {
        const double d = a.kind == NumericView::Float ? a.real : b.real;
        const NumericView& i = a.kind == NumericView::Float ? b : a;
        if (!std::isfinite(d) || std::trunc(d) != d) return false;
        mpz_t x, y;
        mpz_init(x), mpz_init(y);
        to_mpz(i, x);
        mpz_set_d(y, d);  // exact: d is integral
        bool eq = mpz_cmp(x, y) == 0;
        mpz_clear(x), mpz_clear(y);
        return eq;
    }
    mpz_t x, y;
    mpz_init(x), mpz_init(y);
    to_mpz(a, x), to_mpz(b, y);
    bool eq = mpz_cmp(x, y) == 0;
    mpz_clear(x), mpz_clear(y);
    return eq;
}

const std::vector<Value>* list_or_tuple(const Heap& heap, Value v) {
    const HeapSlot* s = heap.get_if_object(v);
    if (!s || (s->kind() != HeapObjectKind::List && s->kind() != HeapObjectKind::Tuple)) return nullptr;
    return sequence_items(s->object);
}

}  // namespace

PyResult<std::optional<Value>> sequence_get_item(RuntimeContext& ctx, Value seq, std::uint64_t index) {
    const std::vector<Value>* items = list_or_tuple(ctx.heap, seq);
    if (!items) return fail(PyError::unsupported("sequence handle changed object kind"));
    if (index >= items->size()) return std::optional<Value>();
    Value v = (*items)[index];
    ctx.heap.push_root(v);
    return std::optional(v);
}

bool numeric_view_eq(const NumericView& a, const NumericView& b) {
    if (is_real(a) && is_real(b)) return real_eq(a, b);
    auto parts = [](const NumericView& v) -> std::optional<std::pair<NumericView, double>> {
        if (v.kind == NumericView::Complex) {
            NumericView re;
            re.kind = NumericView::Float;
            re.real = v.real;
            return std::pair{re, v.imag};
        }
        if (is_real(v)) return std::pair{v, 0.0};
        return std::nullopt;
    };
    auto pa = parts(a), pb = parts(b);
    if (!pa || !pb) return false;
    return pa->second == pb->second && real_eq(pa->first, pb->first);
}

Equality builtin_scalar_equal(const Heap& heap, Value a, Value b) {
    auto of = [](bool eq) { return eq ? Equality::True : Equality::False; };
    NumericView x = py_numeric_view(heap, a), y = py_numeric_view(heap, b);
    if (x.kind != NumericView::None && y.kind != NumericView::None) return of(numeric_view_eq(x, y));
    if (a.is_none() || b.is_none()) return of(a.is_none() && b.is_none());
    auto sa = str_view(heap, a), sb = str_view(heap, b);
    if (sa && sb && *sa && *sb) return of(**sa == **sb);
    if (a.is_native() && b.is_native()) {
        auto da = decode_native_handle(a), db = decode_native_handle(b);
        if (!da || !db) return Equality::Undecided;
        return of(*da == *db);
    }
    return Equality::Undecided;
}

PyResult<bool> sequence_items_equal(RuntimeContext& ctx, std::span<const Value> a, std::span<const Value> b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (values_identical(a[i], b[i])) continue;
        TRY_ASSIGN(eq, builtin_values_equal(ctx, a[i], b[i]));
        if (!eq) return false;
    }
    return true;
}

PyResult<bool> builtin_values_equal(RuntimeContext& ctx, Value a, Value b) {
    switch (builtin_scalar_equal(ctx.heap, a, b)) {
        case Equality::True: return true;
        case Equality::False: return false;
        case Equality::Undecided: break;
    }
    const HeapSlot* x = ctx.heap.get_if_object(a);
    const HeapSlot* y = ctx.heap.get_if_object(b);
    if (x && y && x->kind() == y->kind()) {
        if (x->kind() == HeapObjectKind::List || x->kind() == HeapObjectKind::Tuple) {
            std::vector<Value> xs = *sequence_items(x->object), ys = *sequence_items(y->object);
            for (const Value& v : xs) ctx.heap.push_root(v);
            for (const Value& v : ys) ctx.heap.push_root(v);
            TRY_DO(python_charge_work(ctx.machine.meter, std::min(xs.size(), ys.size()) + 1));
            return sequence_items_equal(ctx, xs, ys);
        }
        if (x->kind() == HeapObjectKind::Range) {
            const RangePayload& r = std::get<RangePayload>(x->object);
            const RangePayload& s = std::get<RangePayload>(y->object);
            TRY_ASSIGN(n, range_length(r.start, r.stop, r.step));
            TRY_ASSIGN(m, range_length(s.start, s.stop, s.step));
            if (n != m) return false;
            if (n == 0) return true;
            if (r.start != s.start) return false;
            return n == 1 || r.step == s.step;
        }
    }
    return values_identical(a, b);
}

std::string_view binary_operator_symbol(std::uint8_t op) {
    static constexpr std::string_view kSymbols[] = {"+",  "-",  "*", "@", "** or pow()", "/", "//",
                                                    "%",  "<<", ">>", "&", "^",          "|"};
    return op < std::size(kSymbols) ? kSymbols[op] : "?";
}

}  // namespace tw::py::vm
