// Reading the differential tables that gen_tables.py writes from the host's python3.
#pragma once

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/bigint.h"

namespace tw::py::testing {

struct TableRow {
    int line = 0;
    std::vector<std::string> fields;
};

inline std::vector<TableRow> read_table(const std::string& name) {
    std::ifstream in(std::string(TW_PYNUMBER_TABLES) + "/" + name);
    std::vector<TableRow> rows;
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty() || line[0] == '#') continue;
        TableRow row{n, {}};
        std::size_t start = 0;
        while (true) {
            const std::size_t bar = line.find(" | ", start);
            row.fields.push_back(line.substr(start, bar - start));
            if (bar == std::string::npos) break;
            start = bar + 3;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

inline std::string unhex(std::string_view hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(char(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

// "i:<signed hex>" or "p:[-]<base>^<exponent>".
inline tw::BigInt decode_int(std::string_view field) {
    tw::BigInt v;
    if (field.starts_with("p:")) {
        std::string_view body = field.substr(2);
        const bool negative = body.starts_with('-');
        if (negative) body.remove_prefix(1);
        const std::size_t caret = body.find('^');
        mpz_ui_pow_ui(v.raw(), std::stoul(std::string(body.substr(0, caret))), std::stoul(std::string(body.substr(caret + 1))));
        if (negative) mpz_neg(v.raw(), v.raw());
        return v;
    }
    mpz_set_str(v.raw(), std::string(field.substr(2)).c_str(), 16);
    return v;
}

inline std::string encode_int(const tw::BigInt& v) {
    std::string text(mpz_sizeinbase(v.raw(), 16) + 2, '\0');
    mpz_get_str(text.data(), 16, v.raw());
    text.resize(std::char_traits<char>::length(text.c_str()));
    return "i:" + text;
}

inline std::string encode_float_bits(double x) {
    if (x != x) return "nan";
    char buf[17];
    std::uint64_t bits;
    std::memcpy(&bits, &x, 8);
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(bits));
    return buf;
}

// "R:<unit hex>:<count>:<tail hex>" or plain hex.
inline std::string decode_text(std::string_view field) {
    if (!field.starts_with("R:")) return unhex(field);
    const std::size_t a = field.find(':', 2), b = field.find(':', a + 1);
    const std::string unit = unhex(field.substr(2, a - 2));
    const std::size_t count = std::stoul(std::string(field.substr(a + 1, b - a - 1)));
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += unit;
    return out + unhex(field.substr(b + 1));
}

}  // namespace tw::py::testing
