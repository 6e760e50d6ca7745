// PLACEHOLDER: replaced by the signal and timer utilities.
#include "support/sockets.h"
extern "C" int SleepMilliSeconds(int) { return 0; }
extern "C" int setSignalHandler(int, NsSignalHandler, int) { return 0; }
extern "C" int setAlarm(int, unsigned int) { return 0; }
