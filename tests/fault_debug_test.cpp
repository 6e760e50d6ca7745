// The log client when its write to the log pipe fails: the failure is noted
// in the LOGFAIL file (when that can be opened), the pipe is closed, and the
// next passing call opens it again; a write that would block only waits.  The client keeps process-wide state, so
// this program configures it once for all its cases.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/faults.hpp"
#include "support/peer.hpp"

namespace f = nstest::faults;
using nstest::logs;

static testing::Environment *const kLogEnv =
    testing::AddGlobalTestEnvironment(new nstest::ClientEnvironment);

namespace {

class LogWriteFailure : public testing::Test {
protected:
    void SetUp() override {
        DebugLog(NS_LOG_FAIL, "pipe open\n");  // the pipe stays open from here on
        logs().clear();
        withPipe_ = nstest::openFdCount();
        unlink(logFail().c_str());
        rmdir(logFail().c_str());
    }
    static std::string logFail() {
        return logs().dir() + "/LOGFAIL" + std::to_string(getpid()) + ".log";
    }

    f::Guard faults_;
    int withPipe_ = 0;
};

TEST_F(LogWriteFailure, IsNotedWithItsErrnoAndThePipeIsOpenedAgain) {
    f::failNth(f::Call::Write, 1, EIO);
    errno = EACCES;
    DebugLog(NS_LOG_FAIL, "lost\n");
    EXPECT_EQ(errno, EACCES) << "the caller's errno is kept";
    EXPECT_EQ(nstest::readFile(logFail()), "Failed to write log entry, errno is 5\n");
    EXPECT_EQ(nstest::openFdCount(), withPipe_ - 1) << "the pipe is closed";
    EXPECT_EQ(logs().records().size(), 0u);

    DebugLog(NS_LOG_FAIL, "next\n");
    EXPECT_EQ(logs().records().size(), 1u);
    EXPECT_EQ(nstest::openFdCount(), withPipe_);
    EXPECT_EQ(nstest::readFile(logFail()), "Failed to write log entry, errno is 5\n");
}

// A write that would block is no failure: the call waits for room and
// writes the record again.
TEST_F(LogWriteFailure, WriteThatWouldBlockWaitsAndWritesAgain) {
    f::failNth(f::Call::Write, 1, EAGAIN);
    DebugLog(NS_LOG_FAIL, "kept\n");
    EXPECT_EQ(logs().records().size(), 1u);
    EXPECT_EQ(nstest::openFdCount(), withPipe_);
    EXPECT_NE(access(logFail().c_str(), F_OK), 0) << "no failure noted";
}

TEST_F(LogWriteFailure, UnopenableLogFailFileStillClosesThePipe) {
    ASSERT_EQ(mkdir(logFail().c_str(), 0700), 0);  // fopen of a directory fails
    f::failNth(f::Call::Write, 1, EPIPE);
    DebugLog(NS_LOG_FAIL, "lost\n");
    EXPECT_EQ(nstest::openFdCount(), withPipe_ - 1);
    DebugLog(NS_LOG_FAIL, "next\n");
    EXPECT_EQ(logs().records().size(), 1u);
    EXPECT_EQ(nstest::openFdCount(), withPipe_);
    rmdir(logFail().c_str());
}

}  // namespace
