/*
 * servsock.h - service sockets.
 *
 * A listening socket on the first free port from 1025 of the local host's
 * own address, registered with the name service under \\host\svc; a
 * connection to a named service with a bounded retry; the syntax of service
 * names; the local host's name and address.  They use the registry
 * operations, so they sit above them.
 */
#ifndef RSOCKMAP_SERVSOCK_H
#define RSOCKMAP_SERVSOCK_H

#include "rsockmap/rsockmap.h"

#ifdef __cplusplus
extern "C" {
#endif

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

#endif /* RSOCKMAP_SERVSOCK_H */
