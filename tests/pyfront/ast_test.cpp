#include <gtest/gtest.h>

#include "python/front/ast.h"

namespace tw {
namespace {

TEST(PyAst, EmptyTree) {
    PyTreeBuilder b;
    PyModuleTree t = b.finish({});
    EXPECT_EQ(py_tree_dump(t), "");
}

}  // namespace
}  // namespace tw
