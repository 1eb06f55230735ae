// Helpers shared by the statement and expression halves of the parser.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

// Propagates the error of a Result out of the enclosing parse function:
//   PY_TRY(ExprId value, parse_expression());
#define PY_CAT2(a, b) a##b
#define PY_CAT(a, b) PY_CAT2(a, b)
#define PY_TRY(decl, ...)                                                             \
    auto PY_CAT(py_try_, __LINE__) = (__VA_ARGS__);                                   \
    if (!PY_CAT(py_try_, __LINE__)) [[unlikely]]                                      \
        return std::unexpected(std::move(PY_CAT(py_try_, __LINE__).error()));         \
    decl = std::move(*PY_CAT(py_try_, __LINE__))
#define PY_CHECK(...)                                                                 \
    do {                                                                              \
        auto py_check_ = (__VA_ARGS__);                                               \
        if (!py_check_) [[unlikely]]                                                  \
            return std::unexpected(std::move(py_check_.error()));                     \
    } while (0)

namespace tw::pyparse {

// Truncates a scratch stack back to its mark when the building scope ends.
template <class T>
struct ScratchMark {
    std::vector<T>& stack;
    std::size_t mark;
    explicit ScratchMark(std::vector<T>& s) : stack(s), mark(s.size()) {}
    ~ScratchMark() { stack.resize(mark); }
    std::span<const T> items() const { return std::span<const T>(stack).subspan(mark); }
    bool empty() const { return stack.size() == mark; }
    std::size_t size() const { return stack.size() - mark; }
};

}  // namespace tw::pyparse
