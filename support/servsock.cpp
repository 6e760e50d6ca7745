// PLACEHOLDER: replaced by the service sockets.
#include "support/sockets.h"
extern "C" int initialiseLocalAddr(char *, NsAddr *) { return -1; }
extern "C" int parseSockName(const char *, char *, int, char *, int) { return -1; }
extern "C" int createServerSocket(const char *, const char *, int, NsAddr *, int *, int, int,
                                  const char *) { return -1; }
extern "C" int createAuthServerSocket(const char *, const char *, NsAddr *, int *) { return -1; }
extern "C" int UnregisterServerSocket(void) { return 0; }
extern "C" int createClientSocket(const char *, const char *, int, NsAddr *, char *) { return -1; }
