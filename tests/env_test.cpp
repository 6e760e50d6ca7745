// Tests of the configuration module: the line parser in place, the reading
// of the files each in a fresh process (env_scenario.hpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "env_scenario.hpp"
#include "support/env.h"
#include "support/env_internal.hpp"

extern char **environ;

namespace {

using ns::env::KeyRow;
using ns::env::LineKind;
using ns::env::parseLine;
using envtest::env;
using envtest::Files;
using envtest::inFreshProcess;

// --- the line parser ---------------------------------------------------

TEST(EnvParse, CompactsAndSplitsAtFirstEquals) {
    struct Case {
        const char *line;
        LineKind kind;
        const char *key, *value;
    } cases[] = {
        {"TALVEN_BINDIR = /usr/ a b", LineKind::Entry, "TALVEN_BINDIR", "/usr/ab"},
        {"\tK\v=\fv\r", LineKind::Entry, "K", "v"},
        {"A=b=c", LineKind::Entry, "A", "b=c"},
        {"=x", LineKind::Entry, "", "x"},
        {"A=", LineKind::Entry, "A", ""},
        {" #x=1", LineKind::Entry, "#x", "1"},
        {" \t \r", LineKind::Empty, "", ""},
        {"", LineKind::Empty, "", ""},
        {" # no equals", LineKind::Invalid, "", ""},
        {"AB", LineKind::Invalid, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        ns::env::ParsedLine p = parseLine(c.line, {});
        EXPECT_EQ(p.kind, c.kind);
        EXPECT_EQ(p.key, c.key);
        EXPECT_EQ(p.value, c.value);
    }
    // The line ends at a NUL, as a C string does.
    EXPECT_EQ(parseLine(std::string_view("A=b\0c", 5), {}).value, "b");
}

TEST(EnvParse, ExpandsOneLeadingReference) {
    char dir[] = "/opt/x";
    char *rbDir = dir, *binDir = nullptr;
    const KeyRow table[] = {{"TALVEN_DIR", &rbDir}, {"TALVEN_BINDIR", &binDir}};
    struct Case {
        const char *line, *value;
    } cases[] = {
        {"X=$TALVEN_DIR/tmp", "/opt/x/tmp"},
        {"X=$TALVEN_DIR", "/opt/x"},
        {"X = $TALVEN_DIR / a b", "/opt/x/ab"},
        {"X=$TALVEN_NOSUCHKEY/tmp", "/tmp"},
        {"X=$TALVEN_NOSUCHKEY", ""},
        {"X=$TALVEN_", ""},
        {"X=$TALVEN_BINDIR/bin", "/bin"},  // known key, still null
        {"X=$TALVEN_DI/a", "/a"},          // no prefix matching of names
        {"X=$TALVEN_DIR/a/$TALVEN_DIR", "/opt/x/a/$TALVEN_DIR"},
        {"X=/a/$TALVEN_DIR", "/a/$TALVEN_DIR"},
        {"X=$talven_DIR/a", "$talven_DIR/a"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        ns::env::ParsedLine p = parseLine(c.line, table);
        EXPECT_EQ(p.kind, LineKind::Entry);
        EXPECT_EQ(p.key, "X");
        EXPECT_EQ(p.value, c.value);
    }
}

TEST(EnvParse, KeepsLongEntriesWhole) {
    std::string longDir(3000, 'd');
    char *rbDir = longDir.data();
    const KeyRow table[] = {{"TALVEN_DIR", &rbDir}};
    std::string tail = "/" + std::string(3000, 't');
    ns::env::ParsedLine p = parseLine("K=$TALVEN_DIR" + tail, table);
    EXPECT_EQ(p.value, longDir + tail);
}

// --- reading the files -------------------------------------------------

TEST(EnvFiles, EveryKeyFillsItsVariable) {
    Files f;
    f.main("TALVEN_ADMINDIR=1\nTALVEN_BINDIR=2\nTALVEN_DEBUGDIR=3\nTALVEN_ETCDIR=4\n"
           "TALVEN_EVENTDIR=5\nTALVEN_EVENTLEVEL=6\nTALVEN_LOGLIMIT=7\nTALVEN_MAXSESSIONS=8\n"
           "TALVEN_NAMESVC=9\nTALVEN_NSGATEWAY=10\nTALVEN_RSOCKDIR=11\nTALVEN_TMPDIR=12\n"
           "TALVEN_DIR=13\nTALVEN_TCLDIR=14\nTALVEN_TCLSCRIPTDIR=15\nTALVEN_TCLINTERP=16\n");
    inFreshProcess([&] {
        f.use();
        EXPECT_EQ(rbgetenv(), 0);
        const char *want[] = {"1", "2", "3", "4", "5", "6", "7", "8",
                              "9", "10", "11", "12", "13", "14", "15", "16"};
        char *have[] = {AdminDir, BinDir, DebugDir, EtcDir, EventDir, EventLevel,
                        LogLimit, MaxSessions, Marlod, NSGateway, RsockDir, TmpDir,
                        RbDir, TCLDir, TCLScriptDir, TCLInterp};
        for (int i = 0; i < 16; ++i) EXPECT_STREQ(have[i], want[i]) << "row " << i + 1;
    });
}

TEST(EnvFiles, MainThenUserFileOverrideAndExpand) {
    Files f;
    f.main("# a comment\n"
           "#TALVEN_NSGATEWAY=/commented\n"
           "TALVEN_DIR=/opt/x\n"
           "TALVEN_TMPDIR=$TALVEN_DIR/tmp\n"
           "TALVEN_BINDIR=/b1\n"
           "TALVEN_BINDIR=/b2\n"
           "OTHER=main\n"
           "=empty\n"
           " #hash=1\n"
           "TALVEN_LOGLIMIT=$TALVEN_EVENTLEVEL\n");
    f.user("TALVEN_ETCDIR=$TALVEN_DIR/etc\n"
           "OTHER=user\n"
           " # invalid in a user file: skipped\n"
           "TALVEN_DIR=/home/x\n");
    inFreshProcess([&] {
        f.use();
        setenv("TALVEN_EVENTLEVEL", "7", 1);  // the environment is not consulted
        EXPECT_EQ(rbgetenv(), 0);
        EXPECT_STREQ(TmpDir, "/opt/x/tmp");
        EXPECT_EQ(env("TALVEN_TMPDIR"), "/opt/x/tmp");
        EXPECT_STREQ(BinDir, "/b2");
        EXPECT_EQ(env("TALVEN_BINDIR"), "/b2");
        EXPECT_STREQ(EtcDir, "/opt/x/etc");  // sees the main file's value
        EXPECT_STREQ(RbDir, "/home/x");
        EXPECT_EQ(env("TALVEN_DIR"), "/home/x");
        EXPECT_EQ(env("OTHER"), "user");
        EXPECT_EQ(env("#hash"), "1");
        EXPECT_STREQ(LogLimit, "");
        bool emptyKey = false;
        for (char **e = environ; *e != nullptr; ++e) emptyKey |= std::strcmp(*e, "=empty") == 0;
        EXPECT_TRUE(emptyKey);
        EXPECT_EQ(EventLevel, nullptr);
        EXPECT_EQ(NSGateway, nullptr);

        // Loaded once: later calls read nothing.
        f.main("TALVEN_DIR=/changed\n");
        EXPECT_EQ(rbgetenv(), 0);
        EXPECT_STREQ(RbDir, "/home/x");
    });
}

TEST(EnvFiles, LongPhysicalLineIsOneEntry) {
    Files f;
    std::string value(5000, 'v');
    f.main("TALVEN_DIR=" + value + "\nTALVEN_TMPDIR=$TALVEN_DIR/t\n");
    inFreshProcess([&] {
        f.use();
        rbgetenv();
        EXPECT_EQ(std::string(RbDir), value);
        EXPECT_EQ(std::string(TmpDir), value + "/t");
        EXPECT_EQ(env("TALVEN_DIR"), value);
    });
}

// The file is read in chunks; the last entry counts however the file's
// length falls on the chunks (exactly on a boundary, just past one, many).
TEST(EnvFiles, EntryAtTheEndOfALongFileIsRead) {
    for (const std::size_t size : {4096u, 8191u, 8192u, 8193u, 16384u, 40000u}) {
        SCOPED_TRACE(size);
        Files f;
        const std::string last = "TALVEN_TMPDIR=/end\n";
        std::string text = "TALVEN_DIR=/first\n";
        while (text.size() + last.size() < size) {
            const std::size_t room = size - last.size() - text.size();
            const std::size_t n = std::min<std::size_t>(room, 100);  // a comment line
            text.append(n, 'x');
            text[text.size() - n] = '#';
            text.back() = '\n';
        }
        text += last;
        ASSERT_EQ(text.size(), size);
        f.main(text);
        inFreshProcess([&] {
            f.use();
            rbgetenv();
            EXPECT_STREQ(RbDir, "/first");
            EXPECT_STREQ(TmpDir, "/end");
        });
    }
}

// A file that holds more than its size says, as files in /proc do, is read
// to its end: here another process's environment, one entry ended by a NUL.
TEST(EnvFiles, FileLongerThanItsSizeIsReadToTheEnd) {
    char entry[] = "TALVEN_DIR=/from-proc";
    char *childEnv[] = {entry, nullptr};
    char *childArgs[] = {const_cast<char *>("sleep"), const_cast<char *>("30"), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, "/bin/sleep", nullptr, nullptr, childArgs, childEnv), 0);
    Files f;
    const std::string procFile = "/proc/" + std::to_string(child) + "/environ";
    struct stat st {};
    ASSERT_EQ(stat(procFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    ASSERT_EQ(symlink(procFile.c_str(), f.mainPath().c_str()), 0);
    inFreshProcess([&] {
        f.use();
        rbgetenv();
        EXPECT_STREQ(RbDir, "/from-proc");
    });
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

TEST(EnvFiles, UserFileSkippedWhenNotWanted) {
    Files f;
    f.main("TALVEN_DIR=/main\n");
    f.user("TALVEN_DIR=/user\n");
    inFreshProcess([&] {  // ProcessType set by the program
        f.use();
        ProcessType = 1;
        rbgetenv();
        EXPECT_STREQ(RbDir, "/main");
    });
    f.main("EARLY=$TALVEN_DIR/x\nTALVEN_DIR=/main\n");
    inFreshProcess([&] {  // no home directory: the main file is read once
        f.use();
        unsetenv("HOME");
        rbgetenv();
        EXPECT_STREQ(RbDir, "/main");
        EXPECT_EQ(env("EARLY"), "/x");
    });
    inFreshProcess([&] {  // no user file at all
        f.use();
        unlink((f.home() + "/.talven.conf").c_str());
        EXPECT_EQ(rbgetenv(), 0);
        EXPECT_STREQ(RbDir, "/main");
    });
}

TEST(EnvFiles, UserEnvReadsOnlyTheUserFile) {
    Files f;
    f.main("TALVEN_DIR=/main\n");
    f.user("TALVEN_TMPDIR=/user\nTALVEN_ETCDIR=$TALVEN_DIR/etc\n");
    inFreshProcess([&] {
        setenv("TALVEN_CONFIG", "/nonexistent/talven.conf", 1);
        EXPECT_EQ(rbuserenv(nullptr), 0);  // no directory: nothing read
        EXPECT_EQ(rbuserenv(f.home().c_str()), 0);  // own flag: still nothing read
        EXPECT_EQ(TmpDir, nullptr);
    });
    inFreshProcess([&] {
        f.use();
        EXPECT_EQ(rbuserenv(f.home().c_str()), 0);
        EXPECT_STREQ(TmpDir, "/user");
        EXPECT_STREQ(EtcDir, "/etc");
        EXPECT_EQ(RbDir, nullptr);
        rbgetenv();  // independent once-flag
        EXPECT_STREQ(RbDir, "/main");
    });
}

// --- failures ----------------------------------------------------------

TEST(EnvFailures, MainFileFaultsEndTheProcess) {
    Files f;
    EXPECT_EXIT(
        {
            setenv("TALVEN_CONFIG", f.dir.file("missing.conf").c_str(), 1);
            rbgetenv();
        },
        testing::ExitedWithCode(1),
                "^/tmp/nstest\\.[^/]*/missing\\.conf: No such file or directory\n"
                "can't open main config file: unable to continue\n$");
    f.main("A=1\n # note\nB=2\n");
    EXPECT_EXIT({ f.use(); rbgetenv(); }, testing::ExitedWithCode(1),
                "^invalid config file entry ' # note': unable to continue\n$");
}

// Only a regular file of at most 16 MiB is read.  A FIFO, a directory or a
// larger file as the main file is reported like one that cannot be opened
// (and ends the process with status 1); as the user's file the first two
// are skipped like a missing one, and a file too large says so.  None may
// hang: each case must end within its alarm.
TEST(EnvFailures, OnlyRegularFilesOfBoundedSizeAreRead) {
    Files f;
    const std::string fifo = f.dir.file("fifo"), large = f.dir.file("large");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    nstest::writeFile(large, "");
    ASSERT_EQ(truncate(large.c_str(), (16 << 20) + 1), 0);  // sparse
    const std::string cannot = "can't open main config file: unable to continue\n";
    const struct {
        std::string path, reason;
    } mainCases[] = {
        {fifo, "Not a regular file"},
        {f.home(), "Not a regular file"},
        {large, "File too large \\(more than 16 MiB\\)"},
    };
    for (const auto &c : mainCases) {
        SCOPED_TRACE(c.path);
        EXPECT_EXIT(
            {
                alarm(10);
                setenv("TALVEN_CONFIG", c.path.c_str(), 1);
                rbgetenv();
            },
            testing::ExitedWithCode(1), "^" + c.path + ": " + c.reason + "\n" + cannot + "$");
    }

    f.main("TALVEN_DIR=/main\n");
    const std::string userFile = f.home() + "/.talven.conf";
    const struct {
        const char *what;
        int (*make)(const char *);
        std::string message;
    } userCases[] = {
        {"fifo", [](const char *p) { return mkfifo(p, 0600); }, ""},
        {"directory", [](const char *p) { return mkdir(p, 0700); }, ""},
        {"large",
         [](const char *p) {
             nstest::writeFile(p, "TALVEN_DIR=/user\n");
             return truncate(p, (16 << 20) + 1);
         },
         userFile + ": File too large \\(more than 16 MiB\\)\n"},
    };
    for (const auto &c : userCases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.make(userFile.c_str()), 0);
        EXPECT_EXIT(
            {
                alarm(10);
                f.use();
                rbgetenv();
                std::exit(RbDir != nullptr && std::strcmp(RbDir, "/main") == 0 ? 0 : 3);
            },
            testing::ExitedWithCode(0), "^" + c.message + "$");
        ASSERT_EQ(remove(userFile.c_str()), 0);
    }
}

}  // namespace
