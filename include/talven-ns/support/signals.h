/*
 * signals.h - signals, timers and a millisecond sleep.
 *
 * Every timeout of the product is a SIGALRM alarm that interrupts a blocking
 * call.  setSignalHandler installs an action (flag 1: no SA_RESTART, so the
 * interrupted call fails with EINTR; flag 2: save the replaced action in one
 * slot; flag 4: restore that slot).  setAlarm arms (flag 2) or cancels
 * (flag 4) an alarm whose handler sets a flag, restoring an earlier alarm.
 *
 * The bottom layer: nothing here knows the name service.
 */
#ifndef SUPPORT_SIGNALS_H
#define SUPPORT_SIGNALS_H

#ifdef __cplusplus
extern "C" {
#endif

#define NS_SIG_NORESTART 1
#define NS_SIG_SAVE 2
#define NS_SIG_RESTORE 4

typedef void (*NsSignalHandler)(int);

/* select() with no descriptors: 0 after the full time, -1 when cut short. */
int SleepMilliSeconds(int milliseconds);
int setSignalHandler(int sig, NsSignalHandler handler, int flags);
int setAlarm(int flags, unsigned int seconds);

#ifdef __cplusplus
}
#endif

#endif /* SUPPORT_SIGNALS_H */
