// PLACEHOLDER: replaced by the log client.
#include "support/debug.h"
const char *ProgName = "DEBUG";
int DebugLevel = 0;
extern "C" void DebugLog(int, const char *, ...) {}
extern "C" char *GetTimeForLog(void) { static char t[40]; return t; }
extern "C" char *getStdoutLogFile(const char *, int) { return nullptr; }
