#include <gtest/gtest.h>

#include <ostream>
#include <algorithm>
#include <random>
#include <string>

#include "base/sat.h"
#include "kernel/vfs.h"
#include "kernel/vfs_path.h"

namespace tw {

// Readable failure output; the same inline definition in each test file.
inline void PrintTo(const VfsError& e, std::ostream* os) { *os << error_text(e); }

namespace {

constexpr std::uint64_t kNow = 1'735'689'600'000;

class VfsReadTest : public ::testing::Test {
protected:
    VfsReadTest() : vfs(1u << 24, kNow) {}

    void file(std::string_view path, std::string data = "x") { ASSERT_TRUE(vfs.write_file(path, std::move(data), 0644)); }
    void dir(std::string_view path) { ASSERT_TRUE(vfs.create_dir_all("/", path)); }
    void link(std::string_view target, std::string_view path) { ASSERT_TRUE(vfs.symlink("/", target, path)); }

    Vfs vfs;
};

TEST_F(VfsReadTest, FreshFilesystemHoldsOnlyTheRoot) {
    Vfs fresh(1000, kNow);
    ASSERT_EQ(fresh.tree().size(), 1u);
    const VfsNode& root = fresh.tree().begin()->second;
    EXPECT_EQ(fresh.tree().begin()->first, "/");
    EXPECT_TRUE(root.is_dir());
    EXPECT_EQ(root.node_id, 1u);
    EXPECT_EQ(root.mode, 0755u);
    EXPECT_EQ(root.mtime_ms, 0u);
    EXPECT_EQ(root.uid, 0u);
    EXPECT_EQ(fresh.next_node_id(), 2u);
    EXPECT_EQ(fresh.next_orphan_id(), 1u);
    EXPECT_EQ(fresh.used(), 0u);
    EXPECT_EQ(fresh.peak(), 0u);
    EXPECT_EQ(fresh.capacity(), 1000u);
    EXPECT_EQ(fresh.now_ms(), kNow);
}

TEST_F(VfsReadTest, DeepPathWithoutLinksResolvesToItself) {
    std::string deep;
    for (int i = 0; i < 100; ++i) deep += "/d";
    dir(deep);
    auto r = vfs.resolve_symlinks(deep, true);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, deep);
    // With a link elsewhere in the tree the slow path must give the same answer.
    link("/nowhere", "/l");
    EXPECT_EQ(vfs.resolve_symlinks(deep, true).value(), deep);
    EXPECT_TRUE(vfs.is_dir_at("/", deep));
}

TEST_F(VfsReadTest, LinkChainOfFortyResolvesAndFortyOneLoops) {
    file("/f", "end");
    link("/f", "/c40");
    for (int i = 39; i >= 1; --i) link("/c" + std::to_string(i + 1), "/c" + std::to_string(i));
    EXPECT_EQ(vfs.resolve_symlinks("/c1", true).value(), "/f");
    EXPECT_EQ(vfs.read_bytes("/", "/c1").value(), "end");

    link("/c1", "/c0");
    auto r = vfs.resolve_symlinks("/c0", true);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), VfsError::loop("/f"));
    // Without following the last component the chain is not entered at all.
    EXPECT_EQ(vfs.resolve_symlinks("/c0", false).value(), "/c0");
}

TEST_F(VfsReadTest, LinksInSeparateComponentsDoNotAddUp) {
    // Each component's link is followed from the same depth: fifty of them in one path resolve.
    std::string real, via;
    for (int i = 0; i < 50; ++i) {
        const std::string parent = real;
        real += "/r" + std::to_string(i);
        dir(real);
        link("r" + std::to_string(i), parent + "/l" + std::to_string(i));
        via += "/l" + std::to_string(i);
    }
    EXPECT_EQ(vfs.resolve_symlinks(via, true).value(), real);
}

TEST_F(VfsReadTest, SelfLinkLoopsAndDanglingLinkIsNotFound) {
    link("s", "/s");
    EXPECT_EQ(vfs.resolve_symlinks("/s", true).error(), VfsError::loop("/s"));
    EXPECT_EQ(vfs.lookup("/", "s", true).error(), VfsError::loop("/s"));

    link("/nowhere/x", "/d");
    EXPECT_EQ(vfs.resolve_symlinks("/d", true).value(), "/nowhere/x");
    EXPECT_EQ(vfs.lookup("/", "d", true).error(), VfsError::not_found("d"));
    auto own = vfs.lookup("/", "d", false);
    ASSERT_TRUE(own);
    EXPECT_TRUE((*own)->is_symlink());
}

TEST_F(VfsReadTest, BranchingLinksAreCutOffInsteadOfExplodingInTime) {
    // Each link names the next one twice; nesting stays within 40 levels, so only the work bound
    // stops the 2^40 expansions. A shallow tree of the same shape still resolves.
    dir("/y");
    link(".", "/y/c5");
    for (int i = 4; i >= 0; --i) link("c" + std::to_string(i + 1) + "/c" + std::to_string(i + 1), "/y/c" + std::to_string(i));
    EXPECT_EQ(vfs.resolve_symlinks("/y/c0", true).value(), "/y");

    dir("/z");
    link(".", "/z/b39");
    for (int i = 38; i >= 0; --i) link("b" + std::to_string(i + 1) + "/b" + std::to_string(i + 1), "/z/b" + std::to_string(i));
    auto r = vfs.resolve_symlinks("/z/b0", true);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, VfsError::Kind::Loop);
}

TEST_F(VfsReadTest, RelativeTargetIsTakenFromTheLinksDirectory) {
    file("/a/t", "target");
    dir("/a/dir");
    link("../t", "/a/dir/link");
    dir("/b");
    // The caller's directory plays no part.
    EXPECT_EQ(vfs.read_bytes("/b", "/a/dir/link").value(), "target");
    // A link in a parent component is always followed, and a relative path starts at the base.
    link("/a/dir", "/p");
    EXPECT_EQ(vfs.resolve_symlinks("/p/link", false).value(), "/a/dir/link");
    EXPECT_EQ(vfs.read_bytes("/p", "link").value(), "target");
}

TEST_F(VfsReadTest, ReadLink) {
    file("/f");
    dir("/real");
    link("some/where", "/real/l");
    link("/real", "/p");
    EXPECT_EQ(vfs.read_link("/", "/real/l").value(), "some/where");
    EXPECT_EQ(vfs.read_link("/", "/p/l").value(), "some/where");
    EXPECT_EQ(vfs.read_link("/", "/p").value(), "/real");
    EXPECT_EQ(vfs.read_link("/", "f").error(), VfsError::invalid("f"));
    EXPECT_EQ(vfs.read_link("/", "missing").error(), VfsError::invalid("missing"));
}

TEST_F(VfsReadTest, ReadFileKindsLimitsAndCount) {
    vfs.insert_base_entry("/usr/bin/cat", NativeProgram::resumable(ProgramKind::Cat));
    file("/ten", "0123456789");
    dir("/d");

    EXPECT_EQ(vfs.read_file("/", "/ten", 10).value(), "0123456789");
    EXPECT_EQ(vfs.bytes_read(), 10u);
    auto big = vfs.read_file("/", "ten", 9);
    ASSERT_FALSE(big);
    EXPECT_EQ(big.error(), VfsError::too_large("ten", 9));
    EXPECT_EQ(error_text(big.error()), "file too large: ten (limit 9 bytes)");
    EXPECT_EQ(vfs.bytes_read(), 10u);

    auto stub = vfs.read_bytes("/usr", "bin/cat");
    ASSERT_FALSE(stub);
    EXPECT_EQ(error_text(stub.error()), "Invalid argument: opaque native executable: bin/cat");
    EXPECT_TRUE(vfs.is_file_at("/", "/usr/bin/cat"));
    EXPECT_FALSE(vfs.is_dir_at("/", "/usr/bin/cat"));
    EXPECT_EQ(vfs.file_size_at("/", "/usr/bin/cat").value(), 0u);

    EXPECT_EQ(vfs.read_bytes("/", "d").error(), VfsError::is_a_dir("d"));
    EXPECT_EQ(vfs.read_bytes("/d", "nope").error(), VfsError::not_found("nope"));
    EXPECT_EQ(vfs.file_size_at("/", "/ten").value(), 10u);
    EXPECT_EQ(vfs.file_size_at("/", "d").error(), VfsError::is_a_dir("d"));
    EXPECT_EQ(vfs.file_size_at("/", "nope").error(), VfsError::not_found("nope"));
    EXPECT_FALSE(vfs.is_file_at("/", "nope"));
    EXPECT_TRUE(vfs.is_dir_at("/", "d"));
}

TEST_F(VfsReadTest, ReadFileRangeSlicesAndCounts) {
    file("/f", "abcdef");
    link("/f", "/l");
    EXPECT_EQ(vfs.read_file_range("/l", 2, 3).value(), "cde");
    EXPECT_EQ(vfs.read_file_range("/f", 4, 100).value(), "ef");
    EXPECT_EQ(vfs.read_file_range("/f", 100, 5).value(), "");
    EXPECT_EQ(vfs.read_file_range("/f", 1, kU64Max).value(), "bcdef");
    EXPECT_EQ(vfs.bytes_read(), 10u);
    EXPECT_EQ(vfs.read_file_range("/gone", 0, 1).error(), VfsError::not_found("/gone"));
}

TEST_F(VfsReadTest, ListingIsPerDirectory) {
    file("/a/x");
    file("/a/y/deep");
    file("/a!");
    file("/ab/z");
    file("/b");
    link("/a", "/la");

    using Names = std::vector<std::string>;
    EXPECT_EQ(vfs.list_child_names("/", "/").value(), (Names{"a", "a!", "ab", "b", "la"}));
    EXPECT_EQ(vfs.list_child_names("/", "/a").value(), (Names{"x", "y"}));
    EXPECT_EQ(vfs.list_child_names("/", "/ab").value(), (Names{"z"}));
    EXPECT_EQ(vfs.list_child_names("/", "la").value(), (Names{"x", "y"}));
    EXPECT_EQ(vfs.list_child_names("/a", "y").value(), (Names{"deep"}));
    EXPECT_EQ(vfs.list_child_names("/", "b").error(), VfsError::not_a_dir("b"));
    EXPECT_EQ(vfs.list_child_names("/", "nope").error(), VfsError::not_found("nope"));

    // The index follows removals.
    ASSERT_TRUE(vfs.remove_file("/", "/a/x"));
    ASSERT_TRUE(vfs.remove_file("/", "/a/y/deep"));
    EXPECT_EQ(vfs.list_child_names("/", "/a/y").value(), Names{});
    EXPECT_EQ(vfs.list_child_names("/", "/a").value(), (Names{"y"}));
}

TEST_F(VfsReadTest, DescendantsAreTheSubtreeInKeyOrder) {
    file("/a/b/c");
    file("/a!");
    file("/a-x/y");
    file("/ab");
    using Keys = std::vector<std::string>;
    EXPECT_EQ(vfs.descendants("/a"), (Keys{"/a", "/a/b", "/a/b/c"}));
    EXPECT_EQ(vfs.descendants("/a/b/c"), (Keys{"/a/b/c"}));
    EXPECT_EQ(vfs.descendants("/missing"), Keys{});
    EXPECT_EQ(vfs.descendants("/").size(), vfs.tree().size());
    EXPECT_EQ(vfs.descendants("/").front(), "/");
    Keys below;
    for (const auto& [k, n] : vfs.below("/a")) below.push_back(k);
    EXPECT_EQ(below, (Keys{"/a/b", "/a/b/c"}));
}

TEST_F(VfsReadTest, StatRecords) {
    struct Case { std::size_t size; std::uint64_t blocks; };
    const Case cases[] = {{0, 0}, {1, 8}, {4096, 8}, {4097, 16}, {8192, 16}, {8193, 24}};
    for (const auto& c : cases) {
        FileStat st = FileStat::from_node(VfsNode::file(std::string(c.size, 'x'), 0644, 9, 5));
        EXPECT_EQ(st.size, c.size);
        EXPECT_EQ(st.blocks, c.blocks) << "size " << c.size;
        EXPECT_EQ(st.file_type, 0);
        EXPECT_EQ(st.dev, 1u);
        EXPECT_EQ(st.ino, 9u);
        EXPECT_EQ(st.mtime_ms, 5u);
    }
    FileStat d = FileStat::from_node(VfsNode::directory(0755, 3, 0));
    EXPECT_EQ(d.size, 4096u);
    EXPECT_EQ(d.blocks, 8u);
    EXPECT_EQ(d.file_type, 1);
    FileStat pd = Vfs::stat_node(VfsNode::directory(0555, 3, 0));
    EXPECT_EQ(pd.size, 0u);
    EXPECT_EQ(pd.blocks, 0u);
    EXPECT_EQ(pd.dev, 2u);
    FileStat pf = Vfs::stat_node(VfsNode::file("abc", 0444, 0, 0));
    EXPECT_EQ(pf.size, 3u);
    EXPECT_EQ(pf.blocks, 0u);
    EXPECT_EQ(pf.dev, 2u);

    FileStat l = FileStat::from_node(VfsNode::symlink("../t", 0777, 4, 0));
    EXPECT_EQ(l.link_target, std::optional<std::string>("../t"));
    EXPECT_EQ(l.size, 4u);
    EXPECT_EQ(l.blocks, 0u);
    EXPECT_EQ(l.file_type, 2);
    FileStat n = FileStat::from_node(VfsNode::native(NativeProgram::named("cd"), 0755, 0, 0));
    EXPECT_TRUE(n.is_native);
    EXPECT_EQ(n.size, 0u);
    EXPECT_EQ(n.file_type, 0);
    EXPECT_EQ(n.dev, 0u);  // node number 0
}

TEST_F(VfsReadTest, ErrorTexts) {
    using K = VfsError::Kind;
    struct Case { VfsError e; std::string_view text, description; };
    const Case cases[] = {
        {VfsError::not_found("p"), "No such file or directory: p", "No such file or directory"},
        {VfsError::not_a_dir("p"), "Not a directory: p", "Not a directory"},
        {VfsError::is_a_dir("p"), "Is a directory: p", "Is a directory"},
        {VfsError::not_empty("p"), "Directory not empty: p", "Directory not empty"},
        {VfsError::exists("p"), "File exists: p", "File exists"},
        {VfsError::loop("p"), "Too many levels of symbolic links: p", "Too many levels of symbolic links"},
        {VfsError::invalid("p"), "Invalid argument: p", "Invalid argument"},
        {VfsError::name_too_long("p"), "File name too long: p", "File name too long"},
        {VfsError::no_space(), "No space left on device", "No space left on device"},
        {VfsError::too_large("p", 7), "file too large: p (limit 7 bytes)", "File too large"},
        {VfsError::read_only("p"), "Read-only filesystem: p", "Read-only filesystem"},
        {VfsError::unlinked_file(3), "No such file or directory: unlinked file 3", "No such file or directory"},
    };
    int index = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(error_text(c.e), c.text);
        EXPECT_EQ(c.e.to_message(), c.text);
        EXPECT_EQ(VfsError::description(c.e.kind), c.description);
        if (index < 11) {
            EXPECT_EQ(static_cast<int>(c.e.kind), index);
        }
        ++index;
    }
    EXPECT_EQ(static_cast<int>(K::ReadOnly), 10);
}

TEST_F(VfsReadTest, WasmModuleAdmission) {
    const std::string magic("\0asm", 4);
    std::string exact;
    exact.reserve(134'217'728 + 1);
    exact += magic;
    exact.resize(134'217'728, '\0');
    EXPECT_TRUE(check_wasm_module_bytes(exact));
    exact.push_back('\0');
    EXPECT_EQ(check_wasm_module_bytes(exact).error(), "wasm module exceeds size limit");
    EXPECT_EQ(check_wasm_module_bytes("\0asn").error(), "not a binary Wasm module");
    EXPECT_EQ(check_wasm_module_bytes("").error(), "not a binary Wasm module");
    EXPECT_TRUE(check_wasm_module_bytes(magic));
}

TEST_F(VfsReadTest, CopiesAreIndependent) {
    file("/a/x", "one");
    Vfs copy = vfs;
    ASSERT_TRUE(copy.write_file("/a/y", "two", 0644));
    ASSERT_TRUE(copy.remove_file("/", "/a/x"));
    EXPECT_EQ(vfs.list_child_names("/", "/a").value(), std::vector<std::string>{"x"});
    EXPECT_EQ(copy.list_child_names("/", "/a").value(), std::vector<std::string>{"y"});
    EXPECT_EQ(vfs.read_bytes("/", "/a/x").value(), "one");
    EXPECT_EQ(vfs.used(), vfs.compute_used());
    EXPECT_EQ(copy.used(), copy.compute_used());
}

// The resolution rule written the direct recursive way: resolve the parent with the same count,
// then follow a link at the candidate with count + 1. Answers nothing when it gives up on work.
struct ReferenceResolver {
    const Vfs& vfs;
    std::uint64_t steps = 0;

    std::optional<Result<std::string, VfsError>> resolve(const std::string& path, bool follow, int count) {
        if (++steps > 200'000) return std::nullopt;
        if (count > 40) return std::unexpected(VfsError::loop(path));
        if (path == "/") return std::string("/");
        auto parent = resolve(std::string(vfs_parent_path(path).value_or("/")), true, count);
        if (!parent || !*parent) return parent;
        const std::string& rp = **parent;
        std::string cand = (rp == "/" ? "" : rp) + "/" + std::string(vfs_file_name(path));
        const VfsNode* n = vfs.node(cand);
        if (n && n->is_symlink() && follow) return resolve(path_join_normalize(rp, *n->link_target()), true, count + 1);
        return cand;
    }
};

TEST_F(VfsReadTest, ResolutionAgreesWithTheRecursiveRuleOnRandomTrees) {
    std::mt19937 rng(12345);
    const char* names[] = {"a", "b", "c", "d"};
    const char* targets[] = {"a", "b", "..", ".", "/a", "/b/c", "../a", "c/d", "/", "/d/../a", "a/b/c"};
    int compared = 0;
    for (int round = 0; round < 40; ++round) {
        Vfs v(1u << 22, kNow);
        for (int i = 0; i < 30; ++i) {
            std::string p;
            const int depth = 1 + static_cast<int>(rng() % 3);
            for (int d = 0; d < depth; ++d) p += std::string("/") + names[rng() % 4];
            if (rng() % 3 == 0)
                (void)v.symlink("/", targets[rng() % std::size(targets)], p);
            else
                (void)v.create_dir_all("/", p);
        }
        for (int q = 0; q < 60; ++q) {
            std::string p;
            const int depth = static_cast<int>(rng() % 5);
            for (int d = 0; d < depth; ++d) p += std::string("/") + names[rng() % 4];
            if (p.empty()) p = "/";
            const bool follow = rng() % 2 == 0;
            ReferenceResolver ref{v};
            auto expected = ref.resolve(p, follow, 0);
            if (!expected) continue;
            EXPECT_EQ(v.resolve_symlinks(p, follow), *expected) << p << " follow " << follow;
            ++compared;

            // missing_prefixes resolves each candidate from scratch in its definition.
            auto missing = v.missing_prefixes(p);
            std::vector<std::string> want;
            std::string cur = "/";
            bool not_a_dir = false;
            for (std::size_t i = 1; i <= p.size() && p != "/"; i += 2) {
                std::string cand = (cur == "/" ? "" : cur) + "/" + p.substr(i, 1);
                if (auto r = v.resolve_symlinks(cand, true)) cand = *r;
                const VfsNode* n = v.node(cand);
                if (!n) {
                    if (std::find(want.begin(), want.end(), cand) == want.end()) want.push_back(cand);
                } else if (!n->is_dir()) {
                    EXPECT_EQ(missing.error(), VfsError::not_a_dir(cand)) << p;
                    not_a_dir = true;
                    break;
                }
                cur = cand;
            }
            if (!not_a_dir) {
                EXPECT_EQ(missing.value(), want) << p;
            }
        }
    }
    EXPECT_GT(compared, 1500);
}

TEST_F(VfsReadTest, EntryExistsFollowsParentsOnly) {
    dir("/real");
    link("/real", "/p");
    link("/nowhere", "/real/dangling");
    EXPECT_TRUE(vfs.entry_exists("/p/dangling"));
    EXPECT_TRUE(vfs.entry_exists("p/./dangling"));
    EXPECT_FALSE(vfs.entry_exists("/p/other"));
}

}  // namespace
}  // namespace tw
