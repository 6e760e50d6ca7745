// The configuration module when its strings cannot be allocated.  Reading a
// file makes two allocations per entry, in this order: the environment
// string, then (for a key of the table) the variable's copy.
#include <gtest/gtest.h>

#include <cerrno>

#include "env_scenario.hpp"
#include "support/env.h"
#include "support/faults.hpp"

namespace {

namespace faults = nstest::faults;
using envtest::env;
using envtest::Files;
using envtest::inFreshProcess;

struct EnvAllocation : testing::Test {
    Files f;
    void SetUp() override {
        f.main("TALVEN_DIR=/main\nTALVEN_BINDIR=/bin\n");
        f.user("TALVEN_DIR=/user\nTALVEN_BINDIR=/ubin\n");
    }
    // In the child: the nth allocation from now fails.
    void failAllocation(int nth) const {
        f.use();
        faults::failNth(faults::Call::Malloc, nth, ENOMEM);
    }
};

TEST_F(EnvAllocation, LostEnvironmentStringOnlyLosesTheExport) {
    inFreshProcess([&] {
        ProcessType = 1;
        failAllocation(1);
        EXPECT_EQ(rbgetenv(), 0);
        faults::reset();
        EXPECT_STREQ(RbDir, "/main");
        EXPECT_EQ(env("TALVEN_DIR"), "(unset)");
        EXPECT_EQ(env("TALVEN_BINDIR"), "/bin");
    });
}

TEST_F(EnvAllocation, LostCopyInUserFileStopsItAndLeavesTheVariableNull) {
    inFreshProcess([&] {
        failAllocation(6);  // the user file's copy of TALVEN_DIR
        EXPECT_EQ(rbgetenv(), 0);
        faults::reset();
        EXPECT_EQ(RbDir, nullptr);
        EXPECT_STREQ(BinDir, "/bin");
        EXPECT_EQ(env("TALVEN_BINDIR"), "/bin");
    });
}

TEST_F(EnvAllocation, LostCopyInMainFileEndsTheProcess) {
    EXPECT_EXIT({ failAllocation(2); rbgetenv(); }, testing::ExitedWithCode(1),
                "^malloc: Cannot allocate memory\n$");
}

}  // namespace
