// Running a git sequence in the host's git and in the machine's, and comparing the two with
// object ids masked.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "case_fixture.h"

namespace tw::command_test {

inline constexpr const char* kPrelude =
    "export TZ=UTC GIT_AUTHOR_NAME=A GIT_AUTHOR_EMAIL=a@x GIT_COMMITTER_NAME=A GIT_COMMITTER_EMAIL=a@x "
    "GIT_AUTHOR_DATE='@1700000000 +0000' GIT_COMMITTER_DATE='@1700000000 +0000'; git init -q -b main && ";

// Words of 7 to 40 lower-case hexadecimal digits become "<id>".
inline std::string mask_ids(std::string_view text) {
    auto word = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    };
    auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (!word(text[i])) {
            out.push_back(text[i++]);
            continue;
        }
        std::size_t j = i;
        while (j < text.size() && word(text[j])) ++j;
        std::string_view token = text.substr(i, j - i);
        bool id = token.size() >= 7 && token.size() <= 40 && std::all_of(token.begin(), token.end(), hex);
        out += id ? std::string("<id>") : std::string(token);
        i = j;
    }
    return out;
}

inline std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string shell_quote(std::string_view text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline bool host_has_git() { return std::system("git --version >/dev/null 2>&1") == 0; }

// The sequence run by the host's bash and git in a fresh directory, without the user's or the
// system's git configuration.
inline Ran run_on_host(const std::string& script) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tw-git-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return {-1, "", "mkdtemp failed"};
    std::filesystem::path dir = pattern;
    std::filesystem::create_directory(dir / "w");
    std::string command = fmt::format(
        "cd {0}/w && env -i PATH=/usr/bin:/bin HOME={0} GIT_CONFIG_NOSYSTEM=1 LC_ALL=C bash -c {1} >{0}/out 2>{0}/err",
        dir.string(), shell_quote(std::string(kPrelude) + script));
    int raw = std::system(command.c_str());
    Ran ran{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(dir / "out"), slurp(dir / "err")};
    std::filesystem::remove_all(dir);
    return ran;
}

struct Sequence {
    std::string name;
    std::string script;
    bool compare_err = true;
};

// Runs each sequence on both sides and compares outputs (ids masked), messages and statuses.
inline void expect_sequences_match_host(const std::vector<Sequence>& table) {
    for (const Sequence& s : table) {
        SCOPED_TRACE(s.name);
        Ran host = run_on_host(s.script);
        Ran machine = run(std::string("mkdir -p /w && cd /w && ") + kPrelude + s.script);
        EXPECT_EQ(mask_ids(machine.out), mask_ids(host.out));
        if (s.compare_err) {
            EXPECT_EQ(mask_ids(machine.err), mask_ids(host.err));
        }
        EXPECT_EQ(machine.status, host.status);
    }
}

}  // namespace tw::command_test
