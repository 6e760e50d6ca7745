/*
 * census.h - the census of every name server manager that answers.
 *
 * FindAllNS broadcasts one NS_CENSUS datagram and, for 5 seconds, prints a
 * line "host (MASTER)" or "host (BACKUP)" for every reply.  It returns 0 when
 * the census ran (answered or not) and -1 when no socket could be made or
 * bound.
 */
#ifndef ADMIN_CENSUS_H
#define ADMIN_CENSUS_H

#include "rsockmap/rsockmap.h"

#ifdef __cplusplus
extern "C" {
#endif

extern NsAddr BcastAddr;     /* where the census is sent */
extern int bGotBcastAddr;    /* set by option -b: skip interface discovery */

int FindAllNS(void);
void GotSigAlarm(int sig);

#ifdef __cplusplus
}
#endif

#endif /* ADMIN_CENSUS_H */
