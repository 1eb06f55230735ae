// Python front end: tokenizing, parsing and compiling large modules of typical source.
#include <benchmark/benchmark.h>

#include <string>

#include "python/compiler/compiler.h"
#include "python/front/lexer.h"
#include "python/front/parser.h"

namespace tw {
namespace {

// A module in the style of ordinary library code: classes, methods with defaults and
// annotations, comprehensions, f-strings, calls, exception handling and nested suites.
constexpr std::string_view kUnit = R"PY(
class Record{n}(Base, metaclass=Meta):
    """A record with a few fields and helpers."""

    limit: int = 100

    def __init__(self, name: str, values=(), *, scale=1.0, **options) -> None:
        self.name = name
        self.values = [v * scale for v in values if v is not None]
        self.options = {{k: v for k, v in options.items() if not k.startswith('_')}}
        self.total = sum(self.values) if self.values else 0

    def describe(self, width=20):
        parts = []
        for index, value in enumerate(self.values):
            if value > self.limit and index % 2 == 0:
                parts.append(f"{{index:>4}}: {{value!r:<{{width}}}} over")
            elif value < -self.limit or (value == 0 and not parts):
                parts.append('under ' + str(value))
            else:
                parts.append(f'{{self.name}}[{{index}}] = {{value:.3f}}')
        return '\n'.join(parts)

    @property
    def mean(self):
        try:
            return self.total / len(self.values)
        except ZeroDivisionError as error:
            raise ValueError("no values in %s" % self.name) from error
        finally:
            self.calls = getattr(self, 'calls', 0) + 1

async def gather{n}(items, *, limit=10):
    async with Semaphore(limit) as guard:
        results = {{}}
        async for key, item in items:
            results[key] = await fetch(item, retries=3, timeout=2.5 * limit)
        return sorted(results.items(), key=lambda kv: (kv[1], kv[0]))[:limit]

def helper{n}(data, start=0, stop=None, step=1):
    while start < (stop or len(data)):
        chunk = data[start:stop:step]
        yield from (x ** 2 for x in chunk if x & 1 == 0)
        start += step << 1
    with open(path, 'rb') as f, lock:
        header, *rest = f.read().split(b'\x00', 2)
    assert header, 'empty header'
    return {{**defaults, 'header': header, 'rest': rest}}
)PY";

std::string module_source(std::size_t size) {
    std::string out = "import os, sys\nfrom collections import defaultdict as dd, OrderedDict\n";
    for (int n = 0; out.size() < size; ++n) {
        std::string unit(kUnit);
        std::string rendered;
        rendered.reserve(unit.size());
        for (std::size_t i = 0; i < unit.size(); ++i) {
            if (unit.compare(i, 3, "{n}") == 0) {
                rendered += std::to_string(n);
                i += 2;
            } else if (unit.compare(i, 2, "{{") == 0 || unit.compare(i, 2, "}}") == 0) {
                rendered += unit[i];
                ++i;
            } else {
                rendered += unit[i];
            }
        }
        out += rendered;
    }
    return out;
}

// Sources of about 256 KiB (a large module) and 2 MiB (the token list and the tree then reach
// tens of megabytes, and fresh memory starts to count).
const std::string& source(std::int64_t size) {
    static const std::string small = module_source(256 * 1024);
    static const std::string large = module_source(2 * 1024 * 1024);
    return size <= 256 * 1024 ? small : large;
}

void BM_PyParse(benchmark::State& state) {
    const std::string& s = source(state.range(0));
    auto tokens = py_tokenize(s);
    if (!tokens) {
        state.SkipWithError(tokens.error().message.c_str());
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        TokenList copy = *tokens;
        state.ResumeTiming();
        auto tree = py_parse_module(std::move(copy));
        if (!tree) state.SkipWithError(tree.error().message.c_str());
        benchmark::DoNotOptimize(tree);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_PyParse)->Arg(256 * 1024)->Arg(2 * 1024 * 1024)->Unit(benchmark::kMillisecond);

void BM_PyTokenizeAndParse(benchmark::State& state) {
    const std::string& s = source(state.range(0));
    for (auto _ : state) {
        auto tree = py_parse_source(s);
        if (!tree) state.SkipWithError(tree.error().message.c_str());
        benchmark::DoNotOptimize(tree);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_PyTokenizeAndParse)->Arg(256 * 1024)->Arg(2 * 1024 * 1024)->Unit(benchmark::kMillisecond);

// Compiling a parsed module to code objects (names interned by a detached host).
void BM_PyCompile(benchmark::State& state) {
    const std::string& s = source(state.range(0));
    auto tree = py_parse_source(s);
    if (!tree) {
        state.SkipWithError(tree.error().message.c_str());
        return;
    }
    for (auto _ : state) {
        DetachedCodeHost host;
        CodeObjectPtr code = compile_module(*tree, host);
        benchmark::DoNotOptimize(code);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_PyCompile)->Arg(256 * 1024)->Unit(benchmark::kMillisecond);

// Source text to code objects, the whole front end.
void BM_PySourceToCode(benchmark::State& state) {
    const std::string& s = source(state.range(0));
    for (auto _ : state) {
        auto tree = py_parse_source(s);
        if (!tree) {
            state.SkipWithError(tree.error().message.c_str());
            return;
        }
        DetachedCodeHost host;
        CodeObjectPtr code = compile_module(*tree, host);
        benchmark::DoNotOptimize(code);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_PySourceToCode)->Arg(256 * 1024)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tw
