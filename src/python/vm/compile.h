// Compiling Python source into a heap: identifiers go into the heap's symbol table and every
// code object into its code table, both charged to the machine's memory budget.
#pragma once

#include <expected>
#include <optional>
#include <string_view>

#include "python/compiler/code.h"
#include "python/front/tokens.h"
#include "python/heap/error.h"

namespace tw {
class ResourceMeter;
}

namespace tw::py {

class Heap;

// The compiler's view of one heap for one compilation. The first failure (an identifier
// limit, a table limit, a refused memory charge) is kept in `first_error`; later ones are
// dropped and compilation goes on with the all-ones symbol or id.
class HeapCodeHost final : public CodeHost {
public:
    HeapCodeHost(Heap& heap, ResourceMeter& meter) : heap_(heap), meter_(meter) {}

    std::uint32_t intern(std::string_view name) override;
    std::uint32_t reserve_code_id() override;
    void store_code(std::uint32_t id, CodeObjectPtr code) override;
    bool failed() const override { return first_error.has_value(); }

    std::optional<PyError> first_error;

private:
    void record(PyError e) {
        if (!first_error) first_error = std::move(e);
    }

    Heap& heap_;
    ResourceMeter& meter_;
};

// A module's registered code, or the syntax error that stopped its compilation.
using CompiledModule = std::expected<CodeObjectPtr, SyntaxError>;

// Compiles a module's source into `heap`, charging one CPU unit per source byte once the work is
// done. A failure of the machine is the error: the CPU charge refused ("resource limit exceeded
// while executing Python") or the compilation's first error; the code objects then built stay
// in the code table until a sweep finds them unused.
PyResult<CompiledModule> compile_module_source(Heap& heap, ResourceMeter& meter, std::string_view source);

}  // namespace tw::py
