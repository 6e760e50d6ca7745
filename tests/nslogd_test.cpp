// The log server stand-in, driven with hand-made records.
#include <fcntl.h>
#include <poll.h>
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

// The inode at path, without following a link; 0 when nothing is there.
ino_t inodeAt(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
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

    std::string longest(sizeof(LogRecord::text) - 1, 'x');
    longest[0] = '\x01';
    std::string stream = record(LOG_KIND_EVENT, "event line\n") +
                         record(LOG_KIND_DEBUG, "debug line\n") +
                         record(LOG_KIND_EVENT | LOG_KIND_DEBUG, "two\nlines") +
                         record(LOG_KIND_DEBUG, longest);
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

    std::string last = "debug: \\x01" + std::string(sizeof(LogRecord::text) - 2, 'x') + "\n";
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

// What a careless or hostile neighbour on the same machine can do to the log
// server: a writer that dies in the middle of a record, a FIFO of someone
// else or open to others, a symbolic link at the path, a FIFO put in place
// of nslogd's own, a writer that pours bytes that make no record, and a
// standard output that nobody reads.
TEST(NslogdTest, HoldsItsOwnAgainstItsNeighbours) {
    TempDir dir, other;
    const std::string fifo = dir.file(LOG_PIPE_NAME);
    const std::vector<std::string> argv = {nstest::binPath("nslogd"), "-d", dir.path()};
    {
        SCOPED_TRACE("a torn record, then a FIFO renamed over nslogd's own");
        Child server(argv);
        ASSERT_TRUE(server.waitForOutput("ready"));
        int fd = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, record(LOG_KIND_EVENT, "torn").data(), 11), 11);
        close(fd);
        std::string whole = record(LOG_KIND_EVENT, "first\n") + record(LOG_KIND_DEBUG, "second\n");
        fd = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, whole.data(), whole.size()), static_cast<ssize_t>(whole.size()));
        close(fd);
        EXPECT_TRUE(server.waitForOutput("debug: second\n")) << server.out();
        EXPECT_EQ(server.out(), "ready " + fifo + "\nevent: first\ndebug: second\n");
        EXPECT_EQ(server.err(), "nslogd: 11 bytes skipped that were not a whole record\n");

        const std::string replacement = dir.file("replacement");
        ASSERT_EQ(mkfifo(replacement.c_str(), 0600), 0);
        const ino_t ino = inodeAt(replacement);
        ASSERT_EQ(rename(replacement.c_str(), fifo.c_str()), 0);
        EXPECT_EQ(server.stop(), 0);
        EXPECT_EQ(inodeAt(fifo), ino) << "removed a FIFO it did not make";
        unlink(fifo.c_str());
    }
    {
        SCOPED_TRACE("a FIFO that others may open, or of another user");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        ASSERT_EQ(chmod(fifo.c_str(), 0666), 0);
        auto shared = nstest::runProcess(argv, {}, 10);
        EXPECT_EQ(shared.status, 1);
        EXPECT_NE(shared.err.find("refused"), std::string::npos) << shared.err;
        EXPECT_EQ(shared.out, "");
        ASSERT_EQ(chmod(fifo.c_str(), 0600), 0);
        if (geteuid() == 0 && chown(fifo.c_str(), 65534, 65534) == 0) {
            auto foreign = nstest::runProcess(argv, {}, 10);
            EXPECT_EQ(foreign.status, 1);
            EXPECT_NE(foreign.err.find("refused"), std::string::npos) << foreign.err;
        }
        EXPECT_NE(inodeAt(fifo), 0u);
        unlink(fifo.c_str());
    }
    {
        SCOPED_TRACE("a symbolic link to a FIFO of this user");
        const std::string target = other.file(LOG_PIPE_NAME);
        ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
        ASSERT_EQ(symlink(target.c_str(), fifo.c_str()), 0);
        auto linked = nstest::runProcess(argv, {}, 10);
        EXPECT_EQ(linked.status, 1);
        EXPECT_EQ(linked.err, "nslogd: " + fifo + " exists and is not a FIFO\n");
        struct stat st;
        EXPECT_TRUE(lstat(fifo.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
        EXPECT_NE(inodeAt(target), 0u);
        unlink(fifo.c_str());
    }
    {
        SCOPED_TRACE("SIGTERM while a writer pours bytes that make no record");
        Child server(argv);
        ASSERT_TRUE(server.waitForOutput("ready"));
        Child writer({"/bin/sh", "-c", "exec head -c 100000000 /dev/zero >\"$0\"", fifo});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(writer.running());
        EXPECT_EQ(server.stop(), 0) << "not stopped by SIGTERM";
        EXPECT_EQ(server.out(), "ready " + fifo + "\n");
        EXPECT_EQ(inodeAt(fifo), 0u);
        unlink(fifo.c_str());
    }
    {
        SCOPED_TRACE("SIGTERM while standard output is full");
        const std::string out = other.file("out");
        ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
        int reader = open(out.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        fcntl(reader, F_SETPIPE_SZ, 4096);
        Child server({"/bin/sh", "-c", "exec \"$0\" -d \"$1\" >\"$2\"", argv[0], dir.path(), out});
        std::string ready;
        for (int i = 0; i < 500 && ready.find('\n') == std::string::npos; ++i) {
            struct pollfd p = {reader, POLLIN, 0};
            char buf[256];
            ssize_t n = poll(&p, 1, 10) == 1 ? read(reader, buf, sizeof buf) : 0;
            if (n > 0) ready.append(buf, static_cast<size_t>(n));
        }
        ASSERT_EQ(ready, "ready " + fifo + "\n");
        // Once the log pipe is full nslogd reads no more: the lines of what
        // the pipe holds are many times what its standard output can take.
        int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        std::string rec = record(LOG_KIND_EVENT, std::string(200, 'r') + "\n");
        int sent = 0;
        while (sent < 10000 && write(fd, rec.data(), rec.size()) == static_cast<ssize_t>(rec.size()))
            ++sent;
        EXPECT_LT(sent, 10000) << "the log pipe never filled";
        EXPECT_EQ(server.stop(), 0) << "not stopped by SIGTERM";
        EXPECT_EQ(inodeAt(fifo), 0u);
        close(fd);
        close(reader);
    }
}

}  // namespace
