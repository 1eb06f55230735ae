#include <gtest/gtest.h>

#include "python/compiler/compiler.h"
#include "python/front/parser.h"

namespace tw {
namespace {

std::string listing(std::string_view source) {
    auto tree = py_parse_source(source);
    EXPECT_TRUE(tree.has_value()) << (tree ? "" : tree.error().message);
    DetachedCodeHost host;
    CodeObjectPtr code = compile_module(*tree, host);
    return code_listing(*code, host);
}

TEST(Smoke, Prints) {
    std::cout << listing("a = 1\nfor x in y:\n  if x: break\nelse:\n  pass\n");
}

}  // namespace
}  // namespace tw
