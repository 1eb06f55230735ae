#include <gtest/gtest.h>

#include "kernel/vfs_path.h"

namespace tw {
namespace {

TEST(VfsPath, NormalizeTable) {
    struct Case { std::string_view in, out; };
    const Case cases[] = {
        {"", "/"},          {"/", "/"},           {"//", "/"},         {"/./", "/"},
        {"/..", "/"},       {"/../../x", "/x"},   {"a//b/./c/..", "/a/b"}, {"a", "/a"},
        {"/a/b/", "/a/b"},  {"/a/./b/.", "/a/b"}, {"/a/../..", "/"},   {"/a/..b/.c", "/a/..b/.c"},
        {"/a/...", "/a/..."}, {"///a///b", "/a/b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(path_normalize(c.in), c.out) << "input '" << c.in << "'";
        // The fast check agrees with the full algorithm.
        EXPECT_EQ(path_is_normal(c.in), path_normalize(c.in) == c.in) << "input '" << c.in << "'";
        EXPECT_TRUE(path_is_normal(path_normalize(c.in)));
    }
}

TEST(VfsPath, JoinTable) {
    struct Case { std::string_view base, path, out; };
    const Case cases[] = {
        {"/w", "", "/w"},           {"/w", "/x/../y", "/y"}, {"/", "a", "/a"},
        {"/w", "../..", "/"},       {"/w/", "x", "/w/x"},    {"w/./v", "../x", "/w/x"},
        {"/w", "./x/", "/w/x"},     {"/w/v", "..", "/w"},    {"", "x", "/x"},
        {"/w", "//x", "/x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(path_join_normalize(c.base, c.path), c.out) << "base '" << c.base << "' path '" << c.path << "'";
}

TEST(VfsPath, ParentAndName) {
    EXPECT_EQ(vfs_parent_path("/a"), std::optional<std::string_view>("/"));
    EXPECT_EQ(vfs_parent_path("/a/b"), std::optional<std::string_view>("/a"));
    EXPECT_EQ(vfs_parent_path("a/b"), std::optional<std::string_view>("a"));
    EXPECT_EQ(vfs_parent_path("/"), std::nullopt);
    EXPECT_EQ(vfs_parent_path("a"), std::nullopt);

    EXPECT_EQ(vfs_file_name("/"), "/");
    EXPECT_EQ(vfs_file_name("/a/b"), "b");
    EXPECT_EQ(vfs_file_name("/a"), "a");
    EXPECT_EQ(vfs_file_name("a"), "a");

    EXPECT_EQ(vfs_split_path("/a/bc"), std::optional<std::size_t>(2));
    EXPECT_EQ(vfs_split_path("abc"), std::nullopt);
}

}  // namespace
}  // namespace tw
