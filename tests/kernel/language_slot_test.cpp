// The per-process language slot: copies are deep, sizes pass through, kinds are checked.
#include <gtest/gtest.h>

#include "kernel/process.h"

namespace tw {
namespace {

struct FakeState final : LanguageState {
    static constexpr LanguageKind kKind = LanguageKind::Python;
    FakeState() : LanguageState(kKind) {}
    std::vector<int> items;
    std::unique_ptr<LanguageState> clone() const override { return std::make_unique<FakeState>(*this); }
    std::uint64_t modeled_size() const override { return items.size() * 8; }
    std::uint64_t fork_size() const override { return items.size() * 16; }
};

TEST(LanguageSlot, CopiesAreDeepAndSizesCount) {
    ProcessState parent;
    const std::uint64_t base_modeled = parent.modeled_size();
    const std::uint64_t base_fork = parent.fork_size();
    EXPECT_EQ(parent.language.get<FakeState>(), nullptr);

    parent.language.get_or_create<FakeState>().items = {1, 2, 3};
    EXPECT_EQ(parent.modeled_size(), base_modeled + 24);
    EXPECT_EQ(parent.fork_size(), base_fork + 48);

    ProcessState child = parent;
    child.language.get<FakeState>()->items.push_back(4);
    EXPECT_EQ(parent.language.get<FakeState>()->items.size(), 3u);
    EXPECT_EQ(child.language.get<FakeState>()->items.size(), 4u);

    parent = child;
    EXPECT_EQ(parent.language.get<FakeState>()->items.size(), 4u);
    EXPECT_NE(parent.language.get<FakeState>(), child.language.get<FakeState>());
}

}  // namespace
}  // namespace tw
