/*
 * census.h - the census of every name server manager that answers.
 *
 * One NS_CENSUS datagram goes to the census broadcast address; every
 * NS_MASTER or NS_BACKUP reply that arrives within the given time is handed
 * to the caller's handler as it arrives.  The census ends when its own
 * SIGALRM handler (GotSigAlarm) interrupts the receive.  Single-threaded,
 * like the whole library (see rsockmap.h).  See usptcp_TakeCensus(3).
 */
#ifndef RSOCKMAP_CENSUS_H
#define RSOCKMAP_CENSUS_H

#include "rsockmap/rsockmap.h"
#include "support/api.h"

NS_API_BEGIN

typedef struct NsCensusReply {
    int type;          /* NS_MASTER or NS_BACKUP */
    NsAddr from;       /* the datagram's source address */
    NsAddr addr;       /* the reply's address item (family 2) when hasAddr, else a copy of from */
    int hasAddr;       /* 1 when the reply carried an address item that lies wholly inside the record */
    long micros;       /* microseconds from the broadcast to this reply's arrival */
} NsCensusReply;

/* Called by usptcp_TakeCensus for each reply, from the census's own loop
 * (not from a signal handler).  *reply is valid only during the call.  The
 * handler must not change SIGALRM or the alarm, which time the census. */
typedef void (*NsCensusHandler)(const NsCensusReply *reply, void *arg);

/* Where the census is sent.  While bGotBcastAddr is 0, each census fills
 * BcastAddr afresh from the interfaces (FindBcastAddr: the broadcast address
 * and the name servers' port); a program that sets both (nsadmin -b) sends
 * every later census there instead.  Both start zero and are the library's
 * process-wide data, exported from the shared object. */
extern NsAddr BcastAddr;
extern int bGotBcastAddr;

/* Takes one census: opens a UDP socket bound to the local address on the
 * first free port from 1025 to 32766, with SO_BROADCAST; unless
 * bGotBcastAddr is set, finds BcastAddr; sends one NS_CENSUS datagram to
 * BcastAddr; then for `seconds` (1 to 86400) calls handler(reply, arg) for
 * every NS_MASTER or NS_BACKUP reply, in the order of arrival, duplicates
 * included.  Other datagrams are ignored.  handler may be null.  The socket
 * is closed before the call returns.
 *
 * Returns 0 when the census ran, whether anybody answered or not (a failed
 * send or an unknown broadcast address shows as silence); -1 with errno
 * EINVAL, at once, when `seconds` is out of range; -1 when no socket could
 * be made or bound (logged, errno kept).
 *
 * Blocks: `seconds`, a second more at worst.  Signals: GotSigAlarm is the
 * SIGALRM handler (without SA_RESTART) and alarm(seconds) times the census;
 * afterwards the alarm is cancelled and SIGALRM left at SIG_DFL. */
int usptcp_TakeCensus(unsigned int seconds, NsCensusHandler handler, void *arg);

/* The census's SIGALRM handler: raises the census's flag and installs
 * itself again with signal(2).  The library installs it itself; it is
 * public only because it has always been. */
void GotSigAlarm(int sig);

NS_API_END

#endif /* RSOCKMAP_CENSUS_H */
