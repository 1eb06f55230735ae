// Whole-buffer gzip compression and capped decompression, charged to the machine's budgets.
#pragma once

#include <cstdint>
#include <string>

#include "base/bytes.h"
#include "base/result.h"

namespace tw {

class SyscallContext;
using Syscalls = SyscallContext;

// The most that decompression produces, and the most that an archive may hold: 16 MiB.
inline constexpr std::uint64_t kArchiveByteLimit = std::uint64_t{1} << 24;

// Compresses `input` into one gzip member at `level` (0 to 9), or decompresses a sequence of
// members, joined, up to kArchiveByteLimit bytes. Charges the CPU budget for the input (and for
// the output when decompressing) and the memory budget for the output; nothing is given back
// here. Failures are message texts ("resource limit exceeded", "memory limit exceeded",
// "decompressed output exceeds the 16 MiB limit" and the codec's texts).
Result<Bytes, std::string> gzip_transform(Syscalls& sys, bool decompress, unsigned level, BytesView input);

// Releases, when it leaves scope, the memory charged beyond what was in use when it was made.
class MemoryMark {
public:
    explicit MemoryMark(Syscalls& sys);
    ~MemoryMark();
    MemoryMark(const MemoryMark&) = delete;
    MemoryMark& operator=(const MemoryMark&) = delete;

private:
    Syscalls& sys_;
    std::uint64_t used_;
};

}  // namespace tw
