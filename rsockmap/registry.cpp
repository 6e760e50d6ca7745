// PLACEHOLDER: replaced by the registry operations.  Until then every
// operation fails as a failed request would.
#include "rsockmap/rsockmap.h"
extern "C" int usptcp_LookupUspName(const char *, NsAddr *, int *, int, char *) { return -1; }
extern "C" int usptcp_LookupUspNameBounded(const char *, NsAddr *, int *, int, char *, size_t) { return -1; }
extern "C" int usptcp_RegisterUspName(const char *, const NsAddr *, int, int, const char *,
                                      const char *) { return -1; }
extern "C" int usptcp_UnregisterUspName(const char *, int) { return -1; }
extern "C" int usptcp_RegisterPCName(const char *) { return -1; }
extern "C" int usptcp_UnregisterPCName(const char *) { return -1; }
extern "C" int usptcp_Control(int) { return -1; }
extern "C" int submitUspLookup(const char *, int) { return -1; }
extern "C" int submitUspForwardLookup(const char *, int) { return -1; }
