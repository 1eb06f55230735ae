#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "base/sat.h"
#include "kernel/vfs.h"

namespace tw {

// Readable failure output; the same inline definition in each test file.
inline void PrintTo(const VfsError& e, std::ostream* os) { *os << error_text(e); }

namespace {

constexpr std::uint64_t kNow = 1'735'689'600'000;
constexpr std::uint64_t kCost = Vfs::kNodeCost;

// A small base image like the machine's: base directories and stubs that cost nothing.
Vfs base_image(std::uint64_t capacity) {
    Vfs vfs(capacity, kNow);
    for (const char* d : {"/root", "/tmp", "/work", "/usr", "/usr/bin", "/bin"}) vfs.insert_base_dir(d);
    vfs.recompute_used();
    vfs.raise_peak();
    for (const char* p : {"/usr/bin/cat", "/bin/cat"}) vfs.insert_base_entry(p, NativeProgram::resumable(ProgramKind::Cat));
    for (const char* p : {"/usr/bin/ls", "/bin/ls"}) vfs.insert_base_entry(p, NativeProgram::registered("/usr/bin/ls"));
    return vfs;
}

class VfsMutateTest : public ::testing::Test {
protected:
    VfsMutateTest() : vfs(base_image(1u << 20)) {}

    // The incremental usage must equal the full recomputation after every operation.
    void TearDown() override { EXPECT_EQ(vfs.used(), vfs.compute_used()); }
    void consistent() { ASSERT_EQ(vfs.used(), vfs.compute_used()); }

    Vfs vfs;
};

TEST_F(VfsMutateTest, BaseImageCostsNothing) {
    EXPECT_EQ(vfs.used(), 0u);
    EXPECT_EQ(vfs.tree().size(), 11u);
    const VfsNode* tmp = vfs.node("/tmp");
    ASSERT_NE(tmp, nullptr);
    EXPECT_EQ(tmp->node_id, 3u);
    EXPECT_EQ(tmp->mtime_ms, kNow);
    EXPECT_EQ(tmp->mode, 0755u);
    const VfsNode* cat = vfs.node("/bin/cat");
    ASSERT_NE(cat, nullptr);
    EXPECT_EQ(*cat->program(), NativeProgram::resumable(ProgramKind::Cat));
    EXPECT_EQ(cat->node_id, 9u);
    EXPECT_EQ(vfs.base_dirs().size(), 6u);
    EXPECT_EQ(vfs.base_natives().size(), 4u);
    EXPECT_EQ(vfs.next_node_id(), 12u);
}

TEST_F(VfsMutateTest, BaseEntryReplacementKeepsTheFirstRecordedProgram) {
    vfs.insert_base_entry("/bin/cat", NativeProgram::named("cat"));
    // The node takes the new program, the record keeps the first: the stub now costs 256.
    EXPECT_EQ(*vfs.node("/bin/cat")->program(), NativeProgram::named("cat"));
    EXPECT_EQ(vfs.base_natives().at("/bin/cat"), NativeProgram::resumable(ProgramKind::Cat));
    EXPECT_EQ(vfs.used(), kCost);
    // A base directory inserted over an existing directory makes it free.
    ASSERT_TRUE(vfs.mkdir("/", "/opt"));
    EXPECT_EQ(vfs.used(), 2 * kCost);
    vfs.insert_base_dir("/opt");
    EXPECT_EQ(vfs.used(), kCost);
}

TEST_F(VfsMutateTest, CapacityIsExactAndRefusalChangesNothing) {
    ASSERT_TRUE(vfs.write_file("/tmp/a", "abc", 0644));
    const std::uint64_t capacity = 4096;
    vfs.set_capacity(capacity);
    const std::uint64_t fits = capacity - vfs.used() - kCost;

    const Vfs before = vfs;
    auto refused = vfs.write_file("/tmp/big", std::string(fits + 1, 'x'), 0644);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), VfsError::no_space());
    EXPECT_EQ(vfs.tree(), before.tree());
    EXPECT_EQ(vfs.used(), before.used());
    EXPECT_EQ(vfs.next_node_id(), before.next_node_id());

    ASSERT_TRUE(vfs.write_file("/tmp/big", std::string(fits, 'x'), 0644));
    EXPECT_EQ(vfs.used(), capacity);
    EXPECT_EQ(vfs.peak(), capacity);

    // Freeing is never refused, and removal keeps the peak.
    ASSERT_TRUE(vfs.remove_file("/", "/tmp/big"));
    EXPECT_EQ(vfs.used(), 3 + kCost);
    EXPECT_EQ(vfs.peak(), capacity);
    // Each creating operation refuses the same way when full.
    vfs.set_capacity(vfs.used());
    EXPECT_EQ(vfs.mkdir("/", "/d").error(), VfsError::no_space());
    EXPECT_EQ(vfs.create_dir_all("/", "/d/e").error(), VfsError::no_space());
    EXPECT_EQ(vfs.symlink("/", "t", "/l").error(), VfsError::no_space());
    EXPECT_EQ(vfs.set_times("/", "/touched", 5).error(), VfsError::no_space());
    EXPECT_EQ(vfs.write_file_mode("/", "/tmp/a", "abcd", 0644).error(), VfsError::no_space());
    EXPECT_TRUE(vfs.write_file_mode("/", "/tmp/a", "ab", 0644));
    EXPECT_EQ(vfs.node("/d"), nullptr);
    EXPECT_EQ(vfs.node("/l"), nullptr);
}

TEST_F(VfsMutateTest, OverwriteAccounting) {
    ASSERT_TRUE(vfs.write_file("/tmp/f", std::string(100, 'a'), 0600));
    const std::uint64_t with100 = vfs.used();
    ASSERT_TRUE(vfs.write_file("/tmp/f", std::string(50, 'b'), 0600));
    EXPECT_EQ(vfs.used(), with100 - 50);
    ASSERT_TRUE(vfs.write_file_mode("/", "/tmp/f", std::string(70, 'c'), 0777));
    EXPECT_EQ(vfs.used(), with100 - 30);
    // write_file_mode keeps an existing file's mode and node; write_file makes a new node.
    EXPECT_EQ(vfs.node("/tmp/f")->mode, 0600u);

    const std::uint64_t before = vfs.used();
    ASSERT_TRUE(vfs.write_file("/bin/cat", "#!", 0755));
    EXPECT_EQ(vfs.used(), before + kCost + 2);
    EXPECT_TRUE(vfs.node("/bin/cat")->is_file());
}

TEST_F(VfsMutateTest, BaseDirectoryRemovedAndMadeAgainIsFree) {
    ASSERT_TRUE(vfs.remove_dir("/", "/work"));
    EXPECT_EQ(vfs.used(), 0u);
    ASSERT_TRUE(vfs.mkdir("/", "/work"));
    EXPECT_EQ(vfs.used(), 0u);
    ASSERT_TRUE(vfs.mkdir("/", "/elsewhere"));
    EXPECT_EQ(vfs.used(), kCost);
    ASSERT_TRUE(vfs.remove_dir("/", "/root"));
    ASSERT_TRUE(vfs.write_file("/root/x/f", "", 0644));
    EXPECT_EQ(vfs.used(), kCost + kCost + kCost);  // /elsewhere, /root/x, the file
}

TEST_F(VfsMutateTest, WriteCreatesMissingParents) {
    Vfs bare(1u << 20, kNow);
    ASSERT_TRUE(bare.write_file("a/b/c", "hello", 0640));
    EXPECT_EQ(bare.used(), 3 * kCost + 5);
    for (const char* d : {"/a", "/a/b"}) {
        const VfsNode* n = bare.node(d);
        ASSERT_NE(n, nullptr) << d;
        EXPECT_TRUE(n->is_dir());
        EXPECT_EQ(n->mode, 0755u);
        EXPECT_EQ(n->mtime_ms, kNow);
    }
    EXPECT_EQ(bare.node("/a")->node_id, 2u);
    EXPECT_EQ(bare.node("/a/b")->node_id, 3u);
    const VfsNode* f = bare.node("/a/b/c");
    EXPECT_EQ(f->node_id, 4u);
    EXPECT_EQ(f->mode, 0640u);
    EXPECT_EQ(*f->data(), "hello");
    EXPECT_EQ(bare.used(), bare.compute_used());

    // A file in the way of a parent.
    EXPECT_EQ(bare.write_file("/a/b/c/d", "", 0644).error(), VfsError::not_a_dir("/a/b/c"));
    EXPECT_EQ(bare.create_dir_all("/", "/a/b/c").error(), VfsError::not_a_dir("/a/b/c"));
    EXPECT_EQ(bare.write_file("/a/b", "", 0644).error(), VfsError::is_a_dir("/a/b"));
    EXPECT_EQ(bare.write_file("/", "", 0644).error(), VfsError::is_a_dir("/"));
    // An existing directory is no error and costs nothing more.
    ASSERT_TRUE(bare.create_dir_all("/a", "b"));
    EXPECT_EQ(bare.used(), 3 * kCost + 5);
}

TEST_F(VfsMutateTest, WritesThroughLinks) {
    ASSERT_TRUE(vfs.create_dir_all("/", "/data/real"));
    ASSERT_TRUE(vfs.symlink("/", "/data/real", "/tmp/link"));
    ASSERT_TRUE(vfs.write_file("/tmp/link/f", "in target", 0644));
    EXPECT_EQ(*vfs.node("/data/real/f")->data(), "in target");
    EXPECT_EQ(vfs.node("/tmp/link/f"), nullptr);
    consistent();

    // The last component's link is replaced, never followed.
    ASSERT_TRUE(vfs.write_file("/data/target", "old", 0644));
    ASSERT_TRUE(vfs.symlink("/", "/data/target", "/tmp/l2"));
    ASSERT_TRUE(vfs.write_file("/tmp/l2", "new", 0600));
    EXPECT_TRUE(vfs.node("/tmp/l2")->is_file());
    EXPECT_EQ(*vfs.node("/data/target")->data(), "old");
    consistent();

    ASSERT_TRUE(vfs.symlink("/", "/data/target", "/tmp/l3"));
    ASSERT_TRUE(vfs.write_file_mode("/tmp", "l3", "newer", 0600));
    EXPECT_TRUE(vfs.node("/tmp/l3")->is_file());
    EXPECT_EQ(vfs.node("/tmp/l3")->mode, 0600u);
    EXPECT_EQ(*vfs.node("/data/target")->data(), "old");

    // A link into a missing directory: the directories are made where the link points.
    ASSERT_TRUE(vfs.symlink("/", "/made/later", "/tmp/ahead"));
    ASSERT_TRUE(vfs.write_file("/tmp/ahead/x/f", "z", 0644));
    EXPECT_TRUE(vfs.node("/made/later/x")->is_dir());
    EXPECT_TRUE(vfs.node("/made/later/x/f")->is_file());
}

TEST_F(VfsMutateTest, PseudoFilesystemPathsAreReadOnly) {
    struct Op { const char* name; std::function<Result<void, VfsError>(Vfs&, const char*)> run; };
    const Op ops[] = {
        {"write_file", [](Vfs& v, const char* p) { return v.write_file(p, "x", 0644); }},
        {"write_file_mode", [](Vfs& v, const char* p) { return v.write_file_mode("/", p, "x", 0644); }},
        {"create_dir_all", [](Vfs& v, const char* p) { return v.create_dir_all("/", p); }},
        {"mkdir", [](Vfs& v, const char* p) { return v.mkdir("/", p); }},
        {"symlink", [](Vfs& v, const char* p) { return v.symlink("/", "t", p); }},
        {"set_times", [](Vfs& v, const char* p) { return v.set_times("/", p, 1); }},
        {"chmod", [](Vfs& v, const char* p) { return v.chmod("/", p, 0); }},
        {"set_owner", [](Vfs& v, const char* p) { return v.set_owner("/", p, 1, 1); }},
        {"remove_file", [](Vfs& v, const char* p) { return v.remove_file("/", p); }},
        {"remove_dir", [](Vfs& v, const char* p) { return v.remove_dir("/", p); }},
    };
    struct Path { const char* given; const char* reported; };
    const Path paths[] = {{"/proc", "/proc"}, {"/dev", "/dev"}, {"/proc/1/x", "/proc/1/x"}, {"/dev/./null/", "/dev/null"},
                          {"/tmp/../dev/x", "/dev/x"}};
    for (const auto& op : ops)
        for (const auto& p : paths) {
            auto r = op.run(vfs, p.given);
            ASSERT_FALSE(r) << op.name << " " << p.given;
            EXPECT_EQ(r.error(), VfsError::read_only(p.reported)) << op.name << " " << p.given;
        }
    EXPECT_TRUE(vfs.write_file("/procx", "x", 0644));
    EXPECT_TRUE(vfs.mkdir("/", "/devices"));
}

TEST_F(VfsMutateTest, LinksCannotCarryCreationIntoPseudoDirectories) {
    ASSERT_TRUE(vfs.symlink("/", "/proc", "/tmp/p"));
    ASSERT_TRUE(vfs.symlink("/", "/dev/sub", "/tmp/d"));
    EXPECT_EQ(vfs.write_file("/tmp/p/x", "x", 0644).error(), VfsError::read_only("/proc/x"));
    EXPECT_EQ(vfs.write_file_mode("/", "/tmp/p/x", "x", 0644).error(), VfsError::read_only("/proc/x"));
    EXPECT_EQ(vfs.mkdir("/", "/tmp/p/x").error(), VfsError::read_only("/proc/x"));
    EXPECT_EQ(vfs.create_dir_all("/", "/tmp/d/y").error(), VfsError::read_only("/dev/sub"));
    EXPECT_EQ(vfs.set_times("/", "/tmp/p/x", 1).error(), VfsError::read_only("/proc/x"));
    for (const auto& [path, node] : vfs.tree()) {
        EXPECT_FALSE(path.starts_with("/proc")) << path;
        EXPECT_FALSE(path.starts_with("/dev")) << path;
    }
}

TEST_F(VfsMutateTest, NameAndPathLengthLimits) {
    const std::string name255(255, 'n');
    EXPECT_TRUE(vfs.write_file("/tmp/" + name255, "", 0644));
    EXPECT_EQ(vfs.write_file("/tmp/" + name255 + "x", "", 0644).error(), VfsError::name_too_long("/tmp/" + name255 + "x"));
    EXPECT_EQ(vfs.mkdir("/tmp", std::string(256, 'm')).error().kind, VfsError::Kind::NameTooLong);

    // Build a 4095-byte path out of 255-byte components below /tmp.
    std::string dir = "/tmp";
    while (4095 - dir.size() - 1 > 255) dir += "/" + std::string(255, 'd');
    const std::size_t last = 4095 - dir.size() - 1;
    ASSERT_LT(last, 256u);
    const std::string ok = dir + "/" + std::string(last, 'z');
    ASSERT_EQ(ok.size(), 4095u);
    EXPECT_TRUE(vfs.write_file(ok, "", 0644));
    const std::string too_long = dir + "/" + std::string(last + 1, 'z');
    EXPECT_EQ(vfs.write_file(too_long, "", 0644).error(), VfsError::name_too_long(too_long));
    EXPECT_EQ(vfs.create_dir_all("/", too_long).error(), VfsError::name_too_long(too_long));
}

TEST_F(VfsMutateTest, SetTimes) {
    ASSERT_TRUE(vfs.set_times("/tmp", "new", 42));
    const VfsNode* n = vfs.node("/tmp/new");
    ASSERT_NE(n, nullptr);
    EXPECT_TRUE(n->is_file());
    EXPECT_EQ(n->mode, 0644u);
    EXPECT_EQ(n->mtime_ms, 42u);
    EXPECT_EQ(*n->data(), "");
    EXPECT_EQ(vfs.used(), kCost);

    ASSERT_TRUE(vfs.symlink("/", "/tmp/new", "/tmp/l"));
    ASSERT_TRUE(vfs.set_times("/", "/tmp/l", 7));
    EXPECT_EQ(vfs.node("/tmp/l")->mtime_ms, 7u);
    EXPECT_EQ(vfs.node("/tmp/new")->mtime_ms, 42u);

    ASSERT_TRUE(vfs.set_times("/", "/", 3));
    EXPECT_EQ(vfs.node("/")->mtime_ms, 3u);
    EXPECT_EQ(vfs.set_times("/", "/nodir/x", 1).error(), VfsError::not_found("/nodir"));
    EXPECT_EQ(vfs.set_times("/", "/tmp/new/x", 1).error(), VfsError::not_a_dir("/tmp/new"));
}

TEST_F(VfsMutateTest, ChmodAndOwner) {
    ASSERT_TRUE(vfs.write_file("/tmp/f", "x", 0644));
    ASSERT_TRUE(vfs.symlink("/", "f", "/tmp/l"));
    ASSERT_TRUE(vfs.chmod("/tmp", "l", 0104755));
    EXPECT_EQ(vfs.node("/tmp/f")->mode, 04755u);
    EXPECT_EQ(vfs.node("/tmp/l")->mode, 0777u);
    EXPECT_EQ(vfs.chmod("/", "nope", 0).error(), VfsError::not_found("nope"));

    ASSERT_TRUE(vfs.set_owner("/", "/tmp/l", 1000, std::nullopt));
    EXPECT_EQ(vfs.node("/tmp/f")->uid, 1000u);
    EXPECT_EQ(vfs.node("/tmp/f")->gid, 0u);
    ASSERT_TRUE(vfs.set_owner("/", "/tmp/f", std::nullopt, 50));
    EXPECT_EQ(vfs.node("/tmp/f")->uid, 1000u);
    EXPECT_EQ(vfs.node("/tmp/f")->gid, 50u);
    EXPECT_EQ(vfs.node("/tmp/l")->uid, 0u);
    EXPECT_EQ(vfs.set_owner("/", "nope", 1, 1).error(), VfsError::not_found("nope"));
}

TEST_F(VfsMutateTest, MkdirAndSymlinkErrors) {
    ASSERT_TRUE(vfs.mkdir("/tmp", "d"));
    EXPECT_EQ(vfs.node("/tmp/d")->mode, 0755u);
    EXPECT_EQ(vfs.mkdir("/tmp", "d").error(), VfsError::exists("d"));
    EXPECT_EQ(vfs.mkdir("/", "/").error(), VfsError::exists("/"));
    EXPECT_EQ(vfs.mkdir("/", "/no/such").error(), VfsError::not_found("/no"));
    ASSERT_TRUE(vfs.write_file("/tmp/f", "", 0644));
    EXPECT_EQ(vfs.mkdir("/", "/tmp/f/sub").error(), VfsError::not_a_dir("/tmp/f"));

    ASSERT_TRUE(vfs.symlink("/tmp", "../anything/at/all", "s"));
    const VfsNode* s = vfs.node("/tmp/s");
    EXPECT_EQ(*s->link_target(), "../anything/at/all");
    EXPECT_EQ(s->mode, 0777u);
    EXPECT_EQ(vfs.used(), kCost + kCost + kCost + 18);
    EXPECT_EQ(vfs.symlink("/tmp", "x", "s").error(), VfsError::exists("s"));
    EXPECT_EQ(vfs.symlink("/tmp", "x", "f").error(), VfsError::exists("f"));

    // A refused mkdir keeps the node number it took.
    const std::uint64_t next = vfs.next_node_id();
    vfs.set_capacity(vfs.used());
    EXPECT_EQ(vfs.mkdir("/tmp", "e").error(), VfsError::no_space());
    EXPECT_EQ(vfs.next_node_id(), next + 1);
}

TEST_F(VfsMutateTest, Removal) {
    ASSERT_TRUE(vfs.write_file("/tmp/d/f", "abc", 0644));
    ASSERT_TRUE(vfs.symlink("/", "/tmp/d/f", "/tmp/lf"));
    EXPECT_EQ(vfs.remove_file("/", "/tmp/d").error(), VfsError::is_a_dir("/tmp/d"));
    EXPECT_EQ(vfs.remove_dir("/tmp", "d").error(), VfsError::not_empty("d"));
    EXPECT_EQ(vfs.remove_dir("/", "/tmp/d/f").error(), VfsError::not_a_dir("/tmp/d/f"));
    EXPECT_EQ(vfs.remove_dir("/", "/tmp/none").error(), VfsError::not_found("/tmp/none"));
    EXPECT_EQ(vfs.remove_file("/", "/tmp/none").error(), VfsError::not_found("/tmp/none"));

    // Removing a link removes the link only.
    ASSERT_TRUE(vfs.remove_file("/", "/tmp/lf"));
    EXPECT_NE(vfs.node("/tmp/d/f"), nullptr);
    consistent();
    ASSERT_TRUE(vfs.remove_file("/tmp/d", "f"));
    ASSERT_TRUE(vfs.remove_dir("/tmp", "d"));
    EXPECT_EQ(vfs.used(), 0u);
    // Native stubs go too.
    ASSERT_TRUE(vfs.remove_file("/", "/bin/ls"));
    EXPECT_EQ(vfs.node("/bin/ls"), nullptr);
}

TEST_F(VfsMutateTest, RmdirThroughLinkRemovesTheTargetAndLeavesTheLink) {
    ASSERT_TRUE(vfs.mkdir("/", "/tmp/empty"));
    ASSERT_TRUE(vfs.symlink("/", "/tmp/empty", "/tmp/le"));
    ASSERT_TRUE(vfs.remove_dir("/", "/tmp/le"));
    EXPECT_EQ(vfs.node("/tmp/empty"), nullptr);
    EXPECT_TRUE(vfs.node("/tmp/le")->is_symlink());
    EXPECT_EQ(vfs.lookup("/", "/tmp/le", true).error(), VfsError::not_found("/tmp/le"));
}

TEST_F(VfsMutateTest, RootDirectoryCannotBeRemoved) {
    Vfs empty(1000, kNow);
    EXPECT_EQ(empty.remove_dir("/", "/").error(), VfsError::invalid("/"));
    EXPECT_EQ(empty.remove_dir("/", ".").error(), VfsError::invalid("."));
    ASSERT_TRUE(empty.mkdir("/", "/d"));
    ASSERT_TRUE(empty.symlink("/", "/", "/d/up"));
    EXPECT_EQ(empty.remove_dir("/d", "up").error(), VfsError::invalid("up"));
    ASSERT_TRUE(empty.remove_file("/", "/d/up"));
    ASSERT_TRUE(empty.remove_dir("/", "/d"));
    EXPECT_EQ(empty.remove_dir("/", "//").error(), VfsError::invalid("//"));
    EXPECT_TRUE(empty.node("/")->is_dir());
}

TEST_F(VfsMutateTest, OrphansKeepTheirBytesAndCostUntilDropped) {
    ASSERT_TRUE(vfs.write_file("/tmp/f", "hello", 0600));
    const std::uint64_t used = vfs.used();
    const std::uint64_t node_id = vfs.node("/tmp/f")->node_id;

    auto id = vfs.move_to_orphans("/tmp/f");
    ASSERT_TRUE(id);
    EXPECT_EQ(*id, 1u);
    EXPECT_EQ(vfs.next_orphan_id(), 2u);
    EXPECT_EQ(vfs.node("/tmp/f"), nullptr);
    EXPECT_EQ(vfs.used(), used);
    EXPECT_EQ(vfs.orphan(1)->node_id, node_id);
    EXPECT_EQ(vfs.orphan(1)->mode, 0600u);

    // A new file at the same path is independent.
    ASSERT_TRUE(vfs.write_file("/tmp/f", "other", 0644));
    EXPECT_EQ(vfs.read_orphan_range(1, 0, 100).value(), "hello");
    ASSERT_TRUE(vfs.write_orphan_range(1, 7, "!!"));
    EXPECT_EQ(*vfs.orphan(1)->data(), std::string("hello\0\0!!", 9));
    EXPECT_EQ(vfs.orphan_len(1).value(), 9u);
    EXPECT_EQ(vfs.read_bytes("/", "/tmp/f").value(), "other");
    consistent();

    // Growing by truncation appends zero bytes and costs the difference.
    const std::uint64_t before_grow = vfs.used();
    vfs.set_now_ms(kNow + 5);
    ASSERT_TRUE(vfs.resize_orphan(1, 20));
    EXPECT_EQ(vfs.used(), before_grow + 11);
    EXPECT_EQ(vfs.orphan(1)->mtime_ms, kNow + 5);
    EXPECT_EQ(vfs.orphan(1)->data()->substr(9), std::string(11, '\0'));
    ASSERT_TRUE(vfs.resize_orphan(1, 2));
    EXPECT_EQ(vfs.used(), before_grow - 7);
    consistent();

    // A second orphan from the new file; dropping keeps the referenced one.
    auto second = vfs.move_to_orphans("/tmp/f");
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, 2u);
    vfs.drop_unreferenced_orphans({2});
    EXPECT_EQ(vfs.orphan(1), nullptr);
    EXPECT_EQ(vfs.orphan_len(1).error(), VfsError::unlinked_file(1));
    EXPECT_EQ(vfs.read_orphan_range(1, 0, 1).error(), VfsError::unlinked_file(1));
    EXPECT_EQ(vfs.write_orphan_range(1, 0, "x").error(), VfsError::unlinked_file(1));
    EXPECT_EQ(vfs.resize_orphan(1, 0).error(), VfsError::unlinked_file(1));
    EXPECT_EQ(vfs.used(), kCost + 5);
    vfs.drop_unreferenced_orphans({});
    EXPECT_EQ(vfs.used(), 0u);
    EXPECT_TRUE(vfs.orphans().empty());
}

TEST_F(VfsMutateTest, OrphanGuardsAndCapacity) {
    EXPECT_EQ(vfs.move_to_orphans("/tmp/none").error(), VfsError::not_found("/tmp/none"));
    EXPECT_EQ(vfs.move_to_orphans("/tmp").error(), VfsError::invalid("/tmp"));
    EXPECT_EQ(vfs.move_to_orphans("/proc/x").error(), VfsError::read_only("/proc/x"));
    ASSERT_TRUE(vfs.write_file("/tmp/f", "ab", 0644));
    auto id = vfs.move_to_orphans("/tmp/f");
    ASSERT_TRUE(id);
    vfs.set_capacity(vfs.used() + 3);
    EXPECT_EQ(vfs.write_orphan_range(*id, 2, "1234").error(), VfsError::no_space());
    EXPECT_EQ(vfs.resize_orphan(*id, 6).error(), VfsError::no_space());
    EXPECT_EQ(vfs.orphan_len(*id).value(), 2u);
    EXPECT_TRUE(vfs.write_orphan_range(*id, 2, "123"));
    EXPECT_EQ(vfs.write_orphan_range(*id, kU64Max, "x").error(), VfsError::no_space());
}

TEST_F(VfsMutateTest, RangesAndResizeByPath) {
    ASSERT_TRUE(vfs.write_file("/tmp/f", "abc", 0644));
    ASSERT_TRUE(vfs.write_file_range("/tmp/f", 5, "xy"));
    EXPECT_EQ(*vfs.node("/tmp/f")->data(), std::string("abc\0\0xy", 7));
    ASSERT_TRUE(vfs.write_file_range("/tmp/f", 0, "Z"));
    EXPECT_EQ(vfs.node("/tmp/f")->data()->substr(0, 3), "Zbc");
    consistent();
    ASSERT_TRUE(vfs.resize_file("/tmp/f", 1));
    EXPECT_EQ(*vfs.node("/tmp/f")->data(), "Z");
    ASSERT_TRUE(vfs.resize_file("/tmp/f", 4));
    EXPECT_EQ(*vfs.node("/tmp/f")->data(), std::string("Z\0\0\0", 4));
    consistent();

    EXPECT_EQ(vfs.write_file_range("/tmp/none", 0, "x").error(), VfsError::not_found("/tmp/none"));
    EXPECT_EQ(vfs.write_file_range("/tmp", 0, "x").error(), VfsError::is_a_dir("/tmp"));
    EXPECT_EQ(vfs.write_file_range("/bin/cat", 0, "x").error(), VfsError::invalid("/bin/cat"));
    EXPECT_EQ(vfs.write_file_range("/tmp/f", kU64Max, "x").error(), VfsError::invalid("/tmp/f"));
    EXPECT_EQ(vfs.resize_file("/tmp/none", 1).error(), VfsError::not_found("/tmp/none"));
    EXPECT_EQ(vfs.resize_file("/tmp", 1).error(), VfsError::is_a_dir("/tmp"));
    EXPECT_EQ(vfs.resize_file("/proc/x", 1).error(), VfsError::read_only("/proc/x"));
    // A link where the open file was: the length resolves, the node is not a regular file.
    ASSERT_TRUE(vfs.symlink("/", "/tmp/f", "/tmp/l"));
    EXPECT_EQ(vfs.resize_file("/tmp/l", 0).error(), VfsError::invalid("/tmp/l"));
    EXPECT_EQ(vfs.write_file_range("/tmp/l", 0, "x").error(), VfsError::invalid("/tmp/l"));

    vfs.set_capacity(vfs.used());
    EXPECT_EQ(vfs.write_file_range("/tmp/f", 4, "x").error(), VfsError::no_space());
    EXPECT_EQ(vfs.resize_file("/tmp/f", 5).error(), VfsError::no_space());
    EXPECT_TRUE(vfs.write_file_range("/tmp/f", 3, "x"));
}

TEST_F(VfsMutateTest, MissingPrefixes) {
    ASSERT_TRUE(vfs.create_dir_all("/", "/a"));
    ASSERT_TRUE(vfs.symlink("/", "/target", "/a/l"));
    using List = std::vector<std::string>;
    EXPECT_EQ(vfs.missing_prefixes("/a/b/c").value(), (List{"/a/b", "/a/b/c"}));
    EXPECT_EQ(vfs.missing_prefixes("/a/l/c").value(), (List{"/target", "/target/c"}));
    EXPECT_EQ(vfs.missing_prefixes("/").value(), List{});
    EXPECT_EQ(vfs.missing_dirs_size({"/x", "/work", "/y"}), 2 * kCost);
    ASSERT_TRUE(vfs.write_file("/a/f", "", 0644));
    EXPECT_EQ(vfs.missing_prefixes("/a/f/g").error(), VfsError::not_a_dir("/a/f"));
}

TEST_F(VfsMutateTest, GuardsAndCounters) {
    EXPECT_TRUE(Vfs::check_protected_path("/procfs"));
    EXPECT_TRUE(Vfs::check_protected_path("/developer"));
    EXPECT_EQ(Vfs::check_protected_path("/dev").error(), VfsError::read_only("/dev"));
    EXPECT_TRUE(Vfs::check_path_length("/" + std::string(255, 'a')));
    EXPECT_FALSE(Vfs::check_path_length("/" + std::string(256, 'a')));
    EXPECT_TRUE(vfs.check_node_budget(kU64Max - vfs.next_node_id()));
    EXPECT_EQ(vfs.check_node_budget(kU64Max - vfs.next_node_id() + 1).error(), VfsError::no_space());
    const std::uint64_t next = vfs.next_node_id();
    EXPECT_EQ(vfs.allocate_node_id().value(), next);
    EXPECT_EQ(vfs.next_node_id(), next + 1);
}

// A mixed sequence of operations, failures included: the incremental usage equals the full
// recomputation after every single step.
TEST_F(VfsMutateTest, IncrementalUsageMatchesRecomputationThroughout) {
    vfs.set_capacity(6000);
    const std::function<void()> steps[] = {
        [&] { (void)vfs.write_file("/w/a/b/f1", std::string(300, 'a'), 0644); },
        [&] { (void)vfs.write_file("/w/a/b/f1", std::string(10, 'a'), 0644); },
        [&] { (void)vfs.write_file("/w/x/y/z/big", std::string(9000, 'b'), 0644); },  // NoSpace
        [&] { (void)vfs.create_dir_all("/w", "c/d/e"); },
        [&] { (void)vfs.symlink("/", "/w/c", "/w/lc"); },
        [&] { (void)vfs.write_file("/w/lc/d/f2", "via link", 0644); },
        [&] { (void)vfs.write_file_mode("/w", "lc", "replaces link", 0600); },
        [&] { (void)vfs.mkdir("/", "/w/c"); },  // Exists
        [&] { (void)vfs.set_times("/w", "t", 9); },
        [&] { (void)vfs.write_file("/bin/cat", "x", 0755); },
        [&] { vfs.insert_base_entry("/bin/cat", NativeProgram::resumable(ProgramKind::Cat)); },
        [&] { (void)vfs.remove_dir("/", "/work"); },
        [&] { (void)vfs.mkdir("/", "/work"); },
        [&] { (void)vfs.move_to_orphans("/w/a/b/f1"); },
        [&] { (void)vfs.resize_orphan(1, 700); },
        [&] { (void)vfs.write_file_range("/w/c/d/f2", 100, "tail"); },
        [&] { (void)vfs.resize_file("/w/c/d/f2", 2); },
        [&] { (void)vfs.remove_file("/", "/w/c/d/f2"); },
        [&] { (void)vfs.remove_dir("/w/c/d", "e"); },
        [&] { (void)vfs.remove_dir("/", "/w/c"); },  // NotEmpty
        [&] { vfs.drop_unreferenced_orphans({}); },
        [&] { (void)vfs.take_node("/w/lc"); },
        [&] { vfs.store_node("/w/moved", VfsNode::symlink("abc", 0777, 99, 0)); },
    };
    // The listing by a scan of every key, as the child index must answer it.
    const auto scanned = [&](const std::string& dir) {
        const std::string prefix = dir == "/" ? "/" : dir + "/";
        std::vector<std::string> names;
        for (const auto& [key, node] : vfs.tree())
            if (key.size() > prefix.size() && key.starts_with(prefix) && key.find('/', prefix.size()) == std::string::npos)
                names.push_back(key.substr(prefix.size()));
        return names;
    };
    std::uint64_t peak = vfs.peak();
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        steps[i]();
        ASSERT_EQ(vfs.used(), vfs.compute_used()) << "after step " << i;
        for (const auto& [key, node] : vfs.tree()) {
            if (node.is_dir()) {
                ASSERT_EQ(vfs.list_child_names("/", key).value(), scanned(key)) << key << " after step " << i;
            }
        }
        EXPECT_GE(vfs.peak(), peak);
        peak = vfs.peak();
    }
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

// Changes made while the clock stands still still order; once the clock moves on they take its
// time again.
TEST(VfsClock, TimestampsStrictlyIncrease) {
    Vfs vfs(1u << 20, 0);
    vfs.insert_base_dir("/tmp");
    const std::uint64_t t = 1'735'689'600'000'000'000;
    vfs.advance_clock_ns(t);
    ASSERT_TRUE(vfs.write_file("/tmp/a", "x", 0644).has_value());
    vfs.advance_clock_ns(t);
    ASSERT_TRUE(vfs.write_file("/tmp/b", "y", 0644).has_value());
    vfs.advance_clock_ns(t);
    ASSERT_TRUE(vfs.mkdir("/", "/tmp/d").has_value());
    const auto a = vfs.metadata("/", "/tmp/a", false)->mtime_ns();
    const auto b = vfs.metadata("/", "/tmp/b", false)->mtime_ns();
    const auto d = vfs.metadata("/", "/tmp/d", false)->mtime_ns();
    EXPECT_EQ(a, t);
    EXPECT_EQ(b, t + 1);
    EXPECT_EQ(d, t + 2);
    EXPECT_EQ(FileStat::from_node(**vfs.lookup("/", "/tmp/b", false)).mtime_ns, t + 1);
    EXPECT_EQ(FileStat::from_node(**vfs.lookup("/", "/tmp/b", false)).mtime_ms, t / 1000000);

    vfs.advance_clock_ns(t + 5'000'000);
    ASSERT_TRUE(vfs.write_file("/tmp/a", "z", 0644).has_value());
    EXPECT_EQ(vfs.metadata("/", "/tmp/a", false)->mtime_ns(), t + 5'000'000);
    // A clock behind the last time given out never moves timestamps back.
    vfs.advance_clock_ns(t);
    EXPECT_EQ(vfs.now_ns(), t + 5'000'001);
}

}  // namespace
}  // namespace tw
