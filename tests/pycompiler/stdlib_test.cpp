// Every module of the host's Python library that the front end parses must also compile, into
// code objects whose jumps and side-table references are all in range. Skipped where the host
// has no such library.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "pycompiler/verify.h"
#include "python/compiler/compiler.h"
#include "python/front/parser.h"

namespace tw {
namespace {

TEST(HostLibrary, EveryParsedModuleCompiles) {
    const std::filesystem::path root = "/usr/lib/python3.11";
    if (!std::filesystem::is_directory(root))
        GTEST_SKIP() << "no host Python library";
    std::size_t parsed = 0;
    std::size_t bytes = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             root, std::filesystem::directory_options::skip_permission_denied)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".py")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream buffer;
        buffer << in.rdbuf();
        std::string source = buffer.str();
        auto tree = py_parse_source(source);
        if (!tree)
            continue;
        ++parsed;
        bytes += source.size();
        DetachedCodeHost host;
        CodeObjectPtr code;
        try {
            code = compile_module(*tree, host);
        } catch (const std::exception& e) {
            ADD_FAILURE() << entry.path() << ": " << e.what();
            continue;
        }
        std::string problem = verify_code(*code);
        EXPECT_EQ(problem, "") << entry.path();
        for (const std::string& m : all_syntax_messages(*code))
            EXPECT_NE(m, "compiled code too large") << entry.path();
    }
    EXPECT_GT(parsed, 100u);
    std::cout << "compiled " << parsed << " modules, " << bytes << " bytes\n";
}

}  // namespace
}  // namespace tw
