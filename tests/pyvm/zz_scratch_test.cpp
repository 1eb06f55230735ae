#include <gtest/gtest.h>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include "program_fixture.h"
TEST(Scratch, Run) {
    const char* p = std::getenv("PYB_SCRIPT");
    if (!p) GTEST_SKIP();
    std::ifstream in(p);
    std::string src((std::istreambuf_iterator<char>(in)), {});
    auto r = tw::py::run_program(src, 2'000'000'000);
    std::cout << r.out << "--err--\n" << r.err << "--msg-- " << r.message << " status " << r.status << " cpu " << r.cpu << "\n";
}
