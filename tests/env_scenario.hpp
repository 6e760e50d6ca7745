// Helpers of the configuration tests.  The configuration is loaded once per
// process, so every scenario that reads files runs in a child process of its
// own; the child's failed expectations are printed as usual and make it exit
// with status 1.
#ifndef TESTS_ENV_SCENARIO_HPP
#define TESTS_ENV_SCENARIO_HPP

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "support/testutil.hpp"

namespace envtest {

// Runs body in a forked child and expects it to end without a failure.
inline void inFreshProcess(const std::function<void()> &body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child never returns into the test runner.
        int status = 2;
        try {
            body();
            status = testing::Test::HasFailure() ? 1 : 0;
        } catch (...) {
        }
        std::fflush(nullptr);
        _exit(status);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

// A main file and a home directory that holds the user's file.
struct Files {
    nstest::TempDir dir;
    Files() { mkdir(home().c_str(), 0700); }
    std::string mainPath() const { return dir.file("talven.conf"); }
    std::string home() const { return dir.file("home"); }
    void main(const std::string &text) const { nstest::writeFile(mainPath(), text); }
    void user(const std::string &text) const {
        nstest::writeFile(home() + "/.talven.conf", text);
    }
    // In the child: point the module at these files.
    void use() const {
        setenv("TALVEN_CONFIG", mainPath().c_str(), 1);
        setenv("HOME", home().c_str(), 1);
    }
};

// The environment's value of name, or "(unset)".
inline std::string env(const char *name) {
    const char *v = std::getenv(name);
    return v != nullptr ? v : "(unset)";
}

}  // namespace envtest

#endif
