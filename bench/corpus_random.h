// The pseudo-random sequence the benchmarks build their text corpora from: a 64-bit xorshift,
// so that every run (and every tool timed on a written-out copy) sees the same bytes.
#pragma once

#include <cstdint>

namespace tw::bench {

class XorShift {
public:
    std::uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }

private:
    std::uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

}  // namespace tw::bench
