// Signal actions, the flag-setting alarm and the millisecond sleep.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <thread>

#include "support/signals_internal.hpp"
#include "support/env.h"
#include "support/sockets.h"
#include "support/testutil.hpp"

namespace {

void noteSignal(int) {}

struct sigaction current(int sig) {
    struct sigaction act {};
    sigaction(sig, nullptr, &act);
    return act;
}

bool restarts(int sig) { return (current(sig).sa_flags & SA_RESTART) != 0; }

// Leaves SIGALRM and SIGUSR1 as a test found them: default, no alarm.  The
// alarm handler logs, so the log client finds a configuration, loaded here
// rather than inside the handler.
class Signals : public ::testing::Test {
protected:
    void SetUp() override { rbgetenv(); }
    void TearDown() override {
        alarm(0);
        signal(SIGALRM, SIG_DFL);
        signal(SIGUSR1, SIG_DFL);
    }

    nstest::ScopedConfig config_;
};

TEST_F(Signals, RestartOnlyForRealHandlersWithoutFlagOne) {
    for (int flags : {0, NS_SIG_SAVE}) {
        ASSERT_EQ(setSignalHandler(SIGUSR1, noteSignal, flags), 0);
        EXPECT_TRUE(restarts(SIGUSR1)) << "flags " << flags;
        EXPECT_EQ(current(SIGUSR1).sa_handler, noteSignal);
    }
    for (int flags : {NS_SIG_NORESTART, NS_SIG_NORESTART | NS_SIG_SAVE}) {
        ASSERT_EQ(setSignalHandler(SIGUSR1, noteSignal, flags), 0);
        EXPECT_FALSE(restarts(SIGUSR1)) << "flags " << flags;
    }
    for (NsSignalHandler h : {SIG_DFL, SIG_IGN}) {
        ASSERT_EQ(setSignalHandler(SIGUSR1, h, 0), 0);
        EXPECT_FALSE(restarts(SIGUSR1));
        EXPECT_EQ(current(SIGUSR1).sa_handler, h);
    }
    EXPECT_EQ(setSignalHandler(SIGKILL, noteSignal, 0), -1);
}

TEST_F(Signals, RestoreGivesBackTheOneSavedAction) {
    setSignalHandler(SIGUSR1, noteSignal, 0);  // restarting handler
    setSignalHandler(SIGUSR1, SIG_IGN, NS_SIG_SAVE);
    setSignalHandler(SIGUSR1, SIG_DFL, NS_SIG_SAVE);  // overwrites the slot with SIG_IGN
    // Flag 4 ignores the handler and the other flags given with it.
    ASSERT_EQ(setSignalHandler(SIGUSR1, noteSignal, NS_SIG_RESTORE | NS_SIG_NORESTART), 0);
    EXPECT_EQ(current(SIGUSR1).sa_handler, SIG_IGN);
}

TEST_F(Signals, CancelReArmsTheEarlierAlarmAndHandler) {
    setSignalHandler(SIGALRM, noteSignal, 0);
    alarm(30);
    ASSERT_EQ(setAlarm(NS_SIG_SAVE, 10), 0);
    EXPECT_FALSE(restarts(SIGALRM));  // the timeout must interrupt a blocking call
    EXPECT_NE(current(SIGALRM).sa_handler, noteSignal);
    ASSERT_EQ(setAlarm(NS_SIG_RESTORE, 0), 0);
    const unsigned left = alarm(0);
    EXPECT_GE(left, 29u);
    EXPECT_LE(left, 30u);
    EXPECT_EQ(current(SIGALRM).sa_handler, noteSignal);
    EXPECT_TRUE(restarts(SIGALRM));
}

TEST_F(Signals, CancelWithoutEarlierAlarmLeavesNoneAndTheDefault) {
    ASSERT_EQ(setAlarm(NS_SIG_SAVE, 10), 0);
    ASSERT_EQ(setAlarm(NS_SIG_RESTORE, 0), 0);
    EXPECT_EQ(alarm(0), 0u);
    EXPECT_EQ(current(SIGALRM).sa_handler, SIG_DFL);
}

TEST_F(Signals, ExpiredAlarmInterruptsTheSleepAndRaisesTheFlag) {
    ASSERT_EQ(setAlarm(NS_SIG_SAVE, 1), 0);
    EXPECT_FALSE(ns::alarmFired());
    errno = 0;
    EXPECT_EQ(SleepMilliSeconds(5000), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_TRUE(ns::alarmFired());
    setAlarm(NS_SIG_RESTORE, 0);
    EXPECT_FALSE(ns::alarmFired());  // every setAlarm call clears it
}

TEST_F(Signals, SleepWaitsTheMillisecondsAndEndsEarlyOnASignal) {
    timeval t0{}, t1{};
    gettimeofday(&t0, nullptr);
    EXPECT_EQ(SleepMilliSeconds(1050), 0);  // crosses a whole second
    gettimeofday(&t1, nullptr);
    const long ms = (t1.tv_sec - t0.tv_sec) * 1000 + (t1.tv_usec - t0.tv_usec) / 1000;
    EXPECT_GE(ms, 1050);
    EXPECT_LT(ms, 3000);

    setSignalHandler(SIGUSR1, noteSignal, 0);
    const pthread_t self = pthread_self();
    std::thread poke([self] {
        usleep(100 * 1000);
        pthread_kill(self, SIGUSR1);
    });
    // select is never restarted, not even under SA_RESTART.
    EXPECT_EQ(SleepMilliSeconds(5000), -1);
    poke.join();
}

}  // namespace
