/*
 * census_shim.h - TEMPORARY: DELETE AT MERGE (with census_shim.cpp) once the
 * library's installed header "rsockmap/census.h" exists.  It declares
 * exactly the census operation that the library is to offer, so that nsquery
 * builds on it today; when the library's header is present, census.cpp
 * includes that one instead and census_shim.cpp compiles to nothing.
 */
#ifndef TOOLS_NSQUERY_CENSUS_SHIM_H
#define TOOLS_NSQUERY_CENSUS_SHIM_H

#include "rsockmap/rsockmap.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NsCensusReply {
    int type;          /* NS_MASTER or NS_BACKUP */
    NsAddr from;       /* the datagram's source address */
    NsAddr addr;       /* the reply's address item (family 2) when hasAddr, else a copy of from */
    int hasAddr;       /* 1 when the reply carried an address item */
    long micros;       /* microseconds from the broadcast to this reply's arrival */
} NsCensusReply;
typedef void (*NsCensusHandler)(const NsCensusReply *reply, void *arg);
extern NsAddr BcastAddr;   /* where the census is sent */
extern int bGotBcastAddr;  /* set: skip interface discovery of the broadcast address */
int usptcp_TakeCensus(unsigned int seconds, NsCensusHandler handler, void *arg);  /* 0 ran, -1 no socket */

#ifdef __cplusplus
}
#endif

#endif /* TOOLS_NSQUERY_CENSUS_SHIM_H */
