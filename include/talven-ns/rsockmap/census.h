/*
 * census.h - the census of every name server manager that answers.
 *
 * One NS_CENSUS datagram goes to the census broadcast address; every
 * NS_MASTER or NS_BACKUP reply that arrives within the given time is handed
 * to the caller's handler as it arrives.  The census ends when its own
 * SIGALRM handler (GotSigAlarm) interrupts the receive.
 */
#ifndef RSOCKMAP_CENSUS_H
#define RSOCKMAP_CENSUS_H

#include "rsockmap/rsockmap.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NsCensusReply {
    int type;          /* NS_MASTER or NS_BACKUP */
    NsAddr from;       /* the datagram's source address */
    NsAddr addr;       /* the reply's address item (family 2) when hasAddr, else a copy of from */
    int hasAddr;       /* 1 when the reply carried an address item that lies wholly inside the record */
    long micros;       /* microseconds from the broadcast to this reply's arrival */
} NsCensusReply;

typedef void (*NsCensusHandler)(const NsCensusReply *reply, void *arg);

extern NsAddr BcastAddr;   /* where the census is sent */
extern int bGotBcastAddr;  /* set: skip interface discovery of the broadcast address */

/* Broadcasts one NS_CENSUS to BcastAddr (found by FindBcastAddr unless
 * bGotBcastAddr) and calls handler, in arrival order, for every NS_MASTER or
 * NS_BACKUP reply that arrives within `seconds` (its own SIGALRM handler
 * with flag 1; the alarm is cancelled and SIG_DFL put back afterwards).
 * 0 when the census ran (answered or not), -1 when no socket could be made
 * or bound. */
int usptcp_TakeCensus(unsigned int seconds, NsCensusHandler handler, void *arg);
/* The census's SIGALRM handler: raises the census's flag and installs
 * itself again. */
void GotSigAlarm(int sig);

#ifdef __cplusplus
}
#endif

#endif /* RSOCKMAP_CENSUS_H */
