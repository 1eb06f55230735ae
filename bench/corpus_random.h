// The fixed pseudo-random sequence the benchmarks build their corpora from, so that every run
// times the same bytes.
#pragma once

#include <cstdint>

namespace tw::bench {

// xorshift64: each call gives the next number of one fixed sequence.
class CorpusRandom {
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
