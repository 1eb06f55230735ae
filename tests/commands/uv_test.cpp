// uv and uvx: project files, the environment layout, package recording and launching.
#include <gtest/gtest.h>

#include <algorithm>

#include "case_fixture.h"

namespace tw::command_test {
namespace {

constexpr std::string_view kTemplate = "[project]\nname = \"app\"\nversion = \"0.1.0\"\ndependencies = []\n";

bool has_label(const Machine& m, std::string_view label) {
    return std::ranges::find(m.unsupported_labels.labels(), label) != m.unsupported_labels.labels().end();
}

std::string installed(const Machine& m) {
    std::string names;
    for (const auto& entry : m.installed_packages) names += entry.first + " ";
    return names;
}

TEST(Uv, InitWritesTheTemplateOnceWithAnOptionalPythonRequest) {
    Machine m = fresh_machine();
    EXPECT_EQ(run_in(m, "uv init").status, 0);
    EXPECT_EQ(file_contents(m, "/tmp/pyproject.toml"), kTemplate);
    EXPECT_EQ(run_in(m, "echo changed > pyproject.toml; uv init --python 3.12").status, 0);
    EXPECT_EQ(file_contents(m, "/tmp/pyproject.toml"), "changed\n");
    EXPECT_EQ(file_contents(m, "/tmp/.python-version"), "<missing>");
    EXPECT_FALSE(m.vfs.is_dir_at("/", "/tmp/.venv"));

    struct Init {
        std::string args;
        std::string version;
    };
    for (const Init& c : {Init{"--python 3.12", "3.12"}, Init{"-p python3.14", "3.14"},
                          Init{"--no-progress --python=3.11 -p 3.13", "3.13"}}) {
        SCOPED_TRACE(c.args);
        Machine fresh = fresh_machine();
        Ran ran = run_in(fresh, "uv init " + c.args);
        EXPECT_EQ(ran.status, 0);
        EXPECT_EQ(ran.err, "");
        EXPECT_EQ(file_contents(fresh, "/tmp/pyproject.toml"),
                  std::string(kTemplate) + "requires-python = \">=" + c.version + "\"\n");
        EXPECT_EQ(file_contents(fresh, "/tmp/.python-version"), c.version + "\n");
    }
}

TEST(Uv, InitRefusals) {
    for (std::string args : {"--python 3.10", "--python", "-p python3.9", "--bare", "app"}) {
        SCOPED_TRACE(args);
        Machine m = fresh_machine();
        Ran ran = run_in(m, "uv init " + args);
        EXPECT_EQ(ran.status, 2);
        EXPECT_EQ(ran.err, "uv: unsupported init option or Python selector\n");
        EXPECT_TRUE(has_label(m, "uv:init-options"));
        EXPECT_EQ(file_contents(m, "/tmp/pyproject.toml"), "<missing>");
    }
    Machine m = fresh_machine();
    Ran ran = run_in(m, "mkdir .python-version; uv init -p 3.12");
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.err, "uv: cannot record Python request: Is a directory: /tmp/.python-version\n");
    EXPECT_EQ(file_contents(m, "/tmp/pyproject.toml"), "<missing>");
    ran = run_in(m, "rmdir .python-version; mkdir pyproject.toml; uv init");
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.err, "uv: cannot create pyproject.toml: Is a directory: /tmp/pyproject.toml\n");
}

TEST(Uv, AddInsertsEntriesAndRecordsPackages) {
    Machine m = fresh_machine();
    EXPECT_EQ(run_in(m, "uv add numpy").status, 0);
    EXPECT_EQ(file_contents(m, "/tmp/pyproject.toml"),
              "[project]\nname = \"app\"\nversion = \"0.1.0\"\ndependencies = [\n    \"numpy\",]\n");
    EXPECT_EQ(run_in(m, "uv add pytest && uv add numpy && uv add NumPy==2 numpy").status, 0);
    EXPECT_EQ(file_contents(m, "/tmp/pyproject.toml"),
              "[project]\nname = \"app\"\nversion = \"0.1.0\"\ndependencies = [\n    \"pytest\",\n    \"numpy\",]\n");
    EXPECT_EQ(installed(m), "numpy pytest ");
    EXPECT_EQ(file_contents(m, "/tmp/.venv/bin/python"), "#!tarnwick-python\n");
    EXPECT_EQ(file_contents(m, "/tmp/uv.lock"), "# tarnwick uv.lock\n");

    Machine c = fresh_machine();
    EXPECT_EQ(run_in(c, "uv init && uv add numpy==1.26 'pytest>=8' --no-progress").status, 0);
    EXPECT_EQ(file_contents(c, "/tmp/pyproject.toml"),
              "[project]\nname = \"app\"\nversion = \"0.1.0\"\ndependencies = [\n    \"pytest>=8\",\n"
              "    \"numpy==1.26\",]\n");
    EXPECT_EQ(installed(c), "numpy pytest ");
}

TEST(Uv, AddSkipsOnlyAPackageTheListAlreadyNames) {
    // A longer name holding the new one, or the name elsewhere in the file, is no reason to skip.
    Machine m = fresh_machine();
    put_file(m, "/tmp/pyproject.toml",
             "[project]\nname = \"numpy-demo\"\ndependencies = [\"pytest-json-ctrf>=1\"]\n");
    EXPECT_EQ(run_in(m, "uv add pytest numpy").status, 0);
    EXPECT_EQ(file_contents(m, "/tmp/pyproject.toml"),
              "[project]\nname = \"numpy-demo\"\ndependencies = [\n    \"numpy\",\n    \"pytest\",\"pytest-json-ctrf>=1\"]\n");
    EXPECT_EQ(run_in(m, "uv add Pytest_JSON_CTRF pytest").status, 0);
    EXPECT_EQ(file_contents(m, "/tmp/pyproject.toml"),
              "[project]\nname = \"numpy-demo\"\ndependencies = [\n    \"numpy\",\n    \"pytest\",\"pytest-json-ctrf>=1\"]\n");
}

TEST(Uv, AddReportsAFailedWrite) {
    Machine m = fresh_machine();
    Ran ran = run_in(m, "mkdir pyproject.toml; uv add numpy");
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.err, "uv: cannot write pyproject.toml: Is a directory: /tmp/pyproject.toml\n");
    EXPECT_TRUE(m.vfs.is_dir_at("/", "/tmp/pyproject.toml"));
    EXPECT_FALSE(m.vfs.is_dir_at("/", "/tmp/.venv"));
}

TEST(Uv, SyncVenvAndPipInstall) {
    Machine m = fresh_machine();
    Ran ran = run_in(m, "uv init && uv add numpy && uv sync && uv lock");
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(installed(m), "numpy ");
    EXPECT_TRUE(m.vfs.is_dir_at("/", "/tmp/.venv/bin"));
    EXPECT_EQ(file_contents(m, "/tmp/.venv/bin/pip"), "#!/bin/sh\npip \"$@\"\n");
    EXPECT_EQ(file_contents(m, "/tmp/.venv/bin/activate"),
              "VIRTUAL_ENV='/tmp/.venv'; export VIRTUAL_ENV; PATH=\"$VIRTUAL_ENV/bin:$PATH\"; export PATH\n");
    EXPECT_EQ(m.vfs.metadata("/", "/tmp/.venv/bin/python", true)->mode & 0777, 0755u);
    EXPECT_EQ(m.vfs.metadata("/", "/tmp/.venv/bin/activate", true)->mode & 0777, 0644u);

    // Entries over several lines, with constraints; requirements.txt beside it.
    Machine s = fresh_machine();
    put_file(s, "/tmp/pyproject.toml",
             "[project]\nname = \"x\"\ndependencies = [\n  \"pytest>=8\",\n  'numpy'\n]\n[tool.x]\nother = [\"flask\"]\n");
    put_file(s, "/tmp/requirements.txt", "pytest-json-ctrf\n");
    EXPECT_EQ(run_in(s, "uv sync").status, 0);
    EXPECT_EQ(installed(s), "numpy pytest pytest_json_ctrf ");

    Machine v = fresh_machine();
    EXPECT_EQ(run_in(v, "uv venv env1 && uv pip install --system numpy && . env1/bin/activate && echo $VIRTUAL_ENV")
                  .out,
              "/tmp/env1\n");
    EXPECT_TRUE(v.vfs.is_file_at("/", "/tmp/env1/bin/python"));
    EXPECT_TRUE(v.vfs.is_file_at("/", "/tmp/.venv/bin/python"));
    EXPECT_EQ(file_contents(v, "/tmp/uv.lock"), "# tarnwick uv.lock\n");
    EXPECT_EQ(installed(v), "numpy ");
    // A second layout keeps what is there.
    EXPECT_EQ(run_in(v, "echo mine > env1/bin/pip; uv venv env1; cat env1/bin/pip").out, "mine\n");
}

TEST(Uv, Refusals) {
    expect_cases({
        {"uv sync", "", 1, "uv: no pyproject.toml or requirements.txt found\n"},
        {"uv sync --frozen", "", 2, "uv: unsupported sync or lock option\n"},
        {"uv lock --check", "", 2, "uv: unsupported sync or lock option\n"},
        {"echo 'dependencies = [\"flask\"]' > pyproject.toml; uv sync", "", 1, "uv: package 'flask' is not bundled\n"},
        {"echo '-e .' > requirements.txt; uv lock", "", 1, "uv: unsupported requirement option '-e .'\n"},
        {"uv add requests", "", 1, "uv: package 'requests' is not bundled\n"},
        {"uv add", "", 1, "uv: no packages specified\n"},
        {"uv add --dev numpy", "", 1, "uv: unsupported option '--dev'\n"},
        {"uv pip install --no-progress numpy", "", 1, "uv: unsupported option '--no-progress'\n"},
        {"uv pip list", "", 2, "uv: unsupported invocation 'pip list'\n"},
        {"uv remove numpy", "", 2, "uv: unsupported command 'remove'\n"},
        {"uv venv -q", "", 2, "uv: unsupported venv argument\n"},
        {"uv venv a b", "", 2, "uv: unsupported venv argument\n"},
        {"uv", "", 2, "uv: unsupported invocation ''\n"},
        {"uv run python3.12 x.py", "", 2, "uv: unsupported invocation 'run python3.12 x.py'\n"},
        {"uv run", "", 2, "uv: unsupported invocation 'run'\n"},
        {"uv run --python 3.9 python", "", 2, "uv: Python selector '3.9' is not modeled\n"},
        {"uv run --with", "", 2, "uv: option '--with' requires a value\n"},
        {"uvx -w requests python", "", 2, "uv: package 'requests' is not bundled\n"},
        {"uv tool run --locked pytest", "", 2, "uv: unsupported launcher option '--locked'\n"},
        {"uvx --help; uv -h",
         "usage: uv {add,pip install,sync,lock,venv,run,tool run} ...\n"
         "usage: uv {add,pip install,sync,lock,venv,run,tool run} ...\n"},
    });
    Machine m = fresh_machine();
    run_in(m, "uv; uv sync; uv venv -q; uv remove x");
    for (std::string_view label :
         {"uv:", "uv:no pyproject.toml or requirements.txt found", "uv:venv-arguments", "uv:remove"})
        EXPECT_TRUE(has_label(m, label)) << label;
}

TEST(Uv, LauncherRecordsExtrasAndHandsOverTheCommand) {
    // uvx add behaves like uv add: the subcommand rules come before the invoked name.
    Machine m = fresh_machine();
    EXPECT_EQ(run_in(m, "uvx add numpy").status, 0);
    EXPECT_TRUE(m.vfs.is_file_at("/", "/tmp/pyproject.toml"));

    // python runs the interpreter; the test runner is not there yet and answers as a command
    // that is not there. The extras are recorded first all the same.
    Machine l = fresh_machine();
    Ran ran = run_in(l, "uvx --with numpy --python=python3.13 -w=pytest python -c 'print(1)'");
    EXPECT_EQ(installed(l), "numpy pytest ");
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(ran.out, "1\n");
    expect_cases({
        {"uv run -- --no-progress pytest -q", "", 127, "pytest: not implemented in tarnwick\n"},
        {"uv tool run ./bin/pytest", "", 127, "pytest: not implemented in tarnwick\n"},
        {"uv run python3 -c 'print(1)'", "1\n", 0, ""},
        {"uv run python -c 'import sys; sys.exit(3)'", "", 3, ""},
        {"pytest -q", "", 127, "pytest: not implemented in tarnwick\n"},
    });
}

}  // namespace
}  // namespace tw::command_test
