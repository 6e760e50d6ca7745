/*
 * A small program built against the installed library, as a user of the
 * package would build it.  The same source is compiled as C and as C++:
 * the C++ build proves that the headers give the functions C linkage.
 *
 * Usage: consumer EXPECTED_TMPDIR [NAME EXPECTED_ADDRESS]
 * It checks printaddr, a cipher round trip and the configuration loading
 * (TALVEN_CONFIG must name a file that sets TALVEN_TMPDIR) and, given a NAME,
 * looks it up (inside the network sandbox, against the stand-in name server
 * that the configuration names) and compares printaddr of the answer with
 * EXPECTED_ADDRESS.  Then it prints "ok" and exits 0; otherwise it names the
 * failed check on standard error, exit 1.
 */
#include "rsockmap/census.h"
#include "rsockmap/rsockmap.h"
#include "support/debug.h"
#include "support/env.h"
#include "support/sockets.h" /* the compatibility header: signals.h and servsock.h */

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef __cplusplus
#include <string>
static_assert(sizeof(NsMessage) == NS_MSG_SIZE, "NsMessage is 256 bytes");
#else
_Static_assert(sizeof(NsMessage) == NS_MSG_SIZE, "NsMessage is 256 bytes");
#endif

static int failures = 0;

/* Every function of the public headers, so that every member of the archive
 * is linked: a function declared but not defined, or a link dependency that
 * the package does not name, fails the build. */
typedef void (*AnyFunction)(void);
#define FN(f) ((AnyFunction)(f))
static const AnyFunction everyFunction[] = {
    FN(NsCrypt), FN(NsDecrypt), FN(seedRandom), FN(printaddr),
    FN(usptcp_Initialise), FN(usptcp_GetLocalAddr), FN(GetInetAddr), FN(presetNS),
    FN(FindBcastAddr), FN(findNS), FN(BcastTimeout), FN(ReplyTimeout),
    FN(UspMapIO), FN(UspSend), FN(UspReceive), FN(read_char), FN(read_string),
    FN(write_char), FN(write_string),
    FN(usptcp_LookupUspName), FN(usptcp_LookupUspNameBounded), FN(usptcp_RegisterUspName),
    FN(usptcp_UnregisterUspName), FN(usptcp_RegisterPCName), FN(usptcp_UnregisterPCName),
    FN(usptcp_Control), FN(submitUspLookup), FN(submitUspForwardLookup), FN(receiveUspLookup),
    FN(usptcp_CreateStreamSock), FN(usptcp_GetNameList), FN(usptcp_GetAdminHost),
    FN(rbgetenv), FN(rbuserenv),
    FN(DebugLog), FN(GetTimeForLog), FN(getStdoutLogFile),
    FN(SleepMilliSeconds), FN(setSignalHandler), FN(setAlarm), FN(initialiseLocalAddr),
    FN(parseSockName), FN(createServerSocket), FN(createAuthServerSocket),
    FN(UnregisterServerSocket), FN(createClientSocket),
    FN(usptcp_TakeCensus), FN(GotSigAlarm),
};

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "consumer: %s\n", what);
        failures++;
    }
}

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "usage: consumer EXPECTED_TMPDIR [NAME EXPECTED_ADDRESS]\n");
        return 2;
    }

    for (size_t i = 0; i < sizeof everyFunction / sizeof everyFunction[0]; i++)
        check(everyFunction[i] != NULL, "a library function is missing");
    check(ProgName != NULL && DebugLevel == 0, "the log client's variables");
    check(bGotBcastAddr == 0 && BcastAddr.sin_family == 0, "the census's variables");

    NsAddr addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(2000);
    addr.sin_addr.s_addr = htonl(0x0a010203);
    check(strcmp(printaddr(&addr), "10.1.2.3 (2000)") == 0, "printaddr of 10.1.2.3/2000");
    check(strcmp(printaddr(NULL), "NULL") == 0, "printaddr of a null pointer");

    /* A lookup request for \\h\svc: the header and one name item. */
    static const char name[] = "\\\\h\\svc";
    NsMessage plain;
    memset(&plain, 0, sizeof plain);
    plain.type = NS_LOOKUP;
    plain.nameOffset = NS_HEADER_SIZE;
    plain.items[0] = (unsigned char)strlen(name);
    memcpy(&plain.items[1], name, strlen(name) + 1);
    int len = NS_HEADER_SIZE + 2 + (int)strlen(name);

    unsigned char cipher[NS_MSG_SIZE + NS_SALT_SIZE];
    int n = NsCrypt(cipher, &plain, len);
    check(n == len + NS_SALT_SIZE, "NsCrypt length");
    check(memcmp(cipher + NS_SALT_SIZE, &plain, (size_t)len) != 0, "NsCrypt left the record readable");
    NsMessage back;
    memset(&back, 0, sizeof back);
    check(NsDecrypt(&back, cipher, n) == len, "NsDecrypt length");
    check(memcmp(&back, &plain, (size_t)len) == 0, "cipher round trip");

    check(rbgetenv() == 0, "rbgetenv result");
    check(TmpDir != NULL && strcmp(TmpDir, argv[1]) == 0, "TmpDir from the configuration");
    const char *env = getenv("TALVEN_TMPDIR");
    check(env != NULL && strcmp(env, argv[1]) == 0, "TALVEN_TMPDIR in the environment");
    if (argc == 4) {
        NsAddr found;
        int foundLen = 0;
        char auth[NS_AUTH_SIZE] = "";
        memset(&found, 0, sizeof found);
        check(usptcp_LookupUspName(argv[2], &found, &foundLen, 4, auth) == 0, "lookup");
        check(foundLen == NS_ADDR_SIZE && strcmp(printaddr(&found), argv[3]) == 0,
              "the address of the lookup");
    }
#ifdef __cplusplus
    check(std::string(printaddr(&addr)).find("(2000)") != std::string::npos, "printaddr from C++");
#endif

    if (failures)
        return 1;
    printf("ok\n");
    return 0;
}
