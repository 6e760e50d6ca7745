// The log server stand-in, driven with hand-made records.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "support/debug.h"
#include "support/testutil.hpp"

using nstest::Child;
using nstest::TempDir;

namespace {

std::string record(int kind, const std::string &text) {
    LogRecord r;
    std::memset(&r, 0, sizeof r);
    r.kind = kind;
    std::memcpy(r.text, text.data(), std::min(text.size(), sizeof r.text));
    return std::string(reinterpret_cast<const char *>(&r), sizeof r);
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool waitForExit(Child &c) {
    for (int i = 0; i < 500 && c.running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return !c.running();
}

// Without -d the FIFO goes into the configured TALVEN_TMPDIR; with neither
// there is nowhere to put it.
TEST(NslogdTest, DirectoryComesFromTheConfiguration) {
    TempDir cfg, tmp;
    nstest::writeFile(cfg.file("with.conf"), "TALVEN_TMPDIR=" + tmp.path() + "\n");
    nstest::writeFile(cfg.file("without.conf"), "TALVEN_DIR=" + cfg.path() + "\n");
    nstest::Env env = {{"HOME", cfg.path()}, {"TALVEN_TMPDIR", ""}};

    env.push_back({"TALVEN_CONFIG", cfg.file("with.conf")});
    Child server({nstest::binPath("nslogd")}, env);
    EXPECT_TRUE(server.waitForOutput("ready " + tmp.file(LOG_PIPE_NAME) + "\n"))
        << server.out() << server.err();
    EXPECT_EQ(server.stop(), 0);

    env.back().second = cfg.file("without.conf");
    auto noDir = nstest::runProcess({nstest::binPath("nslogd")}, env);
    EXPECT_EQ(noDir.status, 2);
    EXPECT_NE(noDir.err.find("no directory"), std::string::npos) << noDir.err;
}

// Records written in pieces of odd sizes come out whole, one line each.
TEST(NslogdTest, RecordsInPiecesStayAligned) {
    TempDir dir;
    std::string fifo = dir.file(LOG_PIPE_NAME);
    Child server({nstest::binPath("nslogd"), "-d", dir.path()});
    ASSERT_TRUE(server.waitForOutput("ready"));

    std::string unterminated(sizeof(LogRecord::text), 'x');
    unterminated[0] = '\x01';
    std::string stream = record(LOG_KIND_EVENT, "event line\n") +
                         record(LOG_KIND_DEBUG, "debug line\n") +
                         record(LOG_KIND_EVENT | LOG_KIND_DEBUG, "two\nlines") +
                         record(7, unterminated);
    int fd = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    size_t at = 0;
    for (size_t piece : {1, 100, 259, 300, 7}) {
        ASSERT_EQ(write(fd, stream.data() + at, piece), static_cast<ssize_t>(piece));
        at += piece;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(write(fd, stream.data() + at, stream.size() - at),
              static_cast<ssize_t>(stream.size() - at));
    close(fd);

    std::string last = "kind 7: \\x01" + std::string(sizeof(LogRecord::text) - 1, 'x') + "\n";
    ASSERT_TRUE(server.waitForOutput(last));
    EXPECT_EQ(server.out(), "ready " + fifo + "\n" +
                                "event: event line\n"
                                "debug: debug line\n"
                                "both: two\\nlines\n" +
                                last);
}

// SIGTERM and SIGINT end it with status 0; it removes the FIFO it made and
// leaves one it found.
TEST(NslogdTest, StopsOnSignalAndRemovesOnlyItsOwnFifo) {
    TempDir dir;
    std::string fifo = dir.file(LOG_PIPE_NAME);
    {
        Child server({nstest::binPath("nslogd"), "-d", dir.path()});
        ASSERT_TRUE(server.waitForOutput("ready"));
        EXPECT_TRUE(exists(fifo));
        EXPECT_EQ(server.stop(), 0);
        EXPECT_FALSE(exists(fifo));
    }
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Child server({nstest::binPath("nslogd"), "-d", dir.path()});
    ASSERT_TRUE(server.waitForOutput("ready"));
    kill(server.pid(), SIGINT);
    ASSERT_TRUE(waitForExit(server));
    EXPECT_EQ(server.stop(), 0);
    EXPECT_TRUE(exists(fifo));
}

}  // namespace
