// PLACEHOLDER: replaced by the configuration module.
#include "support/env.h"
char *AdminDir, *BinDir, *DebugDir, *EtcDir, *EventDir, *EventLevel, *LogLimit, *MaxSessions,
    *Marlod, *NSGateway, *RsockDir, *TmpDir, *RbDir, *TCLDir, *TCLScriptDir, *TCLInterp;
int ProcessType = 0;
int ServerPidFD = -1;
int g_Argc = 0;
char **g_Argv = nullptr;
extern "C" int rbgetenv(void) { return 0; }
extern "C" int rbuserenv(const char *) { return 0; }
