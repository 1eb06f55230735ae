// The Python compiler: a parsed module to code objects.
//
// One pass over the syntax tree appends IR to one builder per code unit (module, def, lambda,
// class body, comprehension); each nested unit is lowered into its own code object before the
// enclosing unit refers to it. Program text that is illegal where it stands (`return` at module
// level, `break` outside a loop, two starred targets, nesting beyond the limit, ...) never stops
// the compilation: it becomes a `RaiseSyntaxError` instruction that fails when it is reached.
// Failures of the machine (interning, registering code objects) are recorded by the `CodeHost`
// and reported through its `failed`/first error once compilation returns.
//
//     auto code = compile_source(source, host);     // the first SyntaxError stops here
//     meter.charge_cpu(compile_cost(source));       // after the work, whatever its outcome
//     if (!code) ... else if (host.failed()) ...
#pragma once

#include <cstdint>
#include <string_view>

#include "base/result.h"
#include "python/compiler/code.h"
#include "python/front/ast.h"
#include "python/front/tokens.h"

namespace tw {

// Compiles the module body of `tree`; never fails (see `CodeHost::failed`).
CodeObjectPtr compile_module(const PyModuleTree& tree, CodeHost& host);

// Tokenizes, parses and compiles a module's source. The code objects keep nothing of the tree.
Result<CodeObjectPtr, SyntaxError> compile_source(std::string_view source, CodeHost& host);

// Compiles the expression `expr` of `tree` as eval code: its value is returned, and every name
// stays a run-time lookup (the class-body kind).
CodeObjectPtr compile_eval_expression(const PyModuleTree& tree, ExprId expr, CodeHost& host);

// The CPU work of compiling `source`: one unit per byte. The compiler charges nothing itself;
// its caller charges this to the machine's meter.
constexpr std::uint64_t compile_cost(std::string_view source) { return source.size(); }

// A readable listing of a code object and, after it, of every code object nested in it (in the
// order their MakeFunction/MakeClass appear). `names` gives the text of a symbol.
//
//   <module>
//      0 LoadConst 1
//      1 StoreGlobal x
//      2 LoadGlobal f
//      3 Call pos 0
//      ...
//   f(a, b=) function
//      0 LoadFast 0 a
template <class Names>
std::string code_listing(const CodeObject& code, const Names& names);

namespace detail {
class SymbolNames {
public:
    virtual ~SymbolNames() = default;
    virtual std::string_view operator()(std::uint32_t symbol) const = 0;
};
std::string code_listing(const CodeObject& code, const SymbolNames& names);
}  // namespace detail

template <class Names>
std::string code_listing(const CodeObject& code, const Names& names) {
    struct Adapter final : detail::SymbolNames {
        const Names& n;
        explicit Adapter(const Names& n) : n(n) {}
        std::string_view operator()(std::uint32_t symbol) const override { return n(symbol); }
    };
    return detail::code_listing(code, Adapter(names));
}

// The listing with the names of a DetachedCodeHost.
inline std::string code_listing(const CodeObject& code, const DetachedCodeHost& host) {
    return code_listing(code, [&](std::uint32_t s) { return host.name(s); });
}

}  // namespace tw
