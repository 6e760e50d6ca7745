/*
 * servsock.h - service sockets.
 *
 * A listening socket on the first free port from 1025 of the local host's
 * own address, registered with the name service under \\host\svc; a
 * connection to a named service with a bounded retry; the syntax of service
 * names; the local host's name and address.  They use the registry
 * operations, so they sit above them.  Single-threaded, like the whole
 * library (see rsockmap.h).  See createServerSocket(3).
 *
 * The module keeps its own cache of the local host (separate from
 * usptcp_Initialise's), the name of the last server socket registered and
 * the descriptor of the last createServerSocket, for UnregisterServerSocket.
 * Host and service together must fit "\\host\svc" in 255 characters; a
 * longer name fails (logged, errno EMSGSIZE) before anything is done.
 */
#ifndef RSOCKMAP_SERVSOCK_H
#define RSOCKMAP_SERVSOCK_H

#include "rsockmap/rsockmap.h"
#include "support/api.h"

NS_API_BEGIN

/* The local host's name and address, looked up on first need and kept:
 * gethostname (tried again on the next call when it fails) and
 * gethostbyname of it (not tried again: after a failure the address stays
 * 0.0.0.0).  hostName, when not null, receives the name (a 128-byte buffer);
 * addr, when not null, the 16-byte address: family AF_INET, the host's
 * address, and as port the last port a server-socket bind tried (0 before
 * any).  Returns 0, or -1 when either lookup fails on this call (logged). */
int initialiseLocalAddr(char *hostName, NsAddr *addr);

/* Splits the service name "\\host\svc" into host (hostSize bytes, the NUL
 * included), converted to lower case, and svc (svcSize bytes).  Returns 0;
 * or -1 when a pointer is null, a size is below 1, the name does not begin
 * with two backslashes or does not hold exactly one more, or a part does
 * not fit its buffer (the buffers may then have been emptied or the host
 * filled).  An empty host or service is accepted.  No I/O, no state. */
int parseSockName(const char *name, char *host, int hostSize, char *svc,
                  int svcSize);

/* A listening socket registered with the name service.  Uses sock when it
 * is 0 or more, else a new TCP socket; binds it to the local host's own
 * address (initialiseLocalAddr; not the wildcard) on the first free port
 * from 1025 to 32767; listens (backlog 5) when listenFlag is non-zero; when
 * addr is not null, *addr receives the bound address and *addrLen (when not
 * null) 16; then registers "\\host\svc" (host null: the local host name;
 * host taken as it is) under that address with usptcp_RegisterUspName,
 * with the registration type, the level pointer (as that function takes
 * it) and no text.
 *
 * Returns the socket, or -1 (logged): no socket, no free port, listen or
 * the registration failed.  On failure a socket made here is closed, the
 * caller's stays open.  On success the socket and the name are remembered
 * for UnregisterServerSocket, which closes that socket (the caller's too,
 * when sock was given).  Every create call first forgets the name of an
 * earlier registration, so after a failed one UnregisterServerSocket no
 * longer removes that name.  Blocks as a registration (UspMapIO). */
int createServerSocket(const char *host, const char *svc, int sock,
                       NsAddr *addr, int *addrLen, int listenFlag, int type,
                       const char *level);

/* As createServerSocket, with these differences: always a new socket,
 * always listening; registration type 2, level '0', and as text the
 * process id in decimal.  The name is remembered for
 * UnregisterServerSocket, the socket is not (the caller closes it).  On
 * failure the socket is closed. */
int createAuthServerSocket(const char *host, const char *svc, NsAddr *addr,
                           int *addrLen);

/* Closes the socket of the last successful createServerSocket and removes
 * the name that the last create call registered from the name service
 * (usptcp_UnregisterUspName, option 0; nothing when that call failed); then
 * forgets both, so a second call does nothing.  Returns 0 when no name was registered, else the result of
 * the unregistration (0 or -1).  Blocks as UspMapIO. */
int UnregisterServerSocket(void);

/* Connects to the service that the name service knows as "\\host\svc"
 * (host null: the local host name).  Looks the name up (option 0; auth as
 * usptcp_LookupUspName takes it: NS_AUTH_SIZE bytes, or null) and connects
 * to the address, trying again after a pause of 100 ms, then 200, 400 and
 * so on, for up to 10 seconds; when that window closes unconnected, looks
 * the name up again with NS_LOOKUP_FORWARD and spends a second window.  A
 * lookup that fails, or that succeeds without an address, ends the call.
 * Uses sock for every try when it is 0 or more (and never closes it), else
 * a fresh socket per try.
 *
 * Returns the connected socket (*addr, when addr is not null, receives the
 * peer's address), or -1 (logged); a socket made here is then closed.
 *
 * Blocks: two lookups (UspMapIO) and two 10-second windows at most.
 * Signals: each lookup handles SIGALRM as UspMapIO does, leaving it at
 * SIG_DFL with no alarm, so a caller's SIGALRM handler and pending alarm do
 * not survive the call.  Each window then runs under setAlarm
 * (support/signals.h): its own SIGALRM handler, without SA_RESTART, and a
 * 10-second alarm; afterwards the action and alarm that the window found
 * (those the lookup left) are put back. */
int createClientSocket(const char *host, const char *svc, int sock,
                       NsAddr *addr, char *auth);

NS_API_END

#endif /* RSOCKMAP_SERVSOCK_H */
