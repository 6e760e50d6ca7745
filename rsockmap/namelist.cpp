// PLACEHOLDER: replaced by name list retrieval.
#include "rsockmap/rsockmap.h"
extern "C" int usptcp_CreateStreamSock(NsAddr *) { return -1; }
extern "C" int usptcp_GetNameList(const char *, int, char ***) { return -1; }
extern "C" int usptcp_GetAdminHost(const char *, char ***) { return -1; }
