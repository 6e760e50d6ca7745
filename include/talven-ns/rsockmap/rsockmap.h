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
 * The library is single-threaded and blocking; timeouts are SIGALRM alarms.
 * Functions return 0 (or a descriptor, a count or a reply type) on success
 * and -1 on failure with errno left as the failing call set it.
 *
 * This header is C-compatible so that the product's C programs can link the
 * library.
 */
#ifndef RSOCKMAP_RSOCKMAP_H
#define RSOCKMAP_RSOCKMAP_H

#include <netinet/in.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

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

/* ---- cipher (record and cipher module) ---- */

/* Enciphers the first n bytes of plain into out (room for n + 24 bytes);
 * returns n + 24.  Reseeds the random generator on every call. */
int NsCrypt(void *out, const void *plain, int n);
/* Deciphers the len bytes of cipher into out (room for len - 24 bytes) and
 * returns len - 24 (0 or less: no record).  Rewrites the first 24 bytes of
 * cipher in place, which must hold at least 24 bytes whatever len is. */
int NsDecrypt(void *out, void *cipher, int len);
/* Reseeds the drand48 generator; returns 0.  Only NsCrypt calls it. */
int seedRandom(void);
/* "%d.%d.%d.%d (%d)" of an address in one static buffer that each call
 * overwrites; "NULL" for a null pointer. */
char *printaddr(const NsAddr *addr);

/* ---- name server location ---- */

void usptcp_Initialise(void);
void usptcp_GetLocalAddr(NsAddr *addr, int *len);
unsigned int GetInetAddr(const char *host);  /* network order; 0 = unresolvable */
int presetNS(NsAddr *fill, const NsAddr *remember);
int FindBcastAddr(int sock, NsAddr *bcast);
int findNS(int bcast, NsAddr *addr);
void BcastTimeout(int sig);
void ReplyTimeout(int sig);

/* ---- request exchange ---- */

/* UspMapIO and UspReceive return the reply's type and hand the reply back in
 * *reply: the bytes that arrived, then zero bytes to the end of the record.
 * When no reply arrived, or one too short to hold a type, *reply is left
 * untouched and the result is -1. */
int UspMapIO(const NsMessage *request, int n, NsMessage *reply);
int UspSend(const NsMessage *request, int n, int bcast);
int UspReceive(int fd, NsMessage *reply);
int read_char(int fd, char *c);
int read_string(int fd, char *buf, int n);
int write_char(int fd, int c);
int write_string(int fd, const char *buf, int n);

/* ---- registry operations ---- */

/* Looks a service name up; returns 0 when the reply is NS_OK, else -1 with
 * the outputs untouched.  On NS_OK with an address item, *addr receives the
 * item (at most 16 bytes; the family is set to 2), *addrLen the number of
 * bytes taken, and auth (when not null) the authentication text, followed by
 * the byte 0x1A and the reply's name when the name server sent a name beside
 * a non-empty text that holds no 0x1A, cut to fit with a terminating NUL.
 * On NS_OK without an address item, addr, *addrLen and auth are left as they
 * were.  auth, when not null, must hold NS_AUTH_SIZE bytes.  Items that
 * reach past the bytes of the reply that arrived are taken as absent. */
int usptcp_LookupUspName(const char *name, NsAddr *addr, int *addrLen,
                         int option, char *auth);
/* The same with the authentication buffer's size given. */
int usptcp_LookupUspNameBounded(const char *name, NsAddr *addr, int *addrLen,
                                int option, char *auth, size_t authSize);
int usptcp_RegisterUspName(const char *name, const NsAddr *addr, int addrLen,
                           int type, const char *level, const char *text);
int usptcp_UnregisterUspName(const char *name, int option);
int usptcp_RegisterPCName(const char *name);
int usptcp_UnregisterPCName(const char *name);
int usptcp_Control(int code);
int submitUspLookup(const char *name, int bcast);
int submitUspForwardLookup(const char *name, int bcast);
/* Collects the reply of a send-only lookup on fd (a descriptor from
 * submitUspLookup or submitUspForwardLookup) and closes fd, as UspReceive
 * does; returns the reply's type, or -1 when no reply arrived.  On NS_OK the
 * outputs are filled as usptcp_LookupUspNameBounded fills them, from the
 * bytes of the reply that arrived only. */
int receiveUspLookup(int fd, NsAddr *addr, int *addrLen, char *auth, size_t authSize);

/* ---- name lists and admin hosts ---- */

int usptcp_CreateStreamSock(NsAddr *addr);
/* On a positive result *list is one malloc'd block: count + 1 pointers (the
 * last null) followed by the names; release it with one free(). */
int usptcp_GetNameList(const char *pattern, int selector, char ***list);
int usptcp_GetAdminHost(const char *host, char ***list);

#ifdef __cplusplus
}
#endif

#endif /* RSOCKMAP_RSOCKMAP_H */
