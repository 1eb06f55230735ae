// The Python front end: tokenizing a large source.
#include <benchmark/benchmark.h>

#include <string>

#include "python/front/lexer.h"

namespace tw {
namespace {

// A module of ordinary code: classes, functions, literals of every kind, comments, nesting.
constexpr std::string_view kUnit = R"PY(
# A small inventory model.
import os
from collections import defaultdict as dd

LIMIT_{n} = 0x7FFF_FFFF
RATIO_{n} = 1.5e-3
NAMES_{n} = ["alpha", 'beta', """gamma
delta""", r"\d+\.\d*", b"\x00\x01raw bytes"]


class Item{n}(object):
    """One item: a name, a count and a price."""

    def __init__(self, name, count=0, *, price=9.99, **extra):
        self.name = name
        self.count = count
        self.price = price
        self.extra = {k: v for k, v in extra.items() if v is not None}

    def total(self) -> float:
        if self.count <= 0 or self.price < 0:
            return 0.0
        elif self.count > LIMIT_{n}:
            raise ValueError(f"too many {self.name!r}: {self.count:>10}")
        return self.count * self.price  # the plain case

    def __repr__(self):
        return "Item(%s, %d)" % (self.name, self.count)


def summarize_{n}(items, key=lambda i: i.name):
    groups = dd(list)
    for item in sorted(items, key=key):
        groups[item.name[:1]].append(item)
    result = []
    while groups:
        letter, members = groups.popitem()
        result += [(letter, sum(m.total() for m in members), len(members))]
    try:
        with open(os.devnull, "w") as out:
            out.write("\n".join(str(r) for r in result))
    except (OSError, ValueError) as exc:
        print("failed:", exc)
    finally:
        pass
    return [x ** 2 // 3 % 7 for x in range(100) if x & 1 and not x >> 3]
)PY";

std::string make_source(std::size_t target) {
    std::string out;
    for (int n = 0; out.size() < target; ++n) {
        std::string unit(kUnit);
        std::string tag = std::to_string(n);
        for (std::size_t p = unit.find("{n}"); p != std::string::npos; p = unit.find("{n}", p))
            unit.replace(p, 3, tag);
        out += unit;
    }
    return out;
}

void BM_PyTokenize(benchmark::State& state) {
    const std::string source = make_source(static_cast<std::size_t>(state.range(0)));
    std::size_t tokens = 0;
    for (auto _ : state) {
        auto r = py_tokenize(source);
        if (!r) {
            state.SkipWithError(r.error().message.c_str());
            return;
        }
        tokens = r->size();
        benchmark::DoNotOptimize(r->data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
    state.counters["tokens"] = static_cast<double>(tokens);
}
BENCHMARK(BM_PyTokenize)->Arg(64 << 10)->Arg(512 << 10)->Arg(4 << 20);

}  // namespace
}  // namespace tw
