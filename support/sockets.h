/*
 * sockets.h - signals, timers and service sockets.
 *
 * Every timeout of the product is a SIGALRM alarm that interrupts a blocking
 * call.  setSignalHandler installs an action (flag 1: no SA_RESTART, so the
 * interrupted call fails with EINTR; flag 2: save the replaced action in one
 * slot; flag 4: restore that slot).  setAlarm arms (flag 2) or cancels
 * (flag 4) an alarm whose handler sets a flag, restoring an earlier alarm.
 *
 * Service sockets: a listening socket on the first free port from 1025,
 * registered under \\host\svc; a connection to a named service with a
 * bounded retry; the syntax of service names.
 */
#ifndef SUPPORT_SOCKETS_H
#define SUPPORT_SOCKETS_H

#include "rsockmap/rsockmap.h"

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

int initialiseLocalAddr(char *hostName, NsAddr *addr);
int parseSockName(const char *name, char *host, int hostSize, char *svc,
                  int svcSize);
int createServerSocket(const char *host, const char *svc, int sock,
                       NsAddr *addr, int *addrLen, int listenFlag, int type,
                       const char *level);
int createAuthServerSocket(const char *host, const char *svc, NsAddr *addr,
                           int *addrLen);
int UnregisterServerSocket(void);
int createClientSocket(const char *host, const char *svc, int sock,
                       NsAddr *addr, char *auth);

#ifdef __cplusplus
}
#endif

#endif /* SUPPORT_SOCKETS_H */
