// The event and debug log client.  DebugLog keeps process-wide once-state
// (configuration, event mask, pipe), so every case logs from a fresh forked
// process and this process only reads what arrives.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <linux/seccomp.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/debug.h"
#include "support/env.h"
#include "support/peer.hpp"

using nstest::LogTap;
using nstest::TempDir;

namespace {

constexpr char kContactFailed[] = "Failed to contact log server\n";

// The text of a record, after checking its terminator and zero fill.
std::string textOf(const LogRecord &r) {
    size_t len = strnlen(r.text, sizeof r.text);
    EXPECT_LT(len, sizeof r.text) << "no terminator";
    for (size_t i = len; i < sizeof r.text; ++i) {
        if (r.text[i] != 0) {
            ADD_FAILURE() << "byte " << i << " behind the terminator is not zero";
            break;
        }
    }
    return std::string(r.text, len);
}

// "Dec  7 03:10:15: [1234] DEBUG: " is checked and cut off the text.
std::string bodyOf(const LogRecord &r, pid_t pid, const std::string &prog = "DEBUG") {
    static const std::regex timeText("[A-Z][a-z][a-z] [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]");
    std::string text = textOf(r);
    std::string rest = ": [" + std::to_string(pid) + "] " + prog + ": ";
    if (text.size() < 15 + rest.size()) {
        ADD_FAILURE() << "no header: " << text;
        return std::string();
    }
    EXPECT_TRUE(std::regex_match(text.substr(0, 15), timeText)) << text;
    EXPECT_EQ(text.substr(15, rest.size()), rest) << text;
    return text.substr(15 + rest.size());
}

// Length of the header of the lines this process writes.
size_t headerLength() {
    return std::strlen(GetTimeForLog()) +
           static_cast<size_t>(std::snprintf(nullptr, 0, ": [%d] %s: ", getpid(), ProgName));
}

class DebugLogTest : public ::testing::Test {
protected:
    TempDir tmp;  // the configured temporary directory
    TempDir cfg;  // the configuration, an empty home, the child's standard error
    pid_t child = -1;

    // Starts body in a fresh process whose configuration file names tmp as
    // TALVEN_TMPDIR (none when !withTmpDir) and eventLevel as
    // TALVEN_EVENTLEVEL (absent when null).  Its exit status is body's
    // result.
    void start(const std::function<int()> &body, const char *eventLevel = nullptr,
               bool withTmpDir = true) {
        std::string conf = "TALVEN_DIR=" + cfg.path() + "\n";
        if (withTmpDir) conf += "TALVEN_TMPDIR=" + tmp.path() + "\n";
        if (eventLevel) conf += std::string("TALVEN_EVENTLEVEL=") + eventLevel + "\n";
        nstest::writeFile(cfg.file("talven.conf"), conf);
        mkdir(cfg.file("home").c_str(), 0700);
        std::fflush(nullptr);
        child = fork();
        if (child != 0) return;
        setenv("TALVEN_CONFIG", cfg.file("talven.conf").c_str(), 1);
        setenv("HOME", cfg.file("home").c_str(), 1);
        unsetenv("TALVEN_TMPDIR");
        unsetenv("TALVEN_EVENTLEVEL");
        int err = open(cfg.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err < 0 || dup2(err, STDERR_FILENO) < 0) _exit(126);
        close(err);
        _exit(body());
    }

    // Waits for the child (pulling the pipe meanwhile, so that it never
    // stays full); its exit status, 128 + signal, or -1 after 20 s.
    int wait(LogTap *reader = nullptr) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int st = 0;
        for (;;) {
            if (reader) reader->pull();
            if (waitpid(child, &st, WNOHANG) == child) break;
            if (std::chrono::steady_clock::now() > deadline) {
                kill(child, SIGKILL);
                waitpid(child, &st, 0);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (WIFEXITED(st)) return WEXITSTATUS(st);
        return WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
    }

    int run(const std::function<int()> &body, const char *eventLevel = nullptr,
            bool withTmpDir = true, LogTap *reader = nullptr) {
        start(body, eventLevel, withTmpDir);
        return wait(reader);
    }

    std::string childErr() const { return nstest::readFile(cfg.file("stderr")); }
};

// --- the masks --------------------------------------------------------------

TEST_F(DebugLogTest, MasksDecideTheKindOfEachRecord) {
    LogTap reader(tmp.path());
    ASSERT_TRUE(reader.ok());
    int st = run(
        [] {
            DebugLevel = 768;
            int fds = nstest::openFdCount();
            DebugLog(NS_LOG_FAIL, "fail %d", 1);        // both masks
            DebugLog(NS_LOG_TRACE, "trace %s", "x");    // the debug mask only
            DebugLog(1024, "neither");
            DebugLevel = 0;                             // read afresh at each call
            DebugLog(NS_LOG_TRACE, "trace unwanted");
            DebugLog(NS_LOG_FAIL, "fail %d", 2);        // the event mask only
            // The pipe was opened once and is held.
            return nstest::openFdCount() == fds + 1 ? 0 : 10;
        },
        "256", true, &reader);
    EXPECT_EQ(st, 0);
    auto recs = reader.records();
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].kind, LOG_KIND_EVENT | LOG_KIND_DEBUG);
    EXPECT_EQ(bodyOf(recs[0], child), "fail 1\n");
    EXPECT_EQ(recs[1].kind, LOG_KIND_DEBUG);
    EXPECT_EQ(bodyOf(recs[1], child), "trace x\n");
    EXPECT_EQ(recs[2].kind, LOG_KIND_EVENT);
    EXPECT_EQ(bodyOf(recs[2], child), "fail 2\n");
    EXPECT_EQ(childErr(), "");
}

// No log server here: a call that passes a mask says so on standard error,
// one that passes none does nothing at all.
TEST_F(DebugLogTest, DefaultEventMaskIsOne) {
    int st = run([] {
        DebugLog(NS_LOG_FAIL, "fail");
        if (TmpDir == nullptr) return 10;  // loaded all the same
        DebugLog(NS_LOG_TRACE, "trace");
        DebugLog(1, "level one");
        return 0;
    });
    EXPECT_EQ(st, 0);
    EXPECT_EQ(childErr(), kContactFailed);
}

TEST_F(DebugLogTest, EventMaskIsLoadedOnceAndZeroPassesNothing) {
    int st = run(
        [] {
            DebugLog(-1, "every bit");
            EventLevel = strdup("256");  // too late: the mask is loaded
            DebugLog(NS_LOG_FAIL, "fail");
            DebugLevel = NS_LOG_FAIL;
            DebugLog(NS_LOG_FAIL, "fail, debug");
            return 0;
        },
        "0");
    EXPECT_EQ(st, 0);
    EXPECT_EQ(childErr(), kContactFailed);
}

// --- the line ---------------------------------------------------------------

TEST_F(DebugLogTest, LineIsCutToFitAndEndsInOneNewline) {
    LogTap reader(tmp.path());
    ASSERT_TRUE(reader.ok());
    int st = run(
        [] {
            size_t hdr = headerLength();
            for (size_t total : {253, 254, 255, 300}) {
                std::string body(total - hdr, 'a');
                body.back() = 'z';
                DebugLog(NS_LOG_FAIL, "%s", body.c_str());
            }
            DebugLog(NS_LOG_FAIL, "ends in a newline\n");
            DebugLog(NS_LOG_FAIL, "two\nlines");
            DebugLog(NS_LOG_FAIL, "%s", "");
            DebugLog(NS_LOG_FAIL, "before%cafter", 0);
            return 0;
        },
        "256", true, &reader);
    EXPECT_EQ(st, 0);
    auto recs = reader.records();
    ASSERT_EQ(recs.size(), 8u);
    size_t hdr = 15 + (": [" + std::to_string(child) + "] DEBUG: ").size();
    std::vector<std::string> want = {
        std::string(253 - hdr - 1, 'a') + "z\n",  // 253: newline appended
        std::string(254 - hdr - 1, 'a') + "\n",   // 254: last character gives way
        std::string(255 - hdr - 1, 'a') + "\n",   // 255: likewise
        std::string(255 - hdr - 1, 'a') + "\n",   // 300: cut to 255
        "ends in a newline\n",
        "two\nlines",                             // has a newline: left alone
        "\n",
        "before\n",
    };
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(recs[i].kind, LOG_KIND_EVENT);
        EXPECT_EQ(bodyOf(recs[i], child), want[i]) << "record " << i;
    }
    EXPECT_EQ(textOf(recs[0]).size(), 254u);
    EXPECT_EQ(textOf(recs[3]).size(), 255u);
}

// The caller's format rides inside the header format; neither a '%' in the
// program name nor a cut through a conversion may reach the expansion.
// (The formats are built on purpose here, so the compiler cannot check them.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
TEST_F(DebugLogTest, HeaderFormatIsCutSafely) {
    LogTap reader(tmp.path());
    ASSERT_TRUE(reader.ok());
    int st = run(
        [] {
            ProgName = "pr%sog%n";
            DebugLog(NS_LOG_FAIL, "%d%%", 5);
            ProgName = "DEBUG";
            size_t hdr = headerLength();
            std::string longFormat(400, 'f');
            DebugLog(NS_LOG_FAIL, longFormat.c_str(), 0);
            // "%d" would end at index 255: only its '%' fits.
            std::string cutPercent = std::string(254 - hdr, 'f') + "%d";
            DebugLog(NS_LOG_FAIL, cutPercent.c_str(), 7);
            // "%.*s" would be cut after "%.*", which already takes an int.
            std::string cutPrecision = std::string(252 - hdr, 'f') + "%.*s";
            DebugLog(NS_LOG_FAIL, cutPrecision.c_str(), 3, "abc");
            return 0;
        },
        "256", true, &reader);
    EXPECT_EQ(st, 0);
    auto recs = reader.records();
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(bodyOf(recs[0], child, "pr%sog%n"), "5%\n");
    size_t hdr = 15 + (": [" + std::to_string(child) + "] DEBUG: ").size();
    EXPECT_EQ(bodyOf(recs[1], child), std::string(255 - hdr - 1, 'f') + "\n");
    EXPECT_EQ(bodyOf(recs[2], child), std::string(254 - hdr - 1, 'f') + "\n");
    EXPECT_EQ(bodyOf(recs[3], child), std::string(252 - hdr, 'f') + "\n");
}
#pragma GCC diagnostic pop

// --- failures ---------------------------------------------------------------

void onPipe(int) {}

// Nobody reads (a FIFO without reader, then no FIFO): each passing call says
// so and the caller goes on with its errno, SIGPIPE action and signal mask.
TEST_F(DebugLogTest, NoLogServerLeavesTheCallerAsItWas) {
    ASSERT_EQ(mkfifo(tmp.file(LOG_PIPE_NAME).c_str(), 0600), 0);
    std::string fifo = tmp.file(LOG_PIPE_NAME);
    int st = run(
        [fifo] {
            struct sigaction sa {};
            sa.sa_handler = onPipe;
            sigaction(SIGPIPE, &sa, nullptr);
            errno = EACCES;
            DebugLog(NS_LOG_FAIL, "no reader");
            if (errno != EACCES) return 11;
            struct sigaction now {};
            sigaction(SIGPIPE, nullptr, &now);
            if (now.sa_handler != onPipe) return 12;
            sigset_t mask;
            sigprocmask(SIG_BLOCK, nullptr, &mask);
            if (sigismember(&mask, SIGALRM)) return 13;
            // A caller that blocks SIGALRM itself keeps it blocked.
            sigset_t alarm;
            sigemptyset(&alarm);
            sigaddset(&alarm, SIGALRM);
            sigprocmask(SIG_BLOCK, &alarm, nullptr);
            unlink(fifo.c_str());
            DebugLog(NS_LOG_FAIL, "no FIFO");
            sigprocmask(SIG_BLOCK, nullptr, &mask);
            if (!sigismember(&mask, SIGALRM)) return 14;
            return 0;
        },
        "256");
    EXPECT_EQ(st, 0);
    EXPECT_EQ(childErr(), std::string(kContactFailed) + kContactFailed);
}

// Only a FIFO serves as the log pipe: a regular file or a symbolic link at
// its path is left untouched, without a descriptor left open, and the call
// fails as when no log server runs.  The pipe is not inherited across exec.
TEST_F(DebugLogTest, OnlyAFifoIsUsedAsTheLogPipe) {
    const std::string path = tmp.file(LOG_PIPE_NAME), target = tmp.file("target");
    nstest::writeFile(path, "regular file\n");
    nstest::writeFile(target, "other file\n");
    int st = run(
        [&] {
            int fds = nstest::openFdCount();
            DebugLog(NS_LOG_FAIL, "into a regular file");
            if (nstest::readFile(path) != "regular file\n") return 10;
            if (nstest::openFdCount() != fds) return 11;
            unlink(path.c_str());
            if (symlink(target.c_str(), path.c_str()) != 0) return 12;
            DebugLog(NS_LOG_FAIL, "through a link");
            if (nstest::readFile(target) != "other file\n") return 13;
            unlink(path.c_str());

            LogTap reader(tmp.path());
            if (!reader.ok()) return 14;
            DebugLog(NS_LOG_FAIL, "into the FIFO");
            if (reader.records().size() != 1) return 15;
            struct stat fifo;
            if (stat(path.c_str(), &fifo) != 0) return 16;
            for (int fd = 3; fd < 1024; ++fd) {
                struct stat st;
                if (fstat(fd, &st) != 0 || st.st_ino != fifo.st_ino) continue;
                if ((fcntl(fd, F_GETFL) & O_ACCMODE) != O_WRONLY) continue;  // the reader
                return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0 ? 0 : 17;
            }
            return 18;
        },
        "256");
    EXPECT_EQ(st, 0);
    EXPECT_EQ(childErr(), std::string(kContactFailed) + kContactFailed);
}

TEST_F(DebugLogTest, WithoutTmpDirEntriesAreDroppedSilently) {
    int st = run(
        [] {
            int fds = nstest::openFdCount();
            DebugLog(NS_LOG_FAIL, "dropped");
            DebugLog(NS_LOG_FAIL, "dropped too");
            if (nstest::openFdCount() != fds) return 10;
            return getStdoutLogFile("srv", 3) == nullptr ? 0 : 11;
        },
        "256", false);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(childErr(), "");
}

// The log server goes after the first record: the next write fails with
// EPIPE (SIGPIPE ignored, so the caller lives), the LOGFAIL file notes it,
// and the following calls open the pipe afresh.
TEST_F(DebugLogTest, FailedWriteIsNotedAndThePipeReopened) {
    nstest::Child server({nstest::binPath("nslogd"), "-d", tmp.path(), "-n", "1"});
    ASSERT_TRUE(server.waitForOutput("ready"));
    int go[2], back[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(back), 0);
    start(
        [&] {
            close(go[1]);
            close(back[0]);
            char c;
            DebugLog(NS_LOG_FAIL, "first");
            if (read(go[0], &c, 1) != 1) return 30;
            DebugLog(NS_LOG_FAIL, "second");  // EPIPE
            struct sigaction now {};
            sigaction(SIGPIPE, nullptr, &now);
            if (now.sa_handler != SIG_DFL) return 31;
            DebugLog(NS_LOG_FAIL, "third");   // the FIFO is gone
            if (write(back[1], "x", 1) != 1) return 32;
            if (read(go[0], &c, 1) != 1) return 33;
            DebugLog(NS_LOG_FAIL, "fourth");
            return 0;
        },
        "256");
    close(go[0]);
    close(back[1]);
    ASSERT_TRUE(server.waitForOutput("closed after 1 records"));
    EXPECT_EQ(server.stop(), 0);
    ASSERT_EQ(write(go[1], "x", 1), 1);
    char c;
    ASSERT_EQ(read(back[0], &c, 1), 1);
    nstest::Child again({nstest::binPath("nslogd"), "-d", tmp.path()});
    ASSERT_TRUE(again.waitForOutput("ready"));
    ASSERT_EQ(write(go[1], "x", 1), 1);
    close(go[1]);
    close(back[0]);
    EXPECT_EQ(wait(), 0);
    EXPECT_TRUE(again.waitForOutput("DEBUG: fourth"));

    std::string first = server.out();
    EXPECT_NE(first.find("event: "), std::string::npos) << first;
    EXPECT_NE(first.find("DEBUG: first"), std::string::npos) << first;
    EXPECT_EQ(first.find("second"), std::string::npos) << first;
    EXPECT_EQ(nstest::readFile(tmp.file("LOGFAIL" + std::to_string(child) + ".log")),
              "Failed to write log entry, errno is " + std::to_string(EPIPE) + "\n");
    EXPECT_EQ(childErr(), kContactFailed);
}

// --- signals ----------------------------------------------------------------

void logFromAlarm(int) { DebugLog(NS_LOG_FAIL, "from the alarm handler"); }

// A call that finds the pipe full waits for room under the caller's own
// signal mask: the caller's alarm ends the wait.  A line logged by the alarm
// handler cannot wait (nothing would end its wait) and fails at once with
// EAGAIN, whether or not a call is waiting; the interrupted call fails with
// EINTR and closes the pipe.  The next call
// opens it again and, the pipe still full, waits until the log server
// reads: its record arrives whole.
TEST_F(DebugLogTest, AlarmEndsTheWaitForAFullPipe) {
    LogTap reader(tmp.path());
    ASSERT_TRUE(reader.ok());
    ASSERT_GT(reader.fill(), 0u);
    start(
        [] {
            DebugLog(NS_LOG_TRACE, "loads the configuration, passes no mask");
            struct sigaction sa {};
            sa.sa_handler = logFromAlarm;
            sigaction(SIGALRM, &sa, nullptr);
            // Loaded now, so that the alarm cannot run out while the call
            // still reads the configuration, before it blocks SIGALRM.
            rbgetenv();
            raise(SIGALRM);  // no call waiting
            struct itimerval t {};
            t.it_value.tv_usec = 100000;
            setitimer(ITIMER_REAL, &t, nullptr);
            DebugLog(NS_LOG_FAIL, "interrupted call");
            DebugLog(NS_LOG_FAIL, "after the alarm");
            return 0;
        },
        "256");
    const std::string logFail = tmp.file("LOGFAIL" + std::to_string(child) + ".log");
    const std::string eagain = "Failed to write log entry, errno is " + std::to_string(EAGAIN);
    const std::string noted = eagain + "\n" + eagain + "\nFailed to write log entry, errno is " +
                              std::to_string(EINTR) + "\n";
    for (int i = 0; i < 5000 && nstest::readFile(logFail) != noted; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(nstest::readFile(logFail), noted);
    EXPECT_EQ(wait(&reader), 0);
    auto recs = reader.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(bodyOf(recs[0], child), "after the alarm\n");
}

// After the first call, a call that passes no mask makes no system call:
// under seccomp's strict mode any call but read, write, _exit and sigreturn
// kills the process.
TEST_F(DebugLogTest, FilteredCallMakesNoSystemCall) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    start([&] {
        close(out[0]);
        DebugLog(NS_LOG_TRACE, "the first call loads the configuration");
        DebugLevel = 4;
        if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) return 20;
        for (int i = 0; i < 10000; ++i) {
            DebugLog(NS_LOG_TRACE, "trace %d", i);
            DebugLog(NS_LOG_FAIL, "fail %s", "x");
            DebugLog(2, "%s", "");
        }
        if (write(out[1], "ok", 2) != 2) syscall(SYS_exit, 21);
        syscall(SYS_exit, 0);
        return 22;
    });
    close(out[1]);
    EXPECT_EQ(wait(), 0) << "128 + 9: killed by a system call";
    char buf[4] = {};
    EXPECT_EQ(read(out[0], buf, sizeof buf), 2);
    EXPECT_STREQ(buf, "ok");
    close(out[0]);
    EXPECT_EQ(childErr(), "");
}

// --- getStdoutLogFile ------------------------------------------------------

TEST_F(DebugLogTest, StdoutLogFilePathIsReplacedByEachCall) {
    std::string dir = tmp.path();
    int st = run([dir] {
        const char *first = getStdoutLogFile("srv", 3);
        if (first == nullptr || dir + "/srv3+.log" != first) return 10;
        std::string name(300, 'n');
        const char *second = getStdoutLogFile(name.c_str(), INT_MIN);
        if (second == nullptr || dir + "/" + name + "-2147483648+.log" != second) return 11;
        return 0;
    });
    EXPECT_EQ(st, 0);
}

}  // namespace
