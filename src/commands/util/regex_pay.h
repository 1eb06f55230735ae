// Paying for the regular-expression engine's steps with a command's CPU budget.
#pragma once

#include <cstdint>

#include "base/regex.h"
#include "kernel/syscalls.h"

namespace tw {

// While it lives, the engine steps of this thread's searches beyond the bytes the command pays
// for are charged to the CPU budget (RegexPayScope); a refused charge fails the search with a
// Refused error, which the command answers with the exhausted status.
class RegexCpuPay final : public RegexPayer {
public:
    explicit RegexCpuPay(Syscalls& sys) : sys_(sys), scope_(*this) {}
    bool pay(std::uint64_t units) override { return sys_.charge_cpu(units); }

private:
    Syscalls& sys_;
    RegexPayScope scope_;
};

}  // namespace tw
