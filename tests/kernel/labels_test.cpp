#include <gtest/gtest.h>

#include <string>

#include "kernel/labels.h"

namespace tw {
namespace {

TEST(BoundedLabelSet, StoresDuplicatesAndCountsTheirBytes) {
    BoundedLabelSet set;
    EXPECT_TRUE(set.insert("gcc"));
    EXPECT_TRUE(set.insert("gcc"));
    EXPECT_TRUE(set.insert(""));
    EXPECT_EQ(set.labels(), (std::vector<std::string>{"gcc", "gcc", ""}));
    EXPECT_EQ(set.total_bytes(), 6u);
    EXPECT_EQ(set.dropped(), 0u);
}

TEST(BoundedLabelSet, ByteBoundsAreInclusive) {
    const std::size_t mib = BoundedLabelSet::kMaxBytes;
    {
        BoundedLabelSet set;
        EXPECT_FALSE(set.insert(std::string(mib + 1, 'x')));
        EXPECT_TRUE(set.insert(std::string(mib, 'x')));
        EXPECT_EQ(set.total_bytes(), mib);
        // The total is full: even one more byte is dropped, an empty label still fits.
        EXPECT_FALSE(set.insert("y"));
        EXPECT_TRUE(set.insert(""));
        EXPECT_EQ(set.labels().size(), 2u);
        EXPECT_EQ(set.dropped(), 2u);
    }
    {
        BoundedLabelSet set;
        EXPECT_TRUE(set.insert(std::string(mib - 3, 'x')));
        EXPECT_FALSE(set.insert("four"));
        EXPECT_TRUE(set.insert("thr"));
        EXPECT_EQ(set.total_bytes(), mib);
        EXPECT_EQ(set.dropped(), 1u);
    }
}

TEST(BoundedLabelSet, HoldsAtMost4096Labels) {
    BoundedLabelSet set;
    for (std::size_t i = 0; i < BoundedLabelSet::kMaxLabels; ++i) ASSERT_TRUE(set.insert("a"));
    EXPECT_FALSE(set.insert("a"));
    EXPECT_FALSE(set.insert(""));
    EXPECT_EQ(set.labels().size(), 4096u);
    EXPECT_EQ(set.total_bytes(), 4096u);
    EXPECT_EQ(set.dropped(), 2u);
    // Copies are independent.
    BoundedLabelSet copy = set;
    EXPECT_EQ(copy, set);
}

}  // namespace
}  // namespace tw
