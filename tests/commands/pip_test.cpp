// pip over the bundled packages: install, list, freeze, show and their refusals.
#include <gtest/gtest.h>

#include <algorithm>

#include "case_fixture.h"

namespace tw::command_test {
namespace {

bool has_label(const Machine& m, std::string_view label) {
    return std::ranges::find(m.unsupported_labels.labels(), label) != m.unsupported_labels.labels().end();
}

TEST(Pip, InstallRecordsNormalizedNamesThatListFreezeAndShowReport) {
    expect_cases({
        {"pip install numpy==1.26.4 && pip list && pip freeze", "numpy 0.0.0\nnumpy==0.0.0\n"},
        {"pip install Pytest-JSON-CTRF 'pytest[testing]>=8' numpy && pip list",
         "numpy 0.0.0\npytest 0.0.0\npytest_json_ctrf 0.0.0\n"},
        {"pip3 install numpy; pip show NumPy", "Name: NumPy\nVersion: 0.0.0\n"},
        {"pip install numpy; pip show scipy", "", 1, "WARNING: Package(s) not found: scipy\n"},
        {"pip list; pip freeze; echo $?", "0\n"},
        {"pip -q --disable-pip-version-check list; pip install -q --no-deps --no-cache-dir numpy; pip --quiet list",
         "numpy 0.0.0\n"},
        {"pip", "usage: pip {install,list,freeze,show} [OPTIONS]\n"},
        {"pip -q; pip --help; pip -h",
         "usage: pip {install,list,freeze,show} [OPTIONS]\nusage: pip {install,list,freeze,show} [OPTIONS]\n"
         "usage: pip {install,list,freeze,show} [OPTIONS]\n"},
        {"pip list --format=json", "", 2, "pip: unsupported option\n"},
        {"pip freeze -a", "", 2, "pip: unsupported option\n"},
        {"pip show", "", 2, "pip: show requires one package name\n"},
        {"pip show numpy pytest", "", 2, "pip: show requires one package name\n"},
        {"pip uninstall numpy", "", 2, "pip: unsupported command 'uninstall'\n"},
    });
}

TEST(Pip, InstallRefusalsRecordNothing) {
    struct Refusal {
        std::string args;
        std::string message;
    };
    const Refusal refusals[] = {
        {"requests", "package 'requests' is not bundled"},
        {"numpy requests", "package 'requests' is not bundled"},
        {"", "no packages specified"},
        {"--quiet", "no packages specified"},
        {"./pkg", "unsupported package source './pkg'"},
        {"pkg.whl", "unsupported package source 'pkg.whl'"},
        {"pkg.tar.gz", "unsupported package source 'pkg.tar.gz'"},
        {"git+x", "unsupported package source 'git+x'"},
        {"https://example.com/numpy", "unsupported package source 'https://example.com/numpy'"},
        {"'numpy @ https://x/n.zip'", "unsupported package source 'numpy @ https://x/n.zip'"},
        {"'==1.0'", "invalid package specification '==1.0'"},
        {"'\"\"'", "invalid package specification '\"\"'"},
        {"--quiet=1 numpy", "option '--quiet' does not take an argument"},
        {"--no-progress numpy", "unsupported option '--no-progress'"},
        {"--index-url=x numpy", "unsupported option '--index-url'"},
        {"-U numpy", "unsupported option '-U'"},
        {"numpy -r", "option '-r' requires an argument"},
        {"numpy --requirement", "option '--requirement' requires an argument"},
        {"-- -numpy", "package '_numpy' is not bundled"},
        {"-r missing.txt", "cannot read requirements file 'missing.txt': No such file or directory: missing.txt"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.args);
        Machine m = fresh_machine();
        Ran ran = run_in(m, "pip install " + r.args);
        EXPECT_EQ(ran.status, 1);
        EXPECT_EQ(ran.out, "");
        EXPECT_EQ(ran.err, "pip: " + r.message + "\n");
        EXPECT_TRUE(has_label(m, "pip:" + r.message));
        EXPECT_TRUE(m.installed_packages.empty());
    }
}

TEST(Pip, UnsupportedCommandIsLabelled) {
    Machine m = fresh_machine();
    run_in(m, "pip download numpy");
    EXPECT_TRUE(has_label(m, "pip:download"));
}

TEST(Pip, RequirementsFiles) {
    Machine m = fresh_machine();
    put_file(m, "/tmp/req.txt", "# tools\nnumpy  # arrays\n\n  pytest>=8 ; python_version > '3'\r\n");
    put_file(m, "/tmp/dev.txt", "pytest-json-ctrf\n");
    put_file(m, "/tmp/editable.txt", "numpy\n-e .\n");
    put_file(m, "/tmp/foreign.txt", "numpy\nflask\n");
    EXPECT_EQ(run_in(m, "pip install -e x").err, "pip: unsupported option '-e'\n");
    Ran bad = run_in(m, "pip install -r editable.txt");
    EXPECT_EQ(bad.err, "pip: unsupported requirement option '-e .'\n");
    EXPECT_EQ(run_in(m, "pip install --requirement=foreign.txt").err, "pip: package 'flask' is not bundled\n");
    EXPECT_TRUE(m.installed_packages.empty());
    Ran ok = run_in(m, "pip install -qr req.txt && pip freeze");
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out, "numpy==0.0.0\npytest==0.0.0\n");
    ok = run_in(m, "pip install -r/tmp/dev.txt && pip freeze");
    EXPECT_EQ(ok.out, "numpy==0.0.0\npytest==0.0.0\npytest_json_ctrf==0.0.0\n");
}

}  // namespace
}  // namespace tw::command_test
