// The census's failure paths, with the system calls failing on demand.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

#include "admin/census.h"
#include "admin/nsadmin.h"
#include "support/faults.hpp"
#include "support/testutil.hpp"

namespace f = nstest::faults;

namespace {

class CensusFailure : public ::testing::Test {
protected:
    void SetUp() override {
        bGotBcastAddr = 1;  // no interface discovery
        BcastAddr = nstest::inetAddr(nstest::kBcastAddr, 16024);
        fds_ = nstest::openFdCount();
    }
    // Nothing left behind: no descriptor, no timer, SIGALRM at its default.
    void expectCleanedUp() {
        EXPECT_EQ(nstest::openFdCount(), fds_);
        EXPECT_EQ(alarm(0), 0u);
        struct sigaction act {};
        sigaction(SIGALRM, nullptr, &act);
        EXPECT_EQ(act.sa_handler, SIG_DFL);
    }

    nstest::ScopedConfig config_;
    f::Guard faults_;
    int fds_ = 0;
};

TEST_F(CensusFailure, NoSocketFailsTheCensusAndTheExitStatus) {
    f::failAll(f::Call::Socket, EMFILE);
    EXPECT_EQ(FindAllNS(), -1);
    char prog[] = "nsadmin", n[] = "-n";
    char *argv[] = {prog, n, nullptr};
    optind = 0;
    EXPECT_EQ(AdminMain(2, argv), 1);
    f::reset();
    expectCleanedUp();
}

TEST_F(CensusFailure, BindTriesPorts1025To32766OnlyThenGivesUp) {
    f::failAll(f::Call::Bind, EADDRINUSE);
    EXPECT_EQ(FindAllNS(), -1);
    EXPECT_EQ(f::calls(f::Call::Bind), 32766 - 1025 + 1);
    EXPECT_EQ(f::calls(f::Call::Sendto), 0);
    f::reset();
    expectCleanedUp();
}

TEST_F(CensusFailure, FailedReceiveEndsTheCensusAtOnce) {
    // A failed send does not stop the census; a failed receive ends it, and
    // the census still counts as run.
    f::failAll(f::Call::Sendto, ENETUNREACH);
    f::failNth(f::Call::Recvfrom, 1, EIO);
    testing::internal::CaptureStdout();
    EXPECT_EQ(FindAllNS(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(f::calls(f::Call::Sendto), 1);
    EXPECT_EQ(f::calls(f::Call::Recvfrom), 1);
    f::reset();
    expectCleanedUp();
}

// The timer runs out after the loop has tested its flag but before recvfrom
// has begun: the receive's own timeout ends the census.
TEST_F(CensusFailure, AlarmBeforeTheReceiveBeganStillEndsTheCensus) {
    f::beforeNth(f::Call::Recvfrom, 1, f::alarmRunsOut);
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    EXPECT_EQ(FindAllNS(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(5500));
    EXPECT_LT(took, std::chrono::milliseconds(8000)) << "the receive's own timeout ends it";
    EXPECT_EQ(f::calls(f::Call::Recvfrom), 1);
    f::reset();
    expectCleanedUp();
}

}  // namespace
