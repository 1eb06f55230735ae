#include <gtest/gtest.h>

#include "kernel/machine.h"

namespace tw {
namespace {

constexpr MachineLimits kLimits{.cpu = 100'000'000, .memory = 1 << 26, .disk = 1 << 20, .output = 1 << 20};

class TreeTest : public ::testing::Test {
protected:
    Machine m = Machine::build(kLimits);

    void SetUp() override { m.sync_vfs_clock(); }

    void put(std::string_view path, std::string_view bytes = "data") {
        ASSERT_TRUE(m.vfs.write_file(path, Bytes(bytes), 0640).has_value()) << path;
    }
    const VfsNode* node(std::string_view path) const { return m.vfs.node(path); }
    std::vector<std::string> keys_below(std::string_view dir) const {
        std::vector<std::string> out;
        for (const auto& [path, _] : m.vfs.below(dir)) out.push_back(path);
        return out;
    }
    static VfsError::Kind kind(const Result<void, SyscallError>& r) {
        EXPECT_FALSE(r.has_value());
        if (r) return VfsError::Kind::NotFound;
        return std::get<VfsError>(r.error().payload).kind;
    }
    // The incremental usage always equals the usage counted from scratch.
    void expect_exact_usage() {
        EXPECT_EQ(m.vfs.used(), m.vfs.compute_used());
        EXPECT_GE(m.vfs.peak(), m.vfs.used());
    }
    // Opens a regular file by path, as the open layer leaves it.
    std::uint32_t open_file(std::string path) {
        auto n = m.open_descriptions.insert(target::File{.path = std::move(path), .readable = true, .writable = true});
        EXPECT_TRUE(n.has_value());
        return *n;
    }
    SyscallError::Kind kind_of_install(std::vector<InstallOp> ops) {
        auto r = m.install_files("/", std::move(ops));
        EXPECT_FALSE(r.has_value());
        return r ? SyscallError::Kind::Process : r.error().kind;
    }
    const target::File& file_of(std::uint32_t description) {
        return std::get<target::File>((*m.open_descriptions.get(description))->target);
    }
};

TEST_F(TreeTest, RenameMovesWholeSubtreesKeepingNodes) {
    put("/tmp/a/x");
    put("/tmp/a/sub/y");
    ASSERT_TRUE(m.vfs.mkdir("/", "/tmp/b").has_value());

    // Into an existing directory.
    ASSERT_TRUE(m.rename_path("/tmp", "a/x", "b").has_value());
    EXPECT_TRUE(node("/tmp/b/x") && !node("/tmp/a/x"));

    // A directory with three entries below it: four keys move, numbers and times kept.
    put("/tmp/a/z");
    const std::uint64_t a_id = node("/tmp/a")->node_id, y_id = node("/tmp/a/sub/y")->node_id;
    const std::uint64_t y_time = node("/tmp/a/sub/y")->mtime_ms;
    ASSERT_TRUE(m.advance_time_to(5'000'000'000).has_value());
    ASSERT_TRUE(m.rename_path("/", "/tmp/a", "/tmp/c").has_value());
    EXPECT_EQ(keys_below("/tmp/c"), (std::vector<std::string>{"/tmp/c/sub", "/tmp/c/sub/y", "/tmp/c/z"}));
    EXPECT_TRUE(keys_below("/tmp/a").empty());
    EXPECT_EQ(node("/tmp/a"), nullptr);
    EXPECT_EQ(node("/tmp/c")->node_id, a_id);
    EXPECT_EQ(node("/tmp/c/sub/y")->node_id, y_id);
    EXPECT_EQ(node("/tmp/c/sub/y")->mtime_ms, y_time);
    EXPECT_EQ(*m.vfs.list_child_names("/", "/tmp"), (std::vector<std::string>{"b", "c"}));

    // A file over a file gives back the replaced file's cost; onto itself nothing changes.
    put("/tmp/big", std::string(1000, 'b'));
    const std::uint64_t used = m.vfs.used();
    ASSERT_TRUE(m.rename_path("/", "/tmp/c/z", "/tmp/big").has_value());
    EXPECT_EQ(m.vfs.used(), used - (256 + 1000));
    EXPECT_EQ(*node("/tmp/big")->data(), "data");
    ASSERT_TRUE(m.rename_path("/", "/tmp/big", "/tmp/big").has_value());
    ASSERT_TRUE(m.rename_path("/", "/tmp/c/sub", "/tmp/c").has_value());  // already there
    EXPECT_TRUE(node("/tmp/c/sub/y"));

    // A link moves as a link.
    ASSERT_TRUE(m.vfs.symlink("/", "/tmp/c", "/tmp/l").has_value());
    ASSERT_TRUE(m.rename_path("/", "/tmp/l", "/tmp/l2").has_value());
    EXPECT_TRUE(node("/tmp/l2")->is_symlink());
    EXPECT_TRUE(node("/tmp/c/sub/y"));
    expect_exact_usage();
}

TEST_F(TreeTest, RenameRefusalsChangeNothing) {
    put("/tmp/a/x");
    put("/tmp/full/keep");
    ASSERT_TRUE(m.vfs.mkdir("/", "/tmp/empty").has_value());
    put("/tmp/f");
    ASSERT_TRUE(m.vfs.mkdir("/", "/tmp/into").has_value());
    ASSERT_TRUE(m.vfs.mkdir("/", "/tmp/into/f").has_value());
    put("/tmp/full/a/old");
    const Vfs::Tree before = m.vfs.tree();
    const std::uint64_t used = m.vfs.used(), next_id = m.vfs.next_node_id();

    struct Case {
        const char *from, *to;
        VfsError::Kind kind;
    };
    const Case cases[] = {
        {"/tmp/a", "/tmp/full", VfsError::Kind::NotEmpty},   // onto /tmp/full/a, never merged
        {"/tmp/a", "/tmp/a/x2", VfsError::Kind::Invalid},    // into its own subtree
        {"/tmp/a", "/tmp/nowhere/a", VfsError::Kind::NotFound},
        {"/tmp/f", "/tmp/into", VfsError::Kind::IsADir},     // /tmp/into/f is a directory
        {"/tmp/a", "/tmp/f", VfsError::Kind::NotADir},       // a directory over a file
        {"/tmp/missing", "/tmp/b", VfsError::Kind::NotFound},
        {"/", "/tmp/root", VfsError::Kind::Invalid},
    };
    for (const auto& c : cases) EXPECT_EQ(kind(m.rename_path("/", c.from, c.to)), c.kind) << c.from << " -> " << c.to;
    EXPECT_TRUE(m.vfs.tree() == before);
    EXPECT_EQ(m.vfs.used(), used);
    EXPECT_EQ(m.vfs.next_node_id(), next_id);

    // A directory replaces an empty namesake.
    ASSERT_TRUE(m.vfs.mkdir("/", "/tmp/empty/a").has_value());
    ASSERT_TRUE(m.rename_path("/", "/tmp/a", "/tmp/empty/../empty").has_value());
    EXPECT_TRUE(node("/tmp/empty/a/x"));

    // New paths of 4096 bytes or more: NameTooLong, nothing moves.
    std::string deep = "/tmp/d";
    while (deep.size() < 3900) deep += "/" + std::string(200, 'n');
    put(deep);
    const Vfs::Tree long_before = m.vfs.tree();
    EXPECT_EQ(kind(m.rename_path("/", "/tmp/d", "/tmp/" + std::string(250, 'r'))), VfsError::Kind::NameTooLong);
    EXPECT_TRUE(m.vfs.tree() == long_before);
    expect_exact_usage();
}

TEST_F(TreeTest, RenameAccountsForBaseImageExemptions) {
    const std::size_t stubs = keys_below("/usr/bin").size();
    EXPECT_EQ(m.vfs.used(), 0u);
    ASSERT_TRUE(m.rename_path("/", "/usr/bin", "/ub").has_value());
    EXPECT_EQ(m.vfs.used(), 256 * (stubs + 1));
    expect_exact_usage();
    ASSERT_TRUE(m.rename_path("/", "/ub", "/usr/bin").has_value());
    EXPECT_EQ(m.vfs.used(), 0u);
    EXPECT_EQ(m.vfs.peak(), 256 * (stubs + 1));
    expect_exact_usage();

    // The whole change is checked against the capacity before anything moves.
    Machine tight = Machine::build({.cpu = 1000, .memory = 1 << 20, .disk = 256 * 10, .output = 1000});
    EXPECT_EQ(kind(tight.rename_path("/", "/usr/bin", "/ub")), VfsError::Kind::NoSpace);
    EXPECT_TRUE(tight.vfs.node("/usr/bin/ls"));
    EXPECT_EQ(tight.vfs.used(), 0u);
}

TEST_F(TreeTest, OpenFilesFollowTheirNodes) {
    put("/tmp/a", "first");
    put("/tmp/d/inner", "inner");
    put("/tmp/c", "victim");
    const std::uint32_t a = open_file("/tmp/a");
    const std::uint32_t inner = open_file("/tmp/d/inner");
    const std::uint32_t c = open_file("/tmp/c");
    auto dir = m.open_descriptions.insert(target::Directory{"/tmp/d"});
    ASSERT_TRUE(dir.has_value());

    ASSERT_TRUE(m.rename_path("/", "/tmp/a", "/tmp/b").has_value());
    put("/tmp/a", "someone else");
    EXPECT_EQ(file_of(a).path, "/tmp/b");
    EXPECT_FALSE(file_of(a).backing.orphan.has_value());

    ASSERT_TRUE(m.rename_path("/", "/tmp/d", "/tmp/e").has_value());
    EXPECT_EQ(file_of(inner).path, "/tmp/e/inner");
    EXPECT_EQ(std::get<target::Directory>((*m.open_descriptions.get(*dir))->target).path, "/tmp/e");

    // The file a rename replaces lives on for the descriptions that have it open.
    ASSERT_TRUE(m.rename_path("/", "/tmp/b", "/tmp/c").has_value());
    EXPECT_EQ(file_of(a).path, "/tmp/c");
    ASSERT_TRUE(file_of(c).backing.orphan.has_value());
    EXPECT_EQ(*m.vfs.orphan(*file_of(c).backing.orphan)->data(), "victim");
    EXPECT_EQ(*node("/tmp/c")->data(), "first");
    expect_exact_usage();
}

TEST_F(TreeTest, CopyFileModes) {
    put("/tmp/src", "new bytes");
    ASSERT_TRUE(m.vfs.write_file("/tmp/dst", "old", 0600).has_value());
    ASSERT_TRUE(m.copy_file("/", "/tmp/src", "/tmp/dst").has_value());
    EXPECT_EQ(*node("/tmp/dst")->data(), "new bytes");
    EXPECT_EQ(node("/tmp/dst")->mode, 0600u);
    ASSERT_TRUE(m.copy_file("/tmp", "src", "fresh").has_value());
    EXPECT_EQ(node("/tmp/fresh")->mode, 0640u);

    const std::uint64_t used = m.vfs.used();
    ASSERT_TRUE(m.copy_file("/", "/bin/ls", "/tmp/ls").has_value());
    EXPECT_EQ(*node("/tmp/ls")->program(), *node("/bin/ls")->program());
    EXPECT_EQ(m.vfs.used(), used + 256);

    EXPECT_EQ(kind(m.copy_file("/", "/tmp", "/tmp/x")), VfsError::Kind::IsADir);
    EXPECT_EQ(kind(m.copy_file("/", "/bin/ls", "/tmp")), VfsError::Kind::IsADir);
    EXPECT_EQ(kind(m.copy_file("/", "/tmp/src", "/tmp/no/x")), VfsError::Kind::NotFound);
    expect_exact_usage();
}

TEST_F(TreeTest, CopyTreeTimesMergesAndRefusals) {
    put("/tmp/s/f", "file");
    put("/tmp/s/sub/g", "gee");
    ASSERT_TRUE(m.vfs.symlink("/", "../f", "/tmp/s/sub/l").has_value());
    ASSERT_TRUE(m.vfs.symlink("/", "/tmp/s", "/tmp/ls").has_value());
    const std::uint64_t old_time = node("/tmp/s/f")->mtime_ms;
    ASSERT_TRUE(m.advance_time_to(7'000'000'000).has_value());
    const std::uint64_t now = m.clock.wall_time_ms();
    ASSERT_NE(now, old_time);

    ASSERT_TRUE(m.copy_tree("/", "/tmp/s", "/tmp/plain", false).has_value());
    ASSERT_TRUE(m.copy_tree("/", "/tmp/s", "/tmp/kept", true).has_value());
    for (const char* p : {"/tmp/plain", "/tmp/plain/f", "/tmp/plain/sub", "/tmp/plain/sub/g", "/tmp/plain/sub/l"})
        EXPECT_EQ(node(p)->mtime_ms, now) << p;
    EXPECT_EQ(node("/tmp/kept/f")->mtime_ms, old_time);
    EXPECT_EQ(*node("/tmp/kept/sub/l")->link_target(), "../f");
    EXPECT_NE(node("/tmp/kept/f")->node_id, node("/tmp/s/f")->node_id);
    EXPECT_NE(node("/tmp/kept/f")->node_id, node("/tmp/plain/f")->node_id);

    // Through a link to a directory: copied under the directory's own name, into an existing
    // directory, merging with what is there.
    ASSERT_TRUE(m.vfs.mkdir("/", "/tmp/m").has_value());
    put("/tmp/m/s/extra");
    ASSERT_TRUE(m.copy_tree("/", "/tmp/ls", "/tmp/m", false).has_value());
    EXPECT_TRUE(node("/tmp/m/s/f") && node("/tmp/m/s/sub/g") && node("/tmp/m/s/extra"));

    // A single file with the preserve flag keeps mode and time.
    ASSERT_TRUE(m.vfs.chmod("/", "/tmp/s/f", 0700).has_value());
    ASSERT_TRUE(m.copy_tree("/", "/tmp/s/f", "/tmp/one", true).has_value());
    EXPECT_EQ(node("/tmp/one")->mode, 0700u);
    EXPECT_EQ(node("/tmp/one")->mtime_ms, old_time);
    expect_exact_usage();

    put("/tmp/clash/s/sub", "a file where a directory goes");
    const Vfs::Tree before = m.vfs.tree();
    const std::uint64_t next_id = m.vfs.next_node_id();
    EXPECT_EQ(kind(m.copy_tree("/", "/tmp/s", "/tmp/s/sub", false)), VfsError::Kind::Invalid);
    EXPECT_EQ(kind(m.copy_tree("/", "/tmp/s", "/tmp", false)), VfsError::Kind::Invalid);  // /tmp/s itself
    EXPECT_EQ(kind(m.copy_tree("/", "/tmp/s", "/tmp/none/s", false)), VfsError::Kind::NotFound);
    EXPECT_EQ(kind(m.copy_tree("/", "/tmp/s", "/tmp/clash", false)), VfsError::Kind::NotADir);
    EXPECT_EQ(kind(m.copy_tree("/", "/tmp/nothing", "/tmp/x", false)), VfsError::Kind::NotFound);
    EXPECT_TRUE(m.vfs.tree() == before);
    EXPECT_EQ(m.vfs.next_node_id(), next_id);

    Machine tight = Machine::build({.cpu = 1000, .memory = 1 << 20, .disk = 256 * 10, .output = 1000});
    EXPECT_EQ(kind(tight.copy_tree("/", "/usr/bin", "/copy", false)), VfsError::Kind::NoSpace);
    EXPECT_EQ(tight.vfs.node("/copy"), nullptr);
    EXPECT_EQ(tight.vfs.used(), 0u);
    expect_exact_usage();
}

TEST_F(TreeTest, InstallIsAllOrNothing) {
    put("/tmp/keep", "kept");
    m.vfs.raise_peak();
    EXPECT_EQ(kind_of_install(std::vector<InstallOp>(10001, InstallOp::create_dir_all("/tmp/x"))),
              SyscallError::Kind::InvalidArgument);

    const Vfs::Tree tree = m.vfs.tree();
    const std::uint64_t used = m.vfs.used(), peak = m.vfs.peak(), next_id = m.vfs.next_node_id();
    const std::uint64_t memory = m.meter.memory_current();
    std::vector<InstallOp> failing{
        InstallOp::write_file("pkg/lib/a.py", std::string(5000, 'a'), 0644),
        InstallOp::remove_file("/tmp/keep"),
        InstallOp::create_dir_all("pkg/lib/a.py/sub"),  // a file is in the way
    };
    auto r = m.install_files("/tmp", failing);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(std::get<VfsError>(r.error().payload).kind, VfsError::Kind::NotADir);
    EXPECT_TRUE(m.vfs.tree() == tree);
    EXPECT_EQ(*m.vfs.list_child_names("/", "/tmp"), std::vector<std::string>{"keep"});
    EXPECT_EQ(m.vfs.used(), used);
    EXPECT_EQ(m.vfs.peak(), peak);
    EXPECT_EQ(m.vfs.next_node_id(), next_id);
    EXPECT_EQ(m.meter.memory_current(), memory);
    expect_exact_usage();

    // Symlink steps replace a file but not a directory.
    ASSERT_TRUE(m.vfs.mkdir("/", "/tmp/dir").has_value());
    const std::uint64_t cpu = m.meter.cpu_used();
    const std::uint64_t copy_cost = 2 * m.vfs.used();
    std::vector<InstallOp> ok{
        InstallOp::create_dir_all("/opt/pkg"),
        InstallOp::write_file("/opt/pkg/bin/tool", "#!/bin/sh\n", 0755),
        InstallOp::create_symlink("/tmp/keep", "/opt/pkg/bin/tool"),
        InstallOp::create_symlink("/opt/links/tool", "../pkg/bin/tool"),
    };
    std::uint64_t step_bytes = 0;
    for (const auto& op : ok) step_bytes += op.counted_bytes();
    ASSERT_TRUE(m.install_files("/", ok).has_value());
    EXPECT_EQ(m.meter.cpu_used() - cpu, step_bytes + copy_cost);
    EXPECT_EQ(m.meter.memory_current(), memory);
    EXPECT_EQ(*node("/tmp/keep")->link_target(), "/opt/pkg/bin/tool");
    EXPECT_EQ(node("/opt/pkg/bin/tool")->mode, 0755u);
    EXPECT_TRUE(node("/opt/links/tool")->is_symlink());
    auto exists = m.install_files("/", {InstallOp::create_symlink("/tmp/dir", "x")});
    ASSERT_FALSE(exists.has_value());
    EXPECT_EQ(std::get<VfsError>(exists.error().payload).kind, VfsError::Kind::Exists);
    EXPECT_TRUE(node("/tmp/dir")->is_dir());
    expect_exact_usage();
}

}  // namespace
}  // namespace tw
