/*
 * signals.h - signals, timers and a millisecond sleep.
 *
 * Every timeout of the product is a SIGALRM alarm that interrupts a blocking
 * call.  setSignalHandler installs an action (flag 1: no SA_RESTART, so the
 * interrupted call fails with EINTR; flag 2: save the replaced action in one
 * slot; flag 4: restore that slot).  setAlarm arms (flag 2) or cancels
 * (flag 4) an alarm whose handler sets a flag, restoring an earlier alarm.
 * Single-threaded, like the whole library (see rsockmap.h).  See
 * setSignalHandler(3).
 *
 * The bottom layer: nothing here knows the name service.
 */
#ifndef SUPPORT_SIGNALS_H
#define SUPPORT_SIGNALS_H

#include "support/api.h"

NS_API_BEGIN

#define NS_SIG_NORESTART 1
#define NS_SIG_SAVE 2
#define NS_SIG_RESTORE 4

typedef void (*NsSignalHandler)(int);

/* Sleeps with select(2) on no descriptors for milliseconds (0 or more).
 * Returns 0 after the full time, or -1 with errno EINTR when a signal
 * handler cut it short (EINVAL for a negative time).  No state. */
int SleepMilliSeconds(int milliseconds);

/* Installs handler (a function, SIG_DFL or SIG_IGN) for sig with
 * sigaction(2) and an empty signal mask.  SA_RESTART is set unless flags
 * holds NS_SIG_NORESTART or handler is SIG_DFL or SIG_IGN: a time-out
 * handler installed with NS_SIG_NORESTART makes the blocking call it
 * interrupts fail with EINTR.  With NS_SIG_SAVE the action it replaces is
 * kept in the module's one saved slot (overwriting what was there).  With
 * NS_SIG_RESTORE the saved action is installed for sig instead, and handler
 * and the other flags are ignored (before any save the slot holds the
 * default action).  Returns sigaction's result: 0, or -1 with errno
 * (EINVAL: a signal that cannot be caught). */
int setSignalHandler(int sig, NsSignalHandler handler, int flags);

/* Arms (flags NS_SIG_SAVE) or cancels (NS_SIG_RESTORE) the module's alarm;
 * each clears the module's flag first.
 *
 * Arm: installs the module's SIGALRM handler (which logs "AlarmHandler: got
 * signal N" at level 256 and raises the flag that createClientSocket
 * reads) without SA_RESTART, saving the previous action in the one slot of
 * setSignalHandler, and calls alarm(seconds), keeping the seconds that an
 * earlier alarm still had.  Returns 0.
 *
 * Cancel (seconds 0): calls alarm() with the kept seconds, which cancels
 * this alarm and re-arms the earlier one with the time it had left when
 * this one was armed (none when there was none), then restores the saved
 * action.  Returns sigaction's result.
 *
 * One slot for the action and one for the seconds: every arm must be
 * followed by its cancel before the next arm, and no setSignalHandler with
 * NS_SIG_SAVE may come in between. */
int setAlarm(int flags, unsigned int seconds);

NS_API_END

#endif /* SUPPORT_SIGNALS_H */
