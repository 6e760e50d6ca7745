/*
 * rsockmap.h - the name-service client.
 *
 * Every message of the name-service protocol is one NsMessage record: a
 * 16-byte header and items behind it, built in a zero-filled 256-byte buffer.
 * Only the used prefix (N bytes) travels, enciphered with a fresh 24-byte salt
 * (N + 24 bytes).  Over UDP one datagram holds one enciphered record; over TCP
 * a frame is one length byte L = N + 24 followed by L bytes of ciphertext, so
 * a record sent over TCP is at most 231 bytes.
 *
 * What holds for every function of the library (this header and the others
 * under talven-ns/):
 *
 * Threads.  The library is single-threaded.  It keeps process-wide state
 * without locks: the configuration, the local host's name and address, the
 * remembered name server master, the log pipe, static result buffers.  Call
 * it from one thread only (or serialise every call yourself).
 *
 * Blocking and signals.  Every call blocks until it is done.  Time limits
 * are SIGALRM alarms: a function that waits on the network installs its own
 * SIGALRM handler without SA_RESTART (so that the waiting call fails with
 * EINTR), arms alarm(), and when the wait is over cancels the alarm with
 * alarm(0) and leaves SIGALRM at SIG_DFL.  A caller's own SIGALRM handler
 * and a pending alarm do not survive such a call: install the handler again
 * and re-arm afterwards.  So with createClientSocket (servsock.h): its
 * connect windows run under setAlarm, which puts back what it found, but
 * its lookups have reset SIGALRM by then.  Each function below
 * says how long it may wait.  Reading a reply has no time limit: a name
 * server that accepts a request and never answers blocks its caller.
 *
 * Results.  Functions return 0 (or a descriptor, a count or a reply type) on
 * success and -1 on failure.  After a failed system call errno is as that
 * call left it; a refusal by the name server (a reply other than NS_OK)
 * sets no errno of its own (errno then holds what the exchange's successful
 * calls left there, often 0, and tells nothing); a request that breaks the
 * record's limits gives EMSGSIZE or EINVAL.  Nothing is printed on standard output: failures are
 * logged at level 256 and traces at level 512 (DebugLog, support/debug.h),
 * and reach the log only when the event or debug mask lets them through.
 *
 * Configuration.  The first name-service call loads the configuration
 * (rbgetenv, support/env.h), for TALVEN_NAMESVC (the name server master,
 * "host.port") and the log client's settings.  A main configuration file
 * that cannot be read ends the process there, with exit status 1.
 *
 * This header is C-compatible so that the product's C programs can link the
 * library: `cc prog.c $(pkg-config --cflags --libs talven-ns)`.
 */
#ifndef RSOCKMAP_RSOCKMAP_H
#define RSOCKMAP_RSOCKMAP_H

#include <netinet/in.h>
#include <stddef.h>
#include "support/api.h"

NS_API_BEGIN

/* A 16-byte IPv4 socket address in the BSD sockaddr_in layout: family 2
 * (native byte order), port and address in network byte order, eight zero
 * bytes.  Carried whole inside messages and passed to socket calls. */
typedef struct sockaddr_in NsAddr;

/* ---- message type codes (byte 0 of a record); all below 128 ---- */
enum {
    NS_REGISTER = 1,     /* client -> NSM, TCP */
    NS_UNREGISTER = 2,   /* client -> NSM, TCP */
    NS_LOOKUP = 3,       /* client -> NSM, TCP */
    NS_NAMELIST = 4,     /* client -> NSM, TCP */
    NS_FINDANY = 6,      /* client -> every NSM, UDP broadcast */
    NS_MASTER = 7,       /* NSM master -> client, UDP */
    NS_LISTHEAD = 8,     /* first record of a name list stream */
    NS_FINDMASTER = 9,   /* client -> every NSM, UDP broadcast */
    NS_PCREGISTER = 10,  /* client -> NSM, TCP */
    NS_PCUNREGISTER = 11,/* client -> NSM, TCP */
    NS_CONTROL = 13,     /* client -> NSM, TCP */
    NS_BACKUP = 14,      /* NSM backup -> client, UDP */
    NS_ADMINHOST = 15,   /* client -> NSM, TCP */
    NS_CENSUS = 16,      /* client -> every NSM, UDP broadcast */
    NS_OK = 32,          /* NSM -> client: success reply to every TCP request */
    NS_LISTEND = 34      /* last record of a name list stream */
};

#define NS_LOOKUP_FORWARD 64   /* lookup option: forward lookup */
#define NS_LIST_ADMINHOST 128  /* name list selector: admin hosts */
#define NS_DEFAULT_PORT 16024  /* the NSMs' port when the configuration names none */

#define NS_MSG_SIZE 256        /* a record is built in a buffer of this size */
#define NS_HEADER_SIZE 16      /* the header; the shortest record */
#define NS_SALT_SIZE 24        /* ciphertext = salt + record */
#define NS_MAX_TCP_RECORD 231  /* 231 + 24 = 255 fits the one-byte frame length */
#define NS_MAX_ITEM 127        /* offsets and item lengths are read back as signed bytes */
#define NS_AUTH_SIZE 128       /* the authentication buffer of usptcp_LookupUspName */
#define NS_ADDR_SIZE 16

/* The record.  Offsets count from byte 0; 0 means "no such item".  An item is
 * a length byte and that many bytes; string items carry a NUL that the
 * length byte does not count. */
typedef struct NsMessage {
    unsigned char type;         /* 0 */
    unsigned char reserved1[2]; /* 1-2 */
    unsigned char option;       /* 3: lookup mode, registration type, list selector */
    unsigned char control[2];   /* 4-5: control code, high byte first */
    unsigned char reserved6;    /* 6 */
    unsigned char level;        /* 7: '0' + registration level */
    unsigned char nameOffset;   /* 8 */
    unsigned char addrOffset;   /* 9 */
    unsigned char textOffset;   /* 10 */
    unsigned char reserved11[5];/* 11-15 */
    unsigned char items[NS_MSG_SIZE - NS_HEADER_SIZE];
} NsMessage;

/* ---- record and cipher ------------------------------------------------ */
/* The cipher uses two key tables built into the library (and into every
 * name server it talks to) and one process-wide 128-byte message key that
 * each NsCrypt and NsDecrypt overwrites: none of the four functions below is
 * reentrant.  None blocks, fails or logs.  See NsCrypt(3). */

/* Enciphers the first n bytes (0 or more) of the record at plain into out:
 * 24 bytes of fresh random salt masked with the first key table, then the n
 * bytes masked with the message key made from the salt.  out must have room
 * for n + 24 bytes and must not overlap plain.  Returns n + 24.
 *
 * Each call first reseeds the process's drand48 generator (seedRandom) and
 * draws the salt from it, so a caller's own drand48 sequence is disturbed. */
int NsCrypt(void *out, const void *plain, int n);

/* Deciphers the len bytes at cipher (as NsCrypt made them) into out and
 * returns len - 24, the length of the record.  out must have room for
 * len - 24 bytes.  For len of 24 or less nothing is written to out and the
 * result is 0 or negative: no record.
 *
 * The first 24 bytes of cipher are rewritten in place (they hold the salt
 * afterwards), whatever len is: cipher must hold at least 24 writable bytes,
 * and a buffer can be deciphered only once. */
int NsDecrypt(void *out, void *cipher, int len);

/* Reseeds the process's drand48 generator (seed48) from the time of day,
 * the process id, a call counter and two draws of the generator's previous
 * state.  Returns 0.  NsCrypt calls it before every salt; there is rarely a
 * reason to call it otherwise. */
int seedRandom(void);

/* Formats an address as "a.b.c.d (port)", the four address bytes and the
 * port in decimal (the family and the zero bytes are not shown), into one
 * static 32-byte buffer that the library owns and that each call overwrites;
 * returns that buffer.  For a null pointer returns the constant "NULL",
 * which must not be written to.  Copy the text before formatting a second
 * address. */
char *printaddr(const NsAddr *addr);

/* ---- name server location -------------------------------------------- */
/* Where the name server master is: the address remembered from the last
 * successful discovery (the override), else the configured TALVEN_NAMESVC,
 * else a discovery by UDP broadcast on the local network.  Also the local
 * host's identity, which the client binds its own sockets to.  See
 * findNS(3). */

/* Once per process: takes the host name (gethostname, at most 127
 * characters) and looks it up (gethostbyname); its first IPv4 address, port
 * 0, becomes the local address.  When the name resolves to 0.0.0.0 it is
 * looked up once more cut at its first ".".  A failed lookup is logged and
 * never retried: the local address then stays 0.0.0.0 for the life of the
 * process.  Later calls return at once.  Every name-service operation calls
 * it first.  Blocks for as long as the host lookup does. */
void usptcp_Initialise(void);

/* Calls usptcp_Initialise, then copies the 16-byte local address (family
 * AF_INET, port 0, the host's IPv4 address or 0.0.0.0) into *addr and sets
 * *len to 16.  Neither pointer may be null. */
void usptcp_GetLocalAddr(NsAddr *addr, int *len);

/* The IPv4 address of host, in network byte order, or 0 when there is none.
 * A text of digits and dots alone is read as four numbers a.b.c.d and gives
 * a<<24 | b<<16 | c<<8 | d without range checks (fewer than four numbers:
 * 0); anything else is looked up with gethostbyname, which may block on the
 * resolver.  A null host gives 0.  Logs nothing. */
unsigned int GetInetAddr(const char *host);

/* The remembered or configured name server master; two modes.
 *
 * remember not null: remembers *remember as the override, the master that
 * findNS returns from now on without reading the configuration; fill is not
 * used.  Returns 0.
 *
 * remember null: fills *fill with the override when one is remembered, else
 * with the configured TALVEN_NAMESVC, "host.port" (split at its last "."; a
 * value without "." is all host, port 16024), the host resolved by
 * GetInetAddr.  Sets the family, port and address of *fill and leaves its
 * eight zero bytes as they were: pass a cleared record.  Returns 0, or -1
 * (*fill untouched, nothing logged) when there is no override and the key
 * is unset, empty or names a host that does not resolve.  Loads the
 * configuration on first use. */
int presetNS(NsAddr *fill, const NsAddr *remember);

/* Finds the local network's broadcast address: lists the interfaces
 * (ioctl SIOCGIFCONF on sock, any open socket; at most 1024 bytes of list)
 * and writes into *bcast the broadcast address of the last one that is up,
 * not loopback and broadcast-capable, with the name servers' port (the port
 * of TALVEN_NAMESVC when it names one, else 16024) and family AF_INET.
 * Returns 0, also when no interface qualifies (*bcast then untouched); -1
 * when an interface request fails (logged; *bcast may already hold an
 * earlier interface's address).  Loads the configuration on first use. */
int FindBcastAddr(int sock, NsAddr *bcast);

/* Finds the name server master and writes its address (family AF_INET) into
 * *addr.  Returns 0, or -1 when none was found (*addr is then not to be
 * used).
 *
 * With bcast 0 the override or the configured master (presetNS) is returned
 * at once when there is one.  Otherwise, and always with bcast non-zero, a
 * discovery: a UDP socket bound to the local address on the first free port
 * from 1025 to 32766, with SO_BROADCAST, sends NS_FINDMASTER to the
 * broadcast address (FindBcastAddr) and waits 5 seconds for an NS_MASTER
 * reply, then sends NS_FINDANY and waits 10 seconds.  Any other reply starts
 * the wait afresh.  The first master that answers wins: its reply's address
 * item, else the reply's source address; it becomes the override.  The
 * socket is closed before the call returns.
 *
 * Blocks: not at all with an override or a configured master; a discovery
 * nobody answers takes 15 seconds (longer while other replies keep
 * arriving).  Signals: BcastTimeout is the SIGALRM handler around each
 * receive; afterwards the alarm is cancelled and SIGALRM left at SIG_DFL.
 * Fails (logged) when the socket cannot be made or bound, or nobody
 * answers. */
int findNS(int bcast, NsAddr *addr);

/* The SIGALRM handlers of discovery (BcastTimeout) and of the request
 * exchange's connect (ReplyTimeout): each logs a trace line and returns;
 * their only effect is that the interrupted recvfrom or connect fails with
 * EINTR.  The library installs them itself; they are public only because
 * they have always been. */
void BcastTimeout(int sig);
void ReplyTimeout(int sig);

/* ---- request exchange ------------------------------------------------- */
/* One request record to the name server master over TCP and its one-record
 * reply, and the byte-level stream helpers.  See UspMapIO(3). */

/* Sends the first n bytes (16 to 231) of *request to the name server master
 * and reads its reply into *reply (256 bytes): the bytes that arrived, then
 * zero bytes to the end of the record.  Returns the reply's type (a signed
 * byte: NS_OK, 32, for success, any other type is the name server's
 * refusal), or -1 when no reply was obtained, *reply then left untouched.
 *
 * Up to two attempts, each with a fresh TCP socket: findNS locates the
 * master (the first attempt the remembered or configured one, unless the
 * previous UspMapIO failed; the second always by broadcast), connect runs
 * under a 5-second alarm (ReplyTimeout), then the enciphered frame is
 * written and one reply frame read.  The socket is closed before the call
 * returns.  A failed call makes the next one start with a broadcast; a
 * successful one clears that.
 *
 * Fails: n outside 0..231 (EINVAL, nothing sent), no socket, no master found,
 * connect refused or over 5 seconds, a short write (logged), or a
 * connection that ends before a whole reply frame of at least 25 bytes
 * (silently) - in both attempts.
 *
 * Blocks: per attempt, a discovery (up to 15 seconds) and connect (up to
 * 5 seconds), then the read of the reply, which has no time limit.
 * Signals: SIGALRM as for findNS; a peer that goes away raises no
 * SIGPIPE (the writes are sent with MSG_NOSIGNAL). */
int UspMapIO(const NsMessage *request, int n, NsMessage *reply);

/* The sending half of UspMapIO: locates the master, connects (5-second
 * alarm) and writes the enciphered request, then returns the connected
 * socket without reading anything.  With bcast 0 two attempts (the
 * remembered or configured master, then by broadcast); otherwise one, by
 * broadcast.  Neither reads nor changes the broadcast-first flag of
 * UspMapIO.
 *
 * Returns the descriptor, which the caller owns: hand it to UspReceive
 * (which closes it) or close it.  -1 on failure (as UspMapIO's sending
 * part, logged), with no descriptor left open.  Blocks as UspMapIO's
 * sending part. */
int UspSend(const NsMessage *request, int n, int bcast);

/* The receiving half: reads one reply frame from fd, deciphers it into
 * *reply (256 bytes: the bytes that arrived, then zero bytes) and closes
 * fd, on every path.  Returns the reply's type, or -1, *reply untouched,
 * when the stream ended or failed before a whole frame of at least 25
 * bytes.  No time limit: blocks until the frame is in or the peer closes.
 * Logs nothing. */
int UspReceive(int fd, NsMessage *reply);

/* One read(2) of one byte into *c: returns 1, 0 at the end of the stream,
 * or -1 with errno (EINTR included: nothing is retried). */
int read_char(int fd, char *c);

/* Reads exactly n bytes into buf, asking each time for the bytes still
 * missing, and stores a NUL behind them: buf must hold n + 1 bytes.
 * Returns n; or the first read result of 0 (end of stream) or -1 (errno),
 * at once, with the bytes read so far in buf and no NUL.  For n of 0 or
 * less reads nothing, stores a NUL in buf[0] and returns n.  No time
 * limit. */
int read_string(int fd, char *buf, int n);

/* Writes the low 8 bits of c as one byte, repeating a write that returns 0.
 * Returns 0, or the negative write result (errno set).  A plain write(2):
 * on a socket or pipe whose reader has gone, SIGPIPE is raised unless the
 * caller ignores it. */
int write_char(int fd, int c);

/* Writes the n bytes (n >= 0) of buf, writing again after every short
 * write.  Returns 0 once all are written (at once for n = 0), or the
 * negative write result (errno set), the bytes already written staying
 * written.  SIGPIPE as for write_char. */
int write_string(int fd, const char *buf, int n);

/* ---- registry operations ---------------------------------------------- */
/* One request each to the name server master through UspMapIO, judged by
 * the reply's type: NS_OK is the only success.  Each calls
 * usptcp_Initialise first and logs one trace line after the exchange.  A
 * name (a service name "\\host\svc" or a PC name "\\pc\host", NUL-terminated)
 * may have at most 127 characters, and a request at most 231 bytes in all
 * (a registration: name, address and text together; see
 * usptcp_RegisterUspName); a longer one fails with EMSGSIZE before anything
 * is sent.  Each blocks and handles SIGALRM as UspMapIO does.  See
 * usptcp_LookupUspName(3). */

/* Looks the service name up.  option is the lookup mode, passed to the name
 * server as its low byte: 0 a plain lookup, 4 a lookup that wants the
 * authentication text (nsadmin -l), NS_LOOKUP_FORWARD a forward lookup.
 * Returns 0 when the reply is NS_OK, else -1 with every output untouched.
 *
 * On NS_OK with an address item: *addr receives the item (at most 16 bytes,
 * copied over *addr; the family is then set to AF_INET), *addrLen the
 * number of address bytes taken (16 from a sound reply), and auth, when not
 * null, the authentication text, followed by the byte 0x1A and the reply's
 * name when the name server sent a name beside a non-empty text that holds
 * no 0x1A; cut to fit, always NUL-terminated (the empty string when the
 * reply has no text).  On NS_OK without an address item, *addr, *addrLen
 * and auth are left as they were.  An item that reaches past the bytes of
 * the reply that arrived counts as absent.  auth, when not null, must hold
 * NS_AUTH_SIZE (128) bytes. */
int usptcp_LookupUspName(const char *name, NsAddr *addr, int *addrLen,
                         int option, char *auth);

/* usptcp_LookupUspName with the authentication buffer's size given: auth
 * receives at most authSize - 1 characters and a NUL (nothing when authSize
 * is 0). */
int usptcp_LookupUspNameBounded(const char *name, NsAddr *addr, int *addrLen,
                                int option, char *auth, size_t authSize);

/* Registers the service name under the first addrLen bytes (0 to 16;
 * normally 16) of *addr, copied unchanged into the request.  type is the
 * registration type (its low byte is sent); level points to one byte that
 * holds the registration level as a small number (sent as '0' + level; null
 * sends '0'); text is the authentication text that lookups return (null or
 * empty: none).  The name may have at most 109 characters; with a text
 * beside a 16-byte address at most 92, the text at most 127, and the two
 * together at most 194.
 *
 * Returns 0 when the name server answered NS_OK, else -1: a refusal, a
 * failed exchange, a null addr or addrLen outside 0..16 (EINVAL), or a
 * request too long (EMSGSIZE). */
int usptcp_RegisterUspName(const char *name, const NsAddr *addr, int addrLen,
                           int type, const char *level, const char *text);

/* Removes the service name's registration; option is passed to the name
 * server as its low byte (every caller in the product passes 0).  Returns
 * 0 on NS_OK, else -1. */
int usptcp_UnregisterUspName(const char *name, int option);

/* Registers (usptcp_RegisterPCName) or removes (usptcp_UnregisterPCName)
 * the PC name "\\pc\host".  Return 0 on NS_OK, else -1. */
int usptcp_RegisterPCName(const char *name);
int usptcp_UnregisterPCName(const char *name);

/* Sends the control code to the name server master: its low 16 bits, high
 * byte first (nsadmin -d sends its debug level so).  Returns 0 on NS_OK,
 * else -1. */
int usptcp_Control(int code);

/* Send-only lookups: submitUspLookup sends the lookup of name with option 0,
 * submitUspForwardLookup with NS_LOOKUP_FORWARD, through UspSend (bcast
 * non-zero: locate the master by broadcast only), and return without
 * waiting for the reply.  Returns the connected descriptor, which the caller
 * owns: receiveUspLookup (or UspReceive) reads the reply later and closes
 * it.  -1 on failure.  They log no trace line. */
int submitUspLookup(const char *name, int bcast);
int submitUspForwardLookup(const char *name, int bcast);

/* Collects the reply of a send-only lookup on fd (a descriptor from
 * submitUspLookup or submitUspForwardLookup) and closes fd, on every path,
 * as UspReceive does.  Returns the reply's type (NS_OK, 32, for success),
 * or -1 when no whole reply arrived.  On NS_OK the outputs are filled as
 * usptcp_LookupUspNameBounded fills them, from the bytes of the reply that
 * arrived only; otherwise they are left as they were.  No time limit: blocks
 * until the reply is in or the peer closes.  Logs nothing. */
int receiveUspLookup(int fd, NsAddr *addr, int *addrLen, char *auth, size_t authSize);

/* ---- name lists and admin hosts --------------------------------------- */
/* A name list comes over a connection that the name server opens back to
 * the client.  See usptcp_GetNameList(3). */

/* Opens a TCP socket bound to the local address (usptcp_GetLocalAddr) on
 * the first free port from 1025 to 32766 and listening (backlog 1).
 * Returns the descriptor, which the caller owns and closes; *addr (when not
 * null) receives the bound address, family AF_INET.  On failure a negative
 * value: the result of a failed socket(2) (not logged), or -1 when no port
 * could be bound or listen failed (logged; the socket is closed). */
int usptcp_CreateStreamSock(NsAddr *addr);

/* Fetches every name that matches pattern (NUL-terminated, at most 109
 * characters; null asks for "*") from the name server.  selector picks the
 * list (its low byte is sent): NS_LIST_ADMINHOST lists the admin hosts; the
 * other values are the name server's to interpret.
 *
 * A listening socket (usptcp_CreateStreamSock) is made first, the request
 * carrying its address goes through UspMapIO, then the name server that
 * took the request must connect back, from that same address (or, for a
 * name server on this host, from this host's own address), within 5
 * seconds (a connection from anywhere else is closed unread while the wait
 * runs on) and send a head record, one record per name and an end record.
 * A list holds at most 1,000,000 names or 64 MiB of names (characters and a
 * NUL each).  Every socket is closed before the call returns.
 *
 * Returns the number of names, or -1 on failure: no listening socket, a
 * pattern too long (EMSGSIZE), the request failed or was refused, no
 * connection within 5 seconds, a stream that ends early, holds a malformed
 * record or goes past the limits (EMSGSIZE), or no memory (each logged); a
 * null list gives -1 at once.  With a positive result *list is one block
 * from malloc: count + 1 pointers (the last null) followed by the names;
 * the caller owns it and releases it with one free().  With 0, or after any
 * other failure, *list is null; it is left unchanged when no listening
 * socket could be made or the final block could not be allocated.
 *
 * Blocks: the exchange as UspMapIO, up to 5 seconds for the connection,
 * then the stream, which has no time limit. */
int usptcp_GetNameList(const char *pattern, int selector, char ***list);

/* The admin host of one host, or the list of all of them.
 *
 * host null, empty or "*": usptcp_GetNameList(host, NS_LIST_ADMINHOST,
 * list), with its result and its block, which the caller frees.
 *
 * Any other host: one NS_ADMINHOST request.  *list (when list is not null)
 * is set to a static two-pointer array that the library owns: { name, NULL }
 * when the name server answered NS_OK (the name cut to 127 characters), and
 * { NULL, NULL } otherwise.  Returns 1 on NS_OK, 0 otherwise.  The array
 * and the name are overwritten by the next such call; never free them.
 * Blocks as UspMapIO. */
int usptcp_GetAdminHost(const char *host, char ***list);

NS_API_END

#endif /* RSOCKMAP_RSOCKMAP_H */
