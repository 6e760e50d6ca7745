// PLACEHOLDER: replaced by name server location.
#include "rsockmap/rsockmap.h"
#include <cstring>
extern "C" void usptcp_Initialise(void) {}
extern "C" void usptcp_GetLocalAddr(NsAddr *a, int *l) { std::memset(a, 0, sizeof *a); *l = 16; }
extern "C" unsigned int GetInetAddr(const char *) { return 0; }
extern "C" int presetNS(NsAddr *, const NsAddr *) { return -1; }
extern "C" int FindBcastAddr(int, NsAddr *) { return 0; }
extern "C" int findNS(int, NsAddr *) { return -1; }
extern "C" void BcastTimeout(int) {}
extern "C" void ReplyTimeout(int) {}
