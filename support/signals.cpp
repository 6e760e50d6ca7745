// signals.cpp - signal actions, the flag-setting alarm and a millisecond sleep.
//
// Every timeout of the product is a SIGALRM alarm that interrupts a blocking
// call.  setSignalHandler installs an action, optionally saving the one it
// replaces in a single slot; setAlarm arms an alarm whose handler only logs
// and raises this module's flag, and its cancel puts back both the earlier
// action and the earlier alarm's remaining seconds.
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>

#include "support/debug.h"
#include "support/signals_internal.hpp"
#include "support/signals.h"

namespace {

// Raised by AlarmHandler, cleared by every setAlarm call.  The service
// sockets read it through ns::alarmFired().
volatile std::sig_atomic_t GotAlarm = 0;

// What an earlier alarm still had to run when setAlarm armed its own.
unsigned int savedAlarmSecs = 0;

// The one saved action: written with NS_SIG_SAVE, read with NS_SIG_RESTORE.
// Before any save it is the default action.
struct sigaction savedAction {};

void AlarmHandler(int sig) {
    DebugLog(NS_LOG_FAIL, "AlarmHandler: got signal %d\n", sig);
    GotAlarm = 1;
}

}  // namespace

namespace ns {

bool alarmFired() { return GotAlarm != 0; }

void setSocketTimeout(int fd, int option, unsigned seconds) {
    struct timeval limit {};
    limit.tv_sec = static_cast<time_t>(seconds);
    (void)setsockopt(fd, SOL_SOCKET, option, &limit, sizeof limit);
}

}  // namespace ns

extern "C" int SleepMilliSeconds(int milliseconds) {
    struct timeval wait {};
    wait.tv_sec = milliseconds / 1000;
    wait.tv_usec = (milliseconds % 1000) * 1000;
    return select(0, nullptr, nullptr, nullptr, &wait);
}

extern "C" int setSignalHandler(int sig, NsSignalHandler handler, int flags) {
    if (flags & NS_SIG_RESTORE) return sigaction(sig, &savedAction, nullptr);

    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // A restarted call would never see its timeout, so the restart flag is
    // set only for real handlers whose caller did not ask for interruption.
    const bool restart =
        !(flags & NS_SIG_NORESTART) && handler != SIG_DFL && handler != SIG_IGN;
    action.sa_flags = restart ? SA_RESTART : 0;
    return sigaction(sig, &action, (flags & NS_SIG_SAVE) ? &savedAction : nullptr);
}

extern "C" int setAlarm(int flags, unsigned int seconds) {
    GotAlarm = 0;
    if (!(flags & NS_SIG_RESTORE)) {
        setSignalHandler(SIGALRM, AlarmHandler, NS_SIG_NORESTART | NS_SIG_SAVE);
        savedAlarmSecs = alarm(seconds);
        return 0;
    }
    // Cancelling re-arms the earlier alarm with the time it had left when
    // ours was armed (alarm(0), a plain cancel, when there was none).
    alarm(savedAlarmSecs);
    return setSignalHandler(SIGALRM, nullptr, NS_SIG_RESTORE);
}
