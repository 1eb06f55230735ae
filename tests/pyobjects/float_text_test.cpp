#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "python/objects/float_text.h"

namespace tw::py {
namespace {

TEST(FloatText, Layout) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double x;
        const char* text;
    } cases[] = {
        {1e16, "1e+16"}, {1e15, "1000000000000000.0"}, {0.0001, "0.0001"}, {0.00001, "1e-05"},
        {1e100, "1e+100"}, {1.5e-7, "1.5e-07"}, {0.1, "0.1"}, {0.1 + 0.2, "0.30000000000000004"},
        {100.0, "100.0"}, {2.5, "2.5"}, {-0.0, "-0.0"}, {0.0, "0.0"}, {nan, "nan"}, {-nan, "nan"},
        {-inf, "-inf"}, {inf, "inf"}, {5e-324, "5e-324"}, {1.7976931348623157e308, "1.7976931348623157e+308"},
        {123456789012345680.0, "1.2345678901234568e+17"}, {-1.5, "-1.5"}, {9999999999999998.0, "9999999999999998.0"},
    };
    for (const Case& c : cases) EXPECT_EQ(py_float_repr(c.x), c.text) << c.text;
}

TEST(FloatText, ComplexParts) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double re, im;
        const char* text;
    } cases[] = {
        {0, 1, "1j"}, {1, 2, "(1+2j)"}, {1.5, -0.5, "(1.5-0.5j)"}, {-0.0, 1, "(-0+1j)"}, {0, 0, "0j"},
        {1, nan, "(1+nanj)"}, {3, 4, "(3+4j)"}, {1e16, 1e-5, "(1e+16+1e-05j)"},
    };
    for (const Case& c : cases) EXPECT_EQ(py_complex_repr(c.re, c.im), c.text) << c.text;
}

TEST(FloatText, SplitExponentNotation) {
    FloatDigits d = split_exponent_notation("1.500e-05");
    EXPECT_EQ(d.digits, "15");
    EXPECT_EQ(d.exponent, -5);
    d = split_exponent_notation("0e+00");
    EXPECT_EQ(d.digits, "0");
    EXPECT_EQ(d.exponent, 0);
}

// Many doubles (random bit patterns, random decimal texts, powers of ten and their neighbours)
// against the host Python's repr.
TEST(FloatText, MatchesHostPython) {
    if (std::system("python3 -c 'pass' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no host python3";
    std::mt19937_64 rng(20261211);
    std::vector<double> xs;
    for (int i = 0; i < 20000; ++i) {
        double x = std::bit_cast<double>(rng());
        if (std::isfinite(x)) xs.push_back(x);
    }
    std::uniform_int_distribution<int> digits(1, 17), exps(-30, 30);
    for (int i = 0; i < 20000; ++i) {
        std::string text = std::to_string(rng() % 100000000000000000ull).substr(0, std::size_t(digits(rng)));
        xs.push_back(std::strtod((text + "e" + std::to_string(exps(rng))).c_str(), nullptr));
    }
    for (int e = -325; e <= 309; ++e) {
        double p = std::strtod(("1e" + std::to_string(e)).c_str(), nullptr);
        xs.insert(xs.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, 1e308)});
    }
    for (int i = 0; i < 2000; ++i) xs.push_back(double(rng() % 1000000) / 64.0);

    std::string dir = ::testing::TempDir();
    std::string in_path = dir + "/float_text_in.txt", out_path = dir + "/float_text_out.txt";
    {
        std::ofstream in(in_path);
        for (double x : xs) in << std::bit_cast<std::uint64_t>(x) << '\n';
    }
    std::string cmd = "python3 -c 'import sys,struct\nfor l in sys.stdin: "
                      "print(repr(struct.unpack(\"<d\", struct.pack(\"<Q\", int(l)))[0]))' <" +
                      in_path + " >" + out_path;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream out(out_path);
    std::string line;
    std::size_t i = 0, mismatches = 0;
    for (; std::getline(out, line) && i < xs.size(); ++i) {
        if (py_float_repr(xs[i]) != line && ++mismatches <= 10)
            ADD_FAILURE() << std::bit_cast<std::uint64_t>(xs[i]) << ": " << py_float_repr(xs[i]) << " != " << line;
    }
    EXPECT_EQ(i, xs.size());
    EXPECT_EQ(mismatches, 0u);
}

}  // namespace
}  // namespace tw::py
