// Fixed, unkeyed hashes of Python values: numbers modulo the Mersenne prime 2^61 - 1, bytes and
// strings by SipHash-1-3 with a zero key, and the lane combiners of tuples, slices and
// frozensets. Every run of the machine gives the same hash for the same value.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include <gmp.h>

namespace tw::py {

inline constexpr std::int64_t kNoneHash = 0xFCA86420;
inline constexpr std::uint64_t kHashModulus = (std::uint64_t(1) << 61) - 1;
inline constexpr std::int64_t kInfHash = 314159;
inline constexpr std::uint64_t kImagMultiplier = 1000003;

// SipHash-1-3 with both keys zero over `data`, as an unsigned word.
std::uint64_t siphash13(std::string_view data);

std::int64_t py_hash_int(std::int64_t x);
std::int64_t py_hash_u64(std::uint64_t x);
std::int64_t py_hash_bigint(mpz_srcptr x);
std::int64_t py_hash_float(double x);
std::int64_t py_hash_complex(double re, double im);
// 0 for empty input; SipHash-1-3 otherwise, -1 mapped to -2.
std::int64_t py_hash_bytes(std::string_view data);
// The hash of a str given as UTF-8: its code points in the fixed width of the widest one.
std::int64_t py_hash_str(std::string_view utf8);

std::int64_t py_hash_tuple_lanes(std::span<const std::int64_t> lanes);
std::int64_t py_hash_slice_lanes(std::span<const std::int64_t> lanes);
std::int64_t py_hash_frozenset_lanes(std::span<const std::int64_t> lanes);

// The content identity of a value without a heap identity: SipHash-1-3 of the bytes fed for it,
// placed in [0x500000000000, 0x5FFFFFFFFFF0].
std::int64_t py_identity_from_bytes(std::string_view fed);

}  // namespace tw::py
