// The log client when its write to the log pipe fails: the failure is noted
// in the LOGFAIL file (when that can be opened), the pipe is closed, and the
// next passing call opens it again; a write that would block only waits.  The client keeps process-wide state, so
// this program configures it once for all its cases.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "support/debug.h"
#include "support/faults.hpp"
#include "support/testutil.hpp"

namespace f = nstest::faults;

namespace {

// The configured temporary directory with the log pipe, held open for
// reading as the log server holds it.
class LogServer : public testing::Environment {
public:
    void SetUp() override {
        dir_ = std::make_unique<nstest::TempDir>();
        const std::string config = dir_->file("talven.conf");
        nstest::writeFile(config, "TALVEN_TMPDIR=" + dir_->path() + "\nTALVEN_EVENTLEVEL=256\n");
        setenv("TALVEN_CONFIG", config.c_str(), 1);
        setenv("HOME", dir_->path().c_str(), 1);
        const std::string fifo = dir_->file(LOG_PIPE_NAME);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        fd_ = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override { close(fd_); }

    static LogServer *instance;
    std::string file(const std::string &name) const { return dir_->file(name); }
    // Whole records that arrived since the last call.
    int records() {
        LogRecord rec;
        int n = 0;
        while (read(fd_, &rec, sizeof rec) == static_cast<ssize_t>(sizeof rec)) ++n;
        return n;
    }

private:
    std::unique_ptr<nstest::TempDir> dir_;
    int fd_ = -1;
};

LogServer *LogServer::instance = static_cast<LogServer *>(
    testing::AddGlobalTestEnvironment(new LogServer));

class LogWriteFailure : public testing::Test {
protected:
    void SetUp() override {
        DebugLog(NS_LOG_FAIL, "pipe open\n");  // the pipe stays open from here on
        server().records();
        withPipe_ = nstest::openFdCount();
        unlink(logFail().c_str());
        rmdir(logFail().c_str());
    }
    static LogServer &server() { return *LogServer::instance; }
    static std::string logFail() {
        return server().file("LOGFAIL" + std::to_string(getpid()) + ".log");
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
    EXPECT_EQ(server().records(), 0);

    DebugLog(NS_LOG_FAIL, "next\n");
    EXPECT_EQ(server().records(), 1);
    EXPECT_EQ(nstest::openFdCount(), withPipe_);
    EXPECT_EQ(nstest::readFile(logFail()), "Failed to write log entry, errno is 5\n");
}

// A write that would block is no failure: the call waits for room and
// writes the record again.
TEST_F(LogWriteFailure, WriteThatWouldBlockWaitsAndWritesAgain) {
    f::failNth(f::Call::Write, 1, EAGAIN);
    DebugLog(NS_LOG_FAIL, "kept\n");
    EXPECT_EQ(server().records(), 1);
    EXPECT_EQ(nstest::openFdCount(), withPipe_);
    EXPECT_NE(access(logFail().c_str(), F_OK), 0) << "no failure noted";
}

TEST_F(LogWriteFailure, UnopenableLogFailFileStillClosesThePipe) {
    ASSERT_EQ(mkdir(logFail().c_str(), 0700), 0);  // fopen of a directory fails
    f::failNth(f::Call::Write, 1, EPIPE);
    DebugLog(NS_LOG_FAIL, "lost\n");
    EXPECT_EQ(nstest::openFdCount(), withPipe_ - 1);
    DebugLog(NS_LOG_FAIL, "next\n");
    EXPECT_EQ(server().records(), 1);
    EXPECT_EQ(nstest::openFdCount(), withPipe_);
    rmdir(logFail().c_str());
}

}  // namespace
