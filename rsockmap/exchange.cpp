// PLACEHOLDER: replaced by the request exchange.
#include "rsockmap/rsockmap.h"
extern "C" int UspMapIO(const NsMessage *, int, NsMessage *) { return -1; }
extern "C" int UspSend(const NsMessage *, int, int) { return -1; }
extern "C" int UspReceive(int, NsMessage *) { return -1; }
extern "C" int read_char(int, char *) { return -1; }
extern "C" int read_string(int, char *, int) { return -1; }
extern "C" int write_char(int, int) { return -1; }
extern "C" int write_string(int, const char *, int) { return -1; }
