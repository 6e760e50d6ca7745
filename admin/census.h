/*
 * census.h - nsadmin's census of every name server manager that answers.
 *
 * FindAllNS runs the library's census (rsockmap/census.h) for 5 seconds and
 * prints a line "host (MASTER)" or "host (BACKUP)" for every reply.  It
 * returns 0 when the census ran (answered or not) and -1 when no socket
 * could be made or bound.
 */
#ifndef ADMIN_CENSUS_H
#define ADMIN_CENSUS_H

#include "rsockmap/census.h"

#ifdef __cplusplus
extern "C" {
#endif

int FindAllNS(void);

#ifdef __cplusplus
}
#endif

#endif /* ADMIN_CENSUS_H */
