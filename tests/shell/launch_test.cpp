#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/machine.h"
#include "shell/command_outcome.h"
#include "shell/launch.h"

namespace tw {
namespace {

constexpr MachineLimits kRoomy{.cpu = 1'000'000'000, .memory = 1ULL << 30, .disk = 1 << 26, .output = 1 << 20};

TEST(SearchPath, FollowsPathEntriesInOrder) {
    Machine m = Machine::build(kRoomy);
    Vfs& vfs = m.vfs;
    ASSERT_TRUE(vfs.write_file("/opt/a/tool", "x", 0755).has_value());
    ASSERT_TRUE(vfs.create_dir_all("/", "/opt/dirfirst/tool").has_value());
    ASSERT_TRUE(vfs.write_file("/opt/plain/tool", "x", 0644).has_value());
    ASSERT_TRUE(vfs.write_file("/work/tool", "x", 0755).has_value());
    ASSERT_TRUE(vfs.write_file("/bin/only-in-bin", "x", 0755).has_value());

    using K = SearchResult::Kind;
    struct Case {
        std::optional<std::string_view> path;
        std::string_view word;
        SearchResult expected;
    };
    const Case cases[] = {
        // A directory earlier on PATH only counts for "denied"; the file later on is found.
        {"/opt/dirfirst:/opt/a", "tool", SearchResult::found("/opt/a/tool")},
        {"/opt/dirfirst:/opt/plain", "tool", SearchResult::denied("/opt/dirfirst/tool")},
        {"/opt/plain", "tool", SearchResult::denied("/opt/plain/tool")},
        {"/nowhere", "tool", SearchResult::not_found()},
        // An empty entry is the working directory; relative entries are joined to it.
        {"/nowhere:", "tool", SearchResult::found("/work/tool")},
        {"../opt/a", "tool", SearchResult::found("/opt/a/tool")},
        // Unset PATH: /bin, then /usr/bin. Empty PATH: nothing is searched.
        {std::nullopt, "only-in-bin", SearchResult::found("/bin/only-in-bin")},
        {std::nullopt, "ls", SearchResult::found("/bin/ls")},
        {"/usr/bin:/bin", "ls", SearchResult::found("/usr/bin/ls")},
        {"", "ls", SearchResult::not_found()},
        // A word with "/" is only joined to the working directory.
        {"", "./tool", SearchResult::found("/work/tool")},
        {"/opt/a", "../opt/plain/tool", SearchResult::denied("/opt/plain/tool")},
        {"/opt/a", "sub/tool", SearchResult::not_found()},
    };
    for (const Case& c : cases) {
        SearchResult r = search_path(vfs, "/work", c.path, c.word);
        EXPECT_EQ(r, c.expected) << c.word << " on " << c.path.value_or("(unset)");
    }
    EXPECT_EQ(search_path(vfs, "/", std::nullopt, "ls").kind, K::Found);
}

TEST(SearchPath, WasmMagic) {
    Machine m = Machine::build(kRoomy);
    ASSERT_TRUE(m.vfs.write_file("/w/ok", std::string("\0asm\1\0\0\0", 8), 0755).has_value());
    ASSERT_TRUE(m.vfs.write_file("/w/short", std::string("\0as", 3), 0755).has_value());
    ASSERT_TRUE(m.vfs.write_file("/w/text", "#!/bin/sh\n", 0755).has_value());
    EXPECT_TRUE(file_has_wasm_magic(m.vfs, "/w/ok"));
    EXPECT_FALSE(file_has_wasm_magic(m.vfs, "/w/short"));
    EXPECT_FALSE(file_has_wasm_magic(m.vfs, "/w/text"));
    EXPECT_FALSE(file_has_wasm_magic(m.vfs, "/w/missing"));
    EXPECT_FALSE(file_has_wasm_magic(m.vfs, "/usr/bin/ls"));
}

TEST(ParseSource, ChargesOnlyForTheParseAndReportsSyntaxErrors) {
    Machine m = Machine::build(kRoomy);
    const std::uint64_t memory = m.meter.memory_current();
    const std::uint64_t cpu = m.meter.cpu_used();
    Bytes err;
    auto ok = m.parse_source("echo a; echo b", err);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(m.meter.cpu_used() - cpu, 14u);
    EXPECT_EQ(m.meter.memory_current(), memory);
    EXPECT_GE(m.meter.memory_peak(), memory + 2 * 14 + 8192);
    EXPECT_EQ(err, "");

    auto bad = m.parse_source("if true", err);
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error(), 2);
    EXPECT_TRUE(err.starts_with("tarnwick: syntax error: unexpected end of file")) << err;
    EXPECT_TRUE(err.ends_with("\n"));

    Machine tight = Machine::build(MachineLimits{.cpu = 1'000'000, .memory = 1 << 22, .disk = 1 << 26, .output = 1 << 20});
    Bytes silent;
    const std::string big((1 << 21), 'x');
    auto refused = tight.parse_source(big, silent);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), 137);
    EXPECT_EQ(silent, "");
}

// A child of the boot shell whose standard output and error are captured, for launching into.
class LaunchRun : public ::testing::Test {
protected:
    LaunchRun() : m(Machine::build(kRoomy)) {}

    Pid child() {
        auto pid = m.create_child_process("test", true, false, false, GroupMode::Inherit);
        EXPECT_TRUE(pid.has_value());
        out_capture = *m.open_descriptions.insert_capture();
        err_capture = *m.open_descriptions.insert_capture();
        EXPECT_TRUE(m.install_descriptor(*pid, 1, out_capture).has_value());
        EXPECT_TRUE(m.install_descriptor(*pid, 2, err_capture).has_value());
        // The shell holds the captures too, so that they outlive the child.
        EXPECT_TRUE(m.install_descriptor(kFirstShellPid, 21, out_capture).has_value());
        EXPECT_TRUE(m.install_descriptor(kFirstShellPid, 22, err_capture).has_value());
        return *pid;
    }

    // Steps the child until it has exited; answers its status.
    std::int32_t run(Pid pid) {
        for (int i = 0; i < 100000; ++i) {
            const ProcessRecord* record = m.processes.find(pid);
            if (record == nullptr) return -1;
            if (record->status == ProcessStatus::Exited) {
                out = m.open_descriptions.take_captured_bytes(out_capture).value_or("<lost>");
                err = m.open_descriptions.take_captured_bytes(err_capture).value_or("<lost>");
                return record->exit_code;
            }
            std::optional<Pid> running = m.scheduler.running();
            if (!running) {
                auto dispatched = m.scheduler.dispatch();
                if (!dispatched || !*dispatched) return -2;
                running = *dispatched;
            }
            if (*running == kFirstShellPid) {
                (void)m.scheduler.yield_running();
                continue;
            }
            EXPECT_TRUE(m.states.select(*running).has_value());
            auto r = m.drive_process_step(*running, StepDriver::Host);
            EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
        }
        return -3;
    }

    std::int32_t launch_and_run(std::vector<std::string> argv) {
        const Pid pid = child();
        const std::string word = argv[0];
        auto launched = m.launch_command(pid, argv, word, false);
        EXPECT_TRUE(launched.has_value()) << (launched ? "" : launched.error());
        return run(pid);
    }

    Machine m;
    std::uint32_t out_capture = 0;
    std::uint32_t err_capture = 0;
    Bytes out;
    Bytes err;
};

TEST_F(LaunchRun, MissingProcessStateIsTheOnlyError) {
    auto r = m.launch_command(999999, {"cat"}, "cat", false);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "process state does not exist for PID 999999");
}

TEST_F(LaunchRun, ResumableProgramNamesReportNotFoundAndDenied) {
    m.states.active_mut().store_variable("PATH", "/nowhere");
    EXPECT_EQ(launch_and_run({"cat", "x"}), 127);
    EXPECT_EQ(err, "cat: command not found\n");

    ASSERT_TRUE(m.vfs.write_file("/opt/head", "", 0644).has_value());
    m.states.active_mut().store_variable("PATH", "/opt");
    EXPECT_EQ(launch_and_run({"head"}), 126);
    EXPECT_EQ(err, "head: /opt/head: permission denied\n");
}

TEST_F(LaunchRun, ResumableProgramRunsAndIsRecorded) {
    EXPECT_EQ(launch_and_run({"pwd", "ignored"}), 0);
    EXPECT_EQ(out, "/\n");
    const InvocationEvent& e = m.invocations.entries.back();
    EXPECT_EQ(e.argv, (std::vector<std::string>{"pwd", "ignored"}));
    EXPECT_EQ(e.trust, CommandTrust::Real);
    EXPECT_EQ(e.status, 0);  // completed when the process finished
}

TEST_F(LaunchRun, ShellOptionErrors) {
    struct Case {
        std::vector<std::string> argv;
        std::int32_t status;
        std::string err;
    };
    const Case cases[] = {
        {{"sh", "-c"}, 2, "bash: -c: option requires an argument\n"},
        {{"bash", "-q"}, 2, "bash: -q: invalid option\n"},
        {{"bash", "-eq", "-c", "true"}, 2, "bash: -q: invalid option\n"},
        {{"bash", "-o"}, 2, "bash: -o: option requires an argument\n"},
        {{"zsh", "-o", "nosuch"}, 2, "bash: nosuch: invalid option name\n"},
        {{"bash", "--norc", "/no/such/script", "a"}, 127, "bash: /no/such/script: No such file or directory\n"},
        {{"dash", "-c", "if"}, 2, "tarnwick: syntax error: unexpected end of file (expected `then`)\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(launch_and_run(c.argv), c.status) << c.argv[1];
        EXPECT_EQ(err, c.err) << c.argv[1];
    }
}

TEST_F(LaunchRun, ShellInstanceStartsFresh) {
    ProcessState& shell = m.states.active_mut();
    shell.store_variable("KEEP", "1");
    shell.export_variable("KEEP");
    shell.store_variable("DROP", "2");
    shell.job_table.push_back(JobEntry{});
    const Pid pid = child();
    ASSERT_TRUE(m.launch_command(pid, {"bash", "+e", "-o", "pipefail", "-c", "echo $0 $1", "name", "one"}, "bash", false)
                    .has_value());
    const ProcessState& state = *m.states.find(pid);
    EXPECT_TRUE(state.variables.contains("KEEP"));
    EXPECT_FALSE(state.variables.contains("DROP"));
    EXPECT_TRUE(state.job_table.empty());
    EXPECT_EQ(state.shell_name, "name");
    EXPECT_EQ(state.positional_params, std::vector<std::string>{"one"});
    EXPECT_EQ(state.positional_size, 3u + 48u);
    EXPECT_TRUE(state.options.pipefail);
    EXPECT_FALSE(state.options.errexit);
    EXPECT_EQ(state.shell_pid, pid);
    EXPECT_EQ(m.invocations.entries.back().argv[0], "bash");
}

TEST_F(LaunchRun, ExecResetClosesCloseOnExecDescriptorsAndDropsCommandTraps) {
    const Pid pid = child();
    ProcessState& state = *m.states.find_mut(pid);
    state.signal_traps[Signal::TERM] = Trap::command("echo bye");
    state.signal_traps[Signal::INT] = Trap::ignore();
    state.exit_trap = Trap::command("echo exit");
    state.err_trap_enabled = false;
    auto [read_end, write_end] = *m.open_descriptions.create_pipe();
    ASSERT_TRUE(m.install_descriptor(pid, 7, write_end).has_value());
    ASSERT_TRUE(m.states.find_mut(pid)->descriptors.set_cloexec(7, true).has_value());

    ASSERT_TRUE(m.exec_reset(pid).has_value());
    const ProcessState& after = *m.states.find(pid);
    EXPECT_FALSE(after.descriptors.is_open(7));
    EXPECT_TRUE(after.descriptors.cloexec().empty());
    EXPECT_EQ(after.signal_traps.size(), 1u);
    EXPECT_TRUE(after.signal_traps.at(Signal::INT).is_ignore());
    EXPECT_FALSE(after.exit_trap);
    EXPECT_TRUE(after.err_trap_enabled);
    (void)read_end;
}

TEST_F(LaunchRun, ExecArgvStoresTheDisplayLine) {
    const Pid pid = child();
    ASSERT_TRUE(m.exec_argv(pid, {"yes", "a b"}).has_value());
    EXPECT_EQ(m.processes.find(pid)->command, "yes a b");
}

TEST_F(LaunchRun, RegisteredStubWithoutRegistryEntry) {
    m.vfs.insert_base_entry("/usr/bin/ghost", NativeProgram::registered("/usr/bin/ghost"));
    EXPECT_EQ(launch_and_run({"ghost"}), 125);
    EXPECT_EQ(err, "registered program needs a command continuation\n");
}

}  // namespace
}  // namespace tw
